"""quorvel.analysis: RDF, coordination, bonds and clusters against crystal
shells, ideal gases and brute-force counts over all periodic images."""

import itertools
import math
import subprocess
import sys

import numpy as np
import pytest

import quorvel
from quorvel import analysis, io

FCC = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
BCC = np.array([[0, 0, 0], [0.5, 0.5, 0.5]])


def crystal(basis, a, reps, symbol="Cu"):
    cells = np.array(list(itertools.product(range(reps), repeat=3)), dtype=float)
    frac = (cells[:, None, :] + basis[None]).reshape(-1, 3)
    return io.Structure(np.eye(3) * a * reps, frac * a, [symbol] * len(frac))


def gas(rng, counts, cell):
    """Uniform random atoms: counts {species: N} in the cell."""
    symbols = [s for s, n in counts.items() for _ in range(n)]
    frac = rng.random((len(symbols), 3))
    return io.Structure(cell, frac @ cell, symbols)


def variable_trajectory(rng, frames=12, n=(7, 9)):
    """Two species, a different cell (shape and size) every frame."""
    cells = np.array([np.diag(rng.uniform(5.5, 7.5, 3)) + rng.uniform(-0.8, 0.8, (3, 3)) * (1 - np.eye(3))
                      for _ in range(frames)])
    frac = rng.random((frames, sum(n), 3))
    return io.Trajectory(cells, frac, ["Na"] * n[0] + ["Cl"] * n[1])


def brute_pair_counts(s, rmax, bins):
    """{(a, b): counts of unordered pairs per bin} over every periodic image,
    by direct summation."""
    cell, pos, sym = s.cell, s.positions, s.symbols
    heights = 1 / np.linalg.norm(np.linalg.inv(cell), axis=0)
    reach = np.ceil(rmax / heights).astype(int) + 1
    shifts = np.array(list(itertools.product(*(range(-m, m + 1) for m in reach))))
    images = shifts @ cell
    out = {}
    for i in range(len(pos)):
        for j in range(i, len(pos)):
            d = np.linalg.norm(pos[j] + images - pos[i], axis=1)
            if i == j:
                d = d[np.any(shifts != 0, axis=1)]
            d = d[d < rmax]
            key = tuple(sorted((sym[i], sym[j]), key=list(dict.fromkeys(sym)).index))
            h = np.bincount(np.floor(d * (bins / rmax)).astype(int), minlength=bins)
            out[key] = out.get(key, 0) + (h // 2 if i == j else h)
    return out


# ---------------------------------------------------------------------------
# rdf: crystals, ideal gases, brute force


@pytest.mark.parametrize("basis, shells", [
    (FCC, [(1 / math.sqrt(2), 12), (1.0, 6), (math.sqrt(1.5), 24), (math.sqrt(2), 12), (math.sqrt(2.5), 24),
           (math.sqrt(3), 8), (math.sqrt(3.5), 48), (2.0, 6)]),
    (BCC, [(math.sqrt(3) / 2, 8), (1.0, 6), (math.sqrt(2), 12), (math.sqrt(11) / 2, 24), (math.sqrt(3), 8),
           (2.0, 6)]),
], ids=["fcc", "bcc"])
def test_crystal_shells_exactly(basis, shells):
    a, reps = 3.6, 3
    s = crystal(basis, a, reps)
    rmax, bins = 2.05 * a, 777  # no shell near a bin edge
    r = analysis.rdf(s, rmax, bins, threads=1)
    n = len(s)
    expected = np.zeros(bins, dtype=np.int64)
    for distance, z in shells:
        expected[int(distance * a * bins / rmax)] += n * z // 2
    np.testing.assert_array_equal(r.counts, expected)
    # The running coordination number steps by each shell's size.
    steps = np.cumsum([z for _, z in shells])
    assert [r.n[int(distance * a * bins / rmax)] for distance, _ in shells] == steps.tolist()
    # The first peak is the first shell, the minimum after it holds its atoms.
    rp, gp, rm, nm = r.first_shells()["total"]
    assert abs(rp - shells[0][0] * a) < rmax / bins and nm == shells[0][1]
    volume = (a * reps) ** 3
    k = int(shells[0][0] * a * bins / rmax)
    shell = 4 / 3 * math.pi * (r.edges[k + 1] ** 3 - r.edges[k] ** 3)
    assert gp == pytest.approx(n * shells[0][1] / 2 / (shell * n * (n - 1) / 2 / volume), rel=1e-12)


def test_ideal_gas_is_one_per_bin():
    rng = np.random.default_rng(7)
    s = gas(rng, {"Ar": 3000}, np.eye(3) * 30.0)
    r = analysis.rdf(s, 6.0, 12)
    n, v = 3000, 30.0 ** 3
    ideal = n * (n - 1) / 2 / v * 4 / 3 * np.pi * (r.edges[1:] ** 3 - r.edges[:-1] ** 3)
    assert np.all(np.abs(r.g - 1) < 5 / np.sqrt(ideal)), (r.g, ideal)
    # Nothing stands out of the noise: no first shell to report.
    assert r.first_shells() == {"total": None, ("Ar", "Ar"): None}


def test_ideal_gas_partials_in_small_varying_cells():
    # Few atoms of each species per frame: normalising a-a pairs by N_a**2
    # instead of N_a (N_a - 1), or a-b pairs as if ordered, is off by 30 % or
    # more; each frame its own volume, between 500 and 1700 Å³.
    rng = np.random.default_rng(11)
    frames = 3000
    lengths = rng.uniform(8.0, 12.0, frames)
    cells = lengths[:, None, None] * np.eye(3)
    symbols = ["A"] * 3 + ["B"] * 5
    traj = io.Trajectory(cells, rng.random((frames, 8, 3)), symbols)
    r = analysis.rdf(traj, 4.0, 4, threads=1)
    ball = 4 / 3 * np.pi * 4.0 ** 3
    for (a, b), pairs in ((("A", "A"), 3), (("A", "B"), 15), (("B", "B"), 10)):
        expected = pairs * ball * np.sum(1 / lengths ** 3)
        got = r.pair_counts[(a, b)].sum()
        assert abs(got / expected - 1) < 4 / np.sqrt(expected)
        # The same ratio, read from g: its shell-weighted mean over the bins.
        shells = np.diff(r.edges ** 3) * 4 / 3 * np.pi
        mean_g = np.sum(r.g_pairs[(a, b)] * shells) / ball
        assert mean_g == pytest.approx(got / expected, rel=1e-12)
    # Around each A, B atoms; around each B, A atoms: one count, two means.
    ab = r.pair_counts[("A", "B")].sum()
    assert r.n_pairs[("A", "B")][-1] == ab / (3 * frames)
    assert r.select(["B-A"]).n_pairs[("B", "A")][-1] == ab / (5 * frames)


def test_partials_match_a_brute_force_count_over_all_images():
    rng = np.random.default_rng(3)
    cell = np.array([[5.0, 0.0, 0.0], [1.3, 4.6, 0.0], [-0.9, 0.7, 4.2]])
    s = gas(rng, {"O": 6, "H": 9}, cell)
    rmax, bins = 7.5, 30  # beyond the cell: several images of every atom, itself included
    r = analysis.rdf(s, rmax, bins, threads=2)
    ref = brute_pair_counts(s, rmax, bins)
    assert set(r.pair_counts) == set(ref) == {("O", "O"), ("O", "H"), ("H", "H")}
    for key, counts in ref.items():
        np.testing.assert_array_equal(r.pair_counts[key], counts)
    np.testing.assert_array_equal(r.counts, sum(ref.values()))
    # Around O, H atoms: counted once per unordered pair; around O, O atoms: twice.
    assert r.select(["H-O"]).n_pairs[("H", "O")][-1] == ref[("O", "H")].sum() / 9
    assert r.n_pairs[("O", "O")][-1] == 2 * ref[("O", "O")].sum() / 6


def test_shards_add_to_the_single_run_exactly(tmp_path):
    traj = variable_trajectory(np.random.default_rng(5), frames=13)
    whole = analysis.rdf(traj, 5.0, 50, threads=1)
    parts = [analysis.rdf(traj, 5.0, 50, frames=sl) for sl in (slice(0, 4), slice(4, 9), slice(9, None))]
    for total in (parts[0] + parts[1] + parts[2], parts[2] + (parts[0] + parts[1]), sum(parts)):
        np.testing.assert_array_equal(total.counts, whole.counts)
        np.testing.assert_array_equal(total.g, whole.g)
        np.testing.assert_array_equal(total.n, whole.n)
        for p in whole.pairs:
            np.testing.assert_array_equal(total.g_pairs[p], whole.g_pairs[p])
        assert sorted(total.frames.tolist()) == list(range(13))
    # Through files: a path source, and a result saved and read back.
    path = tmp_path / "traj.xyz"
    io.write(path, list(traj))
    from_file = analysis.rdf(path, 5.0, 50, frames=slice(-4, None))
    saved = tmp_path / "part.npz"
    from_file.to_npz(saved)
    total = analysis.rdf(path, 5.0, 50, frames=range(0, 9)) + analysis.RDF.from_npz(saved)
    np.testing.assert_array_equal(total.g, whole.g)
    assert total.frames.tolist() == list(range(13))


def test_variable_cells_are_averaged_frame_by_frame():
    traj = variable_trajectory(np.random.default_rng(9), frames=8)
    r = analysis.rdf(traj, 4.5, 15, threads=1)
    edges = np.linspace(0, 4.5, 16)
    shells = 4 / 3 * np.pi * np.diff(edges ** 3)
    counts = {p: np.zeros(15) for p in r.pairs}
    ideal = dict.fromkeys(r.pairs, 0.0)
    for s in traj:
        volume = abs(np.linalg.det(s.cell))
        for p, c in brute_pair_counts(s, 4.5, 15).items():
            counts[p] += c
        ideal[("Na", "Na")] += 7 * 6 / 2 / volume
        ideal[("Na", "Cl")] += 7 * 9 / volume
        ideal[("Cl", "Cl")] += 9 * 8 / 2 / volume
    for p in r.pairs:
        np.testing.assert_allclose(r.g_pairs[p], counts[p] / (shells * ideal[p]), rtol=1e-13)
    # One volume for all frames (the first's) would be another answer.
    first = abs(np.linalg.det(traj.cells[0]))
    assert not np.allclose(r.g_pairs[("Na", "Cl")],
                           counts[("Na", "Cl")] / (shells * 8 * 7 * 9 / first), rtol=1e-2)


def test_open_structures_need_a_volume():
    s = io.Structure(np.zeros((3, 3)), [[0, 0, 0], [1.0, 0, 0], [0, 2.0, 0]], ["C"] * 3, pbc=False)
    with pytest.raises(ValueError, match=r"frame 0 is not periodic along all three axes .* give the volume"):
        analysis.rdf(s, 3.0, 3)
    r = analysis.rdf(s, 3.0, 3, volume=1000.0)
    assert r.counts.tolist() == [0, 1, 2]
    assert r.volumes.tolist() == [1000.0]


# ---------------------------------------------------------------------------
# coordination


def test_coordination_per_atom_and_pair():
    s = crystal(FCC, 3.6, 2)
    s.symbols = ["Cu" if k % 4 == 0 else "Au" for k in range(len(s))]  # L1_2: Cu at the corners
    c = analysis.coordination(s, 2.8)
    assert c.per_atom.tolist() == [12.0] * len(s)
    assert c.mean[("Cu", "Au")] == 12 and c.mean[("Cu", "Cu")] == 0
    assert c.mean[("Au", "Cu")] == 4 and c.mean[("Au", "Au")] == 8
    assert c.histograms[("Au", "Au")].tolist() == [0] * 8 + [24]
    traj = variable_trajectory(np.random.default_rng(2), frames=6)
    whole = analysis.coordination(traj, {("Na", "Cl"): 3.0, ("Cl", "Cl"): 2.5}, per_frame=True)
    per_frame = np.array([quorvel.neighbor_counts(s, {("Na", "Cl"): 3.0, ("Cl", "Cl"): 2.5}) for s in traj])
    np.testing.assert_array_equal(whole.per_frame, per_frame)
    np.testing.assert_array_equal(whole.per_atom, per_frame.mean(axis=0))
    halves = analysis.coordination(traj, {("Na", "Cl"): 3.0, ("Cl", "Cl"): 2.5}, frames=slice(0, 2)) + \
        analysis.coordination(traj, {("Na", "Cl"): 3.0, ("Cl", "Cl"): 2.5}, frames=slice(2, None))
    assert halves.mean == whole.mean
    np.testing.assert_array_equal(halves.histogram, whole.histogram)
    assert whole.histogram.sum() == 6 * 16


# ---------------------------------------------------------------------------
# bonds and clusters


def water(offset, cell):
    angle = np.radians(104.5) / 2
    pos = np.array([[0, 0, 0], [0.9572 * np.sin(angle), 0.9572 * np.cos(angle), 0],
                    [-0.9572 * np.sin(angle), 0.9572 * np.cos(angle), 0]]) + offset
    return io.Structure(cell, pos, ["O", "H", "H"])


def test_bonds_of_water_in_a_box_and_through_a_boundary():
    cell = np.eye(3) * 10.0
    inside = analysis.bonds(water([5, 5, 5], cell))
    assert inside.counts == {("O", "H"): 2}
    np.testing.assert_allclose(inside.d, 0.9572, rtol=1e-12)
    assert inside.S.tolist() == [[0, 0, 0]] * 2
    # Wrapped: O at x = 0.2, one H beyond x = 0 folded to the far side.
    split = water([0.2, 5, 5], cell)
    split.positions[2, 0] += 10.0
    across = analysis.bonds(split)
    assert across.counts == {("O", "H"): 2}
    np.testing.assert_allclose(np.sort(across.d), np.sort(inside.d), rtol=1e-12)
    assert sorted(across.S.tolist()) == [[-1, 0, 0], [0, 0, 0]]
    # Open: the same molecule without a cell.
    assert analysis.bonds(io.Structure(np.zeros((3, 3)), split.positions - [0, 0, 0], ["O", "H", "H"],
                                       pbc=False)).counts == {("O", "H"): 1}


def test_bond_threshold_uses_covalent_radii():
    import periodictable
    ro, rh = periodictable.elements.O.covalent_radius, periodictable.elements.H.covalent_radius
    d = 1.0
    s = io.Structure(np.eye(3) * 10, [[1, 1, 1], [1 + d, 1, 1]], ["O", "H"])
    scale = d / (ro + rh)
    assert len(analysis.bonds(s, scale=scale * (1 + 1e-12))) == 1
    assert len(analysis.bonds(s, scale=scale * (1 - 1e-12))) == 0
    # An override, and a species that is no element.
    assert len(analysis.bonds(s, radii={"H": 0.1})) == 0
    s.symbols = ["O", "Xx"]
    assert len(analysis.bonds(s, radii={"Xx": 0.5})) == 1


@pytest.mark.parametrize("positions, cell, cutoff, sizes, dimensions", [
    # a chain along x through the boundary
    ([[0.2, 1, 1], [1.2, 1, 1], [2.2, 1, 1]], np.diag([3.0, 8, 8]), 1.1, [3], [1]),
    # a dimer split by the boundary, and a lone atom: finite
    ([[0.3, 4, 4], [5.6, 4, 4], [3, 1, 1]], np.diag([6.0, 8, 8]), 1.1, [2, 1], [0, 0]),
    # one atom bonded to its own images along x and y: a sheet
    ([[0.5, 0.5, 4]], np.diag([1.0, 1.0, 8.0]), 1.1, [1], [2]),
    # a square lattice: a network in 3D
    (np.array(list(itertools.product(range(2), repeat=3))) + 0.25, np.eye(3) * 2.0, 1.1, [8], [3]),
    # a long diagonal chain wrapped into the cell, its atoms shuffled: deep trees
    (np.random.default_rng(0).permutation((np.arange(16)[:, None] * [0.5, 0.5, 0] + [4.1, 2.2, 4]) % 8),
     np.eye(3) * 8.0, 0.8, [16], [1]),
    # the same one atom short: finite, though it crosses the boundaries
    (np.random.default_rng(0).permutation((np.arange(15)[:, None] * [0.5, 0.5, 0] + [4.1, 2.2, 4]) % 8),
     np.eye(3) * 8.0, 0.8, [15], [0]),
    # a zig-zag ring closing inside the cell, beside a chain along z
    ([[1, 1, 1], [2, 1, 1], [2, 2, 1], [1, 2, 1], [5, 5, 0.5], [5, 5, 1.5]], np.diag([8.0, 8, 2]), 1.1,
     [4, 2], [0, 1]),
], ids=["chain", "finite-across-boundary", "self-image-sheet", "network", "diagonal", "diagonal-cut",
     "ring-and-chain"])
def test_clusters_and_percolation(positions, cell, cutoff, sizes, dimensions):
    s = io.Structure(cell, positions, ["C"] * len(positions))
    c = analysis.clusters(s, cutoff)
    assert c.sizes.tolist() == sizes
    assert c.dimensions.tolist() == dimensions
    assert c.percolating.tolist() == [d > 0 for d in dimensions]
    assert np.bincount(c.labels).tolist() == sizes


def test_clusters_from_bonds_match_a_cutoff():
    rng = np.random.default_rng(4)
    s = gas(rng, {"C": 300}, np.eye(3) * 12.0)
    b = analysis.bonds(s, scale=1.0)  # C-C: d < 1.52 Å
    by_bonds = analysis.clusters(s, b)
    by_cutoff = analysis.clusters(s, 2 * periodictable_radius("C"))
    np.testing.assert_array_equal(by_bonds.labels, by_cutoff.labels)
    np.testing.assert_array_equal(by_bonds.dimensions, by_cutoff.dimensions)
    # A cluster's atoms are connected: each bond joins atoms of one label.
    assert np.all(by_bonds.labels[b.i] == by_bonds.labels[b.j])


def periodictable_radius(symbol):
    import periodictable
    return periodictable.elements.symbol(symbol).covalent_radius


# ---------------------------------------------------------------------------
# bad arguments


STRUCTURE = crystal(FCC, 3.6, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: analysis.rdf(STRUCTURE, -1.0), "rmax must be a positive, finite distance in Å, not -1.0"),
    (lambda: analysis.rdf(STRUCTURE, float("nan")), "rmax must be a positive, finite distance in Å, not nan"),
    (lambda: analysis.rdf(STRUCTURE, "far"), "rmax must be a positive, finite distance in Å, not 'far'"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, 0), "bins must be a positive integer, not 0"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, 2.5), "bins must be a positive integer, not 2.5"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, pairs="Cu-O"), "species pair Cu-O names 'O', which is not among the "
                                                         "species (Cu)"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, pairs="CuCu"), "a species pair is written A-B, such as O-H; got 'CuCu'"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, frames=[0]), "frames must be None, a slice or a range selecting frames"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, frames=range(2)), "frame 1 asked for, but the source has 1 frame"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, frames=slice(1, None)), "no frames selected: an RDF needs at least one"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, workers=0), "workers must be None or a positive integer, not 0"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, chunk=0), "chunk must be None or a positive number of frames, not 0"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, workers=2, client=object()), "give workers (processes on this machine) "
                                                                       "or client (a Dask cluster), not both"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, volume=-5), "volume must be a positive, finite number of Å³, not -5.0"),
    (lambda: analysis.rdf(STRUCTURE, 3.0, threads=0), "threads must be None or a positive integer, not 0"),
    (lambda: analysis.rdf(42, 3.0), "the source must be a Structure, a Trajectory, a path, a quorvel.io.Frames or "
                                    "a list of Structures, not int"),
    (lambda: analysis.rdf(STRUCTURE, 3.0) + analysis.rdf(STRUCTURE, 4.0),
     "only RDFs of the same rmax and bins add: rmax 3 and 4 Å, bins 200 and 200"),
    (lambda: analysis.coordination(STRUCTURE, None), "coordination needs a cutoff"),
    (lambda: analysis.bonds(STRUCTURE, scale=0), "scale must be a positive, finite number, not 0"),
    (lambda: analysis.bonds(STRUCTURE, radii={"O": 0.7}), "radii names species 'O', which is not in the structure "
                                                          "(its species: Cu)"),
    (lambda: analysis.bonds(STRUCTURE, radii={"Cu": -1}), "the radius of 'Cu' must be a non-negative, finite "
                                                          "number, not -1"),
    (lambda: analysis.bonds(io.Structure(np.eye(3) * 5, [[0, 0, 0]], ["Q1"])),
     "no covalent radius for species 'Q1' (not an element, or none known): give it in radii={'Q1': ...}"),
    (lambda: analysis.clusters(STRUCTURE), "clusters needs a cutoff"),
    (lambda: analysis.clusters(STRUCTURE, 2.0, bonds=analysis.bonds(STRUCTURE)), "give a cutoff or bonds, not both"),
    (lambda: analysis.clusters(crystal(FCC, 3.6, 2), analysis.bonds(STRUCTURE)),
     "the bonds are of 4 atoms, the structure has 32"),
], ids=lambda x: None if callable(x) else x[:30])
def test_bad_arguments_are_refused_clearly(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert message in str(info.value)


def test_coordination_refuses_frames_of_other_atoms():
    frames = [crystal(FCC, 3.6, 1), crystal(BCC, 3.0, 1)]
    with pytest.raises(ValueError, match="frame 1 holds other atoms than the frames before it"):
        analysis.coordination(frames, 2.7)


# ---------------------------------------------------------------------------
# output: plot, CSV, command line


def _png_checks(path, width, height):
    import matplotlib.image
    img = matplotlib.image.imread(path)
    assert img.shape[:2] == (height, width)
    rgb = img[..., :3]
    drawn = np.any(rgb < 0.9, axis=2)
    # Axes, labels and curves: a fair share of the image, in more than one colour.
    assert 0.01 < drawn.mean() < 0.5
    assert len(np.unique((rgb[drawn] * 8).astype(int), axis=0)) > 3


def test_plot_draws_one_labelled_curve_per_pair(tmp_path):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    r = analysis.rdf(variable_trajectory(np.random.default_rng(1)), 4.0, 40)
    fig = Figure(figsize=(6, 4), dpi=100)
    FigureCanvasAgg(fig)
    ax = r.plot(ax=fig.add_subplot())
    assert ax.get_xlabel() == "r (Å)" and ax.get_ylabel() == "g(r)"
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["Na-Na", "Na-Cl", "Cl-Cl"]
    np.testing.assert_array_equal(ax.get_lines()[1].get_ydata(), r.g_pairs[("Na", "Cl")])
    ax2 = r.plot(ax=fig.add_subplot(), pairs=["total", "Cl-Na"])
    assert [t.get_text() for t in ax2.get_legend().get_texts()] == ["all atoms", "Cl-Na"]
    path = tmp_path / "g.png"
    fig.savefig(path)
    _png_checks(path, 600, 400)


def test_csv_holds_the_columns(tmp_path):
    r = analysis.rdf(variable_trajectory(np.random.default_rng(1), frames=3), 4.0, 20, pairs="Na-Cl")
    r.to_csv(tmp_path / "g.csv")
    with open(tmp_path / "g.csv") as f:
        assert f.readline().strip() == "r,g,n,g_Na-Cl,n_Na-Cl"
    table = np.genfromtxt(tmp_path / "g.csv", delimiter=",", skip_header=1)
    np.testing.assert_array_equal(table[:, 0], r.r)
    np.testing.assert_array_equal(table[:, 3], r.g_pairs[("Na", "Cl")])
    np.testing.assert_array_equal(table[:, 4], r.n_pairs[("Na", "Cl")])


def cli(*args):
    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def test_cli_rdf_reports_shells_and_writes_plot_and_table(tmp_path):
    path = tmp_path / "fcc.xyz"
    s = crystal(FCC, 3.6, 3)
    io.write(path, [s, s, s])
    png, csv = tmp_path / "g.png", tmp_path / "g.csv"
    out = cli("rdf", path, "--rmax", "5", "--bins", "100", "--frames", "0:2", "--plot", png, "--csv", csv,
              "--threads", "1")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == f"{path} (XYZ): 2 frames, 108 atoms (Cu 108), volume 1259.7 Å³"
    row = next(line for line in lines if line.strip().startswith("Cu-Cu")).split()
    assert float(row[1]) == pytest.approx(2.525) and float(row[4]) == 12.0
    assert f"wrote {png}" in out.stdout and out.stderr == ""
    _png_checks(png, 700, 450)
    table = np.genfromtxt(csv, delimiter=",", skip_header=1)
    assert table.shape == (100, 5)


@pytest.mark.parametrize("args, message", [
    (["--rmax", "0"], "argument --rmax: expected a positive, finite distance, got '0'"),
    (["--rmax", "3", "--pairs", "Cu-Zn"], "species pair Cu-Zn names 'Zn', which is not among the species (Cu)"),
    (["--rmax", "3", "--frames", "1:5:0"], "argument --frames: the step of the frames '1:5:0' must not be 0"),
    (["--rmax", "3", "--frames", "1:x"], "argument --frames: expected the frames as A:B:C, a slice with each part "
                                         "optional (0:100, ::10, -5:), got '1:x'"),
    (["--frames", "::2:", "--rmax", "3"], "got '::2:'"),
    (["--rmax", "3", "--workers", "2", "--scheduler", "tcp://h:1"], "not allowed with argument"),
])
def test_cli_rdf_errors_are_one_line(tmp_path, args, message):
    path = tmp_path / "fcc.xyz"
    io.write(path, [crystal(FCC, 3.6, 1)])
    out = cli("rdf", path, *args)
    assert out.returncode in (1, 2)
    assert message in out.stderr and len(out.stderr.splitlines()) == 1 and out.stdout == ""


def _trajectory_files(tmp_path):
    """The same two-species frames as XYZ and XDATCAR files, the XDATCAR
    file's last frame with a bad number: a run that reads every frame fails
    on it."""
    traj = variable_trajectory(np.random.default_rng(3), frames=4)
    traj.comment = "salt"
    frames = list(traj)
    xyz, xdatcar = tmp_path / "run.xyz", tmp_path / "XDATCAR"
    io.write(xyz, frames)
    io.write(xdatcar, frames)
    text = xdatcar.read_text().splitlines(keepends=True)
    text[-1] = " 0.1 bad 0.3\n"
    xdatcar.write_text("".join(text))
    return traj, str(xyz), str(xdatcar)


@pytest.mark.parametrize("source", ["xyz", "xdatcar", "frames", "trajectory", "structure", "list"])
def test_rdf_checks_the_species_of_pairs_before_searching(tmp_path, monkeypatch, source):
    traj, xyz, xdatcar = _trajectory_files(tmp_path)
    sources = {"xyz": xyz, "xdatcar": xdatcar, "frames": io.Frames(xdatcar)[1:], "trajectory": traj,
               "structure": traj[0], "list": list(traj)}

    def searched(*args, **kwargs):
        raise AssertionError("frames were searched")

    monkeypatch.setattr(analysis._rdf, "run_chunks", searched)
    with pytest.raises(ValueError) as info:
        analysis.rdf(sources[source], 4.0, 20, pairs="Na-Cl,Cl-K")
    assert str(info.value) == "species pair Cl-K names 'K', which is not among the species (Na, Cl)"
    # Species that are there go on to the search.
    with pytest.raises(AssertionError, match="frames were searched"):
        analysis.rdf(sources[source], 4.0, 20, pairs="Cl-Na")


def test_cli_rdf_refuses_a_pair_before_reading_the_frames(tmp_path):
    _, _, xdatcar = _trajectory_files(tmp_path)
    out = cli("rdf", xdatcar, "--rmax", "3", "--pairs", "Na-K")
    assert out.returncode == 1 and out.stdout == ""
    assert out.stderr == "quorvel rdf: error: species pair Na-K names 'K', which is not among the species (Na, Cl)\n"
    # Without the mistake the run reads on, to the bad frame.
    out = cli("rdf", xdatcar, "--rmax", "3", "--pairs", "Na-Cl")
    assert out.returncode == 1 and "expected a number, got 'bad'" in out.stderr


def test_cli_a_bare_frames_before_a_file_with_a_colon_in_its_name(tmp_path):
    path = tmp_path / "run:1.xyz"
    io.write(path, [crystal(FCC, 3.6, 1)] * 3)
    for command in (["neighbors", "--frames", path, "--cutoff", "3"], ["rdf", "--frames", path, "--rmax", "3"]):
        out = cli(*command)
        assert out.returncode == 0, out.stderr
        assert "3 frames" in out.stdout or "frames: 3" in out.stdout


def test_cli_bonds_and_clusters(tmp_path):
    path = tmp_path / "chain.xyz"
    io.write(path, [io.Structure(np.diag([4.4, 10, 10]), [[0.1, 5, 5], [1.2, 5, 5], [2.3, 5, 5], [3.4, 5, 5],
                                                           [5, 1, 1], [5, 1, 2.2]], ["C"] * 4 + ["N"] * 2)])
    out = cli("bonds", path, "--output", tmp_path / "b")
    assert out.returncode == 0, out.stderr
    assert "6 atoms, 5 bonds" in out.stdout
    assert any(line.split()[:2] == ["C-C", "4"] for line in out.stdout.splitlines())
    with np.load(tmp_path / "b.npz") as z:
        assert sorted(z.files) == ["S", "d", "i", "j"] and len(z["d"]) == 5
    out = cli("clusters", path, "--bonds")
    assert out.returncode == 0, out.stderr
    assert "6 atoms in 2 clusters" in out.stdout and "sizes (atoms: clusters): 2: 1, 4: 1" in out.stdout
    assert "cluster 1: 4 atoms, a chain (1-periodic), first atom 1" in out.stdout
    out = cli("clusters", path, "--cutoff", "1.0")
    assert "6 atoms in 6 clusters" in out.stdout and "percolating: none" in out.stdout
    out = cli("clusters", path)
    assert out.returncode == 2 and "one of the arguments --cutoff/-r --bonds is required" in out.stderr


# ---------------------------------------------------------------------------
# chunks on worker processes and a Dask cluster


@pytest.fixture(scope="module")
def trajectory_file(tmp_path_factory):
    traj = variable_trajectory(np.random.default_rng(8), frames=10)
    path = tmp_path_factory.mktemp("frames") / "traj.xyz"
    io.write(path, list(traj))
    return path


def test_worker_processes_give_the_same_result(trajectory_file):
    here = analysis.rdf(trajectory_file, 5.0, 40, frames=slice(1, None))
    there = analysis.rdf(trajectory_file, 5.0, 40, frames=slice(1, None), workers=2, chunk=4)
    np.testing.assert_array_equal(there.counts, here.counts)
    np.testing.assert_array_equal(there.g, here.g)
    assert there.frames.tolist() == list(range(1, 10))
    frames = quorvel.Frames(trajectory_file)
    ticks = []

    class Bar:
        def __init__(self, total):
            ticks.append(total)

        def update(self, n):
            ticks.append(n)

        def close(self):
            ticks.append("closed")

    c = analysis.coordination(frames, 3.0, frames=range(0, 10, 3), workers=2, per_frame=True, progress=Bar)
    assert c.frames.tolist() == [0, 3, 6, 9]
    np.testing.assert_array_equal(c.per_frame, [quorvel.neighbor_counts(frames[k], 3.0) for k in (0, 3, 6, 9)])
    assert ticks[0] == 4 and sum(ticks[1:-1]) == 4 and ticks[-1] == "closed"
    with pytest.raises(ValueError, match="the source must be a path or a quorvel.io.Frames, not Trajectory"):
        analysis.rdf(variable_trajectory(np.random.default_rng(8)), 5.0, workers=2)


def test_a_dask_cluster_gives_the_same_result(trajectory_file):
    distributed = pytest.importorskip("distributed")
    here = analysis.rdf(trajectory_file, 5.0, 40)
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        there = analysis.rdf(quorvel.Frames(trajectory_file), 5.0, 40, client=client)
        np.testing.assert_array_equal(there.g, here.g)
        np.testing.assert_array_equal(there.n_pairs[("Na", "Cl")], here.n_pairs[("Na", "Cl")])
        out = cli("rdf", trajectory_file, "--rmax", "5", "--bins", "40", "--scheduler", cluster.scheduler_address)
        assert out.returncode == 0, out.stderr
        assert out.stdout.splitlines()[0].startswith(f"{trajectory_file} (XYZ): 10 frames, 16 atoms (Na 7, Cl 9)")
