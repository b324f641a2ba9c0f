// Binding call arguments to parameters.
#pragma once

#include <array>
#include <cstddef>

#include "quorvel/binding/module.hpp"
#include "quorvel/binding/python.hpp"

namespace quorvel::binding {

// Fills `slots` (one per parameter, borrowed references, null = not given)
// from a METH_FASTCALL | METH_KEYWORDS call. On a binding fault returns false
// with the interpreter's usual TypeError set.
[[nodiscard]] bool bind_arguments(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject** slots) noexcept;

// The bound arguments of one call.
template <std::size_t P>
struct Arguments {
    std::array<PyObject*, P> slots{};

    [[nodiscard]] bool bind(const FunctionSpec& f, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
        return bind_arguments(f, args, nargs, kwnames, slots.data());
    }
    [[nodiscard]] PyObject* operator[](std::size_t k) const noexcept { return slots[k]; }
};

}  // namespace quorvel::binding
