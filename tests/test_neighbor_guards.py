"""quorvel.neighbor_list refuses what it cannot answer (non-finite input,
pair lists beyond memory, endless image searches, element-pair keys naming
absent species), and its open-box translation keeps every bit of the result."""

import math
import re
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

from quorvel import _proxor, neighbor_list
from quorvel import neighbors as nbmod

OPEN = [False, False, False]


def random_cell_structure(n=48, length=10.0, seed=1):
    rng = np.random.default_rng(seed)
    return np.eye(3) * length, rng.uniform(0.0, length, (n, 3))


def sorted_pairs(nl):
    """The pairs in a canonical order: by i, j and S."""
    i, j, d, D, S = (np.asarray(a) for a in nl)
    order = np.lexsort((S[:, 2], S[:, 1], S[:, 0], j, i))
    return i[order], j[order], d[order], D[order], S[order]


def assert_bitwise(a, b):
    for name, x, y in zip(("i", "j", "d", "D", "S"), a, b):
        x, y = np.asarray(x), np.asarray(y)
        assert x.shape == y.shape, name
        assert x.dtype == y.dtype, name
        assert x.tobytes() == y.tobytes(), name


# ---------------------------------------------------------------------------
# Searches too large to hold or to end


@pytest.fixture
def one_gigabyte(monkeypatch):
    monkeypatch.setattr(nbmod, "_memory_available", lambda: 10 ** 9)


@pytest.mark.parametrize("cutoff, message", [
    (300.0, "a cutoff of 300 Å would give about 2.6e+08 pairs (18.8 GB), more than half the 1 GB of memory "
            "available; pass max_pairs= to raise the limit"),
    (1e20, "a cutoff of 1e+20 Å reaches about 1e+19 images of the cell along periodic axis 0 (a), which is only "
           "10 Å high; the search would not end in reasonable time"),
    (float("inf"), "the cutoff must be a finite distance, not negative: got inf"),
    (float("nan"), "the cutoff must be a finite distance, not negative: got nan"),
])
def test_huge_cutoffs_are_refused_in_one_line(one_gigabyte, cutoff, message):
    # 48 atoms in 1000 Å^3: 48 * 0.048 * (4/3) pi 300^3 = 2.6e8 pairs, 72 bytes each.
    cell, pos = random_cell_structure()
    with pytest.raises(ValueError) as e:
        neighbor_list(cell=cell, positions=pos, cutoff=cutoff)
    assert str(e.value) == message


@pytest.mark.parametrize("kind", ["radii", "dict"])
def test_huge_radii_and_pair_cutoffs_are_refused(one_gigabyte, kind):
    cell, pos = random_cell_structure()
    if kind == "radii":
        cutoff, words = np.full(48, 150.0), "radii up to 150 Å (a search to 300 Å) would give about 2.6e+08 pairs"
    else:
        cutoff, words = {("Si", "Si"): 300.0}, "an element-pair cutoff of 300 Å would give about 2.6e+08 pairs"
    with pytest.raises(ValueError, match="^" + re.escape(words)):
        neighbor_list(cell=cell, positions=pos, symbols=["Si"] * 48, cutoff=cutoff)


def test_small_searches_never_need_memory(monkeypatch):
    monkeypatch.setattr(nbmod, "_memory_available", lambda: 0)
    cell, pos = random_cell_structure()
    assert len(neighbor_list(cell=cell, positions=pos, cutoff=4.0).i) > 0


@pytest.mark.parametrize("n", [1, 2, 30])
def test_an_open_box_takes_any_finite_cutoff(n):
    # One bin holds every atom: all n (n - 1) ordered pairs, none lost.
    pos = np.random.default_rng(n).uniform(-5.0, 5.0, (n, 3))
    nl = neighbor_list(positions=pos, cutoff=1e20)
    assert len(nl.i) == n * (n - 1)
    assert sorted(zip(nl.i.tolist(), nl.j.tolist())) == [(a, b) for a in range(n) for b in range(n) if a != b]
    assert np.array_equal(nl.d, np.linalg.norm(pos[nl.j] - pos[nl.i], axis=1))


@pytest.mark.parametrize("axis", [0, 1, 2])
@pytest.mark.parametrize("height", [1e-9, 1e-7])
def test_a_thin_periodic_axis_is_refused_naming_it(axis, height):
    cell, pos = random_cell_structure(n=8)
    cell[axis, axis] = height
    pos[:, axis] *= height / 10.0
    with pytest.raises(ValueError) as e:
        neighbor_list(cell=cell, positions=pos, cutoff=3.0)
    assert str(e.value).startswith(f"a cutoff of 3 Å reaches about {math.ceil(3.0 / height):.2g} images of the cell "
                                   f"along periodic axis {axis} ({'abc'[axis]}), which is only {height:.3g} Å high")


def test_a_thin_open_axis_is_searched():
    cell, pos = random_cell_structure(n=8)
    cell[2, 2] = 1e-9
    pos[:, 2] = 0.0
    nl = neighbor_list(cell=cell, positions=pos, pbc=[True, True, False], cutoff=3.0)
    assert (nl.S[:, 2] == 0).all() and len(nl.i) > 0


def _structures():
    rng = np.random.default_rng(7)
    cell, pos = random_cell_structure(n=200, length=14.0, seed=3)
    yield "periodic", dict(cell=cell, positions=pos), 6.0
    yield "periodic, cutoff beyond the cell", dict(cell=cell, positions=pos), 20.0
    slab = pos.copy()
    slab[:, 2] *= 0.2
    yield "slab", dict(cell=np.diag([14.0, 14.0, 0.0]), positions=slab, pbc=[True, True, False]), 9.0
    yield "open box", dict(positions=rng.uniform(0, 30, (400, 3))), 5.0
    cluster = np.vstack([rng.uniform(0, 6, (300, 3)), [[1e5, 1e5, 1e5]]])
    yield "cluster and a stray atom", dict(positions=cluster), 4.0


@pytest.mark.parametrize("name, kwargs, cutoff", list(_structures()), ids=[s[0] for s in _structures()])
def test_pair_estimate_is_within_a_factor_three(name, kwargs, cutoff):
    count = len(neighbor_list(cutoff=cutoff, **kwargs).i)
    assert count > 0
    assert len(neighbor_list(cutoff=cutoff, max_pairs=3 * count, **kwargs).i) == count
    with pytest.raises(nbmod.PairLimitError, match=r"would give about .* pairs, more than max_pairs=") as e:
        neighbor_list(cutoff=cutoff, max_pairs=count // 3, **kwargs)
    assert e.value.limit == count // 3 and count / 3 < e.value.pairs < 3 * count


@pytest.mark.parametrize("value", [-1, 2.5, True, "10"])
def test_max_pairs_must_be_a_count(value):
    with pytest.raises(ValueError, match=f"max_pairs must be a whole number, not negative: got {value!r}"):
        neighbor_list(positions=np.zeros((2, 3)), cutoff=1.0, max_pairs=value)


# ---------------------------------------------------------------------------
# Non-finite input


@pytest.mark.parametrize("atom", [0, 17, 47])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("periodic", [True, False])
def test_non_finite_positions_name_the_atom(atom, bad, periodic):
    cell, pos = random_cell_structure()
    pos[atom, 1] = bad
    x, z = float(pos[atom, 0]), float(pos[atom, 2])
    with pytest.raises(ValueError) as e:
        neighbor_list(cell=cell, positions=pos, pbc=periodic, cutoff=3.0)
    assert str(e.value) == f"atom {atom} (counting from 0) has a non-finite position ({x!r}, {bad!r}, {z!r})"


@pytest.mark.parametrize("entry", [(0, 0), (1, 2), (2, 1)])
@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("periodic", [True, False])
def test_non_finite_cells_are_refused(entry, bad, periodic):
    cell, pos = random_cell_structure()
    cell[entry] = bad
    with pytest.raises(ValueError, match=r"^the cell has non-finite entries$"):
        neighbor_list(cell=cell, positions=pos, pbc=periodic, cutoff=3.0)


@pytest.mark.parametrize("atom, bad", [(0, np.nan), (5, np.inf), (47, -1.0)])
def test_bad_radii_name_the_atom(atom, bad):
    cell, pos = random_cell_structure()
    radii = np.ones(48)
    radii[atom] = bad
    with pytest.raises(ValueError) as e:
        neighbor_list(cell=cell, positions=pos, cutoff=radii)
    assert str(e.value) == (f"atom {atom} (counting from 0) has the radius {bad!r}; "
                            "per-atom radii must be finite and not negative")


@pytest.mark.parametrize("far", [1e101, -1e200])
def test_coordinates_beyond_squared_range_are_refused(far):
    pos = np.array([[0.0, 0.0, 0.0], [far, 0.0, 0.0]])
    with pytest.raises(ValueError) as e:
        neighbor_list(positions=pos, cutoff=1.0)
    assert str(e.value) == (f"atom 1 (counting from 0) lies too far out for squared distances to be computed: "
                            f"({far!r}, 0.0, 0.0); coordinates must stay within 1e+100")
    with pytest.raises(ValueError, match="^the cell has entries beyond 1e"):
        neighbor_list(cell=np.eye(3) * far, positions=pos[:1], cutoff=1.0)


# ---------------------------------------------------------------------------
# Element-pair cutoffs

TIO2 = ["Ti"] * 16 + ["O"] * 32


@pytest.mark.parametrize("table, message", [
    ({("Ti", "o"): 2.2},
     "element-pair cutoff ('Ti', 'o') names species 'o', which is not in the structure (its species: O, Ti)"),
    ({("Ti", "O"): 2.2, ("O", "N"): 1.0},
     "element-pair cutoff ('O', 'N') names species 'N', which is not in the structure (its species: O, Ti)"),
    ({"Ti": 2.2}, "element-pair cutoffs are keyed by pairs of species, such as ('O', 'H'); got 'Ti'"),
    ({("Ti",): 2.2}, "element-pair cutoffs are keyed by pairs of species, such as ('O', 'H'); got ('Ti',)"),
    ({("Ti", "O", "O"): 2.2},
     "element-pair cutoffs are keyed by pairs of species, such as ('O', 'H'); got ('Ti', 'O', 'O')"),
    ({("O", "Ti"): 1.0, ("Ti", "O"): 1.2},
     "element-pair cutoffs ('O', 'Ti') and ('Ti', 'O') name the same pair of species with different values "
     "(1.0 and 1.2)"),
    ({(22, 7): 2.0},
     "element-pair cutoff (22, 7) names species 7, which is not in the structure (its atomic numbers: 8, 22)"),
    ({("Ti", 8): 1.0, (8, "Ti"): 2.0},
     "element-pair cutoffs ('Ti', 8) and (8, 'Ti') name the same pair of species with different values "
     "(1.0 and 2.0)"),
    ({("Ti", "O"): float("nan")}, "the cutoff of ('Ti', 'O') must be a finite distance, not negative: got nan"),
])
def test_element_pair_keys_are_checked(table, message):
    cell, pos = random_cell_structure()
    with pytest.raises(ValueError) as e:
        neighbor_list(cell=cell, positions=pos, symbols=TIO2, cutoff=table)
    assert str(e.value) == message


def test_numbers_are_checked_against_the_numbers_given():
    cell, pos = random_cell_structure()
    numbers = [22] * 16 + [8] * 32
    with pytest.raises(ValueError, match=r"names species 'H', which is not in the structure \(its atomic numbers: "
                                         r"8, 22\)"):
        neighbor_list(cell=cell, positions=pos, numbers=numbers, cutoff={("O", "H"): 1.0})


def test_the_same_value_twice_is_one_pair():
    cell, pos = random_cell_structure()
    once = neighbor_list(cell=cell, positions=pos, symbols=TIO2, cutoff={("O", "Ti"): 3.0})
    twice = neighbor_list(cell=cell, positions=pos, symbols=TIO2, cutoff={("O", "Ti"): 3.0, ("Ti", "O"): 3.0})
    assert len(once.i) > 0
    assert_bitwise(once, twice)


# ---------------------------------------------------------------------------
# Open boxes: exact translation


def grid_atoms(n, seed, scale=1.0):
    """Atoms on a grid of 2^-10 in [0, 32] * scale, one of them at 0."""
    rng = np.random.default_rng(seed)
    q = rng.integers(0, 32 * 1024, (n, 3)).astype(np.float64) / 1024.0
    q[0] = 0.0
    return q * scale


@pytest.mark.parametrize("offset", [64.0, 2.0 ** 20, -64.0, -(2.0 ** 20), 2.0 ** 40])
@pytest.mark.parametrize("scale", [1.0, 2.0 ** -60, 2.0 ** 80])
def test_translated_atoms_give_the_same_list_bit_for_bit(offset, scale):
    q = grid_atoms(500, seed=int(abs(math.log2(abs(offset)))), scale=scale)
    p = q + offset * scale
    assert ((p - offset * scale) == q).all()
    reference = neighbor_list(positions=q, cutoff=3.0 * scale)
    moved = neighbor_list(positions=p, cutoff=3.0 * scale)
    assert len(reference.i) > 0
    assert_bitwise(moved, reference)  # in order as well


def _placements():
    rng = np.random.default_rng(11)
    base = rng.uniform(0.0, 25.0, (600, 3))
    yield "[L, 2L]", base + 25.0
    yield "negative", base - 50.0
    yield "centred", base - 12.5
    yield "stray atom", np.vstack([base, [[3e6, -2e5, 7.0]]])
    yield "tiny", base * 1e-30
    yield "huge", base * 1e30 + 1e31


@pytest.mark.parametrize("name, pos", list(_placements()), ids=[p[0] for p in _placements()])
def test_open_box_search_matches_the_untranslated_one(name, pos):
    """The same pairs, bit for bit, as the search in the box at the origin
    that holds the atoms as given."""
    cutoff = 3.0 * float(np.ptp(pos[:600], axis=0).max()) / 25.0
    extent = max(float(np.ptp(pos, axis=0).max()), 1.0)
    untranslated = _proxor.primitive_neighbor_list_rs(OPEN, np.eye(3) * extent, pos, cutoff)
    found = neighbor_list(positions=pos, cutoff=cutoff)
    assert len(found.i) > 100
    assert_bitwise(sorted_pairs(found), sorted_pairs(untranslated))
    assert (np.diff(found.i) >= 0).all()


def centred_atoms(n, length, seed):
    """Atoms in [-length, length]^3 with full mantissas: no axis has an exact
    offset, so the search bins from the box's corner."""
    # A scale that is not a power of two fills the mantissas (uniform(-4, 4)
    # alone gives multiples of 2^-50, which an offset subtracts exactly).
    return np.random.default_rng(seed).uniform(-1.0, 1.0, (n, 3)) * (length * 0.9 / 0.7)


def centred_cutoffs(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "scalar":
        return 3.1, {}
    if kind == "radii":
        return rng.uniform(0.4, 1.6, n), {}
    numbers = rng.choice([1, 6, 8], n)
    table = {(1, 1): 1.7, (1, 6): 2.9, (6, 8): 3.4, (8, 8): 2.2}
    return table, dict(numbers=numbers)


def proxor_reference(pos, cutoff, extra):
    """_proxor's pairs of the atoms as given, in a box at the origin as large
    as their extent (atoms outside it are searched from its edge bins)."""
    cell = np.eye(3) * max(float(np.ptp(pos, axis=0).max()), 1.0)
    if np.ndim(cutoff) == 1:
        return _proxor.primitive_neighbor_list_radii_rs(OPEN, cell, pos, cutoff)
    if isinstance(cutoff, dict):
        keys = list(cutoff)
        return _proxor.primitive_neighbor_list_dict_rs(OPEN, cell, pos, extra["numbers"], [k[0] for k in keys],
                                                       [k[1] for k in keys], list(cutoff.values()))
    return _proxor.primitive_neighbor_list_rs(OPEN, cell, pos, cutoff)


@pytest.mark.parametrize("kind", ["scalar", "radii", "pairs"])
@pytest.mark.parametrize("n, length", [(50, 2.5), (700, 6.0), (6000, 12.0)])
def test_centred_atoms_are_binned_from_the_corner_with_the_same_pairs(n, length, kind):
    pos = centred_atoms(n, length, seed=n)
    box = nbmod._search_box(None, pos, (False,) * 3, False)
    assert box.origin is not None and min(box.origin) < 0
    assert (box.positions == pos).all()  # no axis was translated
    cutoff, extra = centred_cutoffs(kind, n, seed=n + 1)
    found = neighbor_list(positions=pos, cutoff=cutoff, **extra)
    assert len(found.i) > n // 2
    assert_bitwise(sorted_pairs(found), sorted_pairs(proxor_reference(pos, cutoff, extra)))
    assert (np.diff(found.i) >= 0).all()
    # Chosen quantities, half lists and threads take the same bins.
    half = neighbor_list(positions=pos, cutoff=cutoff, half=True, threads=2, **extra)
    keep = found.i < found.j  # an open box has no shifts and no pair of an atom with itself
    assert_bitwise(half, tuple(a[keep] for a in found))


def test_counts_histograms_and_batches_of_centred_atoms_follow_the_list():
    from quorvel.engine import distance_histogram, neighbor_counts, neighbor_lists
    from quorvel.io import Structure

    pos = centred_atoms(3000, 25.0, seed=4)
    full = neighbor_list(positions=pos, cutoff=3.5)
    structure = Structure(cell=np.zeros((3, 3)), positions=pos, pbc=(False, False, False), symbols=["C"] * 3000)
    counts = neighbor_counts(structure, 3.5, threads=2)
    assert (counts == np.bincount(full.i, minlength=3000)).all()
    hist = distance_histogram(structure, 3.5, 7, threads=1)
    d = full.d[full.i < full.j]
    assert (hist == np.bincount(np.floor(d * (7 / 3.5)).astype(np.int64), minlength=7)).all()
    # In a batch beside a periodic structure, in the list's order.
    periodic = Structure(cell=np.eye(3) * 9.0, positions=centred_atoms(200, 4.0, seed=5), symbols=["C"] * 200)
    batch = neighbor_lists([periodic, structure], 3.5, threads=2)
    lo = batch.pair_offsets[1]
    assert_bitwise((batch.i[lo:] - 200, batch.j[lo:] - 200, batch.d[lo:], batch.D[lo:], batch.S[lo:]), full)


@pytest.mark.parametrize("max_nbins", [1, 8, 1000, None])
def test_bin_budget_changes_no_pair(max_nbins):
    pos = np.vstack([np.random.default_rng(5).uniform(0.0, 20.0, (400, 3)), [[1e7, 0.0, 0.0]]])
    reference = neighbor_list(positions=pos, cutoff=3.0, max_nbins=10 ** 6)
    assert_bitwise(sorted_pairs(neighbor_list(positions=pos, cutoff=3.0, max_nbins=max_nbins)),
                   sorted_pairs(reference))


@pytest.mark.parametrize("low, high", [(1.0, 2.0), (-3.0, -1.0), (-1.0, 1.0), (1e-300, 1.0), (1e10, 1e10 + 5.0),
                                       (-1e20, 1e-20), (0.5, 1e16)])
def test_offsets_are_exact_or_zero(low, high):
    p = np.random.default_rng(3).uniform(low, high, 1000)
    t = nbmod._exact_offset(p)
    assert t <= p.min()
    exact = [Fraction(float(x)) - Fraction(t) == Fraction(float(x - t)) for x in p]
    assert all(exact)
    if t == 0.0:
        return
    # An offset that is found leaves the atoms close to the origin.
    assert (p - t).min() <= (high - low) * 1e-6 + np.spacing(np.abs(p).max())


def test_a_user_open_cell_gives_the_pairs_of_the_bounded_box():
    pos = np.random.default_rng(2).uniform(100.0, 120.0, (300, 3))
    cell = np.array([[5.0, 0.0, 0.0], [1.0, 5.0, 0.0], [0.0, -1.0, 5.0]])
    given = neighbor_list(cell=cell, positions=pos, pbc=False, cutoff=3.0)
    plain = neighbor_list(positions=pos, cutoff=3.0)
    assert_bitwise(given, plain)


# ---------------------------------------------------------------------------
# The command line


def quorvel_command(*args):
    return subprocess.run([sys.executable, "-P", "-m", "quorvel", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def test_frames_report_counts_a_changing_composition(tmp_path):
    path = tmp_path / "mixed.xyz"
    path.write_text("3\nwater\nO 0 0 0\nH 0.96 0 0\nH -0.24 0.93 0\n"
                    "4\nwater and carbon\nO 0 0 0\nH 0.96 0 0\nH -0.24 0.93 0\nC 5 0 0\n"
                    "2\ncarbon\nC 0 0 0\nC 1.5 0 0\n")
    r = quorvel_command("neighbors", path, "--cutoff", "3", "--frames")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == f"{path} (XYZ): 2-4 atoms per frame (O 0-1, H 0-2, C 0-2), periodic: none"
    assert lines[1] == "frames: 3"
    # O: 2 neighbors in frames 1-2; C: none in frame 2, one each in frame 3.
    assert "mean coordination: O 2.00, H 2.00, C 0.67" in lines
    r = quorvel_command("neighbors", path, "--cutoff", "3")
    assert r.stdout.splitlines()[0] == f"{path} (XYZ): 3 atoms (O 1, H 2), periodic: none"


def test_frames_report_of_a_fixed_composition(tmp_path):
    path = tmp_path / "same.xyz"
    path.write_text("2\na\nSi 0 0 0\nO 1.6 0 0\n" * 2)
    r = quorvel_command("neighbors", path, "--cutoff", "3", "--frames")
    assert r.stdout.splitlines()[0] == f"{path} (XYZ): 2 atoms (Si 1, O 1), periodic: none"


@pytest.mark.parametrize("atoms, options, message", [
    ("Si 0 0 0\nSi nan 1 1\n", ["--cutoff", "3"],
     "atom 1 (counting from 0) has a non-finite position (nan, 1.0, 1.0)"),
    ("Si 0 0 0\nSi 1 1 1\n", ["--cutoff", "1e20"],
     "a cutoff of 1e+20 Å reaches about 1.7e+19 images of the cell along periodic axis 0 (a), which is only 6 Å "
     "high; the search would not end in reasonable time"),
    ("Si 0 0 0\nSi 1 1 1\n", ["--cutoff", "30", "--max-pairs", "10"],
     "a cutoff of 30 Å would give about 2.1e+03 pairs, more than max_pairs=10"),
])
def test_command_line_refusals_are_one_line(tmp_path, atoms, options, message):
    path = tmp_path / "cell.xyz"
    path.write_text('2\nLattice="6 0 0 0 6 0 0 0 6" pbc="T T T"\n' + atoms)
    r = quorvel_command("neighbors", path, *options)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr == f"quorvel neighbors: error: {message}\n"


def test_command_line_max_pairs_raises_the_limit(tmp_path):
    path = tmp_path / "cell.xyz"
    path.write_text('2\nLattice="6 0 0 0 6 0 0 0 6" pbc="T T T"\nSi 0 0 0\nSi 1 1 1\n')
    r = quorvel_command("neighbors", path, "--cutoff", "30", "--max-pairs", "10000")
    assert r.returncode == 0, r.stderr
    count = len(neighbor_list(cell=np.eye(3) * 6.0, positions=[[0, 0, 0], [1, 1, 1]], cutoff=30.0).i) // 2
    assert f"pairs closer than 30 Å: {count}" in r.stdout


@pytest.mark.parametrize("scaled, message", [
    (False, "Cell matrix is singular (det = 0.000e0). Cannot compute scaled positions."),
    (True, "the cell is singular (det = 0.000e+00); scaled positions need a cell with volume"),
])
def test_flat_periodic_cells_are_refused(scaled, message):
    cell = np.array([[1.0, 0.0, 0.0], [2.0, 0.0, 0.0], [0.0, 0.0, 1.0]])
    with pytest.raises(ValueError) as e:
        neighbor_list(cell=cell, positions=np.zeros((2, 3)), cutoff=1.0, scaled_positions=scaled)
    assert str(e.value) == message
