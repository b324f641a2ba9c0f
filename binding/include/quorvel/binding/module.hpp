// Module definitions and function descriptors.
//
// A module is described by a table: its name and its functions in
// registration order. Each function descriptor names the parameters, how many
// lead parameters are required, the defaults of the others and the docstring
// body; the text signature is generated from the same table, so the signature
// that inspect shows and the binder can never disagree.
#pragma once

#include <cstddef>
#include <span>

#include "quorvel/binding/python.hpp"

namespace quorvel::binding {

using FastEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

struct Parameter {
    const char* name;
    // Python source text of the default, or nullptr for a required parameter.
    const char* default_text = nullptr;
};

struct FunctionSpec {
    const char* name;
    std::span<const Parameter> parameters;
    std::size_t required;  // the first `required` parameters have no default
    const char* doc_body;  // the docstring after the signature lines
    FastEntry entry;
};

struct ModuleSpec {
    const char* name;            // e.g. "_proxor"
    const char* qualified_name;  // e.g. "quorvel._proxor"
    std::span<const FunctionSpec> functions;
};

// The body of PyInit_<name>: creates the module once per process (single-phase
// initialisation), refuses a second interpreter, registers the functions in
// order and lists them in __all__. Later calls return the same module.
[[nodiscard]] PyObject* init_module(const ModuleSpec& definition) noexcept;

// The dotted name of the module this copy of the binding layer serves.
[[nodiscard]] const char* module_qualified_name() noexcept;

}  // namespace quorvel::binding
