// The sinks of the search other than the five-array list: chosen arrays,
// per-atom counts and distance histograms, each behind the pair filter
// (half lists, per-atom radii, element-pair cutoffs). The search loop hands
// every pair that passes its own test to the sink's writer, in the list's
// order; a writer keeps what its filter accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cell_list_detail.hpp"
#include "engine.hpp"

namespace quorvel::proxor::detail {

// A pair's acceptance beyond d < search cutoff, decided exactly as the
// filters of filters.cpp decide on the full list. Indices are the
// structure's own atom indices.
struct PairFilter {
    enum class Kind : uint8_t { none, radii, table };
    Kind kind = Kind::none;
    // Each unordered pair once: i < j, or i == j with S lexicographically
    // positive (its first non-zero component positive).
    bool half = false;
    const double* radii = nullptr;        // per atom (kind radii)
    const uint32_t* species = nullptr;    // per atom, a row of the table (kind table)
    const double* table = nullptr;        // kinds x kinds cutoffs, NaN keeps nothing
    std::size_t kinds = 0;

    [[nodiscard]] bool trivial() const noexcept { return kind == Kind::none && !half; }

    // Written without data-dependent branches: about half the pairs of a
    // half list are dropped, in no predictable pattern.
    [[nodiscard]] bool keeps(int64_t i, int64_t j, double d, int64_t s0, int64_t s1, int64_t s2) const noexcept {
        bool keep = true;
        if (half) {
            const bool positive = s0 != 0 ? s0 > 0 : s1 != 0 ? s1 > 0 : s2 > 0;
            keep = (i < j) | ((i == j) & positive);
        }
        switch (kind) {
            case Kind::none:
                break;
            case Kind::radii:
                keep &= radii[i] + radii[j] > d;
                break;
            case Kind::table:
                keep &= table[species[i] * kinds + species[j]] > d;
                break;
        }
        return keep;
    }
};

// Writes the chosen arrays of the kept pairs; unchosen pointers are null.
// `base` is added to i and j (a batch numbers the atoms of all structures).
struct ChosenWriter {
    int64_t* i = nullptr;
    int64_t* j = nullptr;
    double* d = nullptr;
    double* D = nullptr;
    int64_t* S = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;
    PairFilter filter;
    int64_t base = 0;

    void push(int64_t pi, int64_t pj, double dist, double dx, double dy, double dz, int64_t s0, int64_t s1,
              int64_t s2) noexcept {
        if (!filter.keeps(pi, pj, dist, s0, s1, s2)) return;
        const std::size_t c = count++;
        if (i != nullptr) i[c] = pi + base;
        if (j != nullptr) j[c] = pj + base;
        if (d != nullptr) d[c] = dist;
        if (D != nullptr) {
            D[3 * c] = dx;
            D[3 * c + 1] = dy;
            D[3 * c + 2] = dz;
        }
        if (S != nullptr) {
            S[3 * c] = s0;
            S[3 * c + 1] = s1;
            S[3 * c + 2] = s2;
        }
    }
};

// Fills the chosen arrays of a part of the list (one thread's center atoms
// or structures), growing them as the search needs.
class ChosenSink {
public:
    ChosenSink(PairArrays& out, std::size_t capacity);
    // Writes from pair `start` of arrays already sized for every pair that
    // will be written (counted by an earlier pass): never grows, and several
    // sinks may share the arrays, each with its own range of pairs.
    struct Fixed {};
    ChosenSink(PairArrays& out, std::size_t start, Fixed) noexcept
        : out_(out), capacity_(SIZE_MAX), start_(start), fixed_(true) {}
    [[nodiscard]] ChosenWriter writer() noexcept;
    void grow(ChosenWriter& w, std::size_t extra);
    // The writer's final count becomes the arrays' count (not trimmed);
    // nothing for a fixed sink.
    void settle(std::size_t count) noexcept {
        if (!fixed_) out_.count = count;
    }

    PairFilter filter;
    int64_t base = 0;

private:
    PairArrays& out_;
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;
    bool fixed_ = false;
};

// Counts the kept pairs per center atom into counts[i]. Without a filter a
// vector's accepted lanes are counted at once.
struct CountWriter {
    int64_t* counts = nullptr;
    std::size_t count = 0;
    std::size_t capacity = SIZE_MAX;
    PairFilter filter;

    [[nodiscard]] bool counts_lanes() const noexcept { return filter.trivial(); }
    void add_lanes(int64_t i, unsigned mask) noexcept {
        const auto n = static_cast<unsigned>(__builtin_popcount(mask));
        counts[i] += n;
        count += n;
    }
    void push(int64_t pi, int64_t pj, double dist, double, double, double, int64_t s0, int64_t s1,
              int64_t s2) noexcept {
        const int64_t keep = filter.keeps(pi, pj, dist, s0, s1, s2) ? 1 : 0;
        counts[pi] += keep;
        count += static_cast<std::size_t>(keep);
    }
};

struct CountSink {
    CountWriter w;
    [[nodiscard]] CountWriter writer() const noexcept { return w; }
    void grow(CountWriter&, std::size_t) noexcept {}
};

// Adds each kept pair with d < rmax to bin floor(d * scale), scale = bins /
// rmax, of its class: types[i] * ntypes + types[j] (class 0 without types).
// A bin number of `bins` or more (rounding at the top edge) counts nowhere.
struct HistogramWriter {
    int64_t* hist = nullptr;  // classes x bins
    std::size_t bins = 0;
    double rmax = 0.0;
    double scale = 0.0;
    double bins_f = 0.0;  // bins, as a double
    const uint32_t* types = nullptr;
    std::size_t ntypes = 1;
    std::size_t count = 0;
    std::size_t capacity = SIZE_MAX;
    PairFilter filter;

    void push(int64_t pi, int64_t pj, double dist, double, double, double, int64_t s0, int64_t s1,
              int64_t s2) noexcept {
        // Branch-free: whether a pair counts is no predictable pattern.
        // floor(x) < bins exactly when x < bins.
        const double x = dist * scale;
        const bool keep = (dist < rmax) & (x < bins_f) & filter.keeps(pi, pj, dist, s0, s1, s2);
        const std::size_t b = keep ? static_cast<std::size_t>(x) : 0;
        const std::size_t cls = types == nullptr ? 0 : types[pi] * ntypes + types[pj];
        hist[cls * bins + b] += keep ? 1 : 0;
        count += keep ? 1 : 0;
    }
};

struct HistogramSink {
    HistogramWriter w;
    [[nodiscard]] HistogramWriter writer() const noexcept { return w; }
    void grow(HistogramWriter&, std::size_t) noexcept {}
};

// The search over center atoms first..last-1 into one of the sinks above,
// on one instruction set; returns the final count, SIZE_MAX when cancelled.
template <class Sink>
using RangeFn = std::size_t (*)(const SearchGrid&, Sink&, std::size_t, std::size_t, const CancelCheck&);
template <class Sink>
[[nodiscard]] RangeFn<Sink> range_function(Simd level) noexcept;

}  // namespace quorvel::proxor::detail
