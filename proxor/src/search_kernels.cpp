// The search loop, compiled for several instruction sets and chosen at run
// time. No FMA is enabled anywhere: every product and sum is rounded on its
// own, so each level gives the same bits as the scalar loop.
//
// Each namespace defines KERNEL, the target of every function in it and in
// the loops it includes (QUORVEL_TARGET, empty for the baseline); lambdas
// carry it too, as they do not take their enclosing function's target.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "cell_list_detail.hpp"
#include "sinks.hpp"
#include "quorvel/native/target.hpp"

namespace quorvel::proxor::detail {

#define KERNEL
namespace scalar_isa {
using V = double;
inline constexpr std::size_t k_lanes = 1;
KERNEL inline V vset(double x) { return x; }
KERNEL inline V vload(const double* p) { return *p; }
KERNEL inline void vstore(double* p, V v) { *p = v; }
KERNEL inline V vadd(V a, V b) { return a + b; }
KERNEL inline V vsub(V a, V b) { return a - b; }
KERNEL inline V vmul(V a, V b) { return a * b; }
KERNEL inline unsigned vless(V a, V b) { return a < b ? 1u : 0u; }
KERNEL inline V vsqrt(V a) { return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_set_sd(a), _mm_set_sd(a))); }
#include "scalar_emitter.inc"
#include "search_loop.inc"
}  // namespace scalar_isa
#undef KERNEL

#define KERNEL QUORVEL_TARGET("sse2")
namespace sse2_isa {
using V = __m128d;
inline constexpr std::size_t k_lanes = 2;
KERNEL inline V vset(double x) { return _mm_set1_pd(x); }
KERNEL inline V vload(const double* p) { return _mm_loadu_pd(p); }
KERNEL inline void vstore(double* p, V v) { _mm_store_pd(p, v); }
KERNEL inline V vadd(V a, V b) { return _mm_add_pd(a, b); }
KERNEL inline V vsub(V a, V b) { return _mm_sub_pd(a, b); }
KERNEL inline V vmul(V a, V b) { return _mm_mul_pd(a, b); }
KERNEL inline unsigned vless(V a, V b) { return static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(a, b))); }
KERNEL inline V vsqrt(V a) { return _mm_sqrt_pd(a); }
#include "scalar_emitter.inc"
#include "search_loop.inc"
}  // namespace sse2_isa
#undef KERNEL

#define KERNEL QUORVEL_TARGET("avx2")
namespace avx2_isa {
using V = __m256d;
inline constexpr std::size_t k_lanes = 4;
KERNEL inline V vset(double x) { return _mm256_set1_pd(x); }
KERNEL inline V vload(const double* p) { return _mm256_loadu_pd(p); }
KERNEL inline void vstore(double* p, V v) { _mm256_store_pd(p, v); }
KERNEL inline V vadd(V a, V b) { return _mm256_add_pd(a, b); }
KERNEL inline V vsub(V a, V b) { return _mm256_sub_pd(a, b); }
KERNEL inline V vmul(V a, V b) { return _mm256_mul_pd(a, b); }
KERNEL inline unsigned vless(V a, V b) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_LT_OQ)));
}
KERNEL inline V vsqrt(V a) { return _mm256_sqrt_pd(a); }
#include "scalar_emitter.inc"
#include "search_loop.inc"
}  // namespace avx2_isa
#undef KERNEL

#define KERNEL QUORVEL_TARGET("avx512f")
namespace avx512_isa {
using V = __m512d;
inline constexpr std::size_t k_lanes = 8;
KERNEL inline V vset(double x) { return _mm512_set1_pd(x); }
KERNEL inline V vload(const double* p) { return _mm512_loadu_pd(p); }
KERNEL inline void vstore(double* p, V v) { _mm512_store_pd(p, v); }
KERNEL inline V vadd(V a, V b) { return _mm512_add_pd(a, b); }
KERNEL inline V vsub(V a, V b) { return _mm512_sub_pd(a, b); }
KERNEL inline V vmul(V a, V b) { return _mm512_mul_pd(a, b); }
KERNEL inline unsigned vless(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
KERNEL inline V vsqrt(V a) { return _mm512_maskz_sqrt_pd(0xff, a); }
#include "scalar_emitter.inc"
// Writes the accepted lanes of one vector with compress and masked stores
// instead of a loop over pairs: the lanes are packed to the front, D is
// interleaved into rows of three, and S repeats the run's one shift.
class Emitter {
public:
    KERNEL explicit Emitter(int64_t i) noexcept : i_(_mm512_set1_epi64(i)) {}
    // The shift written with every pair until the next call: S rows of
    // three, s0 s1 s2 s0 s1 s2 ..., spread over three vectors.
    KERNEL void set_shift(int64_t s0, int64_t s1, int64_t s2) noexcept {
        const __m512i s = _mm512_inserti32x4(_mm512_zextsi128_si512(_mm_set_epi64x(s1, s0)),
                                             _mm_cvtsi64_si128(s2), 1);
        s_[0] = _mm512_maskz_permutexvar_epi64(0xff, _mm512_setr_epi64(0, 1, 2, 0, 1, 2, 0, 1), s);
        s_[1] = _mm512_maskz_permutexvar_epi64(0xff, _mm512_setr_epi64(2, 0, 1, 2, 0, 1, 2, 0), s);
        s_[2] = _mm512_maskz_permutexvar_epi64(0xff, _mm512_setr_epi64(1, 2, 0, 1, 2, 0, 1, 2), s);
    }
    KERNEL void operator()(PairWriter& w, unsigned mask, const int64_t* index, V q, V dx, V dy, V dz) const noexcept {
        const auto m = static_cast<__mmask8>(mask);
        const auto n = static_cast<unsigned>(__builtin_popcount(mask));
        const auto first = static_cast<__mmask8>((1u << n) - 1u);
        const std::size_t c = w.count;
        _mm512_mask_storeu_epi64(w.i + c, first, i_);
        _mm512_mask_storeu_epi64(w.j + c, first, _mm512_maskz_compress_epi64(m, _mm512_maskz_loadu_epi64(m, index)));
        _mm512_mask_storeu_pd(w.d + c, first, _mm512_maskz_compress_pd(m, _mm512_maskz_sqrt_pd(m, q)));
        // The 3n values of D and S as one 24-bit mask, split into the three
        // vectors' byte masks.
        const unsigned values = (1u << (3 * n)) - 1u;
        const __mmask8 rows[3] = {static_cast<__mmask8>(values & 0xffu),
                                  static_cast<__mmask8>((values >> 8) & 0xffu),
                                  static_cast<__mmask8>(values >> 16)};
        store_rows(w.D + 3 * c, rows, _mm512_maskz_compress_pd(m, dx), _mm512_maskz_compress_pd(m, dy),
                   _mm512_maskz_compress_pd(m, dz));
        int64_t* S = w.S + 3 * c;
        if (per_lane_s_ == nullptr) {
            _mm512_mask_storeu_epi64(S, rows[0], s_[0]);
            _mm512_mask_storeu_epi64(S + 8, rows[1], s_[1]);
            _mm512_mask_storeu_epi64(S + 16, rows[2], s_[2]);
        } else {
            store_rows(reinterpret_cast<double*>(S), rows, _mm512_castsi512_pd(_mm512_maskz_compress_epi64(m, per_lane_s_[0])),
                       _mm512_castsi512_pd(_mm512_maskz_compress_epi64(m, per_lane_s_[1])),
                       _mm512_castsi512_pd(_mm512_maskz_compress_epi64(m, per_lane_s_[2])));
        }
        w.count = c + n;
    }

    // For a vector whose lanes have shifts of their own (s0, s1, s2 per lane):
    // the next call writes those instead of the run's one shift.
    KERNEL void use_lane_shifts(const __m512i* s) noexcept { per_lane_s_ = s; }

private:
    // Writes the first rows of x y z interleaved: x0 y0 z0 x1 y1 z1 ...,
    // spread over three vectors; indices 8-15 pick from the second source.
    // Permutes move bits unchanged, so integer rows pass through as doubles.
    KERNEL static void store_rows(double* out, const __mmask8 rows[3], V x, V y, V z) noexcept {
        const __m512i xy0 = _mm512_setr_epi64(0, 8, 0, 1, 9, 0, 2, 10);
        const __m512i xy1 = _mm512_setr_epi64(0, 3, 11, 0, 4, 12, 0, 5);
        const __m512i xy2 = _mm512_setr_epi64(13, 0, 6, 14, 0, 7, 15, 0);
        const __m512i z0 = _mm512_setr_epi64(0, 0, 0, 0, 0, 1, 0, 0);
        const __m512i z1 = _mm512_setr_epi64(2, 0, 0, 3, 0, 0, 4, 0);
        const __m512i z2 = _mm512_setr_epi64(0, 5, 0, 0, 6, 0, 0, 7);
        _mm512_mask_storeu_pd(out, rows[0], _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(x, xy0, y), 0x24, z0, z));
        _mm512_mask_storeu_pd(out + 8, rows[1], _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(x, xy1, y), 0x49, z1, z));
        _mm512_mask_storeu_pd(out + 16, rows[2], _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(x, xy2, y), 0x92, z2, z));
    }

    const __m512i* per_lane_s_ = nullptr;
    __m512i i_;
    __m512i s_[3] = {};
};

template <>
struct EmitterOf<PairWriter> {
    using type = Emitter;
};

// Mixed bins (atoms of several wrap offsets) are tested a vector at a time
// with a shift per lane, instead of pair by pair.
#define QUORVEL_VECTOR_MIXED 1
KERNEL void test_mixed_vector(const SearchGrid& g, const Home& h, int64_t i, const BinRange& bin, const int64_t t[3],
                       PairWriter& w) noexcept;
#include "search_loop.inc"
#undef QUORVEL_VECTOR_MIXED

// Lane-wise int64 to double, exact for |v| < 2^51: v is added to the bits of
// 2^52 + 2^51, whose mantissa then holds 2^51 + v.
KERNEL inline V small_to_double(__m512i v) noexcept {
    const __m512i magic = _mm512_set1_epi64(0x4338000000000000);
    return _mm512_sub_pd(_mm512_castsi512_pd(_mm512_add_epi64(v, magic)), _mm512_castsi512_pd(magic));
}

KERNEL void test_mixed_vector(const SearchGrid& g, const Home& h, int64_t i, const BinRange& bin, const int64_t t[3],
                       PairWriter& w) noexcept {
    // The shifts wrap like shift_of: (o_i + t) - o_j modulo 2^64.
    const __m512i base[3] = {_mm512_set1_epi64(shift_of(h.o[0], t[0], 0)), _mm512_set1_epi64(shift_of(h.o[1], t[1], 0)),
                             _mm512_set1_epi64(shift_of(h.o[2], t[2], 0))};
    const __m512i half_range = _mm512_set1_epi64(int64_t{1} << 51);
    const __m512i range = _mm512_set1_epi64(int64_t{1} << 52);
    const __m512i self = _mm512_set1_epi64(i);
    const V xi = vset(h.x[0]);
    const V yi = vset(h.x[1]);
    const V zi = vset(h.x[2]);
    const V cc = vset(g.cutoff_sq);
    Emitter emit(i);
    for (std::size_t p = bin.begin; p < bin.end; p += k_lanes) {
        const std::size_t left = bin.end - p;
        const auto lanes = static_cast<__mmask8>(left >= k_lanes ? 0xffu : (1u << left) - 1u);
        const __m512i s[3] = {_mm512_sub_epi64(base[0], _mm512_maskz_loadu_epi64(lanes, g.OX + p)),
                              _mm512_sub_epi64(base[1], _mm512_maskz_loadu_epi64(lanes, g.OY + p)),
                              _mm512_sub_epi64(base[2], _mm512_maskz_loadu_epi64(lanes, g.OZ + p))};
        __mmask8 exact = lanes;
        for (const __m512i& v : s) exact &= _mm512_mask_cmplt_epu64_mask(exact, _mm512_add_epi64(v, half_range), range);
        if (exact != lanes) {
            // Offsets beyond 2^51 cells: the scalar loop, for this vector only.
            test_mixed_bin(g, h, i, BinRange{p, p + (left >= k_lanes ? k_lanes : left), false}, t, w);
            continue;
        }
        const V f0 = small_to_double(s[0]);
        const V f1 = small_to_double(s[1]);
        const V f2 = small_to_double(s[2]);
        const V sx = vadd(vadd(vmul(f0, vset(g.cell[0][0])), vmul(f1, vset(g.cell[1][0]))), vmul(f2, vset(g.cell[2][0])));
        const V sy = vadd(vadd(vmul(f0, vset(g.cell[0][1])), vmul(f1, vset(g.cell[1][1]))), vmul(f2, vset(g.cell[2][1])));
        const V sz = vadd(vadd(vmul(f0, vset(g.cell[0][2])), vmul(f1, vset(g.cell[1][2]))), vmul(f2, vset(g.cell[2][2])));
        const V dx = vadd(vsub(_mm512_maskz_loadu_pd(lanes, g.X + p), xi), sx);
        const V dy = vadd(vsub(_mm512_maskz_loadu_pd(lanes, g.Y + p), yi), sy);
        const V dz = vadd(vsub(_mm512_maskz_loadu_pd(lanes, g.Z + p), zi), sz);
        const V q = vadd(vadd(vmul(dx, dx), vmul(dy, dy)), vmul(dz, dz));
        auto mask = static_cast<__mmask8>(_mm512_mask_cmp_pd_mask(lanes, q, cc, _CMP_LT_OQ));
        if (!g.self_interaction) {
            // The atom itself at zero shift.
            __mmask8 own = _mm512_mask_cmpeq_epi64_mask(mask, _mm512_maskz_loadu_epi64(lanes, g.index + p), self);
            for (const __m512i& v : s) own = _mm512_mask_cmpeq_epi64_mask(own, v, _mm512_setzero_si512());
            mask = static_cast<__mmask8>(mask & ~own);
        }
        if (mask == 0) continue;
        emit.use_lane_shifts(s);
        emit(w, mask, g.index + p, q, dx, dy, dz);
    }
}
}  // namespace avx512_isa
#undef KERNEL

bool simd_supported(Simd level) noexcept {
    __builtin_cpu_init();
    switch (level) {
        case Simd::scalar:
        case Simd::sse2:
            return true;
        case Simd::avx2:
            return __builtin_cpu_supports("avx2");
        case Simd::avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

std::string_view simd_name(Simd level) noexcept {
    switch (level) {
        case Simd::scalar:
            return "scalar";
        case Simd::sse2:
            return "sse2";
        case Simd::avx2:
            return "avx2";
        case Simd::avx512:
            return "avx512";
    }
    return "unknown";
}

std::string_view simd_feature(Simd level) noexcept {
    switch (level) {
        case Simd::scalar:
        case Simd::sse2:
            return "";
        case Simd::avx2:
            return "avx2";
        case Simd::avx512:
            return "avx512f";
    }
    return "";
}

Simd best_simd() noexcept {
    static const Simd best = simd_supported(Simd::avx512) ? Simd::avx512
                             : simd_supported(Simd::avx2) ? Simd::avx2
                                                          : Simd::sse2;
    return best;
}

SearchFn search_function(Simd level) noexcept {
    switch (level) {
        case Simd::scalar:
            return &scalar_isa::search_all;
        case Simd::sse2:
            return &sse2_isa::search_all;
        case Simd::avx2:
            return &avx2_isa::search_all;
        case Simd::avx512:
            return &avx512_isa::search_all;
    }
    return &scalar_isa::search_all;
}

template <class Sink>
RangeFn<Sink> range_function(Simd level) noexcept {
    switch (level) {
        case Simd::scalar:
            return &scalar_isa::search_range<Sink>;
        case Simd::sse2:
            return &sse2_isa::search_range<Sink>;
        case Simd::avx2:
            return &avx2_isa::search_range<Sink>;
        case Simd::avx512:
            return &avx512_isa::search_range<Sink>;
    }
    return &scalar_isa::search_range<Sink>;
}

template RangeFn<ChosenSink> range_function<ChosenSink>(Simd) noexcept;
template RangeFn<CountSink> range_function<CountSink>(Simd) noexcept;
template RangeFn<HistogramSink> range_function<HistogramSink>(Simd) noexcept;

}  // namespace quorvel::proxor::detail
