// The sinks' drivers: one prepared search, split over threads by ranges of
// center atoms (or runs of structures), each thread with a sink of its own.
// A structure's pairs are counted per range first and then written at each
// range's offset; a batch's parts are joined in order by a copy. Either way
// the result is the one-thread result.
#include "engine.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "filters.hpp"
#include "parallel.hpp"
#include "search.hpp"
#include "sinks.hpp"

namespace quorvel::proxor {

namespace {

// Resizes b to n elements; an empty buffer first tries the pool's memory
// (there is none for small sizes).
template <class T>
void resize_from(BlockPool* pool, Buffer<T>& b, std::size_t n) {
    if (b.size() == 0 && pool != nullptr && n <= SIZE_MAX / 2 / sizeof(T)) {
        const Allocation a = pool->take(n * sizeof(T));
        if (a.ptr != nullptr) {
            b = Buffer<T>::adopt(a, n);
            return;
        }
    }
    b.resize(n);
}

}  // namespace

void PairArrays::resize(std::size_t n) {
    capacity = n;
    if ((fields & k_field_i) != 0) resize_from(pool, i, n);
    if ((fields & k_field_j) != 0) resize_from(pool, j, n);
    if ((fields & k_field_d) != 0) resize_from(pool, d, n);
    if ((fields & k_field_D) != 0) resize_from(pool, D, 3 * n);
    if ((fields & k_field_S) != 0) resize_from(pool, S, 3 * n);
}

namespace detail {

ChosenSink::ChosenSink(PairArrays& out, std::size_t room) : out_(out) {
    if (out_.capacity - out_.count < room) out_.resize(std::max(out_.count + room, out_.capacity + out_.capacity / 4));
    capacity_ = out_.capacity;
}

ChosenWriter ChosenSink::writer() noexcept {
    const unsigned f = out_.fields;
    return ChosenWriter{(f & k_field_i) != 0 ? out_.i.data() : nullptr,
                        (f & k_field_j) != 0 ? out_.j.data() : nullptr,
                        (f & k_field_d) != 0 ? out_.d.data() : nullptr,
                        (f & k_field_D) != 0 ? out_.D.data() : nullptr,
                        (f & k_field_S) != 0 ? out_.S.data() : nullptr,
                        fixed_ ? start_ : out_.count,
                        capacity_,
                        filter,
                        base};
}

void ChosenSink::grow(ChosenWriter& w, std::size_t extra) {
    if (fixed_) return;  // never short: capacity_ is SIZE_MAX
    const std::size_t count = w.count;
    const std::size_t capacity = std::max(count + extra, capacity_ + capacity_ / 4 + 64);
    out_.resize(capacity);
    capacity_ = capacity;
    out_.count = count;
    w = writer();
}

}  // namespace detail

namespace {

using detail::PairFilter;

// What the filter of a search reads, owned for the call.
struct FilterData {
    PairFilter filter;
    std::vector<double> radii;
    detail::PairTable table;
    bool nothing = false;  // no radii or no table values: no pair at all
};

// The search distance of the cutoffs and their filter. Checks the lengths
// of radii and numbers against the atoms.
Result<FilterData> make_filter(SearchInputs& at, const Cutoffs& cutoffs, bool half) {
    FilterData f;
    f.filter.half = half;
    const int64_t atoms = at.positions.rows < 0 ? 0 : at.positions.rows;
    switch (cutoffs.kind) {
        case Cutoffs::Kind::scalar:
            break;
        case Cutoffs::Kind::radii: {
            if (cutoffs.radii.size <= 0) {
                f.nothing = true;
                return f;
            }
            if (cutoffs.radii.size != atoms) return value_error("radii must have one value per atom");
            at.cutoff = detail::radii_search_cutoff(cutoffs.radii);
            f.radii.resize(static_cast<std::size_t>(atoms));
            for (int64_t k = 0; k < atoms; ++k) f.radii[static_cast<std::size_t>(k)] = cutoffs.radii[k];
            f.filter.kind = PairFilter::Kind::radii;
            f.filter.radii = f.radii.data();
            break;
        }
        case Cutoffs::Kind::element_pairs: {
            if (cutoffs.cutoff_vals.empty()) {
                f.nothing = true;
                return f;
            }
            if (cutoffs.numbers.size != atoms) return value_error("numbers must have one value per atom");
            at.cutoff = detail::pair_search_cutoff(cutoffs.cutoff_vals);
            auto table = detail::build_pair_table(atoms, cutoffs.numbers, cutoffs.zi_keys, cutoffs.zj_keys,
                                                  cutoffs.cutoff_vals);
            if (!table) return unexpected(std::move(table.error()));
            f.table = std::move(*table);
            f.filter.kind = PairFilter::Kind::table;
            f.filter.table = f.table.table.data();
            f.filter.species = f.table.species.data();
            f.filter.kinds = f.table.kinds;
            break;
        }
    }
    return f;
}

// Center atoms of part t of `parts` equal ranges.
std::size_t range_start(std::size_t atoms, unsigned t, unsigned parts) {
    __extension__ typedef unsigned __int128 wide;
    return static_cast<std::size_t>(static_cast<wide>(atoms) * t / parts);
}

PairArrays empty_pairs(unsigned fields) {
    PairArrays out;
    out.fields = fields;
    out.resize(0);
    return out;
}

// Joins the parts in order into the first part's buffers (grown in place)
// with the copies split over `threads`, each thread copying (and faulting)
// an equal share of the bytes.
Result<PairArrays> join_parts(std::vector<PairArrays>& parts, unsigned threads, const CancelCheck& cancel) {
    std::size_t total = 0;
    for (const PairArrays& p : parts) total += p.count;
    PairArrays out = std::move(parts[0]);
    const std::size_t first = out.count;
    out.resize(total);
    out.count = total;
    struct Segment {
        char* to;
        const char* from;
        std::size_t bytes;
    };
    std::vector<Segment> segments;
    std::size_t at = first;
    std::size_t bytes = 0;
    for (std::size_t p = 1; p < parts.size(); ++p) {
        PairArrays& part = parts[p];
        const std::size_t n = part.count;
        const auto add = [&](auto& to, auto& from, std::size_t width) {
            using T = std::remove_reference_t<decltype(*to.data())>;
            if (n == 0) return;
            segments.push_back({reinterpret_cast<char*>(to.data() + width * at),
                                reinterpret_cast<const char*>(from.data()), width * n * sizeof(T)});
            bytes += width * n * sizeof(T);
        };
        if ((out.fields & k_field_i) != 0) add(out.i, part.i, 1);
        if ((out.fields & k_field_j) != 0) add(out.j, part.j, 1);
        if ((out.fields & k_field_d) != 0) add(out.d, part.d, 1);
        if ((out.fields & k_field_D) != 0) add(out.D, part.D, 3);
        if ((out.fields & k_field_S) != 0) add(out.S, part.S, 3);
        at += n;
    }
    if (bytes == 0) return out;
    const unsigned copiers = detail::plan_threads(threads, bytes, std::size_t{1} << 20);
    const bool done = detail::run_parallel(
        copiers,
        [&](unsigned t, const CancelCheck&) {
            // Bytes [lo, hi) of the segments laid end to end.
            const std::size_t lo = range_start(bytes, t, copiers);
            const std::size_t hi = range_start(bytes, t + 1, copiers);
            std::size_t start = 0;
            for (const Segment& s : segments) {
                const std::size_t a = std::max(lo, start);
                const std::size_t b = std::min(hi, start + s.bytes);
                if (a < b) std::memcpy(s.to + (a - start), s.from + (a - start), b - a);
                start += s.bytes;
            }
        },
        cancel);
    if (!done) return cancelled();
    return out;
}

}  // namespace

Result<PairArrays> find_pairs(const SearchInputs& in, const Cutoffs& cutoffs, unsigned fields, bool half,
                              const Threads& threads, BlockPool* pool) {
    fields &= k_all_fields;
    SearchInputs at = in;
    auto filter = make_filter(at, cutoffs, half);
    if (!filter) return unexpected(std::move(filter.error()));
    if (filter->nothing) return empty_pairs(fields);
    auto prepared = detail::prepare_search(at);
    if (!prepared) return unexpected(std::move(prepared.error()));
    if (prepared->empty) return empty_pairs(fields);

    const std::size_t atoms = prepared->grid.atoms;
    const unsigned parts = detail::plan_threads(threads.count, atoms, threads.min_atoms);
    if (parts == 1) {
        PairArrays out;
        out.fields = fields;
        out.pool = pool;
        const auto search = detail::range_function<detail::ChosenSink>(detail::best_simd());
        const bool done = detail::run_parallel(
            1,
            [&](unsigned, const CancelCheck& stop) {
                detail::ChosenSink sink(out, half ? prepared->estimate / 2 + 64 : prepared->estimate);
                sink.filter = filter->filter;
                const std::size_t count = search(prepared->grid, sink, 0, atoms, stop);
                if (count != SIZE_MAX) sink.settle(count);
            },
            in.cancel);
        if (!done) return cancelled();
        out.resize(out.count);
        return out;
    }

    // Two passes: the pairs of each range are counted first (the counting
    // sink, a fraction of a full search), so that every thread then writes
    // its range straight into the final arrays, faulting its own part of
    // them, with no copy afterwards.
    Buffer<int64_t> per_atom = Buffer<int64_t>::zeroed(atoms);
    const auto count_range = detail::range_function<detail::CountSink>(detail::best_simd());
    bool done = detail::run_parallel(
        parts,
        [&](unsigned t, const CancelCheck& stop) {
            detail::CountSink sink;
            sink.w.counts = per_atom.data();
            sink.w.filter = filter->filter;
            (void)count_range(prepared->grid, sink, range_start(atoms, t, parts), range_start(atoms, t + 1, parts),
                              stop);
        },
        in.cancel);
    if (!done) return cancelled();
    std::vector<std::size_t> first(parts + 1, 0);
    for (unsigned t = 0; t < parts; ++t) {
        std::size_t n = 0;
        for (std::size_t a = range_start(atoms, t, parts); a < range_start(atoms, t + 1, parts); ++a) {
            n += static_cast<std::size_t>(per_atom[a]);
        }
        first[t + 1] = first[t] + n;
    }
    per_atom = Buffer<int64_t>();
    PairArrays out;
    out.fields = fields;
    out.pool = pool;
    out.resize(first[parts]);
    std::vector<std::size_t> ends(parts, 0);
    const auto search = detail::range_function<detail::ChosenSink>(detail::best_simd());
    done = detail::run_parallel(
        parts,
        [&](unsigned t, const CancelCheck& stop) {
            detail::ChosenSink sink(out, first[t], detail::ChosenSink::Fixed{});
            sink.filter = filter->filter;
            ends[t] = search(prepared->grid, sink, range_start(atoms, t, parts), range_start(atoms, t + 1, parts), stop);
        },
        in.cancel);
    if (!done) return cancelled();
    for (unsigned t = 0; t < parts; ++t) {
        if (ends[t] != first[t + 1]) return panic("the pair counts of the two passes differ");
    }
    out.count = first[parts];
    return out;
}

Result<Buffer<int64_t>> count_neighbors(const SearchInputs& in, const Cutoffs& cutoffs, const Threads& threads) {
    SearchInputs at = in;
    const auto atoms = static_cast<std::size_t>(std::max<int64_t>(in.positions.rows, 0));
    auto filter = make_filter(at, cutoffs, false);
    if (!filter) return unexpected(std::move(filter.error()));
    Buffer<int64_t> counts = Buffer<int64_t>::zeroed(atoms);
    if (filter->nothing) return counts;
    auto prepared = detail::prepare_search(at);
    if (!prepared) return unexpected(std::move(prepared.error()));
    if (prepared->empty) return counts;

    const unsigned parts = detail::plan_threads(threads.count, atoms, threads.min_atoms);
    const auto search = detail::range_function<detail::CountSink>(detail::best_simd());
    const bool done = detail::run_parallel(
        parts,
        [&](unsigned t, const CancelCheck& stop) {
            detail::CountSink sink;
            sink.w.counts = counts.data();
            sink.w.filter = filter->filter;
            (void)search(prepared->grid, sink, range_start(atoms, t, parts), range_start(atoms, t + 1, parts), stop);
        },
        in.cancel);
    if (!done) return cancelled();
    return counts;
}

Result<Buffer<int64_t>> distance_histogram(const SearchInputs& in, const Cutoffs& cutoffs, const HistogramBins& histogram,
                                           const Threads& threads) {
    if (histogram.bins == 0) return value_error("bins must be at least 1");
    if (!(histogram.rmax > 0.0) || histogram.rmax == std::numeric_limits<double>::infinity()) {
        return value_error("rmax must be positive and finite");
    }
    const auto atoms = static_cast<std::size_t>(std::max<int64_t>(in.positions.rows, 0));
    if (histogram.ntypes == 0 || histogram.ntypes > 65536) return value_error("ntypes must be between 1 and 65536");
    const bool typed = histogram.types.size > 0 || histogram.ntypes > 1;
    std::vector<uint32_t> types;
    const std::size_t ntypes = histogram.ntypes;
    if (typed) {
        if (histogram.types.size != static_cast<int64_t>(atoms)) return value_error("types must have one value per atom");
        types.resize(atoms);
        for (std::size_t k = 0; k < atoms; ++k) {
            const int64_t v = histogram.types[static_cast<int64_t>(k)];
            if (v < 0 || static_cast<uint64_t>(v) >= ntypes) return value_error("types must lie in [0, ntypes)");
            types[k] = static_cast<uint32_t>(v);
        }
    }
    const std::size_t classes = ntypes * ntypes;
    if (histogram.bins > (SIZE_MAX / 16) / classes) throw std::bad_alloc();
    const std::size_t cells = classes * histogram.bins;
    Buffer<int64_t> hist = Buffer<int64_t>::zeroed(cells);

    SearchInputs at = in;
    auto filter = make_filter(at, cutoffs, histogram.half);
    if (!filter) return unexpected(std::move(filter.error()));
    if (filter->nothing) return hist;
    auto prepared = detail::prepare_search(at);
    if (!prepared) return unexpected(std::move(prepared.error()));
    if (prepared->empty) return hist;

    const unsigned parts = detail::plan_threads(threads.count, atoms, threads.min_atoms);
    std::vector<Buffer<int64_t>> partial(parts);
    const auto search = detail::range_function<detail::HistogramSink>(detail::best_simd());
    const bool done = detail::run_parallel(
        parts,
        [&](unsigned t, const CancelCheck& stop) {
            partial[t] = t == 0 ? std::move(hist) : Buffer<int64_t>::zeroed(cells);
            detail::HistogramSink sink;
            sink.w.hist = partial[t].data();
            sink.w.bins = histogram.bins;
            sink.w.rmax = histogram.rmax;
            sink.w.scale = static_cast<double>(histogram.bins) / histogram.rmax;
            sink.w.bins_f = static_cast<double>(histogram.bins);
            sink.w.types = typed ? types.data() : nullptr;
            sink.w.ntypes = ntypes;
            sink.w.filter = filter->filter;
            (void)search(prepared->grid, sink, range_start(atoms, t, parts), range_start(atoms, t + 1, parts), stop);
        },
        in.cancel);
    if (!done) return cancelled();
    // Integer counts: the sum is exact in any order.
    for (unsigned t = 1; t < parts; ++t) {
        for (std::size_t k = 0; k < cells; ++k) partial[0][k] += partial[t][k];
    }
    return std::move(partial[0]);
}

Result<BatchPairs> find_batch_pairs(const BatchInputs& in, unsigned fields, bool half, const Threads& threads,
                                    BlockPool* pool) {
    fields &= k_all_fields;
    const int64_t structures = in.atom_offsets.size - 1;
    if (structures < 0) return value_error("atom_offsets must hold at least one value");
    if (in.cells.rows != 3 * structures || in.cells.cols < 3) return value_error("cells must have 3 rows per structure");
    if (in.pbc.rows != structures || in.pbc.cols < 3) return value_error("pbc must have one row of 3 per structure");
    if (in.positions.cols < 3) return value_error("positions must have 3 columns");
    const bool origins = in.bin_origins.rows > 0;
    if (origins && (in.bin_origins.rows != structures || in.bin_origins.cols < 3)) {
        return value_error("bin origins must have one row of 3 per structure");
    }
    if (in.atom_offsets[0] != 0 || in.atom_offsets[structures] != in.positions.rows) {
        return value_error("atom_offsets must run from 0 to the number of atoms");
    }
    for (int64_t b = 0; b < structures; ++b) {
        if (in.atom_offsets[b + 1] < in.atom_offsets[b]) return value_error("atom_offsets must not decrease");
    }
    const auto batch = static_cast<std::size_t>(structures);
    const auto atoms = static_cast<std::size_t>(in.positions.rows);
    BatchPairs result;
    result.pair_offsets = Buffer<int64_t>::zeroed(batch + 1);

    // Contiguous runs of structures with about equal atom counts.
    const unsigned parts =
        std::min<unsigned>(detail::plan_threads(threads.count, atoms, threads.min_atoms),
                           static_cast<unsigned>(std::min<std::size_t>(std::max<std::size_t>(batch, 1), 1u << 16)));
    std::vector<std::size_t> first_structure(parts + 1, batch);
    for (unsigned t = 0; t <= parts; ++t) {
        const auto target = static_cast<int64_t>(range_start(atoms, t, parts));
        std::size_t b = 0;
        while (b < batch && in.atom_offsets[static_cast<int64_t>(b)] < target) ++b;
        first_structure[t] = t == parts ? batch : b;
    }
    first_structure[0] = 0;

    std::vector<PairArrays> out(parts);
    struct PartFailure {
        std::size_t structure = SIZE_MAX;
        Failure failure;
    };
    std::vector<PartFailure> failures(parts);
    const auto search = detail::range_function<detail::ChosenSink>(detail::best_simd());
    int64_t* const pair_offsets = result.pair_offsets.data();
    const bool done = detail::run_parallel(
        parts,
        [&](unsigned t, const CancelCheck& stop) {
            out[t].fields = fields;
            // The first part's buffers become the result (join_parts).
            out[t].pool = t == 0 ? pool : nullptr;
            out[t].resize(0);
            for (std::size_t b = first_structure[t]; b < first_structure[t + 1]; ++b) {
                const int64_t lo = in.atom_offsets[static_cast<int64_t>(b)];
                const int64_t hi = in.atom_offsets[static_cast<int64_t>(b) + 1];
                SearchInputs s;
                for (std::size_t k = 0; k < 3; ++k) s.pbc[k] = in.pbc.at(static_cast<int64_t>(b), static_cast<int64_t>(k));
                s.cell = View2<double>{in.cells.data + 3 * static_cast<int64_t>(b) * in.cells.row_stride, 3,
                                       in.cells.cols, in.cells.row_stride, in.cells.col_stride};
                s.positions = View2<double>{in.positions.data + lo * in.positions.row_stride, hi - lo,
                                            in.positions.cols, in.positions.row_stride, in.positions.col_stride};
                s.cutoff = in.cutoff;
                s.self_interaction = in.self_interaction;
                s.use_scaled_positions = in.use_scaled_positions;
                s.max_nbins = in.max_nbins;
                if (origins) {
                    for (std::size_t k = 0; k < 3; ++k) {
                        s.bin_origin[k] = in.bin_origins.at(static_cast<int64_t>(b), static_cast<int64_t>(k));
                    }
                }
                auto prepared = detail::prepare_search(s);
                if (!prepared) {
                    failures[t] = {b, std::move(prepared.error())};
                    return;
                }
                if (!prepared->empty) {
                    // Room for this structure's estimate. When that falls short,
                    // room for the structures left at the mean so far: growing
                    // one large buffer step by step costs more than the pairs.
                    std::size_t room = half ? prepared->estimate / 2 + 64 : prepared->estimate;
                    const std::size_t searched = b - first_structure[t];
                    if (searched == 0) {
                        // The first structure sizes the part's arrays for all
                        // its structures alike, so that they come in one piece
                        // (from the pool where it has one) rather than grown.
                        room *= first_structure[t + 1] - b;
                    } else if (out[t].capacity - out[t].count < room) {
                        const std::size_t mean = out[t].count / searched + 1;
                        room = std::max(room, (mean + mean / 8) * (first_structure[t + 1] - b));
                    }
                    detail::ChosenSink sink(out[t], room);
                    sink.filter.half = half;
                    sink.base = lo;
                    const std::size_t count = search(prepared->grid, sink, 0, prepared->grid.atoms, stop);
                    if (count == SIZE_MAX) return;
                    sink.settle(count);
                }
                // Small structures never reach the search's own poll.
                if (stop()) return;
                pair_offsets[b + 1] = static_cast<int64_t>(out[t].count);
            }
        },
        in.cancel);
    if (!done) return cancelled();
    for (const PartFailure& f : failures) {
        if (f.structure == SIZE_MAX) continue;
        Failure failure = f.failure;
        if (failure.kind == Failure::Kind::value_error) {
            failure.message = "structure " + std::to_string(f.structure) + ": " + failure.message;
        }
        return unexpected(std::move(failure));
    }
    // Each part counted from zero: shift by the pairs of the parts before.
    std::size_t before = 0;
    for (unsigned t = 0; t < parts; ++t) {
        for (std::size_t b = first_structure[t]; b < first_structure[t + 1]; ++b) {
            pair_offsets[b + 1] += static_cast<int64_t>(before);
        }
        before += out[t].count;
    }
    auto joined = join_parts(out, parts, in.cancel);
    if (!joined) return unexpected(std::move(joined.error()));
    joined->resize(joined->count);
    result.pairs = std::move(*joined);
    return result;
}

}  // namespace quorvel::proxor
