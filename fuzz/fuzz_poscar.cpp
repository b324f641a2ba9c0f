// POSCAR/CONTCAR position blocks: parse arbitrary lines, format arbitrary
// values, and round trips.
//
// The parse is compared with a slow reference built from the field and float
// references: the same message text for the first bad field, or the same
// values and flags. The formatter is compared with printf's "%19.16f"; a
// formatted block must parse back to the values rounded at 16 digits and
// format again to the same text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "blocks.hpp"
#include "vasp.hpp"

namespace {

struct RefPoscar {
    std::optional<std::string> error;
    std::vector<double> positions;
    std::vector<uint8_t> flags;
};

RefPoscar ref_parse(const std::vector<std::string_view>& lines, bool selective) {
    RefPoscar out;
    out.positions.assign(3 * lines.size(), 0.0);
    if (selective) out.flags.assign(3 * lines.size(), 0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto fields = fz::ref_fields(lines[i]);
        const std::string n = std::to_string(i);
        for (std::size_t c = 0; c < 3; ++c) {
            if (c >= fields.size()) {
                out.error = "POSCAR: not enough fields on atom line " + n + " (need 3 coordinates)";
                return out;
            }
            const auto v = fz::ref_parse(fields[c]);
            if (!v) {
                out.error = "POSCAR: cannot parse coordinate '" + std::string(fields[c]) + "' on atom line " + n +
                            ": invalid float literal";
                return out;
            }
            out.positions[3 * i + c] = *v;
        }
        if (!selective) continue;
        for (std::size_t c = 0; c < 3 && 3 + c < fields.size(); ++c) {
            const std::string_view f = fields[3 + c];
            if (f == "F") {
                out.flags[3 * i + c] = 1;
            } else if (f != "T") {
                out.error = "POSCAR: expected selective dynamics flag 'T' or 'F', got '" + std::string(f) +
                            "' on atom line " + n;
                return out;
            }
        }
    }
    return out;
}

std::string ref_format(const quorvel::View2<double>& coord, const quorvel::View2<uint8_t>* flags) {
    std::string s;
    for (int64_t r = 0; r < coord.rows; ++r) {
        for (int64_t c = 0; c < 3; ++c) s += " " + fz::ref_fixed(coord.at(r, c), 19, 16);
        if (flags != nullptr)
            for (int64_t c = 0; c < 3; ++c) s += flags->at(r, c) != 0 ? "   F" : "   T";
        s += "\n";
    }
    return s;
}

// Formats, or returns the failure as text (prefixed so it cannot pass for a block).
std::string format(const quorvel::View2<double>& coord, const quorvel::View2<uint8_t>* flags,
                   std::string_view prefix = "") {
    quorvel::StringSink sink;
    sink.append(prefix);
    const auto r = quorvel::ledgra::format_poscar_positions(coord, flags, sink);
    if (!r) return "\x01" + fz::failure_text(r.error());
    std::string s = sink.take();
    FZ_CHECK(fz::starts_with(s, prefix), "format_poscar_positions overwrote the text before it");
    return s.substr(prefix.size());
}

void check_parse(const std::vector<std::string_view>& lines, bool selective) {
    const auto got = quorvel::ledgra::parse_poscar_positions(lines, selective);
    const RefPoscar want = ref_parse(lines, selective);
    if (want.error) {
        FZ_CHECK(!got, "parse_poscar_positions accepts a block the reference refuses with " + fz::quote(*want.error));
        FZ_CHECK(got.error().kind == quorvel::Failure::Kind::value_error && got.error().message == *want.error,
                 "parse_poscar_positions fails with " + fz::failure_text(got.error()) + ", want " +
                     fz::quote(*want.error));
        return;
    }
    FZ_CHECK(got.has_value(), "parse_poscar_positions fails with " + fz::failure_text(got.error()));
    const auto& block = *got;
    FZ_CHECK(block.rows == lines.size() && block.positions.size() == 3 * lines.size(), "row count");
    for (std::size_t k = 0; k < want.positions.size(); ++k) {
        FZ_CHECK(fz::same(block.positions[k], want.positions[k]),
                 "position " + std::to_string(k) + " is " + fz::show(block.positions[k]) + ", want " +
                     fz::show(want.positions[k]) + " (line " + fz::quote(lines[k / 3]) + ")");
    }
    FZ_CHECK(block.flags.has_value() == selective, "flags present exactly with selective dynamics");
    if (!selective) return;
    FZ_CHECK(block.flags->size() == 3 * lines.size(), "flag count");
    for (std::size_t k = 0; k < want.flags.size(); ++k) {
        FZ_CHECK((*block.flags)[k] == want.flags[k], "flag " + std::to_string(k) + " of " + fz::quote(lines[k / 3]));
    }

    // Round trip: format the parsed block, parse it back, format again.
    const auto coord = quorvel::View2<double>::dense(block.positions.data(), static_cast<int64_t>(block.rows), 3);
    const auto fl = quorvel::View2<uint8_t>::dense(block.flags->data(), static_cast<int64_t>(block.rows), 3);
    const std::string text = format(coord, &fl);
    FZ_CHECK(text == ref_format(coord, &fl), "format of a parsed block differs from printf: " + fz::quote(text));
    const auto again_lines = fz::ref_lines(text);
    const auto again = quorvel::ledgra::parse_poscar_positions(again_lines, true);
    FZ_CHECK(again.has_value(), "a formatted block does not parse: " + fz::quote(text));
    for (std::size_t k = 0; k < 3 * block.rows; ++k) {
        const double want_v = fz::ref_rounded(block.positions[k], 16);
        FZ_CHECK(fz::same(again->positions[k], want_v), "round trip of " + fz::show(block.positions[k]) + " gives " +
                                                            fz::show(again->positions[k]) + ", want " + fz::show(want_v));
        FZ_CHECK((*again->flags)[k] == (*block.flags)[k], "flag round trip");
    }
    const auto coord2 = quorvel::View2<double>::dense(again->positions.data(), static_cast<int64_t>(block.rows), 3);
    const auto fl2 = quorvel::View2<uint8_t>::dense(again->flags->data(), static_cast<int64_t>(block.rows), 3);
    FZ_CHECK(format(coord2, &fl2) == text, "format(parse(format(x))) != format(x) for " + fz::quote(text));
}

// The formatter on values taken from raw bytes, in any layout and shape.
void check_format(const fz::BlockInput& in) {
    const unsigned o = in.options;
    const int64_t rows = static_cast<int64_t>(in.text.size() / 24 % 9);
    static constexpr int64_t k_cols[4] = {3, 3, 4, 2};
    const int64_t cols = k_cols[(o >> 1) & 3u];
    const auto values = fz::doubles_from(in.text, static_cast<std::size_t>(rows * cols));
    const auto coord = fz::make_matrix(values, rows, cols, o >> 3);
    const bool with_flags = (o & 0x20u) != 0;
    const bool mismatch = with_flags && (o & 0x40u) != 0;
    std::vector<uint8_t> fv;  // any non-zero byte means "F"
    for (const char c : in.text) fv.push_back((c & 1) != 0 ? static_cast<uint8_t>(c) : 0);
    const int64_t frows = mismatch && (o & 0x80u) != 0 ? rows + 1 : rows;
    const int64_t fcols = mismatch && (o & 0x80u) == 0 ? cols + 1 : cols;
    const auto flags = fz::make_matrix(fv, frows, fcols, o >> 5);
    const auto* fp = with_flags ? &flags.view : nullptr;
    const std::string got = format(coord.view, fp, (o & 1u) != 0 ? "prefix" : "");
    if (mismatch) {
        FZ_CHECK(got == "\x01value_error \"format_poscar_positions_rs: coord and flags must have the same shape\"",
                 "shape mismatch gives " + fz::quote(got));
        return;
    }
    if (rows >= 1 && cols < 3) {
        FZ_CHECK(got == "\x01panic \"ndarray: index out of bounds\"", "short rows give " + fz::quote(got));
        return;
    }
    const std::string want = ref_format(coord.view, fp);
    FZ_CHECK(got == want, "format_poscar_positions wrote " + fz::quote(got) + ", want " + fz::quote(want));
    // A block of such values parses back to the rounded values.
    const auto lines = fz::ref_lines(got);
    const auto back = quorvel::ledgra::parse_poscar_positions(lines, with_flags);
    FZ_CHECK(back.has_value() && back->rows == static_cast<std::size_t>(rows), "formatted values do not parse back");
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < 3; ++c)
            FZ_CHECK(fz::same(back->positions[static_cast<std::size_t>(3 * r + c)],
                              fz::ref_rounded(coord.view.at(r, c), 16)),
                     "formatted value " + fz::show(coord.view.at(r, c)) + " reads back wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const fz::BlockInput in = fz::decode_block_input(data, size);
    const bool selective = (in.options & 1u) != 0;
    check_parse(in.lines, selective);
    check_parse(in.lines, !selective);
    check_format(in);
    return 0;
}
