#include "quorvel/binding/errors.hpp"

#include "quorvel/binding/module.hpp"

#include <pthread.h>

#include <cstdio>
#include <string>

namespace quorvel::binding {

namespace {

constexpr const char* k_panic_doc =
    "Raised when native code called from Python aborts.\n\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that it\n"
    "typically propagates all the way up and ends the interpreter.";

// Created at first use and kept for the life of the process. Each extension
// module links its own copy of this file, so each has its own type.
PyObject* g_panic_type = nullptr;

PyObject* panic_type() noexcept {
    if (g_panic_type == nullptr) {
        const std::string name = std::string(module_qualified_name()) + ".PanicException";
        g_panic_type =
            PyErr_NewExceptionWithDoc(name.c_str(), k_panic_doc, PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

}  // namespace

void raise_panic(std::string_view message, const char* file, unsigned line) noexcept {
    if (message.empty()) message = "explicit panic";
    char thread_name[64] = "";
    if (pthread_getname_np(pthread_self(), thread_name, sizeof thread_name) != 0 ||
        thread_name[0] == '\0') {
        (void)std::snprintf(thread_name, sizeof thread_name, "%lu",
                      static_cast<unsigned long>(pthread_self()));
    }
    // Best effort: a diagnostic that cannot be written changes nothing.
    (void)std::fprintf(stderr, "thread '%s' panicked at %s:%u:\n%.*s\n", thread_name, file, line,
                       static_cast<int>(message.size()), message.data());
    (void)std::fflush(stderr);

    PyObject* type = panic_type();
    if (type == nullptr) return;  // the error of creating the type stays pending
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                               "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

namespace {

Ref decode(const std::string& text) noexcept {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Sets `line`, `field` and `expected` on a ValueError instance. The message
// alone is what callers were promised, so a failure here (memory) is cleared
// and the error goes out without its facts rather than not at all.
void attach_fault(PyObject* error, const LineFault& fault) noexcept {
    Ref line = Ref::steal(PyLong_FromSize_t(fault.line));
    Ref field = fault.has_field ? decode(fault.field) : Ref::borrow(Py_None);
    Ref expected = Ref::steal(PyUnicode_FromString(expected_name(fault.expected)));
    if (!line || !field || !expected || PyObject_SetAttrString(error, "line", line.get()) < 0 ||
        PyObject_SetAttrString(error, "field", field.get()) < 0 ||
        PyObject_SetAttrString(error, "expected", expected.get()) < 0) {
        PyErr_Clear();
    }
}

}  // namespace

void raise_failure(const Failure& failure) noexcept {
    switch (failure.kind) {
        case Failure::Kind::value_error: {
            Ref text = decode(failure.message);
            if (!text) return;
            if (!failure.fault) {
                PyErr_SetObject(PyExc_ValueError, text.get());
                return;
            }
            Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, text.get()));
            if (!error) return;
            attach_fault(error.get(), *failure.fault);
            PyErr_SetObject(PyExc_ValueError, error.get());
            return;
        }
        case Failure::Kind::panic:
            raise_panic(failure.message, failure.file, failure.line);
            return;
        case Failure::Kind::cancelled:
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return;
    }
}

CancelCheck signal_check() noexcept {
    return CancelCheck{[](void*) noexcept { return PyErr_CheckSignals() != 0; }, nullptr};
}

namespace {

// The pending exception, normalised, taken out of the error indicator.
Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    if (value == nullptr) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace

void prefix_argument_error(const char* name) noexcept {
    if (!PyErr_Occurred()) return;
    Ref old = fetch_exception();
    if (!old || Py_TYPE(old.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(old));
        return;
    }
    Ref text = Ref::steal(PyObject_Str(old.get()));
    if (!text) {
        // The old error must not be lost to a failure while describing it.
        PyErr_Clear();
        restore_exception(std::move(old));
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        PyErr_Clear();
        restore_exception(std::move(old));
        return;
    }
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        PyErr_Clear();
        restore_exception(std::move(old));
        return;
    }
    // PyException_SetCause steals the reference; a null cause clears it.
    PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));
    restore_exception(std::move(replacement));
}

Ref type_qualname(PyObject* obj) noexcept {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyUnicode_FromString("?"));
    }
    return name;
}

void raise_cannot_convert(PyObject* obj, const char* target) noexcept {
    Ref name = type_qualname(obj);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

}  // namespace quorvel::binding
