"""quorvel.neighbor_list against a brute-force reference."""

import itertools

import numpy as np
import pytest

import quorvel
from quorvel import io


def brute_force(cell, positions, pbc, keep):
    """Every (i, j, S) with keep(i, j, d) over the images within two cells."""
    ranges = [range(-2, 3) if p else range(1) for p in pbc]
    found = set()
    for S in itertools.product(*ranges):
        shift = np.array(S) @ cell
        for i, j in itertools.product(range(len(positions)), repeat=2):
            if i == j and S == (0, 0, 0):
                continue
            d = np.linalg.norm(positions[j] + shift - positions[i])
            if keep(i, j, d):
                found.add((i, j, S))
    return found


def as_set(nl):
    return {(int(i), int(j), tuple(s)) for i, j, s in zip(nl.i, nl.j, nl.S.tolist())}


def structure(seed=0, n=12):
    rng = np.random.default_rng(seed)
    cell = np.array([[4.0, 0.0, 0.0], [1.0, 4.5, 0.0], [0.5, 0.3, 5.0]])
    positions = rng.random((n, 3)) @ cell
    symbols = ["O" if k % 3 == 0 else "H" for k in range(n)]
    return io.Structure(cell, positions, symbols, (True, True, False))


def test_scalar_cutoff_matches_brute_force_and_vectors_agree():
    s = structure()
    nl = quorvel.neighbor_list(s, 3.0)
    assert isinstance(nl, quorvel.Neighbors)
    assert as_set(nl) == brute_force(s.cell, s.positions, s.pbc, lambda i, j, d: d < 3.0)
    np.testing.assert_allclose(nl.D, s.positions[nl.j] - s.positions[nl.i] + nl.S @ s.cell, atol=1e-12)
    np.testing.assert_allclose(nl.d, np.linalg.norm(nl.D, axis=1))


def test_radii_and_pair_cutoffs_match_brute_force():
    s = structure(seed=1)
    radii = np.linspace(0.6, 1.6, len(s))
    nl = quorvel.neighbor_list(s, radii)
    assert as_set(nl) == brute_force(s.cell, s.positions, s.pbc, lambda i, j, d: d < radii[i] + radii[j])
    table = {("O", "H"): 2.5, ("H", "H"): 1.8}
    limit = {frozenset(("O", "H")): 2.5, frozenset(("H",)): 1.8}
    expected = brute_force(s.cell, s.positions, s.pbc,
                           lambda i, j, d: d < limit.get(frozenset((s.symbols[i], s.symbols[j])), -1))
    assert as_set(quorvel.neighbor_list(s, table)) == expected
    # Atomic numbers as keys, from the symbols.
    assert as_set(quorvel.neighbor_list(s, {(8, 1): 2.5, (1, 1): 1.8})) == expected


def test_species_that_are_no_element_can_be_keys():
    s = io.Structure(np.eye(3) * 10, [[0, 0, 0], [1, 0, 0], [0, 1.5, 0]], ["X1", "X2", "X2"], (False,) * 3)
    nl = quorvel.neighbor_list(s, {("X1", "X2"): 1.2})
    assert as_set(nl) == {(0, 1, (0, 0, 0)), (1, 0, (0, 0, 0))}
    with pytest.raises(ValueError, match="symbols or atomic numbers"):
        quorvel.neighbor_list(s, {("X1", 2.0): 1.0})


@pytest.mark.parametrize("cell", [None, np.zeros((3, 3)), np.diag([0.0, 0.0, 3.0]),
                                  np.array([[2.0, 0, 0], [0, 2.0, 0], [0, 0, 0]])])
def test_open_structures_without_a_usable_cell(cell):
    rng = np.random.default_rng(5)
    positions = rng.uniform(-4, 9, (15, 3))
    nl = quorvel.neighbor_list(positions=positions, cell=cell, pbc=False, cutoff=4.0)
    assert as_set(nl) == brute_force(np.eye(3), positions, (False,) * 3, lambda i, j, d: d < 4.0)


def test_arrays_instead_of_a_structure_default_to_periodic_with_a_cell():
    s = structure(seed=2)
    nl = quorvel.neighbor_list(cell=s.cell, positions=s.positions, cutoff=2.5)
    assert as_set(nl) == brute_force(s.cell, s.positions, (True,) * 3, lambda i, j, d: d < 2.5)
    frac = s.scaled_positions()
    nl2 = quorvel.neighbor_list(cell=s.cell, positions=frac, cutoff=2.5, scaled_positions=True)
    assert as_set(nl2) == as_set(nl)


@pytest.mark.parametrize("kwargs, message", [
    (dict(cutoff=-1.0), "finite distance"),
    (dict(cutoff=float("inf")), "finite distance"),
    (dict(cutoff=[1.0, 2.0]), "one value per atom: 2 values for 12 atoms"),
    (dict(cutoff=np.full(12, np.nan)), "finite"),
    (dict(cutoff={("O", "H"): float("nan")}), "finite distance"),
    (dict(cutoff={"O": 1.0}), "keyed by pairs"),
    (dict(cutoff=1.0, pbc=(True, True)), "one bool or three"),
])
def test_bad_cutoffs_and_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        quorvel.neighbor_list(structure(), **kwargs)


def test_periodic_axis_needs_a_cell_vector():
    with pytest.raises(ValueError, match="axis 2 is periodic"):
        quorvel.neighbor_list(cell=np.diag([1.0, 1.0, 0.0]), positions=np.zeros((1, 3)), pbc=True, cutoff=1.0)
