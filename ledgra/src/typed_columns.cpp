#include "typed_columns.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "fields.hpp"
#include "fixed_point.hpp"
#include "float_parse.hpp"
#include "symbols.hpp"

namespace quorvel::ledgra {

namespace {

[[nodiscard]] bool parse_count(std::string_view s, std::size_t& count) noexcept {
    if (s.empty() || s.size() > 9) return false;
    std::size_t v = 0;
    for (const char c : s) {
        if (!is_digit(c)) return false;
        v = v * 10 + static_cast<std::size_t>(c - '0');
    }
    count = v;
    return v > 0;
}

// An optional sign and decimal digits, exactly, within int64.
[[nodiscard]] bool parse_integer(std::string_view s, int64_t& out) noexcept {
    std::size_t k = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        k = 1;
    }
    if (k == s.size()) return false;
    // Accumulates the magnitude as uint64: -2^63 fits, +2^63 does not.
    uint64_t v = 0;
    for (; k < s.size(); ++k) {
        const char c = s[k];
        if (!is_digit(c)) return false;
        const auto d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
    if (v > limit) return false;
    out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

[[nodiscard]] bool parse_logical(std::string_view s, uint8_t& out) noexcept {
    if (s == "T" || s == "True" || s == "TRUE" || s == "true") {
        out = 1;
        return true;
    }
    if (s == "F" || s == "False" || s == "FALSE" || s == "false") {
        out = 0;
        return true;
    }
    return false;
}

[[gnu::cold]] unexpected<ColumnFault> fault(std::size_t line, std::size_t column, std::size_t item,
                                            std::string_view field, ColumnFault::Expected expected) {
    return unexpected(ColumnFault{line, column, item, std::string(field), expected});
}

constexpr unsigned k_real_width = 22;
constexpr unsigned k_real_precision = 15;

void append_real(TextSink& out, double v, bool exact) {
    if (!exact) {
        append_fixed(out, v, k_real_width, k_real_precision);
        return;
    }
    // The shortest digits that read back as v (to_chars' round-trip form).
    // When they are plain decimals with at most 15 after the point, the
    // 22.15f field lies as close to v as they do and reads back as v too,
    // so it is written instead (aligned as the other writers' numbers);
    // otherwise the shortest digits are. Infinities and NaN: 22.15f.
    if (!std::isfinite(v)) {
        append_fixed(out, v, k_real_width, k_real_precision);
        return;
    }
    char digits[32];
    const auto r = std::to_chars(digits, digits + sizeof digits, v);
    const auto n = static_cast<std::size_t>(r.ptr - digits);
    const std::string_view text(digits, n);
    const std::size_t point = text.find('.');
    const bool plain = text.find('e') == std::string_view::npos;
    if (plain && (point == std::string_view::npos || n - point - 1 <= k_real_precision)) {
        append_fixed(out, v, k_real_width, k_real_precision);
        return;
    }
    if (n < k_real_width) out.append_spaces(k_real_width - n);
    out.append(text);
}

void append_integer(TextSink& out, int64_t v) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, v);
    out.append(std::string_view(digits, static_cast<std::size_t>(r.ptr - digits)));
}

}  // namespace

const char* expected_name(ColumnFault::Expected e) noexcept {
    switch (e) {
        case ColumnFault::Expected::real: return "real";
        case ColumnFault::Expected::integer: return "integer";
        case ColumnFault::Expected::logical: return "logical";
        case ColumnFault::Expected::fields: return "fields";
        case ColumnFault::Expected::end: return "end";
        case ColumnFault::Expected::line: return "line";
    }
    return "real";
}

expected<ColumnLayout, LayoutFault> parse_layout(std::string_view properties) {
    ColumnLayout layout;
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = properties.find(':', start);
        parts.push_back(properties.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (parts.size() % 3 != 0) {
        return unexpected(LayoutFault{"expected name:type:count triples, got " + std::to_string(parts.size()) +
                                      " fields separated by ':'"});
    }
    for (std::size_t k = 0; k < parts.size(); k += 3) {
        const std::string_view name = parts[k];
        const std::string_view type = parts[k + 1];
        PropertyColumn prop;
        if (name.empty()) return unexpected(LayoutFault{"a property without a name"});
        if (type.size() != 1 || std::string_view("SRIL").find(type[0]) == std::string_view::npos) {
            return unexpected(LayoutFault{"property '" + std::string(name) + "' has the type '" + std::string(type) +
                                          "': expected S, R, I or L"});
        }
        if (!parse_count(parts[k + 2], prop.count)) {
            return unexpected(LayoutFault{"property '" + std::string(name) + "' has the count '" +
                                          std::string(parts[k + 2]) + "': expected a whole number from 1"});
        }
        for (const PropertyColumn& other : layout.columns) {
            if (other.name == name) {
                return unexpected(LayoutFault{"property '" + std::string(name) + "' is named twice"});
            }
        }
        prop.name = std::string(name);
        prop.type = static_cast<ColumnType>(type[0]);
        layout.columns.push_back(std::move(prop));
    }
    return layout;
}

expected<TypedRows, ColumnFault> read_typed_rows(std::string_view text, std::size_t offset, std::size_t rows,
                                                 const ColumnLayout& layout) {
    TypedRows out;
    out.rows = rows;
    const std::size_t ncols = layout.columns.size();
    out.columns.resize(ncols);
    for (std::size_t c = 0; c < ncols; ++c) {
        const PropertyColumn& prop = layout.columns[c];
        ColumnValues& values = out.columns[c];
        const std::size_t n = rows * prop.count;
        switch (prop.type) {
            case ColumnType::real: values.reals = Buffer<double>::zeroed_aligned(n); break;
            case ColumnType::integer: values.integers = Buffer<int64_t>::zeroed(n); break;
            case ColumnType::logical: values.logicals = Buffer<uint8_t>::zeroed(n); break;
            case ColumnType::string:
                values.ends.reserve(n);
                values.text.reserve(2 * n);
                break;
        }
    }
    SymbolScratch scratch;
    std::size_t pos = offset > text.size() ? text.size() : offset;
    for (std::size_t i = 0; i < rows; ++i) {
        if (pos >= text.size()) return fault(i, ncols, 0, {}, ColumnFault::Expected::line);
        const char* first = text.data() + pos;
        const void* nl = std::memchr(first, '\n', text.size() - pos);
        const std::size_t len = nl == nullptr ? text.size() - pos
                                              : static_cast<std::size_t>(static_cast<const char*>(nl) - first);
        const std::string_view line(first, len);
        pos += len + (nl == nullptr ? 0 : 1);
        FieldSplitter fields(line);
        std::string_view field;
        for (std::size_t c = 0; c < ncols; ++c) {
            const PropertyColumn& prop = layout.columns[c];
            ColumnValues& values = out.columns[c];
            const std::size_t base = i * prop.count;
            switch (prop.type) {
                case ColumnType::real: {
                    double* dst = values.reals.data() + base;
                    for (std::size_t k = 0; k < prop.count; ++k) {
                        const auto got = fields.next_float(dst[k], field);
                        if (got == FieldSplitter::FloatField::missing) {
                            return fault(i, c, k, {}, ColumnFault::Expected::fields);
                        }
                        if (got == FieldSplitter::FloatField::invalid) {
                            return fault(i, c, k, field, ColumnFault::Expected::real);
                        }
                    }
                    break;
                }
                case ColumnType::integer:
                    for (std::size_t k = 0; k < prop.count; ++k) {
                        if (!fields.next(field)) return fault(i, c, k, {}, ColumnFault::Expected::fields);
                        if (!parse_integer(field, values.integers[base + k])) {
                            return fault(i, c, k, field, ColumnFault::Expected::integer);
                        }
                    }
                    break;
                case ColumnType::logical:
                    for (std::size_t k = 0; k < prop.count; ++k) {
                        if (!fields.next(field)) return fault(i, c, k, {}, ColumnFault::Expected::fields);
                        if (!parse_logical(field, values.logicals[base + k])) {
                            return fault(i, c, k, field, ColumnFault::Expected::logical);
                        }
                    }
                    break;
                case ColumnType::string:
                    for (std::size_t k = 0; k < prop.count; ++k) {
                        if (!fields.next(field)) return fault(i, c, k, {}, ColumnFault::Expected::fields);
                        if (prop.symbols) {
                            append_normalised_symbol(values.text, field, scratch);
                        } else {
                            values.text.append(field);
                        }
                        values.ends.push_back(values.text.size());
                    }
                    break;
            }
        }
        if (!layout.extra_fields && fields.next(field)) return fault(i, ncols, 0, field, ColumnFault::Expected::end);
    }
    out.end = pos;
    return out;
}

void format_typed_rows(std::span<const ColumnOut> columns, std::size_t rows, bool exact, TextSink& out) {
    if (rows == 0) return;
    std::size_t per_row = 1;
    for (const ColumnOut& c : columns) {
        per_row += c.count * (c.type == ColumnType::real ? k_real_width + 1 : 4);
    }
    out.reserve(out.size() + per_row * rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto r = static_cast<int64_t>(i);
        bool first = true;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const ColumnOut& col = columns[c];
            const bool last_column = c + 1 == columns.size();
            for (std::size_t k = 0; k < col.count; ++k) {
                if (!first) out.push_back(' ');
                first = false;
                const auto kk = static_cast<int64_t>(k);
                switch (col.type) {
                    case ColumnType::real: append_real(out, col.reals.at(r, kk), exact); break;
                    case ColumnType::integer: append_integer(out, col.integers.at(r, kk)); break;
                    case ColumnType::logical: out.push_back(col.logicals.at(r, kk) != 0 ? 'T' : 'F'); break;
                    case ColumnType::string: {
                        const std::string_view s = col.strings[i * col.count + k];
                        out.append(s);
                        // Pads by bytes: a symbol is one or two ASCII letters.
                        if (s.size() < 2 && !(last_column && k + 1 == col.count)) out.append_spaces(2 - s.size());
                        break;
                    }
                }
            }
        }
        out.push_back('\n');
    }
}

}  // namespace quorvel::ledgra
