// quorvel._ledgra: the atom-line blocks of POSCAR/CONTCAR, XDATCAR and XYZ files.
//
// Each entry binds and converts its arguments, runs the text routine and
// turns its arrays, symbols or text into Python objects.
#include <string_view>
#include <vector>

#include "quorvel/binding/arguments.hpp"
#include "quorvel/binding/convert.hpp"
#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/module.hpp"
#include "quorvel/binding/numpy.hpp"
#include "quorvel/binding/results.hpp"
#include "quorvel/binding/symbol_cache.hpp"
#include "vasp.hpp"
#include "xyz.hpp"

namespace quorvel::ledgra {

namespace {

using binding::Arguments;
using binding::ArrayArg;
using binding::convert_argument;
using binding::DType;
using binding::FunctionView;
using binding::LineList;
using binding::Parameter;
using binding::Ref;
using binding::SymbolCache;

// Runs a formatter into a sink that is the result string itself. Text that
// is not all ASCII (caller symbols) goes through a native buffer and is
// decoded once at the end.
// The formatter reserves its buffer itself, once its checks have passed.
template <class Format>
Ref text_result(bool ascii, Format&& format) {
    if (ascii) {
        binding::AsciiStringSink sink;
        Result<void> r = format(sink);
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        return sink.finish();
    }
    StringSink sink;
    Result<void> r = format(sink);
    if (!r) {
        binding::raise_failure(r.error());
        return Ref();
    }
    return binding::string_from_utf8(sink.view());
}

PyObject* parse_poscar_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_poscar_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_xdatcar_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_xdatcar_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_xyz_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_xyz_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

constexpr Parameter k_parse_poscar_params[] = {{"lines"}, {"selective"}};
constexpr Parameter k_format_poscar_params[] = {{"coord"}, {"flags", "None"}};
constexpr Parameter k_parse_xdatcar_params[] = {{"lines"}};
constexpr Parameter k_format_xdatcar_params[] = {{"scaled_positions"}, {"index"}};
constexpr Parameter k_parse_xyz_params[] = {{"lines"}};
constexpr Parameter k_format_xyz_params[] = {{"symbols"}, {"positions"}};

constexpr const char* k_parse_poscar_doc =
    "Parse the N-atom position block from a POSCAR/CONTCAR file.\n"
    "\n"
    "Equivalent to the pure-Python loop::\n"
    "\n"
    "    positions = np.zeros((N, 3))\n"
    "    flags = np.zeros((N, 3), bool) if selective else None\n"
    "    for i, line in enumerate(lines):\n"
    "        fields = line.split()\n"
    "        positions[i] = [float(x) for x in fields[:3]]\n"
    "        if selective:\n"
    "            flags[i] = [f == 'F' for f in fields[3:6]]\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list[str]\n"
    "    The N atom lines already read from the file descriptor.\n"
    "selective : bool\n"
    "    Whether selective-dynamics flags (T/F) are present.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(positions: ndarray float64 [N,3], flags: ndarray bool [N,3] or None)\n";

constexpr const char* k_format_poscar_doc =
    "Format the N-atom position block for a POSCAR/CONTCAR file.\n"
    "\n"
    "Equivalent to the pure-Python loop::\n"
    "\n"
    "    out = []\n"
    "    for i, row in enumerate(coord):\n"
    "        line = ''.join(' %19.16f' % x for x in row[:3])\n"
    "        if flags is not None:\n"
    "            line += ''.join('%4s' % ('F' if f else 'T') for f in flags[i][:3])\n"
    "        out.append(line + '\\n')\n"
    "    return ''.join(out)\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "coord : ndarray float64 [N,3]\n"
    "    Atom positions (cartesian or scaled — caller decides).\n"
    "flags : ndarray bool [N,3] or None\n"
    "    Selective-dynamics mask (True = frozen = 'F' in file).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The complete block, ready to be written to the file.\n";

constexpr const char* k_parse_xdatcar_doc =
    "Parse the coordinate block for one XDATCAR frame.\n"
    "\n"
    "Equivalent to ``np.array([[float(x) for x in line.split()[:3]] for line in lines])``.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list[str]\n"
    "    The N coordinate lines for this frame (already read).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ndarray float64 [N,3]\n"
    "    The fractional coordinates.\n";

constexpr const char* k_format_xdatcar_doc =
    "Format one complete XDATCAR configuration block.\n"
    "\n"
    "Equivalent to::\n"
    "\n"
    "    out = 'Direct configuration=%6d\\n' % index\n"
    "    for row in scaled_positions:\n"
    "        out += '  ' + ' '.join('%11.8f' % x for x in row[:3]) + '\\n'\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "scaled_positions : ndarray float64 [N,3]\n"
    "    Fractional coordinates of the frame.\n"
    "index : int\n"
    "    1-based frame index written to the header line\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The full block including the header, ready to be written to the file.\n";

constexpr const char* k_parse_xyz_doc =
    "Parse N atom lines from a simple XYZ file.\n"
    "\n"
    "Equivalent to the pure-Python loop::\n"
    "\n"
    "    symbols, positions = [], []\n"
    "    lines = list(lines)\n"
    "    while lines:\n"
    "        line = lines.pop(0)\n"
    "        symbol, x, y, z = line.split()[:4]\n"
    "        symbol = symbol.lower()\n"
    "        symbol = symbol[:1].upper() + symbol[1:]\n"
    "        symbols.append(symbol)\n"
    "        positions.append([float(x), float(y), float(z)])\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "lines : list[str]\n"
    "    The N atom lines (already extracted from the full file).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(symbols: list[str], positions: ndarray float64 [N,3])\n";

constexpr const char* k_format_xyz_doc =
    "Format N atoms as simple XYZ atom lines.\n"
    "\n"
    "Numbers are written with \"%22.15f\"; equivalent to::\n"
    "\n"
    "    fmt = '%22.15f'\n"
    "    out = ''\n"
    "    for s, (x, y, z) in zip(symbols, positions):\n"
    "        out += '%-2s %s %s %s\\n' % (s, fmt % x, fmt % y, fmt % z)\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "symbols : list[str]\n"
    "    chemical symbols (length N)\n"
    "positions : ndarray float64 [N,3]\n"
    "\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    the block (without the natoms / comment header lines)\n";

constexpr auto k_parse_poscar =
    binding::function("parse_poscar_positions_rs", k_parse_poscar_params, k_parse_poscar_doc, parse_poscar_entry);
constexpr auto k_format_poscar =
    binding::function("format_poscar_positions_rs", k_format_poscar_params, k_format_poscar_doc, format_poscar_entry);
constexpr auto k_parse_xdatcar =
    binding::function("parse_xdatcar_coords_rs", k_parse_xdatcar_params, k_parse_xdatcar_doc, parse_xdatcar_entry);
constexpr auto k_format_xdatcar =
    binding::function("format_xdatcar_config_rs", k_format_xdatcar_params, k_format_xdatcar_doc, format_xdatcar_entry);
constexpr auto k_parse_xyz = binding::function("parse_xyz_block_rs", k_parse_xyz_params, k_parse_xyz_doc, parse_xyz_entry);
constexpr auto k_format_xyz =
    binding::function("format_xyz_block_rs", k_format_xyz_params, k_format_xyz_doc, format_xyz_entry);
QUORVEL_CHECK_FUNCTION(k_parse_poscar);
QUORVEL_CHECK_FUNCTION(k_format_poscar);
QUORVEL_CHECK_FUNCTION(k_parse_xdatcar);
QUORVEL_CHECK_FUNCTION(k_format_xdatcar);
QUORVEL_CHECK_FUNCTION(k_parse_xyz);
QUORVEL_CHECK_FUNCTION(k_format_xyz);

constexpr FunctionView k_functions[] = {
    k_parse_poscar.view(), k_format_poscar.view(), k_parse_xdatcar.view(),
    k_format_xdatcar.view(), k_parse_xyz.view(),    k_format_xyz.view(),
};

bool convert_lines(PyObject* obj, const char* name, LineList& lines) {
    return convert_argument(name, [&] { return binding::to_line_list(obj, lines); });
}

PyObject* parse_poscar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_parse_poscar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        LineList lines;
        bool selective = false;
        if (!convert_lines(a[0], a.name(0), lines) ||
            !convert_argument(a.name(1), [&] { return binding::to_bool(a[1], selective); })) {
            return Ref();
        }
        Result<PoscarBlock> r = parse_poscar_positions(lines.lines, selective);
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        const auto n = static_cast<int64_t>(r->rows);
        Ref positions = binding::array_from_buffer(std::move(r->positions), {n, 3});
        if (!positions) return Ref();
        Ref flags = r->flags ? binding::array_from_buffer(std::move(*r->flags), {n, 3})
                             : Ref::borrow(Py_None);
        if (!flags) return Ref();
        return Ref::steal(PyTuple_Pack(2, positions.get(), flags.get()));
    });
}

PyObject* format_poscar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_format_poscar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        ArrayArg<double> coord;
        ArrayArg<uint8_t> flags;
        const bool with_flags = a[1] != nullptr && a[1] != Py_None;
        if (!convert_argument(a.name(0), [&] { return binding::to_view2(a[0], DType::float64, coord); }) ||
            (with_flags &&
             !convert_argument(a.name(1), [&] { return binding::to_view2(a[1], DType::boolean, flags); }))) {
            return Ref();
        }
        return text_result(true, [&](TextSink& out) {
            return format_poscar_positions(coord.view2, with_flags ? &flags.view2 : nullptr, out);
        });
    });
}

PyObject* parse_xdatcar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_parse_xdatcar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        LineList lines;
        if (!convert_lines(a[0], a.name(0), lines)) return Ref();
        Result<Buffer<double>> r = parse_xdatcar_coords(lines.lines);
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        return binding::array_from_buffer(std::move(*r), {static_cast<int64_t>(lines.lines.size()), 3});
    });
}

PyObject* format_xdatcar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_format_xdatcar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        ArrayArg<double> positions;
        uint64_t index = 0;
        if (!convert_argument(a.name(0),
                              [&] { return binding::to_view2(a[0], DType::float64, positions); }) ||
            !convert_argument(a.name(1), [&] { return binding::to_u64(a[1], index); })) {
            return Ref();
        }
        return text_result(true, [&](TextSink& out) {
            return format_xdatcar_config(positions.view2, index, out);
        });
    });
}

PyObject* parse_xyz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_parse_xyz);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        LineList lines;
        if (!convert_lines(a[0], a.name(0), lines)) return Ref();
        Result<XyzBlock> r = parse_xyz_block(lines.lines);
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        lines = LineList();  // the input lines are no longer needed
        const std::size_t n = r->rows;
        Ref symbols = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!symbols) return Ref();
        // A block names few distinct elements: equal symbols share one
        // (immutable) str instead of a million copies of "Fe".
        SymbolCache cache;
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* s = cache.get(r->symbol(k));
            if (s == nullptr) return Ref();
            PyList_SET_ITEM(symbols.get(), static_cast<Py_ssize_t>(k), s);
        }
        Ref positions = binding::array_from_buffer(std::move(r->positions), {static_cast<int64_t>(n), 3});
        if (!positions) return Ref();
        return Ref::steal(PyTuple_Pack(2, symbols.get(), positions.get()));
    });
}

PyObject* format_xyz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_format_xyz);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        // The symbol views borrow the caller's list: NumPy's first import,
        // which runs Python code, must not come between them and their use.
        if (!binding::ensure_numpy()) return Ref();
        LineList symbols;
        ArrayArg<double> positions;
        if (!convert_lines(a[0], a.name(0), symbols) ||
            !convert_argument(a.name(1), [&] { return binding::to_view2(a[1], DType::float64, positions); })) {
            return Ref();
        }
        return text_result(symbols.all_ascii, [&](TextSink& out) {
            return format_xyz_block(symbols.lines, positions.view2, out);
        });
    });
}

constexpr binding::ModuleTable k_module{"_ledgra", "quorvel._ledgra", k_functions};

}  // namespace

}  // namespace quorvel::ledgra

// The interpreter looks the entry up by this name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__ledgra() { return quorvel::binding::init_module(quorvel::ledgra::k_module); }
