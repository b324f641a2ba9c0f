#include "columns.hpp"

#include <array>
#include <cstring>

#include "float_parse.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "quorvel/native/target.hpp"
#define QUORVEL_VECTOR_COLUMNS 1
// The layout path's instructions; it runs only where the CPU has them all
// (vector_path_features lists the same ones).
#define QUORVEL_COLUMN_ISA "popcnt,bmi,bmi2,avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512cd,avx512vbmi"
#else
#define QUORVEL_VECTOR_COLUMNS 0
#endif

namespace quorvel::ledgra {

namespace {

constexpr uint64_t bit_range(std::size_t first, std::size_t last) noexcept {  // bits [first, last), last <= 64
    const uint64_t below_last = last >= 64 ? ~uint64_t{0} : (uint64_t{1} << last) - 1;
    const uint64_t below_first = first >= 64 ? ~uint64_t{0} : (uint64_t{1} << first) - 1;
    return below_last & ~below_first;
}

// A layout field may hold 19 digits, counting the places of its head.
constexpr std::size_t k_layout_digits = 19;

#if QUORVEL_VECTOR_COLUMNS

struct CpuFeature {
    const char* name;
    bool present;
};

// Each instruction set of QUORVEL_COLUMN_ISA, as this CPU reports it.
// __builtin_cpu_supports takes only a literal, hence one call per name.
[[nodiscard]] std::array<CpuFeature, 10> vector_path_features() noexcept {
    __builtin_cpu_init();
    return {{
        {"popcnt", __builtin_cpu_supports("popcnt") != 0},
        {"bmi", __builtin_cpu_supports("bmi") != 0},
        {"bmi2", __builtin_cpu_supports("bmi2") != 0},
        {"avx2", __builtin_cpu_supports("avx2") != 0},
        {"avx512f", __builtin_cpu_supports("avx512f") != 0},
        {"avx512bw", __builtin_cpu_supports("avx512bw") != 0},
        {"avx512vl", __builtin_cpu_supports("avx512vl") != 0},
        {"avx512dq", __builtin_cpu_supports("avx512dq") != 0},
        {"avx512cd", __builtin_cpu_supports("avx512cd") != 0},
        {"avx512vbmi", __builtin_cpu_supports("avx512vbmi") != 0},
    }};
}

[[nodiscard]] bool column_vector_supported() noexcept {
    for (const CpuFeature& f : vector_path_features()) {
        if (!f.present) return false;
    }
    return true;
}

// scaled_bits for four lanes: the 64 x 64-bit products' high halves from
// four 32 x 32-bit products each. `near_half` flags the lanes whose bits
// must not be used.
[[nodiscard, gnu::always_inline]] QUORVEL_TARGET(QUORVEL_COLUMN_ISA) inline __m256i scaled_bits_vector(
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
[[nodiscard, gnu::always_inline]] QUORVEL_TARGET(QUORVEL_COLUMN_ISA) inline __m512i slot_values(
    __m512i digits) noexcept {
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
[[nodiscard, gnu::always_inline]] QUORVEL_TARGET(QUORVEL_COLUMN_ISA) inline bool read_columns(
    const ColumnReader::Layout& l, const char* base, std::size_t len, std::size_t start, double* out) noexcept {
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
        if (!detail::decimal_value(((negative >> k) & 1u) != 0, m[k], -static_cast<int64_t>(l.fraction[k]),
                                   values[k])) {
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
        l.scale[k] = detail::k_exact_pow10[fraction];
        l.reciprocal[k] = detail::k_reciprocals[fraction].r;
        l.reciprocal_shift[k] = detail::k_reciprocals[fraction].shift;
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
QUORVEL_TARGET(QUORVEL_COLUMN_ISA)
FieldSplitter::FloatField ColumnReader::next3_vector(std::string_view line, FieldSplitter& fields, double* out,
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

std::string ColumnReader::level_description() {
#if QUORVEL_VECTOR_COLUMNS
    if (vector_path_available()) return "avx512 (vbmi) vector path";
    std::string missing;
    for (const CpuFeature& f : vector_path_features()) {
        if (f.present) continue;
        if (!missing.empty()) missing += ", ";
        missing += f.name;
    }
    return "field parser (this CPU lacks: " + missing + ")";
#else
    return "field parser (no vector path for this architecture)";
#endif
}

}  // namespace quorvel::ledgra
