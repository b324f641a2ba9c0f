// quorvel._reader: trajectory files read straight from their bytes (a
// memory map, bytes, any buffer): the frame scanner and the atom-block
// parsers of quorvel._ledgra taking a byte offset instead of a list of
// lines, and the typed columns of extended XYZ frames (reader_extxyz.cpp).
//
// Each entry binds and converts its arguments with the lock held, holds the
// caller's buffer (which can then be neither closed nor resized), releases
// the lock around the Python-free routine, then builds the arrays from the
// routine's buffers. Block errors are those of quorvel._ledgra's parsers for
// the same lines: the same message, and `line` counted within the block.
#include <cstring>
#include <string_view>
#include <vector>

#include "frame_scan.hpp"
#include "quorvel/binding/arguments.hpp"
#include "quorvel/binding/convert.hpp"
#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/gil.hpp"
#include "quorvel/binding/module.hpp"
#include "quorvel/binding/results.hpp"
#include "quorvel/binding/symbol_cache.hpp"
#include "reader_extxyz.hpp"
#include "vasp.hpp"
#include "xyz.hpp"

namespace quorvel::ledgra {

namespace {

using binding::Arguments;
using binding::ArrayArg;
using binding::BytesArg;
using binding::convert_argument;
using binding::DType;
using binding::FunctionView;
using binding::Parameter;
using binding::Ref;
using binding::SymbolCache;

// Runs `routine()` with the lock released; the result comes back with the
// lock held again (also when the routine throws).
template <class Routine>
auto without_gil(Routine&& routine) {
    binding::GilReleased released;
    return routine();
}

PyObject* skip_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* find_lone_cr_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scan_xdatcar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scan_xyz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* poscar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* xdatcar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* xdatcar_frames_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* xyz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

constexpr Parameter k_skip_lines_params[] = {{"data"}, {"offset"}, {"count"}};
constexpr Parameter k_find_lone_cr_params[] = {{"data"}, {"offset", "0"}};
constexpr Parameter k_scan_xdatcar_params[] = {{"data"},           {"offset"},
                                               {"line"},           {"atoms"},
                                               {"frames_before", "0"}, {"blank_separated", binding::bool_text(false)}};
constexpr Parameter k_scan_xyz_params[] = {{"data"}, {"offset", "0"}, {"line", "1"}};
constexpr Parameter k_poscar_params[] = {{"data"}, {"offset"}, {"rows"}, {"selective"}};
constexpr Parameter k_xdatcar_params[] = {{"data"}, {"offset"}, {"rows"}};
constexpr Parameter k_xdatcar_frames_params[] = {{"data"}, {"blocks"}, {"atoms"}};
constexpr Parameter k_xyz_params[] = {{"data"}, {"offset"}, {"rows"}};

#define QUORVEL_DATA_NOTE                                                                   \
    "\n"                                                                                    \
    "data: any object with the buffer protocol (bytes, mmap, ...), held and read with\n"   \
    "the interpreter lock released; offsets are byte offsets into it.\n"

#define QUORVEL_BLOCK_NOTE                                                                  \
    "\n"                                                                                    \
    "The block is the `rows` lines from `offset` (each to its '\\n'; the last may end\n"    \
    "the data without one). Values and errors are those of quorvel._ledgra's parser\n"     \
    "for the same lines: the same ValueError message and line/field/expected facts,\n"     \
    "`line` counted from 0 within the block. A ValueError too when the data ends\n"        \
    "before `rows` lines, or a line of the block is not UTF-8 text.\n" QUORVEL_DATA_NOTE

#define QUORVEL_SCAN_NOTE                                                                   \
    "\n"                                                                                    \
    "Returns (starts, blocks, atoms, start_lines, block_lines, kinds, stop, stop_line,\n"  \
    "reason): per frame the offset where it starts and where its atom block starts,\n"     \
    "its atom count, the 1-based line numbers of both (int64 arrays), and its kind\n"      \
    "(int64: 0 'Direct configuration', 1 'Cartesian configuration', 2 after blank\n"      \
    "lines, 3 after a header of its own, 4 XYZ); then where the scan stopped, before\n"    \
    "any blank lines (offset, line) and why: 0 nothing but blank lines follow, 1 the\n"    \
    "data ends inside the frame there (or its last line lacks a line end), 2 a line\n"     \
    "the scanner leaves to a reader (the frame there must be read to be judged).\n"        \
    "No number is parsed.\n" QUORVEL_DATA_NOTE

constexpr const char* k_skip_lines_doc =
    "Where `count` lines from `offset` end: (end offset, lines), fewer lines only at\n"
    "the end of the data; a last line without a line end counts.\n" QUORVEL_DATA_NOTE;

constexpr const char* k_find_lone_cr_doc =
    "The offset of the first '\\r' at or after `offset` that is not followed by '\\n'\n"
    "(an old Mac line end), or -1.\n" QUORVEL_DATA_NOTE;

constexpr const char* k_scan_xdatcar_doc =
    "The frames of an XDATCAR file from `offset`, the line after the first header's\n"
    "atom counts (1-based line number `line`), each of `atoms` atom lines: fixed-cell\n"
    "frames after 'Direct configuration=' lines or (blank_separated, or blank lines\n"
    "before the first frame) after blank lines, and variable-cell frames, each after a\n"
    "header of its own. frames_before: frames read before `offset`.\n" QUORVEL_SCAN_NOTE;

constexpr const char* k_scan_xyz_doc =
    "The frames of a multi-frame XYZ file from `offset` (1-based line `line`): a\n"
    "count line, a comment line and that many atom lines each; counts may change.\n" QUORVEL_SCAN_NOTE;

constexpr const char* k_poscar_doc =
    "A POSCAR position block from bytes: (positions float64 [rows,3], flags bool\n"
    "[rows,3] or None, end offset), as quorvel._ledgra.parse_poscar_positions_rs.\n" QUORVEL_BLOCK_NOTE;

constexpr const char* k_xdatcar_doc =
    "An XDATCAR coordinate block from bytes: (coordinates float64 [rows,3], end\n"
    "offset), as quorvel._ledgra.parse_xdatcar_coords_rs.\n" QUORVEL_BLOCK_NOTE;

constexpr const char* k_xdatcar_frames_doc =
    "The coordinate blocks of many XDATCAR frames from bytes: float64\n"
    "[len(blocks), atoms, 3], block k being the `atoms` lines from offset blocks[k]\n"
    "(int64 array). Fails on the first bad block as parse_xdatcar_coords fails on it.\n" QUORVEL_DATA_NOTE;

constexpr const char* k_xyz_doc =
    "An XYZ atom block from bytes: (symbols list[str], positions float64 [rows,3],\n"
    "end offset), as quorvel._ledgra.parse_xyz_block_rs.\n" QUORVEL_BLOCK_NOTE;

constexpr auto k_skip_lines = binding::function("skip_lines", k_skip_lines_params, k_skip_lines_doc, skip_lines_entry);
constexpr auto k_find_lone_cr =
    binding::function("find_lone_cr", k_find_lone_cr_params, k_find_lone_cr_doc, find_lone_cr_entry);
constexpr auto k_scan_xdatcar =
    binding::function("scan_xdatcar", k_scan_xdatcar_params, k_scan_xdatcar_doc, scan_xdatcar_entry);
constexpr auto k_scan_xyz = binding::function("scan_xyz", k_scan_xyz_params, k_scan_xyz_doc, scan_xyz_entry);
constexpr auto k_poscar = binding::function("parse_poscar_positions", k_poscar_params, k_poscar_doc, poscar_entry);
constexpr auto k_xdatcar = binding::function("parse_xdatcar_coords", k_xdatcar_params, k_xdatcar_doc, xdatcar_entry);
constexpr auto k_xdatcar_frames = binding::function("parse_xdatcar_frames", k_xdatcar_frames_params,
                                                    k_xdatcar_frames_doc, xdatcar_frames_entry);
constexpr auto k_xyz = binding::function("parse_xyz_block", k_xyz_params, k_xyz_doc, xyz_entry);
QUORVEL_CHECK_FUNCTION(k_skip_lines);
QUORVEL_CHECK_FUNCTION(k_find_lone_cr);
QUORVEL_CHECK_FUNCTION(k_scan_xdatcar);
QUORVEL_CHECK_FUNCTION(k_scan_xyz);
QUORVEL_CHECK_FUNCTION(k_poscar);
QUORVEL_CHECK_FUNCTION(k_xdatcar);
QUORVEL_CHECK_FUNCTION(k_xdatcar_frames);
QUORVEL_CHECK_FUNCTION(k_xyz);

constexpr FunctionView k_functions[] = {
    k_skip_lines.view(), k_find_lone_cr.view(), k_scan_xdatcar.view(),   k_scan_xyz.view(),
    k_poscar.view(),     k_xdatcar.view(),      k_xdatcar_frames.view(), k_xyz.view(),
    k_parse_columns.view(), k_format_columns.view(),
};

bool convert_data(PyObject* obj, const char* name, BytesArg& data) {
    return convert_argument(name, [&] { return binding::to_bytes(obj, data); });
}

bool convert_size(PyObject* obj, const char* name, std::size_t& out) {
    uint64_t v = 0;
    if (!convert_argument(name, [&] { return binding::to_u64(obj, v); })) return false;
    out = static_cast<std::size_t>(v);
    return true;
}

// An offset into the data: at most its size.
bool convert_offset(PyObject* obj, const char* name, const BytesArg& data, std::size_t& out) {
    if (!convert_size(obj, name, out)) return false;
    if (out > data.text().size()) {
        PyErr_Format(PyExc_ValueError, "offset %zu is past the end of the data (%zu bytes)", out,
                     data.text().size());
        return false;
    }
    return true;
}

// An int64 array of the values.
template <class T>
Ref array_of(const std::vector<T>& values) {
    Buffer<int64_t> b = Buffer<int64_t>::uninitialized(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) b.data()[k] = static_cast<int64_t>(values[k]);
    return binding::array_from_buffer(std::move(b), {static_cast<int64_t>(values.size())});
}

Ref size_object(std::size_t v) { return Ref::steal(PyLong_FromSize_t(v)); }

Ref table_tuple(const FrameTable& t) {
    Ref items[9] = {array_of(t.starts),      array_of(t.blocks),      array_of(t.atoms),
                    array_of(t.start_lines), array_of(t.block_lines), array_of(t.kinds),
                    size_object(t.stop),     size_object(t.stop_line),
                    Ref::steal(PyLong_FromLong(static_cast<long>(t.reason)))};
    for (const Ref& item : items) {
        if (!item) return Ref();
    }
    return Ref::steal(PyTuple_Pack(9, items[0].get(), items[1].get(), items[2].get(), items[3].get(), items[4].get(),
                                   items[5].get(), items[6].get(), items[7].get(), items[8].get()));
}

PyObject* skip_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_skip_lines);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        std::size_t count = 0;
        if (!convert_data(a[0], a.name(0), data) || !convert_offset(a[1], a.name(1), data, offset) ||
            !convert_size(a[2], a.name(2), count)) {
            return Ref();
        }
        const LineRun run = without_gil([&] { return skip_lines(data.text(), offset, count); });
        Ref end = size_object(run.end);
        Ref lines = size_object(run.lines);
        if (!end || !lines) return Ref();
        return Ref::steal(PyTuple_Pack(2, end.get(), lines.get()));
    });
}

PyObject* find_lone_cr_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_find_lone_cr);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        if (!convert_data(a[0], a.name(0), data) ||
            (a[1] != nullptr && !convert_offset(a[1], a.name(1), data, offset))) {
            return Ref();
        }
        const std::size_t at = without_gil([&] { return find_lone_cr(data.text(), offset); });
        return Ref::steal(at == k_no_offset ? PyLong_FromLong(-1) : PyLong_FromSize_t(at));
    });
}

PyObject* scan_xdatcar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_scan_xdatcar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        std::size_t line = 0;
        std::size_t atoms = 0;
        std::size_t before = 0;
        bool blank_separated = false;
        if (!convert_data(a[0], a.name(0), data) || !convert_offset(a[1], a.name(1), data, offset) ||
            !convert_size(a[2], a.name(2), line) || !convert_size(a[3], a.name(3), atoms) ||
            (a[4] != nullptr && !convert_size(a[4], a.name(4), before)) ||
            (a[5] != nullptr &&
             !convert_argument(a.name(5), [&] { return binding::to_bool(a[5], blank_separated); }))) {
            return Ref();
        }
        const FrameTable t =
            without_gil([&] { return scan_xdatcar(data.text(), offset, line, atoms, before, blank_separated); });
        return table_tuple(t);
    });
}

PyObject* scan_xyz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_scan_xyz);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        std::size_t line = 1;
        if (!convert_data(a[0], a.name(0), data) ||
            (a[1] != nullptr && !convert_offset(a[1], a.name(1), data, offset)) ||
            (a[2] != nullptr && !convert_size(a[2], a.name(2), line))) {
            return Ref();
        }
        const FrameTable t = without_gil([&] { return scan_xyz(data.text(), offset, line); });
        return table_tuple(t);
    });
}

// Converts data, offset and rows (parameters 0..2).
template <std::size_t P>
bool convert_block(const Arguments<P>& a, BytesArg& data, std::size_t& offset, std::size_t& rows) {
    return convert_data(a[0], a.name(0), data) && convert_offset(a[1], a.name(1), data, offset) &&
           convert_size(a[2], a.name(2), rows);
}

// The block and its parse, with the lock released; the end offset of the
// block in `end`.
template <class Parse>
auto parse_at(std::string_view text, std::size_t offset, std::size_t rows, std::size_t& end, Parse&& parse) {
    return without_gil([&]() -> decltype(parse(TextBlock{})) {
        Result<TextBlock> block = text_block_at(text, offset, rows);
        if (!block) return unexpected(std::move(block.error()));
        end = offset + block->text.size();
        return parse(*block);
    });
}

PyObject* poscar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_poscar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        std::size_t rows = 0;
        bool selective = false;
        if (!convert_block(a, data, offset, rows) ||
            !convert_argument(a.name(3), [&] { return binding::to_bool(a[3], selective); })) {
            return Ref();
        }
        std::size_t end = 0;
        Result<PoscarBlock> r = parse_at(data.text(), offset, rows, end,
                                         [&](TextBlock b) { return parse_poscar_positions_bytes(b, selective); });
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        const auto n = static_cast<int64_t>(r->rows);
        Ref positions = binding::array_from_buffer(std::move(r->positions), {n, 3});
        if (!positions) return Ref();
        Ref flags = r->flags ? binding::array_from_buffer(std::move(*r->flags), {n, 3}) : Ref::borrow(Py_None);
        Ref end_offset = size_object(end);
        if (!flags || !end_offset) return Ref();
        return Ref::steal(PyTuple_Pack(3, positions.get(), flags.get(), end_offset.get()));
    });
}

PyObject* xdatcar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_xdatcar);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        std::size_t rows = 0;
        if (!convert_block(a, data, offset, rows)) return Ref();
        std::size_t end = 0;
        Result<Buffer<double>> r =
            parse_at(data.text(), offset, rows, end, [](TextBlock b) { return parse_xdatcar_coords_bytes(b); });
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        Ref coords = binding::array_from_buffer(std::move(*r), {static_cast<int64_t>(rows), 3});
        Ref end_offset = size_object(end);
        if (!coords || !end_offset) return Ref();
        return Ref::steal(PyTuple_Pack(2, coords.get(), end_offset.get()));
    });
}

PyObject* xdatcar_frames_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_xdatcar_frames);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        ArrayArg<int64_t> blocks;
        std::size_t atoms = 0;
        if (!convert_data(a[0], a.name(0), data) ||
            !convert_argument(a.name(1), [&] { return binding::to_view1(a[1], DType::int64, blocks); }) ||
            !convert_size(a[2], a.name(2), atoms)) {
            return Ref();
        }
        // The offsets as one contiguous run (the array may be strided).
        std::vector<int64_t> offsets(static_cast<std::size_t>(blocks.view1.size));
        for (std::size_t k = 0; k < offsets.size(); ++k) offsets[k] = blocks.view1[static_cast<int64_t>(k)];
        Result<Buffer<double>> r = without_gil([&] { return parse_xdatcar_frames(data.text(), offsets, atoms); });
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        return binding::array_from_buffer(std::move(*r),
                                          {static_cast<int64_t>(offsets.size()), static_cast<int64_t>(atoms), 3});
    });
}

PyObject* xyz_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_xyz);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        BytesArg data;
        std::size_t offset = 0;
        std::size_t rows = 0;
        if (!convert_block(a, data, offset, rows)) return Ref();
        std::size_t end = 0;
        Result<XyzBlock> r = parse_at(data.text(), offset, rows, end, [](TextBlock b) { return parse_xyz_block_bytes(b); });
        if (!r) {
            binding::raise_failure(r.error());
            return Ref();
        }
        const std::size_t n = r->rows;
        Ref symbols = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!symbols) return Ref();
        SymbolCache cache;
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* s = cache.get(r->symbol(k));
            if (s == nullptr) return Ref();
            PyList_SET_ITEM(symbols.get(), static_cast<Py_ssize_t>(k), s);
        }
        Ref positions = binding::array_from_buffer(std::move(r->positions), {static_cast<int64_t>(n), 3});
        Ref end_offset = size_object(end);
        if (!positions || !end_offset) return Ref();
        return Ref::steal(PyTuple_Pack(3, symbols.get(), positions.get(), end_offset.get()));
    });
}

constexpr binding::ModuleTable k_module{"_reader", "quorvel._reader", k_functions};

}  // namespace

}  // namespace quorvel::ledgra

// The interpreter looks the entry up by this name.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__reader() { return quorvel::binding::init_module(quorvel::ledgra::k_module); }
