#include "vasp.hpp"

#include <string>

#include "columns.hpp"
#include "frame_scan.hpp"
#include "fields.hpp"
#include "fixed_point.hpp"
#include "float_parse.hpp"
#include "messages.hpp"
#include "padded_fields.hpp"

namespace quorvel::ledgra {

namespace {

// Message builders live out of line: they run once per failed call.
[[gnu::cold]] unexpected<Failure> poscar_missing_coordinate(std::size_t line) {
    return value_error(message({"POSCAR: not enough fields on atom line ", decimal(line), " (need 3 coordinates)"}),
                       missing_fields(line));
}

[[gnu::cold]] unexpected<Failure> poscar_bad_coordinate(std::string_view field, std::size_t line) {
    return value_error(message({"POSCAR: cannot parse coordinate '", field, "' on atom line ", decimal(line),
                                ": ", k_invalid_float_literal}),
                       bad_field(line, field, LineFault::Expected::number));
}

[[gnu::cold]] unexpected<Failure> poscar_bad_flag(std::string_view field, std::size_t line) {
    return value_error(message({"POSCAR: expected selective dynamics flag 'T' or 'F', got '", field,
                                "' on atom line ", decimal(line)}),
                       bad_field(line, field, LineFault::Expected::flag));
}

[[gnu::cold]] unexpected<Failure> xdatcar_missing_coordinate(std::size_t line) {
    return value_error(message({"XDATCAR: not enough fields on coordinate line ", decimal(line)}),
                       missing_fields(line));
}

[[gnu::cold]] unexpected<Failure> xdatcar_bad_coordinate(std::string_view field, std::size_t line) {
    return value_error(
        message({"XDATCAR: cannot parse '", field, "' on line ", decimal(line), ": ", k_invalid_float_literal}),
        bad_field(line, field, LineFault::Expected::number));
}

// One loop for a list of lines and for a block of a file's bytes.
template <class Lines>
Result<PoscarBlock> poscar_rows(Lines lines, bool selective) {
    const std::size_t n = lines.size();
    PoscarBlock block;
    block.rows = n;
    block.positions = Buffer<double>::zeroed_aligned(3 * n);
    if (selective) block.flags = Buffer<uint8_t>::zeroed_aligned(3 * n);
    double* pos = block.positions.data();
    uint8_t* flags = selective ? block.flags->data() : nullptr;
    ColumnReader columns;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view line = lines.next();
        FieldSplitter fields(line);
        std::string_view field;
        const auto got = columns.next3(line, fields, pos + 3 * i, field);
        if (got == FieldSplitter::FloatField::missing) return poscar_missing_coordinate(i);
        if (got == FieldSplitter::FloatField::invalid) return poscar_bad_coordinate(field, i);
        if (flags == nullptr) continue;
        // Missing flags read as "T" (free), which the zeroed matrix already holds.
        for (std::size_t c = 0; c < 3 && fields.next(field); ++c) {
            if (field.size() != 1 || (field[0] != 'T' && field[0] != 'F')) return poscar_bad_flag(field, i);
            flags[3 * i + c] = field[0] == 'F' ? 1 : 0;
        }
    }
    return block;
}

template <class Lines>
Result<void> xdatcar_rows(Lines lines, double* pos, ColumnReader& columns) {
    const std::size_t n = lines.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view line = lines.next();
        FieldSplitter fields(line);
        std::string_view field;
        const auto got = columns.next3(line, fields, pos + 3 * i, field);
        if (got == FieldSplitter::FloatField::missing) return xdatcar_missing_coordinate(i);
        if (got == FieldSplitter::FloatField::invalid) return xdatcar_bad_coordinate(field, i);
    }
    return {};
}

}  // namespace

Result<PoscarBlock> parse_poscar_positions(std::span<const std::string_view> lines, bool selective) {
    return poscar_rows(ListLines(lines), selective);
}

Result<PoscarBlock> parse_poscar_positions_bytes(TextBlock block, bool selective) {
    return poscar_rows(BlockLines(block), selective);
}

Result<void> format_poscar_positions(View2<double> coord, const View2<uint8_t>* flags, TextSink& out) {
    if (flags != nullptr && (flags->rows != coord.rows || flags->cols != coord.cols)) {
        return value_error("format_poscar_positions_rs: coord and flags must have the same shape");
    }
    if (coord.rows >= 1 && coord.cols < 3) return panic(k_index_out_of_bounds);
    const auto rows = static_cast<std::size_t>(coord.rows);
    // 3 x (space + 19.16f) + "\n", and 3 x "   T" with flags.
    out.reserve(out.size() + rows * (flags != nullptr ? 73u : 61u));
    for (int64_t i = 0; i < coord.rows; ++i) {
        for (int64_t c = 0; c < 3; ++c) {
            out.push_back(' ');
            append_fixed(out, coord.at(i, c), 19, 16);
        }
        if (flags != nullptr) {
            char* p = out.ensure(12);
            for (int64_t c = 0; c < 3; ++c) {
                std::memcpy(p + 4 * c, flags->at(i, c) != 0 ? "   F" : "   T", 4);
            }
            out.advance(12);
        }
        out.push_back('\n');
    }
    return {};
}

Result<Buffer<double>> parse_xdatcar_coords(std::span<const std::string_view> lines) {
    Buffer<double> coords = Buffer<double>::zeroed_aligned(3 * lines.size());
    ColumnReader columns;
    if (Result<void> r = xdatcar_rows(ListLines(lines), coords.data(), columns); !r) {
        return unexpected(std::move(r.error()));
    }
    return coords;
}

Result<Buffer<double>> parse_xdatcar_coords_bytes(TextBlock block) {
    Buffer<double> coords = Buffer<double>::zeroed_aligned(3 * block.rows);
    ColumnReader columns;
    if (Result<void> r = xdatcar_rows(BlockLines(block), coords.data(), columns); !r) {
        return unexpected(std::move(r.error()));
    }
    return coords;
}

Result<Buffer<double>> parse_xdatcar_frames(std::string_view text, std::span<const int64_t> blocks,
                                            std::size_t atoms) {
    Buffer<double> coords = Buffer<double>::zeroed_aligned(3 * atoms * blocks.size());
    // One reader for every frame: a program writes them all alike.
    ColumnReader columns;
    for (std::size_t f = 0; f < blocks.size(); ++f) {
        if (blocks[f] < 0) return value_error("XDATCAR: a block offset is negative");
        Result<TextBlock> block = text_block_at(text, static_cast<std::size_t>(blocks[f]), atoms);
        if (!block) return unexpected(std::move(block.error()));
        if (Result<void> r = xdatcar_rows(BlockLines(*block), coords.data() + 3 * atoms * f, columns); !r) {
            return unexpected(std::move(r.error()));
        }
    }
    return coords;
}

Result<void> format_xdatcar_config(View2<double> scaled_positions, uint64_t index, TextSink& out) {
    if (scaled_positions.rows >= 1 && scaled_positions.cols < 3) return panic(k_index_out_of_bounds);
    const auto rows = static_cast<std::size_t>(scaled_positions.rows);
    // A 28-byte header for frame numbers of up to six digits; rows of
    // "  " + 3 x 11.8f + 2 separators + "\n" = 38 bytes.
    out.reserve(out.size() + 30u + 40u * rows);
    out.append("Direct configuration=");
    append_uint_field(out, index, 6);
    out.push_back('\n');
    for (int64_t i = 0; i < scaled_positions.rows; ++i) {
        out.append("  ");
        append_fixed(out, scaled_positions.at(i, 0), 11, 8);
        out.push_back(' ');
        append_fixed(out, scaled_positions.at(i, 1), 11, 8);
        out.push_back(' ');
        append_fixed(out, scaled_positions.at(i, 2), 11, 8);
        out.push_back('\n');
    }
    return {};
}

}  // namespace quorvel::ledgra
