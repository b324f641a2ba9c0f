// XYZ atom blocks: parse arbitrary lines (symbols of any bytes, valid UTF-8
// or not), format arbitrary symbols and values, and round trips.
//
// The parse is compared with a slow reference: the same message for the
// first bad line or field, or the same positions; symbols made of ASCII must
// come out lower-cased with an upper-case first letter, valid UTF-8 must stay
// valid UTF-8, and invalid UTF-8 must merely not crash. The formatter is
// compared with "%-2s" (padding counted in code points) and "%22.15f".
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "blocks.hpp"
#include "frame_scan.hpp"
#include "quorvel/native/text_sink.hpp"
#include "xyz.hpp"

namespace {

struct RefXyz {
    std::optional<std::string> error;
    std::vector<std::string_view> fields;  // the symbol fields as written
    std::vector<double> positions;
};

RefXyz ref_parse(const std::vector<std::string_view>& lines) {
    RefXyz out;
    out.positions.assign(3 * lines.size(), 0.0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto fields = fz::ref_fields(lines[i]);
        const std::string n = std::to_string(i);
        if (fields.empty()) {
            out.error = "XYZ: empty line at atom index " + n;
            return out;
        }
        out.fields.push_back(fields[0]);
        for (std::size_t c = 0; c < 3; ++c) {
            if (1 + c >= fields.size()) {
                out.error = "XYZ: not enough position fields on atom line " + n;
                return out;
            }
            const auto v = fz::ref_parse(fields[1 + c]);
            if (!v) {
                out.error = "XYZ: cannot parse coordinate '" + std::string(fields[1 + c]) + "' on line " + n +
                            ": invalid float literal";
                return out;
            }
            out.positions[3 * i + c] = *v;
        }
    }
    return out;
}

bool ascii(std::string_view s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

std::string ascii_symbol(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 'a' + 'A');
    return out;
}

std::string ref_format(const std::vector<std::string_view>& symbols, const quorvel::View2<double>& m) {
    std::string s;
    for (int64_t r = 0; r < m.rows; ++r) {
        s += fz::ref_pad_right(symbols[static_cast<std::size_t>(r)], 2);
        for (int64_t c = 0; c < 3; ++c) s += " " + fz::ref_fixed(m.at(r, c), 22, 15);
        s += "\n";
    }
    return s;
}

std::string format(const std::vector<std::string_view>& symbols, const quorvel::View2<double>& m,
                   std::string_view prefix = "") {
    quorvel::StringSink sink;
    sink.append(prefix);
    const auto r = quorvel::ledgra::format_xyz_block(symbols, m, sink);
    if (!r) return "\x01" + fz::failure_text(r.error());
    std::string s = sink.take();
    FZ_CHECK(fz::starts_with(s, prefix), "format_xyz_block overwrote the text before it");
    return s.substr(prefix.size());
}

std::vector<std::string_view> symbols_of(const quorvel::ledgra::XyzBlock& b) {
    std::vector<std::string_view> out;
    for (std::size_t k = 0; k < b.rows; ++k) out.push_back(b.symbol(k));
    return out;
}

void check_parse(const std::vector<std::string_view>& lines) {
    const auto got = quorvel::ledgra::parse_xyz_block(lines);
    const RefXyz want = ref_parse(lines);
    if (want.error) {
        FZ_CHECK(!got, "parse_xyz_block accepts a block the reference refuses with " + fz::quote(*want.error));
        FZ_CHECK(got.error().kind == quorvel::Failure::Kind::value_error && got.error().message == *want.error,
                 "parse_xyz_block fails with " + fz::failure_text(got.error()) + ", want " + fz::quote(*want.error));
        return;
    }
    FZ_CHECK(got.has_value(), "parse_xyz_block fails with " + fz::failure_text(got.error()));
    const auto& block = *got;
    FZ_CHECK(block.rows == lines.size() && block.positions.size() == 3 * lines.size() &&
                 block.symbol_ends.size() == lines.size(),
             "row count");
    for (std::size_t k = 0; k < want.positions.size(); ++k)
        FZ_CHECK(fz::same(block.positions[k], want.positions[k]),
                 "position " + std::to_string(k) + " is " + fz::show(block.positions[k]) + ", want " +
                     fz::show(want.positions[k]));
    const auto symbols = symbols_of(block);
    for (std::size_t k = 0; k < block.rows; ++k) {
        const std::string_view field = want.fields[k];
        FZ_CHECK(!symbols[k].empty(), "empty symbol from " + fz::quote(field));
        if (ascii(field)) {
            FZ_CHECK(symbols[k] == ascii_symbol(field),
                     "symbol of " + fz::quote(field) + " is " + fz::quote(symbols[k]));
        } else if (fz::valid_utf8(field)) {
            FZ_CHECK(fz::valid_utf8(symbols[k]), "symbol of valid UTF-8 " + fz::quote(field) +
                                                     " is not valid UTF-8: " + fz::quote(symbols[k]));
        }
        for (const char c : symbols[k])
            FZ_CHECK(!fz::ref_separator(static_cast<unsigned char>(c)) || !fz::valid_utf8(field),
                     "symbol of " + fz::quote(field) + " holds a separator: " + fz::quote(symbols[k]));
    }

    // Round trip: the symbols are single fields, so the block reads back.
    const auto m = quorvel::View2<double>::dense(block.positions.data(), static_cast<int64_t>(block.rows), 3);
    const std::string text = format(symbols, m);
    FZ_CHECK(text == ref_format(symbols, m), "format of a parsed block differs from printf: " + fz::quote(text));
    const auto back = quorvel::ledgra::parse_xyz_block(fz::ref_lines(text));
    FZ_CHECK(back.has_value() && back->rows == block.rows, "a formatted block does not parse: " + fz::quote(text));
    for (std::size_t k = 0; k < 3 * block.rows; ++k)
        FZ_CHECK(fz::same(back->positions[k], fz::ref_rounded(block.positions[k], 15)),
                 "round trip of " + fz::show(block.positions[k]) + " gives " + fz::show(back->positions[k]));
    const auto symbols2 = symbols_of(*back);
    bool same_symbols = true;
    for (std::size_t k = 0; k < block.rows; ++k) {
        // Normalising an ASCII field twice changes nothing ("ß" -> "SS" -> "Ss" may change).
        if (ascii(want.fields[k])) FZ_CHECK(symbols2[k] == symbols[k], "ASCII symbol not stable: " + fz::quote(symbols[k]));
        same_symbols = same_symbols && symbols2[k] == symbols[k];
    }
    if (same_symbols) {
        const auto m2 = quorvel::View2<double>::dense(back->positions.data(), m.rows, 3);
        FZ_CHECK(format(symbols2, m2) == text, "format(parse(format(x))) != format(x) for " + fz::quote(text));
    }
}

}  // namespace

// The same lines as a file's bytes (each ended by '\n', after a header
// line) must parse as the list does: the same error, or the same symbols and
// bits. Bytes that a text stream could not hold as these lines (a '\r', or
// not UTF-8) are refused by text_block_at, and then read as a list anyway.
void check_bytes(const std::vector<std::string_view>& lines) {
    std::string file = "12\n";
    for (const std::string_view line : lines) {
        if (line.find('\n') != std::string_view::npos) return;
        file.append(line);
        file.push_back('\n');
    }
    const auto block = quorvel::ledgra::text_block_at(file, 3, lines.size());
    if (!block) return;
    FZ_CHECK(block->rows == lines.size() && block->text.size() == file.size() - 3, "text_block_at's block");
    const auto got = quorvel::ledgra::parse_xyz_block_bytes(*block);
    const auto want = quorvel::ledgra::parse_xyz_block(lines);
    FZ_CHECK(got.has_value() == want.has_value(), "the bytes and the lines disagree on whether the block parses");
    if (!want) {
        FZ_CHECK(got.error().message == want.error().message,
                 "from bytes: " + fz::failure_text(got.error()) + ", from lines: " + fz::failure_text(want.error()));
        return;
    }
    FZ_CHECK(symbols_of(*got) == symbols_of(*want), "the bytes give other symbols than the lines");
    for (std::size_t k = 0; k < want->positions.size(); ++k)
        FZ_CHECK(fz::same(got->positions[k], want->positions[k]),
                 "from bytes, position " + std::to_string(k) + " is " + fz::show(got->positions[k]));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const fz::BlockInput in = fz::decode_block_input(data, size);
    check_parse(in.lines);
    check_bytes(in.lines);

    // The formatter: the lines themselves as symbols (any bytes), raw values.
    const unsigned o = in.options;
    const int64_t rows = static_cast<int64_t>(in.text.size() / 24 % 9);
    static constexpr int64_t k_cols[4] = {3, 3, 4, 2};
    const int64_t cols = k_cols[(o >> 1) & 3u];
    const auto values = fz::doubles_from(in.text, static_cast<std::size_t>(rows * cols));
    const auto m = fz::make_matrix(values, rows, cols, o >> 3);
    std::vector<std::string_view> symbols = in.lines;
    symbols.resize(static_cast<std::size_t>(rows));
    if ((o & 0x60u) == 0x60u) symbols.resize(static_cast<std::size_t>(rows) + 1 - 2 * ((o >> 7) & (rows > 0)));
    const std::string text = format(symbols, m.view, (o & 1u) != 0 ? "prefix" : "");
    if (symbols.size() != static_cast<std::size_t>(rows)) {
        FZ_CHECK(text == "\x01value_error \"format_xyz_block_rs: symbols length (" + std::to_string(symbols.size()) +
                             ") != positions rows (" + std::to_string(rows) + ")\"",
                 "length mismatch gives " + fz::quote(text));
        return 0;
    }
    if (rows >= 1 && cols < 3) {
        FZ_CHECK(text == "\x01panic \"ndarray: index out of bounds\"", "short rows give " + fz::quote(text));
        return 0;
    }
    const std::string want = ref_format(symbols, m.view);
    FZ_CHECK(text == want, "format_xyz_block wrote " + fz::quote(text) + ", want " + fz::quote(want));
    return 0;
}
