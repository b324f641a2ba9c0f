// Field splitting and float parsing on arbitrary lines.
//
// The input is one line. Its fields must be exactly the maximal runs of
// non-separator bytes; each field must be accepted exactly when the slow
// grammar accepts it, with strtod's value bit for bit. Every entry point is
// checked: the plain splitter, parse_float, parse_float_field, the
// std::from_chars based fallback, and the fused split+parse used by the
// block parsers (next_float, next_floats).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reference.hpp"
#include "fields.hpp"
#include "float_parse.hpp"

using quorvel::ledgra::FieldSplitter;

namespace {

void check_value(std::string_view field, double got, const char* who) {
    const double want = fz::ref_float_value(field);
    FZ_CHECK(fz::same(got, want),
             std::string(who) + ": value of " + fz::quote(field) + " is " + fz::show(got) + ", strtod gives " +
                 fz::show(want));
}

void check_field(std::string_view field) {
    const bool accepted = fz::ref_is_float_literal(field);
    const char* first = field.data();
    const char* last = field.data() + field.size();

    double v = 12345.0;
    const auto r = quorvel::ledgra::parse_float(first, last, v);
    FZ_CHECK((r.ec == std::errc{}) == accepted,
             "parse_float " + std::string(accepted ? "refuses" : "accepts") + " " + fz::quote(field));
    if (accepted) {
        FZ_CHECK(r.ptr == last, "parse_float success does not point at the end of " + fz::quote(field));
        check_value(field, v, "parse_float");
    } else {
        FZ_CHECK(r.ptr == first && r.ec == std::errc::invalid_argument,
                 "parse_float failure contract broken for " + fz::quote(field));
        FZ_CHECK(fz::same(v, 12345.0), "parse_float wrote the value on failure for " + fz::quote(field));
    }

    double w = 12345.0;
    const auto s = quorvel::ledgra::detail::parse_float_std(first, last, w);
    FZ_CHECK((s.ec == std::errc{}) == accepted,
             "parse_float_std " + std::string(accepted ? "refuses" : "accepts") + " " + fz::quote(field));
    if (accepted) check_value(field, w, "parse_float_std");

    const auto f = quorvel::ledgra::parse_float_field(field);
    if (field.empty()) {
        FZ_CHECK(!f && f.error() == quorvel::ledgra::k_empty_float_literal, "empty field reason");
    } else if (accepted) {
        FZ_CHECK(f.has_value(), "parse_float_field refuses " + fz::quote(field));
        check_value(field, *f, "parse_float_field");
    } else {
        FZ_CHECK(!f && f.error() == "invalid float literal", "parse_float_field reason for " + fz::quote(field));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Own copy of exactly `size` bytes, so that ASan sees any read past the line.
    const std::vector<char> bytes(data, data + size);
    const std::string_view line(bytes.data(), bytes.size());
    const std::vector<std::string_view> want = fz::ref_fields(line);

    // Plain splitting: same fields, as views into the line at the same places.
    {
        FieldSplitter fields(line);
        std::string_view field;
        std::size_t k = 0;
        while (fields.next(field)) {
            FZ_CHECK(k < want.size(), "splitter yields an extra field " + fz::quote(field) + " in " + fz::quote(line));
            FZ_CHECK(field.data() == want[k].data() && field.size() == want[k].size(),
                     "field " + std::to_string(k) + " is " + fz::quote(field) + ", want " + fz::quote(want[k]) +
                         " in " + fz::quote(line));
            ++k;
        }
        FZ_CHECK(k == want.size(), "splitter stops after " + std::to_string(k) + " of " +
                                       std::to_string(want.size()) + " fields in " + fz::quote(line));
        FZ_CHECK(!fields.next(field), "splitter yields a field after reporting the end");
    }

    for (const std::string_view field : want) check_field(field);
    // Fields as parse_float sees them even when they would never come out of
    // the splitter (separators inside, empty).
    if (size <= 64) check_field(line);

    // Fused split+parse, one field at a time: the same fields, and a value
    // exactly for the accepted ones.
    {
        FieldSplitter fields(line);
        for (std::size_t k = 0;; ++k) {
            double v = 0.0;
            std::string_view field;
            const auto got = fields.next_float(v, field);
            if (k == want.size()) {
                FZ_CHECK(got == FieldSplitter::FloatField::missing, "next_float yields a field past the end");
                break;
            }
            FZ_CHECK(got != FieldSplitter::FloatField::missing,
                     "next_float stops at field " + std::to_string(k) + " of " + fz::quote(line));
            FZ_CHECK(field.data() == want[k].data() && field.size() == want[k].size(),
                     "next_float field " + std::to_string(k) + " is " + fz::quote(field) + ", want " +
                         fz::quote(want[k]));
            const bool accepted = fz::ref_is_float_literal(want[k]);
            FZ_CHECK((got == FieldSplitter::FloatField::ok) == accepted,
                     "next_float " + std::string(accepted ? "refuses " : "accepts ") + fz::quote(want[k]));
            if (accepted) check_value(want[k], v, "next_float");
        }
    }

    // Fused split+parse of n fields at once (n from the first byte).
    {
        const std::size_t n = size == 0 ? 3 : data[0] % 6;
        std::vector<double> out(n + 1, -7.0);
        FieldSplitter fields(line);
        std::string_view field = "untouched";
        const auto got = fields.next_floats(out.data(), n, field);
        std::size_t k = 0;
        while (k < n && k < want.size() && fz::ref_is_float_literal(want[k])) ++k;
        if (k == n) {
            FZ_CHECK(got == FieldSplitter::FloatField::ok, "next_floats fails on a good prefix of " + fz::quote(line));
        } else if (k == want.size()) {
            FZ_CHECK(got == FieldSplitter::FloatField::missing, "next_floats: want missing in " + fz::quote(line));
        } else {
            FZ_CHECK(got == FieldSplitter::FloatField::invalid, "next_floats: want invalid in " + fz::quote(line));
            FZ_CHECK(field.data() == want[k].data() && field.size() == want[k].size(),
                     "next_floats names " + fz::quote(field) + ", want " + fz::quote(want[k]));
        }
        for (std::size_t m = 0; m < k; ++m) check_value(want[m], out[m], "next_floats");
        FZ_CHECK(fz::same(out[n], -7.0), "next_floats wrote past n values");
        // After n good fields, the splitter goes on with the next one.
        if (got == FieldSplitter::FloatField::ok) {
            std::string_view rest;
            const bool more = fields.next(rest);
            FZ_CHECK(more == (want.size() > n), "splitter after next_floats");
            if (more) FZ_CHECK(rest.data() == want[n].data() && rest.size() == want[n].size(),
                               "field after next_floats is " + fz::quote(rest) + ", want " + fz::quote(want[n]));
        }
    }
    return 0;
}
