// Helpers shared by the block harnesses: input decoding, strided matrices
// and reference formatters built from printf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/native/failure.hpp"
#include "quorvel/native/views.hpp"
#include "reference.hpp"

namespace fz {

// Input: an options byte, a line separator byte, then the text, which is
// split into lines at every separator byte. NUL and "\n" are the usual
// separators; anything else leaves NUL and "\n" inside the lines.
struct BlockInput {
    uint8_t options = 0;
    std::vector<std::string_view> lines;
    std::string_view text;
};

inline BlockInput decode_block_input(const uint8_t* data, std::size_t size) {
    BlockInput in;
    if (size >= 1) in.options = data[0];
    char sep = '\0';
    if (size >= 2) {
        const uint8_t s = data[1];
        sep = s < 0x80 ? '\0' : s < 0xC0 ? '\n' : static_cast<char>(s);
    }
    if (size >= 2) in.text = std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2);
    in.lines = split_lines(in.text, sep);
    if (in.text.empty()) in.lines.clear();  // also try the empty block
    return in;
}

// A rows x cols matrix stored in one of several layouts, read through a
// View2 by logical index, as the binding hands over NumPy arrays.
template <class T>
struct Matrix {
    std::vector<T> store;
    quorvel::View2<T> view;
};

template <class T>
Matrix<T> make_matrix(const std::vector<T>& values, int64_t rows, int64_t cols, unsigned layout) {
    Matrix<T> m;
    const auto at = [&](int64_t r, int64_t c) {
        const std::size_t k = static_cast<std::size_t>(r * cols + c);
        return values.empty() ? T{} : values[k % values.size()];
    };
    const auto es = static_cast<int64_t>(sizeof(T));
    switch (layout % 4) {
        case 0:  // row-major
            m.store.resize(static_cast<std::size_t>(rows * cols) + 1);
            for (int64_t r = 0; r < rows; ++r)
                for (int64_t c = 0; c < cols; ++c) m.store[static_cast<std::size_t>(r * cols + c)] = at(r, c);
            m.view = {reinterpret_cast<const char*>(m.store.data()), rows, cols, cols * es, es};
            break;
        case 1:  // column-major
            m.store.resize(static_cast<std::size_t>(rows * cols) + 1);
            for (int64_t r = 0; r < rows; ++r)
                for (int64_t c = 0; c < cols; ++c) m.store[static_cast<std::size_t>(c * rows + r)] = at(r, c);
            m.view = {reinterpret_cast<const char*>(m.store.data()), rows, cols, es, rows * es};
            break;
        case 2: {  // rows reversed (negative row stride), one spare column
            const int64_t w = cols + 1;
            m.store.resize(static_cast<std::size_t>(rows * w) + 1);
            for (int64_t r = 0; r < rows; ++r)
                for (int64_t c = 0; c < cols; ++c)
                    m.store[static_cast<std::size_t>((rows - 1 - r) * w + c)] = at(r, c);
            const char* base = reinterpret_cast<const char*>(m.store.data()) + (rows > 0 ? (rows - 1) * w * es : 0);
            m.view = {base, rows, cols, -w * es, es};
            break;
        }
        default:  // every row the same memory when rows hold equal values: strided copy
            m.store.resize(static_cast<std::size_t>(rows * cols * 2) + 1);
            for (int64_t r = 0; r < rows; ++r)
                for (int64_t c = 0; c < cols; ++c) m.store[static_cast<std::size_t>(2 * (r * cols + c))] = at(r, c);
            m.view = {reinterpret_cast<const char*>(m.store.data()), rows, cols, 2 * cols * es, 2 * es};
            break;
    }
    return m;
}

// Doubles from raw bytes, eight at a time (zero-padded).
inline std::vector<double> doubles_from(std::string_view bytes, std::size_t count) {
    std::vector<double> out(count, 0.0);
    for (std::size_t k = 0; k < count; ++k) {
        unsigned char b[8] = {};
        for (std::size_t m = 0; m < 8; ++m) {
            const std::size_t at = 8 * k + m;
            if (at < bytes.size()) b[m] = static_cast<unsigned char>(bytes[at]);
        }
        std::memcpy(&out[k], b, 8);
    }
    return out;
}

inline std::string failure_text(const quorvel::Failure& f) {
    const char* kind = f.kind == quorvel::Failure::Kind::value_error ? "value_error"
                       : f.kind == quorvel::Failure::Kind::panic     ? "panic"
                                                                     : "cancelled";
    return std::string(kind) + " " + quote(f.message);
}

inline bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace fz
