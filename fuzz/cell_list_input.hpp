// Input decoding of the cell-list fuzzer: a small hostile system and cutoff,
// then the radii or the element-pair table of the variants.
//
// A system is 0-12 atoms, a cell that may be triclinic, thin, degenerate or
// made of raw doubles, mixed periodicity, positions inside and outside the
// cell (Cartesian or scaled), a cutoff relative to the smallest cell height
// (or NaN, infinite, negative, zero, or exactly a pair distance), optional
// self interaction and a small cap on the bin count.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "blocks.hpp"
#include "cell_list_reference.hpp"

namespace fz::cell {

inline double special(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return NAN;
        case 1: return INFINITY;
        case 2: return -INFINITY;
        case 3: return 0.0;
        case 4: return -0.0;
        default: return in.ConsumeFloatingPoint<double>();
    }
}

inline System decode(FuzzedDataProvider& in, double& cutoff, double& h_ref) {
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

// The radii of the radii variant: about one per atom (sometimes none, one
// short or one extra), some NaN, negative or zero, in a strided array.
struct RadiiInput {
    std::vector<double> radii;
    fz::Matrix<double> storage;
    View1<double> view;
};

inline RadiiInput decode_radii(FuzzedDataProvider& in, const System& sys, double h_ref) {
    RadiiInput r;
    int64_t L = sys.atoms;
    const auto len_mode = in.ConsumeIntegralInRange<int>(0, 7);
    if (len_mode == 0) L = 0;
    if (len_mode == 1) L = std::max<int64_t>(0, L - 1);
    if (len_mode == 2) L += 1;
    for (int64_t k = 0; k < L; ++k) {
        const auto mode = in.ConsumeIntegralInRange<int>(0, 15);
        r.radii.push_back(mode == 0   ? NAN
                          : mode == 1 ? -h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 1.0)
                          : mode == 2 ? 0.0
                                      : h_ref * in.ConsumeFloatingPointInRange<double>(0.0, 1.5));
    }
    r.storage = fz::make_matrix(r.radii, L, 1, in.ConsumeIntegral<uint8_t>());
    r.view = View1<double>{r.storage.view.data, L, r.storage.view.row_stride};
    return r;
}

// The table and atomic numbers of the element-pair variant: up to four rows
// of keys in -1..3, sometimes with short key or value lists, and about one
// atomic number per atom in a strided array.
struct TableInput {
    std::vector<int64_t> zi, zj;
    std::vector<double> values;
    std::vector<int64_t> numbers;
    fz::Matrix<int64_t> storage;
    View1<int64_t> view;
};

inline TableInput decode_table(FuzzedDataProvider& in, const System& sys, double h_ref) {
    TableInput r;
    const auto rows = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    for (std::size_t t = 0; t < rows; ++t) {
        r.zi.push_back(in.ConsumeIntegralInRange<int64_t>(-1, 3));
        r.zj.push_back(in.ConsumeIntegralInRange<int64_t>(-1, 3));
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
    if (shape == 2 && rows > 0) r.zj.pop_back();                                         // too few second keys
    for (std::size_t t = 0; t < n_values; ++t) r.values.push_back(value());
    int64_t n_numbers = sys.atoms;
    const auto nmode = in.ConsumeIntegralInRange<int>(0, 9);
    if (nmode == 0) n_numbers = std::max<int64_t>(0, n_numbers - 1);
    if (nmode == 1) n_numbers += 1;
    for (int64_t a = 0; a < n_numbers; ++a) r.numbers.push_back(in.ConsumeIntegralInRange<int64_t>(-1, 3));
    r.storage = fz::make_matrix(r.numbers, n_numbers, 1, in.ConsumeIntegral<uint8_t>());
    r.view = View1<int64_t>{r.storage.view.data, n_numbers, r.storage.view.row_stride};
    return r;
}

}  // namespace fz::cell
