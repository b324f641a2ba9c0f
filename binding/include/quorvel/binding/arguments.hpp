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
[[nodiscard]] bool bind_arguments(const FunctionView& f, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject** slots) noexcept;

// The bound arguments of one call of `function`: one slot per parameter of
// its table, so the slot count cannot differ from the parameter count.
template <std::size_t P>
class Arguments {
public:
    explicit constexpr Arguments(const Function<P>& function) noexcept : function_(function) {}

    [[nodiscard]] bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        return bind_arguments(function_.view(), args, nargs, kwnames, slots_.data());
    }
    // The argument of parameter k (borrowed; null when it was not given).
    [[nodiscard]] PyObject* operator[](std::size_t k) const noexcept { return slots_[k]; }
    // The name of parameter k, for messages.
    [[nodiscard]] const char* name(std::size_t k) const noexcept { return function_.parameters[k].name; }

private:
    const Function<P>& function_;
    std::array<PyObject*, P> slots_{};
};

template <std::size_t P>
Arguments(const Function<P>&) -> Arguments<P>;

}  // namespace quorvel::binding
