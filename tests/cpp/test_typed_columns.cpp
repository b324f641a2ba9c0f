// Typed per-atom columns: the Properties layout, values of every type against
// the XYZ block parser and exact integers, faults as data (line, property,
// field, what was expected) in first-failure order, and the writer's exact
// round trip.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "typed_columns.hpp"
#include "xyz.hpp"

namespace ql = quorvel::ledgra;
using Expected = ql::ColumnFault::Expected;

namespace {

ql::ColumnLayout layout_of(std::string_view properties, bool extra_fields = false) {
    auto r = ql::parse_layout(properties);
    EXPECT_TRUE(r.has_value()) << properties;
    ql::ColumnLayout layout = r.has_value() ? *r : ql::ColumnLayout{};
    layout.extra_fields = extra_fields;
    for (auto& c : layout.columns) c.symbols = c.name == "species";
    return layout;
}

ql::TypedRows read_ok(std::string_view text, std::size_t rows, const ql::ColumnLayout& layout,
                      std::size_t offset = 0) {
    auto r = ql::read_typed_rows(text, offset, rows, layout);
    EXPECT_TRUE(r.has_value()) << text;
    if (!r.has_value()) return {};
    return std::move(*r);
}

ql::ColumnFault fault_of(std::string_view text, std::size_t rows, const ql::ColumnLayout& layout) {
    auto r = ql::read_typed_rows(text, 0, rows, layout);
    EXPECT_FALSE(r.has_value()) << text;
    if (r.has_value()) return {};
    return r.error();
}

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

}  // namespace

// ---------------------------------------------------------------------------
// The layout

TEST(TypedColumnsLayout, TriplesInOrder) {
    const auto layout = layout_of("species:S:1:pos:R:3:forces:R:3:tags:I:2:mask:L:1");
    ASSERT_EQ(layout.columns.size(), 5u);
    const char* names[] = {"species", "pos", "forces", "tags", "mask"};
    const ql::ColumnType types[] = {ql::ColumnType::string, ql::ColumnType::real, ql::ColumnType::real,
                                    ql::ColumnType::integer, ql::ColumnType::logical};
    const std::size_t counts[] = {1, 3, 3, 2, 1};
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(layout.columns[k].name, names[k]);
        EXPECT_EQ(layout.columns[k].type, types[k]);
        EXPECT_EQ(layout.columns[k].count, counts[k]);
    }
}

TEST(TypedColumnsLayout, MalformedTextsSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"species:S:1:pos:R", "expected name:type:count triples, got 5 fields separated by ':'"},
        {"species:S:1:pos:R:3:", "expected name:type:count triples, got 7 fields separated by ':'"},
        {"", "expected name:type:count triples, got 1 fields separated by ':'"},
        {"pos:X:3", "property 'pos' has the type 'X': expected S, R, I or L"},
        {"pos:r:3", "property 'pos' has the type 'r': expected S, R, I or L"},
        {"pos:RR:3", "property 'pos' has the type 'RR': expected S, R, I or L"},
        {"pos:R:0", "property 'pos' has the count '0': expected a whole number from 1"},
        {"pos:R:-3", "property 'pos' has the count '-3': expected a whole number from 1"},
        {"pos:R:", "property 'pos' has the count '': expected a whole number from 1"},
        {"pos:R:1000000000", "property 'pos' has the count '1000000000': expected a whole number from 1"},
        {":R:3", "a property without a name"},
        {"pos:R:3:pos:R:1", "property 'pos' is named twice"},
    };
    for (const auto& [text, reason] : cases) {
        auto r = ql::parse_layout(text);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_EQ(r.error().reason, reason) << text;
    }
}

// ---------------------------------------------------------------------------
// Values

TEST(TypedColumnsRead, EveryTypeWithCounts) {
    const auto layout = layout_of("species:S:1:pos:R:3:f:R:2:n:I:2:m:L:3:label:S:2");
    const std::string text =
        "fe 1 2 3  -0.5 1e-3  7 -9  T False true  a bb\n"
        "  O\t4.5 5 6  nan -inf  +12 0  F TRUE FALSE  ccc d\r\n"
        "h 0 0 -0  1e400 .5  -9223372036854775808 9223372036854775807  True false TRUE  é x";
    const auto r = read_ok(text, 3, layout);
    EXPECT_EQ(r.end, text.size());
    const auto& sym = r.columns[0];
    EXPECT_EQ(sym.string(0), "Fe");
    EXPECT_EQ(sym.string(1), "O");
    EXPECT_EQ(sym.string(2), "H");
    const double pos[] = {1, 2, 3, 4.5, 5, 6, 0, 0, -0.0};
    for (std::size_t k = 0; k < 9; ++k) EXPECT_EQ(bits(r.columns[1].reals[k]), bits(pos[k])) << k;
    EXPECT_EQ(r.columns[2].reals[0], -0.5);
    EXPECT_EQ(r.columns[2].reals[1], 1e-3);
    EXPECT_TRUE(std::isnan(r.columns[2].reals[2]));
    EXPECT_EQ(r.columns[2].reals[3], -std::numeric_limits<double>::infinity());
    EXPECT_EQ(r.columns[2].reals[4], std::numeric_limits<double>::infinity());
    EXPECT_EQ(r.columns[2].reals[5], 0.5);
    const int64_t ints[] = {7, -9, 12, 0, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
    for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(r.columns[3].integers[k], ints[k]) << k;
    const uint8_t flags[] = {1, 0, 1, 0, 1, 0, 1, 0, 1};
    for (std::size_t k = 0; k < 9; ++k) EXPECT_EQ(r.columns[4].logicals[k], flags[k]) << k;
    const char* labels[] = {"a", "bb", "ccc", "d", "é", "x"};
    for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(r.columns[5].string(k), labels[k]) << k;
}

TEST(TypedColumnsRead, StringsOtherThanSpeciesStayAsWritten) {
    auto layout = layout_of("species:S:1:pos:R:3:kind:S:1");
    const auto r = read_ok("ca 0 0 0 CA\n", 1, layout);
    EXPECT_EQ(r.columns[0].string(0), "Ca");
    EXPECT_EQ(r.columns[2].string(0), "CA");
    layout.columns[0].symbols = false;
    EXPECT_EQ(read_ok("ca 0 0 0 CA\n", 1, layout).columns[0].string(0), "ca");
}

TEST(TypedColumnsRead, OffsetRowsAndEnd) {
    const auto layout = layout_of("pos:R:3");
    const std::string text = "header line\n1 2 3\n4 5 6\n7 8 9\n";
    const auto r = read_ok(text, 2, layout, 12);
    EXPECT_EQ(r.rows, 2u);
    EXPECT_EQ(r.columns[0].reals[0], 1.0);
    EXPECT_EQ(r.columns[0].reals[5], 6.0);
    EXPECT_EQ(r.end, text.find("7 8 9"));
    const auto none = read_ok(text, 0, layout, 12);
    EXPECT_EQ(none.end, 12u);
}

TEST(TypedColumnsRead, RealsEqualTheXyzBlockParser) {
    // Literals of every shape the float grammar takes, long and short.
    std::mt19937_64 rng(15);
    std::uniform_real_distribution<double> mag(-30, 30);
    std::vector<std::string> lines;
    std::string text;
    char buf[64];
    for (int i = 0; i < 2000; ++i) {
        std::string line = "Si";
        for (int c = 0; c < 3; ++c) {
            const double v = std::pow(10.0, mag(rng)) * (rng() % 2 ? 1 : -1);
            const char* formats[] = {"%.17g", "%.6f", "%22.15f", "%.3e", "%.25g"};
            std::snprintf(buf, sizeof buf, formats[rng() % 5], v);
            line += ' ';
            line += buf;
        }
        lines.push_back(line);
        text += line + "\n";
    }
    std::vector<std::string_view> views(lines.begin(), lines.end());
    auto block = ql::parse_xyz_block(views);
    ASSERT_TRUE(block.has_value());
    const auto r = read_ok(text, lines.size(), layout_of("species:S:1:pos:R:3"));
    for (std::size_t k = 0; k < 3 * lines.size(); ++k) {
        ASSERT_EQ(bits(r.columns[1].reals[k]), bits(block->positions[k])) << lines[k / 3];
    }
}

TEST(TypedColumnsRead, ExtraFieldsOnlyWhenAllowed) {
    EXPECT_EQ(read_ok("H 1 2 3 extra 9\n", 1, layout_of("species:S:1:pos:R:3", true)).columns[1].reals[2], 3.0);
    const auto f = fault_of("H 1 2 3\nH 1 2 3 extra 9\n", 2, layout_of("species:S:1:pos:R:3"));
    EXPECT_EQ(f.expected, Expected::end);
    EXPECT_EQ(f.line, 1u);
    EXPECT_EQ(f.field, "extra");
    EXPECT_EQ(f.column, 2u);  // past the last property
}

// ---------------------------------------------------------------------------
// Faults

struct FaultCase {
    const char* text;
    std::size_t rows;
    std::size_t line;
    std::size_t column;
    std::size_t item;
    const char* field;
    Expected expected;
};

TEST(TypedColumnsRead, FaultsCarryLinePropertyItemFieldAndKind) {
    const auto layout = layout_of("species:S:1:pos:R:3:n:I:1:m:L:2");
    const FaultCase cases[] = {
        {"H 0 0 0 1 T F\nH 0 x 0 1 T F\n", 2, 1, 1, 1, "x", Expected::real},
        {"H 0 0 0 1.0 T F\n", 1, 0, 2, 0, "1.0", Expected::integer},
        {"H 0 0 0 9223372036854775808 T F\n", 1, 0, 2, 0, "9223372036854775808", Expected::integer},
        {"H 0 0 0 -9223372036854775809 T F\n", 1, 0, 2, 0, "-9223372036854775809", Expected::integer},
        {"H 0 0 0 99999999999999999999 T F\n", 1, 0, 2, 0, "99999999999999999999", Expected::integer},
        {"H 0 0 0 - T F\n", 1, 0, 2, 0, "-", Expected::integer},
        {"H 0 0 0 1 T yes\n", 1, 0, 3, 1, "yes", Expected::logical},
        {"H 0 0 0 1 t F\n", 1, 0, 3, 0, "t", Expected::logical},
        {"H 0 0 0 1 T\n", 1, 0, 3, 1, "", Expected::fields},
        {"H 0 0\n", 1, 0, 1, 2, "", Expected::fields},
        {"\n", 1, 0, 0, 0, "", Expected::fields},
        {"H 0 0 0 1 T F\n", 2, 1, 4, 0, "", Expected::line},
        // Left to right within a line: the bad y, not the missing rest.
        {"H 0 1.0D+00\n", 1, 0, 1, 1, "1.0D+00", Expected::real},
        // Line order: the first bad line.
        {"H 0 0 0 1 T F\nH 0 0 0 x T F\nH y 0 0 1 T F\n", 3, 1, 2, 0, "x", Expected::integer},
    };
    for (const auto& c : cases) {
        const auto f = fault_of(c.text, c.rows, layout);
        EXPECT_EQ(f.line, c.line) << c.text;
        EXPECT_EQ(f.column, c.column) << c.text;
        EXPECT_EQ(f.item, c.item) << c.text;
        EXPECT_EQ(f.field, c.field) << c.text;
        EXPECT_EQ(f.expected, c.expected) << c.text;
    }
}

TEST(TypedColumnsRead, ExpectedNames) {
    EXPECT_STREQ(ql::expected_name(Expected::real), "real");
    EXPECT_STREQ(ql::expected_name(Expected::integer), "integer");
    EXPECT_STREQ(ql::expected_name(Expected::logical), "logical");
    EXPECT_STREQ(ql::expected_name(Expected::fields), "fields");
    EXPECT_STREQ(ql::expected_name(Expected::end), "end");
    EXPECT_STREQ(ql::expected_name(Expected::line), "line");
}

// ---------------------------------------------------------------------------
// Writing

namespace {

std::string format(const std::vector<ql::ColumnOut>& columns, std::size_t rows, bool exact) {
    quorvel::StringSink sink;
    ql::format_typed_rows(columns, rows, exact, sink);
    return sink.take();
}

}  // namespace

TEST(TypedColumnsWrite, EveryTypeLaidOut) {
    const std::vector<std::string_view> symbols = {"H", "Fe"};
    const double pos[] = {1.0, -0.0, 0.5, 12.5, 1e17, -1.5};
    const int64_t ints[] = {-7, 42};
    const uint8_t flags[] = {1, 0, 0, 1};
    const std::vector<std::string_view> labels = {"a", "bc"};
    std::vector<ql::ColumnOut> cols(5);
    cols[0].type = ql::ColumnType::string;
    cols[0].strings = symbols;
    cols[1].type = ql::ColumnType::real;
    cols[1].count = 3;
    cols[1].reals = quorvel::View2<double>::dense(pos, 2, 3);
    cols[2].type = ql::ColumnType::integer;
    cols[2].integers = quorvel::View2<int64_t>::dense(ints, 2, 1);
    cols[3].type = ql::ColumnType::logical;
    cols[3].count = 2;
    cols[3].logicals = quorvel::View2<uint8_t>::dense(flags, 2, 2);
    cols[4].type = ql::ColumnType::string;
    cols[4].strings = labels;
    // 1e17 has shorter exact digits than its fixed-point field.
    EXPECT_EQ(format(cols, 2, true),
              "H       1.000000000000000     -0.000000000000000      0.500000000000000 -7 T F a\n"
              "Fe     12.500000000000000                  1e+17     -1.500000000000000 42 F T bc\n");
    EXPECT_EQ(format(cols, 2, false),
              "H       1.000000000000000     -0.000000000000000      0.500000000000000 -7 T F a\n"
              "Fe     12.500000000000000 100000000000000000.000000000000000     -1.500000000000000 42 F T bc\n");
    EXPECT_EQ(format(cols, 0, true), "");
}

TEST(TypedColumnsWrite, ExactRealsReadBackBitForBit) {
    std::mt19937_64 rng(7);
    std::vector<double> values;
    for (int k = 0; k < 3000; ++k) {
        uint64_t b = rng();
        double v;
        std::memcpy(&v, &b, sizeof v);
        if (k % 3 == 0) v = std::ldexp(static_cast<double>(rng() >> 11), -53) * 10.0;  // ordinary magnitudes
        values.push_back(v);
    }
    values.insert(values.end(), {0.1, 0.30000000000000004, -0.0, 5e-324, 1e-300,
                                 std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity()});
    const std::size_t rows = values.size();
    ql::ColumnOut col;
    col.type = ql::ColumnType::real;
    col.reals = quorvel::View2<double>::dense(values.data(), static_cast<int64_t>(rows), 1);
    const std::string text = format({col}, rows, true);
    const auto back = read_ok(text, rows, layout_of("v:R:1"));
    for (std::size_t k = 0; k < rows; ++k) {
        if (std::isnan(values[k])) {
            EXPECT_TRUE(std::isnan(back.columns[0].reals[k]));
        } else {
            ASSERT_EQ(bits(back.columns[0].reals[k]), bits(values[k])) << values[k];
        }
    }
    // Without exact, 15 decimals: 0.1 + 0.2 comes back as 0.3.
    const double sum[] = {0.30000000000000004};
    col.reals = quorvel::View2<double>::dense(sum, 1, 1);
    EXPECT_EQ(format({col}, 1, false), "     0.300000000000000\n");
    EXPECT_EQ(format({col}, 1, true), "   0.30000000000000004\n");
}
