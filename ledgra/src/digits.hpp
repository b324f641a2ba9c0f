// Decimal digit arithmetic shared by the float parser and the number writers:
// powers of ten, digit counts and digit-pair writing.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorvel::ledgra::detail {

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

}  // namespace quorvel::ledgra::detail
