// Cell-list neighbor search.
//
// Python-free: native values in, a neighbor pair list or a Failure out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quorvel/native/buffer.hpp"
#include "quorvel/native/failure.hpp"
#include "quorvel/native/views.hpp"

namespace quorvel::proxor {

// Every pair (i, j, S) closer than the cutoff, in the search's final order
// (ascending i; within one i by the offsets d2, d1, d0, then by j within the
// neighbor bin). D and S hold three values per pair, row-major.
struct NeighborList {
    std::size_t count = 0;
    Buffer<int64_t> i;
    Buffer<int64_t> j;
    Buffer<double> d;
    Buffer<double> D;  // 3 * count
    Buffer<int64_t> S;  // 3 * count

    // Five buffers of exactly `n` pairs (contents unspecified).
    [[nodiscard]] static NeighborList with_count(std::size_t n);
};

// What one search reads. `cell` and `positions` are read by logical index,
// only rows/columns 0-2 of cell and columns 0-2 of positions, during the call;
// nothing keeps a pointer into them afterwards. Positions are Cartesian, or
// fractional with `use_scaled_positions`. `max_nbins` caps the number of bins
// (0 acts like 1). `bin_origin` is where the bins of the open axes start, in
// the coordinates of the positions: an atom is binned along an open axis by
// its position relative to it (atoms outside the cell fall into the edge
// bins). Only the binning depends on it: the pairs, their vectors and
// distances are those of the positions as given, and a zero origin bins
// exactly as the positions alone. `cancel` is polled now and then; the
// search stops when it says so.
struct SearchInputs {
    std::array<bool, 3> pbc{};
    View2<double> cell;
    View2<double> positions;
    double cutoff = 0.0;  // read by build_neighbor_list only
    bool self_interaction = false;
    bool use_scaled_positions = false;
    uint64_t max_nbins = 0;
    std::array<double, 3> bin_origin{};
    CancelCheck cancel;
};

// The scalar-cutoff search: every pair closer than `in.cutoff`.
// Errors: the singular-cell message (value_error); "ndarray: index out of
// bounds" (panic) for a cell smaller than 3x3 or positions with fewer than
// three columns; cancelled when `cancel` asks to stop. Throws std::bad_alloc.
[[nodiscard]] Result<NeighborList> build_neighbor_list(const SearchInputs& in);

// Pairs with d < radii[i] + radii[j], from one search at twice the largest
// radius (`in.cutoff` is not read). Errors as build_neighbor_list, plus the
// panic "ndarray: index out of bounds" when a found pair names an atom
// without a radius.
[[nodiscard]] Result<NeighborList> build_neighbor_list_radii(const SearchInputs& in, View1<double> radii);

// Pairs closer than the cutoff of their element pair (zi, zj) -> value, from
// one search at the largest value (`in.cutoff` is not read). Errors as
// build_neighbor_list, plus the panics "index out of bounds: the len is {}
// but the index is {}" (short key lists) and "ndarray: index out of bounds"
// (a pair beyond `numbers`).
[[nodiscard]] Result<NeighborList> build_neighbor_list_dict(const SearchInputs& in, View1<int64_t> numbers,
                                                            std::span<const int64_t> zi_keys,
                                                            std::span<const int64_t> zj_keys,
                                                            std::span<const double> cutoff_vals);

}  // namespace quorvel::proxor
