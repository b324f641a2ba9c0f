#include "symbols.hpp"

#include <cstddef>

#include "fields.hpp"
#include "unicode_case.hpp"

namespace quorvel::ledgra {

namespace {

// Code points above the Unicode range stand for bytes that are not valid
// UTF-8; they have no case and are written back as the byte.
constexpr char32_t k_raw_byte = 0x110000;

void decode_utf8(std::string_view s, std::u32string& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p != end) {
        const unsigned b0 = *p;
        std::size_t n = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b0 < 0x80u) {
            out.push_back(b0);
            ++p;
            continue;
        } else if (b0 >= 0xC2u && b0 <= 0xDFu) {
            n = 1, cp = b0 & 0x1Fu, min = 0x80;
        } else if (b0 >= 0xE0u && b0 <= 0xEFu) {
            n = 2, cp = b0 & 0x0Fu, min = 0x800;
        } else if (b0 >= 0xF0u && b0 <= 0xF4u) {
            n = 3, cp = b0 & 0x07u, min = 0x10000;
        }
        bool ok = n != 0 && static_cast<std::size_t>(end - p) > n;
        for (std::size_t k = 1; ok && k <= n; ++k) {
            if ((p[k] & 0xC0u) != 0x80u) {
                ok = false;
            } else {
                cp = (cp << 6) | (p[k] & 0x3Fu);
            }
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (!ok) {
            out.push_back(k_raw_byte + b0);
            ++p;
            continue;
        }
        out.push_back(cp);
        p += n + 1;
    }
}

void encode_utf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp >= k_raw_byte) {
        out.push_back(static_cast<char>(static_cast<unsigned char>(cp - k_raw_byte)));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0u | (cp >> 6)));
        out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0u | (cp >> 12)));
        out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
    } else {
        out.push_back(static_cast<char>(0xF0u | (cp >> 18)));
        out.push_back(static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
    }
}

[[nodiscard]] bool cased(char32_t c) noexcept { return c < k_raw_byte && unicode::is_cased(c); }
[[nodiscard]] bool case_ignorable(char32_t c) noexcept {
    return c < k_raw_byte && unicode::is_case_ignorable(c);
}

// U+03A3 at position i becomes the final sigma when, skipping case-ignorable
// characters, a cased character precedes it and none follows it.
[[nodiscard]] bool is_final_sigma(const std::u32string& s, std::size_t i) noexcept {
    std::size_t j = i;
    while (j > 0 && case_ignorable(s[j - 1])) --j;
    if (j == 0 || !cased(s[j - 1])) return false;
    std::size_t k = i + 1;
    while (k < s.size() && case_ignorable(s[k])) ++k;
    return k == s.size() || !cased(s[k]);
}

[[nodiscard]] std::size_t lower_at(const std::u32string& s, std::size_t i, char32_t out[3]) noexcept {
    const char32_t c = s[i];
    if (c >= k_raw_byte) {
        out[0] = c;
        return 1;
    }
    if (c == 0x03A3) {
        out[0] = is_final_sigma(s, i) ? char32_t{0x03C2} : char32_t{0x03C3};
        return 1;
    }
    return unicode::to_lower_full(c, out);
}

}  // namespace

void append_normalised_symbol(std::string& out, std::string_view field, SymbolScratch& scratch) {
    bool ascii = true;
    for (const char c : field) ascii = ascii && static_cast<unsigned char>(c) < 0x80u;
    if (ascii) {
        // The common case: no decoding, no scratch.
        const std::size_t at = out.size();
        out.append(field);
        char* p = out.data() + at;
        for (std::size_t k = 0; k < field.size(); ++k) p[k] = ascii_lower(p[k]);
        if (!field.empty()) p[0] = ascii_upper(p[0]);
        return;
    }
    std::u32string& cps = scratch.code_points;
    decode_utf8(field, cps);
    char32_t lowered[3];
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const std::size_t n = lower_at(cps, i, lowered);
        std::size_t k = 0;
        if (i == 0) {
            char32_t upper[3];
            const std::size_t m =
                lowered[0] >= k_raw_byte ? (upper[0] = lowered[0], 1) : unicode::to_upper_full(lowered[0], upper);
            for (std::size_t u = 0; u < m; ++u) encode_utf8(upper[u], out);
            k = 1;
        }
        for (; k < n; ++k) encode_utf8(lowered[k], out);
    }
}

}  // namespace quorvel::ledgra
