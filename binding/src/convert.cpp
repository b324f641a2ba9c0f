#include "quorvel/binding/convert.hpp"

#include <cstring>

#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/numpy.hpp"

namespace quorvel::binding {

namespace {

bool attr_equals(PyObject* obj, const char* attr, const char* value) noexcept {
    Ref v = Ref::steal(PyObject_GetAttrString(obj, attr));
    if (!v) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(v.get())) return false;
    const int c = PyUnicode_CompareWithASCIIString(v.get(), value);
    if (c == -1 && PyErr_Occurred()) PyErr_Clear();
    return c == 0;
}

bool is_numpy_bool_scalar(PyObject* obj) noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    return attr_equals(type, "__module__", "numpy") &&
           (attr_equals(type, "__name__", "bool_") || attr_equals(type, "__name__", "bool"));
}

// Calls `fn(item)` (item borrowed for the call) for every item that iterating
// `obj` yields. Exact lists and tuples are walked directly, which yields the
// same items as their iterators, re-reading the list's length at each step
// as list iteration does.
template <class Fn>
bool for_each_item(PyObject* obj, Fn&& fn) noexcept {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(obj); ++k) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, k));
            if (!fn(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(obj); ++k) {
            if (!fn(PyTuple_GET_ITEM(obj, k))) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!fn(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// The checks every list rule makes before iterating; returns the length
// hint (0 when the length cannot be had).
bool check_list_source(PyObject* obj, std::size_t& hint) noexcept {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        PyErr_Clear();
        hint = 0;
    } else {
        hint = static_cast<std::size_t>(n);
    }
    return true;
}

PyArray_Descr* descr_for(DType dtype) noexcept {
    switch (dtype) {
        case DType::float64: return PyArray_DescrFromType(NPY_FLOAT64);
        case DType::int64: return PyArray_DescrFromType(NPY_INT64);
        case DType::boolean: return PyArray_DescrFromType(NPY_BOOL);
    }
    return nullptr;
}

bool check_array(PyObject* obj, DType dtype, int ndim) noexcept {
    if (!ensure_numpy()) return false;
    if (PyArray_Check(obj) &&
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim) {
        PyArray_Descr* want = descr_for(dtype);
        if (want == nullptr) return false;
        const bool same = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), want);
        Py_DECREF(want);
        if (same) return true;
    }
    raise_cannot_convert(obj, "PyArray<T, D>");
    return false;
}

}  // namespace

bool to_bool(PyObject* obj, bool& out) noexcept {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool_scalar(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_bool == nullptr) {
            Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
            if (!type_text) return false;
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                         type_text.get());
            return false;
        }
        const int v = nb->nb_bool(obj);
        if (v < 0) return false;
        out = v != 0;
        return true;
    }
    raise_cannot_convert(obj, "PyBool");
    return false;
}

bool to_three_bools(PyObject* obj, std::array<bool, 3>& out) noexcept {
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    if (n != 3) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", Py_ssize_t{3}, n);
        return false;
    }
    for (Py_ssize_t k = 0; k < 3; ++k) {
        Ref item = Ref::steal(PySequence_GetItem(obj, k));
        if (!item) return false;
        if (!to_bool(item.get(), out[static_cast<std::size_t>(k)])) return false;
    }
    return true;
}

bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_bytes(PyObject* obj, BytesArg& out) noexcept {
    // C-contiguous bytes, read-only: the interpreter's own TypeError for
    // objects without the buffer protocol.
    if (PyObject_GetBuffer(obj, &out.view_, PyBUF_C_CONTIGUOUS) != 0) return false;
    out.held_ = true;
    return true;
}

bool to_u64(PyObject* obj, uint64_t& out) noexcept {
    Ref index;
    PyObject* number = obj;
    if (!PyLong_Check(obj)) {
        index = Ref::steal(PyNumber_Index(obj));
        if (!index) return false;
        number = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(number);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<uint64_t>(v);
    return true;
}

bool to_int_list(PyObject* obj, std::vector<int64_t>& out) noexcept {
    try {
        std::size_t hint = 0;
        if (!check_list_source(obj, hint)) return false;
        out.clear();
        out.reserve(hint);
        return for_each_item(obj, [&](PyObject* item) {
            const long v = PyLong_AsLong(item);
            if (v == -1 && PyErr_Occurred()) return false;
            out.push_back(static_cast<int64_t>(v));
            return true;
        });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool to_double_list(PyObject* obj, std::vector<double>& out) noexcept {
    try {
        std::size_t hint = 0;
        if (!check_list_source(obj, hint)) return false;
        out.clear();
        out.reserve(hint);
        return for_each_item(obj, [&](PyObject* item) {
            double v = 0.0;
            if (!to_double(item, v)) return false;
            out.push_back(v);
            return true;
        });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool to_line_list(PyObject* obj, LineList& out) noexcept {
    try {
        std::size_t hint = 0;
        if (!check_list_source(obj, hint)) return false;
        out.items = Ref();
        out.lines.clear();
        out.all_ascii = true;
        // Every str the views point into is held by one container: the
        // caller's own tuple or list, or the items another iterable yielded,
        // in a new list.
        Ref items;
        if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
            items = Ref::borrow(obj);
        } else {
            items = Ref::steal(PyList_New(0));
            if (!items) return false;
            const bool ok = for_each_item(obj, [&](PyObject* item) {
                if (!PyUnicode_Check(item)) {
                    raise_cannot_convert(item, "PyString");
                    return false;
                }
                return PyList_Append(items.get(), item) == 0;
            });
            if (!ok) return false;
        }
        const bool tuple = PyTuple_CheckExact(items.get());
        const Py_ssize_t n = tuple ? PyTuple_GET_SIZE(items.get()) : PyList_GET_SIZE(items.get());
        PyObject* const* const slots = tuple ? reinterpret_cast<PyTupleObject*>(items.get())->ob_item
                                             : reinterpret_cast<PyListObject*>(items.get())->ob_item;
        out.lines.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            // The str objects are scattered over the heap and each is read
            // once: fetching a few ahead overlaps their cache misses.
            if (k + 16 < n) __builtin_prefetch(slots[k + 16]);
            PyObject* item = slots[k];
            if (!PyUnicode_Check(item)) {
                raise_cannot_convert(item, "PyString");
                return false;
            }
            if (PyUnicode_IS_COMPACT_ASCII(item)) {
                // An ASCII str is its own UTF-8 form, stored right after the object.
                out.lines.emplace_back(static_cast<const char*>(PyUnicode_DATA(item)),
                                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
                continue;
            }
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (text == nullptr) return false;
            out.all_ascii = false;
            out.lines.emplace_back(text, static_cast<std::size_t>(size));
        }
        out.items = std::move(items);
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool to_array2(PyObject* obj, DType dtype, Ref& owner, const char*& data, int64_t (&shape)[2],
               int64_t (&strides)[2]) noexcept {
    if (!check_array(obj, dtype, 2)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    owner = Ref::borrow(obj);
    data = static_cast<const char*>(PyArray_DATA(a));
    for (int k = 0; k < 2; ++k) {
        shape[k] = static_cast<int64_t>(PyArray_DIMS(a)[k]);
        strides[k] = static_cast<int64_t>(PyArray_STRIDES(a)[k]);
    }
    return true;
}

bool to_array1(PyObject* obj, DType dtype, Ref& owner, const char*& data, int64_t& size,
               int64_t& stride) noexcept {
    if (!check_array(obj, dtype, 1)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    owner = Ref::borrow(obj);
    data = static_cast<const char*>(PyArray_DATA(a));
    size = static_cast<int64_t>(PyArray_DIMS(a)[0]);
    stride = static_cast<int64_t>(PyArray_STRIDES(a)[0]);
    return true;
}

}  // namespace quorvel::binding
