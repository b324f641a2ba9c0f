// POSCAR, XDATCAR and XYZ block parsers and formatters: values, messages,
// first-failure order, shapes, panics and round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vasp.hpp"
#include "xyz.hpp"

namespace ql = quorvel::ledgra;
using quorvel::Failure;
using quorvel::View2;

namespace {

std::vector<std::string_view> views(const std::vector<std::string>& lines) {
    return {lines.begin(), lines.end()};
}

template <class T>
std::string error_of(const quorvel::Result<T>& r) {
    EXPECT_FALSE(r.has_value());
    if (r.has_value()) return "<no error>";
    EXPECT_EQ(r.error().kind, Failure::Kind::value_error);
    return r.error().message;
}

template <class T>
void expect_panic(const quorvel::Result<T>& r) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, Failure::Kind::panic);
    EXPECT_EQ(r.error().message, quorvel::k_index_out_of_bounds);
}

std::string format_poscar(const std::vector<double>& coord, int64_t cols, const std::vector<uint8_t>* flags,
                          int64_t flag_cols = -1) {
    const int64_t rows = cols == 0 ? 0 : static_cast<int64_t>(coord.size()) / cols;
    const auto c = View2<double>::dense(coord.data(), rows, cols);
    View2<uint8_t> f;
    if (flags != nullptr) {
        const int64_t fc = flag_cols < 0 ? cols : flag_cols;
        f = View2<uint8_t>::dense(flags->data(), fc == 0 ? 0 : static_cast<int64_t>(flags->size()) / fc, fc);
    }
    quorvel::StringSink sink;
    const auto r = ql::format_poscar_positions(c, flags != nullptr ? &f : nullptr, sink);
    if (!r) return "<error> " + r.error().message;
    return sink.take();
}

}  // namespace

// ---------------------------------------------------------------------------
// POSCAR parsing

TEST(PoscarParse, ValuesAndFlags) {
    const std::vector<std::string> lines = {"  0.5 -0.25\t0.0\r\n", "1 2 3 F", "4 5 6", "7 8 9 T F T extra",
                                            "1e400 nan -0 F F F"};
    const auto r = ql::parse_poscar_positions(views(lines), true);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_EQ(r->rows, 5u);
    const double* p = r->positions.data();
    EXPECT_EQ(p[0], 0.5);
    EXPECT_EQ(p[1], -0.25);
    EXPECT_EQ(p[5], 3.0);
    EXPECT_EQ(p[11], 9.0);
    EXPECT_TRUE(std::isinf(p[12]) && p[12] > 0);
    EXPECT_TRUE(std::isnan(p[13]));
    EXPECT_TRUE(p[14] == 0.0 && std::signbit(p[14]));
    ASSERT_TRUE(r->flags.has_value());
    const std::vector<uint8_t> flags(r->flags->data(), r->flags->data() + 15);
    EXPECT_EQ(flags, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 1}));
}

TEST(PoscarParse, WithoutSelectiveFlagsAreNotRead) {
    const std::vector<std::string> lines = {"0 0 0 x y z", "1 1 1 t"};
    const auto r = ql::parse_poscar_positions(views(lines), false);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->flags.has_value());
    EXPECT_EQ(r->positions[3], 1.0);
}

TEST(PoscarParse, Empty) {
    const auto r = ql::parse_poscar_positions({}, true);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->rows, 0u);
    EXPECT_TRUE(r->flags.has_value());
}

struct ErrorCase {
    std::vector<std::string> lines;
    std::string message;
};

class PoscarErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PoscarErrors, Message) {
    EXPECT_EQ(error_of(ql::parse_poscar_positions(views(GetParam().lines), true)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PoscarErrors,
    ::testing::Values(
        ErrorCase{{"1.0 2.0"}, "POSCAR: not enough fields on atom line 0 (need 3 coordinates)"},
        ErrorCase{{"0 0 0", " \t "}, "POSCAR: not enough fields on atom line 1 (need 3 coordinates)"},
        ErrorCase{{"0 0 0", ""}, "POSCAR: not enough fields on atom line 1 (need 3 coordinates)"},
        ErrorCase{{"0 0 0", "0.0 abc 0.0"}, "POSCAR: cannot parse coordinate 'abc' on atom line 1: invalid float literal"},
        ErrorCase{{"1.0D+00 0 0"}, "POSCAR: cannot parse coordinate '1.0D+00' on atom line 0: invalid float literal"},
        ErrorCase{{"0 1,5 0"}, "POSCAR: cannot parse coordinate '1,5' on atom line 0: invalid float literal"},
        // The bad field comes before the missing one.
        ErrorCase{{"0 x"}, "POSCAR: cannot parse coordinate 'x' on atom line 0: invalid float literal"},
        ErrorCase{{"1.0\v2.0 3.0 4.0"}, "POSCAR: cannot parse coordinate '1.0\v2.0' on atom line 0: invalid float literal"},
        ErrorCase{{"1.0\xC2\xA0" "2.0 3.0"},
                  "POSCAR: cannot parse coordinate '1.0\xC2\xA0" "2.0' on atom line 0: invalid float literal"},
        ErrorCase{{"0 0 0 t F F"}, "POSCAR: expected selective dynamics flag 'T' or 'F', got 't' on atom line 0"},
        ErrorCase{{"0 0 0 True F F"}, "POSCAR: expected selective dynamics flag 'T' or 'F', got 'True' on atom line 0"},
        ErrorCase{{"0 0 0 T F .T."}, "POSCAR: expected selective dynamics flag 'T' or 'F', got '.T.' on atom line 0"},
        ErrorCase{{"0 0 0 T T T", "0 0 0 F FT"},
                  "POSCAR: expected selective dynamics flag 'T' or 'F', got 'FT' on atom line 1"},
        ErrorCase{{"0 0 0 1"}, "POSCAR: expected selective dynamics flag 'T' or 'F', got '1' on atom line 0"},
        // First failing line wins, even when a later line fails differently.
        ErrorCase{{"0 0 0", "0 0 0 x", "0 0"},
                  "POSCAR: expected selective dynamics flag 'T' or 'F', got 'x' on atom line 1"},
        ErrorCase{{"\xC3\xA9 0 0"}, "POSCAR: cannot parse coordinate '\xC3\xA9' on atom line 0: invalid float literal"}));

// ---------------------------------------------------------------------------
// POSCAR formatting

TEST(PoscarFormat, RowWithAndWithoutFlags) {
    const std::vector<double> c = {0.5, -0.25, 0.0};
    const std::vector<uint8_t> f = {1, 0, 7};  // any non-zero byte is 'F'
    const std::string base = "  0.5000000000000000 -0.2500000000000000  0.0000000000000000";
    EXPECT_EQ(format_poscar(c, 3, &f), base + "   F   T   F\n");
    EXPECT_EQ(format_poscar(c, 3, nullptr), base + "\n");
    EXPECT_EQ(format_poscar(c, 3, &f).size(), 73u);
    EXPECT_EQ(format_poscar(c, 3, nullptr).size(), 61u);
}

TEST(PoscarFormat, SpecialValuesAndWideFields) {
    const std::vector<double> c = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                                   -0.0, 12345.678, 0, 0};
    EXPECT_EQ(format_poscar(c, 3, nullptr), " " + std::string(16, ' ') + "NaN" + " " + std::string(15, ' ') +
                                                 "-inf -0.0000000000000000\n 12345.6779999999998836  0.0000000000000000 "
                                                 " 0.0000000000000000\n");
}

TEST(PoscarFormat, ShapesAndPanics) {
    const std::vector<double> c23 = {1, 2, 3, 4, 5, 6};
    const std::vector<uint8_t> f33(9, 0);
    EXPECT_EQ(format_poscar(c23, 3, &f33), "<error> format_poscar_positions_rs: coord and flags must have the same shape");
    // Shape compared even with no rows.
    const std::vector<uint8_t> none;
    EXPECT_EQ(format_poscar({}, 3, &none, 2), "<error> format_poscar_positions_rs: coord and flags must have the same shape");
    EXPECT_EQ(format_poscar({}, 2, nullptr), "");
    const std::vector<double> c22 = {1, 2, 3, 4};
    const auto v = View2<double>::dense(c22.data(), 2, 2);
    quorvel::StringSink sink;
    expect_panic(ql::format_poscar_positions(v, nullptr, sink));
    // Extra columns are ignored.
    const std::vector<double> c24 = {1, 2, 3, 99, 4, 5, 6, 99};
    const std::vector<uint8_t> f24 = {1, 1, 1, 1, 0, 0, 0, 1};
    const std::string out = format_poscar(c24, 4, &f24);
    EXPECT_EQ(out.size(), 2u * 73u);
    EXPECT_EQ(out.find("99"), std::string::npos);
    EXPECT_EQ(out.substr(60, 13), "   F   F   F\n");
    EXPECT_EQ(out.substr(133, 13), "   T   T   T\n");
}

TEST(PoscarFormat, StridedViewsReadByLogicalIndex) {
    // A column-major (Fortran-order) 2x3 block and a reversed view.
    const double data[6] = {1, 4, 2, 5, 3, 6};  // columns (1,4), (2,5), (3,6)
    const View2<double> fortran{reinterpret_cast<const char*>(data), 2, 3, 8, 16};
    quorvel::StringSink a;
    ASSERT_TRUE(ql::format_poscar_positions(fortran, nullptr, a).has_value());
    const double rowmajor[6] = {1, 2, 3, 4, 5, 6};
    quorvel::StringSink b;
    ASSERT_TRUE(ql::format_poscar_positions(View2<double>::dense(rowmajor, 2, 3), nullptr, b).has_value());
    EXPECT_EQ(a.take(), b.take());
    const View2<double> reversed{reinterpret_cast<const char*>(rowmajor + 3), 2, 3, -24, 8};
    quorvel::StringSink c;
    ASSERT_TRUE(ql::format_poscar_positions(reversed, nullptr, c).has_value());
    EXPECT_EQ(c.take().substr(0, 20), "  4.0000000000000000");
}

TEST(Poscar, RoundTripsRandomValues) {
    // Values with at most 16 decimals survive format -> parse exactly.
    std::mt19937_64 rng(5);
    std::vector<double> c(3 * 200);
    std::vector<uint8_t> f(3 * 200);
    for (std::size_t k = 0; k < c.size(); ++k) {
        const auto digits = static_cast<int64_t>(rng() % 2000000000000000) - 1000000000000000;
        c[k] = static_cast<double>(digits) / 1e15;
        f[k] = static_cast<uint8_t>(rng() % 2);
    }
    const std::string text = format_poscar(c, 3, &f);
    std::vector<std::string> lines;
    for (std::size_t b = 0, e; (e = text.find('\n', b)) != std::string::npos; b = e + 1) {
        lines.push_back(text.substr(b, e - b));
    }
    const auto r = ql::parse_poscar_positions(views(lines), true);
    ASSERT_TRUE(r.has_value());
    for (std::size_t k = 0; k < c.size(); ++k) {
        ASSERT_EQ(r->positions[k], c[k]) << k;
        ASSERT_EQ((*r->flags)[k], f[k]) << k;
    }
}

// ---------------------------------------------------------------------------
// XDATCAR

TEST(XdatcarParse, ValuesAndExtraFields) {
    const std::vector<std::string> lines = {"0.1 0.2 0.3 0.4", "  0.5\t0.6 0.7 abc\r\n"};
    const auto r = ql::parse_xdatcar_coords(views(lines));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(std::vector<double>(r->data(), r->data() + 6), (std::vector<double>{0.1, 0.2, 0.3, 0.5, 0.6, 0.7}));
    EXPECT_EQ(ql::parse_xdatcar_coords({})->size(), 0u);
}

class XdatcarErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(XdatcarErrors, Message) {
    EXPECT_EQ(error_of(ql::parse_xdatcar_coords(views(GetParam().lines))), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, XdatcarErrors,
    ::testing::Values(ErrorCase{{"0.1 0.2"}, "XDATCAR: not enough fields on coordinate line 0"},
                      ErrorCase{{"0 0 0", "0 0 0", ""}, "XDATCAR: not enough fields on coordinate line 2"},
                      ErrorCase{{"0 0 0", "0 0 0", "0.1 x 0.3"}, "XDATCAR: cannot parse 'x' on line 2: invalid float literal"},
                      ErrorCase{{"0.1 x"}, "XDATCAR: cannot parse 'x' on line 0: invalid float literal"},
                      ErrorCase{{"1.0D+00 0 0"}, "XDATCAR: cannot parse '1.0D+00' on line 0: invalid float literal"},
                      ErrorCase{{"0.1\v0.2 0.3 0.4"}, "XDATCAR: cannot parse '0.1\v0.2' on line 0: invalid float literal"}));

TEST(XdatcarFormat, HeaderAndRows) {
    const double row[3] = {0.5, -0.25, 0.0};
    quorvel::StringSink sink;
    ASSERT_TRUE(ql::format_xdatcar_config(View2<double>::dense(row, 1, 3), 1, sink).has_value());
    EXPECT_EQ(sink.take(), "Direct configuration=     1\n   0.50000000 -0.25000000  0.00000000\n");
    const std::pair<uint64_t, std::string> headers[] = {{7, "Direct configuration=     7\n"},
                                                        {0, "Direct configuration=     0\n"},
                                                        {1234567, "Direct configuration=1234567\n"},
                                                        {UINT64_MAX, "Direct configuration=18446744073709551615\n"}};
    for (const auto& [index, expected] : headers) {
        quorvel::StringSink s;
        ASSERT_TRUE(ql::format_xdatcar_config(View2<double>::dense(row, 0, 2), index, s).has_value());
        EXPECT_EQ(s.take(), expected);
    }
}

TEST(XdatcarFormat, WideAndSpecialValues) {
    const double row[4] = {1234.5, std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                           42};
    quorvel::StringSink sink;
    ASSERT_TRUE(ql::format_xdatcar_config(View2<double>::dense(row, 1, 4), 2, sink).has_value());
    EXPECT_EQ(sink.take(), "Direct configuration=     2\n  1234.50000000         NaN        -inf\n");
    const double neg0[3] = {-0.0, -1e-12, 1e-12};
    quorvel::StringSink s2;
    ASSERT_TRUE(ql::format_xdatcar_config(View2<double>::dense(neg0, 1, 3), 1, s2).has_value());
    EXPECT_EQ(s2.take().substr(28), "  -0.00000000 -0.00000000  0.00000000\n");
    quorvel::StringSink s3;
    expect_panic(ql::format_xdatcar_config(View2<double>::dense(row, 2, 2), 1, s3));
}

// ---------------------------------------------------------------------------
// XYZ

TEST(XyzParse, SymbolsAndPositions) {
    const std::vector<std::string> lines = {"h 0 0 0", "FE 1 2 3 extra fields", "  Cu\t1.5 2.5 3.5\r\n",
                                            "O 1e400 nan -inf", "\xCE\x91\xCE\xA3 0 0 0", "\xC3\x9F 0 0 0"};
    const auto r = ql::parse_xyz_block(views(lines));
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_EQ(r->rows, 6u);
    ASSERT_EQ(r->symbol_ends.size(), 6u);
    const std::vector<std::string> expected = {"H", "Fe", "Cu", "O", "\xCE\x91\xCF\x82", "SS"};
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(r->symbol(k), expected[k]);
    EXPECT_EQ(std::vector<double>(r->positions.data() + 3, r->positions.data() + 9),
              (std::vector<double>{1, 2, 3, 1.5, 2.5, 3.5}));
    EXPECT_TRUE(std::isinf(r->positions[9]));
    EXPECT_TRUE(std::isnan(r->positions[10]));
    EXPECT_TRUE(std::isinf(r->positions[11]) && r->positions[11] < 0);
    const auto empty = ql::parse_xyz_block({});
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->rows, 0u);
}

class XyzErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(XyzErrors, Message) { EXPECT_EQ(error_of(ql::parse_xyz_block(views(GetParam().lines))), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Lines, XyzErrors,
    ::testing::Values(ErrorCase{{"H 0 0 0", "H 0 0 0", ""}, "XYZ: empty line at atom index 2"},
                      ErrorCase{{"H 0 0 0", "H 0 0 0", " \t\r\n"}, "XYZ: empty line at atom index 2"},
                      ErrorCase{{"H 1.0 2.0"}, "XYZ: not enough position fields on atom line 0"},
                      ErrorCase{{"H"}, "XYZ: not enough position fields on atom line 0"},
                      ErrorCase{{"H 0 0 0", "H 0.0 abc 0.0"}, "XYZ: cannot parse coordinate 'abc' on line 1: invalid float literal"},
                      ErrorCase{{"H 1.0 x"}, "XYZ: cannot parse coordinate 'x' on line 0: invalid float literal"},
                      ErrorCase{{"O 1.0D+00 0 0"}, "XYZ: cannot parse coordinate '1.0D+00' on line 0: invalid float literal"},
                      ErrorCase{{"O 1,5 0 0"}, "XYZ: cannot parse coordinate '1,5' on line 0: invalid float literal"},
                      ErrorCase{{"H\xC2\xA0" "0 0 0"}, "XYZ: not enough position fields on atom line 0"},
                      ErrorCase{{"H 0 0 0", "", "H 0"}, "XYZ: empty line at atom index 1"}));

TEST(XyzFormat, Lines) {
    const std::vector<std::string_view> symbols = {"H", "Fe", "Mol", ""};
    const double pos[12] = {0.0, -1.5, 0.001, 12.5, 1e17, -0.0, 1, 2, 3, std::numeric_limits<double>::quiet_NaN(), 0, 0};
    quorvel::StringSink sink;
    ASSERT_TRUE(ql::format_xyz_block(symbols, View2<double>::dense(pos, 4, 3), sink).has_value());
    const std::string text = sink.take();
    const std::string l0 = "H       0.000000000000000     -1.500000000000000      0.001000000000000\n";
    EXPECT_EQ(l0.size(), 72u);
    const std::string l1 = "Fe     12.500000000000000 100000000000000000.000000000000000     -0.000000000000000\n";
    const std::string l2 = "Mol      1.000000000000000      2.000000000000000      3.000000000000000\n";
    const std::string l3 = "   " + std::string(19, ' ') + "NaN      0.000000000000000      0.000000000000000\n";
    EXPECT_EQ(text, l0 + l1 + l2 + l3);
}

TEST(XyzFormat, ShapeRules) {
    const double pos[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<std::string_view> one = {"H"};
    quorvel::StringSink s1;
    EXPECT_EQ(error_of(ql::format_xyz_block(one, View2<double>::dense(pos, 2, 3), s1)),
              "format_xyz_block_rs: symbols length (1) != positions rows (2)");
    quorvel::StringSink s2;
    EXPECT_EQ(error_of(ql::format_xyz_block({}, View2<double>::dense(pos, 1, 3), s2)),
              "format_xyz_block_rs: symbols length (0) != positions rows (1)");
    quorvel::StringSink s3;
    ASSERT_TRUE(ql::format_xyz_block({}, View2<double>::dense(pos, 0, 2), s3).has_value());
    EXPECT_EQ(s3.take(), "");
    quorvel::StringSink s4;
    expect_panic(ql::format_xyz_block(one, View2<double>::dense(pos, 1, 2), s4));
    quorvel::StringSink s5;
    ASSERT_TRUE(ql::format_xyz_block(one, View2<double>::dense(pos, 1, 4), s5).has_value());
    EXPECT_EQ(s5.take(), "H       1.000000000000000      2.000000000000000      3.000000000000000\n");
}

TEST(Xyz, RoundTrip) {
    std::mt19937_64 rng(11);
    const char* names[] = {"H", "He", "Fe", "C", "Uuo"};
    std::vector<std::string_view> symbols;
    std::vector<double> pos;
    for (int i = 0; i < 300; ++i) {
        symbols.emplace_back(names[rng() % 5]);
        for (int c = 0; c < 3; ++c) {
            pos.push_back(static_cast<double>(static_cast<int64_t>(rng() % 200000000000000) - 100000000000000) / 1e12);
        }
    }
    quorvel::StringSink sink;
    ASSERT_TRUE(ql::format_xyz_block(symbols, View2<double>::dense(pos.data(), 300, 3), sink).has_value());
    const std::string text = sink.take();
    std::vector<std::string> lines;
    for (std::size_t b = 0, e; (e = text.find('\n', b)) != std::string::npos; b = e + 1) {
        lines.push_back(text.substr(b, e - b + 1));
    }
    const auto r = ql::parse_xyz_block(views(lines));
    ASSERT_TRUE(r.has_value());
    for (std::size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(r->symbol(i), symbols[i] == "Uuo" ? "Uuo" : symbols[i]);
        for (std::size_t c = 0; c < 3; ++c) ASSERT_EQ(r->positions[3 * i + c], pos[3 * i + c]);
    }
}
