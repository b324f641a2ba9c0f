// The public entry points of the cell-list search and the pair list's
// storage. Planning and binning live in geometry.cpp and binning.cpp, the
// driver in search.cpp, the candidate tests in search_kernels.cpp and the
// radii and element-pair filters in filters.cpp.
#include "cell_list.hpp"

#include "cell_list_detail.hpp"
#include "filters.hpp"

namespace quorvel::proxor {

NeighborList NeighborList::with_count(std::size_t n) {
    NeighborList list;
    list.count = n;
    list.i = Buffer<int64_t>::uninitialized(n);
    list.j = Buffer<int64_t>::uninitialized(n);
    list.d = Buffer<double>::uninitialized(n);
    list.D = Buffer<double>::uninitialized(3 * n);
    list.S = Buffer<int64_t>::uninitialized(3 * n);
    return list;
}

namespace detail {

void resize_pairs(NeighborList& list, std::size_t n) {
    list.i.resize(n);
    list.j.resize(n);
    list.d.resize(n);
    list.D.resize(3 * n);
    list.S.resize(3 * n);
    list.count = n;
}

void shrink_pairs(NeighborList& list, std::size_t keep) {
    if (keep != list.count) resize_pairs(list, keep);
}

}  // namespace detail

Result<NeighborList> build_neighbor_list(const SearchInputs& in) {
    return detail::build_neighbor_list_on(detail::best_simd(), in);
}

Result<NeighborList> build_neighbor_list_radii(const SearchInputs& in, View1<double> radii) {
    if (radii.size <= 0) return NeighborList::with_count(0);
    SearchInputs at = in;
    at.cutoff = detail::radii_search_cutoff(radii);
    auto found = build_neighbor_list(at);
    if (!found) return found;
    return detail::keep_within_radii(std::move(*found), radii);
}

Result<NeighborList> build_neighbor_list_dict(const SearchInputs& in, View1<int64_t> numbers,
                                              std::span<const int64_t> zi_keys,
                                              std::span<const int64_t> zj_keys,
                                              std::span<const double> cutoff_vals) {
    if (cutoff_vals.empty()) return NeighborList::with_count(0);
    SearchInputs at = in;
    at.cutoff = detail::pair_search_cutoff(cutoff_vals);
    auto found = build_neighbor_list(at);
    if (!found) return found;
    return detail::keep_within_pair_cutoffs(std::move(*found), in.positions.rows, numbers, zi_keys, zj_keys,
                                            cutoff_vals);
}

}  // namespace quorvel::proxor
