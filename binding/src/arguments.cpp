#include "quorvel/binding/arguments.hpp"

#include <string>

#include "quorvel/binding/ref.hpp"

namespace quorvel::binding {

namespace {

std::string call_name(const FunctionView& f) { return std::string(f.name) + "()"; }

bool name_equals(PyObject* keyword, const char* name) noexcept {
    const int c = PyUnicode_CompareWithASCIIString(keyword, name);
    if (c == -1 && PyErr_Occurred()) PyErr_Clear();
    return c == 0;
}

void raise_too_many(const FunctionView& f, Py_ssize_t nargs) {
    const std::size_t p = f.parameters.size();
    const char* verb = nargs == 1 ? "was" : "were";
    if (f.required < p) {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     call_name(f).c_str(), f.required, p, nargs, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     call_name(f).c_str(), p, nargs, verb);
    }
}

void raise_missing(const FunctionView& f, PyObject* const* slots) {
    std::string names;
    std::size_t missing = 0;
    std::size_t total = 0;
    for (std::size_t k = 0; k < f.required; ++k) {
        if (slots[k] == nullptr) ++total;
    }
    for (std::size_t k = 0; k < f.required; ++k) {
        if (slots[k] != nullptr) continue;
        ++missing;
        if (missing > 1) {
            if (total > 2) names += ',';
            names += missing == total ? " and " : " ";
        }
        names += '\'';
        names += f.parameters[k].name;
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", call_name(f).c_str(),
                 total, total == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

bool bind_arguments(const FunctionView& f, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) noexcept {
    try {
        const std::size_t p = f.parameters.size();
        if (static_cast<std::size_t>(nargs) > p) {
            raise_too_many(f, nargs);
            return false;
        }
        for (std::size_t k = 0; k < p; ++k) slots[k] = nullptr;
        for (Py_ssize_t k = 0; k < nargs; ++k) slots[k] = args[k];

        const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            std::size_t match = p;
            for (std::size_t q = 0; q < p; ++q) {
                if (name_equals(keyword, f.parameters[q].name)) {
                    match = q;
                    break;
                }
            }
            if (match == p) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             call_name(f).c_str(), keyword);
                return false;
            }
            if (slots[match] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             call_name(f).c_str(), f.parameters[match].name);
                return false;
            }
            slots[match] = args[nargs + k];
        }
        for (std::size_t k = 0; k < f.required; ++k) {
            if (slots[k] == nullptr) {
                raise_missing(f, slots);
                return false;
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace quorvel::binding
