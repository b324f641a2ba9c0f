// Padded string and integer fields for the formatters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "digits.hpp"
#include "quorvel/native/text_sink.hpp"

namespace quorvel::ledgra {

// Number of Unicode code points in UTF-8 text (bytes that are not
// continuation bytes).
[[nodiscard]] inline std::size_t count_code_points(std::string_view s) noexcept {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1u : 0u;
    return n;
}

enum class Align { left, right };

// Appends `text` padded with spaces to `width` code points (on the right for
// Align::left, on the left for Align::right); longer text is written whole.
inline void append_string_field(TextSink& out, std::string_view text, std::size_t width, Align align) {
    const std::size_t n = count_code_points(text);
    const std::size_t pad = n < width ? width - n : 0;
    if (text.empty() && pad == 0) return;  // a fresh sink has no buffer to point into
    char* p = out.ensure(text.size() + pad);
    if (align == Align::right && pad != 0) {
        std::memset(p, ' ', pad);
        p += pad;
    }
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
    if (align == Align::left && pad != 0) std::memset(p, ' ', pad);
    out.advance(text.size() + pad);
}

// Appends the decimal digits of `value`, right-aligned with spaces to at
// least `width` characters.
inline void append_uint_field(TextSink& out, uint64_t value, std::size_t width) {
    const unsigned n = detail::decimal_digits(value);
    const std::size_t total = n < width ? width : n;
    char* p = out.ensure(total);
    std::memset(p, ' ', total - n);
    detail::write_digits_backward(p + total, value, n);
    out.advance(total);
}

}  // namespace quorvel::ledgra
