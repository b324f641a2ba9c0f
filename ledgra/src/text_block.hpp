// The lines of one atom block, taken either from a list of line views or
// straight from a file's bytes, for the block parsers that read both.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

namespace quorvel::ledgra {

// `rows` whole lines of a file's bytes: each ends with '\n' (a "\r\n" line
// keeps its '\r', a separator to the field splitter) except that the last
// may end the text without one.
struct TextBlock {
    std::string_view text;
    std::size_t rows = 0;
};

// Hands out the lines of a list one at a time.
class ListLines {
public:
    explicit ListLines(std::span<const std::string_view> lines) noexcept : lines_(lines) {}
    [[nodiscard]] std::size_t size() const noexcept { return lines_.size(); }
    [[nodiscard]] std::string_view next() noexcept { return lines_[next_++]; }

private:
    std::span<const std::string_view> lines_;
    std::size_t next_ = 0;
};

// Hands out the lines of a TextBlock one at a time, each with its '\n'.
class BlockLines {
public:
    explicit BlockLines(TextBlock block) noexcept
        : p_(block.text.data()), end_(block.text.data() + block.text.size()), rows_(block.rows) {}
    [[nodiscard]] std::size_t size() const noexcept { return rows_; }
    [[nodiscard]] std::string_view next() noexcept {
        const char* start = p_;
        const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
        p_ = nl != nullptr ? static_cast<const char*>(nl) + 1 : end_;
        return {start, static_cast<std::size_t>(p_ - start)};
    }

private:
    const char* p_;
    const char* end_;
    std::size_t rows_;
};

}  // namespace quorvel::ledgra
