"""Semantics of the neighbor-list search, checked against an independent
brute-force reference and the worked examples of the design."""

import itertools
import math

import numpy as np
import pytest

from quorvel import _proxor

from support import panic_type

NL = _proxor.primitive_neighbor_list_rs
NL_RADII = _proxor.primitive_neighbor_list_radii_rs
NL_DICT = _proxor.primitive_neighbor_list_dict_rs

PERIODIC = [True, True, True]
OPEN = [False, False, False]
MESSAGE_SINGULAR = "Cell matrix is singular (det = {}). Cannot compute scaled positions."


# ---------------------------------------------------------------------------
# Reference: every atom pair against every image in a box wide enough for the
# cutoff (image 0 only along open axes), in plain NumPy.

def heights(cell):
    a, b, c = cell
    vol = abs(np.linalg.det(cell))
    return np.array([vol / np.linalg.norm(np.cross(b, c)), vol / np.linalg.norm(np.cross(c, a)),
                     vol / np.linalg.norm(np.cross(a, b))])


def reference(pbc, cell, pos, cutoff, self_interaction=False):
    """{(i, j, S): D} of all pairs with |D| < cutoff."""
    scaled = np.linalg.solve(cell.T, pos.T).T
    # Atoms outside the cell need images further out.
    spread = np.ceil(np.abs(scaled).max(axis=0)) + 1 if len(pos) else np.zeros(3)
    reach = [int(math.ceil(cutoff / h) + spread[k]) if pbc[k] else 0 for k, h in enumerate(heights(cell))]
    found = {}
    for S in itertools.product(*[range(-r, r + 1) for r in reach]):
        D = pos[None, :, :] - pos[:, None, :] + np.array(S, dtype=float) @ cell
        q = (D ** 2).sum(axis=2)
        for i, j in zip(*np.nonzero(q < cutoff * cutoff)):
            if i == j and S == (0, 0, 0) and not self_interaction:
                continue
            found[(int(i), int(j)) + S] = D[i, j]
    return found


def as_dict(result):
    i, j, d, D, S = result
    return {(int(a), int(b), *map(int, s)): dv for a, b, s, dv in zip(i, j, S, D)}


def random_system(seed):
    rng = np.random.default_rng(seed)
    cell = np.diag(rng.uniform(2.0, 7.0, 3)) + rng.uniform(-1.5, 1.5, (3, 3))
    pbc = [bool(x) for x in rng.random(3) < 0.6]
    n = int(rng.integers(1, 25))
    # Atoms partly outside the cell, cutoffs up to twice the cell.
    pos = rng.uniform(-0.4, 1.4, (n, 3)) @ cell
    cutoff = float(rng.uniform(0.5, 2.0 * heights(cell).max()))
    return pbc, cell, pos, cutoff, bool(rng.random() < 0.3)


def spec_order_D(cell, pos, i, j, S):
    """D with the search's operation order: (xj - xi) + ((S0 a + S1 b) + S2 c)."""
    Sf = S.astype(float)
    shift = (Sf[:, 0:1] * cell[0] + Sf[:, 1:2] * cell[1]) + Sf[:, 2:3] * cell[2]
    return (pos[j] - pos[i]) + shift


def spec_order_d(D):
    return np.sqrt((D[:, 0] * D[:, 0] + D[:, 1] * D[:, 1]) + D[:, 2] * D[:, 2])


SEEDS = range(40)


@pytest.mark.parametrize("seed", SEEDS)
def test_nothing_extra_and_nothing_missing(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    result = NL(pbc, cell, pos, cutoff, si)
    assert len(as_dict(result)) == len(result[0]), "a pair appears twice"
    assert_same_pairs(as_dict(result), reference(pbc, cell, pos, cutoff, si), cutoff)


def assert_same_pairs(got, ref, cutoff):
    extra = set(got) - set(ref)
    missing = set(ref) - set(got)
    # Pairs within rounding of the cutoff may fall either way with another
    # operation order.
    assert all(abs(np.linalg.norm(got[k]) - cutoff) < 1e-9 for k in extra), extra
    assert all(abs(np.linalg.norm(ref[k]) - cutoff) < 1e-9 for k in missing), missing
    for key in set(got) & set(ref):
        np.testing.assert_allclose(got[key], ref[key], rtol=0, atol=1e-12)


@pytest.mark.parametrize("seed", SEEDS)
def test_distances_follow_the_operation_order_bit_for_bit(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    i, j, d, D, S = NL(pbc, cell, pos, cutoff, si)
    assert np.array_equal(D, spec_order_D(cell, pos, i, j, S))
    assert np.array_equal(d, spec_order_d(D))
    assert (d < cutoff).all()


@pytest.mark.parametrize("seed", SEEDS)
def test_every_pair_appears_reversed(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    i, j, d, D, S = NL(pbc, cell, pos, cutoff, si)
    index = {(a, b, *s): m for m, (a, b, s) in enumerate(zip(i.tolist(), j.tolist(), S.tolist()))}
    for m, (a, b, s) in enumerate(zip(i.tolist(), j.tolist(), S.tolist())):
        r = index[(b, a, *(-x for x in s))]
        assert d[r].tobytes() == d[m].tobytes()
        assert np.array_equal(D[r], -D[m])
    for k, periodic in enumerate(pbc):
        if not periodic:
            assert (S[:, k] == 0).all()


def search_offsets(pbc, cell, pos, cutoff, i, j, S):
    """The bin offsets (d0, d1, d2) each pair was found through, recomputed
    from the bin counts and the binning of the atoms (small cells only, where
    the cap plays no part)."""
    h = heights(cell)
    w = max(cutoff, 3.0)
    n = np.maximum(1, np.floor(h / w)).astype(np.int64)
    v = np.floor(n * np.linalg.solve(cell.T, pos.T).T).astype(np.int64)
    g = np.where(pbc, v % n, np.clip(v, 0, n - 1))
    o = np.where(pbc, v // n, 0)
    t = S - o[i] + o[j]
    return t * n + g[j] - g[i]


@pytest.mark.parametrize("seed", SEEDS)
def test_order_by_atom_then_offsets_then_neighbor(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    i, j, d, D, S = NL(pbc, cell, pos, cutoff, si)
    delta = search_offsets(pbc, cell, pos, cutoff, i, j, S)
    keys = [(a, dl[2], dl[1], dl[0], b) for a, b, dl in zip(i.tolist(), j.tolist(), delta.tolist())]
    assert all(x < y for x, y in zip(keys, keys[1:])), "not ordered by (i, d2, d1, d0, j)"


def binned_system(seed):
    """Several bins per axis, most atoms in the cell and a few outside it, so
    that bins of atoms in the cell come between bins holding atoms of other
    wrap offsets."""
    rng = np.random.default_rng(1000 + seed)
    cell = np.diag(rng.uniform(10.0, 14.0, 3)) + rng.uniform(-1.0, 1.0, (3, 3)) * (seed % 2)
    pbc = [bool(x) for x in rng.random(3) < 0.7]
    scaled = rng.uniform(0.0, 1.0, (150, 3))
    outside = rng.random(150) < 0.08
    scaled[outside] += rng.integers(-2, 3, (int(outside.sum()), 3))
    return pbc, cell, scaled @ cell, float(rng.uniform(3.0, 4.5)), bool(rng.random() < 0.3)


@pytest.mark.parametrize("seed", range(10))
def test_bins_of_mixed_offsets_keep_the_order_and_the_pairs(seed):
    pbc, cell, pos, cutoff, si = binned_system(seed)
    result = NL(pbc, cell, pos, cutoff, si)
    i, j, d, D, S = result
    delta = search_offsets(pbc, cell, pos, cutoff, i, j, S)
    keys = [(a, dl[2], dl[1], dl[0], b) for a, b, dl in zip(i.tolist(), j.tolist(), delta.tolist())]
    assert all(x < y for x, y in zip(keys, keys[1:])), "not ordered by (i, d2, d1, d0, j)"
    assert_same_pairs(as_dict(result), reference(pbc, cell, pos, cutoff, si), cutoff)


# ---------------------------------------------------------------------------
# Worked examples.

@pytest.mark.parametrize("self_interaction", [False, True])
def test_one_atom_in_a_small_periodic_cube(self_interaction):
    i, j, d, D, S = NL(PERIODIC, np.eye(3) * 2.0, np.zeros((1, 3)), 2.5, self_interaction)
    shifts = [(0, 0, -1), (0, -1, 0), (-1, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)]
    if self_interaction:
        shifts.insert(3, (0, 0, 0))
    assert S.tolist() == [list(s) for s in shifts]
    assert (i == 0).all() and (j == 0).all()
    assert np.array_equal(D, 2.0 * S)
    assert d.tolist() == [0.0 if s == (0, 0, 0) else 2.0 for s in shifts]


def test_two_atoms_across_the_boundary():
    pos = np.array([[0.5, 5.0, 5.0], [9.5, 5.0, 5.0]])
    i, j, d, D, S = NL(PERIODIC, np.eye(3) * 10.0, pos, 2.0)
    assert i.tolist() == [0, 1] and j.tolist() == [1, 0]
    assert S.tolist() == [[-1, 0, 0], [1, 0, 0]]
    assert D.tolist() == [[-1.0, 0.0, 0.0], [1.0, 0.0, 0.0]]
    assert d.tolist() == [1.0, 1.0]


def test_two_atoms_in_a_large_open_cell():
    pos = np.array([[10.0, 10.0, 10.0], [11.0, 10.0, 10.0]])
    i, j, d, D, S = NL(OPEN, np.eye(3) * 50.0, pos, 2.0)
    assert i.tolist() == [0, 1] and j.tolist() == [1, 0]
    assert D.tolist() == [[1.0, 0.0, 0.0], [-1.0, 0.0, 0.0]]
    assert d.tolist() == [1.0, 1.0] and not S.any()


def test_wrapped_atom_keeps_its_offset_in_S():
    # Scaled x = 1.25 in a cell of 4 bins: bin 1, wrap offset 1. D is formed
    # from the unwrapped position.
    cell = np.eye(3) * 12.0
    pos = np.array([[15.0, 6.0, 6.0], [4.0, 6.0, 6.0]])
    i, j, d, D, S = NL(PERIODIC, cell, pos, 3.0)
    assert i.tolist() == [0, 1] and j.tolist() == [1, 0]
    assert S.tolist() == [[1, 0, 0], [-1, 0, 0]]
    assert D.tolist() == [[1.0, 0.0, 0.0], [-1.0, 0.0, 0.0]]


def test_atoms_far_outside_an_open_cell_find_each_other():
    pos = np.array([[-50.0, 2.0, 3.0], [-49.0, 2.0, 3.0], [5.0, 5.0, 5.0], [200.0, 5.0, 5.5]])
    pos = np.vstack([pos, [[200.0, 5.0, 6.0]]])
    got = as_dict(NL(OPEN, np.eye(3) * 10.0, pos, 1.5))
    assert set(got) == {(0, 1, 0, 0, 0), (1, 0, 0, 0, 0), (3, 4, 0, 0, 0), (4, 3, 0, 0, 0)}


def test_open_axes_never_shift():
    pbc = [True, False, True]
    cell = np.eye(3) * 4.0
    pos = np.random.default_rng(5).uniform(-2, 6, (30, 3))
    i, j, d, D, S = NL(pbc, cell, pos, 5.0)
    assert len(i) > 0 and (S[:, 1] == 0).all()
    assert set(as_dict((i, j, d, D, S))) == set(reference(pbc, cell, pos, 5.0))


# ---------------------------------------------------------------------------
# Cutoffs and coordinates at the edges.

def test_cutoff_exactly_at_the_distance_is_not_a_pair():
    pos = np.array([[1.0, 1.0, 1.0], [2.5, 1.0, 1.0]])
    assert len(NL(OPEN, np.eye(3) * 10.0, pos, 1.5)[0]) == 0
    assert len(NL(OPEN, np.eye(3) * 10.0, pos, np.nextafter(1.5, 2.0))[0]) == 2


@pytest.mark.parametrize("cutoff", [0.0, math.nan, -0.0])
@pytest.mark.parametrize("self_interaction", [False, True])
def test_zero_and_nan_cutoffs_give_nothing(cutoff, self_interaction):
    pos = np.array([[1.0, 1.0, 1.0], [1.0, 1.0, 1.0], [2.0, 1.0, 1.0]])
    assert len(NL(PERIODIC, np.eye(3) * 4.0, pos, cutoff, self_interaction)[0]) == 0


def test_negative_cutoff_acts_by_its_square_within_the_searched_bins():
    pos = np.array([[1.0, 1.0, 1.0], [2.0, 1.0, 1.0], [5.0, 1.0, 1.0]])
    neg = NL(OPEN, np.eye(3) * 30.0, pos, -2.0)
    pos_ = NL(OPEN, np.eye(3) * 30.0, pos, 2.0)
    for a, b in zip(neg, pos_):
        assert np.array_equal(a, b)
    assert len(neg[0]) == 2


def test_infinite_cutoff():
    pos = np.random.default_rng(1).uniform(0, 5, (6, 3))
    assert len(NL([True, False, False], np.eye(3) * 5.0, pos, math.inf)[0]) == 0
    i, j, d, D, S = NL(OPEN, np.eye(3) * 5.0, pos, math.inf)
    assert sorted(zip(i.tolist(), j.tolist())) == [(a, b) for a in range(6) for b in range(6) if a != b]


@pytest.mark.parametrize("use_scaled", [False, True])
def test_nan_coordinate_takes_part_in_no_pair(use_scaled):
    cell = np.eye(3) * 6.0
    pos = np.array([[1.0, 1.0, 1.0], [1.5, 1.0, 1.0], [math.nan, 1.2, 1.0], [1.0, 1.5, 1.0]])
    arg = pos / 6.0 if use_scaled else pos
    i, j, d, D, S = NL(PERIODIC, cell, arg, 2.0, False, use_scaled)
    assert 2 not in i and 2 not in j
    clean = np.delete(pos, 2, axis=0)
    expected = reference(PERIODIC, cell, clean, 2.0)
    renumber = {0: 0, 1: 1, 2: 3}
    assert set(as_dict((i, j, d, D, S))) == {(renumber[k[0]], renumber[k[1]], *k[2:]) for k in expected}


@pytest.mark.parametrize("seed", range(8))
def test_scaled_positions_give_the_cartesian_result(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    scaled = np.linalg.solve(cell.T, pos.T).T
    i, j, d, D, S = NL(pbc, cell, scaled, cutoff, si, True)
    cart = ((scaled[:, 0:1] * cell[0] + 0.0) + scaled[:, 1:2] * cell[1]) + scaled[:, 2:3] * cell[2]
    assert np.array_equal(D, spec_order_D(cell, cart, i, j, S))
    assert_same_pairs(as_dict((i, j, d, D, S)), reference(pbc, cell, cart, cutoff, si), cutoff)


@pytest.mark.parametrize("seed", range(12))
def test_bin_cap_changes_only_the_order(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    cell = cell * 4.0
    pos = pos * 4.0
    full = NL(pbc, cell, pos, cutoff, si)
    one = NL(pbc, cell, pos, cutoff, si, False, 1)
    assert as_dict(full).keys() == as_dict(one).keys()
    zero = NL(pbc, cell, pos, cutoff, si, False, 0)
    for a, b in zip(one, zero):
        assert np.array_equal(a, b)


def test_single_bin_orders_by_offset_then_atom():
    # One bin per axis: the pairs of each atom come by shift (S2, S1, S0),
    # then by neighbor index.
    cell = np.eye(3) * 2.9
    pos = np.array([[0.1, 0.2, 0.3], [1.5, 1.4, 1.3], [2.8, 0.1, 2.0]])
    i, j, d, D, S = NL(PERIODIC, cell, pos, 3.1)
    delta = search_offsets(PERIODIC, cell, pos, 3.1, i, j, S)
    assert np.array_equal(delta, S)  # one bin and in-cell atoms: offsets are the shifts
    keys = [(a, s[2], s[1], s[0], b) for a, b, s in zip(i.tolist(), j.tolist(), S.tolist())]
    assert keys == sorted(keys)


# ---------------------------------------------------------------------------
# Failures.

@pytest.mark.parametrize("cell, text", [
    (np.zeros((3, 3)), "0.000e0"),
    (np.diag([1e-5, 1e-5, 1e-6]), "1.000e-16"),
    (np.diag([-1e-5, 1e-5, 2.5e-6]), "-2.500e-16"),
    (np.diag([1e-5, 1e-5, 9.9996e-6]), "1.000e-15"),
    (np.array([[1.0, 2.0, 3.0], [2.0, 4.0, 6.0], [0.0, 1.0, 5.0]]), "0.000e0"),
])
@pytest.mark.parametrize("pbc", [PERIODIC, OPEN])
def test_singular_cell(cell, text, pbc):
    with pytest.raises(ValueError) as info:
        NL(pbc, cell, np.zeros((2, 3)), 2.0)
    assert str(info.value) == MESSAGE_SINGULAR.format(text)


@pytest.mark.parametrize("pbc, cell", [
    (PERIODIC, np.zeros((3, 3))),  # NaN heights: one bin, no range
    (OPEN, np.zeros((3, 3))),
    (OPEN, np.diag([1e-5, 1e-5, 1e-6])),
])
def test_scaled_positions_do_not_test_the_determinant(pbc, cell):
    i, j, d, D, S = NL(pbc, cell, np.array([[0.1, 0.2, 0.3], [0.1, 0.2, 0.3]]), 2.0, False, True)
    # Both atoms collapse onto the same Cartesian point.
    assert i.tolist() == [0, 1] and j.tolist() == [1, 0] and d.tolist() == [0.0, 0.0]


def test_singular_cell_comes_before_short_positions():
    with pytest.raises(ValueError):
        NL(PERIODIC, np.zeros((3, 3)), np.zeros((2, 2)), 2.0)


@pytest.fixture(scope="module")
def panic():
    return panic_type(NL, PERIODIC, np.eye(2), np.zeros((1, 3)), 1.0)


def test_panic_type_is_a_base_exception(panic):
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)


@pytest.mark.parametrize("cell, positions, scaled", [
    (np.eye(2), np.zeros((1, 3)), False),
    (np.zeros((2, 3)), np.zeros((1, 3)), False),  # before the singular cell
    (np.eye(3)[:, :2], np.zeros((1, 3)), True),
    (np.eye(3), np.zeros((1, 2)), False),
    (np.eye(3), np.zeros((1, 2)), True),
    (np.zeros((2, 2)), np.zeros((1, 2)), True),
])
def test_short_arrays_panic(panic, cell, positions, scaled):
    with pytest.raises(panic) as info:
        NL(PERIODIC, cell, positions, 1.0, False, scaled)
    assert str(info.value) == "ndarray: index out of bounds"


def test_larger_arrays_use_the_first_three_rows_and_columns():
    cell = np.eye(4) * 10.0
    pos = np.array([[1.0, 1.0, 1.0, 99.0], [2.0, 1.0, 1.0, -99.0]])
    for a, b in zip(NL(PERIODIC, cell, pos, 2.0), NL(PERIODIC, cell[:3, :3], pos[:, :3].copy(), 2.0)):
        assert np.array_equal(a, b)


@pytest.mark.parametrize("cell", [np.zeros((3, 3)), np.eye(2), np.zeros((0, 0))])
def test_no_atoms_examines_nothing(cell):
    check_empty(NL(PERIODIC, cell, np.zeros((0, 3)), 5.0))
    check_empty(NL(PERIODIC, cell, np.zeros((0, 1)), 5.0))


# ---------------------------------------------------------------------------
# Result arrays.

def check_empty(result):
    assert [a.shape for a in result] == [(0,), (0,), (0,), (0, 3), (0, 3)]
    check_arrays(result)


def check_arrays(result, inputs=()):
    i, j, d, D, S = result
    assert [a.dtype for a in result] == [np.int64, np.int64, np.float64, np.float64, np.int64]
    m = len(i)
    assert [a.shape for a in result] == [(m,), (m,), (m,), (m, 3), (m, 3)]
    for a in result:
        assert a.flags.writeable and a.flags.c_contiguous
    for x, y in itertools.combinations(list(result) + list(inputs), 2):
        assert not np.shares_memory(x, y)


def test_result_arrays_are_fresh_writeable_and_contiguous():
    pbc, cell, pos, cutoff, si = random_system(3)
    result = NL(pbc, cell, pos, cutoff, si)
    assert len(result[0]) > 0
    check_arrays(result, (cell, pos))
    inputs = (cell.copy(), pos.copy())
    copies = [a.copy() for a in result]
    for k, a in enumerate(result):
        a[...] = -7
        assert all(np.array_equal(b, c) for n, (b, c) in enumerate(zip(result, copies)) if n != k)
        a[...] = copies[k]
    assert np.array_equal(cell, inputs[0]) and np.array_equal(pos, inputs[1])


@pytest.mark.parametrize("view", [
    np.asfortranarray,
    lambda a: np.ascontiguousarray(a[::-1])[::-1],  # negative strides
    lambda a: np.repeat(a, 2, axis=1)[:, ::2],  # strided columns
])
def test_strided_inputs_read_by_logical_index(view):
    pbc, cell, pos, cutoff, si = random_system(11)
    expected = NL(pbc, cell, pos, cutoff, si)
    got = NL(pbc, view(cell), view(pos), cutoff, si)
    for a, b in zip(expected, got):
        assert np.array_equal(a, b)


# ---------------------------------------------------------------------------
# Per-atom radii.

def radii_filter(result, radii):
    i, j, d, D, S = result
    keep = radii[i] + radii[j] > d
    return i[keep], j[keep], d[keep], D[keep], S[keep]


@pytest.mark.parametrize("seed", range(15))
def test_radii_filter_the_scalar_result(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    rng = np.random.default_rng(seed + 100)
    radii = rng.uniform(0.2, 1.0, len(pos)) * cutoff / 2
    if seed % 3 == 0:
        radii[rng.integers(len(pos))] = math.nan
    largest = np.nanmax(radii)
    full = NL(pbc, cell, pos, largest + largest, si)
    got = NL_RADII(pbc, cell, pos, radii, si)
    check_arrays(got, (cell, pos, radii))
    for a, b in zip(got, radii_filter(full, radii)):
        assert np.array_equal(a, b)


@pytest.mark.parametrize("radii, pairs", [
    ([1.0, 0.4], 0), ([1.0, 0.6], 2), ([0.75, 0.75], 0), ([1.0, 0.5], 0),
    ([math.nan, 2.0], 0), ([math.nan, math.nan], 0), ([-1.0, 3.0], 2), ([-1.0, 2.0], 0),
    ([1.0, 0.6, 100.0], 2),  # an extra radius only enlarges the search
])
def test_radii_two_atoms(radii, pairs):
    pos = np.array([[1.0, 1.0, 1.0], [2.5, 1.0, 1.0]])
    i, j, d, D, S = NL_RADII(OPEN, np.eye(3) * 20.0, pos, np.array(radii))
    assert len(i) == pairs
    if pairs:
        assert i.tolist() == [0, 1] and j.tolist() == [1, 0] and d.tolist() == [1.5, 1.5]


@pytest.mark.parametrize("radius, kept", [(0.5, True), (0.0, False), (-0.5, False), (math.nan, False)])
def test_radii_self_pair(radius, kept):
    i, j, d, D, S = NL_RADII(OPEN, np.eye(3) * 20.0, np.ones((1, 3)), np.array([radius]), True)
    assert (len(i) == 1) == kept


def test_radii_empty_examines_nothing():
    check_empty(NL_RADII(PERIODIC, np.zeros((3, 3)), np.zeros((2, 3)), np.zeros(0)))
    with pytest.raises(ValueError):
        NL_RADII(PERIODIC, np.zeros((3, 3)), np.zeros((2, 3)), np.ones(1))


def test_radii_shorter_than_the_atoms(panic):
    pos = np.array([[1.0, 1.0, 1.0], [2.0, 1.0, 1.0], [15.0, 15.0, 15.0]])
    # Atom 2 has no radius but is in no pair: fine.
    assert len(NL_RADII(OPEN, np.eye(3) * 20.0, pos, np.array([1.0, 1.0]))[0]) == 2
    with pytest.raises(panic) as info:
        NL_RADII(OPEN, np.eye(3) * 20.0, pos, np.array([1.0]))
    assert str(info.value) == "ndarray: index out of bounds"


# ---------------------------------------------------------------------------
# Element-pair cutoffs.

def dict_filter(result, numbers, table):
    i, j, d, D, S = result
    cut = np.array([table.get((numbers[a], numbers[b]), math.nan) for a, b in zip(i, j)])
    keep = cut > d
    return i[keep], j[keep], d[keep], D[keep], S[keep]


@pytest.mark.parametrize("seed", range(15))
def test_element_pairs_filter_the_scalar_result(seed):
    pbc, cell, pos, cutoff, si = random_system(seed)
    rng = np.random.default_rng(seed + 200)
    numbers = rng.choice([1, 8, 26], len(pos)).astype(np.int64)
    rows = [(1, 8, cutoff * 0.5), (8, 8, cutoff * 0.8), (26, 1, cutoff), (8, 1, cutoff * 0.6)]
    zi, zj, vals = (list(x) for x in zip(*rows))
    table = {}
    for a, b, v in rows:
        table[(a, b)] = table[(b, a)] = v
    got = NL_DICT(pbc, cell, pos, numbers, zi, zj, vals, si)
    check_arrays(got, (cell, pos, numbers))
    for a, b in zip(got, dict_filter(NL(pbc, cell, pos, max(vals), si), numbers, table)):
        assert np.array_equal(a, b)


def water_like():
    pos = np.array([[1.0, 1.0, 1.0], [2.0, 1.0, 1.0], [1.0, 2.3, 1.0], [5.0, 5.0, 5.0], [5.0, 5.0, 6.0]])
    return pos, np.array([8, 1, 1, 8, 8], dtype=np.int64)


@pytest.mark.parametrize("rows, expected", [
    # (1, 8): 1.0 and 1.3 apart; (1, 1) pairs are never kept.
    ([(1, 8, 1.2)], {(0, 1), (1, 0)}),
    ([(1, 8, 1.2), (8, 1, 1.5)], {(0, 1), (1, 0), (0, 2), (2, 0)}),
    ([(8, 1, 1.5), (1, 8, 1.2)], {(0, 1), (1, 0)}),
    ([(1, 8, 1.0)], set()),  # exactly at the cutoff
    ([(8, 8, 1.1)], {(3, 4), (4, 3)}),
    ([(1, 8, math.nan), (8, 8, 1.1)], {(3, 4), (4, 3)}),
    ([(1, 8, 0.0), (8, 8, 1.1)], {(3, 4), (4, 3)}),
    ([(1, 8, -5.0), (8, 8, 1.1)], {(3, 4), (4, 3)}),
    ([(1, 8, math.nan)], set()),
    ([(2, 3, 9.0)], set()),  # elements not present
])
def test_element_pair_table(rows, expected):
    pos, numbers = water_like()
    zi, zj, vals = (list(x) for x in zip(*rows))
    i, j, *_ = NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers, zi, zj, vals)
    assert set(zip(i.tolist(), j.tolist())) == expected


def test_element_values_beyond_the_keys_only_enlarge_the_search():
    pos, numbers = water_like()
    base = NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers, [1], [8], [1.5])
    wider = NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers, [1], [8], [1.5, 50.0])
    assert as_dict(base).keys() == as_dict(wider).keys()
    assert len(base[0]) == 4


def test_element_infinite_value():
    pos, numbers = water_like()
    assert len(NL_DICT([True, False, False], np.eye(3) * 20.0, pos, numbers, [1, 8], [8, 8],
                       [1.5, math.inf])[0]) == 0
    i, j, *_ = NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers, [1, 8], [8, 8], [1.5, math.inf])
    assert set(zip(i.tolist(), j.tolist())) == {(0, 1), (1, 0), (0, 2), (2, 0)} | {
        (a, b) for a in (0, 3, 4) for b in (0, 3, 4) if a != b}


@pytest.mark.parametrize("kept", [True, False])
def test_element_self_pair(kept):
    i, *_ = NL_DICT(OPEN, np.eye(3) * 20.0, np.ones((1, 3)), np.array([6], dtype=np.int64), [6], [6],
                    [1.0 if kept else 0.0], True)
    assert (len(i) == 1) == kept


def test_element_empty_values_examine_nothing():
    check_empty(NL_DICT(PERIODIC, np.zeros((3, 3)), np.zeros((2, 3)), np.zeros(0, dtype=np.int64), [1], [2], []))


def test_element_empty_keys_still_search():
    pos, numbers = water_like()
    check_empty(NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers, [], [], [1.5]))
    with pytest.raises(ValueError) as info:
        NL_DICT(OPEN, np.zeros((3, 3)), pos, numbers, [], [], [1.5])
    assert str(info.value) == MESSAGE_SINGULAR.format("0.000e0")


@pytest.mark.parametrize("zi, zj, vals, index", [
    ([1, 8], [8], [1.0, 2.0], 1),
    ([1, 8, 8], [8, 8, 1], [1.0], 1),
    ([1, 8, 8], [8], [1.0, 2.0, 3.0], 1),
    ([1], [], [1.0], 0),
])
def test_element_short_key_lists_panic_after_the_search(panic, zi, zj, vals, index):
    pos, numbers = water_like()
    with pytest.raises(panic) as info:
        NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers, zi, zj, vals)
    assert str(info.value) == f"index out of bounds: the len is {index} but the index is {index}"
    # The search's own error comes first.
    with pytest.raises(ValueError):
        NL_DICT(OPEN, np.zeros((3, 3)), pos, numbers, zi, zj, vals)


def test_element_numbers_shorter_than_the_atoms(panic):
    pos, numbers = water_like()
    # Atoms 3 and 4 lack numbers; fine while they are in no found pair.
    i, *_ = NL_DICT(OPEN, np.eye(3) * 20.0, pos[:3].copy(), numbers[:3].copy(), [1], [8], [1.5])
    assert len(i) == 4
    with pytest.raises(panic) as info:
        NL_DICT(OPEN, np.eye(3) * 20.0, pos, numbers[:3].copy(), [1], [8], [1.5])
    assert str(info.value) == "ndarray: index out of bounds"
