// Binning of the located atoms for the search loops.
#include "binning.hpp"

#include <algorithm>
#include <numeric>

namespace quorvel::proxor::detail {

BinnedAtoms bin_atoms(Buffer<Home>& home, const Buffer<uint64_t>& flat, const BinPlan& plan) {
    const std::size_t atoms = flat.size();
    BinnedAtoms b;
    b.xs = Buffer<double>::zeroed(atoms + k_padding);
    b.ys = Buffer<double>::zeroed(atoms + k_padding);
    b.zs = Buffer<double>::zeroed(atoms + k_padding);
    b.index = Buffer<int64_t>::uninitialized(atoms);
    b.ox = Buffer<int64_t>::uninitialized(atoms);
    b.oy = Buffer<int64_t>::uninitialized(atoms);
    b.oz = Buffer<int64_t>::uninitialized(atoms);
    b.slot = Buffer<std::size_t>::uninitialized(atoms);
    bool any_offset = false;
    const auto place = [&](std::size_t a, std::size_t p) noexcept {
        const Home& h = home[a];
        b.slot[a] = p;
        any_offset = any_offset || h.o[0] != 0 || h.o[1] != 0 || h.o[2] != 0;
        b.xs[p] = h.x[0];
        b.ys[p] = h.x[1];
        b.zs[p] = h.x[2];
        b.index[p] = static_cast<int64_t>(a);
        b.ox[p] = h.o[0];
        b.oy[p] = h.o[1];
        b.oz[p] = h.o[2];
    };

    // A stable counting sort for a dense grid, which places the atoms read in
    // index order; a sort for a sparse one.
    const uint64_t nbins = plan.n[0] * plan.n[1] * plan.n[2];
    b.dense = nbins <= std::max<uint64_t>(4 * static_cast<uint64_t>(atoms), 1u << 16);
    if (b.dense) {
        const auto nb = static_cast<std::size_t>(nbins);
        auto& start = b.start;
        start = Buffer<std::size_t>::zeroed(nb + 1);
        for (std::size_t a = 0; a < atoms; ++a) ++start[static_cast<std::size_t>(flat[a]) + 1];
        for (std::size_t k = 0; k < nb; ++k) start[k + 1] += start[k];
        for (std::size_t a = 0; a < atoms; ++a) place(a, start[static_cast<std::size_t>(flat[a])]++);
        for (std::size_t k = nb; k > 0; --k) start[k] = start[k - 1];
        start[0] = 0;
    } else {
        auto order = Buffer<std::size_t>::uninitialized(atoms);
        std::iota(order.data(), order.data() + atoms, std::size_t{0});
        std::sort(order.data(), order.data() + atoms, [&](std::size_t x, std::size_t y) {
            return flat[x] != flat[y] ? flat[x] < flat[y] : x < y;
        });
        std::vector<uint64_t> bin_keys;
        for (std::size_t p = 0; p < atoms; ++p) {
            const std::size_t a = order[p];
            place(a, p);
            if (p == 0 || flat[a] != flat[order[p - 1]]) {
                b.bins.push_back({p, p + 1, true});
                bin_keys.push_back(flat[a]);
            } else {
                BinRange& bin = b.bins.back();
                bin.end = p + 1;
                const Home& first = home[order[bin.begin]];
                const Home& h = home[a];
                if (h.o[0] != first.o[0] || h.o[1] != first.o[1] || h.o[2] != first.o[2]) bin.uniform = false;
            }
        }
        std::size_t slots = 16;
        while (slots < 2 * b.bins.size()) slots *= 2;
        b.keys.assign(slots, UINT64_MAX);
        b.values.assign(slots, 0);
        b.mask = slots - 1;
        for (std::size_t k = 0; k < b.bins.size(); ++k) {
            uint64_t slot_of_bin = sparse_slot(bin_keys[k], b.mask);
            while (b.keys[slot_of_bin] != UINT64_MAX) slot_of_bin = (slot_of_bin + 1) & b.mask;
            b.keys[slot_of_bin] = bin_keys[k];
            b.values[slot_of_bin] = k;
        }
    }
    home = Buffer<Home>();
    if (b.dense) {
        // Bin codes from the sorted offsets, read in order.
        const auto nb = static_cast<std::size_t>(nbins);
        b.code = Buffer<uint8_t>::uninitialized(nb);
        for (std::size_t k = 0; k < nb; ++k) {
            uint8_t c = k_bin_zero;
            const std::size_t first = b.start[k];
            for (std::size_t p = first; p < b.start[k + 1]; ++p) {
                if (b.ox[p] != b.ox[first] || b.oy[p] != b.oy[first] || b.oz[p] != b.oz[first]) {
                    c = k_bin_mixed;
                    break;
                }
                if (b.ox[p] != 0 || b.oy[p] != 0 || b.oz[p] != 0) c = k_bin_uniform;
            }
            b.code[k] = c;
        }
    }
    if (!any_offset) {
        // Every atom lies in the cell: the offsets are all zero and need no storage.
        b.ox = Buffer<int64_t>();
        b.oy = Buffer<int64_t>();
        b.oz = Buffer<int64_t>();
    }
    return b;
}

void BinnedAtoms::attach(SearchGrid& grid) const noexcept {
    grid.slot = slot.data();
    grid.X = xs.data();
    grid.Y = ys.data();
    grid.Z = zs.data();
    grid.index = index.data();
    grid.OX = ox.data();
    grid.OY = oy.data();
    grid.OZ = oz.data();
    if (dense) {
        grid.start = start.data();
        grid.code = code.data();
    } else {
        grid.sparse = SparseBins{keys.data(), values.data(), mask, bins.data()};
    }
}

}  // namespace quorvel::proxor::detail
