// Shared text routines: field splitting, the float grammar and its values,
// the W.Pf writer, string/integer fields and symbol normalisation.
//
// Values are checked against references we did not write: strtod (glibc,
// correctly rounded) for accepted literals, snprintf("%*.*f") (glibc, exact,
// half to even on exact ties in the default rounding mode) for the writer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fields.hpp"
#include "fixed_point.hpp"
#include "float_parse.hpp"
#include "padded_fields.hpp"
#include "symbols.hpp"
#include "unicode_case.hpp"

namespace ql = quorvel::ledgra;

namespace {

std::vector<std::string> split(std::string_view line) {
    ql::FieldSplitter s(line);
    std::vector<std::string> out;
    std::string_view f;
    while (s.next(f)) out.emplace_back(f);
    return out;
}

// Bit-exact equality that also tells NaN signs and zero signs apart.
::testing::AssertionResult same_bits(double expected, double actual) {
    uint64_t a, b;
    std::memcpy(&a, &expected, 8);
    std::memcpy(&b, &actual, 8);
    if (a == b) return ::testing::AssertionSuccess();
    char buf[128];
    std::snprintf(buf, sizeof buf, "expected %a, got %a", expected, actual);
    return ::testing::AssertionFailure() << buf;
}

bool parses(std::string_view s, double& v) {
    return ql::parse_float(s.data(), s.data() + s.size(), v).ec == std::errc{};
}

double parse_or_die(std::string_view s) {
    double v = 0;
    EXPECT_TRUE(parses(s, v)) << "refused: " << s;
    return v;
}

std::string fixed(double v, unsigned w, unsigned p) {
    quorvel::StringSink sink;
    ql::append_fixed(sink, v, w, p);
    return sink.take();
}

std::string printf_fixed(double v, unsigned w, unsigned p) {
    std::vector<char> buf(1024);
    const int n = std::snprintf(buf.data(), buf.size(), "%*.*f", static_cast<int>(w), static_cast<int>(p), v);
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string normalised(std::string_view field) {
    std::string out;
    ql::SymbolScratch scratch;
    ql::append_normalised_symbol(out, field, scratch);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Field splitting

TEST(FieldSplit, ExactlyFiveSeparatorBytes) {
    for (int c = 0; c < 256; ++c) {
        const bool expected = c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
        EXPECT_EQ(ql::is_separator(static_cast<unsigned char>(c)), expected) << "byte " << c;
    }
}

struct SplitCase {
    std::string line;
    std::vector<std::string> fields;
};

class FieldSplitCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FieldSplitCases, Fields) { EXPECT_EQ(split(GetParam().line), GetParam().fields); }

INSTANTIATE_TEST_SUITE_P(
    Lines, FieldSplitCases,
    ::testing::Values(SplitCase{"  H\t0.0  0.0 0.0\r\n", {"H", "0.0", "0.0", "0.0"}},
                      SplitCase{"H\v0 0 0", {"H\v0", "0", "0"}},
                      SplitCase{"1.0\xC2\xA0" "2.0", {"1.0\xC2\xA0" "2.0"}},      // U+00A0
                      SplitCase{"1.0\xE3\x80\x80" "2.0", {"1.0\xE3\x80\x80" "2.0"}},  // U+3000
                      SplitCase{std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}},
                      SplitCase{"", {}}, SplitCase{" \t \f\r\n ", {}},
                      SplitCase{"x\ny\fz", {"x", "y", "z"}}, SplitCase{"single", {"single"}}));

TEST(FieldSplit, StopsAtTheLastFieldAskedFor) {
    // The splitter must not read past the field it returns: the view's end
    // is the only bound it has, and the rest of the line stays untouched.
    const std::string line = "a bb ccc";
    ql::FieldSplitter s(line);
    std::string_view f;
    ASSERT_TRUE(s.next(f));
    EXPECT_EQ(f.data(), line.data());
    EXPECT_EQ(f.size(), 1u);
    ASSERT_TRUE(s.next(f));
    EXPECT_EQ(f.data(), line.data() + 2);
    ASSERT_TRUE(s.next(f));
    EXPECT_EQ(f, "ccc");
    EXPECT_FALSE(s.next(f));
    EXPECT_EQ(f, "ccc");  // untouched on exhaustion
    EXPECT_FALSE(s.next(f));
}

// ---------------------------------------------------------------------------
// Float grammar

class FloatAccepted : public ::testing::TestWithParam<const char*> {};
class FloatRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(FloatAccepted, MatchesStrtod) {
    const std::string s = GetParam();
    double v = 12345;
    const auto r = ql::parse_float(s.data(), s.data() + s.size(), v);
    ASSERT_EQ(r.ec, std::errc{}) << s;
    EXPECT_EQ(r.ptr, s.data() + s.size());
    EXPECT_TRUE(same_bits(std::strtod(s.c_str(), nullptr), v)) << s;
    double w = 12345;
    ASSERT_EQ(ql::detail::parse_float_std(s.data(), s.data() + s.size(), w).ec, std::errc{}) << s;
    if (std::isnan(v)) {
        EXPECT_TRUE(std::isnan(w));
        EXPECT_EQ(std::signbit(v), std::signbit(w));
    } else {
        EXPECT_TRUE(same_bits(v, w)) << s;
    }
}

TEST_P(FloatRefused, InvalidLiteral) {
    const std::string s = GetParam();
    double v = 12345;
    const auto r = ql::parse_float(s.data(), s.data() + s.size(), v);
    EXPECT_EQ(r.ec, std::errc::invalid_argument) << s;
    EXPECT_EQ(r.ptr, s.data());
    EXPECT_EQ(v, 12345) << "value written on failure: " << s;
    EXPECT_EQ(ql::detail::parse_float_std(s.data(), s.data() + s.size(), v).ec, std::errc::invalid_argument)
        << s;
    EXPECT_EQ(ql::parse_float_field(s).error(), ql::k_invalid_float_literal);
}

INSTANTIATE_TEST_SUITE_P(Forms, FloatAccepted,
                         ::testing::Values("1", "+1.", ".5", "-.5", "5.", "05.25", "-2.5E-3", "1e+05", "1E5",
                                           "1e-5", "0", "00000", "-0", "+0.0e0", "123456789012345678901234567890",
                                           "INF", "-Infinity", "inf", "+iNfInItY", "nan", "NaN", "-NAN", "+nan"));

INSTANTIATE_TEST_SUITE_P(Forms, FloatRefused,
                         ::testing::Values("1.0D+00", "1.5d0", "1,5", "0x10", "0x1p3", "1_000", "1e", "1e+", "1e-",
                                           ".", "+", "-", "+-1", "-+1", "--1", "++1", "infinite", "infinit", "in",
                                           "infinityy", "nan(", "nan(123)", "nanx", "-nan(1)", "1.2.3", "1e5.0",
                                           "1e5e5", " 1", "1 ", "1\n", "e5", ".e5", "+.", "-.e1", "1.5f", "0b1",
                                           "\xD9\xA1",          // ARABIC-INDIC DIGIT ONE
                                           "\xE2\x88\x92" "1",  // U+2212 MINUS SIGN
                                           "1\xC2\xA0"));

TEST(FloatGrammar, EmptyFieldReason) {
    EXPECT_EQ(ql::parse_float_field("").error(), ql::k_empty_float_literal);
    double v = 1;
    EXPECT_EQ(ql::parse_float(nullptr, nullptr, v).ec, std::errc::invalid_argument);
}

// ---------------------------------------------------------------------------
// Float values at their boundaries

struct ValueCase {
    std::string literal;
    double expected;
};

class FloatValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(FloatValues, CorrectlyRounded) {
    const auto& c = GetParam();
    double v = 0, w = 0;
    ASSERT_TRUE(parses(c.literal, v)) << c.literal;
    EXPECT_TRUE(same_bits(c.expected, v)) << c.literal;
    ASSERT_EQ(ql::detail::parse_float_std(c.literal.data(), c.literal.data() + c.literal.size(), w).ec,
              std::errc{});
    EXPECT_TRUE(same_bits(c.expected, w)) << "from_chars path: " << c.literal;
}

constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr double k_min_sub = std::numeric_limits<double>::denorm_min();
constexpr double k_max = std::numeric_limits<double>::max();

INSTANTIATE_TEST_SUITE_P(
    Halfway, FloatValues,
    ::testing::Values(
        // 2^53 + 1 lies halfway between 2^53 and 2^53 + 2: ties to even.
        ValueCase{"9007199254740993", 9007199254740992.0}, ValueCase{"9007199254740995", 9007199254740996.0},
        ValueCase{"9007199254740993.000000000000000000000000001", 9007199254740994.0},
        // Exactly halfway between 1 and the next double, then just above it.
        ValueCase{"1.00000000000000011102230246251565404236316680908203125", 1.0},
        ValueCase{"1.00000000000000011102230246251565404236316680908203125000000000000000000001",
                  std::nextafter(1.0, 2.0)},
        ValueCase{"1.00000000000000011102230246251565404236316680908203124999999999999999999999", 1.0},
        ValueCase{"0.1000000000000000055511151231257827021181583404541015625", 0.1}));

INSTANTIATE_TEST_SUITE_P(
    Subnormals, FloatValues,
    ::testing::Values(ValueCase{"4.9406564584124654e-324", k_min_sub}, ValueCase{"5e-324", k_min_sub},
                      ValueCase{"3e-324", k_min_sub}, ValueCase{"2e-324", 0.0}, ValueCase{"-2e-324", -0.0},
                      // Exactly half of the smallest subnormal ties to even: 0.
                      ValueCase{"2.4703282292062327208828439643411068618252990130716238221279284125033775363510437"
                                "593264991818081799618989828234772285886546332835517796989819938739800539093906315"
                                "035659515570226392290858392449105184435931802849936536152500319370457678249219365"
                                "623669863658480757001585769269903706311928279558551332927834338409351978015531246"
                                "597263579574622766465272827220056374006485499977096599470454020828166226237857393"
                                "450736339007967761930577506740176324673600968951340535537458516661134223766678604"
                                "162159680461914467291840300530057530849048765391711386591646239524912623653881879"
                                "636239373280423891018672348497668235089863388587925628302755995657524455507255189"
                                "313690836254779186948667994968324049705821028513185451396213837722826145437693412"
                                "532098591327667236328125e-324",
                                0.0},
                      ValueCase{"2.4703282292062327208828439643411068618252990130716238221279284125033775363510437"
                                "593264991818081799618989828234772285886546332835517796989819938739800539093906315"
                                "035659515570226392290858392449105184435931802849936536152500319370457678249219365"
                                "623669863658480757001585769269903706311928279558551332927834338409351978015531246"
                                "597263579574622766465272827220056374006485499977096599470454020828166226237857393"
                                "450736339007967761930577506740176324673600968951340535537458516661134223766678604"
                                "162159680461914467291840300530057530849048765391711386591646239524912623653881879"
                                "636239373280423891018672348497668235089863388587925628302755995657524455507255189"
                                "313690836254779186948667994968324049705821028513185451396213837722826145437693412"
                                "532098591327667236328125001e-324",
                                k_min_sub},
                      ValueCase{"2.2250738585072011e-308", 2.225073858507201e-308},  // largest subnormal
                      ValueCase{"2.2250738585072014e-308", 2.2250738585072014e-308}  // smallest normal
                      ));

INSTANTIATE_TEST_SUITE_P(
    HugeExponents, FloatValues,
    ::testing::Values(ValueCase{"1e400", k_inf}, ValueCase{"-1e400", -k_inf}, ValueCase{"1e-400", 0.0},
                      ValueCase{"-1e-400", -0.0}, ValueCase{"1.7976931348623157e308", k_max},
                      ValueCase{"1.7976931348623158e308", k_max}, ValueCase{"1.7976931348623159e308", k_inf},
                      ValueCase{"0e999999999999999999999999", 0.0}, ValueCase{"-0e-99999999999999999999", -0.0},
                      ValueCase{"1e99999999999999999999999999", k_inf},
                      ValueCase{"1e-99999999999999999999999999", 0.0},
                      ValueCase{"0.000000000000000000000000000001e330", 1e300},
                      ValueCase{"1000000000000000000000000000000e-330", 1e-300},
                      ValueCase{"0.00000000000000000000000000000000001e345", k_inf},
                      ValueCase{"100000000000000000000000000000e-355", 0.0}));

INSTANTIATE_TEST_SUITE_P(Signs, FloatValues,
                         ::testing::Values(ValueCase{"-0", -0.0}, ValueCase{"+0", 0.0}, ValueCase{"-0.0e5", -0.0},
                                           ValueCase{"-inf", -k_inf}, ValueCase{"+Infinity", k_inf}));

std::string repeat_between(const char* head, std::size_t n, char c, const char* tail) {
    std::string s(head);
    s.append(n, c);
    s.append(tail);
    return s;
}

TEST(FloatValues, LongMantissas) {
    // 1 followed by 800 zeros, scaled back: exactly 1.
    EXPECT_TRUE(same_bits(1.0, parse_or_die(repeat_between("1", 800, '0', "e-800"))));
    // 800 leading zeros after the point.
    EXPECT_TRUE(same_bits(1.5, parse_or_die(repeat_between("0.", 800, '0', "15e801"))));
    // A long run of 9s rounds up to the next power of ten.
    EXPECT_TRUE(same_bits(1.0, parse_or_die(repeat_between("0.", 400, '9', ""))));
    // 2^-1074 written out in full (751 significant digits).
    EXPECT_TRUE(same_bits(k_min_sub, parse_or_die("4.940656458412465441765687928682213723650598026143247644255856825006"
                                                  "75573e-324")));
}

TEST(FloatValues, NanSign) {
    double v;
    ASSERT_TRUE(parses("nan", v));
    EXPECT_TRUE(std::isnan(v));
    EXPECT_FALSE(std::signbit(v));
    ASSERT_TRUE(parses("-NaN", v));
    EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(std::signbit(v));
}

TEST(FloatValues, RandomRoundTripsAgainstStrtod) {
    std::mt19937_64 rng(20240611);
    char buf[64];
    for (int k = 0; k < 200000; ++k) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (!std::isfinite(d)) continue;
        const int digits = 1 + static_cast<int>(rng() % 17);
        std::snprintf(buf, sizeof buf, "%.*e", digits, d);
        double v;
        ASSERT_TRUE(parses(buf, v)) << buf;
        ASSERT_TRUE(same_bits(std::strtod(buf, nullptr), v)) << buf;
        double w;
        ASSERT_EQ(ql::detail::parse_float_std(buf, buf + std::strlen(buf), w).ec, std::errc{});
        ASSERT_TRUE(same_bits(v, w)) << buf;
    }
}

TEST(FloatValues, RandomDecimalStringsAgainstStrtod) {
    // Random literals of the grammar: long mantissas, points anywhere,
    // exponents across and beyond the double range.
    std::mt19937_64 rng(7);
    for (int k = 0; k < 100000; ++k) {
        std::string s;
        if (rng() % 2) s += rng() % 2 ? '-' : '+';
        const std::size_t ndig = 1 + rng() % (rng() % 8 == 0 ? 120 : 20);
        const std::size_t point = rng() % (ndig + 2);  // ndig + 1: no point
        for (std::size_t i = 0; i < ndig; ++i) {
            if (i == point) s += '.';
            s += static_cast<char>('0' + rng() % 10);
        }
        if (point == ndig) s += '.';
        if (rng() % 3) {
            s += rng() % 2 ? 'e' : 'E';
            if (rng() % 2) s += rng() % 2 ? '-' : '+';
            s += std::to_string(rng() % 700);
        }
        double v;
        ASSERT_TRUE(parses(s, v)) << s;
        ASSERT_TRUE(same_bits(std::strtod(s.c_str(), nullptr), v)) << s;
        double w;
        ASSERT_EQ(ql::detail::parse_float_std(s.data(), s.data() + s.size(), w).ec, std::errc{});
        ASSERT_TRUE(same_bits(v, w)) << s;
    }
}

// next_float parses short literals in the pass that finds the field's end;
// it must agree with parse_float on the whole field, whatever follows.

struct NextFloatCase {
    std::string line;
    std::vector<std::string> fields;  // expected fields, each then checked by parse_float
};

void expect_next_float_agrees(const std::string& line) {
    ql::FieldSplitter fused(line);
    ql::FieldSplitter plain(line);
    std::string_view a, b;
    for (;;) {
        double v = 12345;
        const auto got = fused.next_float(v, a);
        const bool more = plain.next(b);
        if (!more) {
            ASSERT_EQ(got, ql::FieldSplitter::FloatField::missing) << line;
            return;
        }
        ASSERT_EQ(a, b) << line;
        double w = 12345;
        const bool ok = parses(b, w);
        ASSERT_EQ(got == ql::FieldSplitter::FloatField::ok, ok) << "field '" << b << "' in " << line;
        if (ok) {
            if (std::isnan(w)) {
                ASSERT_TRUE(std::isnan(v));
            } else {
                ASSERT_TRUE(same_bits(w, v)) << b;
            }
        } else {
            ASSERT_EQ(got, ql::FieldSplitter::FloatField::invalid);
        }
    }
}

TEST(NextFloat, AgreesWithParseFloatOnEdges) {
    const char* lines[] = {
        "  0.50000000 -0.25000000\t0.00000000\r\n",
        "1234567890123456789 12345678901234567890 0.1234567890123456789 0.12345678901234567890",
        "9007199254740993 9007199254740993.0 -9007199254740993e0 18446744073709551615 18446744073709551616",
        "1e 1e+ 1e- 1e5x 1.5d0 1_0 0x10 +-1 - + . .e1 1.2.3 5. .5 -.5e-3",
        "1e22 1e23 123456789e-22 123456789e-23 9007199254740992e22 1e-400 -1e-400 1e400 1e99999999999999",
        "0.000000000000000000000000000001e330 -0 -0.0e-999 inf -Infinity nan -nan nan(1) infinit",
        "1.0\v2.0 3.0\xc2\xa0" "4.0 5.0",
        "12345678.12345678 -0.0000000012345678 99999999.99999999 0.99999999999999999",
        "2.2250738585072011e-308 4.9406564584124654e-324 2.4703282292062328e-324 1.7976931348623159e308",
        // Mantissas beyond 2^53 with fraction digits: halfway cases and their neighbours.
        "9007199254740995.0 -9007199254740995.5 18014398509481985.0 18014398509481986.9 72057594037927937.50",
        "0.90071992547409925 0.90071992547409935 -1.8014398509481985 1844674407370955.1615 0.000000000000000001",
    };
    for (const char* line : lines) expect_next_float_agrees(line);
}

TEST(NextFloat, AgreesWithParseFloatOnRandomLines) {
    std::mt19937_64 rng(3);
    const char alphabet[] = "0123456789012345678901234567890123456789..eE+-  \t\nx";
    for (int k = 0; k < 50000; ++k) {
        std::string line;
        const std::size_t len = rng() % 60;
        for (std::size_t i = 0; i < len; ++i) line += alphabet[rng() % (sizeof alphabet - 1)];
        expect_next_float_agrees(line);
    }
    char buf[800];
    for (int k = 0; k < 50000; ++k) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, 8);
        std::snprintf(buf, sizeof buf, "%.*f %.*e", static_cast<int>(rng() % 20), d, static_cast<int>(rng() % 20), d);
        expect_next_float_agrees(buf);
    }
}

// ---------------------------------------------------------------------------
// Fixed-point writer

struct FixedCase {
    double value;
    unsigned width;
    unsigned precision;
    std::string expected;
};

class FixedCases : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedCases, Text) {
    const auto& c = GetParam();
    EXPECT_EQ(fixed(c.value, c.width, c.precision), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, FixedCases,
    ::testing::Values(FixedCase{1.0, 22, 15, "     1.000000000000000"},
                      FixedCase{-1234567.0, 22, 15, "-1234567.000000000000000"},
                      FixedCase{12345.678, 19, 16, "12345.6779999999998836"},
                      FixedCase{0.5, 19, 16, " 0.5000000000000000"},
                      FixedCase{-0.25, 19, 16, "-0.2500000000000000"},
                      FixedCase{1234.5, 11, 8, "1234.50000000"}, FixedCase{1e17, 22, 15,
                                                                           "100000000000000000.000000000000000"}));

INSTANTIATE_TEST_SUITE_P(
    Specials, FixedCases,
    ::testing::Values(FixedCase{std::numeric_limits<double>::quiet_NaN(), 22, 15, std::string(19, ' ') + "NaN"},
                      FixedCase{-std::numeric_limits<double>::quiet_NaN(), 11, 8, "        NaN"},
                      FixedCase{k_inf, 19, 16, std::string(16, ' ') + "inf"},
                      FixedCase{-k_inf, 19, 16, std::string(15, ' ') + "-inf"},
                      FixedCase{-k_inf, 2, 8, "-inf"}));

INSTANTIATE_TEST_SUITE_P(NegativeZero, FixedCases,
                         ::testing::Values(FixedCase{-0.0, 22, 15, "    -0.000000000000000"},
                                           FixedCase{-1e-20, 22, 15, "    -0.000000000000000"},
                                           FixedCase{-0.0, 19, 16, "-0.0000000000000000"},
                                           FixedCase{-0.0, 11, 8, "-0.00000000"},
                                           FixedCase{-k_min_sub, 11, 8, "-0.00000000"},
                                           FixedCase{0.0, 11, 8, " 0.00000000"},
                                           FixedCase{-4e-9, 11, 8, "-0.00000000"},  // below half an ulp
                                           FixedCase{-6e-9, 11, 8, "-0.00000001"}));

// Ties need values whose exact binary expansion ends one digit past P.
INSTANTIATE_TEST_SUITE_P(
    HalfToEven, FixedCases,
    ::testing::Values(FixedCase{1.0 / 512, 11, 8, " 0.00195312"},         // 0.001953125
                      FixedCase{3.0 / 512, 11, 8, " 0.00585938"},         // 0.005859375
                      FixedCase{1.0 / 65536, 0, 15, "0.000015258789062"},  // ...0625
                      FixedCase{3.0 / 65536, 0, 15, "0.000045776367188"},  // ...1875
                      FixedCase{1.0 / 131072, 0, 16, "0.0000076293945312"},
                      FixedCase{-1.0 / 512, 11, 8, "-0.00195312"}, FixedCase{0.125, 0, 2, "0.12"},
                      FixedCase{0.375, 0, 2, "0.38"}, FixedCase{2.5, 0, 1, "2.5"},
                      // 9.5 at one digit is no tie; 0.05 is not exactly 1/20.
                      FixedCase{0.05, 0, 1, "0.1"}, FixedCase{0.15, 0, 1, "0.1"}, FixedCase{0.25, 0, 1, "0.2"},
                      FixedCase{0.35, 0, 1, "0.3"}));

INSTANTIATE_TEST_SUITE_P(Carries, FixedCases,
                         ::testing::Values(FixedCase{9.999999996, 11, 8, "10.00000000"},
                                           FixedCase{0.999999999, 11, 8, " 1.00000000"},
                                           FixedCase{-99.999999999, 11, 8, "-100.00000000"},
                                           FixedCase{0.9999999999999996, 22, 15, "     1.000000000000000"},
                                           FixedCase{999999.9999999999, 11, 8, "1000000.00000000"},
                                           FixedCase{0.000000005, 11, 8, " 0.00000001"}));

TEST(Fixed, HugeValuesWriteEveryIntegerDigit) {
    const std::string s = fixed(1e300, 22, 15);
    ASSERT_EQ(s.size(), 301u + 1u + 15u);
    EXPECT_EQ(s, printf_fixed(1e300, 22, 15));
    EXPECT_EQ(s.substr(0, 5), "10000");
    EXPECT_EQ(fixed(-k_max, 19, 16).size(), 1u + 309u + 1u + 16u);
    EXPECT_EQ(fixed(-k_max, 19, 16), printf_fixed(-k_max, 19, 16));
}

TEST(Fixed, FastPathBoundary) {
    // The exact 64/128-bit path covers |v| < 2^63; to_chars takes over above.
    const double two63 = 9223372036854775808.0;
    for (const double v : {two63, std::nextafter(two63, 0.0), std::nextafter(two63, k_inf), -two63,
                           -std::nextafter(two63, 0.0), 9007199254740992.0, 9007199254740993.0 - 1,
                           4503599627370495.5, -4503599627370495.5, 18446744073709551616.0, 1e19, 1e18}) {
        for (const unsigned p : {1u, 8u, 15u, 16u, 19u, 20u}) {
            EXPECT_EQ(fixed(v, 22, p), printf_fixed(v, 22, p)) << v << " P=" << p;
        }
    }
}

TEST(Fixed, SubnormalsAndTinyValues) {
    for (const double v : {k_min_sub, -k_min_sub, 2.2250738585072014e-308, 1e-300, 5e-17, 4.9999999999999999e-17,
                           5.0000000000000001e-17, 1e-8, 5e-9, 4.999999999e-9}) {
        for (const unsigned p : {8u, 15u, 16u, 19u}) EXPECT_EQ(fixed(v, 11, p), printf_fixed(v, 11, p)) << v;
    }
}

TEST(Fixed, RandomAgainstPrintf) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const unsigned formats[][2] = {{19, 16}, {11, 8}, {22, 15}};
    for (int k = 0; k < 300000; ++k) {
        double v;
        switch (k % 4) {
            case 0: {  // any bit pattern
                const uint64_t bits = rng();
                std::memcpy(&v, &bits, 8);
                break;
            }
            case 1:  // typical coordinates
                v = unit(rng) * 100.0;
                break;
            case 2:  // short decimals, where ties and carries live
                v = static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) / 1e6;
                break;
            default:  // values around the fast-path limit and across many scales
                v = std::ldexp(unit(rng), static_cast<int>(rng() % 140) - 70);
                break;
        }
        if (!std::isfinite(v)) continue;
        const auto& f = formats[k % 3];
        ASSERT_EQ(fixed(v, f[0], f[1]), printf_fixed(v, f[0], f[1])) << std::hexfloat << v;
        const unsigned p = 1 + static_cast<unsigned>(rng() % 24);
        ASSERT_EQ(fixed(v, 0, p), printf_fixed(v, 0, p)) << std::hexfloat << v << " P=" << p;
    }
}

TEST(Fixed, AppendsAfterExistingText) {
    quorvel::StringSink sink;
    sink.append("x=");
    ql::append_fixed(sink, 2.0, 6, 2);
    ql::append_fixed(sink, -3.0, 0, 1);
    EXPECT_EQ(sink.take(), "x=  2.00-3.0");
}

// ---------------------------------------------------------------------------
// String and integer fields

struct StringFieldCase {
    std::string text;
    std::size_t width;
    ql::Align align;
    std::string expected;
};

class StringFields : public ::testing::TestWithParam<StringFieldCase> {};

TEST_P(StringFields, Padding) {
    const auto& c = GetParam();
    quorvel::StringSink sink;
    ql::append_string_field(sink, c.text, c.width, c.align);
    EXPECT_EQ(sink.take(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CodePoints, StringFields,
    ::testing::Values(StringFieldCase{"H", 2, ql::Align::left, "H "}, StringFieldCase{"Fe", 2, ql::Align::left, "Fe"},
                      StringFieldCase{"Mol", 2, ql::Align::left, "Mol"}, StringFieldCase{"", 2, ql::Align::left, "  "},
                      StringFieldCase{"\xC3\x89", 2, ql::Align::left, "\xC3\x89 "},     // U+00C9: one code point
                      StringFieldCase{"E\xCC\x81", 2, ql::Align::left, "E\xCC\x81"},    // E + U+0301: two
                      StringFieldCase{"\xF0\x9F\x98\x80", 3, ql::Align::right, "  \xF0\x9F\x98\x80"},
                      StringFieldCase{"T", 4, ql::Align::right, "   T"},
                      StringFieldCase{"ab", 4, ql::Align::right, "  ab"},
                      // Nothing to write into a sink that has no buffer yet.
                      StringFieldCase{"", 0, ql::Align::left, ""}, StringFieldCase{"", 0, ql::Align::right, ""}));

TEST(StringFields, NoSpacesIntoAFreshSink) {
    quorvel::StringSink sink;
    sink.append_spaces(0);
    EXPECT_EQ(sink.take(), "");
}

TEST(UintField, RightAlignedNeverCut) {
    const std::pair<uint64_t, std::string> cases[] = {{1, "     1"},
                                                      {0, "     0"},
                                                      {123456, "123456"},
                                                      {1234567, "1234567"},
                                                      {18446744073709551615u, "18446744073709551615"}};
    for (const auto& [v, expected] : cases) {
        quorvel::StringSink sink;
        ql::append_uint_field(sink, v, 6);
        EXPECT_EQ(sink.take(), expected);
    }
}

// ---------------------------------------------------------------------------
// Symbol normalisation

struct SymbolCase {
    std::string field;
    std::string expected;
};

class Symbols : public ::testing::TestWithParam<SymbolCase> {};

TEST_P(Symbols, Normalised) { EXPECT_EQ(normalised(GetParam().field), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Ascii, Symbols,
    ::testing::Values(SymbolCase{"fe", "Fe"}, SymbolCase{"FE", "Fe"}, SymbolCase{"fE", "Fe"}, SymbolCase{"H", "H"},
                      SymbolCase{"h", "H"}, SymbolCase{"X1", "X1"}, SymbolCase{"1x", "1x"},
                      SymbolCase{"CU_2", "Cu_2"}, SymbolCase{std::string("\0A", 2), std::string("\0a", 2)}));

INSTANTIATE_TEST_SUITE_P(
    Unicode, Symbols,
    ::testing::Values(SymbolCase{"\xC3\x9F", "SS"},                      // ß
                      SymbolCase{"\xC7\x86", "\xC7\x84"},                // dž -> DŽ, not the title form
                      SymbolCase{"\xC7\x85", "\xC7\x84"},                // Dž -> dž -> DŽ
                      SymbolCase{"\xCE\x91\xCE\xA3", "\xCE\x91\xCF\x82"},  // ΑΣ -> Ας
                      SymbolCase{"\xCE\xA3\xCE\x91", "\xCE\xA3\xCE\xB1"},  // ΣΑ -> Σα
                      SymbolCase{"\xCE\x91\xCE\xA3\xCE\x91", "\xCE\x91\xCF\x83\xCE\xB1"},  // ΑΣΑ -> Ασα
                      SymbolCase{"\xCE\x91'\xCE\xA3", "\xCE\x91'\xCF\x82"},              // ' is case-ignorable
                      SymbolCase{"\xCE\x91\xCE\xA3'\xCE\x91", "\xCE\x91\xCF\x83'\xCE\xB1"},
                      SymbolCase{"1\xCE\xA3", "1\xCF\x83"},                      // no cased letter before
                      SymbolCase{"\xC4\xB0x", "I\xCC\x87x"},                     // İ -> i̇ -> I + U+0307
                      SymbolCase{"\xC5\x89", "\xCA\xBCN"},                       // ŉ -> ʼN
                      SymbolCase{"\xEF\xAC\x83", "FFI"},                         // ﬃ
                      SymbolCase{"\xC3\x89TAT", "\xC3\x89tat"},                  // ÉTAT
                      SymbolCase{"\xF0\x90\x90\x80\xF0\x90\x90\x80", "\xF0\x90\x90\x80\xF0\x90\x90\xA8"},  // Deseret
                      SymbolCase{"\xE2\x84\xAA", "K"},  // KELVIN SIGN lowercases to k
                      SymbolCase{"\xE4\xB8\xAD", "\xE4\xB8\xAD"}));

INSTANTIATE_TEST_SUITE_P(InvalidUtf8PassesThrough, Symbols,
                         ::testing::Values(SymbolCase{"\xFF" "A", "\xFF" "a"}, SymbolCase{"A\xC3", "A\xC3"},
                                           SymbolCase{"\xED\xA0\x80Z", "\xED\xA0\x80z"},  // encoded surrogate
                                           SymbolCase{"\xC0\x81\xC3\x89", "\xC0\x81\xC3\xA9"}));

TEST(Symbols, AppendsAndReusesScratch) {
    std::string out = "x";
    ql::SymbolScratch scratch;
    ql::append_normalised_symbol(out, "\xCE\x91\xCE\xA3", scratch);
    ql::append_normalised_symbol(out, "cL", scratch);
    ql::append_normalised_symbol(out, "\xC3\x9F", scratch);
    EXPECT_EQ(out, "x\xCE\x91\xCF\x82" "ClSS");
}

TEST(UnicodeTables, PropertiesAndMappings) {
    EXPECT_STREQ(quorvel::ledgra::unicode::k_unicode_version, "15.0.0");
    char32_t out[3];
    EXPECT_EQ(quorvel::ledgra::unicode::to_upper_full(U'\u00DF', out), 2u);
    EXPECT_EQ(out[0], U'S');
    EXPECT_EQ(quorvel::ledgra::unicode::to_upper_full(U'\u0390', out), 3u);  // ΐ
    EXPECT_EQ(quorvel::ledgra::unicode::to_lower_full(U'\u0130', out), 2u);
    EXPECT_EQ(quorvel::ledgra::unicode::to_lower_full(0x1E900, out), 1u);  // ADLAM CAPITAL ALIF
    EXPECT_EQ(out[0], char32_t{0x1E922});
    EXPECT_EQ(quorvel::ledgra::unicode::to_lower_full(0x110000, out), 1u);
    EXPECT_EQ(out[0], char32_t{0x110000});
    EXPECT_TRUE(quorvel::ledgra::unicode::is_cased(U'a'));
    EXPECT_TRUE(quorvel::ledgra::unicode::is_cased(U'\u02B0'));  // modifier letter: cased, not a letter case
    EXPECT_FALSE(quorvel::ledgra::unicode::is_cased(U'1'));
    EXPECT_TRUE(quorvel::ledgra::unicode::is_case_ignorable(U'\''));
    EXPECT_TRUE(quorvel::ledgra::unicode::is_case_ignorable(U'\u0301'));
    EXPECT_FALSE(quorvel::ledgra::unicode::is_case_ignorable(U'a'));
    EXPECT_FALSE(quorvel::ledgra::unicode::is_cased(0x10FFFF));
}
