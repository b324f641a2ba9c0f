// Owns NumPy's C-API table for this module.
#define QUORVEL_NUMPY_API_OWNER
// The header also defines import_array's helper, which this file replaces
// with a lazy binding of its own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "quorvel/binding/numpy.hpp"
#pragma GCC diagnostic pop

#include "quorvel/binding/errors.hpp"
#include "quorvel/binding/ref.hpp"

namespace quorvel::binding {

namespace {

constexpr const char* k_capsule_error = "Failed to access NumPy array API capsule";

bool bind_table() noexcept {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return false;
    Ref major_obj = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return false;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return false;

    Ref multiarray = Ref::steal(
        PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) return false;
    // The capsule's module keeps the table alive for the life of the process.
    PY_ARRAY_UNIQUE_SYMBOL = static_cast<decltype(PY_ARRAY_UNIQUE_SYMBOL)>(table);
#if defined(NPY_ABI_VERSION) && NPY_ABI_VERSION >= 0x02000000
    // Headers of NumPy 2 consult the running version for layout-dependent
    // accessors, as import_array() would set it up.
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
#endif
    return true;
}

}  // namespace

bool ensure_numpy() {
    if (PY_ARRAY_UNIQUE_SYMBOL != nullptr) return true;
    if (bind_table()) return true;
    // Report the cause in the message and keep it as __cause__.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref cause = Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    Ref text = cause ? Ref::steal(PyObject_Str(cause.get())) : Ref();
    if (!text) PyErr_Clear();
    const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (detail == nullptr) PyErr_Clear();
    std::string message = k_capsule_error;
    if (detail != nullptr) {
        message += ": ";
        message += detail;
    }
    raise_panic(message);
    if (cause) {
        PyObject* raised_type = nullptr;
        PyObject* raised = nullptr;
        PyObject* raised_tb = nullptr;
        PyErr_Fetch(&raised_type, &raised, &raised_tb);
        PyErr_NormalizeException(&raised_type, &raised, &raised_tb);
        if (raised != nullptr) PyException_SetCause(raised, cause.release());
        PyErr_Restore(raised_type, raised, raised_tb);
    }
    return false;
}

}  // namespace quorvel::binding
