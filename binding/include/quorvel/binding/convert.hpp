// Conversion rules from Python arguments to native values.
//
// Each rule takes the object and writes the native value, or returns false
// with an exception set. The argument prefix ("argument '<name>': ") is added
// by convert_argument(), not by the rules, so every rule reports exactly the
// interpreter's or its own message.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "quorvel/binding/python.hpp"
#include "quorvel/binding/ref.hpp"
#include "quorvel/native/views.hpp"

namespace quorvel::binding {

[[nodiscard]] bool to_bool(PyObject* obj, bool& out) noexcept;
[[nodiscard]] bool to_three_bools(PyObject* obj, std::array<bool, 3>& out) noexcept;
[[nodiscard]] bool to_double(PyObject* obj, double& out) noexcept;
[[nodiscard]] bool to_u64(PyObject* obj, uint64_t& out) noexcept;
[[nodiscard]] bool to_int_list(PyObject* obj, std::vector<int64_t>& out) noexcept;
[[nodiscard]] bool to_double_list(PyObject* obj, std::vector<double>& out) noexcept;

// The lines of a sequence of str, as UTF-8 views into the str objects
// themselves: no line text is copied and no reference is taken per line.
// `items` holds the container of those str objects: the caller's own tuple
// or list, or a new list of what another iterable yielded.
//
// A list can be changed by Python code, which would free its items: use the
// views before running anything that may call back into Python (user
// methods, imports, an allocation of a garbage-collected object, which may
// run finalizers), and drop them before.
struct LineList {
    Ref items;
    std::vector<std::string_view> lines;
    bool all_ascii = true;
};
[[nodiscard]] bool to_line_list(PyObject* obj, LineList& out) noexcept;

// The bytes of an object that supports the buffer protocol (bytes,
// bytearray, memoryview, mmap), held for the argument's lifetime: while the
// buffer is held its owner can neither resize nor close it, so the bytes may
// be read with the interpreter lock released.
class BytesArg {
public:
    BytesArg() = default;
    BytesArg(const BytesArg&) = delete;
    BytesArg& operator=(const BytesArg&) = delete;
    ~BytesArg() {
        if (held_) PyBuffer_Release(&view_);
    }
    [[nodiscard]] std::string_view text() const noexcept {
        return held_ ? std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len))
                     : std::string_view();
    }

private:
    friend bool to_bytes(PyObject* obj, BytesArg& out) noexcept;
    Py_buffer view_{};
    bool held_ = false;
};
[[nodiscard]] bool to_bytes(PyObject* obj, BytesArg& out) noexcept;

enum class DType { float64, int64, boolean };

// A read-only view of a NumPy array of the given dtype, holding a reference
// to the array for as long as the view is used.
template <class T>
struct ArrayArg {
    Ref owner;
    View2<T> view2;
    View1<T> view1;
};

[[nodiscard]] bool to_array2(PyObject* obj, DType dtype, Ref& owner, const char*& data,
                             int64_t (&shape)[2], int64_t (&strides)[2]) noexcept;
[[nodiscard]] bool to_array1(PyObject* obj, DType dtype, Ref& owner, const char*& data,
                             int64_t& size, int64_t& stride) noexcept;

template <class T>
[[nodiscard]] bool to_view2(PyObject* obj, DType dtype, ArrayArg<T>& out) noexcept {
    int64_t shape[2];
    int64_t strides[2];
    const char* data = nullptr;
    if (!to_array2(obj, dtype, out.owner, data, shape, strides)) return false;
    out.view2 = View2<T>{data, shape[0], shape[1], strides[0], strides[1]};
    return true;
}

template <class T>
[[nodiscard]] bool to_view1(PyObject* obj, DType dtype, ArrayArg<T>& out) noexcept {
    const char* data = nullptr;
    int64_t size = 0;
    int64_t stride = 0;
    if (!to_array1(obj, dtype, out.owner, data, size, stride)) return false;
    out.view1 = View1<T>{data, size, stride};
    return true;
}

// Applies a rule to the argument of parameter `name` and adds the argument
// prefix to a TypeError.
template <class Rule>
[[nodiscard]] bool convert_argument(const char* name, Rule&& rule) noexcept;

void prefix_argument_error(const char* name) noexcept;

template <class Rule>
bool convert_argument(const char* name, Rule&& rule) noexcept {
    if (rule()) return true;
    prefix_argument_error(name);
    return false;
}

}  // namespace quorvel::binding
