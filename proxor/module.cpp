// quorvel._proxor: neighbor lists through a cell-list search.
//
// Each entry binds and converts its arguments, runs the search routine and
// turns the neighbor pair list into a tuple of five NumPy arrays.
#include "cell_list.hpp"
#include "quorvel/binding/arguments.hpp"
#include "quorvel/binding/convert.hpp"
#include "quorvel/binding/errors.hpp"
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

constexpr bool k_default_self_interaction = false;
constexpr bool k_default_use_scaled_positions = false;
constexpr uint64_t k_default_max_nbins = 1000000;
constexpr auto k_max_nbins_text = binding::decimal_text<k_default_max_nbins>();

// The options shared by the three functions: self_interaction,
// use_scaled_positions and max_nbins, in that order after the variant's own
// parameters.
struct Options {
    bool self_interaction = k_default_self_interaction;
    bool use_scaled_positions = k_default_use_scaled_positions;
    uint64_t max_nbins = k_default_max_nbins;
};

template <std::size_t P>
bool convert_options(const Arguments<P>& a, std::size_t first, Options& o) {
    if (PyObject* v = a[first]) {
        if (!convert_argument(a.name(first), [&] { return binding::to_bool(v, o.self_interaction); })) return false;
    }
    if (PyObject* v = a[first + 1]) {
        if (!convert_argument(a.name(first + 1), [&] { return binding::to_bool(v, o.use_scaled_positions); })) {
            return false;
        }
    }
    if (PyObject* v = a[first + 2]) {
        if (!convert_argument(a.name(first + 2), [&] { return binding::to_u64(v, o.max_nbins); })) return false;
    }
    return true;
}

// pbc, cell and positions: the first three parameters of every function.
struct Geometry {
    std::array<bool, 3> pbc{};
    ArrayArg<double> cell;
    ArrayArg<double> positions;
};

template <std::size_t P>
bool convert_geometry(const Arguments<P>& a, Geometry& g) {
    return convert_argument(a.name(0), [&] { return binding::to_three_bools(a[0], g.pbc); }) &&
           convert_argument(a.name(1), [&] { return binding::to_view2(a[1], DType::float64, g.cell); }) &&
           convert_argument(a.name(2), [&] { return binding::to_view2(a[2], DType::float64, g.positions); });
}

// What the search reads: the converted arguments and a check for Ctrl-C.
// The radii and element-pair searches choose their own cutoff.
SearchInputs search_inputs(const Geometry& g, const Options& o, double cutoff = 0.0) {
    return SearchInputs{.pbc = g.pbc,
                        .cell = g.cell.view2,
                        .positions = g.positions.view2,
                        .cutoff = cutoff,
                        .self_interaction = o.self_interaction,
                        .use_scaled_positions = o.use_scaled_positions,
                        .max_nbins = o.max_nbins,
                        .cancel = binding::signal_check()};
}

// The (i, j, d, D, S) tuple, or the exception for a failed search.
Ref pair_list_result(Result<NeighborList>&& result) {
    if (!result) {
        binding::raise_failure(result.error());
        return Ref();
    }
    NeighborList& list = *result;
    const auto m = static_cast<int64_t>(list.count);
    Ref i = binding::array_from_buffer(std::move(list.i), {m});
    if (!i) return Ref();
    Ref j = binding::array_from_buffer(std::move(list.j), {m});
    if (!j) return Ref();
    Ref d = binding::array_from_buffer(std::move(list.d), {m});
    if (!d) return Ref();
    Ref D = binding::array_from_buffer(std::move(list.D), {m, 3});
    if (!D) return Ref();
    Ref S = binding::array_from_buffer(std::move(list.S), {m, 3});
    if (!S) return Ref();
    return Ref::steal(PyTuple_Pack(5, i.get(), j.get(), d.get(), D.get(), S.get()));
}

// The options every function ends with, defaults shown as the constants above.
#define QUORVEL_OPTION_PARAMETERS                                                        \
    {"self_interaction", binding::bool_text(k_default_self_interaction)},                \
        {"use_scaled_positions", binding::bool_text(k_default_use_scaled_positions)},    \
        {"max_nbins", k_max_nbins_text.data()}

constexpr Parameter k_scalar_params[] = {
    {"pbc"}, {"cell"}, {"positions"}, {"cutoff"}, QUORVEL_OPTION_PARAMETERS,
};
constexpr Parameter k_radii_params[] = {
    {"pbc"}, {"cell"}, {"positions"}, {"radii"}, QUORVEL_OPTION_PARAMETERS,
};
constexpr Parameter k_dict_params[] = {
    {"pbc"}, {"cell"}, {"positions"}, {"numbers"}, {"zi_keys"}, {"zj_keys"}, {"cutoff_vals"},
    QUORVEL_OPTION_PARAMETERS,
};

PyObject* scalar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* radii_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dict_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
#define QUORVEL_INTERRUPT_NOTE                                                          \
    "\n"                                                                                \
    "A long search can be interrupted: Ctrl-C (any pending signal) stops it within\n" \
    "about a second and raises KeyboardInterrupt; nothing of the call is kept.\n"

constexpr const char* k_scalar_doc =
    "Compute a neighbor list for an atomic configuration (native cell-list fast path).\n"
    "\n"
    "Implements the same cell-list algorithm as the host package's primitive\n"
    "neighbor-list routine, for the common case of a scalar float cutoff. It always\n"
    "returns all five quantities (i, j, d, D, S); the calling Python code selects\n"
    "which of them to expose.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "pbc : sequence of three bool\n"
    "    Periodic boundary conditions for each axis.\n"
    "cell : (3, 3) float64 array\n"
    "    Unit cell vectors, row-major: cell[0] is the first lattice vector.\n"
    "positions : (N, 3) float64 array\n"
    "    Cartesian or scaled atom positions.\n"
    "cutoff : float\n"
    "    Neighbour cutoff radius, in the units of positions.\n"
    "self_interaction : bool\n"
    "    Include the (i, i, 0) pairs.\n"
    "use_scaled_positions : bool\n"
    "    If true, positions are fractional coordinates.\n"
    "max_nbins : unsigned int\n"
    "    Maximum total number of spatial bins (memory cap).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(i, j, d, D, S) : tuple of arrays\n"
    "    int64 (M,), int64 (M,), float64 (M,), float64 (M, 3), int64 (M, 3).\n" QUORVEL_INTERRUPT_NOTE;

constexpr const char* k_radii_doc =
    "Neighbor list with per-atom radii cutoffs.\n"
    "\n"
    "Equivalent to the host package's routine when the cutoff is a 1-D array of\n"
    "per-atom radii. Atoms i,j are neighbors when d < radii[i] + radii[j].\n"
    "\n"
    "Uses the scalar fast path with max_cutoff = 2*max(radii) and post-filters.\n" QUORVEL_INTERRUPT_NOTE;

constexpr const char* k_dict_doc =
    "Neighbor list with element-pair (dict-style) cutoffs.\n"
    "\n"
    "Equivalent to the host package's routine when the cutoff is a dict mapping\n"
    "(Z_i, Z_j) atomic-number pairs to cutoff distances.\n"
    "\n"
    "Arguments\n"
    "---------\n"
    "numbers  : (N,) int64 — atomic numbers per atom\n"
    "zi_keys  : cutoff dict keys (first element atomic number)\n"
    "zj_keys  : cutoff dict keys (second element atomic number)\n"
    "cutoff_vals : corresponding cutoff distances\n"
    "\n"
    "The lookup is symmetric: (Z_i, Z_j) and (Z_j, Z_i) are treated equally.\n" QUORVEL_INTERRUPT_NOTE;

constexpr auto k_scalar = binding::function("primitive_neighbor_list_rs", k_scalar_params, k_scalar_doc, scalar_entry);
constexpr auto k_radii = binding::function("primitive_neighbor_list_radii_rs", k_radii_params, k_radii_doc, radii_entry);
constexpr auto k_dict = binding::function("primitive_neighbor_list_dict_rs", k_dict_params, k_dict_doc, dict_entry);
QUORVEL_CHECK_FUNCTION(k_scalar);
QUORVEL_CHECK_FUNCTION(k_radii);
QUORVEL_CHECK_FUNCTION(k_dict);

constexpr FunctionView k_functions[] = {k_scalar.view(), k_radii.view(), k_dict.view()};


PyObject* scalar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_scalar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        Geometry g;
        double cutoff = 0.0;
        Options o;
        if (!convert_geometry(a, g) ||
            !convert_argument(a.name(3), [&] { return binding::to_double(a[3], cutoff); }) ||
            !convert_options(a, 4, o)) {
            return Ref();
        }
        return pair_list_result(build_neighbor_list(search_inputs(g, o, cutoff)));
    });
}

PyObject* radii_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_radii);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        Geometry g;
        ArrayArg<double> radii;
        Options o;
        if (!convert_geometry(a, g) ||
            !convert_argument(a.name(3), [&] { return binding::to_view1(a[3], DType::float64, radii); }) ||
            !convert_options(a, 4, o)) {
            return Ref();
        }
        return pair_list_result(build_neighbor_list_radii(search_inputs(g, o), radii.view1));
    });
}

PyObject* dict_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_dict);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        Geometry g;
        ArrayArg<int64_t> numbers;
        std::vector<int64_t> zi;
        std::vector<int64_t> zj;
        std::vector<double> values;
        Options o;
        if (!convert_geometry(a, g) ||
            !convert_argument(a.name(3), [&] { return binding::to_view1(a[3], DType::int64, numbers); }) ||
            !convert_argument(a.name(4), [&] { return binding::to_int_list(a[4], zi); }) ||
            !convert_argument(a.name(5), [&] { return binding::to_int_list(a[5], zj); }) ||
            !convert_argument(a.name(6), [&] { return binding::to_double_list(a[6], values); }) ||
            !convert_options(a, 7, o)) {
            return Ref();
        }
        return pair_list_result(build_neighbor_list_dict(search_inputs(g, o), numbers.view1, zi, zj, values));
    });
}

constexpr binding::ModuleTable k_module{"_proxor", "quorvel._proxor", k_functions};

}  // namespace

}  // namespace quorvel::proxor

// The interpreter looks the entry up by this name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__proxor() { return quorvel::binding::init_module(quorvel::proxor::k_module); }
