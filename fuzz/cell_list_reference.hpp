// The cell-list fuzzer's references: a slow, bin-free replay of the
// search's binning and pair rules, the radii and element-pair filters over
// its pairs, and a brute-force enumeration of the periodic images closer than
// the cutoff. Independent of the search's own code.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "blocks.hpp"
#include "quorvel/native/failure.hpp"
#include "quorvel/native/views.hpp"

namespace fz::cell {

using quorvel::Failure;
using quorvel::View1;
using quorvel::View2;

__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

// Reference work per search, in candidate pair tests; larger systems are skipped.
constexpr double k_work_limit = 40000.0;

struct Pair {
    int64_t i, j;
    double d;
    std::array<double, 3> D;
    std::array<int64_t, 3> S;
};

struct Outcome {
    std::optional<Failure> failure;  // kind and message only
    std::vector<Pair> pairs;
};

// ---------------------------------------------------------------------------
// The system.

struct System {
    std::array<bool, 3> pbc{};
    bool self_interaction = false;
    bool scaled = false;
    uint64_t max_nbins = 0;
    bool tame = true;  // finite, moderate values: the brute-force scan applies
    fz::Matrix<double> cell;
    fz::Matrix<double> positions;
    int64_t atoms = 0;
};

inline uint64_t U(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

inline int64_t I(double x) {
    if (x != x) return 0;
    if (x >= 9223372036854775808.0) return INT64_MAX;
    if (x < -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(x);
}

// Euclidean division of v by n >= 1.
inline std::pair<i128, i128> euclid(i128 v, i128 n) {
    i128 q = v / n;
    i128 r = v - q * n;
    if (r < 0) {
        r += n;
        q -= 1;
    }
    return {q, r};
}

struct Geometry {
    double m[3][3];
    double bc[3], ca[3], ab[3];
    double det;
    double h[3];
};

inline double norm3(const double x[3]) { return std::sqrt((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]); }

inline Geometry geometry(const View2<double>& cell) {
    Geometry g{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) g.m[r][c] = cell.at(r, c);
    const double* a = g.m[0];
    const double* b = g.m[1];
    const double* c = g.m[2];
    g.bc[0] = b[1] * c[2] - b[2] * c[1];
    g.bc[1] = b[2] * c[0] - b[0] * c[2];
    g.bc[2] = b[0] * c[1] - b[1] * c[0];
    g.ca[0] = c[1] * a[2] - c[2] * a[1];
    g.ca[1] = c[2] * a[0] - c[0] * a[2];
    g.ca[2] = c[0] * a[1] - c[1] * a[0];
    g.ab[0] = a[1] * b[2] - a[2] * b[1];
    g.ab[1] = a[2] * b[0] - a[0] * b[2];
    g.ab[2] = a[0] * b[1] - a[1] * b[0];
    g.det = (a[0] * g.bc[0] + a[1] * g.bc[1]) + a[2] * g.bc[2];
    const double v = std::fabs(g.det);
    g.h[0] = v / norm3(g.bc);
    g.h[1] = v / norm3(g.ca);
    g.h[2] = v / norm3(g.ab);
    return g;
}

struct Plan {
    uint64_t n[3];
    uint64_t r[3];
    double w;
};

inline Plan plan_for(const Geometry& g, const std::array<bool, 3>& pbc, double cutoff, uint64_t max_nbins) {
    Plan p{};
    p.w = cutoff > 3.0 ? cutoff : 3.0;  // NaN gives 3.0
    for (int k = 0; k < 3; ++k) p.n[k] = std::max<uint64_t>(1, U(g.h[k] / p.w));
    // A cap of 0 cannot be met; it is taken as 1 (the open choice the core makes).
    const uint64_t limit = std::max<uint64_t>(max_nbins, 1);
    const auto exceeds = [&] {
        const u128 p01 = static_cast<u128>(p.n[0]) * p.n[1];
        return p01 > limit || p01 * p.n[2] > limit;
    };
    while (exceeds())
        for (auto& n : p.n) n = std::max<uint64_t>(1, n / 2);
    for (int k = 0; k < 3; ++k) {
        p.r[k] = U(std::ceil((static_cast<double>(p.n[k]) * p.w) / g.h[k]));
        if (!pbc[k] && p.n[k] == 1) p.r[k] = 0;
    }
    return p;
}

inline bool huge_range(const Plan& p) {
    return p.r[0] >= (uint64_t{1} << 63) || p.r[1] >= (uint64_t{1} << 63) || p.r[2] >= (uint64_t{1} << 63);
}

inline double offsets(const Plan& p) {
    return (2.0 * static_cast<double>(p.r[0]) + 1) * (2.0 * static_cast<double>(p.r[1]) + 1) *
           (2.0 * static_cast<double>(p.r[2]) + 1);
}

inline std::string singular_message(double det) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3e", det);
    const std::string s = buf;
    const std::size_t e = s.find('e');
    return "Cell matrix is singular (det = " + s.substr(0, e) + "e" + std::to_string(std::atoi(s.c_str() + e + 1)) +
           "). Cannot compute scaled positions.";
}

struct Atom {
    double x[3];
    double s[3];
    int64_t g[3];
    int64_t o[3];
};

struct Reference {
    Outcome outcome;
    bool skipped = false;
    std::vector<Atom> atoms;
    Geometry geo{};
    Plan plan{};
};

// Steps of the search as the design gives them, without bins: each atom's
// bin and wrap offset, then for every atom i, every offset (d2, d1, d0) and
// every atom j of the neighbor bin in index order, the pair test.
inline Reference reference(const System& sys, double cutoff) {
    Reference ref;
    const auto& cell = sys.cell.view;
    const auto& pos = sys.positions.view;
    if (pos.rows <= 0) return ref;
    if (cell.rows < 3 || cell.cols < 3) {
        ref.outcome.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0, {}};
        return ref;
    }
    ref.geo = geometry(cell);
    const Geometry& g = ref.geo;
    if (!sys.scaled && std::fabs(g.det) < 1e-15) {
        ref.outcome.failure = Failure{Failure::Kind::value_error, singular_message(g.det), "", 0, {}};
        return ref;
    }
    if (pos.cols < 3) {
        ref.outcome.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0, {}};
        return ref;
    }
    ref.plan = plan_for(g, sys.pbc, cutoff, sys.max_nbins);
    const Plan& p = ref.plan;
    if (huge_range(p)) return ref;
    const auto n_atoms = static_cast<std::size_t>(pos.rows);
    if (offsets(p) * static_cast<double>(n_atoms * n_atoms) > k_work_limit) {
        ref.skipped = true;
        return ref;
    }

    const double inv = 1.0 / g.det;
    double X[3], Y[3], Z[3];
    for (int k = 0; k < 3; ++k) {
        X[k] = g.bc[k] * inv;
        Y[k] = g.ca[k] * inv;
        Z[k] = g.ab[k] * inv;
    }
    for (std::size_t a = 0; a < n_atoms; ++a) {
        Atom t{};
        const auto row = static_cast<int64_t>(a);
        const double q[3] = {pos.at(row, 0), pos.at(row, 1), pos.at(row, 2)};
        if (sys.scaled) {
            for (int k = 0; k < 3; ++k) {
                t.s[k] = q[k];
                t.x[k] = ((q[0] * g.m[0][k] + 0.0) + q[1] * g.m[1][k]) + q[2] * g.m[2][k];
            }
        } else {
            for (int k = 0; k < 3; ++k) t.x[k] = q[k];
            t.s[0] = (q[0] * X[0] + q[1] * X[1]) + q[2] * X[2];
            t.s[1] = (q[0] * Y[0] + q[1] * Y[1]) + q[2] * Y[2];
            t.s[2] = (q[0] * Z[0] + q[1] * Z[1]) + q[2] * Z[2];
        }
        for (int k = 0; k < 3; ++k) {
            const int64_t v = I(std::floor(static_cast<double>(p.n[k]) * t.s[k]));
            const auto n = static_cast<i128>(p.n[k]);
            if (sys.pbc[k]) {
                const auto [quot, rem] = euclid(v, n);
                t.g[k] = static_cast<int64_t>(rem);
                t.o[k] = static_cast<int64_t>(quot);
            } else {
                t.g[k] = static_cast<int64_t>(std::clamp<i128>(v, 0, n - 1));
                t.o[k] = 0;
            }
        }
        ref.atoms.push_back(t);
    }

    const double cc = cutoff * cutoff;
    const auto r = [&](int k) { return static_cast<int64_t>(p.r[k]); };
    for (std::size_t i = 0; i < n_atoms; ++i) {
        const Atom& ai = ref.atoms[i];
        for (int64_t d2 = -r(2); d2 <= r(2); ++d2)
            for (int64_t d1 = -r(1); d1 <= r(1); ++d1)
                for (int64_t d0 = -r(0); d0 <= r(0); ++d0) {
                    const int64_t delta[3] = {d0, d1, d2};
                    int64_t nb[3], t[3];
                    for (int k = 0; k < 3; ++k) {
                        const auto [quot, rem] = euclid(static_cast<i128>(ai.g[k]) + delta[k], p.n[k]);
                        nb[k] = static_cast<int64_t>(rem);
                        t[k] = static_cast<int64_t>(quot);
                    }
                    for (std::size_t j = 0; j < n_atoms; ++j) {
                        const Atom& aj = ref.atoms[j];
                        if (aj.g[0] != nb[0] || aj.g[1] != nb[1] || aj.g[2] != nb[2]) continue;
                        std::array<int64_t, 3> S;
                        bool rejected = false;
                        for (int k = 0; k < 3; ++k) {
                            // Offsets that overflow 64 bits wrap, as the core's do.
                            S[k] = static_cast<int64_t>(static_cast<uint64_t>(ai.o[k]) + static_cast<uint64_t>(t[k]) -
                                                        static_cast<uint64_t>(aj.o[k]));
                            if (!sys.pbc[k] && S[k] != 0) rejected = true;
                        }
                        if (rejected) continue;
                        if (i == j && S[0] == 0 && S[1] == 0 && S[2] == 0 && !sys.self_interaction) continue;
                        std::array<double, 3> D;
                        for (int k = 0; k < 3; ++k) {
                            D[k] = (aj.x[k] - ai.x[k]) + ((static_cast<double>(S[0]) * g.m[0][k] +
                                                           static_cast<double>(S[1]) * g.m[1][k]) +
                                                          static_cast<double>(S[2]) * g.m[2][k]);
                        }
                        const double q = (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2];
                        if (q < cc)
                            ref.outcome.pairs.push_back(
                                Pair{static_cast<int64_t>(i), static_cast<int64_t>(j), std::sqrt(q), D, S});
                    }
                }
    }
    return ref;
}

inline std::string explain(const System& sys, const Reference& ref) {
    std::string s;
    char buf[512];
    const Geometry& g = ref.geo;
    std::snprintf(buf, sizeof buf, "pbc %d%d%d scaled %d cap %llu w %.17g\n", sys.pbc[0], sys.pbc[1], sys.pbc[2],
                  sys.scaled, static_cast<unsigned long long>(sys.max_nbins), ref.plan.w);
    s += buf;
    for (int k = 0; k < 3; ++k) {
        std::snprintf(buf, sizeof buf, "cell %.17g %.17g %.17g | h %.17g n %llu r %llu\n", g.m[k][0], g.m[k][1],
                      g.m[k][2], g.h[k], static_cast<unsigned long long>(ref.plan.n[k]),
                      static_cast<unsigned long long>(ref.plan.r[k]));
        s += buf;
    }
    for (std::size_t a = 0; a < ref.atoms.size(); ++a) {
        const Atom& t = ref.atoms[a];
        std::snprintf(buf, sizeof buf, "atom %zu x %.17g %.17g %.17g s %.17g %.17g %.17g g %lld %lld %lld o %lld %lld %lld\n",
                      a, t.x[0], t.x[1], t.x[2], t.s[0], t.s[1], t.s[2], (long long)t.g[0], (long long)t.g[1],
                      (long long)t.g[2], (long long)t.o[0], (long long)t.o[1], (long long)t.o[2]);
        s += buf;
    }
    return s;
}

// ---------------------------------------------------------------------------
// The filters of the radii and element-pair variants.

// The search radius of the radii variant: twice the largest radius.
inline double largest_radius_doubled(const std::vector<double>& radii) {
    double largest = -INFINITY;
    for (const double r : radii)
        if (r > largest) largest = r;
    return largest + largest;
}

// The pairs of the scalar search (at largest_radius_doubled) that the radii
// variant keeps, or its failure. `L` radii cover atoms 0..L-1.
inline Outcome filter_radii(const Outcome& scalar, const std::vector<double>& radii) {
    const auto L = static_cast<int64_t>(radii.size());
    Outcome want;
    want.failure = scalar.failure;
    if (want.failure) return want;
    for (const Pair& p : scalar.pairs) {
        if (p.i >= L || p.j >= L) {
            want.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0, {}};
            want.pairs.clear();
            break;
        }
        if (radii[static_cast<std::size_t>(p.i)] + radii[static_cast<std::size_t>(p.j)] > p.d) want.pairs.push_back(p);
    }
    return want;
}

// The search radius of the element-pair variant: the largest value, NaN
// once a value is NaN.
inline double largest_value(const std::vector<double>& values) {
    double radius = -INFINITY;
    for (const double v : values)
        if (std::isnan(radius) || v > radius) radius = v;
    return radius;
}

// The pairs of the scalar search (at largest_value) that the element-pair
// variant keeps, or its failure.
inline Outcome filter_pairs(const Outcome& scalar, const std::vector<int64_t>& zi, const std::vector<int64_t>& zj,
                            const std::vector<double>& cv, const std::vector<int64_t>& numbers) {
    const auto n_numbers = static_cast<int64_t>(numbers.size());
    Outcome want;
    want.failure = scalar.failure;
    if (want.failure) return want;
    std::map<std::pair<int64_t, int64_t>, double> table;
    for (std::size_t t = 0; t < zi.size() && !want.failure; ++t) {
        if (t >= zj.size() || t >= cv.size()) {
            want.failure = Failure{Failure::Kind::panic,
                                   "index out of bounds: the len is " + std::to_string(t) + " but the index is " +
                                       std::to_string(t),
                                   "", 0, {}};
            break;
        }
        table[{zi[t], zj[t]}] = cv[t];
        table[{zj[t], zi[t]}] = cv[t];
    }
    for (const Pair& p : scalar.pairs) {
        if (want.failure) break;
        if (p.i >= n_numbers || p.j >= n_numbers) {
            want.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0, {}};
            break;
        }
        const auto it = table.find({numbers[static_cast<std::size_t>(p.i)], numbers[static_cast<std::size_t>(p.j)]});
        if (it != table.end() && it->second > p.d) want.pairs.push_back(p);
    }
    if (want.failure) want.pairs.clear();
    return want;
}

// ---------------------------------------------------------------------------
// Brute force over periodic images.

// A periodic image (i, j, S) of an atom pair, clearly inside the cutoff.
struct Image {
    int64_t i, j;
    std::array<int64_t, 3> S;
    double d;
};

// Every image of every atom pair within reach of the cutoff, in a tame
// system: the search must find each one that is clearly inside. Nothing when
// the scan does not apply (wild geometry, too much work).
inline std::optional<std::vector<Image>> images_inside(const System& sys, const Reference& ref, double cutoff) {
    if (!sys.tame || !(cutoff > 0.0) || !std::isfinite(cutoff) || cutoff > ref.plan.w) return std::nullopt;
    const Geometry& g = ref.geo;
    // The face-distance bound behind the scan needs heights that mean
    // something: a nearly flat cell has heights made of rounding noise.
    const double la = norm3(g.m[0]), lb = norm3(g.m[1]), lc = norm3(g.m[2]);
    if (!(std::fabs(g.det) >= 1e-6 * ((la * lb) * lc))) return std::nullopt;
    long double images = 1;
    int64_t lo_span[3];
    for (int k = 0; k < 3; ++k) {
        if (!sys.pbc[k]) continue;
        if (!(g.h[k] > 0.0) || !std::isfinite(g.h[k])) return std::nullopt;
        lo_span[k] = static_cast<int64_t>(std::ceil(cutoff / g.h[k])) + 4;
        images *= 2 * lo_span[k] + 1;
    }
    const auto n = ref.atoms.size();
    if (images * n * n > k_work_limit) return std::nullopt;
    std::vector<Image> out;
    const double inside = cutoff * cutoff * (1.0 - 1e-9);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            int64_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
            for (int k = 0; k < 3; ++k) {
                if (!sys.pbc[k]) continue;
                const double centre = std::round(ref.atoms[i].s[k] - ref.atoms[j].s[k]);
                if (!(std::fabs(centre) < 1e6)) return out;
                lo[k] = static_cast<int64_t>(centre) - lo_span[k];
                hi[k] = static_cast<int64_t>(centre) + lo_span[k];
            }
            for (int64_t s2 = lo[2]; s2 <= hi[2]; ++s2)
                for (int64_t s1 = lo[1]; s1 <= hi[1]; ++s1)
                    for (int64_t s0 = lo[0]; s0 <= hi[0]; ++s0) {
                        if (i == j && s0 == 0 && s1 == 0 && s2 == 0 && !sys.self_interaction) continue;
                        const double S[3] = {static_cast<double>(s0), static_cast<double>(s1), static_cast<double>(s2)};
                        double D[3];
                        for (int k = 0; k < 3; ++k)
                            D[k] = (ref.atoms[j].x[k] - ref.atoms[i].x[k]) +
                                   ((S[0] * g.m[0][k] + S[1] * g.m[1][k]) + S[2] * g.m[2][k]);
                        const double q = (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2];
                        if (q < inside)
                            out.push_back(Image{static_cast<int64_t>(i), static_cast<int64_t>(j), {s0, s1, s2},
                                                std::sqrt(q)});
                    }
        }
    return out;
}

}  // namespace fz::cell
