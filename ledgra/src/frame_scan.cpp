#include "frame_scan.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "fields.hpp"
#include "messages.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel::ledgra {

namespace {

// Bit i set where p[i] == '\n', for the 64 bytes at p.
#if defined(__SSE2__)
[[nodiscard]] inline uint64_t newline_mask64(const char* p) noexcept {
    const __m128i nl = _mm_set1_epi8('\n');
    uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        mask |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)))} << (16 * k);
    }
    return mask;
}
#else
[[nodiscard]] inline uint64_t newline_mask64(const char* p) noexcept {
    uint64_t mask = 0;
    for (int k = 0; k < 64; ++k) mask |= uint64_t{p[k] == '\n'} << k;
    return mask;
}
#endif

// ASCII blanks as Python's str.strip and str.split take them.
[[nodiscard]] constexpr bool is_blank_byte(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Bytes that Python may count as white space although they are not ASCII
// blanks: the information separators 0x1C..0x1F and any non-ASCII byte
// (U+0085, U+00A0, U+2028, ...).
[[nodiscard]] constexpr bool may_be_space(unsigned char c) noexcept { return (c >= 0x1C && c <= 0x1F) || c >= 0x80; }

enum class Blank { yes, no, unsure };

[[nodiscard]] Blank blank_line(std::string_view line) noexcept {
    bool unsure = false;
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_blank_byte(c)) continue;
        if (!may_be_space(c)) return Blank::no;
        unsure = true;
    }
    return unsure ? Blank::unsure : Blank::yes;
}

[[nodiscard]] constexpr bool is_ascii_word(unsigned char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

enum class Configuration { no, direct, cartesian, unsure };

// Whether `line` starts, after blanks, with the word "direct" or
// "cartesian" in any case, as the readers' pattern \s*(direct|cartesian)\b
// (case-insensitive) takes it. Unsure where Unicode could decide: a
// non-ASCII blank before the word, a non-ASCII letter in it (U+017F matches
// 's' without case) or after it.
[[nodiscard]] Configuration configuration_line(std::string_view line) noexcept {
    std::size_t k = 0;
    while (k < line.size() && is_blank_byte(static_cast<unsigned char>(line[k]))) ++k;
    if (k < line.size() && may_be_space(static_cast<unsigned char>(line[k]))) return Configuration::unsure;
    const auto word_is = [&](std::string_view word) {
        if (line.size() - k < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (ascii_lower(line[k + i]) != word[i]) return false;
        }
        return true;
    };
    for (const auto& [word, kind] : {std::pair{std::string_view("direct"), Configuration::direct},
                                     std::pair{std::string_view("cartesian"), Configuration::cartesian}}) {
        if (!word_is(word)) continue;
        const std::size_t after = k + word.size();
        if (after == line.size()) return kind;
        const auto c = static_cast<unsigned char>(line[after]);
        if (c >= 0x80) return Configuration::unsure;
        return is_ascii_word(c) ? Configuration::no : kind;
    }
    // A word with a non-ASCII byte where "cartesian" could stand.
    for (std::size_t i = k; i < line.size() && i < k + 2 * 9 && !is_blank_byte(static_cast<unsigned char>(line[i]));
         ++i) {
        if (static_cast<unsigned char>(line[i]) >= 0x80) return Configuration::unsure;
    }
    return Configuration::no;
}

// The atom count of an XYZ count line: ASCII digits alone between blanks.
// False for any other line (a reader judges it) and for counts of more
// than 18 digits.
[[nodiscard]] bool count_line(std::string_view line, std::size_t& count) noexcept {
    std::size_t k = 0;
    while (k < line.size() && is_blank_byte(static_cast<unsigned char>(line[k]))) ++k;
    const std::size_t first = k;
    uint64_t value = 0;
    while (k < line.size() && is_digit(line[k])) value = 10 * value + static_cast<uint64_t>(line[k++] - '0');
    if (k == first || k - first > 18) return false;
    while (k < line.size() && is_blank_byte(static_cast<unsigned char>(line[k]))) ++k;
    if (k != line.size()) return false;
    count = static_cast<std::size_t>(value);
    return true;
}

// Whether `line` may hold a scale factor alone: one or three words of the
// characters of a number (the reader checks the grammar).
[[nodiscard]] bool may_be_scale(std::string_view line) noexcept {
    std::size_t words = 0;
    bool in_word = false;
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_blank_byte(c)) {
            in_word = false;
            continue;
        }
        const bool numeric = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
        if (!numeric) return false;
        if (!in_word) ++words;
        in_word = true;
    }
    return words == 1 || words == 3;
}

// Walks a text line by line, counting lines from a given number.
class Cursor {
public:
    Cursor(std::string_view text, std::size_t offset, std::size_t line) noexcept
        : text_(text), pos_(offset < text.size() ? offset : text.size()), line_(line) {}

    [[nodiscard]] bool at_end() const noexcept { return pos_ >= text_.size(); }
    [[nodiscard]] std::size_t pos() const noexcept { return pos_; }
    [[nodiscard]] std::size_t line() const noexcept { return line_; }

    // The next line with its line end, without taking it; false when it
    // holds a lone '\r', which a text stream reads as a line end.
    [[nodiscard]] bool peek(std::string_view& line) const noexcept {
        const void* nl = std::memchr(text_.data() + pos_, '\n', text_.size() - pos_);
        const std::size_t end =
            nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data()) + 1 : text_.size();
        line = text_.substr(pos_, end - pos_);
        return find_lone_cr(line, 0) == k_no_offset;
    }
    void take(std::string_view line) noexcept {
        pos_ += line.size();
        ++line_;
    }
    enum class Whole { yes, cut, lone_cr };

    // Takes `count` lines: cut (nothing taken) when the text ends before
    // them, or when the last of them ends the text without a line end (a
    // line a killed writer may have left half written); lone_cr when they
    // hold a lone '\r'.
    [[nodiscard]] Whole take_whole(std::size_t count) noexcept {
        const LineRun run = skip_lines(text_, pos_, count);
        if (run.lines < count) return Whole::cut;
        if (count > 0 && run.end == text_.size() && text_.back() != '\n') return Whole::cut;
        if (find_lone_cr(text_.substr(0, run.end), pos_) != k_no_offset) return Whole::lone_cr;
        pos_ = run.end;
        line_ += count;
        return Whole::yes;
    }

private:
    std::string_view text_;
    std::size_t pos_;
    std::size_t line_;
};

// Blank lines ahead: false when one may be blank to Python only, or holds a
// lone '\r'.
[[nodiscard]] bool skip_blank(Cursor& c, std::size_t& skipped) {
    skipped = 0;
    while (!c.at_end()) {
        std::string_view l;
        if (!c.peek(l)) return false;
        const Blank b = blank_line(l);
        if (b == Blank::no) return true;
        if (b == Blank::unsure) return false;
        c.take(l);
        ++skipped;
    }
    return true;
}

void add_frame(FrameTable& t, std::size_t start, std::size_t start_line, const Cursor& block, std::size_t atoms,
               FrameKind kind) {
    t.starts.push_back(static_cast<int64_t>(start));
    t.start_lines.push_back(static_cast<int64_t>(start_line));
    t.blocks.push_back(static_cast<int64_t>(block.pos()));
    t.block_lines.push_back(static_cast<int64_t>(block.line()));
    t.atoms.push_back(static_cast<int64_t>(atoms));
    t.kinds.push_back(static_cast<uint8_t>(kind));
}

// The most lines a variable-cell header may hold between its lattice and
// its configuration line (species names and counts, each wrapped).
constexpr std::size_t k_header_name_lines = 256;

// The frames of `t`, the scan stopped at offset `at` (line `at_line`) for
// `reason`.
FrameTable stopped(FrameTable&& t, std::size_t at, std::size_t at_line, ScanStop reason) {
    t.stop = at;
    t.stop_line = at_line;
    t.reason = reason;
    return std::move(t);
}

}  // namespace

LineRun skip_lines(std::string_view text, std::size_t offset, std::size_t count) noexcept {
    if (offset >= text.size() || count == 0) return {offset < text.size() ? offset : text.size(), 0};
    const char* const base = text.data();
    const std::size_t size = text.size();
    std::size_t pos = offset;
    std::size_t left = count;
    // Whole windows while a byte is left after them, so that the loop below
    // sees a last line without a line end.
    while (size - pos > 64) {
        uint64_t mask = newline_mask64(base + pos);
        const auto n = static_cast<std::size_t>(std::popcount(mask));
        if (n < left) {
            left -= n;
            pos += 64;
            continue;
        }
        // The left-th newline of this window ends the run.
        for (std::size_t k = 1; k < left; ++k) mask &= mask - 1;
        return {pos + static_cast<std::size_t>(std::countr_zero(mask)) + 1, count};
    }
    while (pos < size) {
        const void* nl = std::memchr(base + pos, '\n', size - pos);
        if (nl == nullptr) return {size, count - left + 1};  // a last line without a line end
        pos = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
        if (--left == 0) return {pos, count};
    }
    return {size, count - left};
}

std::size_t find_lone_cr(std::string_view text, std::size_t offset) noexcept {
    const char* const base = text.data();
    std::size_t pos = offset;
    while (pos < text.size()) {
        const void* cr = std::memchr(base + pos, '\r', text.size() - pos);
        if (cr == nullptr) return k_no_offset;
        pos = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
        if (pos + 1 == text.size() || base[pos + 1] != '\n') return pos;
        pos += 2;
    }
    return k_no_offset;
}

std::size_t find_invalid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        if (n - i >= 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return i;
        }
        if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return i;
        }
        i += len;
    }
    return k_no_offset;
}

namespace {

// skip_lines, and whether the lines may hold a byte above 0x7F (then
// find_invalid_utf8 decides) or hold a lone '\r': one pass over the block's
// bytes for what text_block_at checks.
struct BlockRun {
    LineRun run;
    bool non_ascii = false;
    bool lone_cr = false;
};

[[nodiscard]] BlockRun scan_block(std::string_view text, std::size_t offset, std::size_t count) noexcept {
    BlockRun b;
    if (offset >= text.size() || count == 0) {
        b.run = {offset < text.size() ? offset : text.size(), 0};
        return b;
    }
    const char* const base = text.data();
    const std::size_t size = text.size();
    std::size_t pos = offset;
    std::size_t left = count;
    uint64_t high = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (size - pos > 64) {
        uint64_t nl_mask = 0;
        uint64_t cr_mask = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + pos + 16 * k));
            nl_mask |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)))} << (16 * k);
            cr_mask |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)))} << (16 * k);
            high |= static_cast<uint32_t>(_mm_movemask_epi8(v));
        }
        const auto n = static_cast<std::size_t>(std::popcount(nl_mask));
        std::size_t stop = 64;  // bytes of this window in the run
        if (n >= left) {
            uint64_t m = nl_mask;
            for (std::size_t k = 1; k < left; ++k) m &= m - 1;
            stop = static_cast<std::size_t>(std::countr_zero(m)) + 1;
        }
        // A '\r' in the run must be followed by '\n' (pos + 64 < size).
        const uint64_t in_run = stop == 64 ? ~uint64_t{0} : (uint64_t{1} << stop) - 1;
        for (uint64_t m = cr_mask & in_run; m != 0; m &= m - 1) {
            if (base[pos + static_cast<std::size_t>(std::countr_zero(m)) + 1] != '\n') b.lone_cr = true;
        }
        if (n >= left) {
            // A high bit past the run's end only costs a full check of the block.
            b.non_ascii = high != 0;
            b.run = {pos + stop, count};
            return b;
        }
        left -= n;
        pos += 64;
    }
#endif
    const std::size_t tail_start = pos;
    LineRun run;
    bool found = false;
    while (!found && pos < size) {
        const void* p = std::memchr(base + pos, '\n', size - pos);
        if (p == nullptr) {
            run = {size, count - left + 1};  // a last line without a line end
            found = true;
            break;
        }
        pos = static_cast<std::size_t>(static_cast<const char*>(p) - base) + 1;
        if (--left == 0) {
            run = {pos, count};
            found = true;
        }
    }
    if (!found) run = {size, count - left};
    for (std::size_t i = tail_start; i < run.end; ++i) {
        const auto c = static_cast<unsigned char>(base[i]);
        if (c >= 0x80) high = 1;
        if (c == '\r' && (i + 1 == size || base[i + 1] != '\n')) b.lone_cr = true;
    }
    b.non_ascii = high != 0;
    b.run = run;
    return b;
}

}  // namespace

Result<TextBlock> text_block_at(std::string_view text, std::size_t offset, std::size_t rows) {
    const BlockRun scan = scan_block(text, offset, rows);
    const LineRun run = scan.run;
    if (run.lines < rows) {
        return value_error(message({"the text ends after ", decimal(run.lines), " of the ", decimal(rows),
                                    " lines of the block"}));
    }
    // A lone '\r' ends a line where a text stream reads the file: the lines
    // would not be these.
    if (scan.lone_cr) return value_error("the block holds a lone carriage return (an old Mac line end)");
    const TextBlock block{rows == 0 ? std::string_view() : text.substr(offset, run.end - offset), rows};
    if (const std::size_t bad = scan.non_ascii ? find_invalid_utf8(block.text) : k_no_offset; bad != k_no_offset) {
        const std::string_view before = block.text.substr(0, bad);
        std::size_t line = 0;
        for (const char c : before) line += c == '\n' ? 1 : 0;
        const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
        static constexpr char k_hex[] = "0123456789ABCDEF";
        const auto byte = static_cast<unsigned char>(block.text[bad]);
        const char hex[2] = {k_hex[byte >> 4], k_hex[byte & 15]};
        return value_error(message({"line ", decimal(line), " of the block is not UTF-8 text (byte 0x",
                                    std::string_view(hex, 2), " at column ", decimal(bad - line_start + 1), ")"}));
    }
    return block;
}

FrameTable scan_xdatcar(std::string_view text, std::size_t offset, std::size_t line, std::size_t atoms,
                        std::size_t frames_before, bool blank_separated) {
    FrameTable t;
    Cursor c(text, offset, line);
    std::size_t frame = frames_before;
    const auto stop = [&](std::size_t at, std::size_t at_line, ScanStop reason) {
        return stopped(std::move(t), at, at_line, reason);
    };
    while (true) {
        const std::size_t frame_pos = c.pos();
        const std::size_t frame_line = c.line();
        std::size_t skipped = 0;
        if (!skip_blank(c, skipped)) return stop(frame_pos, frame_line, ScanStop::unread);
        if (c.at_end()) return stop(frame_pos, frame_line, ScanStop::end);
        const std::size_t start = c.pos();
        const std::size_t start_line = c.line();
        std::string_view first;
        if (!c.peek(first)) return stop(frame_pos, frame_line, ScanStop::unread);
        FrameKind kind = FrameKind::direct;
        switch (configuration_line(first)) {
            case Configuration::unsure: return stop(frame_pos, frame_line, ScanStop::unread);
            case Configuration::direct:
            case Configuration::cartesian:
                kind = configuration_line(first) == Configuration::direct ? FrameKind::direct : FrameKind::cartesian;
                c.take(first);
                break;
            case Configuration::no:
                if (skipped > 0 && (frame == 0 || blank_separated)) {
                    blank_separated = true;
                    kind = FrameKind::blank_separated;
                    break;
                }
                if (frame == 0) return stop(frame_pos, frame_line, ScanStop::unread);
                // After blank lines, a line that may be a scale factor makes
                // the last blank line the header's (empty) comment: the
                // reader decides.
                if (skipped > 0 && may_be_scale(first)) return stop(frame_pos, frame_line, ScanStop::unread);
                // A header before this frame: comment, scale and lattice,
                // then names and counts up to the configuration line.
                kind = FrameKind::header;
                if (const auto w = c.take_whole(5); w != Cursor::Whole::yes) {
                    return stop(frame_pos, frame_line, w == Cursor::Whole::cut ? ScanStop::cut : ScanStop::unread);
                }
                for (std::size_t k = 0;; ++k) {
                    if (c.at_end()) return stop(frame_pos, frame_line, ScanStop::cut);
                    if (k == k_header_name_lines) return stop(frame_pos, frame_line, ScanStop::unread);
                    std::string_view l;
                    if (!c.peek(l) || blank_line(l) != Blank::no) return stop(frame_pos, frame_line, ScanStop::unread);
                    const Configuration conf = configuration_line(l);
                    if (conf == Configuration::unsure) return stop(frame_pos, frame_line, ScanStop::unread);
                    c.take(l);
                    if (conf != Configuration::no) break;
                }
                break;
        }
        const Cursor block = c;
        if (const auto w = c.take_whole(atoms); w != Cursor::Whole::yes) {
            return stop(frame_pos, frame_line, w == Cursor::Whole::cut ? ScanStop::cut : ScanStop::unread);
        }
        add_frame(t, start, start_line, block, atoms, kind);
        ++frame;
    }
}

FrameTable scan_xyz(std::string_view text, std::size_t offset, std::size_t line) {
    FrameTable t;
    Cursor c(text, offset, line);
    const auto stop = [&](std::size_t at, std::size_t at_line, ScanStop reason) {
        return stopped(std::move(t), at, at_line, reason);
    };
    while (true) {
        const std::size_t frame_pos = c.pos();
        const std::size_t frame_line = c.line();
        std::size_t skipped = 0;
        if (!skip_blank(c, skipped)) return stop(frame_pos, frame_line, ScanStop::unread);
        if (c.at_end()) return stop(frame_pos, frame_line, ScanStop::end);
        const std::size_t start = c.pos();
        const std::size_t start_line = c.line();
        std::string_view first;
        std::size_t atoms = 0;
        if (!c.peek(first) || !count_line(first, atoms)) return stop(frame_pos, frame_line, ScanStop::unread);
        c.take(first);
        if (c.at_end()) return stop(frame_pos, frame_line, ScanStop::cut);
        std::string_view comment;
        if (!c.peek(comment)) return stop(frame_pos, frame_line, ScanStop::unread);
        c.take(comment);
        const Cursor block = c;
        if (const auto w = c.take_whole(atoms); w != Cursor::Whole::yes) {
            return stop(frame_pos, frame_line, w == Cursor::Whole::cut ? ScanStop::cut : ScanStop::unread);
        }
        add_frame(t, start, start_line, block, atoms, FrameKind::xyz);
    }
}

}  // namespace quorvel::ledgra
