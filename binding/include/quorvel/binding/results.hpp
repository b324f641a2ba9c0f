// Conversion of native results into Python objects.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "quorvel/binding/python.hpp"
#include "quorvel/binding/ref.hpp"
#include "quorvel/native/block_pool.hpp"
#include "quorvel/native/buffer.hpp"
#include "quorvel/native/text_sink.hpp"

namespace quorvel::binding {

// A new writeable, C-contiguous NumPy array over the buffer's memory (no
// copy). The buffer moves into a holder object that becomes the array's base
// and frees it when the array goes away. `shape` has 1 or 2 extents whose
// product is at most the buffer's size. Null with an exception on failure
// (the buffer is then freed).
[[nodiscard]] Ref array_from_buffer(Buffer<double>&& buffer, std::initializer_list<int64_t> shape);
[[nodiscard]] Ref array_from_buffer(Buffer<int64_t>&& buffer, std::initializer_list<int64_t> shape);
// A bool array; the buffer holds 0/1 bytes.
[[nodiscard]] Ref array_from_buffer(Buffer<uint8_t>&& buffer, std::initializer_list<int64_t> shape);
// As above, but when the array goes away its memory goes to `pool` (which
// must outlive every such array) for a later call's output.
[[nodiscard]] Ref array_from_buffer(Buffer<double>&& buffer, std::initializer_list<int64_t> shape, BlockPool& pool);
[[nodiscard]] Ref array_from_buffer(Buffer<int64_t>&& buffer, std::initializer_list<int64_t> shape, BlockPool& pool);

// A TextSink whose memory is the storage of a new ASCII str: the formatter
// writes the text straight into the result. Only for text known to be ASCII.
class AsciiStringSink final : public TextSink {
public:
    AsciiStringSink() = default;
    AsciiStringSink(const AsciiStringSink&) = delete;
    AsciiStringSink& operator=(const AsciiStringSink&) = delete;
    ~AsciiStringSink() override = default;

    // The finished string, trimmed to the written size. Null with an
    // exception set on failure.
    [[nodiscard]] Ref finish() noexcept;

protected:
    void grow(std::size_t extra) override;

private:
    Ref text_;
};

// A new str from UTF-8 text (which the formatters produce when caller text
// is not ASCII). Null with an exception on failure.
[[nodiscard]] Ref string_from_utf8(std::string_view text) noexcept;

// A new str for text known to be ASCII or UTF-8; takes the fast path for
// ASCII. Null with an exception on failure.
[[nodiscard]] Ref new_string(std::string_view text) noexcept;

}  // namespace quorvel::binding
