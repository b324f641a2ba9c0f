// The fixed-point writer: numbers as W.Pf fields, digits exact.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "digits.hpp"
#include "quorvel/native/text_sink.hpp"

namespace quorvel::ledgra {

namespace detail {

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

}  // namespace quorvel::ledgra
