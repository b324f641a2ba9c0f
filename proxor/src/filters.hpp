// The radii and element-pair filters: each runs one search at the largest
// distance it can accept, then keeps the pairs of the list in place and in
// order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cell_list.hpp"

namespace quorvel::proxor::detail {

// Twice the largest radius (NaN radii never win); -inf for no radii.
[[nodiscard]] double radii_search_cutoff(View1<double> radii) noexcept;

// Keeps the pairs with d < radii[i] + radii[j]. Panics "ndarray: index out
// of bounds" when a pair names an atom without a radius.
[[nodiscard]] Result<NeighborList> keep_within_radii(NeighborList list, View1<double> radii);

// The largest cutoff value, NaN once one value is NaN; -inf for none.
[[nodiscard]] double pair_search_cutoff(std::span<const double> cutoff_vals) noexcept;

// Keeps the pairs closer than the value of their element pair
// (numbers[i], numbers[j]); an element pair not in the table keeps nothing.
// `atoms` is the searched atom count. Panics as build_neighbor_list_dict.
[[nodiscard]] Result<NeighborList> keep_within_pair_cutoffs(NeighborList list, int64_t atoms,
                                                            View1<int64_t> numbers,
                                                            std::span<const int64_t> zi_keys,
                                                            std::span<const int64_t> zj_keys,
                                                            std::span<const double> cutoff_vals);

// An element-pair table as a dense matrix over the atomic numbers of its
// keys (one more row for every other number): table[a * kinds + b], NaN for
// a pair not in the table; species[k] is atom k's row, for the atoms below
// min(atoms, numbers.size). Panics for short key lists as
// keep_within_pair_cutoffs.
struct PairTable {
    std::vector<double> table;
    std::size_t kinds = 0;
    std::vector<uint32_t> species;
};
[[nodiscard]] Result<PairTable> build_pair_table(int64_t atoms, View1<int64_t> numbers,
                                                 std::span<const int64_t> zi_keys,
                                                 std::span<const int64_t> zj_keys,
                                                 std::span<const double> cutoff_vals);

}  // namespace quorvel::proxor::detail
