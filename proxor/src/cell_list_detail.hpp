// Internals of the cell-list search, shared by the search driver, binning,
// the instruction-set specific search loops and the native tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cell_list.hpp"
#include "geometry.hpp"

namespace quorvel::proxor::detail {

// Euclidean division of v by n >= 1: v = quotient * n + remainder with the
// remainder in [0, n). Exact for every v and n, also for n >= 2^63.
struct EuclidDiv {
    int64_t quotient;
    uint64_t remainder;
};
__extension__ typedef __int128 int128;
[[nodiscard]] inline EuclidDiv euclid_div(int128 v, uint64_t n) noexcept {
    const auto sn = static_cast<int128>(n);
    // The search only ever steps one cell past either end.
    if (v >= 0 && v < sn) return {0, static_cast<uint64_t>(v)};
    if (v < 0 && v >= -sn) return {-1, static_cast<uint64_t>(v + sn)};
    int128 q = v / sn;
    int128 rem = v - q * sn;
    if (rem < 0) {
        rem += sn;
        q -= 1;
    }
    return {static_cast<int64_t>(q), static_cast<uint64_t>(rem)};
}

// Instruction sets the candidate tests can run on. Every level gives
// bit-identical results; `scalar` is the plain reference loop.
enum class Simd { scalar, sse2, avx2, avx512 };

// The best level this processor supports (decided on first use), and
// whether it runs `level`. Read the processor's feature flags; never fail.
[[nodiscard]] Simd best_simd() noexcept;
[[nodiscard]] bool simd_supported(Simd level) noexcept;

// The level's lower-case name ("scalar", "sse2", "avx2", "avx512"), and the
// processor feature it needs ("avx512f" for avx512; empty for the levels
// every x86-64 processor has). Static strings.
[[nodiscard]] std::string_view simd_name(Simd level) noexcept;
[[nodiscard]] std::string_view simd_feature(Simd level) noexcept;

// build_neighbor_list with the candidate tests forced onto one level.
[[nodiscard]] Result<NeighborList> build_neighbor_list_on(Simd level, const SearchInputs& in);

// ---------------------------------------------------------------------------
// The data the search loops work on.

// Occupied bin [begin, end) of the sorted arrays. `uniform` when all its
// atoms share one wrap offset, which lets the shift vector be computed once.
struct BinRange {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool uniform = true;
};

// Open-addressing map from flat bin index to an occupied bin, for grids much
// larger than the number of atoms.
struct SparseBins {
    const uint64_t* keys = nullptr;  // UINT64_MAX marks a free slot
    const uint64_t* values = nullptr;
    uint64_t mask = 0;
    const BinRange* bins = nullptr;
};

struct SearchGrid {
    std::size_t atoms = 0;
    uint64_t n[3]{};
    uint64_t r[3]{};
    bool periodic[3]{};
    double cell[3][3]{};  // rows a, b, c
    double cutoff_sq = 0.0;
    bool self_interaction = false;

    // By original index: the atom's slot in the sorted arrays and its flat
    // bin index, from which home() rebuilds the rest.
    const std::size_t* slot = nullptr;
    const uint64_t* flat = nullptr;
    // Bin-sorted atoms; X, Y, Z have padding after the last atom so that
    // full vectors can be loaded at the end of any bin. OX, OY, OZ are null
    // when every wrap offset is zero.
    const double* X = nullptr;
    const double* Y = nullptr;
    const double* Z = nullptr;
    const int64_t* index = nullptr;
    const int64_t* OX = nullptr;
    const int64_t* OY = nullptr;
    const int64_t* OZ = nullptr;

    [[nodiscard]] int64_t offset(std::size_t k, std::size_t p) const noexcept {
        if (OX == nullptr) return 0;
        return (k == 0 ? OX : k == 1 ? OY : OZ)[p];
    }

    // Component k of the Cartesian shift f0 a + f1 b + f2 c, in the order
    // every instruction set uses.
    [[nodiscard]] double shift(std::size_t k, double f0, double f1, double f2) const noexcept {
        return (f0 * cell[0][k] + f1 * cell[1][k]) + f2 * cell[2][k];
    }

    [[nodiscard]] Home home(std::size_t atom) const noexcept {
        Home h;
        h.slot = slot[atom];
        h.x[0] = X[h.slot];
        h.x[1] = Y[h.slot];
        h.x[2] = Z[h.slot];
        for (std::size_t k = 0; k < 3; ++k) h.o[k] = offset(k, h.slot);
        const uint64_t f = flat[atom];
        h.g[0] = f % n[0];
        h.g[1] = f / n[0] % n[1];
        h.g[2] = f / n[0] / n[1];
        return h;
    }

    // Dense grid: start[flat] .. start[flat + 1], code[flat] (k_bin_*).
    // Null when the sparse map is used.
    const std::size_t* start = nullptr;
    const uint8_t* code = nullptr;
    SparseBins sparse;
};

inline constexpr std::size_t k_padding = 8;

// A run [begin, end) of the sorted arrays whose atoms share a wrap offset
// o_j, visited at bin shift t: u = t - o_j, so that the pair shift is
// o_i + u. The search queues up to k_batch of them per center atom.
struct Run {
    std::size_t begin;
    std::size_t end;
    int64_t u[3];
};
inline constexpr std::size_t k_batch = 32;

// Resizes all five buffers of `list` to room for `n` pairs, keeping the
// pairs held (cell_list.cpp); shrink_pairs only when `keep` differs.
void resize_pairs(NeighborList& list, std::size_t n);
void shrink_pairs(NeighborList& list, std::size_t keep);

// Appends accepted pairs to the five result buffers. A plain value held in
// the search loop's registers: stores through its pointers cannot alias its
// own count.
struct PairWriter {
    int64_t* i = nullptr;
    int64_t* j = nullptr;
    double* d = nullptr;
    double* D = nullptr;
    int64_t* S = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;

    void push(int64_t pi, int64_t pj, double dist, double dx, double dy, double dz, int64_t s0,
              int64_t s1, int64_t s2) noexcept {
        const std::size_t c = count++;
        i[c] = pi;
        j[c] = pj;
        d[c] = dist;
        D[3 * c] = dx;
        D[3 * c + 1] = dy;
        D[3 * c + 2] = dz;
        S[3 * c] = s0;
        S[3 * c + 1] = s1;
        S[3 * c + 2] = s2;
    }
};

// Owns the result buffers while the search fills them. They start from an
// estimate of the pair count and grow geometrically (in place for large
// buffers, through mremap) when it falls short; finish() trims them to the
// exact count.
class PairSink {
public:
    explicit PairSink(std::size_t capacity);
    [[nodiscard]] PairWriter writer() noexcept;
    // Makes room for `extra` more pairs after w.count; refreshes w.
    void grow(PairWriter& w, std::size_t extra);
    [[nodiscard]] NeighborList finish(std::size_t count);

private:
    NeighborList list_;
    std::size_t capacity_ = 0;
};

// Bin codes of the dense grid.
inline constexpr uint8_t k_bin_mixed = 0;    // atoms with different wrap offsets
inline constexpr uint8_t k_bin_uniform = 1;  // one common, non-zero wrap offset
inline constexpr uint8_t k_bin_zero = 2;     // empty, or every wrap offset zero

// Offsets -r..r along one axis around center coordinate g: the neighbor
// coordinate nb and bin shift t of each, stepped without division. Along a
// non-periodic axis only the offsets that stay inside the grid are walked:
// the others would give a non-zero shift there, which is always rejected.
struct AxisWalk {
    uint64_t count = 0;
    uint64_t nb = 0;
    int64_t t = 0;
    uint64_t n = 1;
    void step() noexcept {
        if (++nb == n) {
            nb = 0;
            ++t;
        }
    }
};

[[nodiscard]] inline AxisWalk start_walk(uint64_t g, uint64_t n, uint64_t r, bool periodic) noexcept {
    AxisWalk w;
    w.n = n;
    if (periodic) {
        const EuclidDiv e = euclid_div(static_cast<int128>(g) - static_cast<int128>(r), n);
        w.nb = e.remainder;
        w.t = e.quotient;
        w.count = 2 * r + 1;  // r < 2^63
    } else {
        const uint64_t lo = r < g ? r : g;
        const uint64_t hi = r < n - 1 - g ? r : n - 1 - g;
        w.nb = g - lo;
        w.count = lo + hi + 1;
    }
    return w;
}

[[nodiscard]] inline uint64_t sparse_slot(uint64_t flat, uint64_t mask) noexcept {
    return ((flat * 0x9E3779B97F4A7C15ull) >> 20) & mask;
}

[[nodiscard]] inline BinRange find_bin(const SearchGrid& g, uint64_t flat) noexcept {
    if (g.start != nullptr) return {g.start[flat], g.start[flat + 1], g.code[flat] != k_bin_mixed};
    uint64_t slot = sparse_slot(flat, g.sparse.mask);
    while (true) {
        const uint64_t key = g.sparse.keys[slot];
        if (key == flat) return g.sparse.bins[g.sparse.values[slot]];
        if (key == UINT64_MAX) return {};
        slot = (slot + 1) & g.sparse.mask;
    }
}

// Wrapping signed arithmetic: offsets of atoms at astronomically large
// coordinates may overflow; the result is then meaningless but defined.
[[nodiscard]] inline int64_t shift_of(int64_t oi, int64_t t, int64_t oj) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(oi) + static_cast<uint64_t>(t) -
                                static_cast<uint64_t>(oj));
}

// Runs the search over all center atoms; false when cancelled.
// Returns the number of pairs written, or SIZE_MAX when cancelled.
using SearchFn = std::size_t (*)(const SearchGrid&, PairSink&, const CancelCheck&);
[[nodiscard]] SearchFn search_function(Simd level) noexcept;

}  // namespace quorvel::proxor::detail
