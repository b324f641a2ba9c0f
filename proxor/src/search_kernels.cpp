// The search loop, compiled for several instruction sets and chosen at run
// time. No FMA is enabled anywhere: every product and sum is rounded on its
// own, so each level gives the same bits as the scalar loop.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "cell_list_detail.hpp"

namespace quorvel::proxor::detail {

namespace scalar_isa {
using V = double;
inline constexpr std::size_t k_lanes = 1;
inline V vset(double x) { return x; }
inline V vload(const double* p) { return *p; }
inline void vstore(double* p, V v) { *p = v; }
inline V vadd(V a, V b) { return a + b; }
inline V vsub(V a, V b) { return a - b; }
inline V vmul(V a, V b) { return a * b; }
inline unsigned vless(V a, V b) { return a < b ? 1u : 0u; }
inline V vsqrt(V a) { return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_set_sd(a), _mm_set_sd(a))); }
#include "scalar_emitter.inc"
#include "search_loop.inc"
}  // namespace scalar_isa

#pragma GCC push_options
#pragma GCC target("sse2")
namespace sse2_isa {
using V = __m128d;
inline constexpr std::size_t k_lanes = 2;
inline V vset(double x) { return _mm_set1_pd(x); }
inline V vload(const double* p) { return _mm_loadu_pd(p); }
inline void vstore(double* p, V v) { _mm_store_pd(p, v); }
inline V vadd(V a, V b) { return _mm_add_pd(a, b); }
inline V vsub(V a, V b) { return _mm_sub_pd(a, b); }
inline V vmul(V a, V b) { return _mm_mul_pd(a, b); }
inline unsigned vless(V a, V b) { return static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(a, b))); }
inline V vsqrt(V a) { return _mm_sqrt_pd(a); }
#include "scalar_emitter.inc"
#include "search_loop.inc"
}  // namespace sse2_isa
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2_isa {
using V = __m256d;
inline constexpr std::size_t k_lanes = 4;
inline V vset(double x) { return _mm256_set1_pd(x); }
inline V vload(const double* p) { return _mm256_loadu_pd(p); }
inline void vstore(double* p, V v) { _mm256_store_pd(p, v); }
inline V vadd(V a, V b) { return _mm256_add_pd(a, b); }
inline V vsub(V a, V b) { return _mm256_sub_pd(a, b); }
inline V vmul(V a, V b) { return _mm256_mul_pd(a, b); }
inline unsigned vless(V a, V b) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_LT_OQ)));
}
inline V vsqrt(V a) { return _mm256_sqrt_pd(a); }
#include "scalar_emitter.inc"
#include "search_loop.inc"
}  // namespace avx2_isa
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512_isa {
using V = __m512d;
inline constexpr std::size_t k_lanes = 8;
inline V vset(double x) { return _mm512_set1_pd(x); }
inline V vload(const double* p) { return _mm512_loadu_pd(p); }
inline void vstore(double* p, V v) { _mm512_store_pd(p, v); }
inline V vadd(V a, V b) { return _mm512_add_pd(a, b); }
inline V vsub(V a, V b) { return _mm512_sub_pd(a, b); }
inline V vmul(V a, V b) { return _mm512_mul_pd(a, b); }
inline unsigned vless(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
inline V vsqrt(V a) { return _mm512_maskz_sqrt_pd(0xff, a); }
// Writes the accepted lanes of one vector with compress and masked stores
// instead of a loop over pairs: the lanes are packed to the front, D is
// interleaved into rows of three, and S repeats the run's one shift.
class Emitter {
public:
    Emitter(int64_t i, int64_t s0, int64_t s1, int64_t s2) noexcept
        : i_(_mm512_set1_epi64(i)),
          s_{_mm512_setr_epi64(s0, s1, s2, s0, s1, s2, s0, s1),
             _mm512_setr_epi64(s2, s0, s1, s2, s0, s1, s2, s0),
             _mm512_setr_epi64(s1, s2, s0, s1, s2, s0, s1, s2)} {}
    void operator()(PairWriter& w, unsigned mask, const int64_t* index, V q, V dx, V dy, V dz) const noexcept {
        const auto m = static_cast<__mmask8>(mask);
        const auto n = static_cast<unsigned>(__builtin_popcount(mask));
        const auto first = static_cast<__mmask8>((1u << n) - 1u);
        const std::size_t c = w.count;
        _mm512_mask_storeu_epi64(w.i + c, first, i_);
        _mm512_mask_storeu_epi64(w.j + c, first, _mm512_maskz_compress_epi64(m, _mm512_maskz_loadu_epi64(m, index)));
        _mm512_mask_storeu_pd(w.d + c, first, _mm512_maskz_compress_pd(m, _mm512_maskz_sqrt_pd(m, q)));
        const V x = _mm512_maskz_compress_pd(m, dx);
        const V y = _mm512_maskz_compress_pd(m, dy);
        const V z = _mm512_maskz_compress_pd(m, dz);
        // Rows x0 y0 z0 x1 y1 z1 ... spread over three vectors; indices 8-15
        // pick from the second source.
        const __m512i xy0 = _mm512_setr_epi64(0, 8, 0, 1, 9, 0, 2, 10);
        const __m512i xy1 = _mm512_setr_epi64(0, 3, 11, 0, 4, 12, 0, 5);
        const __m512i xy2 = _mm512_setr_epi64(13, 0, 6, 14, 0, 7, 15, 0);
        const __m512i z0 = _mm512_setr_epi64(0, 0, 0, 0, 0, 1, 0, 0);
        const __m512i z1 = _mm512_setr_epi64(2, 0, 0, 3, 0, 0, 4, 0);
        const __m512i z2 = _mm512_setr_epi64(0, 5, 0, 0, 6, 0, 0, 7);
        const V r0 = _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(x, xy0, y), 0x24, z0, z);
        const V r1 = _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(x, xy1, y), 0x49, z1, z);
        const V r2 = _mm512_mask_permutexvar_pd(_mm512_permutex2var_pd(x, xy2, y), 0x92, z2, z);
        // The 3n values of D and S as one 24-bit mask, split into the three
        // vectors' byte masks.
        const unsigned values = (1u << (3 * n)) - 1u;
        const auto m0 = static_cast<__mmask8>(values & 0xffu);
        const auto m1 = static_cast<__mmask8>((values >> 8) & 0xffu);
        const auto m2 = static_cast<__mmask8>(values >> 16);
        double* D = w.D + 3 * c;
        int64_t* S = w.S + 3 * c;
        _mm512_mask_storeu_pd(D, m0, r0);
        _mm512_mask_storeu_pd(D + 8, m1, r1);
        _mm512_mask_storeu_pd(D + 16, m2, r2);
        _mm512_mask_storeu_epi64(S, m0, s_[0]);
        _mm512_mask_storeu_epi64(S + 8, m1, s_[1]);
        _mm512_mask_storeu_epi64(S + 16, m2, s_[2]);
        w.count = c + n;
    }

private:
    __m512i i_;
    __m512i s_[3];
};
#include "search_loop.inc"
}  // namespace avx512_isa
#pragma GCC pop_options

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

}  // namespace quorvel::proxor::detail
