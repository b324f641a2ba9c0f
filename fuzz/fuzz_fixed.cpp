// The fixed-point writer (W.Pf) and the string and integer fields against
// printf.
//
// Input: one mode byte, then 8 value bytes and width/precision bytes. The
// mode picks one of the widths the blocks use (19.16, 11.8, 22.15) or any
// other W.P, and how the value is made: raw bits, an exact tie at P digits
// (j / 2^(P+1), j odd), a neighbour of such a tie, or a small decimal.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "reference.hpp"
#include "fixed_point.hpp"
#include "padded_fields.hpp"

namespace {

struct Reader {
    const uint8_t* p;
    std::size_t n;
    uint64_t take(std::size_t bytes) {
        uint64_t v = 0;
        for (std::size_t k = 0; k < bytes; ++k) {
            v = (v << 8) | (n > 0 ? *p : 0u);
            if (n > 0) ++p, --n;
        }
        return v;
    }
};

// Writes with a non-empty sink prefix, so that appending (not overwriting)
// and growth from a part-filled buffer are exercised too.
std::string written_fixed(double v, unsigned width, unsigned precision, std::string_view prefix) {
    quorvel::StringSink sink;
    sink.append(prefix);
    quorvel::ledgra::append_fixed(sink, v, width, precision);
    std::string s = sink.take();
    FZ_CHECK(s.compare(0, prefix.size(), prefix) == 0, "append_fixed overwrote the text before it");
    return s.substr(prefix.size());
}

void check_fixed(double v, unsigned width, unsigned precision, std::string_view prefix) {
    const std::string got = written_fixed(v, width, precision, prefix);
    const std::string want = fz::ref_fixed(v, width, precision);
    FZ_CHECK(got == want, "append_fixed(" + fz::show(v) + ", " + std::to_string(width) + ", " +
                              std::to_string(precision) + ") wrote " + fz::quote(got) + ", want " + fz::quote(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const auto mode = static_cast<unsigned>(in.take(1));
    const uint64_t bits = in.take(8);
    const auto wbyte = static_cast<unsigned>(in.take(1));
    const auto pbyte = static_cast<unsigned>(in.take(2));
    const std::string prefix(in.take(1) % 40, 'x');

    static constexpr unsigned k_used[3][2] = {{19, 16}, {11, 8}, {22, 15}};
    unsigned width;
    unsigned precision;
    if ((mode & 3u) != 3u) {
        width = k_used[mode & 3u][0];
        precision = k_used[mode & 3u][1];
    } else {
        width = wbyte;
        // Mostly the fast path's range, sometimes long enough for the whole
        // expansion of the smallest subnormal (1074 fraction digits).
        precision = (pbyte & 0x8000u) != 0 ? pbyte % 1200u : pbyte % 24u;
    }

    double v;
    switch ((mode >> 2) & 7u) {
        case 0:
        case 1:
        case 2:
            std::memcpy(&v, &bits, sizeof v);
            break;
        case 3:
        case 4: {
            // Exactly halfway between two P-digit decimals: j / 2^(P+1), j odd.
            const uint64_t j = (bits >> 11) | 1u;  // at most 53 bits, exact
            const int shift = static_cast<int>(std::min(precision, 60u)) + 1 + static_cast<int>(bits & 7u);
            v = std::ldexp(static_cast<double>(j), -shift);
            if (((mode >> 2) & 7u) == 4u) v = std::nextafter(v, (bits & 8u) != 0 ? INFINITY : -INFINITY);
            if ((bits & 16u) != 0) v = -v;
            break;
        }
        case 5:
            // A short decimal scaled by a power of ten: carries and 9...9 runs.
            v = static_cast<double>(static_cast<int64_t>(bits) >> 20) /
                std::pow(10.0, static_cast<double>(bits & 31u));
            break;
        case 6:
            // Integers near 2^63 and 2^64, where the fast path hands over.
            v = std::ldexp(1.0, 62 + static_cast<int>(bits & 3u)) +
                static_cast<double>(static_cast<int64_t>(bits >> 2) >> 40) * 1024.0;
            if ((bits & 0x100u) != 0) v = -v;
            break;
        default:
            // Subnormals and tiny values.
            v = std::ldexp(static_cast<double>(bits >> 11), -1074 + static_cast<int>((bits >> 3) & 255u));
            break;
    }

    check_fixed(v, width, precision, prefix);
    // The spellings that do not come from printf, at the same width.
    check_fixed(NAN, width, precision, "");
    check_fixed(-NAN, width, precision, "");
    check_fixed(INFINITY, width, precision, "");
    check_fixed(-INFINITY, width, precision, "");
    check_fixed(-0.0, width, precision, "");

    // Integer field: printf's %*llu.
    {
        quorvel::StringSink sink;
        sink.append(prefix);
        quorvel::ledgra::append_uint_field(sink, bits, wbyte % 32u);
        const std::string got = sink.take().substr(prefix.size());
        char buf[64];
        std::snprintf(buf, sizeof buf, "%*llu", static_cast<int>(wbyte % 32u), static_cast<unsigned long long>(bits));
        FZ_CHECK(got == buf, "append_uint_field(" + std::to_string(bits) + ") wrote " + fz::quote(got));
    }
    // String field: padding counted in code points, never cut.
    {
        const std::string_view text(reinterpret_cast<const char*>(in.p), in.n);
        const std::size_t w = wbyte % 16u;
        for (const auto align : {quorvel::ledgra::Align::left, quorvel::ledgra::Align::right}) {
            quorvel::StringSink sink;
            sink.append(prefix);
            quorvel::ledgra::append_string_field(sink, text, w, align);
            const std::string got = sink.take().substr(prefix.size());
            const std::string want = align == quorvel::ledgra::Align::left ? fz::ref_pad_right(text, w)
                                                                            : fz::ref_pad_left(text, w);
            FZ_CHECK(got == want, "append_string_field wrote " + fz::quote(got) + ", want " + fz::quote(want));
        }
    }
    return 0;
}
