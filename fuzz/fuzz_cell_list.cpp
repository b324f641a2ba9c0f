// The cell-list search on small hostile systems.
//
// A system is decoded from the input: 0-12 atoms, a cell that may be
// triclinic, thin, degenerate or made of raw doubles, mixed periodicity,
// positions inside and outside the cell (Cartesian or scaled), a cutoff
// relative to the smallest cell height (or NaN, infinite, negative, zero, or
// exactly a pair distance), optional self interaction and a small cap on the
// bin count. The search (every instruction-set level) must agree bit for bit
// and in order with a slow reference of the binning and pair rules, every
// pair must come with its mirror pair, and, where the geometry is tame, a
// brute-force scan over all periodic images must find nothing the search
// misses. The radii and element-pair variants are checked as filters of the
// scalar search at their own search radius.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "blocks.hpp"
#include "cell_list.hpp"
#include "cell_list_detail.hpp"

namespace {

using quorvel::Failure;
using quorvel::View1;
using quorvel::View2;
using quorvel::proxor::NeighborList;

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

std::string describe(const Pair& p) {
    return "(i=" + std::to_string(p.i) + " j=" + std::to_string(p.j) + " S=" + std::to_string(p.S[0]) + "," +
           std::to_string(p.S[1]) + "," + std::to_string(p.S[2]) + " d=" + fz::show(p.d) + ")";
}

bool same_pair(const Pair& a, const Pair& b) {
    return a.i == b.i && a.j == b.j && a.S == b.S && fz::same(a.d, b.d) && fz::same(a.D[0], b.D[0]) &&
           fz::same(a.D[1], b.D[1]) && fz::same(a.D[2], b.D[2]);
}

Outcome outcome_of(const quorvel::Result<NeighborList>& r) {
    Outcome out;
    if (!r) {
        out.failure = Failure{r.error().kind, r.error().message, "", 0};
        return out;
    }
    const NeighborList& l = *r;
    FZ_CHECK(l.i.size() == l.count && l.j.size() == l.count && l.d.size() == l.count && l.D.size() == 3 * l.count &&
                 l.S.size() == 3 * l.count,
             "buffer sizes do not match the pair count");
    for (std::size_t m = 0; m < l.count; ++m) {
        out.pairs.push_back(Pair{l.i[m], l.j[m], l.d[m], {l.D[3 * m], l.D[3 * m + 1], l.D[3 * m + 2]},
                                 {l.S[3 * m], l.S[3 * m + 1], l.S[3 * m + 2]}});
    }
    return out;
}

std::string describe(const Outcome& o) {
    if (o.failure) return fz::failure_text(*o.failure);
    return std::to_string(o.pairs.size()) + " pairs";
}

void check_same(const Outcome& got, const Outcome& want, const std::string& what) {
    if (want.failure || got.failure) {
        FZ_CHECK(got.failure && want.failure && got.failure->kind == want.failure->kind &&
                     got.failure->message == want.failure->message,
                 what + ": got " + describe(got) + ", want " + describe(want));
        return;
    }
    const std::size_t n = std::min(got.pairs.size(), want.pairs.size());
    for (std::size_t m = 0; m < n; ++m) {
        FZ_CHECK(same_pair(got.pairs[m], want.pairs[m]), what + ": pair " + std::to_string(m) + " is " +
                                                             describe(got.pairs[m]) + ", want " +
                                                             describe(want.pairs[m]));
    }
    FZ_CHECK(got.pairs.size() == want.pairs.size(),
             what + ": " + std::to_string(got.pairs.size()) + " pairs, want " + std::to_string(want.pairs.size()) +
                 (got.pairs.size() > n ? "; first extra " + describe(got.pairs[n])
                                       : "; first missing " + describe(want.pairs[n])));
}

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

uint64_t U(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

int64_t I(double x) {
    if (x != x) return 0;
    if (x >= 9223372036854775808.0) return INT64_MAX;
    if (x < -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(x);
}

// Euclidean division of v by n >= 1.
std::pair<i128, i128> euclid(i128 v, i128 n) {
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

double norm3(const double x[3]) { return std::sqrt((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]); }

Geometry geometry(const View2<double>& cell) {
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

Plan plan_for(const Geometry& g, const std::array<bool, 3>& pbc, double cutoff, uint64_t max_nbins) {
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

bool huge_range(const Plan& p) {
    return p.r[0] >= (uint64_t{1} << 63) || p.r[1] >= (uint64_t{1} << 63) || p.r[2] >= (uint64_t{1} << 63);
}

double offsets(const Plan& p) {
    return (2.0 * static_cast<double>(p.r[0]) + 1) * (2.0 * static_cast<double>(p.r[1]) + 1) *
           (2.0 * static_cast<double>(p.r[2]) + 1);
}

std::string singular_message(double det) {
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
Reference reference(const System& sys, double cutoff) {
    Reference ref;
    const auto& cell = sys.cell.view;
    const auto& pos = sys.positions.view;
    if (pos.rows <= 0) return ref;
    if (cell.rows < 3 || cell.cols < 3) {
        ref.outcome.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0};
        return ref;
    }
    ref.geo = geometry(cell);
    const Geometry& g = ref.geo;
    if (!sys.scaled && std::fabs(g.det) < 1e-15) {
        ref.outcome.failure = Failure{Failure::Kind::value_error, singular_message(g.det), "", 0};
        return ref;
    }
    if (pos.cols < 3) {
        ref.outcome.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0};
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

std::string explain(const System& sys, const Reference& ref) {
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

// Every image of every atom pair within reach of the cutoff, in a tame
// system: the search must have found each one that is clearly inside.
void brute_force_scan(const System& sys, const Reference& ref, double cutoff) {
    if (!sys.tame || !(cutoff > 0.0) || !std::isfinite(cutoff) || cutoff > ref.plan.w) return;
    const Geometry& g = ref.geo;
    // The face-distance bound behind the scan needs heights that mean
    // something: a nearly flat cell has heights made of rounding noise.
    const double la = norm3(g.m[0]), lb = norm3(g.m[1]), lc = norm3(g.m[2]);
    if (!(std::fabs(g.det) >= 1e-6 * ((la * lb) * lc))) return;
    long double images = 1;
    int64_t lo_span[3];
    for (int k = 0; k < 3; ++k) {
        if (!sys.pbc[k]) continue;
        if (!(g.h[k] > 0.0) || !std::isfinite(g.h[k])) return;
        lo_span[k] = static_cast<int64_t>(std::ceil(cutoff / g.h[k])) + 4;
        images *= 2 * lo_span[k] + 1;
    }
    const auto n = ref.atoms.size();
    if (images * n * n > k_work_limit) return;
    std::set<std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t>> found;
    for (const Pair& p : ref.outcome.pairs) found.insert({p.i, p.j, p.S[0], p.S[1], p.S[2]});
    const double inside = cutoff * cutoff * (1.0 - 1e-9);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            int64_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
            for (int k = 0; k < 3; ++k) {
                if (!sys.pbc[k]) continue;
                const double centre = std::round(ref.atoms[i].s[k] - ref.atoms[j].s[k]);
                if (!(std::fabs(centre) < 1e6)) return;
                lo[k] = static_cast<int64_t>(centre) - lo_span[k];
                hi[k] = static_cast<int64_t>(centre) + lo_span[k];
            }
            for (int64_t s2 = lo[2]; s2 <= hi[2]; ++s2)
                for (int64_t s1 = lo[1]; s1 <= hi[1]; ++s1)
                    for (int64_t s0 = lo[0]; s0 <= hi[0]; ++s0) {
                        if (i == j && s0 == 0 && s1 == 0 && s2 == 0 && !sys.self_interaction) continue;
                        const double S[3] = {static_cast<double>(s0), static_cast<double>(s1), static_cast<double>(s2)};
                        double q = 0.0;
                        double D[3];
                        for (int k = 0; k < 3; ++k)
                            D[k] = (ref.atoms[j].x[k] - ref.atoms[i].x[k]) +
                                   ((S[0] * g.m[0][k] + S[1] * g.m[1][k]) + S[2] * g.m[2][k]);
                        q = (D[0] * D[0] + D[1] * D[1]) + D[2] * D[2];
                        if (q < inside) {
                            FZ_CHECK(found.count({static_cast<int64_t>(i), static_cast<int64_t>(j), s0, s1, s2}) != 0,
                                     "brute force: image (i=" + std::to_string(i) + " j=" + std::to_string(j) +
                                         " S=" + std::to_string(s0) + "," + std::to_string(s1) + "," +
                                         std::to_string(s2) + ") at d=" + fz::show(std::sqrt(q)) +
                                         " is closer than the cutoff " + fz::show(cutoff) + " but not searched\n" +
                                         explain(sys, ref));
                        }
                    }
        }
}

void check_mirrors(const Outcome& o) {
    std::map<std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t>, std::size_t> at;
    for (std::size_t m = 0; m < o.pairs.size(); ++m) {
        const Pair& p = o.pairs[m];
        FZ_CHECK(m == 0 || o.pairs[m - 1].i <= p.i, "pairs not in ascending i at " + std::to_string(m));
        const bool fresh = at.insert({{p.i, p.j, p.S[0], p.S[1], p.S[2]}, m}).second;
        FZ_CHECK(fresh, "pair listed twice: " + describe(p));
    }
    for (const Pair& p : o.pairs) {
        // Mirror shifts of wrapped (astronomical) offsets are not representable.
        if (p.S[0] == INT64_MIN || p.S[1] == INT64_MIN || p.S[2] == INT64_MIN) continue;
        const auto it = at.find({p.j, p.i, -p.S[0], -p.S[1], -p.S[2]});
        FZ_CHECK(it != at.end(), "no mirror of " + describe(p));
        const Pair& q = o.pairs[it->second];
        // Zero components are +0.0 both ways ((x_i - x_j) + 0.0), hence == for D.
        FZ_CHECK(fz::same(q.d, p.d) && q.D[0] == -p.D[0] && q.D[1] == -p.D[1] && q.D[2] == -p.D[2],
                 "mirror of " + describe(p) + " differs: " + describe(q));
    }
}

using quorvel::proxor::detail::Simd;

// The scalar search at `cutoff` on every instruction-set level, against the
// reference. Returns the checked outcome, or nothing when the system is too
// large for the reference.
std::optional<Outcome> check_scalar(const System& sys, double cutoff) {
    const Reference ref = reference(sys, cutoff);
    if (ref.skipped) return std::nullopt;
    const auto run = [&](std::optional<Simd> level) {
        if (!level)
            return outcome_of(quorvel::proxor::build_neighbor_list(sys.pbc, sys.cell.view, sys.positions.view, cutoff,
                                                                   sys.self_interaction, sys.scaled, sys.max_nbins));
        return outcome_of(quorvel::proxor::detail::build_neighbor_list_on(*level, sys.pbc, sys.cell.view,
                                                                          sys.positions.view, cutoff,
                                                                          sys.self_interaction, sys.scaled,
                                                                          sys.max_nbins, {}));
    };
    const Outcome got = run(std::nullopt);
    check_same(got, ref.outcome, "build_neighbor_list at cutoff " + fz::show(cutoff));
    for (const Simd level : {Simd::scalar, Simd::sse2, Simd::avx2, Simd::avx512}) {
        if (!quorvel::proxor::detail::simd_supported(level)) continue;
        check_same(run(level), ref.outcome,
                   "build_neighbor_list_on(level " + std::to_string(static_cast<int>(level)) + ")");
    }
    if (!got.failure) {
        check_mirrors(got);
        if (!ref.atoms.empty()) brute_force_scan(sys, ref, cutoff);
    }
    return got;
}

// ---------------------------------------------------------------------------
// Decoding.

double special(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return NAN;
        case 1: return INFINITY;
        case 2: return -INFINITY;
        case 3: return 0.0;
        case 4: return -0.0;
        default: return in.ConsumeFloatingPoint<double>();
    }
}

System decode(FuzzedDataProvider& in, double& cutoff, double& h_ref) {
    System sys;
    const auto atoms = in.ConsumeIntegralInRange<int64_t>(0, 12);
    const auto bits = in.ConsumeIntegral<uint8_t>();
    for (int k = 0; k < 3; ++k) sys.pbc[static_cast<std::size_t>(k)] = ((bits >> k) & 1u) != 0;
    sys.self_interaction = (bits & 8u) != 0;
    sys.scaled = (bits & 16u) != 0;
    const unsigned layout = bits >> 5;
    static constexpr uint64_t k_caps[10] = {0, 1, 2, 3, 8, 27, 64, 1000, 1000000, 100000000};
    const auto cap = in.ConsumeIntegralInRange<unsigned>(0, 10);
    sys.max_nbins = cap < 10 ? k_caps[cap] : in.ConsumeIntegral<uint64_t>();

    // The cell.
    double m[3][3] = {};
    const auto cell_mode = in.ConsumeIntegralInRange<int>(0, 7);
    const auto length = [&](double lo, double hi) { return in.ConsumeFloatingPointInRange<double>(lo, hi); };
    switch (cell_mode) {
        case 0:  // orthorhombic
            for (int k = 0; k < 3; ++k) m[k][k] = length(0.3, 25.0);
            break;
        case 1:  // triclinic
        case 2:
            for (int k = 0; k < 3; ++k) {
                m[k][k] = length(0.5, 20.0);
                for (int c = 0; c < 3; ++c)
                    if (c != k) m[k][c] = length(-0.7, 0.7) * m[k][k];
            }
            break;
        case 3: {  // thin along one axis
            for (int k = 0; k < 3; ++k) m[k][k] = length(2.0, 20.0);
            const int thin = in.ConsumeIntegralInRange<int>(0, 2);
            m[thin][thin] = length(1e-4, 0.5);
            if (in.ConsumeBool()) m[thin][(thin + 1) % 3] = length(-3.0, 3.0);
            break;
        }
        case 4: {  // degenerate: a zero row or two parallel rows
            for (int k = 0; k < 3; ++k)
                for (int c = 0; c < 3; ++c) m[k][c] = length(-6.0, 6.0);
            const int row = in.ConsumeIntegralInRange<int>(0, 2);
            const double f = in.ConsumeBool() ? 0.0 : length(-2.0, 2.0);
            for (int c = 0; c < 3; ++c) m[row][c] = f * m[(row + 1) % 3][c];
            break;
        }
        case 5: {  // cubic cells of the design's examples, and large ones
            static constexpr double k_edges[6] = {2.0, 10.0, 100.0, 3.0, 6.0, 1000.0};
            const double e = k_edges[in.ConsumeIntegralInRange<int>(0, 5)];
            for (int k = 0; k < 3; ++k) m[k][k] = e;
            break;
        }
        case 6:  // small integers: exact arithmetic, ties at bin edges
            for (int k = 0; k < 3; ++k)
                for (int c = 0; c < 3; ++c)
                    m[k][c] = static_cast<double>(in.ConsumeIntegralInRange<int>(k == c ? 1 : -3, k == c ? 12 : 3));
            break;
        default:  // raw doubles and specials
            sys.tame = false;
            for (int k = 0; k < 3; ++k)
                for (int c = 0; c < 3; ++c) m[k][c] = in.ConsumeBool() ? special(in) : length(-30.0, 30.0);
            break;
    }

    // Shape faults, rarely.
    int64_t cell_rows = 3, cell_cols = 3, pos_cols = 3;
    const auto shape = in.ConsumeIntegralInRange<int>(0, 31);
    if (shape == 0) cell_rows = 2;
    if (shape == 1) cell_cols = 2;
    if (shape == 2) pos_cols = 2;
    if (shape == 3) cell_rows = 4, cell_cols = 4, pos_cols = 5;  // extra rows and columns are ignored
    std::vector<double> cv;
    for (int64_t r = 0; r < cell_rows; ++r)
        for (int64_t c = 0; c < cell_cols; ++c) cv.push_back(r < 3 && c < 3 ? m[r][c] : 1e300);
    sys.cell = fz::make_matrix(cv, cell_rows, cell_cols, layout);

    const Geometry g = geometry(fz::make_matrix(std::vector<double>{m[0][0], m[0][1], m[0][2], m[1][0], m[1][1],
                                                                    m[1][2], m[2][0], m[2][1], m[2][2]},
                                                3, 3, 0)
                                    .view);
    h_ref = INFINITY;
    for (int k = 0; k < 3; ++k)
        if (g.h[k] > 0.0 && std::isfinite(g.h[k])) h_ref = std::min(h_ref, g.h[k]);
    if (!std::isfinite(h_ref)) h_ref = 1.0;

    // Positions: scaled coordinates first, some on bin edges or duplicated.
    std::vector<double> pv;
    std::vector<std::array<double, 3>> scaled;
    for (int64_t a = 0; a < atoms; ++a) {
        std::array<double, 3> s{};
        const auto mode = in.ConsumeIntegralInRange<int>(0, 7);
        for (int k = 0; k < 3; ++k) {
            switch (mode) {
                case 0:
                case 1:
                case 2:
                    s[static_cast<std::size_t>(k)] = in.ConsumeFloatingPointInRange<double>(0.0, 1.0);
                    break;
                case 3:
                    s[static_cast<std::size_t>(k)] = in.ConsumeFloatingPointInRange<double>(-2.0, 3.0);
                    break;
                case 4:  // fractions on bin edges, outside the cell too
                    s[static_cast<std::size_t>(k)] = static_cast<double>(in.ConsumeIntegralInRange<int>(-8, 16)) /
                                                     static_cast<double>(in.ConsumeIntegralInRange<int>(1, 8));
                    break;
                case 5:  // a copy of the previous atom, maybe one cell away
                    s[static_cast<std::size_t>(k)] =
                        scaled.empty() ? 0.5 : scaled.back()[static_cast<std::size_t>(k)] + in.ConsumeIntegralInRange<int>(-1, 1);
                    break;
                case 6:  // far outside the cell
                    s[static_cast<std::size_t>(k)] = in.ConsumeFloatingPointInRange<double>(-40.0, 40.0);
                    break;
                default:
                    sys.tame = false;
                    s[static_cast<std::size_t>(k)] = special(in);
                    break;
            }
        }
        scaled.push_back(s);
        for (int64_t c = 0; c < pos_cols; ++c) {
            double v = 0.0;
            if (c < 3) {
                if (sys.scaled) {
                    v = s[static_cast<std::size_t>(c)];
                } else {
                    v = s[0] * m[0][c] + s[1] * m[1][c] + s[2] * m[2][c];
                    if (mode == 7) v = s[static_cast<std::size_t>(c)];
                }
            }
            pv.push_back(v);
        }
    }
    sys.atoms = atoms;
    sys.positions = fz::make_matrix(pv, atoms, pos_cols, layout >> 1);

    // The cutoff.
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: cutoff = NAN; break;
        case 1: cutoff = in.ConsumeBool() ? INFINITY : -INFINITY; break;
        case 2: cutoff = 0.0; break;
        case 3: cutoff = -h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 2.0); break;
        case 4: cutoff = 3.0; break;
        case 5: {  // exactly the distance of atoms 0 and 1 at zero shift: the strict test
            cutoff = 1.0;
            if (atoms >= 2 && pos_cols >= 3) {
                double x[2][3];
                for (int a = 0; a < 2; ++a)
                    for (int k = 0; k < 3; ++k) {
                        const double* row = &pv[static_cast<std::size_t>(a * pos_cols)];
                        x[a][k] = sys.scaled ? ((row[0] * m[0][k] + 0.0) + row[1] * m[1][k]) + row[2] * m[2][k]
                                             : row[k];
                    }
                const double D[3] = {x[1][0] - x[0][0], x[1][1] - x[0][1], x[1][2] - x[0][2]};
                cutoff = std::sqrt((D[0] * D[0] + D[1] * D[1]) + D[2] * D[2]);
                if (in.ConsumeBool()) cutoff = std::nextafter(cutoff, INFINITY);
            }
            break;
        }
        case 6: cutoff = h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 1e-6); break;
        default: cutoff = h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 3.0); break;
    }
    return sys;
}

// ---------------------------------------------------------------------------
// The radii and element-pair variants, as filters of the scalar search.

void check_radii(const System& sys, FuzzedDataProvider& in, double h_ref) {
    int64_t L = sys.atoms;
    const auto len_mode = in.ConsumeIntegralInRange<int>(0, 7);
    if (len_mode == 0) L = 0;
    if (len_mode == 1) L = std::max<int64_t>(0, L - 1);
    if (len_mode == 2) L += 1;
    std::vector<double> radii;
    for (int64_t k = 0; k < L; ++k) {
        const auto mode = in.ConsumeIntegralInRange<int>(0, 15);
        radii.push_back(mode == 0   ? NAN
                        : mode == 1 ? -h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 1.0)
                        : mode == 2 ? 0.0
                                    : h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 1.5));
    }
    const auto m = fz::make_matrix(radii, L, 1, in.ConsumeIntegral<uint8_t>());
    const View1<double> view{m.view.data, L, m.view.row_stride};
    Outcome want;
    if (L > 0) {
        double largest = -INFINITY;
        for (const double r : radii)
            if (r > largest) largest = r;
        const auto scalar = check_scalar(sys, largest + largest);
        if (!scalar) return;  // too large a search for the reference
        want.failure = scalar->failure;
        if (!want.failure) {
            for (const Pair& p : scalar->pairs) {
                if (p.i >= L || p.j >= L) {
                    want.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0};
                    want.pairs.clear();
                    break;
                }
                if (radii[static_cast<std::size_t>(p.i)] + radii[static_cast<std::size_t>(p.j)] > p.d)
                    want.pairs.push_back(p);
            }
        }
    }
    const Outcome got = outcome_of(quorvel::proxor::build_neighbor_list_radii(
        sys.pbc, sys.cell.view, sys.positions.view, view, sys.self_interaction, sys.scaled, sys.max_nbins));
    check_same(got, want, "build_neighbor_list_radii");
}

void check_dict(const System& sys, FuzzedDataProvider& in, double h_ref) {
    const auto rows = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    std::vector<int64_t> zi, zj;
    std::vector<double> cv;
    for (std::size_t t = 0; t < rows; ++t) {
        zi.push_back(in.ConsumeIntegralInRange<int64_t>(-1, 3));
        zj.push_back(in.ConsumeIntegralInRange<int64_t>(-1, 3));
    }
    const auto value = [&] {
        const auto mode = in.ConsumeIntegralInRange<int>(0, 15);
        return mode == 0   ? NAN
               : mode == 1 ? -h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 1.0)
               : mode == 2 ? 0.0
                           : h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 2.5);
    };
    const auto shape = in.ConsumeIntegralInRange<int>(0, 9);
    std::size_t n_values = rows;
    if (shape == 0) n_values = rows + 1 + in.ConsumeIntegralInRange<std::size_t>(0, 1);  // values beyond the keys
    if (shape == 1 && rows > 0) n_values = rows - 1;                                     // too few values
    if (shape == 2 && rows > 0) zj.pop_back();                                           // too few second keys
    for (std::size_t t = 0; t < n_values; ++t) cv.push_back(value());
    int64_t n_numbers = sys.atoms;
    const auto nmode = in.ConsumeIntegralInRange<int>(0, 9);
    if (nmode == 0) n_numbers = std::max<int64_t>(0, n_numbers - 1);
    if (nmode == 1) n_numbers += 1;
    std::vector<int64_t> numbers;
    for (int64_t a = 0; a < n_numbers; ++a) numbers.push_back(in.ConsumeIntegralInRange<int64_t>(-1, 3));
    const auto nm = fz::make_matrix(numbers, n_numbers, 1, in.ConsumeIntegral<uint8_t>());
    const View1<int64_t> nview{nm.view.data, n_numbers, nm.view.row_stride};

    Outcome want;
    if (!cv.empty()) {
        double radius = -INFINITY;
        for (const double v : cv)
            if (std::isnan(radius) || v > radius) radius = v;
        const auto scalar = check_scalar(sys, radius);
        if (!scalar) return;
        want.failure = scalar->failure;
        if (!want.failure) {
            std::map<std::pair<int64_t, int64_t>, double> table;
            for (std::size_t t = 0; t < zi.size() && !want.failure; ++t) {
                if (t >= zj.size() || t >= cv.size()) {
                    want.failure = Failure{Failure::Kind::panic,
                                           "index out of bounds: the len is " + std::to_string(t) +
                                               " but the index is " + std::to_string(t),
                                           "", 0};
                    break;
                }
                table[{zi[t], zj[t]}] = cv[t];
                table[{zj[t], zi[t]}] = cv[t];
            }
            for (const Pair& p : scalar->pairs) {
                if (want.failure) break;
                if (p.i >= n_numbers || p.j >= n_numbers) {
                    want.failure = Failure{Failure::Kind::panic, "ndarray: index out of bounds", "", 0};
                    break;
                }
                const auto it = table.find({numbers[static_cast<std::size_t>(p.i)], numbers[static_cast<std::size_t>(p.j)]});
                if (it != table.end() && it->second > p.d) want.pairs.push_back(p);
            }
            if (want.failure) want.pairs.clear();
        }
    }
    const Outcome got = outcome_of(quorvel::proxor::build_neighbor_list_dict(
        sys.pbc, sys.cell.view, sys.positions.view, nview, std::span<const int64_t>(zi), std::span<const int64_t>(zj),
        std::span<const double>(cv), sys.self_interaction, sys.scaled, sys.max_nbins));
    check_same(got, want, "build_neighbor_list_dict");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    double cutoff = 0.0;
    double h_ref = 1.0;
    const System sys = decode(in, cutoff, h_ref);
    check_scalar(sys, cutoff);
    const auto variants = in.ConsumeIntegral<uint8_t>();
    if ((variants & 1u) != 0) check_radii(sys, in, h_ref);
    if ((variants & 2u) != 0) check_dict(sys, in, h_ref);
    return 0;
}
