// Read-only strided views of caller arrays.
//
// A view addresses element (r, c) at data + r*row_stride + c*col_stride bytes,
// so row-major, column-major, sliced, reversed (negative strides) and
// broadcast (zero strides) arrays are all read by logical index. Elements are
// loaded with memcpy, which compiles to a plain load and stays correct for
// strides that are not multiples of the element size.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorvel {

template <class T>
struct View1 {
    const char* data = nullptr;
    int64_t size = 0;
    int64_t stride = 0;  // bytes

    [[nodiscard]] T operator[](int64_t k) const {
        T v;
        std::memcpy(&v, data + k * stride, sizeof(T));
        return v;
    }
};

template <class T>
struct View2 {
    const char* data = nullptr;
    int64_t rows = 0;
    int64_t cols = 0;
    int64_t row_stride = 0;  // bytes
    int64_t col_stride = 0;  // bytes

    [[nodiscard]] T at(int64_t r, int64_t c) const {
        T v;
        std::memcpy(&v, data + r * row_stride + c * col_stride, sizeof(T));
        return v;
    }

    // A view over a dense row-major block, for native callers and tests.
    [[nodiscard]] static View2 dense(const T* p, int64_t rows, int64_t cols) {
        return View2{reinterpret_cast<const char*>(p), rows, cols,
                     cols * static_cast<int64_t>(sizeof(T)), static_cast<int64_t>(sizeof(T))};
    }
};

}  // namespace quorvel
