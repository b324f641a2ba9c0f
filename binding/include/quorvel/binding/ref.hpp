// An owning handle for one strong reference to a Python object.
#pragma once

#include <utility>

#include "quorvel/binding/python.hpp"

namespace quorvel::binding {

// Holds one strong reference (or none). Made only through steal() or
// borrow(); movable, not copyable; release() hands the reference back.
class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference (may be null, e.g. a failed API call).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed one (may be null).
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Replaces the held reference by `p` (a new reference, or null). The old
    // pointer is detached before it is released, since releasing it may run
    // arbitrary code that looks at this handle.
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace quorvel::binding
