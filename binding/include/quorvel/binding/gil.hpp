// Running native work with the interpreter lock released.
#pragma once

#include "quorvel/binding/python.hpp"
#include "quorvel/native/failure.hpp"

namespace quorvel::binding {

// Releases the interpreter lock for its lifetime and takes it back when it
// ends, also when an exception leaves the scope. Between the two, nothing
// may touch Python objects, except through signal_check().
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    // A check for the thread that released the lock: takes the lock back
    // for a moment to run the signal handlers; true when one raised (Ctrl-C),
    // with the exception left pending. The native routines call it on the
    // calling thread only, about every 100 ms.
    [[nodiscard]] CancelCheck signal_check() noexcept { return CancelCheck{&poll, this}; }

private:
    static bool poll(void* context) noexcept {
        auto* self = static_cast<GilReleased*>(context);
        PyEval_RestoreThread(self->state_);
        const bool raised = PyErr_CheckSignals() != 0;
        self->state_ = PyEval_SaveThread();
        return raised;
    }

    PyThreadState* state_;
};

}  // namespace quorvel::binding
