"""quorvel.neighbor_list: the native neighbor lists behind one function."""

from __future__ import annotations

from collections.abc import Mapping
from typing import NamedTuple

import numpy as np

from . import _proxor
from ._checks import three_bools
from ._elements import ATOMIC_NUMBERS

__all__ = ["Neighbors", "neighbor_list"]

DEFAULT_MAX_NBINS = 1_000_000


class Neighbors(NamedTuple):
    """Every pair closer than the cutoff, in both directions, ordered by i
    (one direction with ``half=True``; None for quantities not asked for).

    i, j  (M,) int64 atom indices
    d     (M,) float64 distances
    D     (M, 3) float64 vectors positions[j] - positions[i] + S @ cell
    S     (M, 3) int64 cell shifts of atom j's image
    """

    i: np.ndarray
    j: np.ndarray
    d: np.ndarray
    D: np.ndarray
    S: np.ndarray


def neighbor_list(structure=None, cutoff=None, *, cell=None, positions=None, pbc=None, symbols=None,
                  numbers=None, self_interaction=False, scaled_positions=False,
                  max_nbins=DEFAULT_MAX_NBINS, quantities="ijdDS", half=False, threads=None):
    """Every pair of atoms closer than a cutoff, as ``Neighbors(i, j, d, D, S)``.

    The atoms come from ``structure`` (anything with ``cell``, ``positions``,
    ``pbc`` and ``symbols``, such as ``quorvel.io.Structure``) or from the
    keywords ``cell``, ``positions`` and ``pbc`` (one bool or three; the
    default is periodic when a cell is given, open otherwise). Without a cell,
    or with zero cell vectors along open axes, a box around the atoms is used.

    ``cutoff`` is one of
      - a number: pairs with d < cutoff;
      - a sequence of N per-atom radii: pairs with d < r[i] + r[j];
      - a mapping from pairs of species to distances, ``{("O", "H"): 1.2}``,
        keyed by symbols or by atomic numbers (symmetric; pairs of species it
        does not name are never neighbors).

    ``numbers`` gives atomic numbers directly for integer-keyed mappings;
    otherwise they come from the symbols. ``self_interaction`` adds each atom
    paired with itself (d = 0); ``scaled_positions`` means the positions are
    fractional coordinates.

    ``quantities`` chooses the arrays to compute (any of the letters
    "ijdDS"); the others are None in the result. ``half=True`` keeps each
    unordered pair once: (i, j, S) with i < j, or i == j and S
    lexicographically positive. ``threads`` runs the search with the
    interpreter lock released on that many threads (0 is not allowed; None
    with other keywords: the CPUs this process may use); the result is the
    same bit for bit. With the defaults the search holds the lock and runs on
    the calling thread.
    """
    calls = _proxor
    if quantities != "ijdDS" or half or threads is not None:
        from .engine import PairCalls
        calls = PairCalls(quantities, half, threads)
    return Neighbors(*_search(calls, structure, cutoff, cell, positions, pbc, symbols, numbers, self_interaction,
                              scaled_positions, max_nbins))


def _search(calls, structure, cutoff, cell, positions, pbc, symbols, numbers, self_interaction, scaled_positions,
            max_nbins):
    """The native search of neighbor_list's arguments, through `calls`
    (``_proxor`` or an object with its three functions)."""
    if structure is not None:
        if cell is None:
            cell = structure.cell
        if positions is None:
            positions = structure.positions
        if pbc is None:
            pbc = structure.pbc
        if symbols is None:
            symbols = getattr(structure, "symbols", None)
    if positions is None:
        raise TypeError("neighbor_list() needs a structure or positions")
    if cutoff is None:
        raise TypeError("neighbor_list() missing the cutoff")
    positions = np.ascontiguousarray(positions, dtype=np.float64)
    if positions.ndim != 2 or positions.shape[1] != 3:
        raise ValueError(f"positions must have shape (N, 3), not {positions.shape}")
    n = len(positions)
    if pbc is None:
        pbc = cell is not None
    pbc = three_bools(pbc)
    cell = _usable_cell(cell, positions, pbc, scaled_positions)
    common = dict(self_interaction=bool(self_interaction), use_scaled_positions=bool(scaled_positions),
                  max_nbins=int(max_nbins))

    if isinstance(cutoff, Mapping):
        ids, zi, zj, values = _pair_table(cutoff, symbols, numbers, n)
        result = calls.primitive_neighbor_list_dict_rs(list(pbc), cell, positions, ids, zi, zj, values, **common)
    elif np.ndim(cutoff) == 0:
        r = _finite_nonnegative(float(cutoff), "the cutoff")
        result = calls.primitive_neighbor_list_rs(list(pbc), cell, positions, r, **common)
    else:
        radii = np.ascontiguousarray(cutoff, dtype=np.float64)
        if radii.shape != (n,):
            raise ValueError(f"per-atom radii must have one value per atom: {radii.shape[0] if radii.ndim else 0} "
                             f"values for {n} atoms" if radii.ndim == 1 else
                             f"per-atom radii must be one-dimensional, not of shape {radii.shape}")
        if n and not (np.isfinite(radii).all() and (radii >= 0).all()):
            raise ValueError("per-atom radii must be finite and not negative")
        result = calls.primitive_neighbor_list_radii_rs(list(pbc), cell, positions, radii, **common)
    return result


def _finite_nonnegative(value, what):
    if not np.isfinite(value) or value < 0:
        raise ValueError(f"{what} must be a finite distance, not negative: got {value!r}")
    return value


def _usable_cell(cell, positions, pbc, scaled):
    """The cell to search in: the given one, with zero vectors along open axes
    (or a missing cell) replaced by a box that holds every atom."""
    if cell is None:
        if any(pbc):
            raise ValueError("periodic boundary conditions need a cell")
        cell = np.zeros((3, 3))
    cell = np.array(cell, dtype=np.float64)
    if cell.shape != (3, 3):
        raise ValueError(f"cell must have shape (3, 3), not {cell.shape}")
    zero = ~cell.any(axis=1)
    if not zero.any():
        return cell
    for k in np.flatnonzero(zero):
        if pbc[k]:
            raise ValueError(f"axis {k} is periodic but its cell vector is zero")
    if scaled:
        raise ValueError("scaled positions need a cell with three non-zero vectors")
    extent = float(np.ptp(positions, axis=0).max()) if len(positions) else 0.0
    extent = max(extent, 1.0)
    if zero.all():
        return np.eye(3) * extent
    if zero.sum() == 2:
        # One vector given: the first missing one is perpendicular to it.
        a = cell[~zero][0]
        k = int(np.flatnonzero(zero)[0])
        e = np.eye(3)[int(np.argmin(np.abs(a)))]
        perp = e - a * (e @ a) / (a @ a)
        cell[k] = perp / np.linalg.norm(perp) * extent
        zero[k] = False
    k = int(np.flatnonzero(zero)[0])
    # a_k = a_(k+1) x a_(k+2) keeps the cell right-handed.
    normal = np.cross(cell[(k + 1) % 3], cell[(k + 2) % 3])
    length = np.linalg.norm(normal)
    if length == 0:
        raise ValueError("the cell's non-zero vectors are parallel")
    cell[k] = normal / length * extent
    return cell


def _species_id(symbol, extra):
    z = ATOMIC_NUMBERS.get(symbol)
    if z is not None:
        return z
    # Species that are no element ("X1", "Fe_pv"): ids above every element.
    return extra.setdefault(symbol, 1000 + len(extra))


def _pair_table(cutoff, symbols, numbers, n):
    extra = {}
    zi, zj, values = [], [], []
    for key, value in cutoff.items():
        try:
            a, b = key
        except (TypeError, ValueError):
            raise ValueError(f"element-pair cutoffs are keyed by pairs, such as ('O', 'H'); got {key!r}") from None
        ids = []
        for x in (a, b):
            if isinstance(x, str):
                ids.append(_species_id(x, extra))
            elif isinstance(x, (int, np.integer)) and not isinstance(x, bool):
                ids.append(int(x))
            else:
                raise ValueError(f"element-pair keys hold symbols or atomic numbers, not {x!r}")
        zi.append(ids[0])
        zj.append(ids[1])
        values.append(_finite_nonnegative(float(value), f"the cutoff of {key!r}"))
    if numbers is not None:
        ids = np.ascontiguousarray(numbers, dtype=np.int64)
        if ids.shape != (n,):
            raise ValueError(f"numbers must have one value per atom: shape {ids.shape} for {n} atoms")
    else:
        if symbols is None:
            raise ValueError("element-pair cutoffs need the atoms' symbols or numbers")
        symbols = list(symbols)
        if len(symbols) != n:
            raise ValueError(f"{len(symbols)} symbols for {n} atoms")
        table = {s: _species_id(s, extra) for s in set(symbols)}
        ids = np.fromiter((table[s] for s in symbols), dtype=np.int64, count=n)
    return ids, zi, zj, values
