// Output text of the formatters.
//
// Formatters append bytes to a TextSink. The sink owns a contiguous region
// [begin, end) of which [begin, cur) is written; when a write needs more room
// than is left, grow() is asked for at least that many more bytes. The binding
// layer supplies a sink whose memory is the result string itself, so the text
// is written once and never copied; StringSink serves native callers and tests.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvel {

class TextSink {
public:
    virtual ~TextSink() = default;

    // Makes sure at least `n` more bytes can be written after the written
    // text and returns where they start (the cursor). Throws std::bad_alloc
    // when memory runs out.
    char* ensure(std::size_t n) {
        if (static_cast<std::size_t>(end_ - cur_) < n) grow(n);
        return cur_;
    }
    // Marks `n` bytes after the cursor, previously ensured, as written.
    void advance(std::size_t n) noexcept { cur_ += n; }

    void append(std::string_view s) {
        char* p = ensure(s.size());
        if (!s.empty()) std::memcpy(p, s.data(), s.size());
        cur_ += s.size();
    }
    void push_back(char c) {
        char* p = ensure(1);
        *p = c;
        ++cur_;
    }
    void append_spaces(std::size_t n) {
        if (n == 0) return;  // a fresh sink has no buffer to point into
        char* p = ensure(n);
        std::memset(p, ' ', n);
        cur_ += n;
    }

    [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
    [[nodiscard]] std::string_view view() const noexcept { return {begin_, size()}; }

    // Asks for a capacity of at least `n` bytes in total (a hint; no shrinking).
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - begin_) < n) grow(n - size());
    }

protected:
    // Must make room for at least `extra` bytes beyond the cursor, keeping
    // the written bytes, and update begin_, cur_ and end_.
    virtual void grow(std::size_t extra) = 0;

    char* begin_ = nullptr;
    char* cur_ = nullptr;
    char* end_ = nullptr;
};

// A sink backed by a std::string.
class StringSink final : public TextSink {
public:
    [[nodiscard]] std::string take() {
        text_.resize(size());
        begin_ = cur_ = end_ = nullptr;
        return std::move(text_);
    }

protected:
    void grow(std::size_t extra) override {
        const std::size_t used = size();
        std::size_t cap = text_.size() * 2;
        if (cap < used + extra) cap = used + extra;
        text_.resize(cap);
        begin_ = text_.data();
        cur_ = begin_ + used;
        end_ = begin_ + cap;
    }

private:
    std::string text_;
};

}  // namespace quorvel
