// The cell-list search on small hostile systems (decoded by
// cell_list_input.hpp). The search (every instruction-set level) must agree
// bit for bit and in order with a slow reference of the binning and pair
// rules (cell_list_reference.hpp), every pair must come with its mirror pair,
// and, where the geometry is tame, a brute-force scan over all periodic
// images must find nothing the search misses. The radii and element-pair
// variants are checked as filters of the scalar search at their own search
// radius.
#include <fuzzer/FuzzedDataProvider.h>

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
#include "cell_list_input.hpp"
#include "cell_list_reference.hpp"

namespace {

using namespace fz::cell;
using quorvel::proxor::NeighborList;
using quorvel::proxor::SearchInputs;

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
        out.failure = Failure{r.error().kind, r.error().message, "", 0, {}};
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

// Every image the brute-force scan finds clearly inside the cutoff is in the
// search's list.
void check_images(const System& sys, const Reference& ref, double cutoff) {
    const auto images = images_inside(sys, ref, cutoff);
    if (!images) return;
    std::set<std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t>> found;
    for (const Pair& p : ref.outcome.pairs) found.insert({p.i, p.j, p.S[0], p.S[1], p.S[2]});
    for (const Image& m : *images) {
        FZ_CHECK(found.count({m.i, m.j, m.S[0], m.S[1], m.S[2]}) != 0,
                 "brute force: image (i=" + std::to_string(m.i) + " j=" + std::to_string(m.j) +
                     " S=" + std::to_string(m.S[0]) + "," + std::to_string(m.S[1]) + "," + std::to_string(m.S[2]) +
                     ") at d=" + fz::show(m.d) + " is closer than the cutoff " + fz::show(cutoff) +
                     " but not searched\n" + explain(sys, ref));
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

SearchInputs inputs_of(const System& sys, double cutoff) {
    return SearchInputs{.pbc = sys.pbc,
                        .cell = sys.cell.view,
                        .positions = sys.positions.view,
                        .cutoff = cutoff,
                        .self_interaction = sys.self_interaction,
                        .use_scaled_positions = sys.scaled,
                        .max_nbins = sys.max_nbins,
                        .cancel = {}};
}

// The scalar search at `cutoff` on every instruction-set level, against the
// reference. Returns the checked outcome, or nothing when the system is too
// large for the reference.
std::optional<Outcome> check_scalar(const System& sys, double cutoff) {
    const Reference ref = reference(sys, cutoff);
    if (ref.skipped) return std::nullopt;
    const SearchInputs inputs = inputs_of(sys, cutoff);
    const auto run = [&](std::optional<Simd> level) {
        if (!level) return outcome_of(quorvel::proxor::build_neighbor_list(inputs));
        return outcome_of(quorvel::proxor::detail::build_neighbor_list_on(*level, inputs));
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
        if (!ref.atoms.empty()) check_images(sys, ref, cutoff);
    }
    return got;
}

void check_radii(const System& sys, FuzzedDataProvider& in, double h_ref) {
    const RadiiInput r = decode_radii(in, sys, h_ref);
    Outcome want;
    if (!r.radii.empty()) {
        const auto scalar = check_scalar(sys, largest_radius_doubled(r.radii));
        if (!scalar) return;  // too large a search for the reference
        want = filter_radii(*scalar, r.radii);
    }
    const Outcome got = outcome_of(quorvel::proxor::build_neighbor_list_radii(inputs_of(sys, 0.0), r.view));
    check_same(got, want, "build_neighbor_list_radii");
}

void check_dict(const System& sys, FuzzedDataProvider& in, double h_ref) {
    const TableInput t = decode_table(in, sys, h_ref);
    Outcome want;
    if (!t.values.empty()) {
        const auto scalar = check_scalar(sys, largest_value(t.values));
        if (!scalar) return;
        want = filter_pairs(*scalar, t.zi, t.zj, t.values, t.numbers);
    }
    const Outcome got = outcome_of(quorvel::proxor::build_neighbor_list_dict(
        inputs_of(sys, 0.0), t.view, std::span<const int64_t>(t.zi), std::span<const int64_t>(t.zj),
        std::span<const double>(t.values)));
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
