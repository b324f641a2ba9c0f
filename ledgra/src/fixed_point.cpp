#include "fixed_point.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "padded_fields.hpp"

namespace quorvel::ledgra::detail {

void append_fixed_slow(TextSink& out, double v, unsigned width, unsigned precision) {
    if (std::isnan(v)) {
        append_string_field(out, "NaN", width, Align::right);
        return;
    }
    if (std::isinf(v)) {
        append_string_field(out, v < 0 ? "-inf" : "inf", width, Align::right);
        return;
    }
    // to_chars with a precision is exact (round half to even on the exact
    // decimal expansion). The sign is ours so that -0.0 and negatives that
    // round to zero keep it.
    const std::size_t cap = 1u + 309u + 1u + precision + 8u;
    char stack[400];
    std::string heap;
    char* buf = stack;
    if (cap > sizeof stack) {
        heap.resize(cap);
        buf = heap.data();
    }
    buf[0] = '-';
    const auto r = std::to_chars(buf + 1, buf + cap, std::fabs(v), std::chars_format::fixed,
                                 static_cast<int>(precision));
    const char* begin = std::signbit(v) ? buf : buf + 1;
    append_string_field(out, std::string_view(begin, static_cast<std::size_t>(r.ptr - begin)), width,
                        Align::right);
}

}  // namespace quorvel::ledgra::detail
