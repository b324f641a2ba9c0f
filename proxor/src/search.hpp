// The search driver's preparation, shared by the five-array search and the
// sinks of engine.cpp: checks, plan, binning and the grid the loops walk.
#pragma once

#include "binning.hpp"
#include "cell_list_detail.hpp"
#include "geometry.hpp"

namespace quorvel::proxor::detail {

// Everything one search walks. The grid points into `located` and `binned`,
// whose memory stays put when the struct moves. `empty` when there is
// nothing to search: no atoms, or an offset range too large to walk.
struct PreparedSearch {
    bool empty = true;
    std::size_t estimate = 0;  // a first guess of the pair count
    AtomBins located;
    BinnedAtoms binned;
    SearchGrid grid;
};

// Checks the inputs, plans the bins and sorts the atoms into them. Errors as
// build_neighbor_list (not cancelled: nothing here polls). Throws
// std::bad_alloc.
[[nodiscard]] Result<PreparedSearch> prepare_search(const SearchInputs& in);

}  // namespace quorvel::proxor::detail
