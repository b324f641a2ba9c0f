// Native tests of the search's sinks on several threads: each result equals,
// bit for bit and in order, the one-thread five-array list filtered here.
// Built also under ThreadSanitizer (make test-tsan).
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "cell_list.hpp"
#include "engine.hpp"
#include "parallel.hpp"

namespace {

namespace px = quorvel::proxor;
namespace pd = quorvel::proxor::detail;
using quorvel::View1;
using quorvel::View2;

// A random triclinic cell with mixed periodicity, atoms partly outside it
// and cutoffs up to about twice its size.
struct System {
    std::array<bool, 3> pbc{};
    std::vector<double> cell;
    std::vector<double> pos;
    double cutoff = 0.0;
    bool self_interaction = false;

    [[nodiscard]] px::SearchInputs inputs(quorvel::CancelCheck cancel = {}) const {
        return {.pbc = pbc,
                .cell = View2<double>::dense(cell.data(), 3, 3),
                .positions = View2<double>::dense(pos.data(), static_cast<int64_t>(pos.size() / 3), 3),
                .cutoff = cutoff,
                .self_interaction = self_interaction,
                .max_nbins = 1000000,
                .cancel = cancel};
    }
    [[nodiscard]] std::size_t atoms() const { return pos.size() / 3; }
};

System random_system(std::mt19937_64& rng, int atoms) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    System s;
    s.cell.assign(9, 0.0);
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) s.cell[3 * r + c] = (r == c ? 3.0 + 4.0 * u(rng) : 0.0) + 3.0 * u(rng) - 1.5;
        s.pbc[r] = u(rng) < 0.6;
    }
    for (int a = 0; a < atoms; ++a) {
        double f[3];
        for (double& x : f) x = -0.4 + 1.8 * u(rng);
        for (std::size_t c = 0; c < 3; ++c) s.pos.push_back(f[0] * s.cell[c] + f[1] * s.cell[3 + c] + f[2] * s.cell[6 + c]);
    }
    const bool large = u(rng) < 0.25;
    s.cutoff = large ? 6.0 + 6.0 * u(rng) : 0.5 + 2.5 * u(rng);
    s.self_interaction = u(rng) < 0.3;
    return s;
}

px::NeighborList full_list(const System& s) {
    auto r = px::build_neighbor_list(s.inputs());
    EXPECT_TRUE(r.has_value());
    return r ? std::move(*r) : px::NeighborList::with_count(0);
}

bool positive_shift(const int64_t* S) { return S[0] != 0 ? S[0] > 0 : S[1] != 0 ? S[1] > 0 : S[2] > 0; }

// The pairs of `full` that `keep(m)` accepts must be those of `got`, in
// order, bit for bit, in every chosen array.
// A batch's structure starts at pair `at` and is followed by others.
template <class Keep>
void expect_filtered(const px::NeighborList& full, const px::PairArrays& got, Keep keep, int64_t base = 0,
                     std::size_t at = 0, bool whole = true) {
    std::size_t n = at;
    for (std::size_t m = 0; m < full.count; ++m) {
        if (!keep(m)) continue;
        ASSERT_LT(n, got.count);
        if (got.fields & px::k_field_i) {
            ASSERT_EQ(got.i[n], full.i[m] + base) << m;
        }
        if (got.fields & px::k_field_j) {
            ASSERT_EQ(got.j[n], full.j[m] + base) << m;
        }
        if (got.fields & px::k_field_d) {
            ASSERT_EQ(std::memcmp(&got.d[n], &full.d[m], 8), 0) << m;
        }
        if (got.fields & px::k_field_D) {
            ASSERT_EQ(std::memcmp(&got.D[3 * n], &full.D[3 * m], 24), 0) << m;
        }
        if (got.fields & px::k_field_S) {
            ASSERT_EQ(std::memcmp(&got.S[3 * n], &full.S[3 * m], 24), 0) << m;
        }
        ++n;
    }
    if (whole) {
        EXPECT_EQ(n, got.count);
    }
}

class Threaded : public testing::TestWithParam<unsigned> {
protected:
    [[nodiscard]] px::Threads threads() const { return {.count = GetParam(), .min_atoms = 1}; }
};

TEST_P(Threaded, ChosenArraysAndHalfListsFilterTheFullList) {
    std::mt19937_64 rng(1234 + GetParam());
    for (int trial = 0; trial < 40; ++trial) {
        const System s = random_system(rng, 1 + trial * 7);
        const px::NeighborList full = full_list(s);
        const unsigned fields = trial % 4 == 0 ? px::k_all_fields : 1u + static_cast<unsigned>(rng() % 31);
        for (const bool half : {false, true}) {
            auto got = px::find_pairs(s.inputs(), {}, fields, half, threads());
            ASSERT_TRUE(got.has_value()) << trial;
            ASSERT_EQ(got->fields, fields);
            expect_filtered(full, *got, [&](std::size_t m) {
                return !half || full.i[m] < full.j[m] || (full.i[m] == full.j[m] && positive_shift(&full.S[3 * m]));
            });
        }
    }
}

TEST_P(Threaded, RadiiAndElementPairsMatchTheirSearches) {
    std::mt19937_64 rng(77 + GetParam());
    std::uniform_real_distribution<double> u(0.0, 1.5);
    for (int trial = 0; trial < 30; ++trial) {
        const System s = random_system(rng, 5 + trial * 5);
        std::vector<double> radii(s.atoms());
        for (double& r : radii) r = u(rng);
        const View1<double> rv{reinterpret_cast<const char*>(radii.data()), static_cast<int64_t>(radii.size()), 8};
        auto ref = px::build_neighbor_list_radii(s.inputs(), rv);
        ASSERT_TRUE(ref.has_value());
        auto got = px::find_pairs(s.inputs(), px::Cutoffs{.kind = px::Cutoffs::Kind::radii, .radii = rv, .numbers = {}, .zi_keys = {}, .zj_keys = {}, .cutoff_vals = {}}, px::k_all_fields, false,
                                  threads());
        ASSERT_TRUE(got.has_value());
        expect_filtered(*ref, *got, [](std::size_t) { return true; });

        std::vector<int64_t> numbers(s.atoms());
        for (int64_t& z : numbers) z = 1 + static_cast<int64_t>(rng() % 3);
        const std::vector<int64_t> zi{1, 1, 2};
        const std::vector<int64_t> zj{1, 2, 2};
        const std::vector<double> vals{u(rng) * 2, u(rng) * 2, u(rng) * 2};
        const View1<int64_t> nv{reinterpret_cast<const char*>(numbers.data()), static_cast<int64_t>(numbers.size()), 8};
        auto ref2 = px::build_neighbor_list_dict(s.inputs(), nv, zi, zj, vals);
        ASSERT_TRUE(ref2.has_value());
        const px::Cutoffs table{.kind = px::Cutoffs::Kind::element_pairs,
                                .radii = {},
                                .numbers = nv,
                                .zi_keys = zi,
                                .zj_keys = zj,
                                .cutoff_vals = vals};
        auto got2 = px::find_pairs(s.inputs(), table, px::k_all_fields, false, threads());
        ASSERT_TRUE(got2.has_value());
        expect_filtered(*ref2, *got2, [](std::size_t) { return true; });

        // Counts under the same filter: the full filtered list's i, counted.
        auto counts = px::count_neighbors(s.inputs(), table, threads());
        ASSERT_TRUE(counts.has_value());
        std::vector<int64_t> expected(s.atoms(), 0);
        for (std::size_t m = 0; m < ref2->count; ++m) ++expected[static_cast<std::size_t>(ref2->i[m])];
        EXPECT_EQ(std::vector<int64_t>(counts->data(), counts->data() + s.atoms()), expected) << trial;
    }
}

TEST_P(Threaded, CountsAndHistogramsMatchTheFullList) {
    std::mt19937_64 rng(5 + GetParam());
    for (int trial = 0; trial < 30; ++trial) {
        const System s = random_system(rng, 3 + trial * 9);
        const px::NeighborList full = full_list(s);
        auto counts = px::count_neighbors(s.inputs(), {}, threads());
        ASSERT_TRUE(counts.has_value());
        std::vector<int64_t> expected(s.atoms(), 0);
        for (std::size_t m = 0; m < full.count; ++m) ++expected[static_cast<std::size_t>(full.i[m])];
        EXPECT_EQ(std::vector<int64_t>(counts->data(), counts->data() + s.atoms()), expected) << trial;

        // Two types; the histogram reaches a little less far than the search.
        std::vector<int64_t> types(s.atoms());
        for (std::size_t a = 0; a < types.size(); ++a) types[a] = static_cast<int64_t>(a % 2);
        const std::size_t bins = 1 + rng() % 50;
        const double rmax = s.cutoff * 0.9;
        px::SearchInputs in = s.inputs();
        in.cutoff = rmax;
        const px::HistogramBins histogram{.rmax = rmax,
                                     .bins = bins,
                                     .types = {reinterpret_cast<const char*>(types.data()), static_cast<int64_t>(types.size()), 8},
                                     .ntypes = 2,
                                     .half = true};
        auto hist = px::distance_histogram(in, {}, histogram, threads());
        ASSERT_TRUE(hist.has_value());
        std::vector<int64_t> want(4 * bins, 0);
        const double scale = static_cast<double>(bins) / rmax;
        for (std::size_t m = 0; m < full.count; ++m) {
            const int64_t i = full.i[m];
            const int64_t j = full.j[m];
            if (!(i < j || (i == j && positive_shift(&full.S[3 * m]))) || !(full.d[m] < rmax)) continue;
            const auto b = static_cast<std::size_t>(std::floor(full.d[m] * scale));
            if (b < bins) ++want[static_cast<std::size_t>(types[static_cast<std::size_t>(i)] * 2 + types[static_cast<std::size_t>(j)]) * bins + b];
        }
        EXPECT_EQ(std::vector<int64_t>(hist->data(), hist->data() + 4 * bins), want) << trial;
    }
}

TEST_P(Threaded, BatchesEqualOneSearchPerStructure) {
    std::mt19937_64 rng(31 + GetParam());
    std::vector<System> systems;
    for (int b = 0; b < 23; ++b) systems.push_back(random_system(rng, b % 5 == 0 ? 0 : 1 + b * 3));
    std::vector<uint8_t> pbc;
    std::vector<double> cells;
    std::vector<double> pos;
    std::vector<int64_t> offsets{0};
    const double cutoff = 2.5;
    for (System& s : systems) {
        s.cutoff = cutoff;
        s.self_interaction = false;
        for (const bool p : s.pbc) pbc.push_back(p ? 1 : 0);
        cells.insert(cells.end(), s.cell.begin(), s.cell.end());
        pos.insert(pos.end(), s.pos.begin(), s.pos.end());
        offsets.push_back(offsets.back() + static_cast<int64_t>(s.atoms()));
    }
    const auto batch = static_cast<int64_t>(systems.size());
    const px::BatchInputs in{
        .pbc = {reinterpret_cast<const char*>(pbc.data()), batch, 3, 3, 1},
        .cells = View2<double>::dense(cells.data(), 3 * batch, 3),
        .positions = View2<double>::dense(pos.data(), offsets.back(), 3),
        .atom_offsets = {reinterpret_cast<const char*>(offsets.data()), batch + 1, 8},
        .cutoff = cutoff,
        .max_nbins = 1000000,
        .cancel = {},
    };
    for (const bool half : {false, true}) {
        auto got = px::find_batch_pairs(in, px::k_all_fields, half, threads());
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(got->pair_offsets[0], 0);
        for (std::size_t b = 0; b < systems.size(); ++b) {
            const px::NeighborList full = full_list(systems[b]);
            const auto at = static_cast<std::size_t>(got->pair_offsets[b]);
            std::size_t kept = 0;
            expect_filtered(
                full, got->pairs,
                [&](std::size_t m) {
                    const bool k = !half || full.i[m] < full.j[m] ||
                                   (full.i[m] == full.j[m] && positive_shift(&full.S[3 * m]));
                    kept += k ? 1 : 0;
                    return k;
                },
                offsets[b], at, false);
            ASSERT_EQ(static_cast<std::size_t>(got->pair_offsets[b + 1]), at + kept) << b;
        }
        EXPECT_EQ(static_cast<std::size_t>(got->pair_offsets[systems.size()]), got->pairs.count);
    }
}

TEST_P(Threaded, CancelledByTheCaller) {
    // One atom in a small periodic cell with a long cutoff: many images.
    const std::vector<double> cell{1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<double> pos;
    for (int a = 0; a < 64; ++a) {
        for (int k = 0; k < 3; ++k) pos.push_back(0.01 * a + 0.1 * k);
    }
    std::atomic<int> polls{0};
    const quorvel::CancelCheck check{[](void* c) { return ++*static_cast<std::atomic<int>*>(c) >= 2; }, &polls};
    const px::SearchInputs in{.pbc = {true, true, true},
                              .cell = View2<double>::dense(cell.data(), 3, 3),
                              .positions = View2<double>::dense(pos.data(), 64, 3),
                              .cutoff = 400.0,
                              .max_nbins = 1000000,
                              .cancel = check};
    auto r = px::count_neighbors(in, {}, threads());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, quorvel::Failure::Kind::cancelled);
    EXPECT_EQ(polls.load(), 2);
}

INSTANTIATE_TEST_SUITE_P(Counts, Threaded, testing::Values(1u, 2u, 3u, 5u));

TEST(PlanThreads, SmallInputsStayOnTheCallingThread) {
    EXPECT_EQ(pd::plan_threads(8, 100, 4096), 1u);
    EXPECT_EQ(pd::plan_threads(8, 3 * 4096, 4096), 3u);
    EXPECT_EQ(pd::plan_threads(2, 1 << 20, 4096), 2u);
    EXPECT_EQ(pd::plan_threads(0, 1 << 30, 1), pd::available_cpus());
    EXPECT_GE(pd::available_cpus(), 1u);
}

TEST(PlanThreads, AvailableCpusFollowTheAffinityMask) {
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (std::size_t c = 0; c < std::size_t{CPU_SETSIZE}; ++c) {
        if (CPU_ISSET(c, &saved)) {
            CPU_SET(c, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const unsigned pinned = pd::available_cpus();
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(pinned, 1u);
    EXPECT_LE(pd::available_cpus(), static_cast<unsigned>(CPU_COUNT(&saved)));
}

TEST(RunParallel, AWorkerExceptionArrivesAfterAllJoined) {
    std::atomic<int> finished{0};
    const auto work = [&](unsigned t, const quorvel::CancelCheck& stop) {
        if (t == 1) throw std::bad_alloc();
        // The others see the stop flag and end early.
        while (!stop()) {
        }
        ++finished;
    };
    EXPECT_THROW((void)pd::run_parallel(4, work, {}), std::bad_alloc);
    EXPECT_EQ(finished.load(), 3);
}

}  // namespace
