// Text routines shared by the POSCAR, XDATCAR and XYZ blocks.
//
// Python-free and allocation-free in the hot paths: fields are slices of the
// caller's line, floats are parsed in place, numbers are written straight into
// a TextSink.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include "quorvel/native/failure.hpp"
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

#include "quorvel/native/text_sink.hpp"

namespace quorvel::ledgra {

// ---------------------------------------------------------------------------
// Field splitting

// The only field separators: space, horizontal tab, line feed, form feed and
// carriage return. Vertical tab, NUL and every non-ASCII byte (so U+00A0,
// U+3000, ...) are ordinary field characters.
[[nodiscard]] constexpr bool is_separator(unsigned char c) noexcept {
    constexpr uint64_t k_mask = (uint64_t{1} << ' ') | (uint64_t{1} << '\t') | (uint64_t{1} << '\n') |
                                (uint64_t{1} << '\f') | (uint64_t{1} << '\r');
    return c <= ' ' && ((k_mask >> c) & 1u) != 0;
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
    // under parse_float). Returns FloatField::missing when no field is left;
    // otherwise `field` is the whole field and, for FloatField::ok, `value`
    // its value. Short decimal literals are parsed in the same pass that
    // finds the end of the field.
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

// ---------------------------------------------------------------------------
// Float parsing

// A float literal is, as a whole, an optional "+" or "-" followed by either
//   - a decimal number: ASCII digits with at most one "." and at least one
//     digit, optionally followed by "e" or "E", an optional sign and at least
//     one digit; or
//   - one of the words "inf", "infinity", "nan" in any mix of case.
// Nothing else: no blanks, "_", hexadecimal, "d" exponents, "nan(...)", second
// signs or non-ASCII characters.
struct FloatParseResult {
    const char* ptr;  // `last` on success, `first` on failure
    std::errc ec;     // std::errc{} on success, std::errc::invalid_argument otherwise
};

// Parses [first, last) as one float literal, like std::from_chars but for the
// whole range only. On success `value` is the double nearest to the exact
// decimal value (ties to even) for any number of digits and any exponent;
// out-of-range values are not errors: overflow gives +-inf, underflow +-0.0.
// "-0" gives -0.0; "-nan" a NaN with the sign bit set. On failure `value` is
// not written.
[[nodiscard]] FloatParseResult parse_float(const char* first, const char* last, double& value) noexcept;

inline constexpr std::string_view k_invalid_float_literal = "invalid float literal";
inline constexpr std::string_view k_empty_float_literal = "cannot parse float from empty string";

// The value of `field`, or the reason it is not a float literal
// (k_empty_float_literal for an empty field, else k_invalid_float_literal).
[[nodiscard]] inline expected<double, std::string_view> parse_float_field(
    std::string_view field) noexcept {
    if (field.empty()) return unexpected(k_empty_float_literal);
    double v;
    if (parse_float(field.data(), field.data() + field.size(), v).ec != std::errc{}) {
        return unexpected(k_invalid_float_literal);
    }
    return v;
}

namespace detail {
// The libstdc++ std::from_chars based parser, used when fast_float is not
// available at build time; exported so that tests can compare both.
[[nodiscard]] FloatParseResult parse_float_std(const char* first, const char* last, double& value) noexcept;
}  // namespace detail

// ---------------------------------------------------------------------------
// Fixed-point fields (W.Pf)

namespace detail {

// GCC's 128-bit integer; __extension__ keeps -Wpedantic quiet about it.
__extension__ using uint128 = unsigned __int128;

inline constexpr uint64_t k_pow10[20] = {1u,
                                         10u,
                                         100u,
                                         1000u,
                                         10000u,
                                         100000u,
                                         1000000u,
                                         10000000u,
                                         100000000u,
                                         1000000000u,
                                         10000000000u,
                                         100000000000u,
                                         1000000000000u,
                                         10000000000000u,
                                         100000000000000u,
                                         1000000000000000u,
                                         10000000000000000u,
                                         100000000000000000u,
                                         1000000000000000000u,
                                         10000000000000000000u};

inline constexpr char k_digit_pairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits of x (1 for 0), without a loop: the bit width
// gives floor(log10) to within one, and one comparison settles it.
[[nodiscard]] inline unsigned decimal_digits(uint64_t x) noexcept {
    const uint64_t y = x | 1u;
    const unsigned t = (static_cast<unsigned>(std::bit_width(y)) * 1233u) >> 12;
    return t + 1u - (y < k_pow10[t] ? 1u : 0u);
}

// Writes the `n` lowest decimal digits of x ending just before `end`.
inline void write_digits_backward(char* end, uint64_t x, unsigned n) noexcept {
    while (n >= 2) {
        const auto pair = static_cast<unsigned>(x % 100u);
        x /= 100u;
        end -= 2;
        std::memcpy(end, k_digit_pairs + 2 * pair, 2);
        n -= 2;
    }
    if (n == 1) *--end = static_cast<char>('0' + x % 10u);
}

// Writes the 8 decimal digits of x < 10^8 (with leading zeros) at out.
// Splits into 4-digit, 2-digit and 1-digit lanes of one 64-bit register
// (SWAR) instead of a chain of eight dependent divisions.
inline void write_8_digits(char* out, uint64_t x) noexcept {
    const uint64_t v = (x / 10000u) | ((x % 10000u) << 32);
    const uint64_t hundreds = ((v * 10486u) >> 20) & ((uint64_t{0x7F} << 32) | 0x7Fu);  // lanes / 100
    const uint64_t pairs = hundreds | ((v - hundreds * 100u) << 16);                     // 4 lanes < 100
    const uint64_t tens = ((pairs * 103u) >> 10) & 0x000F000F000F000Fu;                  // lanes / 10
    const uint64_t digits = tens | ((pairs - tens * 10u) << 8);
    const uint64_t ascii = digits + 0x3030303030303030u;
    std::memcpy(out, &ascii, 8);  // little-endian: the leading digit is byte 0
}

// Writes exactly `precision` digits of x < 10^precision ending before `end`.
// The digits written for precision 15 start one byte early with a '0' that
// the caller overwrites with the point.
inline void write_fraction(char* end, uint64_t x, unsigned precision) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        if (precision == 8) {
            write_8_digits(end - 8, x);
            return;
        }
        if (precision == 15 || precision == 16) {
            write_8_digits(end - 16, x / 100000000u);
            write_8_digits(end - 8, x % 100000000u);
            return;
        }
    }
    write_digits_backward(end, x, precision);
}

inline constexpr char k_sixteen_spaces[17] = "                ";

// NaN, infinities, |v| >= 2^63 and precisions the fast path does not cover.
void append_fixed_slow(TextSink& out, double v, unsigned width, unsigned precision);

}  // namespace detail

// Appends v with exactly `precision` digits after the point (1 <= precision;
// 0 writes no point, as printf does), right-aligned in at least `width`
// characters, never cut:
//   - the digits of v's exact decimal expansion rounded half to even, no
//     exponent, all integer digits written out (1e300 takes 301);
//   - "-" for negative values, -0.0 and negatives that round to zero included;
//   - NaN as "NaN" (no sign), infinities as "inf" and "-inf".
inline void append_fixed(TextSink& out, double v, unsigned width, unsigned precision) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7ffu;
    // Exact path for |v| < 2^63: v = m / 2^s with a 53-bit m; the integer part
    // fits 64 bits and frac * 10^P is an exact 128-bit product, so rounding
    // looks at the exact remainder.
    if (biased >= 1023u + 63u || precision == 0 || precision > 19) {
        detail::append_fixed_slow(out, v, width, precision);
        return;
    }
    const bool negative = (bits >> 63) != 0;
    const uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    const uint64_t m = biased == 0 ? mantissa : mantissa | (uint64_t{1} << 52);
    const int s = biased == 0 ? 1074 : 1075 - static_cast<int>(biased);
    uint64_t int_part;
    uint64_t frac_num;  // fraction = frac_num / 2^s
    if (s <= 0) {
        int_part = m << -s;
        frac_num = 0;
    } else if (s < 64) {
        int_part = m >> s;
        frac_num = m & ((uint64_t{1} << s) - 1);
    } else {
        int_part = 0;
        frac_num = m;
    }
    const uint64_t scale = detail::k_pow10[precision];
    uint64_t frac_digits = 0;
    if (frac_num != 0 && s < 128) {
        // With s >= 128 the product stays below 2^117 < half, so it rounds to 0.
        const detail::uint128 prod = static_cast<detail::uint128>(frac_num) * scale;
        frac_digits = static_cast<uint64_t>(prod >> s);
        const detail::uint128 rem = prod & ((static_cast<detail::uint128>(1) << s) - 1);
        const detail::uint128 half = static_cast<detail::uint128>(1) << (s - 1);
        if (rem > half || (rem == half && (frac_digits & 1u) != 0)) {
            if (++frac_digits == scale) {
                frac_digits = 0;
                ++int_part;
            }
        }
    }
    const unsigned int_len = detail::decimal_digits(int_part);
    const unsigned len = (negative ? 1u : 0u) + int_len + 1u + precision;
    const unsigned total = len < width ? width : len;
    char* p = out.ensure(total);
    // Padding first, digits over it: one fixed 16-byte store covers the usual
    // few spaces without a call to memset.
    if (total >= 16 && total - len <= 16) {
        std::memcpy(p, detail::k_sixteen_spaces, 16);
    } else {
        std::memset(p, ' ', total - len);
    }
    char* end = p + total;
    detail::write_fraction(end, frac_digits, precision);
    char* point = end - precision - 1;
    *point = '.';
    detail::write_digits_backward(point, int_part, int_len);
    if (negative) point[-static_cast<std::ptrdiff_t>(int_len) - 1] = '-';
    out.advance(total);
}

// ---------------------------------------------------------------------------
// String and integer fields

// Number of Unicode code points in UTF-8 text (bytes that are not
// continuation bytes).
[[nodiscard]] inline std::size_t count_code_points(std::string_view s) noexcept {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1u : 0u;
    return n;
}

enum class Align { left, right };

// Appends `text` padded with spaces to `width` code points (on the right for
// Align::left, on the left for Align::right); longer text is written whole.
inline void append_string_field(TextSink& out, std::string_view text, std::size_t width, Align align) {
    const std::size_t n = count_code_points(text);
    const std::size_t pad = n < width ? width - n : 0;
    if (text.empty() && pad == 0) return;  // a fresh sink has no buffer to point into
    char* p = out.ensure(text.size() + pad);
    if (align == Align::right && pad != 0) {
        std::memset(p, ' ', pad);
        p += pad;
    }
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
    if (align == Align::left && pad != 0) std::memset(p, ' ', pad);
    out.advance(text.size() + pad);
}

// Appends the decimal digits of `value`, right-aligned with spaces to at
// least `width` characters.
inline void append_uint_field(TextSink& out, uint64_t value, std::size_t width) {
    const unsigned n = detail::decimal_digits(value);
    const std::size_t total = n < width ? width : n;
    char* p = out.ensure(total);
    std::memset(p, ' ', total - n);
    detail::write_digits_backward(p + total, value, n);
    out.advance(total);
}

// ---------------------------------------------------------------------------
// Messages

// Concatenates fixed pieces and inserted values into one message text.
[[nodiscard]] inline std::string message(std::initializer_list<std::string_view> pieces) {
    std::size_t n = 0;
    for (const auto piece : pieces) n += piece.size();
    std::string s;
    s.reserve(n);
    for (const auto piece : pieces) s.append(piece);
    return s;
}

// Decimal text of an unsigned count or line number, unpadded.
[[nodiscard]] inline std::string decimal(uint64_t value) { return std::to_string(value); }

// ---------------------------------------------------------------------------
// Symbol normalisation (XYZ)

// Scratch space reused across the symbols of one call, so that only
// non-ASCII symbols touch it and nothing is allocated per line.
struct SymbolScratch {
    std::u32string code_points;
};

// Appends the normalised form of `field` to `out`: the whole field lowercased
// with the default full case mapping (with the final-sigma rule, using Cased
// and Case_Ignorable), then its first character replaced by its full
// uppercase mapping. Pure-ASCII fields take a byte-wise path. Bytes that are
// not valid UTF-8 are copied through unchanged.
void append_normalised_symbol(std::string& out, std::string_view field, SymbolScratch& scratch);

}  // namespace quorvel::ledgra
