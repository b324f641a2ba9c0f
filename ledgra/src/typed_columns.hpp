// Typed per-atom columns: the atom lines of an extended XYZ frame, read in
// one pass into one buffer per declared property, and written back.
//
// Python-free: a text (the caller's bytes), an offset and a row count in;
// filled buffers, or a ColumnFault that says where and what, out. Nothing is
// kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/native/buffer.hpp"
#include "quorvel/native/failure.hpp"
#include "quorvel/native/text_sink.hpp"
#include "quorvel/native/views.hpp"

namespace quorvel::ledgra {

enum class ColumnType : char { string = 'S', real = 'R', integer = 'I', logical = 'L' };

// One property of a Properties list: `count` fields of one type per line.
struct PropertyColumn {
    std::string name;
    ColumnType type = ColumnType::real;
    std::size_t count = 1;
    // For the species column: each field is spelled as the XYZ block parser
    // spells a symbol (append_normalised_symbol).
    bool symbols = false;
};

struct ColumnLayout {
    std::vector<PropertyColumn> columns;
    // Whether fields after the last declared column are allowed (and never
    // read), as in a simple XYZ line; otherwise a line must end there.
    bool extra_fields = false;
};

// Why a Properties text is not a layout.
struct LayoutFault {
    std::string reason;
};

// Parses "name:type:count:name:type:count:..." (types S, R, I, L; counts
// whole numbers from 1; names non-empty and distinct).
[[nodiscard]] expected<ColumnLayout, LayoutFault> parse_layout(std::string_view properties);

// The values of one property, rows x count, row-major, in the buffer of its
// type; strings are concatenated in `text`, field k being
// text[ends[k-1] .. ends[k]) (from 0 for k = 0).
struct ColumnValues {
    Buffer<double> reals;
    Buffer<int64_t> integers;
    Buffer<uint8_t> logicals;  // 0 or 1
    std::string text;
    std::vector<std::size_t> ends;

    [[nodiscard]] std::string_view string(std::size_t k) const {
        const std::size_t b = k == 0 ? 0 : ends[k - 1];
        return std::string_view(text).substr(b, ends[k] - b);
    }
};

struct TypedRows {
    std::size_t rows = 0;
    std::vector<ColumnValues> columns;  // one per PropertyColumn, in layout order
    std::size_t end = 0;                // the offset just after the last line read
};

// What a bad line lacked.
struct ColumnFault {
    enum class Expected {
        real,     // `field` is not a float literal
        integer,  // `field` is not a whole number that fits 64 bits
        logical,  // `field` is not T, F, True, False (or those in all upper or lower case)
        fields,   // the line ends before the property's fields
        end,      // the line has fields after the last property
        line,     // the text ends before the line
    };
    std::size_t line = 0;    // 0-based, from the first line read
    std::size_t column = 0;  // index of the property in the layout (none for `line` and `end`)
    std::size_t item = 0;    // 0-based field within the property
    std::string field;       // the offending field (empty for fields, line)
    Expected expected = Expected::real;
};

[[nodiscard]] const char* expected_name(ColumnFault::Expected e) noexcept;

// Reads `rows` lines of `text` from byte `offset`: each line is the text up
// to the next "\n" (or the end of the text), its fields separated as the
// block parsers separate them (fields.hpp). Each property takes the next
// `count` fields: reals with the float grammar (float_parse.hpp), integers
// as an optional sign and decimal digits (exactly, within int64), logicals
// T/F/True/False (also TRUE, true, FALSE, false), strings as written. The
// first fault, in line order and from left to right, is returned.
[[nodiscard]] expected<TypedRows, ColumnFault> read_typed_rows(std::string_view text, std::size_t offset,
                                                               std::size_t rows, const ColumnLayout& layout);

// The values of one property for the writer: a view of its type with
// rows x count elements, or (strings) rows * count views, row-major.
struct ColumnOut {
    ColumnType type = ColumnType::real;
    std::size_t count = 1;
    View2<double> reals;
    View2<int64_t> integers;
    View2<uint8_t> logicals;
    std::span<const std::string_view> strings;
};

// Appends `rows` lines, the properties in order, separated by one space:
// strings as given, left-aligned in width 2 (as the XYZ formatter writes
// symbols) unless last on the line; reals as 22.15f fields (fixed_point.hpp)
// or, with `exact`, where the shortest digits that read back as the same
// double (std::to_chars) are not plain decimals with at most 15 after the
// point, as those digits right-aligned in 22: every finite real then reads
// back bit for bit (sign of zero included); integers in decimal, logicals
// as T or F. The caller checks that each view has `rows` rows and
// `count` columns.
void format_typed_rows(std::span<const ColumnOut> columns, std::size_t rows, bool exact, TextSink& out);

}  // namespace quorvel::ledgra
