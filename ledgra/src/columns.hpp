// The column reader: the three coordinates of a block's atom lines, read
// from the fixed columns that programs write, with a vector path on CPUs
// that have it and the field parser everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fields.hpp"

namespace quorvel::ledgra {

// Reads the three coordinates of the atom lines of one block. Files written
// by a program put their numbers in fixed columns: every line has its points,
// fraction digits and separators at the same offsets, and only the sign and
// the integer digits in front of each point change. On x86-64 CPUs with
// AVX-512 (BW, VL, DQ, CD, VBMI) the reader learns that layout from a line and
// then checks and converts each following line with a few vector operations;
// a line that does not fit is read field by field as next_floats() reads it,
// and may teach a new layout. The results are the same on every CPU.
class ColumnReader {
public:
    // Reads the next three fields of `fields`, a splitter over `line`
    // positioned anywhere in it, as FieldSplitter::next_floats(out, 3, field)
    // does: the same status, values and position afterwards, and for
    // FloatField::invalid the same offending `field` (otherwise `field` is
    // unspecified).
    [[nodiscard]] FieldSplitter::FloatField next3(std::string_view line, FieldSplitter& fields, double* out,
                                                  std::string_view& field) noexcept;

    // Whether next3 uses the layout path on this CPU.
    [[nodiscard]] static bool vector_path_available() noexcept;

    // One line saying how next3 reads on this CPU, for test and benchmark
    // logs: "avx512 (vbmi) vector path" when vector_path_available(), else
    // "field parser (this CPU lacks: f1, f2, ...)" naming each missing
    // instruction set the vector path needs, or "field parser (no vector
    // path for this architecture)" on builds for other CPUs.
    [[nodiscard]] static std::string level_description();

    // How many lines the layout path has read so far.
    [[nodiscard]] std::size_t layout_lines() const noexcept { return layout_lines_; }

    // The layout, as the vector routine reads it: byte offsets from the start
    // of the line, bit i of a mask for byte i.
    struct Layout {
        alignas(64) unsigned char fixed_bytes[128];  // the line with every digit as '0'
        alignas(64) unsigned char index[2][64];      // digit gathers: fields 0, 1 | field 2
        uint64_t fixed[2];        // bytes that must equal fixed_bytes: separators, points, fraction digits
        uint64_t gather_mask[2];  // the gathered bytes that are digits of a field
        uint64_t head[3];         // where each field's sign and integer digits may be
        uint64_t point[3];        // the bit of each field's point
        double scale[4];          // 10^(fraction digits) of each field, and 1
        unsigned fraction[3];     // fraction digits of each field
        alignas(32) uint64_t reciprocal[4];       // 10^-(fraction digits) = reciprocal * 2^-(63 + shift)
        alignas(32) int64_t reciprocal_shift[4];  // (rounded up, reciprocal >= 2^63), for each field
        bool long_mantissas = false;  // whether a field holds 16 digits or more
        unsigned head_start = 0;  // first byte of field 0's head: blanks before it
        unsigned end = 0;         // the separator after the third field
        bool two_windows = false;  // whether bytes 64..127 take part
    };

private:
    FieldSplitter::FloatField next3_vector(std::string_view line, FieldSplitter& fields, double* out,
                                           std::string_view& field) noexcept;
    [[nodiscard]] bool learn(std::string_view line, std::size_t start) noexcept;

    // Lines read field by field, without trying a layout, after layouts
    // changed on more than one line in eight.
    static constexpr std::size_t k_backoff_lines = 4096;

    Layout layout_;
    bool have_layout_ = false;
    std::size_t skip_ = 0;     // lines still to read without trying a layout
    std::size_t lines_ = 0;    // lines tried since layouts were last given up
    std::size_t learned_ = 0;  // layouts learned in that time
    std::size_t layout_lines_ = 0;
};

}  // namespace quorvel::ledgra
