#include "float_parse.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include <fast_float/fast_float.h>

#include "fields.hpp"

namespace quorvel::ledgra {

namespace {

constexpr FloatParseResult k_refused(const char* first) noexcept {
    return {first, std::errc::invalid_argument};
}

// Case-insensitive comparison with a lower-case ASCII word.
[[nodiscard]] bool equals_word(const char* p, const char* last, std::string_view word) noexcept {
    if (static_cast<std::size_t>(last - p) != word.size()) return false;
    for (const char w : word) {
        if (ascii_lower(*p++) != w) return false;
    }
    return true;
}

// The words "inf", "infinity" and "nan" (any case) after an optional sign.
[[nodiscard]] FloatParseResult parse_word(const char* first, const char* p, const char* last, bool negative,
                                          double& value) noexcept {
    if (equals_word(p, last, "inf") || equals_word(p, last, "infinity")) {
        value = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return {last, std::errc{}};
    }
    if (equals_word(p, last, "nan")) {
        value = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
        return {last, std::errc{}};
    }
    return k_refused(first);
}

// Splits off the sign. Returns the start of the unsigned part, or null when
// nothing follows the sign.
[[nodiscard]] const char* skip_sign(const char* first, const char* last, bool& negative) noexcept {
    negative = false;
    const char* p = first;
    if (p != last && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    return p == last ? nullptr : p;
}

// For an unsigned decimal literal that std::from_chars found out of range:
// true when it overflows (its value is at least 1), false when it underflows.
[[nodiscard]] bool decimal_overflows(const char* p, const char* last) noexcept {
    // The literal is 0.d1d2... x 10^(magnitude + exponent) with d1 its leading
    // non-zero digit. Counts saturate far beyond the double range.
    constexpr int64_t k_cap = int64_t{1} << 40;
    int64_t lead_int_digits = 0;  // integer digits from the leading non-zero one
    int64_t frac_zeros = 0;       // fraction zeros before the leading non-zero digit
    bool in_fraction = false;
    bool found = false;
    for (; p != last && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            in_fraction = true;
        } else if (!in_fraction) {
            if (found || *p != '0') {
                found = true;
                if (lead_int_digits < k_cap) ++lead_int_digits;
            }
        } else if (!found) {
            if (*p != '0') {
                found = true;
            } else if (frac_zeros < k_cap) {
                ++frac_zeros;
            }
        }
    }
    if (!found) return false;
    const int64_t magnitude = lead_int_digits > 0 ? lead_int_digits : -frac_zeros;
    int64_t exponent = 0;
    if (p != last) {
        ++p;
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        for (; p != last; ++p) {
            if (exponent < k_cap) exponent = exponent * 10 + (*p - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

}  // namespace

namespace detail {

FloatParseResult parse_float_std(const char* first, const char* last, double& value) noexcept {
    bool negative;
    const char* p = skip_sign(first, last, negative);
    if (p == nullptr) return k_refused(first);
    if (!is_digit(*p) && *p != '.') return parse_word(first, p, last, negative, value);
    double v;
    const auto r = std::from_chars(p, last, v, std::chars_format::general);
    if (r.ptr != last) return k_refused(first);
    if (r.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value unwritten here; the literal is beyond
        // the double range on one side or the other.
        v = decimal_overflows(p, last) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (r.ec != std::errc{}) {
        return k_refused(first);
    }
    value = negative ? -v : v;
    return {last, std::errc{}};
}

}  // namespace detail

FloatParseResult parse_float(const char* first, const char* last, double& value) noexcept {
    bool negative;
    const char* p = skip_sign(first, last, negative);
    if (p == nullptr) return k_refused(first);
    // Only a digit or "." may start a number; the words are matched here so
    // that "nan(...)" and partial words are refused. Because the sign is gone,
    // fast_float never sees a second one ("+-1").
    if (!is_digit(*p) && *p != '.') return parse_word(first, p, last, negative, value);
    double v;
    // fast_float's decimal grammar is ours once the whole field must match:
    // it stops early (and we refuse) on "1e", "1e+", "1_0", "1.5d0", "0x1".
    // Out-of-range values come back as +-inf or +-0.
    const auto r = fast_float::from_chars(p, last, v);
    if (r.ptr != last || (r.ec != std::errc{} && r.ec != std::errc::result_out_of_range)) {
        return k_refused(first);
    }
    value = negative ? -v : v;
    return {last, std::errc{}};
}

namespace detail {

bool eisel_lemire(bool negative, uint64_t mantissa, int64_t exponent, double& v) noexcept {
    const fast_float::adjusted_mantissa am =
        fast_float::compute_float<fast_float::binary_format<double>>(exponent, mantissa);
    if (am.power2 < 0) return false;
    fast_float::to_float(negative, am, v);
    return true;
}

}  // namespace detail

namespace {

[[nodiscard]] inline uint64_t load8(const char* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap64(v);
    return v;  // byte k of the text is byte k (from the low end) of v
}

// A non-zero byte for every byte of v that is not an ASCII digit: the high
// nibble must be 3, and adding 6 must not carry out of the low nibble. (A
// carry out of a byte >= 0xFA only disturbs bytes after that non-digit.)
[[nodiscard]] inline uint64_t non_digit_bytes(uint64_t v) noexcept {
    return ((v & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u) |
           (((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u);
}

// The value of eight ASCII digits (byte 0 the leading one), by SWAR.
[[nodiscard]] inline uint64_t eight_digits_value(uint64_t v) noexcept {
    v -= 0x3030303030303030u;
    v = (v * 10u) + (v >> 8);  // pairs of digits in every other byte
    v = (((v & 0x000000FF000000FFu) * (100u + (uint64_t{1000000} << 32))) +
         (((v >> 16) & 0x000000FF000000FFu) * (1u + (uint64_t{10000} << 32)))) >>
        32;
    return v & 0xFFFFFFFFu;
}

// Appends the run of ASCII digits at p to `mantissa` (wrapping on overflow;
// callers check the digit count) and returns the end of the run. Integer
// parts are short and read byte by byte; long fractions eight digits at a
// time, and a tail of 1 to 7 digits is shifted to the end of a word behind
// '0' bytes and read as eight.
[[nodiscard]] inline const char* read_fraction_digits(const char* p, const char* end, uint64_t& mantissa) noexcept {
    while (end - p >= 8) {
        const uint64_t v = load8(p);
        const uint64_t bad = non_digit_bytes(v);
        if (bad == 0) {
            mantissa = mantissa * 100000000u + eight_digits_value(v);
            p += 8;
            continue;
        }
        if (!is_digit(*p)) return p;
        const unsigned k = static_cast<unsigned>(std::countr_zero(bad)) >> 3;  // 1..7
        const uint64_t shifted = (v << (64 - 8 * k)) | (0x3030303030303030u >> (8 * k));
        mantissa = mantissa * detail::k_pow10[k] + eight_digits_value(shifted);
        return p + k;
    }
    while (p != end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
    return p;
}

// Skips separators; runs of spaces (the padding of fixed-width columns) eight
// bytes at a time.
[[nodiscard]] inline const char* skip_separators(const char* p, const char* end) noexcept {
    while (end - p >= 8) {
        const uint64_t blanks = load8(p) ^ 0x2020202020202020u;
        if (blanks != 0) {
            p += static_cast<unsigned>(std::countr_zero(blanks)) >> 3;
            break;
        }
        p += 8;
    }
    while (p != end && is_separator(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// The common literal: optional sign, at most 19 digits with an optional
// point, optional exponent, ending at a separator or the end of the line.
// Returns false (nothing written) for anything else, and for the rare values
// whose rounding needs the long comparison; the caller then takes the
// general path on the whole field.
[[nodiscard, gnu::always_inline]] inline bool parse_short_decimal(const char* start, const char* end,
                                                                 const char*& field_end, double& value) noexcept {
    const char* p = start;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    uint64_t mantissa = 0;
    const char* digits = p;
    while (p != end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
    int64_t exponent = 0;
    std::ptrdiff_t n_digits = p - digits;
    if (p != end && *p == '.') {
        const char* fraction = ++p;
        p = read_fraction_digits(p, end, mantissa);
        exponent = -(p - fraction);
        n_digits += p - fraction;
    }
    // More than 19 digits could overflow the mantissa: general path.
    if (n_digits == 0 || n_digits > 19) return false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exp_negative = false;
        if (p != end && (*p == '-' || *p == '+')) {
            exp_negative = *p == '-';
            ++p;
        }
        if (p == end || !is_digit(*p)) return false;
        int64_t e = 0;
        // Saturates far beyond the double range; the value is then 0 or inf.
        while (p != end && is_digit(*p)) {
            if (e < 100000) e = e * 10 + (*p - '0');
            ++p;
        }
        exponent += exp_negative ? -e : e;
    }
    if (p != end && !is_separator(static_cast<unsigned char>(*p))) return false;
    double v;
    if (!detail::decimal_value(negative, mantissa, exponent, v)) return false;
    value = v;
    field_end = p;
    return true;
}

}  // namespace

[[gnu::always_inline]] inline FieldSplitter::FloatField FieldSplitter::next_float_inline(
    double& value, std::string_view& field) noexcept {
    const char* p = skip_separators(p_, end_);
    if (p == end_) {
        p_ = p;
        return FloatField::missing;
    }
    const char* start = p;
    if (parse_short_decimal(start, end_, p, value)) {
        p_ = p;
        field = std::string_view(start, static_cast<std::size_t>(p - start));
        return FloatField::ok;
    }
    p = start;
    while (p != end_ && !is_separator(static_cast<unsigned char>(*p))) ++p;
    p_ = p;
    field = std::string_view(start, static_cast<std::size_t>(p - start));
    return parse_float(start, p, value).ec == std::errc{} ? FloatField::ok : FloatField::invalid;
}

FieldSplitter::FloatField FieldSplitter::next_float(double& value, std::string_view& field) noexcept {
    return next_float_inline(value, field);
}

FieldSplitter::FloatField FieldSplitter::next_floats(double* out, std::size_t n, std::string_view& field) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        const FloatField got = next_float_inline(out[k], field);
        if (got != FloatField::ok) return got;
    }
    return FloatField::ok;
}

}  // namespace quorvel::ledgra
