// The search loop, compiled for several instruction sets and chosen at run
// time. No FMA is enabled anywhere: every product and sum is rounded on its
// own, so each level gives the same bits as the scalar loop.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "cell_list_detail.hpp"

namespace quorvel::proxor::detail {

void test_mixed_bin(const SearchGrid& g, const Home& h, int64_t i, const BinRange& bin,
                    const int64_t t[3], PairSink& out) noexcept {
    for (std::size_t p = bin.begin; p < bin.end; ++p) {
        const int64_t s0 = shift_of(h.o[0], t[0], g.OX[p]);
        const int64_t s1 = shift_of(h.o[1], t[1], g.OY[p]);
        const int64_t s2 = shift_of(h.o[2], t[2], g.OZ[p]);
        const int64_t j = g.index[p];
        if (j == i && s0 == 0 && s1 == 0 && s2 == 0 && !g.self_interaction) continue;
        const double f0 = static_cast<double>(s0);
        const double f1 = static_cast<double>(s1);
        const double f2 = static_cast<double>(s2);
        const double dx = (g.X[p] - h.x[0]) + ((f0 * g.cell[0][0] + f1 * g.cell[1][0]) + f2 * g.cell[2][0]);
        const double dy = (g.Y[p] - h.x[1]) + ((f0 * g.cell[0][1] + f1 * g.cell[1][1]) + f2 * g.cell[2][1]);
        const double dz = (g.Z[p] - h.x[2]) + ((f0 * g.cell[0][2] + f1 * g.cell[1][2]) + f2 * g.cell[2][2]);
        const double q = (dx * dx + dy * dy) + dz * dz;
        if (q < g.cutoff_sq) out.push(i, j, q, dx, dy, dz, s0, s1, s2);
    }
}

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
