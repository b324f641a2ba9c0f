// Geometry of a search: the cell's reciprocal vectors and heights, the bin
// counts and search ranges they allow, and each atom's bin coordinates.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "quorvel/native/buffer.hpp"
#include "quorvel/native/views.hpp"

namespace quorvel::proxor::detail {

using Mat3 = std::array<std::array<double, 3>, 3>;

// Conversions from double that saturate instead of being undefined:
// truncation toward zero, NaN to 0, out-of-range values to the nearest bound
// (negative values to 0 for the unsigned one).
[[nodiscard]] uint64_t to_u64_saturating(double x) noexcept;
[[nodiscard]] int64_t to_i64_saturating(double x) noexcept;

// The singular-cell error text, with det in the form 1.234e-16 (three
// decimals, correctly rounded, exponent without '+' and leading zeros).
[[nodiscard]] std::string singular_cell_message(double det);

// Cross products b x c, c x a, a x b of the cell rows and the determinant.
struct CellVectors {
    std::array<double, 3> bc, ca, ab;
    double det;
};
[[nodiscard]] CellVectors cell_vectors(const Mat3& m) noexcept;

// Bin counts n_k and search ranges r_k for a cell and cutoff.
struct BinPlan {
    std::array<uint64_t, 3> n{};
    std::array<uint64_t, 3> r{};
    std::array<double, 3> heights{};
    double det = 0.0;
    double bin_size = 0.0;
};
[[nodiscard]] BinPlan plan_bins(const Mat3& cell, std::array<bool, 3> pbc, double cutoff,
                                uint64_t max_nbins) noexcept;

// True when n0 * n1 * n2 > limit, computed without wrap-around.
[[nodiscard]] bool product_exceeds(const std::array<uint64_t, 3>& n, uint64_t limit) noexcept;

// Where an atom sits: its Cartesian position, bin coordinates, wrap offsets
// and (once binned) its slot in the bin-sorted arrays.
struct Home {
    double x[3];
    int64_t o[3];
    uint64_t g[3];
    std::size_t slot;
};

// Every atom's home (slot not set) and flat bin index
// (g2 * n1 + g1) * n0 + g0. Positions are Cartesian, or fractional when
// `scaled`; along a periodic axis the bin coordinate wraps into [0, n) and
// the wrap count becomes the offset, along an open axis it is that of the
// position relative to `origin` (same coordinates as the positions), clamped.
// Reads rows 0..rows-1, columns 0-2 of `positions` (the caller checks them).
struct AtomBins {
    Buffer<Home> home;
    Buffer<uint64_t> flat;
};
[[nodiscard]] AtomBins locate_atoms(View2<double> positions, const Mat3& cell, const CellVectors& cv,
                                    const BinPlan& plan, std::array<bool, 3> pbc, bool scaled,
                                    const std::array<double, 3>& origin);

}  // namespace quorvel::proxor::detail
