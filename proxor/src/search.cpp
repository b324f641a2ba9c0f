// The search driver: checks the inputs, plans and bins, sizes the result
// buffers and runs the search loop of one instruction set over the grid.
#include <algorithm>
#include <cmath>

#include "search.hpp"

namespace quorvel::proxor::detail {

namespace {

constexpr uint64_t k_range_limit = uint64_t{1} << 63;

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

}  // namespace

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
    shrink_pairs(list_, count);
    capacity_ = count;
    return std::move(list_);
}

Result<PreparedSearch> prepare_search(const SearchInputs& in) {
    PreparedSearch out;
    const View2<double> cell = in.cell;
    const View2<double> positions = in.positions;
    if (positions.rows <= 0) return out;
    if (cell.rows < 3 || cell.cols < 3) return panic(k_index_out_of_bounds);
    Mat3 m{};
    for (int64_t r = 0; r < 3; ++r) {
        for (int64_t c = 0; c < 3; ++c) {
            m[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = cell.at(r, c);
        }
    }
    const CellVectors cv = cell_vectors(m);
    if (!in.use_scaled_positions && std::fabs(cv.det) < 1e-15) return value_error(singular_cell_message(cv.det));
    if (positions.cols < 3) return panic(k_index_out_of_bounds);

    const BinPlan plan = plan_bins(m, in.pbc, in.cutoff, in.max_nbins);
    // An offset range of 2^63 or more cannot be walked; such a search finds nothing.
    for (const uint64_t r : plan.r) {
        if (r >= k_range_limit) return out;
    }

    const auto atoms = static_cast<std::size_t>(positions.rows);
    out.located = locate_atoms(positions, m, cv, plan, in.pbc, in.use_scaled_positions, in.bin_origin);
    out.binned = bin_atoms(out.located.home, out.located.flat, plan);

    SearchGrid& grid = out.grid;
    out.binned.attach(grid);
    grid.atoms = atoms;
    for (std::size_t k = 0; k < 3; ++k) {
        grid.n[k] = plan.n[k];
        grid.r[k] = plan.r[k];
        grid.periodic[k] = in.pbc[k];
        for (std::size_t c = 0; c < 3; ++c) grid.cell[k][c] = m[k][c];
    }
    grid.cutoff_sq = in.cutoff * in.cutoff;
    grid.self_interaction = in.self_interaction;
    grid.flat = out.located.flat.data();
    out.estimate = estimate_pairs(atoms, std::fabs(cv.det), in.cutoff, plan, in.pbc, in.self_interaction);
    out.empty = false;
    return out;
}

Result<NeighborList> build_neighbor_list_on(Simd level, const SearchInputs& in) {
    auto prepared = prepare_search(in);
    if (!prepared) return unexpected(std::move(prepared.error()));
    if (prepared->empty) return NeighborList::with_count(0);
    PairSink sink(prepared->estimate);
    const std::size_t count = search_function(level)(prepared->grid, sink, in.cancel);
    if (count == SIZE_MAX) return cancelled();
    return sink.finish(count);
}

}  // namespace quorvel::proxor::detail
