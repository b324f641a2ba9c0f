// Failures at the boundary between the routines and the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "quorvel/binding/python.hpp"
#include "quorvel/binding/ref.hpp"
#include "quorvel/native/failure.hpp"

namespace quorvel::binding {

// Raises PanicException(message) after writing the diagnostic (thread, source
// location, message) to standard error.
void raise_panic(std::string_view message, const char* file = __builtin_FILE(),
                 unsigned line = __builtin_LINE()) noexcept;

// Raises the Python exception for a routine's failure: ValueError with the
// text (carrying `line`, `field` and `expected` when the routine named a bad
// line of a block; see LineFault),
// text, PanicException, or (for a cancelled routine) the pending signal
// exception, KeyboardInterrupt when none is pending.
void raise_failure(const Failure& failure) noexcept;

// A check that routines poll during long work; true when a signal handler
// raised (Ctrl-C), with the exception left pending.
[[nodiscard]] CancelCheck signal_check() noexcept;

// When the pending exception is exactly a TypeError, replaces it by
// TypeError("argument '<name>': <str(old)>") whose __cause__ is the old
// exception's __cause__. Any other pending exception stays as it is.
void prefix_argument_error(const char* name) noexcept;

// The __qualname__ of an object's type, for messages; "?" if it cannot be had
// (so building a message never fails).
[[nodiscard]] Ref type_qualname(PyObject* obj) noexcept;

// Raises TypeError "'<qualname of obj's type>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target) noexcept;

// Runs `body` (returning a Ref) as the body of a Python entry point: no C++
// exception leaves it. Memory exhaustion becomes MemoryError, any other
// exception a PanicException. Returns the new reference or null with an
// exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        Ref result = body();
        return result.release();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("native code raised an unknown exception");
    }
    return nullptr;
}

}  // namespace quorvel::binding
