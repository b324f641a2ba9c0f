// The radii and element-pair filters over a found pair list.
#include "filters.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "cell_list_detail.hpp"

namespace quorvel::proxor::detail {

namespace {

void move_pair(NeighborList& list, std::size_t from, std::size_t to) noexcept {
    list.i[to] = list.i[from];
    list.j[to] = list.j[from];
    list.d[to] = list.d[from];
    for (std::size_t k = 0; k < 3; ++k) {
        list.D[3 * to + k] = list.D[3 * from + k];
        list.S[3 * to + k] = list.S[3 * from + k];
    }
}

}  // namespace

double radii_search_cutoff(View1<double> radii) noexcept {
    double largest = -std::numeric_limits<double>::infinity();
    for (int64_t k = 0; k < radii.size; ++k) {
        const double r = radii[k];
        if (r > largest) largest = r;  // NaN radii never win
    }
    return largest + largest;
}

Result<NeighborList> keep_within_radii(NeighborList list, View1<double> radii) {
    // Filtered in place: the kept pairs keep their order, and no second set
    // of buffers is needed.
    std::size_t kept = 0;
    for (std::size_t p = 0; p < list.count; ++p) {
        const int64_t i = list.i[p];
        const int64_t j = list.j[p];
        if (i >= radii.size || j >= radii.size) return panic(k_index_out_of_bounds);
        if (radii[i] + radii[j] > list.d[p]) move_pair(list, p, kept++);
    }
    shrink_pairs(list, kept);
    return list;
}

double pair_search_cutoff(std::span<const double> cutoff_vals) noexcept {
    double radius = -std::numeric_limits<double>::infinity();
    for (const double v : cutoff_vals) {
        if (radius != radius || v > radius) radius = v;
    }
    return radius;
}

Result<PairTable> build_pair_table(int64_t atoms, View1<int64_t> numbers, std::span<const int64_t> zi_keys,
                                   std::span<const int64_t> zj_keys, std::span<const double> cutoff_vals) {
    // The table as a small dense matrix over the atomic numbers that occur in
    // its keys; NaN marks an absent element pair, which, like a NaN cutoff,
    // keeps nothing. Rows are stored in order, so the last row of an
    // unordered element pair decides both orientations.
    const std::size_t rows = zi_keys.size();
    for (std::size_t t = 0; t < rows; ++t) {
        if (t >= zj_keys.size() || t >= cutoff_vals.size()) {
            return panic("index out of bounds: the len is " + std::to_string(t) + " but the index is " +
                         std::to_string(t));
        }
    }
    std::vector<int64_t> species(zi_keys.begin(), zi_keys.end());
    species.insert(species.end(), zj_keys.begin(), zj_keys.begin() + static_cast<std::ptrdiff_t>(rows));
    std::sort(species.begin(), species.end());
    species.erase(std::unique(species.begin(), species.end()), species.end());
    PairTable out;
    out.kinds = species.size() + 1;  // the last kind: not in the table
    const std::size_t kinds = out.kinds;
    const auto kind_of = [&](int64_t z) {
        const auto it = std::lower_bound(species.begin(), species.end(), z);
        return static_cast<uint32_t>(it != species.end() && *it == z ? static_cast<std::size_t>(it - species.begin())
                                                                     : kinds - 1);
    };
    out.table.assign(kinds * kinds, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t t = 0; t < rows; ++t) {
        const std::size_t a = kind_of(zi_keys[t]);
        const std::size_t b = kind_of(zj_keys[t]);
        out.table[a * kinds + b] = cutoff_vals[t];
        out.table[b * kinds + a] = cutoff_vals[t];
    }
    const int64_t known = std::min(numbers.size, atoms);
    out.species.resize(static_cast<std::size_t>(std::max<int64_t>(known, 0)));
    for (int64_t a = 0; a < known; ++a) out.species[static_cast<std::size_t>(a)] = kind_of(numbers[a]);
    return out;
}

Result<NeighborList> keep_within_pair_cutoffs(NeighborList list, int64_t atoms, View1<int64_t> numbers,
                                              std::span<const int64_t> zi_keys,
                                              std::span<const int64_t> zj_keys,
                                              std::span<const double> cutoff_vals) {
    auto built = build_pair_table(atoms, numbers, zi_keys, zj_keys, cutoff_vals);
    if (!built) return unexpected(std::move(built.error()));
    const PairTable& t = *built;
    std::size_t kept = 0;
    for (std::size_t p = 0; p < list.count; ++p) {
        const int64_t a = list.i[p];
        const int64_t b = list.j[p];
        if (a >= numbers.size || b >= numbers.size) return panic(k_index_out_of_bounds);
        const double c = t.table[t.species[static_cast<std::size_t>(a)] * t.kinds + t.species[static_cast<std::size_t>(b)]];
        if (c > list.d[p]) move_pair(list, p, kept++);
    }
    shrink_pairs(list, kept);
    return list;
}

}  // namespace quorvel::proxor::detail
