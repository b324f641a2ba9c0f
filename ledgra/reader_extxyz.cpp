// quorvel._reader's extended XYZ entries (tables in reader_extxyz.hpp): the
// typed per-atom columns of extended XYZ frames, read from a file's bytes and
// written back.
//
// Each entry binds and converts its arguments with the interpreter lock
// held, releases it around the Python-free routine (typed_columns.hpp), then
// builds the arrays from the routine's buffers without copying.
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvel/binding/arguments.hpp"
#include "quorvel/binding/convert.hpp"
#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/gil.hpp"
#include "quorvel/binding/module.hpp"
#include "quorvel/binding/numpy.hpp"
#include "quorvel/binding/results.hpp"
#include "reader_extxyz.hpp"
#include "typed_columns.hpp"

namespace quorvel::ledgra {

namespace {

using binding::Arguments;
using binding::ArrayArg;
using binding::convert_argument;
using binding::DType;
using binding::LineList;
using binding::Ref;

// The bytes of a buffer-protocol object (bytes, bytearray, mmap), held for
// the life of the call: an exported bytearray cannot be resized nor an
// mmap closed meanwhile.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    [[nodiscard]] bool acquire(PyObject* obj) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
        held_ = true;
        return true;
    }
    [[nodiscard]] std::string_view text() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

bool to_size(PyObject* obj, std::size_t& out) noexcept {
    uint64_t v = 0;
    if (!binding::to_u64(obj, v)) return false;
    out = static_cast<std::size_t>(v);
    return true;
}

bool to_text(PyObject* obj, std::string_view& out) noexcept {
    if (!PyUnicode_Check(obj)) {
        binding::raise_cannot_convert(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

// ValueError(reason) with expected = "properties".
void raise_layout_fault(const LayoutFault& f) noexcept {
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_ValueError, "s#", f.reason.data(),
                                                 static_cast<Py_ssize_t>(f.reason.size())));
    if (!error) return;
    Ref expected = Ref::steal(PyUnicode_FromString("properties"));
    if (!expected || PyObject_SetAttrString(error.get(), "expected", expected.get()) < 0) return;
    PyErr_SetObject(PyExc_ValueError, error.get());
}

// ValueError carrying the fault's facts as attributes: line (0-based within
// the rows read), property (its name, None for a missing line or a line
// too long), item, field (None where there is none) and expected.
void raise_column_fault(const ColumnFault& f, const ColumnLayout& layout) noexcept {
    const bool named = f.column < layout.columns.size();
    std::string message = "line " + std::to_string(f.line) + ": expected " + expected_name(f.expected);
    if (named) message += " for property '" + layout.columns[f.column].name + "'";
    if (!f.field.empty()) message += ", got '" + f.field + "'";
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_ValueError, "s#", message.data(),
                                                 static_cast<Py_ssize_t>(message.size())));
    if (!error) return;
    Ref line = Ref::steal(PyLong_FromSize_t(f.line));
    Ref item = Ref::steal(PyLong_FromSize_t(f.item));
    Ref property = named ? binding::string_from_utf8(layout.columns[f.column].name) : Ref::borrow(Py_None);
    Ref field = f.field.empty() && f.expected != ColumnFault::Expected::end
                    ? Ref::borrow(Py_None)
                    : Ref::steal(PyUnicode_DecodeUTF8(f.field.data(), static_cast<Py_ssize_t>(f.field.size()),
                                                      "surrogateescape"));
    Ref expected = Ref::steal(PyUnicode_FromString(expected_name(f.expected)));
    if (!line || !item || !property || !field || !expected ||
        PyObject_SetAttrString(error.get(), "line", line.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "property", property.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "item", item.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "field", field.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "expected", expected.get()) < 0) {
        return;
    }
    PyErr_SetObject(PyExc_ValueError, error.get());
}

// A new str for each distinct text of a string column; the few texts of a
// species column are kept, so equal symbols share one str.
class StringCache {
public:
    [[nodiscard]] PyObject* get(std::string_view s) {
        for (std::size_t k = 0; k < used_; ++k) {
            if (keys_[k] == s) return Py_NewRef(values_[k].get());
        }
        Ref made = Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
        if (!made) return nullptr;
        if (used_ < k_size) {
            keys_[used_] = s;
            values_[used_] = Ref::borrow(made.get());
            ++used_;
        }
        return made.release();
    }

private:
    static constexpr std::size_t k_size = 16;
    std::string_view keys_[k_size];
    Ref values_[k_size];
    std::size_t used_ = 0;
};

Ref column_object(ColumnValues& v, const PropertyColumn& prop, std::size_t rows) {
    const auto n = static_cast<int64_t>(rows);
    const auto c = static_cast<int64_t>(prop.count);
    switch (prop.type) {
        case ColumnType::real:
            return prop.count == 1 ? binding::array_from_buffer(std::move(v.reals), {n})
                                   : binding::array_from_buffer(std::move(v.reals), {n, c});
        case ColumnType::integer:
            return prop.count == 1 ? binding::array_from_buffer(std::move(v.integers), {n})
                                   : binding::array_from_buffer(std::move(v.integers), {n, c});
        case ColumnType::logical:
            return prop.count == 1 ? binding::array_from_buffer(std::move(v.logicals), {n})
                                   : binding::array_from_buffer(std::move(v.logicals), {n, c});
        case ColumnType::string: {
            const std::size_t total = v.ends.size();
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(total)));
            if (!list) return Ref();
            StringCache cache;
            for (std::size_t k = 0; k < total; ++k) {
                PyObject* s = cache.get(v.string(k));
                if (s == nullptr) return Ref();
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), s);
            }
            return list;
        }
    }
    return Ref();
}

}  // namespace

PyObject* parse_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_parse_columns);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        if (!binding::ensure_numpy()) return Ref();
        HeldBuffer data;
        std::size_t offset = 0;
        std::size_t rows = 0;
        std::string_view properties;
        std::string_view species;
        bool has_species = false;
        bool extra_fields = false;
        if (!convert_argument(a.name(0), [&] { return data.acquire(a[0]); }) ||
            !convert_argument(a.name(1), [&] { return to_size(a[1], offset); }) ||
            !convert_argument(a.name(2), [&] { return to_size(a[2], rows); }) ||
            !convert_argument(a.name(3), [&] { return to_text(a[3], properties); }) ||
            (a[4] != nullptr && a[4] != Py_None &&
             !convert_argument(a.name(4), [&] { return has_species = to_text(a[4], species); })) ||
            (a[5] != nullptr && !convert_argument(a.name(5), [&] { return binding::to_bool(a[5], extra_fields); }))) {
            return Ref();
        }
        auto layout = parse_layout(properties);
        if (!layout) {
            raise_layout_fault(layout.error());
            return Ref();
        }
        layout->extra_fields = extra_fields;
        for (PropertyColumn& prop : layout->columns) {
            prop.symbols = has_species && prop.type == ColumnType::string && prop.name == species;
        }
        auto result = [&] {
            binding::GilReleased released;
            return read_typed_rows(data.text(), offset, rows, *layout);
        }();
        if (!result) {
            raise_column_fault(result.error(), *layout);
            return Ref();
        }
        const std::size_t ncols = layout->columns.size();
        Ref columns = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ncols)));
        if (!columns) return Ref();
        for (std::size_t c = 0; c < ncols; ++c) {
            const PropertyColumn& prop = layout->columns[c];
            Ref values = column_object(result->columns[c], prop, rows);
            if (!values) return Ref();
            const char type[2] = {static_cast<char>(prop.type), '\0'};
            Ref item = Ref::steal(Py_BuildValue("(s#sO)", prop.name.data(), static_cast<Py_ssize_t>(prop.name.size()),
                                                type, values.get()));
            if (!item) return Ref();
            PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(c), item.release());
        }
        Ref end = Ref::steal(PyLong_FromSize_t(result->end));
        if (!end) return Ref();
        return Ref::steal(PyTuple_Pack(2, end.get(), columns.get()));
    });
}

namespace {

// The converted columns of a format call; string views point into str
// objects held by `held` (tuples, which no Python code can change).
struct FormatColumns {
    std::vector<ColumnOut> out;
    std::vector<ArrayArg<double>> reals;
    std::vector<ArrayArg<int64_t>> integers;
    std::vector<ArrayArg<uint8_t>> logicals;
    std::vector<LineList> strings;
    std::vector<Ref> held;
};

bool wrong_shape(std::size_t column, int64_t rows, int64_t got_rows) noexcept {
    PyErr_Format(PyExc_ValueError, "column %zu has %lld rows, not %lld", column, static_cast<long long>(got_rows),
                 static_cast<long long>(rows));
    return false;
}

bool convert_columns(PyObject* types_obj, PyObject* columns_obj, std::size_t rows, FormatColumns& f) {
    std::string_view types;
    if (!convert_argument("types", [&] { return to_text(types_obj, types); })) return false;
    Ref seq = Ref::steal(PySequence_Tuple(columns_obj));
    if (!seq) return false;
    const auto ncols = static_cast<std::size_t>(PyTuple_GET_SIZE(seq.get()));
    if (ncols != types.size()) {
        PyErr_Format(PyExc_ValueError, "%zu column types for %zu columns", types.size(), ncols);
        return false;
    }
    f.held.push_back(Ref::borrow(seq.get()));
    f.reals.resize(ncols);
    f.integers.resize(ncols);
    f.logicals.resize(ncols);
    f.strings.resize(ncols);
    const auto n = static_cast<int64_t>(rows);
    for (std::size_t c = 0; c < ncols; ++c) {
        PyObject* item = PyTuple_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(c));
        ColumnOut col;
        int64_t got_rows = 0;
        int64_t cols = 0;
        switch (types[c]) {
            case 'R':
                if (!convert_argument("columns", [&] { return binding::to_view2(item, DType::float64, f.reals[c]); })) {
                    return false;
                }
                col.type = ColumnType::real;
                col.reals = f.reals[c].view2;
                got_rows = col.reals.rows;
                cols = col.reals.cols;
                break;
            case 'I':
                if (!convert_argument("columns", [&] { return binding::to_view2(item, DType::int64, f.integers[c]); })) {
                    return false;
                }
                col.type = ColumnType::integer;
                col.integers = f.integers[c].view2;
                got_rows = col.integers.rows;
                cols = col.integers.cols;
                break;
            case 'L':
                if (!convert_argument("columns",
                                      [&] { return binding::to_view2(item, DType::boolean, f.logicals[c]); })) {
                    return false;
                }
                col.type = ColumnType::logical;
                col.logicals = f.logicals[c].view2;
                got_rows = col.logicals.rows;
                cols = col.logicals.cols;
                break;
            case 'S': {
                Ref strings = Ref::steal(PySequence_Tuple(item));
                if (!strings ||
                    !convert_argument("columns", [&] { return binding::to_line_list(strings.get(), f.strings[c]); })) {
                    return false;
                }
                f.held.push_back(std::move(strings));
                col.type = ColumnType::string;
                col.strings = f.strings[c].lines;
                const auto total = static_cast<int64_t>(col.strings.size());
                cols = n == 0 ? 1 : total / n;
                got_rows = n == 0 ? total : (total % n == 0 && cols > 0 ? n : -1);
                if (got_rows < 0) {
                    PyErr_Format(PyExc_ValueError, "column %zu has %lld strings, not a multiple of %lld rows", c,
                                 static_cast<long long>(total), static_cast<long long>(n));
                    return false;
                }
                break;
            }
            default:
                PyErr_Format(PyExc_ValueError, "column type '%c' is not one of S, R, I, L", types[c]);
                return false;
        }
        if (got_rows != n) return wrong_shape(c, n, got_rows);
        if (cols < 1) {
            PyErr_Format(PyExc_ValueError, "column %zu has no values per row", c);
            return false;
        }
        col.count = static_cast<std::size_t>(cols);
        f.out.push_back(col);
    }
    return true;
}

}  // namespace

PyObject* format_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::guarded([&]() -> Ref {
        Arguments a(k_format_columns);
        if (!a.bind(args, nargs, kwnames)) return Ref();
        if (!binding::ensure_numpy()) return Ref();
        std::size_t rows = 0;
        bool exact = true;
        FormatColumns f;
        if (!convert_argument(a.name(0), [&] { return to_size(a[0], rows); }) ||
            !convert_columns(a[1], a[2], rows, f) ||
            (a[3] != nullptr && !convert_argument(a.name(3), [&] { return binding::to_bool(a[3], exact); }))) {
            return Ref();
        }
        StringSink sink;
        {
            binding::GilReleased released;
            format_typed_rows(f.out, rows, exact, sink);
        }
        return binding::string_from_utf8(sink.view());
    });
}

}  // namespace quorvel::ledgra
