// Cell geometry, bin planning and the atoms' bin coordinates.
#include "geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cell_list_detail.hpp"

namespace quorvel::proxor::detail {

namespace {

[[nodiscard]] double norm(const std::array<double, 3>& x) noexcept {
    return std::sqrt((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]);
}

// I(floor(x)) without a libm call for the common range (x86-64's baseline
// has no rounding instruction); the rest takes the general route.
[[nodiscard]] inline int64_t floor_to_i64(double x) noexcept {
    if (x > -4e18 && x < 4e18) {
        auto v = static_cast<int64_t>(x);
        if (static_cast<double>(v) > x) --v;
        return v;
    }
    return to_i64_saturating(std::floor(x));
}

}  // namespace

uint64_t to_u64_saturating(double x) noexcept {
    if (!(x > 0.0)) return 0;  // NaN, zero and negative values
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

int64_t to_i64_saturating(double x) noexcept {
    if (x != x) return 0;
    if (x >= 9223372036854775808.0) return INT64_MAX;
    if (x < -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(x);
}

std::string singular_cell_message(double det) {
    // printf's %e is correctly rounded; only its exponent form differs
    // ("e-16", "e0" instead of "e-16", "e+00").
    char buf[64];
    (void)std::snprintf(buf, sizeof buf, "%.3e", det);
    std::string text(buf);
    const std::size_t e = text.find('e');
    std::string number = text.substr(0, e);
    if (e != std::string::npos) {
        std::size_t k = e + 1;
        bool negative = false;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) {
            negative = text[k] == '-';
            ++k;
        }
        while (k + 1 < text.size() && text[k] == '0') ++k;
        number += 'e';
        if (negative) number += '-';
        number += text.substr(k);
    }
    return "Cell matrix is singular (det = " + number + "). Cannot compute scaled positions.";
}

CellVectors cell_vectors(const Mat3& m) noexcept {
    const auto& a = m[0];
    const auto& b = m[1];
    const auto& c = m[2];
    CellVectors v{};
    v.bc = {b[1] * c[2] - b[2] * c[1], b[2] * c[0] - b[0] * c[2], b[0] * c[1] - b[1] * c[0]};
    v.ca = {c[1] * a[2] - c[2] * a[1], c[2] * a[0] - c[0] * a[2], c[0] * a[1] - c[1] * a[0]};
    v.ab = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    v.det = (a[0] * v.bc[0] + a[1] * v.bc[1]) + a[2] * v.bc[2];
    return v;
}

bool product_exceeds(const std::array<uint64_t, 3>& n, uint64_t limit) noexcept {
    __extension__ typedef unsigned __int128 uint128;
    const uint128 p01 = static_cast<uint128>(n[0]) * n[1];
    if (p01 > limit) return true;
    // p01 < 2^64 here, so the product with n[2] fits in 128 bits.
    return p01 * n[2] > limit;
}

BinPlan plan_bins(const Mat3& cell, std::array<bool, 3> pbc, double cutoff, uint64_t max_nbins) noexcept {
    BinPlan plan;
    const CellVectors v = cell_vectors(cell);
    plan.det = v.det;
    const double volume = std::fabs(v.det);
    plan.heights = {volume / norm(v.bc), volume / norm(v.ca), volume / norm(v.ab)};
    // NaN compares false, so a NaN cutoff takes the 3.0 floor as well.
    const double w = cutoff > 3.0 ? cutoff : 3.0;
    plan.bin_size = w;
    for (std::size_t k = 0; k < 3; ++k) plan.n[k] = std::max<uint64_t>(1, to_u64_saturating(plan.heights[k] / w));
    // A cap of 0 cannot be met by counts of at least 1; it acts like 1.
    const uint64_t limit = std::max<uint64_t>(max_nbins, 1);
    while (product_exceeds(plan.n, limit)) {
        for (auto& n : plan.n) n = std::max<uint64_t>(1, n / 2);
    }
    for (std::size_t k = 0; k < 3; ++k) {
        plan.r[k] = to_u64_saturating(std::ceil((static_cast<double>(plan.n[k]) * w) / plan.heights[k]));
        if (!pbc[k] && plan.n[k] == 1) plan.r[k] = 0;
    }
    return plan;
}

AtomBins locate_atoms(View2<double> positions, const Mat3& m, const CellVectors& cv, const BinPlan& plan,
                      std::array<bool, 3> pbc, bool scaled, const std::array<double, 3>& origin) {
    const auto atoms = static_cast<std::size_t>(positions.rows);
    const double inv = 1.0 / cv.det;
    const std::array<double, 3> X = {cv.bc[0] * inv, cv.bc[1] * inv, cv.bc[2] * inv};
    const std::array<double, 3> Y = {cv.ca[0] * inv, cv.ca[1] * inv, cv.ca[2] * inv};
    const std::array<double, 3> Z = {cv.ab[0] * inv, cv.ab[1] * inv, cv.ab[2] * inv};
    // plan_bins gives every count at least 1; the bound keeps euclid_div's
    // precondition visible here.
    const uint64_t n[3] = {std::max<uint64_t>(plan.n[0], 1), std::max<uint64_t>(plan.n[1], 1),
                           std::max<uint64_t>(plan.n[2], 1)};
    const double nd[3] = {static_cast<double>(n[0]), static_cast<double>(n[1]), static_cast<double>(n[2])};
    // Only an origin that moves an open axis's bins takes the extra route; a
    // zero origin (-0.0 included) leaves the arithmetic of the plain binning.
    bool shifted = false;
    for (std::size_t k = 0; k < 3; ++k) shifted = shifted || (!pbc[k] && origin[k] != 0.0);

    AtomBins out;
    out.home = Buffer<Home>::uninitialized(atoms);
    out.flat = Buffer<uint64_t>::uninitialized(atoms);
    for (std::size_t a = 0; a < atoms; ++a) {
        const auto row = static_cast<int64_t>(a);
        const double p[3] = {positions.at(row, 0), positions.at(row, 1), positions.at(row, 2)};
        double s[3];
        Home& h = out.home[a];
        if (scaled) {
            for (std::size_t k = 0; k < 3; ++k) {
                s[k] = p[k];
                h.x[k] = ((p[0] * m[0][k] + 0.0) + p[1] * m[1][k]) + p[2] * m[2][k];
            }
        } else {
            for (std::size_t k = 0; k < 3; ++k) h.x[k] = p[k];
            s[0] = (p[0] * X[0] + p[1] * X[1]) + p[2] * X[2];
            s[1] = (p[0] * Y[0] + p[1] * Y[1]) + p[2] * Y[2];
            s[2] = (p[0] * Z[0] + p[1] * Z[1]) + p[2] * Z[2];
        }
        if (shifted) {
            // Open axes: the fraction of the position relative to the origin.
            // h.x keeps the position itself, which the pair test reads.
            const double q[3] = {p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
            const std::array<double, 3>* rows[3] = {&X, &Y, &Z};
            for (std::size_t k = 0; k < 3; ++k) {
                if (pbc[k]) continue;
                const std::array<double, 3>& R = *rows[k];
                s[k] = scaled ? q[k] : (q[0] * R[0] + q[1] * R[1]) + q[2] * R[2];
            }
        }
        for (std::size_t k = 0; k < 3; ++k) {
            const int64_t v = floor_to_i64(nd[k] * s[k]);
            if (pbc[k]) {
                const EuclidDiv e = euclid_div(v, n[k]);
                h.g[k] = e.remainder;
                h.o[k] = e.quotient;
            } else {
                h.g[k] = v < 0 ? 0 : (static_cast<uint64_t>(v) >= n[k] ? n[k] - 1 : static_cast<uint64_t>(v));
                h.o[k] = 0;
            }
        }
        out.flat[a] = (h.g[2] * n[1] + h.g[1]) * n[0] + h.g[0];
    }
    return out;
}

}  // namespace quorvel::proxor::detail
