// Field splitting: the byte classes of the text formats and the splitter that
// yields a line's fields.
//
// Allocation-free: fields are slices of the caller's line. The splitter's
// float-taking members are defined with the float parser (float_parse.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvel::ledgra {

// The only field separators: space, horizontal tab, line feed, form feed and
// carriage return. Vertical tab, NUL and every non-ASCII byte (so U+00A0,
// U+3000, ...) are ordinary field characters.
[[nodiscard]] constexpr bool is_separator(unsigned char c) noexcept {
    constexpr uint64_t k_mask = (uint64_t{1} << ' ') | (uint64_t{1} << '\t') | (uint64_t{1} << '\n') |
                                (uint64_t{1} << '\f') | (uint64_t{1} << '\r');
    return c <= ' ' && ((k_mask >> c) & 1u) != 0;
}

[[nodiscard]] constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

[[nodiscard]] constexpr char ascii_upper(char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

// Yields the fields of one line lazily from the left: each field is a
// non-empty maximal run of non-separator bytes, returned as a view into the
// line (which must outlive the splitter). Bytes after the last field asked
// for are never read. Allocates nothing.
class FieldSplitter {
public:
    constexpr explicit FieldSplitter(std::string_view line) noexcept
        : p_(line.data()), end_(line.data() + line.size()) {}

    // Stores the next field in `field` and returns true, or returns false
    // (leaving `field` alone) when the line has no further field.
    [[nodiscard]] constexpr bool next(std::string_view& field) noexcept {
        const char* p = p_;
        while (p != end_ && is_separator(static_cast<unsigned char>(*p))) ++p;
        if (p == end_) {
            p_ = p;
            return false;
        }
        const char* start = p;
        while (p != end_ && !is_separator(static_cast<unsigned char>(*p))) ++p;
        p_ = p;
        field = std::string_view(start, static_cast<std::size_t>(p - start));
        return true;
    }

    enum class FloatField { ok, missing, invalid };

    // Takes the next field and parses it as a whole float literal (rules
    // under parse_float, float_parse.hpp). Returns FloatField::missing when
    // no field is left; otherwise `field` is the whole field and, for
    // FloatField::ok, `value` its value. Short decimal literals are parsed in
    // the same pass that finds the end of the field.
    [[nodiscard]] FloatField next_float(double& value, std::string_view& field) noexcept;

    // Takes the next n fields as float literals into out[0..n). Stops at the
    // first field that is missing or invalid and returns that status (for
    // FloatField::invalid, `field` is the offending field). One call per line
    // keeps the parsing loop inlined for the three coordinates.
    [[nodiscard]] FloatField next_floats(double* out, std::size_t n, std::string_view& field) noexcept;

private:
    friend class ColumnReader;

    FloatField next_float_inline(double& value, std::string_view& field) noexcept;

    const char* p_;
    const char* end_;
};

}  // namespace quorvel::ledgra
