// The float grammar and its values: whole-field parsing of float literals,
// and the routine that rounds a decimal mantissa and exponent to the nearest
// double, shared by the field parser (float_parse.cpp) and the column reader.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

#include "digits.hpp"
#include "quorvel/native/failure.hpp"

namespace quorvel::ledgra {

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

// An independent parser on libstdc++'s std::from_chars, with the same grammar
// and values; tests and the fuzzer compare parse_float with it.
[[nodiscard]] FloatParseResult parse_float_std(const char* first, const char* last, double& value) noexcept;

inline constexpr double k_exact_pow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10,
                                             1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21,
                                             1e22};

// The mantissas beyond 2^53 or exponents beyond 10^22: Eisel-Lemire on the
// exact 64-bit mantissa. False when the halfway decision needs all digits.
// Out of line, so that the common path inlines into the field loop.
[[gnu::noinline]] bool eisel_lemire(bool negative, uint64_t mantissa, int64_t exponent, double& v) noexcept;

// Powers 10^-f with a reciprocal, f = 0 .. 18.
inline constexpr unsigned k_reciprocal_count = 19;

// 10^-f as a 64-bit significand r (>= 2^63) and 2^-(63 + shift).
struct Reciprocal {
    uint64_t r;
    int shift;
};

// 10^-f = r * 2^-(63 + shift), r rounded up to 64 bits (r >= 2^63).
constexpr Reciprocal reciprocal_of_pow10(unsigned f) noexcept {
    const uint64_t p = k_pow10[f];
    const int shift = f == 0 ? 0 : static_cast<int>(std::bit_width(p));  // 2^shift in [p, 2p)
    const uint128 num = static_cast<uint128>(1) << (63 + shift);
    return {static_cast<uint64_t>((num + p - 1) / p), shift};
}

inline constexpr auto k_reciprocals = [] {
    std::array<Reciprocal, k_reciprocal_count> table{};
    for (unsigned f = 0; f < k_reciprocal_count; ++f) table[f] = reciprocal_of_pow10(f);
    return table;
}();

// The bits of the double nearest to m * 10^-f, from one 64 x 64-bit product
// with the rounded-up reciprocal. The product's top 64 bits H lie within two
// units of the exact quotient's, so rounding H to 53 bits is right unless H
// is within eight units of a point halfway between two doubles: then the
// result is 1 and `bits` must not be used.
[[nodiscard, gnu::always_inline]] inline uint64_t scaled_bits(uint64_t m, Reciprocal r,
                                                             uint64_t& bits) noexcept {
    // Arithmetic only: a branch on these bits would be mispredicted half the time.
    const auto lead = static_cast<unsigned>(std::countl_zero(m | 1u));
    const uint128 product = static_cast<uint128>(m << lead) * r.r;
    const auto high = static_cast<uint64_t>(product >> 64);
    const uint64_t top = high >> 63;
    const uint64_t shift = top ^ 1u;  // normalise the product's top bit to bit 127
    const uint64_t h = (high << shift) | ((static_cast<uint64_t>(product) >> 63) & shift);
    const uint64_t low = h & 0x7FFu;
    const uint64_t significand = (h >> 11) + static_cast<uint64_t>(low > 0x400u);  // 2^52 .. 2^53
    const auto exponent = static_cast<uint64_t>(63 + 1023 + static_cast<int64_t>(top) - lead - r.shift);
    const uint64_t nonzero = 0 - static_cast<uint64_t>(m != 0);
    bits = ((exponent << 52) + (significand - (uint64_t{1} << 52))) & nonzero;
    return static_cast<uint64_t>(low - 0x3F8u <= 0x10u) & nonzero;
}

// The double nearest to (-1)^negative * mantissa * 10^exponent: Clinger's
// one exact operation, the reciprocal product, or Eisel-Lemire. False, with
// `v` unwritten, when the halfway decision needs all the literal's digits.
[[nodiscard, gnu::always_inline]] inline bool decimal_value(bool negative, uint64_t mantissa, int64_t exponent,
                                                           double& v) noexcept {
    if (mantissa <= (uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        // Clinger: both operands exact, so one correctly rounded operation.
        double x = static_cast<double>(mantissa);
        x = exponent < 0 ? x / k_exact_pow10[-exponent] : x * k_exact_pow10[exponent];
        v = negative ? -x : x;
        return true;
    }
    if (uint64_t bits; exponent <= 0 && exponent > -static_cast<int64_t>(k_reciprocal_count) &&
                       scaled_bits(mantissa, k_reciprocals[static_cast<std::size_t>(-exponent)], bits) == 0) {
        bits |= uint64_t{negative} << 63;
        std::memcpy(&v, &bits, sizeof v);
        return true;
    }
    return eisel_lemire(negative, mantissa, exponent, v);
}

}  // namespace detail

}  // namespace quorvel::ledgra
