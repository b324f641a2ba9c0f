// Module definitions and function descriptors.
//
// A module is described by a table: its name and its functions in
// registration order. Each function descriptor names the parameters, how many
// lead parameters are required, the defaults of the others and the docstring
// body; the text signature is generated from the same table, so the signature
// that inspect shows and the binder can never disagree.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "quorvel/binding/python.hpp"

namespace quorvel::binding {

using FastEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

struct Parameter {
    const char* name;
    // Python source text of the default, or nullptr for a required parameter.
    const char* default_text = nullptr;
};

// The view of a function that the module table and the binder work with.
struct FunctionView {
    const char* name;
    std::span<const Parameter> parameters;
    std::size_t required;  // the first `required` parameters have no default
    const char* doc_body;  // the docstring after the signature lines
    FastEntry entry;
};

// One function's table: its parameters are counted by the type, so the
// argument slots of a call (Arguments<P>) are sized from the table itself and
// a parameter added to the table cannot outgrow them. The required count is
// derived from the defaults; `valid()` is checked at compile time where a
// table is declared (QUORVEL_CHECK_FUNCTION).
template <std::size_t P>
struct Function {
    const char* name;
    std::array<Parameter, P> parameters;
    const char* doc_body;
    FastEntry entry;

    static constexpr std::size_t size = P;

    // Parameters without a default, all in front of those with one.
    [[nodiscard]] constexpr std::size_t required() const noexcept {
        std::size_t r = 0;
        while (r < P && parameters[r].default_text == nullptr) ++r;
        return r;
    }
    // Required parameters lead, and no name is used twice.
    [[nodiscard]] constexpr bool valid() const noexcept {
        for (std::size_t k = required(); k < P; ++k) {
            if (parameters[k].default_text == nullptr) return false;
        }
        for (std::size_t a = 0; a < P; ++a) {
            for (std::size_t b = a + 1; b < P; ++b) {
                if (std::string_view(parameters[a].name) == parameters[b].name) return false;
            }
        }
        return true;
    }
    [[nodiscard]] constexpr FunctionView view() const noexcept {
        return {name, std::span<const Parameter>(parameters), required(), doc_body, entry};
    }
};

// A function's table from its parameter array, whose length the compiler counts.
template <std::size_t P>
[[nodiscard]] consteval Function<P> function(const char* name, const Parameter (&parameters)[P],
                                             const char* doc_body, FastEntry entry) {
    Function<P> f{name, {}, doc_body, entry};
    for (std::size_t k = 0; k < P; ++k) f.parameters[k] = parameters[k];
    return f;
}

#define QUORVEL_CHECK_FUNCTION(table) \
    static_assert((table).valid(), #table ": a required parameter follows an optional one, or a name repeats")

// The Python source text of a default: decimal_text<V>() for an unsigned
// constant (kept in a constexpr variable of the module, whose .data() goes
// into the table), bool_text(b) for a flag, so a default shown in the
// signature is the constant the code uses.
template <unsigned long long V>
[[nodiscard]] consteval auto decimal_text() {
    constexpr std::size_t digits = [] {
        std::size_t n = 1;
        for (unsigned long long x = V; x >= 10; x /= 10) ++n;
        return n;
    }();
    std::array<char, digits + 1> text{};
    unsigned long long x = V;
    for (std::size_t k = digits; k-- > 0; x /= 10) text[k] = static_cast<char>('0' + x % 10);
    return text;
}

[[nodiscard]] constexpr const char* bool_text(bool b) noexcept { return b ? "True" : "False"; }

struct ModuleTable {
    const char* name;            // e.g. "_proxor"
    const char* qualified_name;  // e.g. "quorvel._proxor"
    std::span<const FunctionView> functions;
};

// The body of PyInit_<name>: creates the module once per process (single-phase
// initialisation), refuses a second interpreter, registers the functions in
// order and lists them in __all__. Later calls return the same module.
[[nodiscard]] PyObject* init_module(const ModuleTable& definition) noexcept;

// The dotted name of the module this copy of the binding layer serves.
[[nodiscard]] const char* module_qualified_name() noexcept;

}  // namespace quorvel::binding
