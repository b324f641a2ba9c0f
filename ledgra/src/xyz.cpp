#include "xyz.hpp"

#include <string>

#include "columns.hpp"
#include "fields.hpp"
#include "fixed_point.hpp"
#include "float_parse.hpp"
#include "messages.hpp"
#include "padded_fields.hpp"
#include "symbols.hpp"

namespace quorvel::ledgra {

namespace {

[[gnu::cold]] unexpected<Failure> xyz_empty_line(std::size_t line) {
    return value_error(message({"XYZ: empty line at atom index ", decimal(line)}), missing_fields(line));
}

[[gnu::cold]] unexpected<Failure> xyz_missing_coordinate(std::size_t line) {
    return value_error(message({"XYZ: not enough position fields on atom line ", decimal(line)}),
                       missing_fields(line));
}

[[gnu::cold]] unexpected<Failure> xyz_bad_coordinate(std::string_view field, std::size_t line) {
    return value_error(message({"XYZ: cannot parse coordinate '", field, "' on line ", decimal(line), ": ",
                                k_invalid_float_literal}),
                       bad_field(line, field, LineFault::Expected::number));
}

[[gnu::cold]] unexpected<Failure> xyz_length_mismatch(std::size_t symbols, int64_t rows) {
    return value_error(message({"format_xyz_block_rs: symbols length (", decimal(symbols), ") != positions rows (",
                                decimal(static_cast<uint64_t>(rows)), ")"}));
}

template <class Lines>
Result<XyzBlock> xyz_rows(Lines lines) {
    const std::size_t n = lines.size();
    XyzBlock block;
    block.rows = n;
    block.positions = Buffer<double>::zeroed_aligned(3 * n);
    block.symbol_ends.reserve(n);
    block.symbol_text.reserve(2 * n);  // one- and two-letter symbols
    SymbolScratch scratch;
    double* pos = block.positions.data();
    ColumnReader columns;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view line = lines.next();
        FieldSplitter fields(line);
        std::string_view field;
        if (!fields.next(field)) return xyz_empty_line(i);
        append_normalised_symbol(block.symbol_text, field, scratch);
        block.symbol_ends.push_back(block.symbol_text.size());
        const auto got = columns.next3(line, fields, pos + 3 * i, field);
        if (got == FieldSplitter::FloatField::missing) return xyz_missing_coordinate(i);
        if (got == FieldSplitter::FloatField::invalid) return xyz_bad_coordinate(field, i);
    }
    return block;
}

}  // namespace

Result<XyzBlock> parse_xyz_block(std::span<const std::string_view> lines) { return xyz_rows(ListLines(lines)); }

Result<XyzBlock> parse_xyz_block_bytes(TextBlock block) { return xyz_rows(BlockLines(block)); }

Result<void> format_xyz_block(std::span<const std::string_view> symbols, View2<double> positions,
                              TextSink& out) {
    if (positions.rows < 0 || symbols.size() != static_cast<std::size_t>(positions.rows)) {
        return xyz_length_mismatch(symbols.size(), positions.rows);
    }
    if (symbols.empty()) return {};
    if (positions.cols < 3) return panic(k_index_out_of_bounds);
    // "%-2s" + 3 x (space + 22.15f) + "\n" = 72 bytes for short symbols.
    out.reserve(out.size() + 75u * symbols.size());
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        append_string_field(out, symbols[i], 2, Align::left);
        const auto r = static_cast<int64_t>(i);
        for (int64_t c = 0; c < 3; ++c) {
            out.push_back(' ');
            append_fixed(out, positions.at(r, c), 22, 15);
        }
        out.push_back('\n');
    }
    return {};
}

}  // namespace quorvel::ledgra
