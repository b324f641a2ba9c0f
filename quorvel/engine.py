"""Neighbor searches beyond the five-array list: chosen quantities, half
lists, per-atom counts, distance histograms and batches of structures.

They all run the one cell-list search of ``quorvel._proxor`` through the
private module ``quorvel._engine``, with the interpreter lock released and on
``threads`` threads (``None``: the CPUs this process may use, unless
``set_default_threads`` or the environment variable ``QUORVEL_THREADS`` says
otherwise; ``1``: the calling thread). Every result is, bit for bit and in order, what filtering
``neighbor_list``'s full result gives, whatever the thread count.
"""

from __future__ import annotations

import contextlib
import os
import threading
from typing import NamedTuple

import numpy as np

from . import _engine
from ._checks import three_bools

DEFAULT_MAX_NBINS = 1_000_000

__all__ = ["BatchNeighbors", "neighbor_lists", "neighbor_counts", "distance_histogram"]

QUANTITIES = "ijdDS"


def check_quantities(quantities):
    if not isinstance(quantities, str) or len(set(quantities)) != len(quantities) or set(quantities) - set(QUANTITIES):
        raise ValueError(f"quantities must be letters of 'ijdDS', each at most once; got {quantities!r}")
    return quantities


# The thread count that threads=None means: set_default_threads's, else the
# environment's QUORVEL_THREADS, else 0 (every CPU this process may use).
_default_threads = None
_local = threading.local()


def set_default_threads(threads):
    """Sets what ``threads=None`` means in this process: a positive count, or
    None for the default (the environment variable ``QUORVEL_THREADS`` when
    set, else every CPU the process may use). The worker processes of
    ``quorvel.map_frames`` set 1, unless ``QUORVEL_THREADS`` is set, so that
    N workers do not each start a thread per CPU."""
    global _default_threads
    _default_threads = None if threads is None else _positive_threads(threads)


def default_threads():
    """What ``threads=None`` means here and now: a positive count, or 0 for
    every CPU this process may use."""
    local = getattr(_local, "threads", None)
    if local is not None:
        return local
    if _default_threads is not None:
        return _default_threads
    text = os.environ.get("QUORVEL_THREADS", "").strip()
    if not text:
        return 0
    try:
        return _positive_threads(int(text))
    except ValueError:
        raise ValueError(f"QUORVEL_THREADS must be a positive integer, not {text!r}") from None


@contextlib.contextmanager
def threads_here(threads):
    """Within the block, ``threads=None`` means ``threads`` on this thread
    (a task of a threaded Dask worker sets it without touching the others)."""
    before = getattr(_local, "threads", None)
    _local.threads = _positive_threads(threads)
    try:
        yield
    finally:
        _local.threads = before


def _positive_threads(threads):
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be None or a positive integer, not {threads!r}")
    return int(threads)


def native_threads(threads):
    """The native thread count of ``threads``: a positive count as it is;
    None gives default_threads() (0: every CPU this process may use)."""
    if threads is None:
        return default_threads()
    return _positive_threads(threads)


def wants_engine(quantities, half, threads):
    """Whether neighbor_list needs the engine: anything but the defaults."""
    return quantities != QUANTITIES or bool(half) or threads is not None


class PairCalls:
    """The three searches of ``_proxor`` by name, answered by ``_engine``:
    ``neighbor_list`` prepares its arguments once and calls whichever of the
    two it is given."""

    def __init__(self, quantities, half, threads):
        self.quantities = check_quantities(quantities)
        self.half = bool(half)
        self.threads = native_threads(threads)

    def _pairs(self, pbc, cell, positions, cutoff, common, **cutoffs):
        return _engine.pairs(pbc, cell, positions, cutoff, quantities=self.quantities, half=self.half,
                             threads=self.threads, **common, **cutoffs)

    def primitive_neighbor_list_rs(self, pbc, cell, positions, cutoff, **common):
        return self._pairs(pbc, cell, positions, cutoff, common)

    def primitive_neighbor_list_radii_rs(self, pbc, cell, positions, radii, **common):
        return self._pairs(pbc, cell, positions, 0.0, common, radii=radii)

    def primitive_neighbor_list_dict_rs(self, pbc, cell, positions, numbers, zi, zj, values, **common):
        return self._pairs(pbc, cell, positions, 0.0, common, numbers=numbers, zi_keys=list(zi), zj_keys=list(zj),
                           cutoff_vals=list(values))


class CountCalls(PairCalls):
    """As PairCalls, answering with (counts, None, None, None, None)."""

    def __init__(self, threads):
        super().__init__(QUANTITIES, False, threads)

    def _pairs(self, pbc, cell, positions, cutoff, common, **cutoffs):
        counts = _engine.counts(pbc, cell, positions, cutoff, threads=self.threads, **common, **cutoffs)
        return counts, None, None, None, None


def neighbor_counts(structure, cutoff, *, threads=None):
    """Per-atom neighbor counts (coordination numbers), ``int64 (N,)``.

    ``counts[a]`` is the number of pairs ``(a, j, S)`` of
    ``neighbor_list(structure, cutoff)``, without building the list.
    ``cutoff`` is a number, per-atom radii or an element-pair mapping, as for
    ``neighbor_list``.
    """
    from .neighbors import _search

    # Counts hold no pair list, so no memory limit on pairs: only a search
    # that could not end (a cutoff far beyond a thin periodic axis) is refused.
    return _search(CountCalls(threads), structure, cutoff, None, None, None, None, None, False, False, None,
                   max_pairs=1 << 62)[0]


def _geometry(structure):
    """pbc, cell, positions and bin origin (None: zero) as neighbor_list
    searches them: an open box is bounded to its atoms, which are translated
    exactly to its origin, so pairs come in neighbor_list's order with its
    bits."""
    from .neighbors import _check_positions, _search_box

    positions = np.ascontiguousarray(structure.positions, dtype=np.float64)
    if positions.ndim != 2 or positions.shape[1] != 3:
        raise ValueError(f"positions must have shape (N, 3), not {positions.shape}")
    _check_positions(positions)
    cell = getattr(structure, "cell", None)
    pbc = getattr(structure, "pbc", None)
    pbc = three_bools(cell is not None if pbc is None else pbc)
    box = _search_box(cell, positions, pbc, False)
    return pbc, box.cell, box.positions, box.origin


def _batch_geometry(structures):
    """pbc (B, 3), cells (B, 3, 3), the positions of each structure and the
    bin origins (B, 3) (None: all zero), as _geometry gives them; the cells
    are checked all at once, and only those that are missing or have zero
    vectors, and open boxes, go through _geometry."""
    try:
        cells = np.array([s.cell for s in structures], dtype=np.float64).reshape(len(structures), 3, 3)
        positions = [np.ascontiguousarray(s.positions, dtype=np.float64) for s in structures]
        pbc = np.array([three_bools(s.pbc) for s in structures], dtype=bool).reshape(len(structures), 3)
    except (TypeError, ValueError, AttributeError):
        cells = None
    if cells is None or not all(p.ndim == 2 and p.shape[1] == 3 for p in positions):
        geometry = [_geometry(s) for s in structures]
        origins = [g[3] for g in geometry]
        return (np.array([g[0] for g in geometry], dtype=bool).reshape(len(geometry), 3),
                np.array([g[1] for g in geometry], dtype=np.float64).reshape(len(geometry), 3, 3),
                [g[2] for g in geometry], _origin_rows(origins))
    # Missing or zero cell vectors, and open boxes, take neighbor_list's box.
    origins = [None] * len(structures)
    for b in np.flatnonzero(~cells.any(axis=2).all(axis=1) | ~pbc.any(axis=1)):
        pbc[b], cells[b], positions[b], origins[b] = _geometry(structures[b])
    return pbc, cells, positions, _origin_rows(origins)


def _origin_rows(origins):
    """(B, 3) bin origins of the structures' origins (None: zero), or None
    when every one is zero."""
    if all(o is None for o in origins):
        return None
    return np.array([o if o is not None else (0.0, 0.0, 0.0) for o in origins], dtype=np.float64)


def distance_histogram(structure, rmax, bins, *, species_pairs=False, threads=None):
    """Counts of unordered pairs by distance, ``int64 (bins,)``.

    Each unordered pair (each pair of ``neighbor_list(..., half=True)``) with
    ``d < rmax`` counts in bin ``floor(d * (bins / rmax))``; ``d`` is the
    list's distance, bit for bit. The counts are exact integers, so the
    histograms of frames or shards add exactly.

    With ``species_pairs=True`` a dict from species pairs ``(a, b)`` to such
    arrays: one key per unordered pair of species, ``a`` before ``b`` in the
    order of first appearance in ``structure.symbols``.
    """
    rmax = float(rmax)
    if not np.isfinite(rmax) or rmax <= 0:
        raise ValueError(f"rmax must be a positive finite distance, not {rmax!r}")
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError(f"bins must be a positive integer, not {bins!r}")
    pbc, cell, positions, origin = _geometry(structure)
    threads = native_threads(threads)
    if not species_pairs:
        return _engine.histogram(list(pbc), cell, positions, rmax, int(bins), threads=threads, origin=origin)[0]
    symbols = list(structure.symbols)
    if len(symbols) != len(positions):
        raise ValueError(f"{len(symbols)} symbols for {len(positions)} atoms")
    species = list(dict.fromkeys(symbols))
    index = {s: k for k, s in enumerate(species)}
    types = np.fromiter((index[s] for s in symbols), dtype=np.int64, count=len(symbols))
    n = len(species)
    hist = _engine.histogram(list(pbc), cell, positions, rmax, int(bins), types=types, ntypes=max(n, 1),
                             threads=threads, origin=origin).reshape(max(n, 1), max(n, 1), int(bins))
    out = {}
    for a in range(n):
        for b in range(a, n):
            out[(species[a], species[b])] = hist[a, b] + hist[b, a] if a != b else hist[a, a].copy()
    return out


class BatchNeighbors(NamedTuple):
    """The pairs of many structures: structure ``b``'s pairs are
    ``pair_offsets[b]:pair_offsets[b + 1]`` and its atoms
    ``atom_offsets[b]:atom_offsets[b + 1]`` of the concatenation, which ``i``
    and ``j`` index. Quantities not asked for are None."""

    i: np.ndarray | None
    j: np.ndarray | None
    d: np.ndarray | None
    D: np.ndarray | None
    S: np.ndarray | None
    atom_offsets: np.ndarray
    pair_offsets: np.ndarray


def neighbor_lists(structures, cutoff, *, quantities="ijdDS", half=False, threads=None, self_interaction=False):
    """``neighbor_list`` of many structures in one native call.

    ``structures`` is a sequence of structures (``cell``, ``positions``,
    ``pbc``), ``cutoff`` one number for all. Returns
    ``BatchNeighbors(i, j, d, D, S, atom_offsets, pair_offsets)``; structure
    ``b``'s pairs equal ``neighbor_list(structures[b], cutoff, ...)`` with
    ``atom_offsets[b]`` added to ``i`` and ``j``. Threads take whole
    structures.
    """
    from .neighbors import _finite_nonnegative

    quantities = check_quantities(quantities)
    threads = native_threads(threads)
    cutoff = _finite_nonnegative(float(cutoff), "the cutoff")
    structures = list(structures)
    count = len(structures)
    pbc, cells, positions, origins = _batch_geometry(structures)
    sizes = np.array([len(p) for p in positions], dtype=np.int64)
    atom_offsets = np.zeros(count + 1, dtype=np.int64)
    np.cumsum(sizes, out=atom_offsets[1:])
    positions = np.concatenate(positions) if count else np.zeros((0, 3))
    cells = np.ascontiguousarray(cells.reshape(3 * count, 3))
    *pairs, pair_offsets = _engine.batch_pairs(pbc, cells, np.ascontiguousarray(positions), atom_offsets, cutoff,
                                               quantities=quantities, half=bool(half),
                                               self_interaction=bool(self_interaction), threads=threads,
                                               origins=origins)
    return BatchNeighbors(*pairs, atom_offsets, pair_offsets)
