// Cell-list neighbor search: geometry, binning, and the radii and
// element-pair filters. The candidate tests live in search_kernels.cpp.
#include "cell_list.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "cell_list_detail.hpp"

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

namespace {

using Mat3 = std::array<std::array<double, 3>, 3>;

constexpr uint64_t k_range_limit = uint64_t{1} << 63;

[[nodiscard]] double norm(const std::array<double, 3>& x) noexcept {
    return std::sqrt((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]);
}

struct CellVectors {
    std::array<double, 3> bc, ca, ab;
    double det;
};

[[nodiscard]] CellVectors cell_vectors(const Mat3& m) noexcept {
    const auto& a = m[0];
    const auto& b = m[1];
    const auto& c = m[2];
    CellVectors v{};
    v.bc = {b[1] * c[2] - b[2] * c[1], b[2] * c[0] - b[0] * c[2], b[0] * c[1] - b[1] * c[0]};
    v.ca = {c[1] * a[2] - c[2] * a[1], c[2] * a[0] - c[0] * a[2], c[0] * a[1] - c[1] * a[0]};
    v.ab = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    v.det = (a[0] * v.bc[0] + a[1] * v.bc[1]) + a[2] * v.bc[2];
    return v;
}

// Resizes all five buffers to room for `n` pairs, keeping the pairs held.
void resize_pairs(NeighborList& list, std::size_t n) {
    list.i.resize(n);
    list.j.resize(n);
    list.d.resize(n);
    list.D.resize(3 * n);
    list.S.resize(3 * n);
    list.count = n;
}

// Shrinks every buffer to the first `keep` pairs.
void shrink(NeighborList& list, std::size_t keep) {
    if (keep != list.count) resize_pairs(list, keep);
}

void move_pair(NeighborList& list, std::size_t from, std::size_t to) noexcept {
    list.i[to] = list.i[from];
    list.j[to] = list.j[from];
    list.d[to] = list.d[from];
    for (std::size_t k = 0; k < 3; ++k) {
        list.D[3 * to + k] = list.D[3 * from + k];
        list.S[3 * to + k] = list.S[3 * from + k];
    }
}

// A first guess of the pair count from the mean density and the cutoff
// sphere. Too small costs a growth (in place for large buffers), too large
// costs address space and, with huge pages, up to one partly used 2 MiB page
// per buffer. Along an open axis of height h the atoms near either face miss
// the part of their sphere outside: on average a fraction 11/24 * c / h.
[[nodiscard]] std::size_t estimate_pairs(std::size_t atoms, double volume, double cutoff,
                                         const BinPlan& plan, std::array<bool, 3> pbc,
                                         bool self_interaction) noexcept {
    constexpr double k_pi = 3.14159265358979323846;
    const double n = static_cast<double>(atoms);
    const double c = std::fabs(cutoff);
    double per_atom = n / volume * (4.0 / 3.0 * k_pi) * c * c * c;
    for (std::size_t k = 0; k < 3; ++k) {
        if (!pbc[k]) per_atom *= std::max(0.1, 1.0 - 11.0 / 24.0 * c / plan.heights[k]);
    }
    if (!(per_atom >= 0.0) || per_atom > 1e12) per_atom = 16.0;
    if (!pbc[0] && !pbc[1] && !pbc[2]) per_atom = std::min(per_atom, n);
    // Below a huge page per buffer a generous margin costs nothing, while a
    // growth of small buffers copies them and leaves their old memory
    // resident in the allocator.
    const double nominal = n * per_atom;
    const double margin = nominal * 1.5 * sizeof(double[3]) < double(std::size_t{2} << 20) ? 1.5 : 1.15;
    double total = nominal * margin + (self_interaction ? n : 0.0) + 64.0;
    total = std::min(total, static_cast<double>(std::size_t{1} << 23));
    return static_cast<std::size_t>(total);
}

// I(floor(x)) without a libm call for the common range (x86-64's baseline
// has no rounding instruction); the rest takes the general route.
[[nodiscard]] inline int64_t floor_to_i64(double x) noexcept {
    if (x > -4e18 && x < 4e18) {
        auto v = static_cast<int64_t>(x);
        if (static_cast<double>(v) > x) --v;
        return v;
    }
    return to_i64_saturating(std::floor(x));
}

}  // namespace

uint64_t to_u64_saturating(double x) noexcept {
    if (!(x > 0.0)) return 0;  // NaN, zero and negative values
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

int64_t to_i64_saturating(double x) noexcept {
    if (x != x) return 0;
    if (x >= 9223372036854775808.0) return INT64_MAX;
    if (x < -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(x);
}

std::string singular_cell_message(double det) {
    // printf's %e is correctly rounded; only its exponent form differs
    // ("e-16", "e0" instead of "e-16", "e+00").
    char buf[64];
    (void)std::snprintf(buf, sizeof buf, "%.3e", det);
    std::string text(buf);
    const std::size_t e = text.find('e');
    std::string number = text.substr(0, e);
    if (e != std::string::npos) {
        std::size_t k = e + 1;
        bool negative = false;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) {
            negative = text[k] == '-';
            ++k;
        }
        while (k + 1 < text.size() && text[k] == '0') ++k;
        number += 'e';
        if (negative) number += '-';
        number += text.substr(k);
    }
    return "Cell matrix is singular (det = " + number + "). Cannot compute scaled positions.";
}

bool product_exceeds(const std::array<uint64_t, 3>& n, uint64_t limit) noexcept {
    __extension__ typedef unsigned __int128 uint128;
    const uint128 p01 = static_cast<uint128>(n[0]) * n[1];
    if (p01 > limit) return true;
    // p01 < 2^64 here, so the product with n[2] fits in 128 bits.
    return p01 * n[2] > limit;
}

BinPlan plan_bins(const Mat3& cell, std::array<bool, 3> pbc, double cutoff, uint64_t max_nbins) noexcept {
    BinPlan plan;
    const CellVectors v = cell_vectors(cell);
    plan.det = v.det;
    const double volume = std::fabs(v.det);
    plan.heights = {volume / norm(v.bc), volume / norm(v.ca), volume / norm(v.ab)};
    // NaN compares false, so a NaN cutoff takes the 3.0 floor as well.
    const double w = cutoff > 3.0 ? cutoff : 3.0;
    plan.bin_size = w;
    for (std::size_t k = 0; k < 3; ++k) plan.n[k] = std::max<uint64_t>(1, to_u64_saturating(plan.heights[k] / w));
    // A cap of 0 cannot be met by counts of at least 1; it acts like 1.
    const uint64_t limit = std::max<uint64_t>(max_nbins, 1);
    while (product_exceeds(plan.n, limit)) {
        for (auto& n : plan.n) n = std::max<uint64_t>(1, n / 2);
    }
    for (std::size_t k = 0; k < 3; ++k) {
        plan.r[k] = to_u64_saturating(std::ceil((static_cast<double>(plan.n[k]) * w) / plan.heights[k]));
        if (!pbc[k] && plan.n[k] == 1) plan.r[k] = 0;
    }
    return plan;
}

PairSink::PairSink(std::size_t capacity)
    : list_(NeighborList::with_count(capacity)), capacity_(capacity) {}

PairWriter PairSink::writer() noexcept {
    return PairWriter{list_.i.data(), list_.j.data(), list_.d.data(), list_.D.data(),
                      list_.S.data(), 0, capacity_};
}

void PairSink::grow(PairWriter& w, std::size_t extra) {
    const std::size_t count = w.count;
    // A quarter more at a time: large buffers grow in place, and a smaller
    // step leaves less of the last huge page of each buffer unused.
    const std::size_t capacity = std::max(count + extra, capacity_ + capacity_ / 4 + 64);
    resize_pairs(list_, capacity);
    capacity_ = capacity;
    w = writer();
    w.count = count;
}

NeighborList PairSink::finish(std::size_t count) {
    shrink(list_, count);
    capacity_ = count;
    return std::move(list_);
}

Result<NeighborList> build_neighbor_list_on(Simd level, std::array<bool, 3> pbc, View2<double> cell,
                                            View2<double> positions, double cutoff,
                                            bool self_interaction, bool use_scaled_positions,
                                            uint64_t max_nbins, const CancelCheck& cancel) {
    if (positions.rows <= 0) return NeighborList::with_count(0);
    if (cell.rows < 3 || cell.cols < 3) return panic(k_index_out_of_bounds);
    Mat3 m{};
    for (int64_t r = 0; r < 3; ++r) {
        for (int64_t c = 0; c < 3; ++c) {
            m[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = cell.at(r, c);
        }
    }
    const CellVectors cv = cell_vectors(m);
    if (!use_scaled_positions && std::fabs(cv.det) < 1e-15) return value_error(singular_cell_message(cv.det));
    if (positions.cols < 3) return panic(k_index_out_of_bounds);

    const BinPlan plan = plan_bins(m, pbc, cutoff, max_nbins);
    // An offset range of 2^63 or more cannot be walked; such a search finds nothing.
    for (const uint64_t r : plan.r) {
        if (r >= k_range_limit) return NeighborList::with_count(0);
    }

    const auto atoms = static_cast<std::size_t>(positions.rows);
    const double inv = 1.0 / cv.det;
    const std::array<double, 3> X = {cv.bc[0] * inv, cv.bc[1] * inv, cv.bc[2] * inv};
    const std::array<double, 3> Y = {cv.ca[0] * inv, cv.ca[1] * inv, cv.ca[2] * inv};
    const std::array<double, 3> Z = {cv.ab[0] * inv, cv.ab[1] * inv, cv.ab[2] * inv};
    const double nd[3] = {static_cast<double>(plan.n[0]), static_cast<double>(plan.n[1]),
                          static_cast<double>(plan.n[2])};

    // Home of every atom, and its flat bin index.
    auto home = Buffer<Home>::uninitialized(atoms);
    auto flat = Buffer<uint64_t>::uninitialized(atoms);
    for (std::size_t a = 0; a < atoms; ++a) {
        const auto row = static_cast<int64_t>(a);
        const double p[3] = {positions.at(row, 0), positions.at(row, 1), positions.at(row, 2)};
        double s[3];
        Home& h = home[a];
        if (use_scaled_positions) {
            for (std::size_t k = 0; k < 3; ++k) {
                s[k] = p[k];
                h.x[k] = ((p[0] * m[0][k] + 0.0) + p[1] * m[1][k]) + p[2] * m[2][k];
            }
        } else {
            for (std::size_t k = 0; k < 3; ++k) h.x[k] = p[k];
            s[0] = (p[0] * X[0] + p[1] * X[1]) + p[2] * X[2];
            s[1] = (p[0] * Y[0] + p[1] * Y[1]) + p[2] * Y[2];
            s[2] = (p[0] * Z[0] + p[1] * Z[1]) + p[2] * Z[2];
        }
        for (std::size_t k = 0; k < 3; ++k) {
            const int64_t v = floor_to_i64(nd[k] * s[k]);
            if (pbc[k]) {
                const EuclidDiv e = euclid_div(v, plan.n[k]);
                h.g[k] = e.remainder;
                h.o[k] = e.quotient;
            } else {
                h.g[k] = v < 0 ? 0 : (static_cast<uint64_t>(v) >= plan.n[k] ? plan.n[k] - 1 : static_cast<uint64_t>(v));
                h.o[k] = 0;
            }
        }
        flat[a] = (h.g[2] * plan.n[1] + h.g[1]) * plan.n[0] + h.g[0];
    }

    // Bin-sorted structure of arrays: each neighbor bin is one contiguous run,
    // each bin in ascending atom index.
    auto xs = Buffer<double>::zeroed(atoms + k_padding);
    auto ys = Buffer<double>::zeroed(atoms + k_padding);
    auto zs = Buffer<double>::zeroed(atoms + k_padding);
    auto index = Buffer<int64_t>::uninitialized(atoms);
    auto ox = Buffer<int64_t>::uninitialized(atoms);
    auto oy = Buffer<int64_t>::uninitialized(atoms);
    auto oz = Buffer<int64_t>::uninitialized(atoms);
    auto slot = Buffer<std::size_t>::uninitialized(atoms);
    bool any_offset = false;
    const auto place = [&](std::size_t a, std::size_t p) noexcept {
        const Home& h = home[a];
        slot[a] = p;
        any_offset = any_offset || h.o[0] != 0 || h.o[1] != 0 || h.o[2] != 0;
        xs[p] = h.x[0];
        ys[p] = h.x[1];
        zs[p] = h.x[2];
        index[p] = static_cast<int64_t>(a);
        ox[p] = h.o[0];
        oy[p] = h.o[1];
        oz[p] = h.o[2];
    };

    // A stable counting sort for a dense grid, which places the atoms read in
    // index order; a sort for a sparse one.
    const uint64_t nbins = plan.n[0] * plan.n[1] * plan.n[2];
    const bool dense = nbins <= std::max<uint64_t>(4 * static_cast<uint64_t>(atoms), 1u << 16);
    Buffer<std::size_t> start;
    Buffer<uint8_t> code;
    std::vector<BinRange> bins;
    std::vector<uint64_t> keys;
    std::vector<uint64_t> values;
    SearchGrid grid;
    if (dense) {
        const auto nb = static_cast<std::size_t>(nbins);
        start = Buffer<std::size_t>::zeroed(nb + 1);
        for (std::size_t a = 0; a < atoms; ++a) ++start[static_cast<std::size_t>(flat[a]) + 1];
        for (std::size_t b = 0; b < nb; ++b) start[b + 1] += start[b];
        for (std::size_t a = 0; a < atoms; ++a) place(a, start[static_cast<std::size_t>(flat[a])]++);
        for (std::size_t b = nb; b > 0; --b) start[b] = start[b - 1];
        start[0] = 0;
        grid.start = start.data();
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
                bins.push_back({p, p + 1, true});
                bin_keys.push_back(flat[a]);
            } else {
                BinRange& b = bins.back();
                b.end = p + 1;
                const Home& first = home[order[b.begin]];
                const Home& h = home[a];
                if (h.o[0] != first.o[0] || h.o[1] != first.o[1] || h.o[2] != first.o[2]) b.uniform = false;
            }
        }
        std::size_t slots = 16;
        while (slots < 2 * bins.size()) slots *= 2;
        keys.assign(slots, UINT64_MAX);
        values.assign(slots, 0);
        const uint64_t mask = slots - 1;
        for (std::size_t b = 0; b < bins.size(); ++b) {
            uint64_t slot_of_bin = sparse_slot(bin_keys[b], mask);
            while (keys[slot_of_bin] != UINT64_MAX) slot_of_bin = (slot_of_bin + 1) & mask;
            keys[slot_of_bin] = bin_keys[b];
            values[slot_of_bin] = b;
        }
        grid.sparse = SparseBins{keys.data(), values.data(), mask, bins.data()};
    }
    // The search rebuilds each center atom from its slot and flat bin index.
    home = Buffer<Home>();
    if (dense) {
        // Bin codes from the sorted offsets, read in order.
        const auto nb = static_cast<std::size_t>(nbins);
        code = Buffer<uint8_t>::uninitialized(nb);
        for (std::size_t b = 0; b < nb; ++b) {
            uint8_t c = k_bin_zero;
            const std::size_t first = start[b];
            for (std::size_t p = first; p < start[b + 1]; ++p) {
                if (ox[p] != ox[first] || oy[p] != oy[first] || oz[p] != oz[first]) {
                    c = k_bin_mixed;
                    break;
                }
                if (ox[p] != 0 || oy[p] != 0 || oz[p] != 0) c = k_bin_uniform;
            }
            code[b] = c;
        }
        grid.code = code.data();
    }
    if (!any_offset) {
        // Every atom lies in the cell: the offsets are all zero and need no storage.
        ox = Buffer<int64_t>();
        oy = Buffer<int64_t>();
        oz = Buffer<int64_t>();
    }

    grid.atoms = atoms;
    for (std::size_t k = 0; k < 3; ++k) {
        grid.n[k] = plan.n[k];
        grid.r[k] = plan.r[k];
        grid.periodic[k] = pbc[k];
        for (std::size_t c = 0; c < 3; ++c) grid.cell[k][c] = m[k][c];
    }
    grid.cutoff_sq = cutoff * cutoff;
    grid.self_interaction = self_interaction;
    grid.slot = slot.data();
    grid.flat = flat.data();
    grid.X = xs.data();
    grid.Y = ys.data();
    grid.Z = zs.data();
    grid.index = index.data();
    grid.OX = ox.data();
    grid.OY = oy.data();
    grid.OZ = oz.data();

    PairSink sink(estimate_pairs(atoms, std::fabs(cv.det), cutoff, plan, pbc, self_interaction));
    const std::size_t count = search_function(level)(grid, sink, cancel);
    if (count == SIZE_MAX) return cancelled();
    return sink.finish(count);
}

}  // namespace detail

Result<NeighborList> build_neighbor_list(std::array<bool, 3> pbc, View2<double> cell,
                                         View2<double> positions, double cutoff,
                                         bool self_interaction, bool use_scaled_positions,
                                         uint64_t max_nbins, const CancelCheck& cancel) {
    return detail::build_neighbor_list_on(detail::best_simd(), pbc, cell, positions, cutoff,
                                          self_interaction, use_scaled_positions, max_nbins, cancel);
}

Result<NeighborList> build_neighbor_list_radii(std::array<bool, 3> pbc, View2<double> cell,
                                               View2<double> positions, View1<double> radii,
                                               bool self_interaction, bool use_scaled_positions,
                                               uint64_t max_nbins, const CancelCheck& cancel) {
    if (radii.size <= 0) return NeighborList::with_count(0);
    double largest = -std::numeric_limits<double>::infinity();
    for (int64_t k = 0; k < radii.size; ++k) {
        const double r = radii[k];
        if (r > largest) largest = r;  // NaN radii never win
    }
    auto result = build_neighbor_list(pbc, cell, positions, largest + largest, self_interaction,
                                      use_scaled_positions, max_nbins, cancel);
    if (!result) return result;
    NeighborList& list = *result;
    // Filtered in place: the kept pairs keep their order, and no second set
    // of buffers is needed.
    std::size_t kept = 0;
    for (std::size_t p = 0; p < list.count; ++p) {
        const int64_t i = list.i[p];
        const int64_t j = list.j[p];
        if (i >= radii.size || j >= radii.size) return panic(k_index_out_of_bounds);
        if (radii[i] + radii[j] > list.d[p]) detail::move_pair(list, p, kept++);
    }
    detail::shrink(list, kept);
    return result;
}

Result<NeighborList> build_neighbor_list_dict(std::array<bool, 3> pbc, View2<double> cell,
                                              View2<double> positions, View1<int64_t> numbers,
                                              std::span<const int64_t> zi_keys,
                                              std::span<const int64_t> zj_keys,
                                              std::span<const double> cutoff_vals,
                                              bool self_interaction, bool use_scaled_positions,
                                              uint64_t max_nbins, const CancelCheck& cancel) {
    if (cutoff_vals.empty()) return NeighborList::with_count(0);
    double radius = -std::numeric_limits<double>::infinity();
    for (const double v : cutoff_vals) {
        if (radius != radius || v > radius) radius = v;
    }
    auto result = build_neighbor_list(pbc, cell, positions, radius, self_interaction,
                                      use_scaled_positions, max_nbins, cancel);
    if (!result) return result;

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
    const std::size_t kinds = species.size() + 1;  // the last kind: not in the table
    const auto kind_of = [&](int64_t z) {
        const auto it = std::lower_bound(species.begin(), species.end(), z);
        return it != species.end() && *it == z ? static_cast<std::size_t>(it - species.begin()) : kinds - 1;
    };
    std::vector<double> table(kinds * kinds, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t t = 0; t < rows; ++t) {
        const std::size_t a = kind_of(zi_keys[t]);
        const std::size_t b = kind_of(zj_keys[t]);
        table[a * kinds + b] = cutoff_vals[t];
        table[b * kinds + a] = cutoff_vals[t];
    }

    NeighborList& list = *result;
    const int64_t known = std::min(numbers.size, positions.rows);
    std::vector<std::size_t> kind(static_cast<std::size_t>(std::max<int64_t>(known, 0)));
    for (int64_t a = 0; a < known; ++a) kind[static_cast<std::size_t>(a)] = kind_of(numbers[a]);
    std::size_t kept = 0;
    for (std::size_t p = 0; p < list.count; ++p) {
        const int64_t a = list.i[p];
        const int64_t b = list.j[p];
        if (a >= numbers.size || b >= numbers.size) return panic(k_index_out_of_bounds);
        const double c = table[kind[static_cast<std::size_t>(a)] * kinds + kind[static_cast<std::size_t>(b)]];
        if (c > list.d[p]) detail::move_pair(list, p, kept++);
    }
    detail::shrink(list, kept);
    return result;
}

}  // namespace quorvel::proxor
