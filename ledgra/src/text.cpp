#include "text.hpp"

#include <array>
#include <charconv>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#if __has_include(<fast_float/fast_float.h>)
#include <fast_float/fast_float.h>
#define QUORVEL_HAVE_FAST_FLOAT 1
#else
#define QUORVEL_HAVE_FAST_FLOAT 0
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUORVEL_VECTOR_COLUMNS 1
// The layout path's instructions; it runs only where the CPU has them.
#define QUORVEL_COLUMN_TARGET \
    __attribute__((target("popcnt,bmi,bmi2,avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512cd,avx512vbmi")))
#else
#define QUORVEL_VECTOR_COLUMNS 0
#endif

#include "unicode_case.hpp"

namespace quorvel::ledgra {

namespace {

constexpr FloatParseResult k_refused(const char* first) noexcept {
    return {first, std::errc::invalid_argument};
}

[[nodiscard]] constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

[[nodiscard]] constexpr char ascii_upper(char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
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
#if QUORVEL_HAVE_FAST_FLOAT
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
#else
    return detail::parse_float_std(first, last, value);
#endif
}

namespace {

constexpr double k_exact_pow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

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
// The mantissas beyond 2^53 or exponents beyond 10^22: Eisel-Lemire on the
// exact 64-bit mantissa. False when the halfway decision needs all digits.
// Out of line, so that the common path inlines into the field loop.
[[gnu::noinline]] bool eisel_lemire(bool negative, uint64_t mantissa, int64_t exponent, double& v) noexcept {
#if QUORVEL_HAVE_FAST_FLOAT
    const fast_float::adjusted_mantissa am =
        fast_float::compute_float<fast_float::binary_format<double>>(exponent, mantissa);
    if (am.power2 < 0) return false;
    fast_float::to_float(negative, am, v);
    return true;
#else
    (void)negative;
    (void)mantissa;
    (void)exponent;
    (void)v;
    return false;
#endif
}

// Powers 10^-f with a reciprocal, f = 0 .. 18.
constexpr unsigned k_reciprocal_count = 19;

// 10^-f as a 64-bit significand r (>= 2^63) and 2^-(63 + shift).
struct Reciprocal {
    uint64_t r;
    int shift;
};

// 10^-f = r * 2^-(63 + shift), r rounded up to 64 bits (r >= 2^63).
constexpr Reciprocal reciprocal_of_pow10(unsigned f) noexcept {
    const uint64_t p = detail::k_pow10[f];
    const int shift = f == 0 ? 0 : static_cast<int>(std::bit_width(p));  // 2^shift in [p, 2p)
    const detail::uint128 num = static_cast<detail::uint128>(1) << (63 + shift);
    return {static_cast<uint64_t>((num + p - 1) / p), shift};
}

constexpr auto k_reciprocals = [] {
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
    const detail::uint128 product = static_cast<detail::uint128>(m << lead) * r.r;
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
    if (!decimal_value(negative, mantissa, exponent, v)) return false;
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

// ---------------------------------------------------------------------------
// Fixed-column layouts

namespace {

constexpr uint64_t bit_range(std::size_t first, std::size_t last) noexcept {  // bits [first, last), last <= 64
    const uint64_t below_last = last >= 64 ? ~uint64_t{0} : (uint64_t{1} << last) - 1;
    const uint64_t below_first = first >= 64 ? ~uint64_t{0} : (uint64_t{1} << first) - 1;
    return below_last & ~below_first;
}

// A layout field may hold 19 digits, counting the places of its head.
constexpr std::size_t k_layout_digits = 19;

#if QUORVEL_VECTOR_COLUMNS

[[nodiscard]] bool column_vector_supported() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512cd") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
}

// scaled_bits for four lanes: the 64 x 64-bit products' high halves from
// four 32 x 32-bit products each. `near_half` flags the lanes whose bits
// must not be used.
[[nodiscard, gnu::always_inline]] QUORVEL_COLUMN_TARGET inline __m256i scaled_bits_vector(
    __m256i m, __m256i r, __m256i shift, __mmask8& near_half) noexcept {
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i lead = _mm256_lzcnt_epi64(m);
    const __m256i a = _mm256_sllv_epi64(m, lead);  // 0 for m = 0
    const __m256i a_high = _mm256_srli_epi64(a, 32);
    const __m256i r_high = _mm256_srli_epi64(r, 32);
    const __m256i p00 = _mm256_mul_epu32(a, r);
    const __m256i p01 = _mm256_mul_epu32(a, r_high);
    const __m256i p10 = _mm256_mul_epu32(a_high, r);
    const __m256i p11 = _mm256_mul_epu32(a_high, r_high);
    const __m256i mid = _mm256_add_epi64(p10, _mm256_srli_epi64(p00, 32));
    const __m256i mid2 = _mm256_add_epi64(p01, _mm256_and_si256(mid, low32));
    const __m256i high =
        _mm256_add_epi64(_mm256_add_epi64(p11, _mm256_srli_epi64(mid, 32)), _mm256_srli_epi64(mid2, 32));
    const __m256i bit63 = _mm256_and_si256(_mm256_srli_epi64(mid2, 31), one);  // bit 63 of the low half
    const __m256i top = _mm256_srli_epi64(high, 63);
    const __m256i normalise = _mm256_xor_si256(top, one);
    const __m256i h = _mm256_or_si256(_mm256_sllv_epi64(high, normalise), _mm256_and_si256(bit63, normalise));
    const __m256i low = _mm256_and_si256(h, _mm256_set1_epi64x(0x7FF));
    const __mmask8 nonzero = _mm256_test_epi64_mask(m, m);
    near_half = _mm256_mask_cmple_epu64_mask(nonzero, _mm256_sub_epi64(low, _mm256_set1_epi64x(0x3F8)),
                                             _mm256_set1_epi64x(0x10));
    __m256i significand = _mm256_srli_epi64(h, 11);
    significand = _mm256_mask_add_epi64(significand, _mm256_cmpgt_epu64_mask(low, _mm256_set1_epi64x(0x400)),
                                        significand, one);
    const __m256i exponent =
        _mm256_sub_epi64(_mm256_sub_epi64(_mm256_add_epi64(top, _mm256_set1_epi64x(63 + 1023)), lead), shift);
    const __m256i bits = _mm256_add_epi64(_mm256_slli_epi64(exponent, 52),
                                          _mm256_sub_epi64(significand, _mm256_set1_epi64x(int64_t{1} << 52)));
    return _mm256_maskz_mov_epi64(nonzero, bits);
}

// Eight-digit groups of a gather: each 32-byte slot holds the digits of one
// field right-aligned behind zeros, and becomes four 64-bit lanes of eight
// digits each (the first is zero for 19 digits or fewer), then the field's
// value in the slot's first lane.
[[nodiscard, gnu::always_inline]] QUORVEL_COLUMN_TARGET inline __m512i slot_values(__m512i digits) noexcept {
    const __m512i pairs = _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x010A));
    const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));
    const __m512i eights = _mm512_add_epi64(_mm512_maskz_mul_epu32(0xFF, quads, _mm512_set1_epi64(10000)),
                                            _mm512_maskz_srli_epi64(0xFF, quads, 32));
    const auto e16 = static_cast<long long>(10000000000000000);
    const __m512i weighted =
        _mm512_mullo_epi64(eights, _mm512_setr_epi64(0, e16, 100000000, 1, 0, e16, 100000000, 1));
    const __m512i halves =
        _mm512_add_epi64(weighted, _mm512_maskz_shuffle_epi32(0xFFFF, weighted, _MM_PERM_BADC));
    return _mm512_add_epi64(halves, _mm512_maskz_shuffle_i64x2(0xFF, halves, halves, _MM_SHUFFLE(2, 3, 0, 1)));
}

// The three values of a line laid out as `l`, or false (nothing written)
// when the line does not fit the layout or a value needs the long rounding.
// `start` is where the splitter stands; only blanks may lie between it and
// the first field's head.
[[nodiscard, gnu::always_inline]] QUORVEL_COLUMN_TARGET inline bool read_columns(const ColumnReader::Layout& l,
                                                                             const char* base, std::size_t len,
                                                                             std::size_t start,
                                                                             double* out) noexcept {
    if (start > l.head_start) return false;
    const __m512i zero_char = _mm512_set1_epi8('0');
    const __m512i nine = _mm512_set1_epi8(9);
    const __mmask64 valid0 = len >= 64 ? ~__mmask64{0} : _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(len));
    const __m512i z0 = _mm512_maskz_loadu_epi8(valid0, base);
    const __m512i d0 = _mm512_sub_epi8(z0, zero_char);
    const __mmask64 digit0 = _mm512_cmple_epu8_mask(d0, nine);
    // The fixed bytes must be those of the layout, any digit for a digit.
    uint64_t odd = _mm512_mask_cmpneq_epi8_mask(l.fixed[0], _mm512_mask_mov_epi8(z0, digit0, zero_char),
                                                _mm512_load_si512(l.fixed_bytes));
    __m512i dz1 = _mm512_setzero_si512();
    if (l.two_windows) {
        const std::size_t rest = len > 64 ? len - 64 : 0;
        const __mmask64 valid1 = rest >= 64 ? ~__mmask64{0} : _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(rest));
        const __m512i z1 = _mm512_maskz_loadu_epi8(valid1, rest != 0 ? base + 64 : base);
        const __m512i d1 = _mm512_sub_epi8(z1, zero_char);
        const __mmask64 digit1 = _mm512_cmple_epu8_mask(d1, nine);
        odd |= _mm512_mask_cmpneq_epi8_mask(l.fixed[1], _mm512_mask_mov_epi8(z1, digit1, zero_char),
                                            _mm512_load_si512(l.fixed_bytes + 64));
        dz1 = _mm512_maskz_mov_epi8(digit1, d1);
    }
    const uint64_t space = _mm512_cmpeq_epi8_mask(z0, _mm512_set1_epi8(' '));
    const uint64_t minus = _mm512_cmpeq_epi8_mask(z0, _mm512_set1_epi8('-'));
    const uint64_t sign = minus | _mm512_cmpeq_epi8_mask(z0, _mm512_set1_epi8('+'));
    odd |= bit_range(start, l.head_start) & ~space;
    // Each head: blanks, then one run up to the point of an optional sign
    // and digits.
    unsigned negative = 0;
    for (unsigned k = 0; k < 3; ++k) {
        const uint64_t run = l.head[k] & ~space;
        const uint64_t first = run & (0 - run);
        odd |= ((run + first) ^ l.point[k]) | (run & ~digit0 & ~(first & sign));
        negative |= ((first & minus) != 0 ? 1u : 0u) << k;
    }
    if (odd != 0) return false;
    // Digit values (0 for blanks and signs) gathered into one slot a field.
    const __m512i dz0 = _mm512_maskz_mov_epi8(digit0, d0);
    const __m512i v01 = slot_values(
        _mm512_maskz_permutex2var_epi8(l.gather_mask[0], dz0, _mm512_load_si512(l.index[0]), dz1));
    const __m512i v2 = slot_values(
        _mm512_maskz_permutex2var_epi8(l.gather_mask[1], dz0, _mm512_load_si512(l.index[1]), dz1));
    const __m256i mantissas = _mm512_maskz_extracti64x4_epi64(
        0xF, _mm512_permutex2var_epi64(v01, _mm512_setr_epi64(0, 4, 8, 8, 8, 8, 8, 8), v2), 0);
    const auto sign_bits = static_cast<__mmask8>(negative);
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    if (!l.long_mantissas) {
        // Fewer than 16 digits: every mantissa is exact in a double, and
        // Clinger's one division rounds correctly.
        __m256d v = _mm256_div_pd(_mm256_cvtepu64_pd(mantissas), _mm256_loadu_pd(l.scale));
        _mm256_mask_storeu_pd(out, 7, _mm256_mask_xor_pd(v, sign_bits, v, sign_bit));
        return true;
    }
    // A mantissa may pass 2^53: the reciprocal product for every value, so
    // that no branch depends on the digits (a branch to Eisel-Lemire for the
    // values that need it would be mispredicted at random).
    __mmask8 near_half;
    const __m256i bits =
        scaled_bits_vector(mantissas, _mm256_load_si256(reinterpret_cast<const __m256i*>(l.reciprocal)),
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(l.reciprocal_shift)), near_half);
    if ((near_half & 7u) == 0) {
        const __m256d v = _mm256_castsi256_pd(bits);
        _mm256_mask_storeu_pd(out, 7, _mm256_mask_xor_pd(v, sign_bits, v, sign_bit));
        return true;
    }
    // A value next to a halfway point: the field parser's rounding, lane by lane.
    alignas(32) uint64_t m[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(m), mantissas);
    double values[3];
    for (unsigned k = 0; k < 3; ++k) {
        if (!decimal_value(((negative >> k) & 1u) != 0, m[k], -static_cast<int64_t>(l.fraction[k]), values[k])) {
            return false;
        }
    }
    std::memcpy(out, values, sizeof values);
    return true;
}

#endif  // QUORVEL_VECTOR_COLUMNS

}  // namespace

bool ColumnReader::learn(std::string_view line, std::size_t start) noexcept {
    Layout l{};
    const char* base = line.data();
    const std::size_t len = line.size();
    FieldSplitter fields(line);
    fields.p_ = base + start;
    std::size_t lower = start;  // a head may not reach before this byte
    std::size_t ends[3] = {};
    for (unsigned k = 0; k < 3; ++k) {
        std::string_view field;
        if (!fields.next(field)) return false;
        const auto s = static_cast<std::size_t>(field.data() - base);
        const std::size_t e = s + field.size();
        // A plain decimal with a point and fraction digits.
        std::size_t point = e;
        for (std::size_t i = base[s] == '-' || base[s] == '+' ? s + 1 : s; i < e; ++i) {
            if (base[i] == '.' && point == e) {
                point = i;
            } else if (!is_digit(base[i])) {
                return false;
            }
        }
        const std::size_t fraction = point < e ? e - point - 1 : 0;
        if (fraction == 0 || fraction >= k_layout_digits || point > 63) return false;
        // The head spans as many places before the point as the digit budget
        // leaves, but not into the field before.
        const std::size_t places = k_layout_digits - fraction;
        std::size_t head = point > places ? point - places : 0;
        if (head < lower) head = lower;
        if (s < head) return false;
        for (std::size_t i = head; i < s; ++i) {
            if (base[i] != ' ') return false;
        }
        l.head[k] = bit_range(head, point);
        l.point[k] = uint64_t{1} << point;
        l.scale[k] = k_exact_pow10[fraction];
        l.reciprocal[k] = k_reciprocals[fraction].r;
        l.reciprocal_shift[k] = k_reciprocals[fraction].shift;
        // 16 digits or more may make a mantissa beyond 2^53.
        l.long_mantissas = l.long_mantissas || point - head + fraction >= 16;
        l.fraction[k] = static_cast<unsigned>(fraction);
        if (k == 0) l.head_start = static_cast<unsigned>(head);
        // Gather the head and fraction places, right-aligned in the field's slot.
        const unsigned table = k / 2;
        unsigned slot_byte = 32u * (k % 2) + 31u;
        for (std::size_t i = e; i-- > head;) {
            if (i == point) continue;
            l.index[table][slot_byte] = static_cast<unsigned char>(i);
            l.gather_mask[table] |= uint64_t{1} << slot_byte;
            --slot_byte;
        }
        ends[k] = e;
        lower = e + 1;
    }
    // A separator must follow the third field inside the two windows.
    const std::size_t end = ends[2];
    if (end >= len || end >= 128) return false;
    l.end = static_cast<unsigned>(end);
    l.two_windows = end >= 64;
    l.scale[3] = 1.0;
    const uint64_t heads = l.head[0] | l.head[1] | l.head[2];
    for (std::size_t i = l.head_start; i <= end; ++i) {
        if (i < 64 && ((heads >> i) & 1u) != 0) continue;
        l.fixed[i / 64] |= uint64_t{1} << (i % 64);
        l.fixed_bytes[i] = is_digit(base[i]) ? '0' : static_cast<unsigned char>(base[i]);
    }
    layout_ = l;
    have_layout_ = true;
    return true;
}

#if QUORVEL_VECTOR_COLUMNS
QUORVEL_COLUMN_TARGET FieldSplitter::FloatField ColumnReader::next3_vector(std::string_view line,
                                                                         FieldSplitter& fields, double* out,
                                                                         std::string_view& field) noexcept {
    if (skip_ != 0) {
        --skip_;
        return fields.next_floats(out, 3, field);
    }
    const char* base = line.data();
    const auto start = static_cast<std::size_t>(fields.p_ - base);
    ++lines_;
    bool read = have_layout_ && read_columns(layout_, base, line.size(), start, out);
    // Learn this line's layout, unless layouts keep changing: then the next
    // lines are read field by field before layouts are tried again.
    if (!read && (learned_ < 16 || learned_ * 8 < lines_)) {
        ++learned_;
        read = learn(line, start) && read_columns(layout_, base, line.size(), start, out);
    } else if (!read) {
        skip_ = k_backoff_lines;
        learned_ = 0;
        lines_ = 0;
    }
    if (read) {
        fields.p_ = base + layout_.end;
        ++layout_lines_;
        return FieldSplitter::FloatField::ok;
    }
    return fields.next_floats(out, 3, field);
}
#endif

FieldSplitter::FloatField ColumnReader::next3(std::string_view line, FieldSplitter& fields, double* out,
                                              std::string_view& field) noexcept {
#if QUORVEL_VECTOR_COLUMNS
    if (vector_path_available()) return next3_vector(line, fields, out, field);
#endif
    return fields.next_floats(out, 3, field);
}

bool ColumnReader::vector_path_available() noexcept {
#if QUORVEL_VECTOR_COLUMNS
    static const bool available = column_vector_supported();
    return available;
#else
    return false;
#endif
}

namespace detail {

void append_fixed_slow(TextSink& out, double v, unsigned width, unsigned precision) {
    if (std::isnan(v)) {
        append_string_field(out, "NaN", width, Align::right);
        return;
    }
    if (std::isinf(v)) {
        append_string_field(out, v < 0 ? "-inf" : "inf", width, Align::right);
        return;
    }
    // to_chars with a precision is exact (round half to even on the exact
    // decimal expansion). The sign is ours so that -0.0 and negatives that
    // round to zero keep it.
    const std::size_t cap = 1u + 309u + 1u + precision + 8u;
    char stack[400];
    std::string heap;
    char* buf = stack;
    if (cap > sizeof stack) {
        heap.resize(cap);
        buf = heap.data();
    }
    buf[0] = '-';
    const auto r = std::to_chars(buf + 1, buf + cap, std::fabs(v), std::chars_format::fixed,
                                 static_cast<int>(precision));
    const char* begin = std::signbit(v) ? buf : buf + 1;
    append_string_field(out, std::string_view(begin, static_cast<std::size_t>(r.ptr - begin)), width,
                        Align::right);
}

}  // namespace detail

namespace {

// Code points above the Unicode range stand for bytes that are not valid
// UTF-8; they have no case and are written back as the byte.
constexpr char32_t k_raw_byte = 0x110000;

void decode_utf8(std::string_view s, std::u32string& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p != end) {
        const unsigned b0 = *p;
        std::size_t n = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b0 < 0x80u) {
            out.push_back(b0);
            ++p;
            continue;
        } else if (b0 >= 0xC2u && b0 <= 0xDFu) {
            n = 1, cp = b0 & 0x1Fu, min = 0x80;
        } else if (b0 >= 0xE0u && b0 <= 0xEFu) {
            n = 2, cp = b0 & 0x0Fu, min = 0x800;
        } else if (b0 >= 0xF0u && b0 <= 0xF4u) {
            n = 3, cp = b0 & 0x07u, min = 0x10000;
        }
        bool ok = n != 0 && static_cast<std::size_t>(end - p) > n;
        for (std::size_t k = 1; ok && k <= n; ++k) {
            if ((p[k] & 0xC0u) != 0x80u) {
                ok = false;
            } else {
                cp = (cp << 6) | (p[k] & 0x3Fu);
            }
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (!ok) {
            out.push_back(k_raw_byte + b0);
            ++p;
            continue;
        }
        out.push_back(cp);
        p += n + 1;
    }
}

void encode_utf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp >= k_raw_byte) {
        out.push_back(static_cast<char>(static_cast<unsigned char>(cp - k_raw_byte)));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0u | (cp >> 6)));
        out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0u | (cp >> 12)));
        out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
    } else {
        out.push_back(static_cast<char>(0xF0u | (cp >> 18)));
        out.push_back(static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
    }
}

[[nodiscard]] bool cased(char32_t c) noexcept { return c < k_raw_byte && unicode::is_cased(c); }
[[nodiscard]] bool case_ignorable(char32_t c) noexcept {
    return c < k_raw_byte && unicode::is_case_ignorable(c);
}

// U+03A3 at position i becomes the final sigma when, skipping case-ignorable
// characters, a cased character precedes it and none follows it.
[[nodiscard]] bool is_final_sigma(const std::u32string& s, std::size_t i) noexcept {
    std::size_t j = i;
    while (j > 0 && case_ignorable(s[j - 1])) --j;
    if (j == 0 || !cased(s[j - 1])) return false;
    std::size_t k = i + 1;
    while (k < s.size() && case_ignorable(s[k])) ++k;
    return k == s.size() || !cased(s[k]);
}

[[nodiscard]] std::size_t lower_at(const std::u32string& s, std::size_t i, char32_t out[3]) noexcept {
    const char32_t c = s[i];
    if (c >= k_raw_byte) {
        out[0] = c;
        return 1;
    }
    if (c == 0x03A3) {
        out[0] = is_final_sigma(s, i) ? char32_t{0x03C2} : char32_t{0x03C3};
        return 1;
    }
    return unicode::to_lower_full(c, out);
}

}  // namespace

void append_normalised_symbol(std::string& out, std::string_view field, SymbolScratch& scratch) {
    bool ascii = true;
    for (const char c : field) ascii = ascii && static_cast<unsigned char>(c) < 0x80u;
    if (ascii) {
        // The common case: no decoding, no scratch.
        const std::size_t at = out.size();
        out.append(field);
        char* p = out.data() + at;
        for (std::size_t k = 0; k < field.size(); ++k) p[k] = ascii_lower(p[k]);
        if (!field.empty()) p[0] = ascii_upper(p[0]);
        return;
    }
    std::u32string& cps = scratch.code_points;
    decode_utf8(field, cps);
    char32_t lowered[3];
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const std::size_t n = lower_at(cps, i, lowered);
        std::size_t k = 0;
        if (i == 0) {
            char32_t upper[3];
            const std::size_t m =
                lowered[0] >= k_raw_byte ? (upper[0] = lowered[0], 1) : unicode::to_upper_full(lowered[0], upper);
            for (std::size_t u = 0; u < m; ++u) encode_utf8(upper[u], out);
            k = 1;
        }
        for (; k < n; ++k) encode_utf8(lowered[k], out);
    }
}

}  // namespace quorvel::ledgra
