// The extended XYZ entries of quorvel._reader: the typed per-atom columns of
// extended XYZ frames, read from a file's bytes and written back. The tables
// live here so that reader_module.cpp lists them in the module's function
// table; the entries are defined in reader_extxyz.cpp.
#pragma once

#include "quorvel/binding/module.hpp"

namespace quorvel::ledgra {

PyObject* parse_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* format_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr binding::Parameter k_parse_columns_params[] = {
    {"data"}, {"offset"}, {"rows"}, {"properties"}, {"species", "None"}, {"extra_fields", "False"},
};
inline constexpr binding::Parameter k_format_columns_params[] = {{"rows"}, {"types"}, {"columns"}, {"exact", "True"}};


inline constexpr const char* k_parse_columns_doc =
    "Read `rows` atom lines of an extended XYZ frame from the bytes of `data`.\n"
    "\n"
    "data: a buffer-protocol object (bytes, bytearray, mmap) holding UTF-8 text;\n"
    "the lines start at byte `offset` and end at \"\\n\" (the last may end with\n"
    "the data). properties: the Properties text \"name:type:count:...\" (types S,\n"
    "R, I, L). species: the name of the string column whose fields are spelled\n"
    "as parse_xyz_block_rs spells a symbol (None: no such column). extra_fields:\n"
    "whether fields after the last property are allowed (and ignored).\n"
    "\n"
    "Returns (end, columns): the offset just after the last line read, and a\n"
    "list of (name, type, values) in the order of the properties, values being\n"
    "a float64, int64 or bool array of shape (rows,) for a count of 1 or\n"
    "(rows, count), or for S a list of rows * count str, row by row. Reals use\n"
    "the float grammar of quorvel._ledgra, integers are exact within int64,\n"
    "logicals are T, F, True, False (also in upper or lower case).\n"
    "\n"
    "A malformed Properties raises ValueError with expected = \"properties\". A\n"
    "bad line raises ValueError with the attributes line (from 0), property\n"
    "(the name, None for a missing line or fields after the last property),\n"
    "item (the field within the property), field (the text, None when missing)\n"
    "and expected: \"real\", \"integer\", \"logical\", \"fields\" (too few), \"end\"\n"
    "(too many) or \"line\" (the data ends first). Runs with the interpreter\n"
    "lock released.\n";

inline constexpr const char* k_format_columns_doc =
    "Write `rows` atom lines of typed columns.\n"
    "\n"
    "types: one letter per column (S, R, I, L); columns: for R, I and L a\n"
    "float64, int64 or bool array of shape (rows, count), for S a sequence of\n"
    "rows * count str, row by row. Fields are separated by one space: strings\n"
    "as given (left-aligned in width 2 unless last), reals as %22.15f or, with\n"
    "exact and where the shortest digits that read back as the same double are\n"
    "not plain decimals with at most 15 after the point, those digits\n"
    "(right-aligned in 22), so that every real reads back bit for bit; integers\n"
    "in decimal, logicals T or F. Returns the lines as one str, each ending in\n"
    "\"\\n\".\n";

inline constexpr auto k_parse_columns = binding::function("parse_columns", k_parse_columns_params, k_parse_columns_doc, parse_columns_entry);
inline constexpr auto k_format_columns = binding::function("format_columns", k_format_columns_params, k_format_columns_doc, format_columns_entry);
QUORVEL_CHECK_FUNCTION(k_parse_columns);
QUORVEL_CHECK_FUNCTION(k_format_columns);

}  // namespace quorvel::ledgra
