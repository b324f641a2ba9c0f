// XDATCAR configuration blocks: parse arbitrary coordinate lines, format
// arbitrary values with any frame number, and round trips.
//
// The parse is compared with a slow reference (same message for the first
// bad field, or the same values); the formatter with printf's header and
// "%11.8f" rows; a formatted block parses back to the values rounded at 8
// digits and formats again to the same text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "blocks.hpp"
#include "vasp.hpp"

namespace {

struct RefXdatcar {
    std::optional<std::string> error;
    std::vector<double> coords;
};

RefXdatcar ref_parse(const std::vector<std::string_view>& lines) {
    RefXdatcar out;
    out.coords.assign(3 * lines.size(), 0.0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto fields = fz::ref_fields(lines[i]);
        for (std::size_t c = 0; c < 3; ++c) {
            if (c >= fields.size()) {
                out.error = "XDATCAR: not enough fields on coordinate line " + std::to_string(i);
                return out;
            }
            const auto v = fz::ref_parse(fields[c]);
            if (!v) {
                out.error = "XDATCAR: cannot parse '" + std::string(fields[c]) + "' on line " + std::to_string(i) +
                            ": invalid float literal";
                return out;
            }
            out.coords[3 * i + c] = *v;
        }
    }
    return out;
}

std::string ref_format(const quorvel::View2<double>& m, uint64_t index) {
    char head[64];
    std::snprintf(head, sizeof head, "Direct configuration=%6llu\n", static_cast<unsigned long long>(index));
    std::string s = head;
    for (int64_t r = 0; r < m.rows; ++r) {
        s += "  " + fz::ref_fixed(m.at(r, 0), 11, 8) + " " + fz::ref_fixed(m.at(r, 1), 11, 8) + " " +
             fz::ref_fixed(m.at(r, 2), 11, 8) + "\n";
    }
    return s;
}

std::string format(const quorvel::View2<double>& m, uint64_t index, std::string_view prefix = "") {
    quorvel::StringSink sink;
    sink.append(prefix);
    const auto r = quorvel::ledgra::format_xdatcar_config(m, index, sink);
    if (!r) return "\x01" + fz::failure_text(r.error());
    std::string s = sink.take();
    FZ_CHECK(fz::starts_with(s, prefix), "format_xdatcar_config overwrote the text before it");
    return s.substr(prefix.size());
}

// Parses the rows of a formatted block (without its header line).
quorvel::Result<quorvel::Buffer<double>> parse_rows(const std::string& text) {
    auto lines = fz::ref_lines(text);
    FZ_CHECK(!lines.empty() && fz::starts_with(lines[0], "Direct configuration="), "header line");
    lines.erase(lines.begin());
    return quorvel::ledgra::parse_xdatcar_coords(lines);
}

uint64_t frame_number(const uint8_t* data, std::size_t size) {
    uint64_t v = 0;
    for (std::size_t k = 0; k < 8 && 2 + k < size; ++k) v = (v << 8) | data[size - 1 - k];
    const unsigned sel = size >= 1 ? data[0] >> 6 : 0;
    return sel == 0 ? v % 1000 : sel == 1 ? v % 10000000 : v;  // mostly short, sometimes wide
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const fz::BlockInput in = fz::decode_block_input(data, size);
    const uint64_t index = frame_number(data, size);

    const auto got = quorvel::ledgra::parse_xdatcar_coords(in.lines);
    const RefXdatcar want = ref_parse(in.lines);
    if (want.error) {
        FZ_CHECK(!got, "parse_xdatcar_coords accepts a block the reference refuses with " + fz::quote(*want.error));
        FZ_CHECK(got.error().kind == quorvel::Failure::Kind::value_error && got.error().message == *want.error,
                 "parse_xdatcar_coords fails with " + fz::failure_text(got.error()) + ", want " + fz::quote(*want.error));
    } else {
        FZ_CHECK(got.has_value(), "parse_xdatcar_coords fails with " + fz::failure_text(got.error()));
        FZ_CHECK(got->size() == 3 * in.lines.size(), "row count");
        for (std::size_t k = 0; k < want.coords.size(); ++k)
            FZ_CHECK(fz::same((*got)[k], want.coords[k]), "coordinate " + std::to_string(k) + " is " +
                                                               fz::show((*got)[k]) + ", want " + fz::show(want.coords[k]));
        // Round trip.
        const auto m = quorvel::View2<double>::dense(got->data(), static_cast<int64_t>(in.lines.size()), 3);
        const std::string text = format(m, index);
        FZ_CHECK(text == ref_format(m, index), "format of a parsed block differs from printf: " + fz::quote(text));
        const auto back = parse_rows(text);
        FZ_CHECK(back.has_value() && back->size() == got->size(), "a formatted block does not parse: " + fz::quote(text));
        for (std::size_t k = 0; k < got->size(); ++k)
            FZ_CHECK(fz::same((*back)[k], fz::ref_rounded((*got)[k], 8)),
                     "round trip of " + fz::show((*got)[k]) + " gives " + fz::show((*back)[k]));
        const auto m2 = quorvel::View2<double>::dense(back->data(), m.rows, 3);
        FZ_CHECK(format(m2, index) == text, "format(parse(format(x))) != format(x) for " + fz::quote(text));
    }

    // The formatter on raw values in any layout and shape.
    const unsigned o = in.options;
    const int64_t rows = static_cast<int64_t>(in.text.size() / 24 % 9);
    static constexpr int64_t k_cols[4] = {3, 3, 4, 2};
    const int64_t cols = k_cols[(o >> 1) & 3u];
    const auto values = fz::doubles_from(in.text, static_cast<std::size_t>(rows * cols));
    const auto m = fz::make_matrix(values, rows, cols, o >> 3);
    const std::string text = format(m.view, index, (o & 1u) != 0 ? "prefix" : "");
    if (rows >= 1 && cols < 3) {
        FZ_CHECK(text == "\x01panic \"ndarray: index out of bounds\"", "short rows give " + fz::quote(text));
        return 0;
    }
    const std::string want_text = ref_format(m.view, index);
    FZ_CHECK(text == want_text, "format_xdatcar_config wrote " + fz::quote(text) + ", want " + fz::quote(want_text));
    const auto back = parse_rows(text);
    FZ_CHECK(back.has_value() && back->size() == static_cast<std::size_t>(3 * rows), "formatted rows do not parse");
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < 3; ++c)
            FZ_CHECK(fz::same((*back)[static_cast<std::size_t>(3 * r + c)], fz::ref_rounded(m.view.at(r, c), 8)),
                     "formatted value " + fz::show(m.view.at(r, c)) + " reads back wrong");
    return 0;
}
