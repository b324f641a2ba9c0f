// quorvel._engine: the sinks of the cell-list search (chosen arrays, half
// lists, per-atom counts, distance histograms, batches), run with the
// interpreter lock released and on `threads` threads.
//
// Each entry binds and converts its arguments with the lock held, releases
// it around the Python-free routine (which polls for Ctrl-C through
// GilReleased::signal_check on the calling thread), then builds the arrays
// from the routine's buffers without copying.
#include <cmath>
#include <string_view>
#include <vector>

#include "engine.hpp"
#include "quorvel/binding/arguments.hpp"
#include "quorvel/binding/convert.hpp"
#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/gil.hpp"
#include "quorvel/binding/module.hpp"
#include "quorvel/binding/results.hpp"

namespace quorvel::proxor {

namespace {

using binding::Arguments;
using binding::ArrayArg;
using binding::convert_argument;
using binding::DType;
using binding::FunctionView;
using binding::Parameter;
using binding::Ref;

constexpr uint64_t k_default_max_nbins = 1000000;
constexpr uint64_t k_default_threads = 1;
constexpr uint64_t k_default_ntypes = 1;
constexpr auto k_max_nbins_text = binding::decimal_text<k_default_max_nbins>();
constexpr auto k_threads_text = binding::decimal_text<k_default_threads>();
constexpr auto k_ntypes_text = binding::decimal_text<k_default_ntypes>();

// "ijdDS" or any subset of its letters, each at most once.
bool to_fields(PyObject* obj, unsigned& fields) noexcept {
    if (!PyUnicode_Check(obj)) {
        binding::raise_cannot_convert(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    fields = 0;
    for (const char c : std::string_view(text, static_cast<std::size_t>(size))) {
        const unsigned bit = c == 'i' ? k_field_i : c == 'j' ? k_field_j : c == 'd' ? k_field_d
                           : c == 'D' ? k_field_D : c == 'S' ? k_field_S : 0;
        if (bit == 0 || (fields & bit) != 0) {
            PyErr_Format(PyExc_ValueError, "quantities must be letters of 'ijdDS', each at most once; got %R", obj);
            return false;
        }
        fields |= bit;
    }
    return true;
}

bool to_threads(PyObject* obj, unsigned& threads) noexcept {
    uint64_t v = 0;
    if (!binding::to_u64(obj, v)) return false;
    if (v > 4096) {
        PyErr_SetString(PyExc_ValueError, "threads must be at most 4096 (0: the CPUs this process may use)");
        return false;
    }
    threads = static_cast<unsigned>(v);
    return true;
}

bool absent(PyObject* v) noexcept { return v == nullptr || v == Py_None; }

// Three finite numbers: where the bins of the open axes start.
bool to_origin(PyObject* obj, std::array<double, 3>& origin) noexcept {
    std::vector<double> values;
    if (!binding::to_double_list(obj, values)) return false;
    if (values.size() != 3 || !std::isfinite(values[0]) || !std::isfinite(values[1]) || !std::isfinite(values[2])) {
        PyErr_SetString(PyExc_ValueError, "origin must be three finite numbers");
        return false;
    }
    origin = {values[0], values[1], values[2]};
    return true;
}

// pbc, cell, positions: the first three parameters of the single-structure
// functions, and the search options that follow each function's own.
struct Search {
    std::array<bool, 3> pbc{};
    ArrayArg<double> cell;
    ArrayArg<double> positions;
    double cutoff = 0.0;
    bool self_interaction = false;
    bool use_scaled_positions = false;
    uint64_t max_nbins = k_default_max_nbins;
    unsigned threads = k_default_threads;
    std::array<double, 3> origin{};

    [[nodiscard]] SearchInputs inputs(CancelCheck cancel) const noexcept {
        return {.pbc = pbc,
                .cell = cell.view2,
                .positions = positions.view2,
                .cutoff = cutoff,
                .self_interaction = self_interaction,
                .use_scaled_positions = use_scaled_positions,
                .max_nbins = max_nbins,
                .bin_origin = origin,
                .cancel = cancel};
    }
};

template <std::size_t P>
bool convert_geometry(const Arguments<P>& a, Search& s) {
    return convert_argument(a.name(0), [&] { return binding::to_three_bools(a[0], s.pbc); }) &&
           convert_argument(a.name(1), [&] { return binding::to_view2(a[1], DType::float64, s.cell); }) &&
           convert_argument(a.name(2), [&] { return binding::to_view2(a[2], DType::float64, s.positions); }) &&
           convert_argument(a.name(3), [&] { return binding::to_double(a[3], s.cutoff); });
}

// The optional parameters by name, so that each function's table decides
// their order.
template <std::size_t P>
bool convert_options(const Arguments<P>& a, std::size_t first, std::size_t last, Search& s) {
    for (std::size_t k = first; k < last; ++k) {
        PyObject* v = a[k];
        if (v == nullptr) continue;
        const std::string_view name = a.name(k);
        bool ok = true;
        if (name == "self_interaction") {
            ok = convert_argument(a.name(k), [&] { return binding::to_bool(v, s.self_interaction); });
        } else if (name == "use_scaled_positions") {
            ok = convert_argument(a.name(k), [&] { return binding::to_bool(v, s.use_scaled_positions); });
        } else if (name == "max_nbins") {
            ok = convert_argument(a.name(k), [&] { return binding::to_u64(v, s.max_nbins); });
        } else if (name == "threads") {
            ok = convert_argument(a.name(k), [&] { return to_threads(v, s.threads); });
        } else if (name == "origin" && v != Py_None) {
            ok = convert_argument(a.name(k), [&] { return to_origin(v, s.origin); });
        }
        if (!ok) return false;
    }
    return true;
}

// radii, or numbers with zi_keys, zj_keys and cutoff_vals (at `first`..);
// neither: the scalar cutoff.
struct CutoffArgs {
    ArrayArg<double> radii;
    ArrayArg<int64_t> numbers;
    std::vector<int64_t> zi;
    std::vector<int64_t> zj;
    std::vector<double> values;
    Cutoffs cutoffs;
};

template <std::size_t P>
bool convert_cutoffs(const Arguments<P>& a, std::size_t first, CutoffArgs& c) {
    if (!absent(a[first])) {
        if (!convert_argument(a.name(first), [&] { return binding::to_view1(a[first], DType::float64, c.radii); })) {
            return false;
        }
        c.cutoffs.kind = Cutoffs::Kind::radii;
        c.cutoffs.radii = c.radii.view1;
        return true;
    }
    const bool table = !absent(a[first + 4]);
    if (!table) return true;
    for (std::size_t k = first + 1; k < first + 4; ++k) {
        if (absent(a[k])) {
            PyErr_Format(PyExc_TypeError, "element-pair cutoffs need numbers, zi_keys, zj_keys and cutoff_vals");
            return false;
        }
    }
    if (!convert_argument(a.name(first + 1), [&] { return binding::to_view1(a[first + 1], DType::int64, c.numbers); }) ||
        !convert_argument(a.name(first + 2), [&] { return binding::to_int_list(a[first + 2], c.zi); }) ||
        !convert_argument(a.name(first + 3), [&] { return binding::to_int_list(a[first + 3], c.zj); }) ||
        !convert_argument(a.name(first + 4), [&] { return binding::to_double_list(a[first + 4], c.values); })) {
        return false;
    }
    c.cutoffs.kind = Cutoffs::Kind::element_pairs;
    c.cutoffs.numbers = c.numbers.view1;
    c.cutoffs.zi_keys = c.zi;
    c.cutoffs.zj_keys = c.zj;
    c.cutoffs.cutoff_vals = c.values;
    return true;
}

// Runs `routine(cancel)` with the lock released; the result comes back
// with the lock held again (also when the routine throws).
template <class Routine>
auto without_gil(Routine&& routine) {
    binding::GilReleased released;
    return routine(released.signal_check());
}

// Where the pair arrays of freed results wait for the next call: a search
// run every step of a trajectory then writes into memory that is already
// faulted in. Never destroyed, so that arrays freed at exit still find it.
BlockPool& output_pool() {
    static auto* const pool = new BlockPool(std::size_t{1} << 30);
    return *pool;
}

// An array of the buffer, or None for an unchosen one.
template <class T>
Ref chosen(bool wanted, Buffer<T>&& buffer, std::initializer_list<int64_t> shape) {
    if (!wanted) return Ref::borrow(Py_None);
    return binding::array_from_buffer(std::move(buffer), shape, output_pool());
}

// The (i, j, d, D, S) tuple with None for each quantity not asked for.
Ref pairs_tuple(PairArrays& p, Ref extra = Ref()) {
    const auto m = static_cast<int64_t>(p.count);
    Ref items[6] = {
        chosen((p.fields & k_field_i) != 0, std::move(p.i), {m}),
        Ref(), Ref(), Ref(), Ref(), std::move(extra)};
    if (!items[0]) return Ref();
    if (!(items[1] = chosen((p.fields & k_field_j) != 0, std::move(p.j), {m}))) return Ref();
    if (!(items[2] = chosen((p.fields & k_field_d) != 0, std::move(p.d), {m}))) return Ref();
    if (!(items[3] = chosen((p.fields & k_field_D) != 0, std::move(p.D), {m, 3}))) return Ref();
    if (!(items[4] = chosen((p.fields & k_field_S) != 0, std::move(p.S), {m, 3}))) return Ref();
    if (items[5]) {
        return Ref::steal(PyTuple_Pack(6, items[0].get(), items[1].get(), items[2].get(), items[3].get(),
                                       items[4].get(), items[5].get()));
    }
    return Ref::steal(PyTuple_Pack(5, items[0].get(), items[1].get(), items[2].get(), items[3].get(), items[4].get()));
}

#define QUORVEL_SEARCH_OPTIONS                                                         \
    {"self_interaction", binding::bool_text(false)},                                    \
        {"use_scaled_positions", binding::bool_text(false)},                            \
        {"max_nbins", k_max_nbins_text.data()},                      \
        {"threads", k_threads_text.data()}
#define QUORVEL_ORIGIN_OPTION {"origin", "None"}
#define QUORVEL_CUTOFF_OPTIONS \
    {"radii", "None"}, {"numbers", "None"}, {"zi_keys", "None"}, {"zj_keys", "None"}, {"cutoff_vals", "None"}

constexpr Parameter k_pairs_params[] = {
    {"pbc"}, {"cell"}, {"positions"}, {"cutoff"}, {"quantities", "'ijdDS'"}, {"half", "False"},
    QUORVEL_SEARCH_OPTIONS, QUORVEL_ORIGIN_OPTION, QUORVEL_CUTOFF_OPTIONS,
};
constexpr Parameter k_counts_params[] = {
    {"pbc"}, {"cell"}, {"positions"}, {"cutoff"}, QUORVEL_SEARCH_OPTIONS, QUORVEL_ORIGIN_OPTION,
    QUORVEL_CUTOFF_OPTIONS,
};
constexpr Parameter k_histogram_params[] = {
    {"pbc"}, {"cell"}, {"positions"}, {"rmax"}, {"bins"}, {"types", "None"},
    {"ntypes", k_ntypes_text.data()}, {"use_scaled_positions", binding::bool_text(false)},
    {"max_nbins", k_max_nbins_text.data()}, {"threads", k_threads_text.data()}, QUORVEL_ORIGIN_OPTION,
};
constexpr Parameter k_batch_params[] = {
    {"pbc"}, {"cells"}, {"positions"}, {"atom_offsets"}, {"cutoff"}, {"quantities", "'ijdDS'"}, {"half", "False"},
    QUORVEL_SEARCH_OPTIONS, {"origins", "None"},
};

PyObject* pairs_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* counts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* histogram_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* pooled_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

constexpr Parameter k_pooled_params[] = {{"release", binding::bool_text(false)}};

#define QUORVEL_ORIGIN_NOTE                                                                   \
    "\n"                                                                                      \
    "origin: where the bins of the open axes start (three numbers, in the coordinates\n"    \
    "of the positions; None: zero). Only the search's speed depends on it.\n"

#define QUORVEL_THREADS_NOTE                                                                  \
    "\n"                                                                                      \
    "The search runs with the interpreter lock released. threads: how many threads\n"       \
    "(0: the CPUs this process may use, its affinity mask and cgroup quota; 1: the\n"        \
    "calling thread). Small inputs use fewer. The result does not depend on it.\n"           \
    "Ctrl-C stops a long search within about a second (KeyboardInterrupt).\n"

constexpr const char* k_pairs_doc =
    "The neighbor pairs of one structure, restricted to the chosen quantities.\n"
    "\n"
    "Returns (i, j, d, D, S) as quorvel._proxor's functions do, with None in place\n"
    "of each quantity whose letter is not in `quantities`. With half=True each\n"
    "unordered pair appears once: (i, j, S) is kept when i < j, or i == j and S is\n"
    "lexicographically positive. The cutoff is the scalar `cutoff`, or per-atom\n"
    "`radii` (d < radii[i] + radii[j]; `cutoff` is not read), or the element-pair\n"
    "table numbers/zi_keys/zj_keys/cutoff_vals. Every array is, bit for bit and in\n"
    "order, the full list's, filtered.\n" QUORVEL_THREADS_NOTE QUORVEL_ORIGIN_NOTE;

constexpr const char* k_counts_doc =
    "Per-atom neighbor counts: int64 (N,), the number of pairs (i, j, S) of the full\n"
    "list with each atom as i, for the same cutoffs as pairs().\n" QUORVEL_THREADS_NOTE QUORVEL_ORIGIN_NOTE;

constexpr const char* k_histogram_doc =
    "Distance histogram of the unordered pairs: int64 (ntypes * ntypes, bins).\n"
    "\n"
    "A pair (each unordered pair once, as pairs(half=True)) with d < rmax counts in\n"
    "bin floor(d * (bins / rmax)) of row types[i] * ntypes + types[j] (row 0\n"
    "without types); d is the pair list's distance, bit for bit.\n" QUORVEL_THREADS_NOTE QUORVEL_ORIGIN_NOTE;

constexpr const char* k_batch_doc =
    "The neighbor pairs of many structures in one call.\n"
    "\n"
    "pbc (B, 3) bool, cells (3B, 3) float64 (rows 3b..3b+2: structure b's cell),\n"
    "positions (N, 3) float64 of all structures concatenated, atom_offsets (B + 1)\n"
    "int64 from 0 to N. Returns (i, j, d, D, S, pair_offsets): i and j index the\n"
    "concatenated atoms, the pairs of structure b are pair_offsets[b]..[b + 1] and\n"
    "are, bit for bit and in order, those of a search on it alone. Threads take\n"
    "runs of whole structures. origins (B, 3) float64: each structure's bin origin\n"
    "(see pairs()); None: zero for all.\n" QUORVEL_THREADS_NOTE;

constexpr const char* k_pooled_doc =
    "Bytes of freed pair arrays held for the next calls' outputs.\n"
    "\n"
    "When the arrays of a pairs() or batch_pairs() result are freed, up to 1 GiB of\n"
    "their memory is kept, and the next call writes its arrays there instead of into\n"
    "fresh pages (each costs a page fault and the kernel's zeroing). The kernel may\n"
    "still reclaim that memory under pressure. release=True frees it now; the count\n"
    "returned is the one before.\n";

constexpr auto k_pairs = binding::function("pairs", k_pairs_params, k_pairs_doc, pairs_entry);
constexpr auto k_counts = binding::function("counts", k_counts_params, k_counts_doc, counts_entry);
constexpr auto k_histogram = binding::function("histogram", k_histogram_params, k_histogram_doc, histogram_entry);
constexpr auto k_batch = binding::function("batch_pairs", k_batch_params, k_batch_doc, batch_entry);
constexpr auto k_pooled = binding::function("pooled_memory", k_pooled_params, k_pooled_doc, pooled_entry);
QUORVEL_CHECK_FUNCTION(k_pairs);
QUORVEL_CHECK_FUNCTION(k_counts);
QUORVEL_CHECK_FUNCTION(k_histogram);
QUORVEL_CHECK_FUNCTION(k_batch);
QUORVEL_CHECK_FUNCTION(k_pooled);

constexpr FunctionView k_functions[] = {k_pairs.view(), k_counts.view(), k_histogram.view(), k_batch.view(),
                                     k_pooled.view()};

bool to_flag(PyObject* v, const char* name, bool& out) {
    return v == nullptr || convert_argument(name, [&] { return binding::to_bool(v, out); });
}

PyObject* pairs_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_pairs);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        Search s;
        unsigned fields = k_all_fields;
        bool half = false;
        CutoffArgs c;
        if (!convert_geometry(a, s) ||
            (a[4] != nullptr && !convert_argument(a.name(4), [&] { return to_fields(a[4], fields); })) ||
            !to_flag(a[5], a.name(5), half) || !convert_options(a, 6, 11, s) || !convert_cutoffs(a, 11, c)) {
            return Ref();
        }
        auto result = without_gil([&](CancelCheck cancel) {
            return find_pairs(s.inputs(cancel), c.cutoffs, fields, half, Threads{.count = s.threads}, &output_pool());
        });
        if (!result) {
            binding::raise_failure(result.error());
            return Ref();
        }
        return pairs_tuple(*result);
    });
}

PyObject* counts_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_counts);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        Search s;
        CutoffArgs c;
        if (!convert_geometry(a, s) || !convert_options(a, 4, 9, s) || !convert_cutoffs(a, 9, c)) return Ref();
        const int64_t atoms = s.positions.view2.rows;
        auto result = without_gil([&](CancelCheck cancel) {
            return count_neighbors(s.inputs(cancel), c.cutoffs, Threads{.count = s.threads});
        });
        if (!result) {
            binding::raise_failure(result.error());
            return Ref();
        }
        return binding::array_from_buffer(std::move(*result), {atoms});
    });
}

PyObject* histogram_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_histogram);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        Search s;
        uint64_t bins = 0;
        uint64_t ntypes = k_default_ntypes;
        ArrayArg<int64_t> types;
        if (!convert_geometry(a, s) || !convert_argument(a.name(4), [&] { return binding::to_u64(a[4], bins); }) ||
            (!absent(a[5]) &&
             !convert_argument(a.name(5), [&] { return binding::to_view1(a[5], DType::int64, types); })) ||
            (a[6] != nullptr && !convert_argument(a.name(6), [&] { return binding::to_u64(a[6], ntypes); })) ||
            !convert_options(a, 7, 11, s)) {
            return Ref();
        }
        if (ntypes == 0 || ntypes > 65536) {
            PyErr_SetString(PyExc_ValueError, "ntypes must be between 1 and 65536");
            return Ref();
        }
        const HistogramBins histogram{.rmax = s.cutoff,
                                 .bins = static_cast<std::size_t>(bins),
                                 .types = types.view1,
                                 .ntypes = static_cast<std::size_t>(ntypes),
                                 .half = true};
        auto result = without_gil([&](CancelCheck cancel) {
            return distance_histogram(s.inputs(cancel), Cutoffs{}, histogram, Threads{.count = s.threads});
        });
        if (!result) {
            binding::raise_failure(result.error());
            return Ref();
        }
        const auto rows = static_cast<int64_t>(ntypes * ntypes);
        return binding::array_from_buffer(std::move(*result), {rows, static_cast<int64_t>(bins)});
    });
}

PyObject* batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_batch);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        ArrayArg<bool> pbc;
        ArrayArg<double> cells;
        ArrayArg<double> positions;
        ArrayArg<int64_t> offsets;
        ArrayArg<double> origins;
        Search s;
        unsigned fields = k_all_fields;
        bool half = false;
        if (!convert_argument(a.name(0), [&] { return binding::to_view2(a[0], DType::boolean, pbc); }) ||
            !convert_argument(a.name(1), [&] { return binding::to_view2(a[1], DType::float64, cells); }) ||
            !convert_argument(a.name(2), [&] { return binding::to_view2(a[2], DType::float64, positions); }) ||
            !convert_argument(a.name(3), [&] { return binding::to_view1(a[3], DType::int64, offsets); }) ||
            !convert_argument(a.name(4), [&] { return binding::to_double(a[4], s.cutoff); }) ||
            (a[5] != nullptr && !convert_argument(a.name(5), [&] { return to_fields(a[5], fields); })) ||
            !to_flag(a[6], a.name(6), half) || !convert_options(a, 7, 11, s) ||
            (!absent(a[11]) &&
             !convert_argument(a.name(11), [&] { return binding::to_view2(a[11], DType::float64, origins); }))) {
            return Ref();
        }
        for (int64_t r = 0; r < origins.view2.rows; ++r) {
            for (int64_t k = 0; k < origins.view2.cols; ++k) {
                if (!std::isfinite(origins.view2.at(r, k))) {
                    PyErr_SetString(PyExc_ValueError, "origins must be finite");
                    return Ref();
                }
            }
        }
        auto result = without_gil([&](CancelCheck cancel) {
            const BatchInputs in{.pbc = pbc.view2,
                                 .cells = cells.view2,
                                 .positions = positions.view2,
                                 .atom_offsets = offsets.view1,
                                 .bin_origins = origins.view2,
                                 .cutoff = s.cutoff,
                                 .self_interaction = s.self_interaction,
                                 .use_scaled_positions = s.use_scaled_positions,
                                 .max_nbins = s.max_nbins,
                                 .cancel = cancel};
            return find_batch_pairs(in, fields, half, Threads{.count = s.threads}, &output_pool());
        });
        if (!result) {
            binding::raise_failure(result.error());
            return Ref();
        }
        const auto structures = static_cast<int64_t>(result->pair_offsets.size());
        Ref pair_offsets = binding::array_from_buffer(std::move(result->pair_offsets), {structures});
        if (!pair_offsets) return Ref();
        return pairs_tuple(result->pairs, std::move(pair_offsets));
    });
}

PyObject* pooled_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_pooled);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        bool release = false;
        if (!to_flag(a[0], "release", release)) return Ref();
        const std::size_t held = output_pool().held();
        if (release) output_pool().clear();
        return Ref::steal(PyLong_FromSize_t(held));
    });
}

constexpr binding::ModuleTable k_module{"_engine", "quorvel._engine", k_functions};

}  // namespace

}  // namespace quorvel::proxor

// The interpreter looks the entry up by this name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__engine() { return quorvel::binding::init_module(quorvel::proxor::k_module); }
