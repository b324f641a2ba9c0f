// Slow, obviously-correct references for the text routines, shared by the
// fuzz harnesses. Written from the text conventions alone: nothing here calls
// into the routines under test.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fz {

// A failed check prints what was expected and aborts, which libFuzzer
// reports as a crash and saves the input.
[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz check failed at %s:%d\n%s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FZ_CHECK(cond, what)                                      \
    do {                                                          \
        if (!(cond)) ::fz::fail(__FILE__, __LINE__, (what));      \
    } while (0)

// Printable form of arbitrary bytes for the failure reports.
inline std::string quote(std::string_view s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out + "\"";
}

inline std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g (0x%016llx)", v,
                  static_cast<unsigned long long>(std::bit_cast<uint64_t>(v)));
    return buf;
}

// Same bits, or both NaN (with the same sign bit when `nan_sign`).
inline bool same(double a, double b, bool nan_sign = true) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b) && (!nan_sign || std::signbit(a) == std::signbit(b));
    }
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// ---------------------------------------------------------------------------
// Field splitting: maximal runs of bytes other than the five separators.

inline bool ref_separator(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

inline std::vector<std::string_view> ref_fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t k = 0;
    while (k < line.size()) {
        if (ref_separator(static_cast<unsigned char>(line[k]))) {
            ++k;
            continue;
        }
        const std::size_t start = k;
        while (k < line.size() && !ref_separator(static_cast<unsigned char>(line[k]))) ++k;
        out.push_back(line.substr(start, k - start));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Float grammar and value.

inline bool ref_digit(char c) { return c >= '0' && c <= '9'; }

inline bool ref_word(std::string_view s, std::string_view lower_word) {
    if (s.size() != lower_word.size()) return false;
    for (std::size_t k = 0; k < s.size(); ++k) {
        char c = s[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower_word[k]) return false;
    }
    return true;
}

// An optional sign, then either digits with at most one point (at least one
// digit) and an optional exponent with at least one digit, or one of the
// words inf / infinity / nan in any case.
inline bool ref_is_float_literal(std::string_view f) {
    std::size_t k = 0;
    if (k < f.size() && (f[k] == '+' || f[k] == '-')) ++k;
    const std::string_view body = f.substr(k);
    if (ref_word(body, "inf") || ref_word(body, "infinity") || ref_word(body, "nan")) return true;
    std::size_t digits = 0;
    std::size_t points = 0;
    std::size_t p = 0;
    for (; p < body.size(); ++p) {
        if (ref_digit(body[p])) {
            ++digits;
        } else if (body[p] == '.') {
            if (++points > 1) return false;
        } else {
            break;
        }
    }
    if (digits == 0) return false;
    if (p == body.size()) return true;
    if (body[p] != 'e' && body[p] != 'E') return false;
    ++p;
    if (p < body.size() && (body[p] == '+' || body[p] == '-')) ++p;
    std::size_t exp_digits = 0;
    for (; p < body.size() && ref_digit(body[p]); ++p) ++exp_digits;
    return exp_digits > 0 && p == body.size();
}

// The value of an accepted literal, from glibc's strtod (correctly rounded,
// +-inf on overflow, +-0 on underflow). NaN carries the literal's sign.
inline double ref_float_value(std::string_view f) {
    const std::string s(f);
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    FZ_CHECK(end == s.c_str() + s.size(), "strtod did not take the whole accepted literal " + quote(f));
    if (std::isnan(v)) v = std::copysign(NAN, !s.empty() && s[0] == '-' ? -1.0 : 1.0);
    return v;
}

inline std::optional<double> ref_parse(std::string_view f) {
    if (!ref_is_float_literal(f)) return std::nullopt;
    return ref_float_value(f);
}

// ---------------------------------------------------------------------------
// Fixed-width fields.

inline std::size_t ref_code_points(std::string_view s) {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
    return n;
}

inline std::string ref_pad_left(std::string_view s, std::size_t width) {
    const std::size_t n = ref_code_points(s);
    return std::string(n < width ? width - n : 0, ' ') + std::string(s);
}

inline std::string ref_pad_right(std::string_view s, std::size_t width) {
    const std::size_t n = ref_code_points(s);
    return std::string(s) + std::string(n < width ? width - n : 0, ' ');
}

// W.Pf: glibc's printf is exact and rounds half to even; only NaN and the
// infinities are spelled our way.
inline std::string ref_fixed(double v, unsigned width, unsigned precision) {
    if (std::isnan(v)) return ref_pad_left("NaN", width);
    if (std::isinf(v)) return ref_pad_left(v < 0 ? "-inf" : "inf", width);
    const int n = std::snprintf(nullptr, 0, "%*.*f", static_cast<int>(width), static_cast<int>(precision), v);
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(s.data(), s.size(), "%*.*f", static_cast<int>(width), static_cast<int>(precision), v);
    s.resize(static_cast<std::size_t>(n));
    return s;
}

// The value a W.Pf field reads back as.
inline double ref_rounded(double v, unsigned precision) {
    if (std::isnan(v)) return NAN;  // written "NaN", read back without sign
    if (std::isinf(v)) return v;
    return ref_float_value(ref_fixed(v, 0, precision));
}

// Lines of a formatted block (each ends in "\n"; the last, empty piece is
// not a line).
inline std::vector<std::string_view> ref_lines(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '\n') {
            out.push_back(text.substr(start, k - start));
            start = k + 1;
        }
    }
    FZ_CHECK(start == text.size(), "formatted block does not end in a line feed: " + quote(text));
    return out;
}

// Splits fuzz bytes into lines at every `sep` byte (a trailing piece is a
// line too, so n separators give n + 1 lines).
inline std::vector<std::string_view> split_lines(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t k = 0; k <= text.size(); ++k) {
        if (k == text.size() || text[k] == sep) {
            out.push_back(text.substr(start, k - start));
            start = k + 1;
        }
    }
    return out;
}

inline bool valid_utf8(std::string_view s) {
    std::size_t k = 0;
    while (k < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[k]);
        std::size_t n;
        uint32_t cp;
        uint32_t min;
        if (b0 < 0x80) {
            ++k;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            n = 1, cp = b0 & 0x1Fu, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            n = 2, cp = b0 & 0x0Fu, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            n = 3, cp = b0 & 0x07u, min = 0x10000;
        } else {
            return false;
        }
        if (k + n >= s.size()) return false;
        for (std::size_t m = 1; m <= n; ++m) {
            const auto b = static_cast<unsigned char>(s[k + m]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        k += n + 1;
    }
    return true;
}

}  // namespace fz
