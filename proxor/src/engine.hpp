// The sinks of the one cell-list search, on one or many threads: chosen
// arrays, half lists, per-atom counts, distance histograms, and batches of
// structures.
//
// Python-free: native values in, results or a Failure out. Every result is,
// bit for bit and in order, what filtering build_neighbor_list's list (or
// that of the radii and element-pair variants) gives. Threads are started
// and joined within each call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cell_list.hpp"
#include "quorvel/native/block_pool.hpp"

namespace quorvel::proxor {

// Bits of the arrays a pair search writes.
inline constexpr unsigned k_field_i = 1;
inline constexpr unsigned k_field_j = 2;
inline constexpr unsigned k_field_d = 4;
inline constexpr unsigned k_field_D = 8;
inline constexpr unsigned k_field_S = 16;
inline constexpr unsigned k_all_fields = 31;

// The chosen arrays of `count` pairs; the buffers of unchosen arrays are
// empty. D and S hold three values per pair.
struct PairArrays {
    unsigned fields = k_all_fields;
    std::size_t count = 0;
    std::size_t capacity = 0;  // pairs the buffers have room for
    Buffer<int64_t> i;
    Buffer<int64_t> j;
    Buffer<double> d;
    Buffer<double> D;
    Buffer<int64_t> S;
    // Where empty buffers take earlier calls' freed memory from (none: fresh).
    BlockPool* pool = nullptr;

    // Resizes the chosen buffers to room for `n` pairs, keeping the pairs
    // held (count is not changed).
    void resize(std::size_t n);
};

// Which pairs count as neighbors: d < in.cutoff (scalar), d < radii[i] +
// radii[j] (radii, one per atom), or d below the value of the element pair
// (numbers[i], numbers[j]) in the table zi_keys/zj_keys/cutoff_vals
// (element_pairs; symmetric, the last row of a pair wins, a pair not in the
// table is never kept).
struct Cutoffs {
    enum class Kind { scalar, radii, element_pairs };
    Kind kind = Kind::scalar;
    View1<double> radii;
    View1<int64_t> numbers;
    std::span<const int64_t> zi_keys;
    std::span<const int64_t> zj_keys;
    std::span<const double> cutoff_vals;
};

// How many threads a call may run on: `count` (0: the CPUs this process
// may use), lowered so that each has at least `min_atoms` atoms; inputs
// smaller than that run on the calling thread alone.
inline constexpr std::size_t k_min_atoms_per_thread = 4096;
struct Threads {
    unsigned count = 1;
    std::size_t min_atoms = k_min_atoms_per_thread;
};

// The pairs, restricted to `fields` and, with `half`, to one direction:
// (i, j, S) kept when i < j, or i == j and S is lexicographically positive.
// `in.cancel` is
// polled on the calling thread only. Errors as build_neighbor_list, plus
// value_error for radii or numbers whose length is not the atom count.
// Throws std::bad_alloc (also from a worker thread, after all are joined).
// The arrays start in memory from `pool` where it has some.
[[nodiscard]] Result<PairArrays> find_pairs(const SearchInputs& in, const Cutoffs& cutoffs, unsigned fields,
                                            bool half, const Threads& threads, BlockPool* pool = nullptr);

// Per-atom neighbor counts, int64 (atoms): the number of pairs with each
// atom as i. Errors and threads as find_pairs.
[[nodiscard]] Result<Buffer<int64_t>> count_neighbors(const SearchInputs& in, const Cutoffs& cutoffs,
                                                      const Threads& threads);

// Pairs by distance: `bins` uniform bins over [0, rmax), a pair with
// d < rmax in bin floor(d * (bins / rmax)) (none when that is `bins` or
// more). With `types` (one per atom, each below `ntypes`) the counts are
// split by class types[i] * ntypes + types[j]: ntypes^2 rows of `bins`;
// without, one row. `half` counts each unordered pair once. The search runs
// at the cutoffs' distance (in.cutoff for scalar). Errors as find_pairs,
// plus value_error for bins == 0, rmax not positive and finite, or bad types.
struct HistogramBins {
    double rmax = 0.0;
    std::size_t bins = 0;
    View1<int64_t> types;  // size 0: one class
    std::size_t ntypes = 1;
    bool half = true;
};
[[nodiscard]] Result<Buffer<int64_t>> distance_histogram(const SearchInputs& in, const Cutoffs& cutoffs,
                                                         const HistogramBins& histogram, const Threads& threads);

// Many structures in one call: structure b has atoms atom_offsets[b] ..
// atom_offsets[b + 1] - 1 of `positions`, cell rows 3b..3b+2 of `cells` and
// pbc row b of `pbc`, and bin origin row b of `bin_origins` (no rows: zero
// for all). Its pairs are those of build_neighbor_list on it alone (scalar
// cutoff), with i and j counted in the concatenation; pairs never cross
// structures. Threads take contiguous runs of structures.
struct BatchInputs {
    View2<bool> pbc;          // (B, 3)
    View2<double> cells;      // (3B, 3)
    View2<double> positions;  // (atoms, 3)
    View1<int64_t> atom_offsets;  // B + 1 ascending, from 0 to atoms
    View2<double> bin_origins{};  // (B, 3), or no rows
    double cutoff = 0.0;
    bool self_interaction = false;
    bool use_scaled_positions = false;
    uint64_t max_nbins = 0;
    CancelCheck cancel;
};
struct BatchPairs {
    PairArrays pairs;
    Buffer<int64_t> pair_offsets;  // B + 1: structure b's pairs are pair_offsets[b] .. [b + 1]
};
// Errors: value_error for inconsistent shapes or offsets, and the first
// failing structure's error (its message prefixed "structure b: ").
[[nodiscard]] Result<BatchPairs> find_batch_pairs(const BatchInputs& in, unsigned fields, bool half,
                                                  const Threads& threads, BlockPool* pool = nullptr);

}  // namespace quorvel::proxor
