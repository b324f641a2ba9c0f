// Native tests of the cell-list search core: the numeric building blocks
// that Python cannot reach directly, a random comparison with a brute-force
// reference, and bit-identity across the instruction-set levels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cell_list.hpp"
#include "cell_list_detail.hpp"

namespace {

namespace px = quorvel::proxor;
namespace pd = quorvel::proxor::detail;
using quorvel::View2;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Saturating conversions.

struct U64Case {
    double x;
    uint64_t expected;
};

class UnsignedConversion : public testing::TestWithParam<U64Case> {};

TEST_P(UnsignedConversion, TruncatesAndSaturates) {
    EXPECT_EQ(pd::to_u64_saturating(GetParam().x), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, UnsignedConversion, testing::Values(
    U64Case{0.0, 0}, U64Case{-0.0, 0}, U64Case{0.999, 0}, U64Case{1.0, 1}, U64Case{33.9, 33},
    U64Case{-0.5, 0}, U64Case{-1e300, 0}, U64Case{kNaN, 0}, U64Case{-kInf, 0},
    U64Case{kInf, UINT64_MAX}, U64Case{18446744073709551616.0, UINT64_MAX},
    U64Case{18446744073709549568.0, 18446744073709549568ull},  // largest double below 2^64
    U64Case{9007199254740993.0, 9007199254740992ull}));

struct I64Case {
    double x;
    int64_t expected;
};

class SignedConversion : public testing::TestWithParam<I64Case> {};

TEST_P(SignedConversion, TruncatesAndSaturates) {
    EXPECT_EQ(pd::to_i64_saturating(GetParam().x), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SignedConversion, testing::Values(
    I64Case{0.0, 0}, I64Case{2.7, 2}, I64Case{-2.7, -2}, I64Case{kNaN, 0},
    I64Case{kInf, INT64_MAX}, I64Case{-kInf, INT64_MIN}, I64Case{9223372036854775808.0, INT64_MAX},
    I64Case{-9223372036854775808.0, INT64_MIN}, I64Case{-9223372036854777856.0, INT64_MIN},
    I64Case{9223372036854774784.0, 9223372036854774784ll}));

// ---------------------------------------------------------------------------
// Euclidean division: remainder in [0, n) also for negative values and for
// counts beyond the signed range.

struct DivCase {
    int64_t v;
    uint64_t n;
    int64_t q;
    uint64_t r;
};

class Euclid : public testing::TestWithParam<DivCase> {};

TEST_P(Euclid, QuotientAndRemainder) {
    const DivCase c = GetParam();
    const pd::EuclidDiv e = pd::euclid_div(c.v, c.n);
    EXPECT_EQ(e.quotient, c.q);
    EXPECT_EQ(e.remainder, c.r);
}

INSTANTIATE_TEST_SUITE_P(Table, Euclid, testing::Values(
    DivCase{5, 4, 1, 1}, DivCase{4, 4, 1, 0}, DivCase{3, 4, 0, 3}, DivCase{0, 4, 0, 0},
    DivCase{-1, 4, -1, 3}, DivCase{-4, 4, -1, 0}, DivCase{-5, 4, -2, 3}, DivCase{-9, 4, -3, 3},
    DivCase{-1, 1, -1, 0}, DivCase{7, 1, 7, 0}, DivCase{100, 7, 14, 2}, DivCase{-100, 7, -15, 5},
    DivCase{INT64_MAX, 2, INT64_MAX / 2, 1}, DivCase{INT64_MIN, 3, -3074457345618258603ll, 1},
    DivCase{-1, UINT64_MAX, -1, UINT64_MAX - 1}, DivCase{INT64_MIN, uint64_t{1} << 63, -1, 0},
    DivCase{INT64_MAX, UINT64_MAX, 0, static_cast<uint64_t>(INT64_MAX)}));

// ---------------------------------------------------------------------------
// Bin counts, the halving cap and search ranges.

using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 cube(double a) { return Mat3{{{a, 0, 0}, {0, a, 0}, {0, 0, a}}}; }

struct PlanCase {
    const char* name;
    Mat3 cell;
    std::array<bool, 3> pbc;
    double cutoff;
    uint64_t max_nbins;
    std::array<uint64_t, 3> n;
    std::array<uint64_t, 3> r;
};

class Plan : public testing::TestWithParam<PlanCase> {};

std::string plan_name(const testing::TestParamInfo<PlanCase>& p) { return p.param.name; }

TEST_P(Plan, CountsAndRanges) {
    const PlanCase& c = GetParam();
    const pd::BinPlan plan = pd::plan_bins(c.cell, c.pbc, c.cutoff, c.max_nbins);
    EXPECT_EQ(plan.n, c.n);
    EXPECT_EQ(plan.r, c.r);
}

constexpr std::array<bool, 3> kPeriodic{true, true, true};
constexpr std::array<bool, 3> kOpen{false, false, false};

INSTANTIATE_TEST_SUITE_P(Table, Plan, testing::Values(
    PlanCase{"cube100", cube(100.0), kPeriodic, 1.0, 1000000, {33, 33, 33}, {1, 1, 1}},
    // 33^3 > 1000 -> 16^3 = 4096 > 1000 -> 8^3 = 512.
    PlanCase{"halved_twice", cube(100.0), kPeriodic, 1.0, 1000, {8, 8, 8}, {1, 1, 1}},
    PlanCase{"cap_one", cube(100.0), kPeriodic, 1.0, 1, {1, 1, 1}, {1, 1, 1}},
    PlanCase{"cap_zero_is_one", cube(100.0), kPeriodic, 1.0, 0, {1, 1, 1}, {1, 1, 1}},
    // Counts already at 1 stay at 1 while the others halve.
    PlanCase{"uneven", Mat3{{{300, 0, 0}, {0, 3, 0}, {0, 0, 3}}}, kPeriodic, 3.0, 30, {25, 1, 1}, {1, 1, 1}},
    PlanCase{"small_periodic", cube(2.0), kPeriodic, 2.5, 1000000, {1, 1, 1}, {2, 2, 2}},
    PlanCase{"small_open", cube(2.0), kOpen, 2.5, 1000000, {1, 1, 1}, {0, 0, 0}},
    PlanCase{"nan_cutoff_uses_3", cube(10.0), kPeriodic, kNaN, 1000000, {3, 3, 3}, {1, 1, 1}},
    PlanCase{"negative_cutoff_uses_3", cube(10.0), kPeriodic, -7.0, 1000000, {3, 3, 3}, {1, 1, 1}},
    PlanCase{"infinite_cutoff", cube(10.0), kPeriodic, kInf, 1000000, {1, 1, 1},
             {UINT64_MAX, UINT64_MAX, UINT64_MAX}},
    // Zero height along periodic axis 2: an unbounded range. The other two
    // heights are 0/0 = NaN, which give range 0.
    PlanCase{"flat_cell", Mat3{{{10, 0, 0}, {0, 10, 0}, {0, 0, 0}}}, kPeriodic, 2.0, 1000000,
             {1, 1, 1}, {0, 0, UINT64_MAX}},
    PlanCase{"flat_open_axis", Mat3{{{10, 0, 0}, {0, 10, 0}, {0, 0, 0}}}, {true, true, false}, 2.0, 1000000,
             {1, 1, 1}, {0, 0, 0}}),
    plan_name);

TEST(Plan, ProductIsExactWithoutWrapAround) {
    // 2^32 * 2^32 * 2 wraps to 0 in 64 bits.
    EXPECT_TRUE(pd::product_exceeds({uint64_t{1} << 32, uint64_t{1} << 32, 2}, UINT64_MAX));
    EXPECT_TRUE(pd::product_exceeds({UINT64_MAX, UINT64_MAX, UINT64_MAX}, UINT64_MAX));
    EXPECT_FALSE(pd::product_exceeds({UINT64_MAX, 1, 1}, UINT64_MAX));
    EXPECT_FALSE(pd::product_exceeds({10, 10, 10}, 1000));
    EXPECT_TRUE(pd::product_exceeds({10, 10, 11}, 1000));
}

TEST(Plan, HugeCellHalvesDownToTheCap) {
    const pd::BinPlan plan = pd::plan_bins(cube(1e30), kPeriodic, 5.0, 1000000);
    // 2^64 - 1 halves to 2^k - 1; 127^3 > 10^6 >= 63^3.
    EXPECT_EQ(plan.n, (std::array<uint64_t, 3>{63, 63, 63}));
}

// ---------------------------------------------------------------------------
// The singular-cell message.

struct MessageCase {
    double det;
    const char* text;
};

class SingularMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(SingularMessage, ScientificWithThreeDecimals) {
    EXPECT_EQ(pd::singular_cell_message(GetParam().det),
              std::string("Cell matrix is singular (det = ") + GetParam().text +
                  "). Cannot compute scaled positions.");
}

INSTANTIATE_TEST_SUITE_P(Table, SingularMessage, testing::Values(
    MessageCase{0.0, "0.000e0"}, MessageCase{-0.0, "-0.000e0"}, MessageCase{-2.5e-16, "-2.500e-16"},
    MessageCase{9.9996e-16, "1.000e-15"}, MessageCase{1.23449e-16, "1.234e-16"},
    MessageCase{1.23451e-16, "1.235e-16"}, MessageCase{5e-324, "4.941e-324"},
    MessageCase{-7.77e-100, "-7.770e-100"}, MessageCase{1e-15, "1.000e-15"},
    MessageCase{3.0, "3.000e0"}, MessageCase{12346.0, "1.235e4"}, MessageCase{-1e300, "-1.000e300"}));

TEST(SingularCell, ReportedByTheSearch) {
    const double zero[9] = {};
    const double pos[3] = {0.0, 0.0, 0.0};
    auto r = px::build_neighbor_list({.pbc = {false, false, false},
                                      .cell = View2<double>::dense(zero, 3, 3),
                                      .positions = View2<double>::dense(pos, 1, 3),
                                      .cutoff = 2.0,
                                      .max_nbins = 1000000,
                                      .cancel = {}});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, quorvel::Failure::Kind::value_error);
    EXPECT_EQ(r.error().message, "Cell matrix is singular (det = 0.000e0). Cannot compute scaled positions.");
}

// ---------------------------------------------------------------------------
// Random comparison with a brute-force reference, on every instruction set.

struct Config {
    std::array<bool, 3> pbc;
    std::vector<double> cell;  // 3x3 row-major
    std::vector<double> pos;   // N x 3
    double cutoff;
    bool self_interaction;
};

Config random_config(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Config c;
    for (auto& p : c.pbc) p = u(rng) < 0.6;
    c.cell.resize(9);
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t k = 0; k < 3; ++k) {
            c.cell[3 * r + k] = (r == k ? 2.0 + 6.0 * u(rng) : 0.0) + (u(rng) - 0.5) * 2.0;
        }
    }
    const std::size_t n = 1 + static_cast<std::size_t>(u(rng) * 40);
    for (std::size_t a = 0; a < n; ++a) {
        const double s[3] = {u(rng) * 1.6 - 0.3, u(rng) * 1.6 - 0.3, u(rng) * 1.6 - 0.3};
        for (std::size_t k = 0; k < 3; ++k) {
            c.pos.push_back((s[0] * c.cell[k] + s[1] * c.cell[3 + k]) + s[2] * c.cell[6 + k]);
        }
    }
    c.cutoff = 0.5 + 6.0 * u(rng);
    c.self_interaction = u(rng) < 0.3;
    return c;
}

using Key = std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t>;

// All pairs over a box of images wide enough for the cutoff; image 0 only
// along open axes. The operation order here is the obvious one; the
// search's result is compared by set and by closeness.
std::set<Key> brute_force(const Config& c) {
    const std::size_t n = c.pos.size() / 3;
    int64_t reach = 1;
    {
        // Images needed: cutoff over the smallest cell height, plus slack for
        // atoms outside the cell.
        const double* a = c.cell.data();
        const double* b = a + 3;
        const double* d = a + 6;
        const double bc[3] = {b[1] * d[2] - b[2] * d[1], b[2] * d[0] - b[0] * d[2], b[0] * d[1] - b[1] * d[0]};
        const double ca[3] = {d[1] * a[2] - d[2] * a[1], d[2] * a[0] - d[0] * a[2], d[0] * a[1] - d[1] * a[0]};
        const double ab[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
        const double vol = std::fabs(a[0] * bc[0] + a[1] * bc[1] + a[2] * bc[2]);
        const double h = std::min({vol / std::hypot(bc[0], bc[1], bc[2]), vol / std::hypot(ca[0], ca[1], ca[2]),
                                   vol / std::hypot(ab[0], ab[1], ab[2])});
        reach = static_cast<int64_t>(std::ceil(c.cutoff / h)) + 3;
    }
    std::set<Key> out;
    const int64_t lo[3] = {c.pbc[0] ? -reach : 0, c.pbc[1] ? -reach : 0, c.pbc[2] ? -reach : 0};
    for (int64_t s0 = lo[0]; s0 <= -lo[0]; ++s0) {
        for (int64_t s1 = lo[1]; s1 <= -lo[1]; ++s1) {
            for (int64_t s2 = lo[2]; s2 <= -lo[2]; ++s2) {
                for (std::size_t i = 0; i < n; ++i) {
                    for (std::size_t j = 0; j < n; ++j) {
                        if (i == j && s0 == 0 && s1 == 0 && s2 == 0 && !c.self_interaction) continue;
                        double q = 0.0;
                        for (std::size_t k = 0; k < 3; ++k) {
                            const double dk = c.pos[3 * j + k] - c.pos[3 * i + k] +
                                              static_cast<double>(s0) * c.cell[k] +
                                              static_cast<double>(s1) * c.cell[3 + k] +
                                              static_cast<double>(s2) * c.cell[6 + k];
                            q += dk * dk;
                        }
                        // Pairs right at the cutoff may fall either way with
                        // another operation order; the configurations are
                        // random, so ties have probability zero.
                        if (q < c.cutoff * c.cutoff) {
                            out.insert({static_cast<int64_t>(i), static_cast<int64_t>(j), s0, s1, s2});
                        }
                    }
                }
            }
        }
    }
    return out;
}

px::NeighborList run(const Config& c, pd::Simd level, uint64_t max_nbins = 1000000) {
    auto r = pd::build_neighbor_list_on(
        level, {.pbc = c.pbc,
                .cell = View2<double>::dense(c.cell.data(), 3, 3),
                .positions = View2<double>::dense(c.pos.data(), static_cast<int64_t>(c.pos.size() / 3), 3),
                .cutoff = c.cutoff,
                .self_interaction = c.self_interaction,
                .max_nbins = max_nbins,
                .cancel = {}});
    EXPECT_TRUE(r.has_value());
    return r.has_value() ? std::move(*r) : px::NeighborList::with_count(0);
}

std::set<Key> keys_of(const px::NeighborList& l) {
    std::set<Key> out;
    for (std::size_t m = 0; m < l.count; ++m) {
        out.insert({l.i[m], l.j[m], l.S[3 * m], l.S[3 * m + 1], l.S[3 * m + 2]});
    }
    return out;
}

TEST(RandomConfigurations, MatchBruteForce) {
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 150; ++trial) {
        const Config c = random_config(rng);
        const px::NeighborList l = run(c, pd::Simd::scalar);
        const std::set<Key> got = keys_of(l);
        ASSERT_EQ(got.size(), l.count) << "duplicate pairs in trial " << trial;
        ASSERT_EQ(got, brute_force(c)) << "trial " << trial;
        for (std::size_t m = 0; m < l.count; ++m) {
            double q = 0.0;
            for (std::size_t k = 0; k < 3; ++k) {
                const auto i = static_cast<std::size_t>(l.i[m]);
                const auto j = static_cast<std::size_t>(l.j[m]);
                double shift = 0.0;
                for (std::size_t r = 0; r < 3; ++r) shift += static_cast<double>(l.S[3 * m + r]) * c.cell[3 * r + k];
                EXPECT_NEAR(l.D[3 * m + k], c.pos[3 * j + k] - c.pos[3 * i + k] + shift, 1e-12);
                q += l.D[3 * m + k] * l.D[3 * m + k];
            }
            EXPECT_NEAR(l.d[m], std::sqrt(q), 1e-12);
            if (m > 0) {
                EXPECT_LE(l.i[m - 1], l.i[m]);
            }
        }
    }
}

TEST(RandomConfigurations, SingleBinGivesTheSameSet) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 60; ++trial) {
        const Config c = random_config(rng);
        EXPECT_EQ(keys_of(run(c, pd::best_simd(), 1)), keys_of(run(c, pd::best_simd()))) << trial;
    }
}

// Every level must give the scalar loop's pairs bit for bit, in order.
class SimdLevels : public testing::TestWithParam<pd::Simd> {};

TEST_P(SimdLevels, BitIdenticalToScalar) {
    if (!pd::simd_supported(GetParam())) {
        GTEST_SKIP() << pd::simd_name(GetParam()) << " kernel not run: this CPU lacks "
                     << pd::simd_feature(GetParam());
    }
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 120; ++trial) {
        Config c = random_config(rng);
        if (trial % 3 != 2) {
            // Denser systems fill whole vectors and the tail masks; with atoms
            // outside the cell, bins hold atoms of several wrap offsets.
            std::uniform_real_distribution<double> u(trial % 3 == 0 ? 0.0 : -0.4, trial % 3 == 0 ? 1.0 : 1.4);
            for (int extra = 0; extra < 200; ++extra) {
                for (std::size_t k = 0; k < 3; ++k) c.pos.push_back(u(rng) * c.cell[4 * k]);
            }
        }
        const px::NeighborList a = run(c, pd::Simd::scalar);
        const px::NeighborList b = run(c, GetParam());
        ASSERT_EQ(a.count, b.count) << trial;
        for (std::size_t m = 0; m < a.count; ++m) {
            ASSERT_EQ(a.i[m], b.i[m]);
            ASSERT_EQ(a.j[m], b.j[m]);
            ASSERT_EQ(std::memcmp(&a.d[m], &b.d[m], sizeof(double)), 0);
            ASSERT_EQ(std::memcmp(&a.D[3 * m], &b.D[3 * m], 3 * sizeof(double)), 0);
            ASSERT_EQ(std::memcmp(&a.S[3 * m], &b.S[3 * m], 3 * sizeof(int64_t)), 0);
        }
    }
}

std::string level_name(const testing::TestParamInfo<pd::Simd>& p) { return std::string(pd::simd_name(p.param)); }

INSTANTIATE_TEST_SUITE_P(Levels, SimdLevels,
                         testing::Values(pd::Simd::sse2, pd::Simd::avx2, pd::Simd::avx512), level_name);

// The level the public search takes is one this processor runs, and no
// supported level is better; a level that names no processor feature runs
// everywhere.
TEST(SimdChoice, BestIsTheHighestSupported) {
    const pd::Simd best = pd::best_simd();
    EXPECT_TRUE(pd::simd_supported(best));
    for (const pd::Simd level : {pd::Simd::scalar, pd::Simd::sse2, pd::Simd::avx2, pd::Simd::avx512}) {
        if (pd::simd_supported(level)) {
            EXPECT_LE(static_cast<int>(level), static_cast<int>(best)) << pd::simd_name(level);
        }
        if (pd::simd_feature(level).empty()) {
            EXPECT_TRUE(pd::simd_supported(level)) << pd::simd_name(level);
        }
    }
}

// ---------------------------------------------------------------------------
// Cancellation and grids larger than the atom count.

TEST(Cancellation, StopsAndReportsCancelled) {
    // One atom in a thin periodic cell: a long walk over images.
    const double cell[9] = {1.0, 0, 0, 0, 1.0, 0, 0, 0, 1.0};
    const double pos[3] = {0.1, 0.2, 0.3};
    int polls = 0;
    quorvel::CancelCheck check{[](void* ctx) { return ++*static_cast<int*>(ctx) >= 3; }, &polls};
    auto r = px::build_neighbor_list({.pbc = kPeriodic,
                                      .cell = View2<double>::dense(cell, 3, 3),
                                      .positions = View2<double>::dense(pos, 1, 3),
                                      .cutoff = 300.0,
                                      .max_nbins = 1000000,
                                      .cancel = check});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, quorvel::Failure::Kind::cancelled);
    EXPECT_EQ(polls, 3);
}

TEST(SparseGrid, SameResultAsDenseGrid) {
    // Two clusters far apart in a huge open cell: about a million bins for a
    // few atoms, which uses the sparse bin map.
    std::vector<double> pos;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.0, 4.0);
    for (int a = 0; a < 30; ++a) {
        const double base = a % 2 == 0 ? 10.0 : 280.0;
        for (int k = 0; k < 3; ++k) pos.push_back(base + u(rng));
    }
    const double cell[9] = {300.0, 0, 0, 0, 300.0, 0, 0, 0, 300.0};
    const auto n = static_cast<int64_t>(pos.size() / 3);
    px::SearchInputs in{.pbc = kOpen,
                        .cell = View2<double>::dense(cell, 3, 3),
                        .positions = View2<double>::dense(pos.data(), n, 3),
                        .cutoff = 2.5,
                        .max_nbins = 1000000,
                        .cancel = {}};
    auto sparse = px::build_neighbor_list(in);
    in.max_nbins = 1000;
    auto dense = px::build_neighbor_list(in);
    ASSERT_TRUE(sparse && dense);
    EXPECT_GT(sparse->count, 0u);
    EXPECT_EQ(keys_of(*sparse), keys_of(*dense));
}


// ---------------------------------------------------------------------------
// Bin origin: open axes bin from it; the pairs keep every bit.

// The flat bins of three atoms in a 9 Å cube of 3 x 3 x 3 bins.
std::vector<uint64_t> flat_bins(std::array<bool, 3> pbc, const std::array<double, 3>& origin,
                                const std::vector<double>& pos) {
    pd::Mat3 m{};
    for (std::size_t k = 0; k < 3; ++k) m[k][k] = 9.0;
    const pd::CellVectors cv = pd::cell_vectors(m);
    const pd::BinPlan plan = pd::plan_bins(m, pbc, 3.0, 1000000);
    EXPECT_EQ(plan.n[0], 3u);
    const auto a = pd::locate_atoms(View2<double>::dense(pos.data(), static_cast<int64_t>(pos.size() / 3), 3), m, cv,
                                    plan, pbc, false, origin);
    return {a.flat.data(), a.flat.data() + pos.size() / 3};
}

TEST(BinOrigin, OpenAxesBinFromIt) {
    const std::vector<double> pos = {-4.0, -4.0, -4.0, 0.5, 0.5, 0.5, 4.0, -1.0, 2.0};
    // Without an origin the negative coordinates pile into the first bins.
    EXPECT_EQ(flat_bins(kOpen, {0.0, 0.0, 0.0}, pos), (std::vector<uint64_t>{0, 0, 1 + 0 * 3 + 0 * 9}));
    EXPECT_EQ(flat_bins(kOpen, {-0.0, 0.0, -0.0}, pos), flat_bins(kOpen, {0.0, 0.0, 0.0}, pos));
    // From -4.5 (the atoms' box) they spread: bin floor((x + 4.5) / 3).
    EXPECT_EQ(flat_bins(kOpen, {-4.5, -4.5, -4.5}, pos),
              (std::vector<uint64_t>{0, 1 + 1 * 3 + 1 * 9, 2 + 1 * 3 + 2 * 9}));
    // A periodic axis wraps as before, whatever the origin says.
    const std::array<bool, 3> mixed = {true, false, false};
    EXPECT_EQ(flat_bins(mixed, {-4.5, -4.5, -4.5}, pos),
              (std::vector<uint64_t>{1 + 0 * 3 + 0 * 9, 0 + 1 * 3 + 1 * 9, 1 + 1 * 3 + 2 * 9}));
}

// (i, j, S) with the bits of d and D.
using BitsKey = std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t, uint64_t, uint64_t, uint64_t, uint64_t>;

std::vector<BitsKey> pairs_with_bits(const px::NeighborList& l) {
    const auto bits = [](double x) {
        uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        return b;
    };
    std::vector<BitsKey> out;
    for (std::size_t m = 0; m < l.count; ++m) {
        out.emplace_back(l.i[m], l.j[m], l.S[3 * m], l.S[3 * m + 1], l.S[3 * m + 2], bits(l.d[m]),
                         bits(l.D[3 * m]), bits(l.D[3 * m + 1]), bits(l.D[3 * m + 2]));
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(BinOrigin, MovesNoPair) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int trial = 0; trial < 80; ++trial) {
        Config c = random_config(rng);
        // Centred atoms in every other trial: most fall below the cell.
        if (trial % 2 == 1) {
            for (double& x : c.pos) x -= 0.5 * (c.cell[0] + c.cell[4] + c.cell[8]) / 3.0;
        }
        px::SearchInputs in{.pbc = c.pbc,
                            .cell = View2<double>::dense(c.cell.data(), 3, 3),
                            .positions = View2<double>::dense(c.pos.data(), static_cast<int64_t>(c.pos.size() / 3), 3),
                            .cutoff = c.cutoff,
                            .self_interaction = c.self_interaction,
                            .max_nbins = 1000000,
                            .cancel = {}};
        auto zero = px::build_neighbor_list(in);
        ASSERT_TRUE(zero.has_value());
        const std::vector<BitsKey> want = pairs_with_bits(*zero);
        for (const std::array<double, 3> origin : {std::array<double, 3>{-6.0 * u(rng) - 3.0, 8.0 * u(rng), -4.0},
                                                   std::array<double, 3>{1e3 * u(rng), 1e3 * u(rng), 1e3 * u(rng)}}) {
            in.bin_origin = origin;
            auto moved = px::build_neighbor_list(in);
            ASSERT_TRUE(moved.has_value());
            EXPECT_EQ(pairs_with_bits(*moved), want) << "trial " << trial;
            for (std::size_t m = 1; m < moved->count; ++m) EXPECT_LE(moved->i[m - 1], moved->i[m]);
        }
    }
}

}  // namespace
