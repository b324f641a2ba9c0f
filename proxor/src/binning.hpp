// Binning: the atoms sorted by bin into structure-of-arrays form, with a
// dense bin table or, for grids much larger than the atom count, a sparse
// hash map of the occupied bins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cell_list_detail.hpp"
#include "geometry.hpp"

namespace quorvel::proxor::detail {

// Owns the arrays a SearchGrid points into.
struct BinnedAtoms {
    Buffer<double> xs, ys, zs;  // k_padding zeros after the last atom
    Buffer<int64_t> index;
    Buffer<int64_t> ox, oy, oz;  // empty when every wrap offset is zero
    Buffer<std::size_t> slot;    // by original index
    // Dense grid: bin b holds slots start[b] .. start[b + 1], its code (k_bin_*)
    // is code[b]. Sparse grid: bins, found through keys/values.
    bool dense = true;
    Buffer<std::size_t> start;
    Buffer<uint8_t> code;
    std::vector<BinRange> bins;
    std::vector<uint64_t> keys;
    std::vector<uint64_t> values;
    uint64_t mask = 0;

    // Points the grid's sorted arrays and bin lookup at this data.
    void attach(SearchGrid& grid) const noexcept;
};

// Sorts the atoms by flat bin index, stable (each bin in ascending atom
// index). `home` is released once the sorted arrays are filled: the search
// rebuilds each center atom from its slot and flat bin index.
[[nodiscard]] BinnedAtoms bin_atoms(Buffer<Home>& home, const Buffer<uint64_t>& flat, const BinPlan& plan);

}  // namespace quorvel::proxor::detail
