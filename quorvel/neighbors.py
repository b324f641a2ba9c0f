"""quorvel.neighbor_list: the native neighbor lists behind one function."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import NamedTuple

import numpy as np

from . import _proxor
from ._checks import three_bools
from ._elements import ATOMIC_NUMBERS, element_of

__all__ = ["Neighbors", "PairLimitError", "neighbor_list"]

DEFAULT_MAX_NBINS = 1_000_000
# Open boxes: bins of the cutoff's size however far apart the atoms are. The
# search keeps a sparse map of the occupied bins when they are few, so the
# count of empty bins costs nothing; it must only keep flat bin indices in 64
# bits.
OPEN_BOX_MAX_NBINS = 1 << 62

PAIR_BYTES = 8 + 8 + 8 + 24 + 24  # i, j, d, D, S
# Searches that always fit: never refused for want of memory.
SMALL_PAIRS = 1 << 20
# Cell-image bins a search may visit (about a second per 1e8), and images of
# the cell it may reach along one axis, before it is refused as one that
# could not end in reasonable time.
MAX_VISITS = 1e10
MAX_IMAGE_REACH = 1e6
# Coordinates and cell entries beyond this would overflow squared distances
# or the cell's volume.
LARGEST_COORDINATE = 1e100


class PairLimitError(ValueError):
    """A search whose pair list would exceed the memory available or
    max_pairs: ``pairs`` the estimate, ``limit`` the pairs allowed, and
    ``reason`` the message without the advice to raise the limit."""

    def __init__(self, reason, pairs, limit, hint=""):
        super().__init__(f"{reason}; {hint}" if hint else reason)
        self.reason = reason
        self.pairs = pairs
        self.limit = limit


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
                  max_nbins=None, max_pairs=None, quantities="ijdDS", half=False, threads=None):
    """Every pair of atoms closer than a cutoff, as ``Neighbors(i, j, d, D, S)``.

    The atoms come from ``structure`` (anything with ``cell``, ``positions``,
    ``pbc`` and ``symbols``, such as ``quorvel.io.Structure``) or from the
    keywords ``cell``, ``positions`` and ``pbc`` (one bool or three; the
    default is periodic when a cell is given, open otherwise). Without a cell,
    or with zero cell vectors along open axes, a box around the atoms is used;
    when no axis is periodic the search runs in a box bounded to the atoms,
    wherever they sit (the pairs and their vectors are exactly those of the
    atoms as given).

    ``cutoff`` is one of
      - a number: pairs with d < cutoff;
      - a sequence of N per-atom radii: pairs with d < r[i] + r[j];
      - a mapping from pairs of species to distances, ``{("O", "H"): 1.2}``,
        keyed by symbols or by atomic numbers (symmetric; pairs of species it
        does not name are never neighbors). Every species it names must occur
        in the atoms, compared exactly ("o" is not "O"), except that an
        element and a POTCAR label of it name the same atoms: ``"Fe"``
        matches atoms labelled ``"Fe_pv"`` and ``"Fe_pv"`` atoms labelled
        ``"Fe"`` (labels of one element are not told apart).

    ``numbers`` gives atomic numbers directly for integer-keyed mappings;
    otherwise they come from the symbols. ``self_interaction`` adds each atom
    paired with itself (d = 0); ``scaled_positions`` means the positions are
    fractional coordinates.

    Before searching, the number of pairs is estimated from the atoms'
    density and the cutoff sphere (over every periodic image in reach).
    A search whose pairs would not fit in the memory available (72 bytes a
    pair) is refused with a ValueError, as is one that would have to visit
    an absurd number of cell images (a periodic axis far thinner than the
    cutoff). ``max_pairs`` replaces the memory limit by a number of pairs of
    the caller's choice, higher or lower. ``max_nbins`` caps the number of
    search bins (speed only; None: 1,000,000, and as many as the atoms'
    extent needs for open boxes). Non-finite positions, radii, cell entries
    or cutoffs are refused, naming the first bad atom.

    ``quantities`` chooses the arrays to compute (any of the letters
    "ijdDS"); the others are None in the result. ``half=True`` keeps each
    unordered pair once: (i, j, S) with i < j, or i == j and S
    lexicographically positive. ``threads`` runs the search with the
    interpreter lock released on that many threads (0 is not allowed; None
    with other keywords: the CPUs this process may use); the result is the
    same bit for bit. With the defaults the search runs on the calling
    thread, holding the lock except in an open box whose atoms straddle the
    origin (those are binned from the box's corner by the engine).
    """
    calls = _proxor
    if quantities != "ijdDS" or half or threads is not None:
        from .engine import PairCalls
        calls = PairCalls(quantities, half, threads)
    return Neighbors(*_search(calls, structure, cutoff, cell, positions, pbc, symbols, numbers, self_interaction,
                              scaled_positions, max_nbins, max_pairs))


def _search(calls, structure, cutoff, cell, positions, pbc, symbols, numbers, self_interaction, scaled_positions,
            max_nbins, max_pairs=None):
    """The native search of neighbor_list's arguments, through `calls`
    (``_proxor`` or an object with its three functions), after every check
    and the choice of the search box."""
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
    _check_positions(positions)
    if max_pairs is not None:
        if isinstance(max_pairs, bool) or not isinstance(max_pairs, (int, np.integer)) or max_pairs < 0:
            raise ValueError(f"max_pairs must be a whole number, not negative: got {max_pairs!r}")
        max_pairs = int(max_pairs)
    n = len(positions)
    if pbc is None:
        pbc = cell is not None
    pbc = three_bools(pbc)
    box = _search_box(cell, positions, pbc, scaled_positions)
    cell, positions = box.cell, box.positions
    if max_nbins is None:
        max_nbins = OPEN_BOX_MAX_NBINS if box.open_box else DEFAULT_MAX_NBINS
    common = dict(self_interaction=bool(self_interaction), use_scaled_positions=bool(scaled_positions),
                  max_nbins=int(max_nbins))
    if box.origin is not None:
        # An axis that could not be translated holds atoms below zero: the
        # engine bins them from the box's corner (_proxor would pile them
        # into its first bins), on the calling thread unless the caller
        # chose threads.
        if calls is _proxor:
            from .engine import PairCalls
            calls = PairCalls("ijdDS", False, 1)
        common["origin"] = box.origin

    if isinstance(cutoff, Mapping):
        ids, zi, zj, values = _pair_table(cutoff, symbols, numbers, n)
        if values:
            reach = max(values)
            _check_size(box, pbc, reach, f"an element-pair cutoff of {reach:g} Å", self_interaction, max_pairs)
        result = calls.primitive_neighbor_list_dict_rs(list(pbc), cell, positions, ids, zi, zj, values, **common)
    elif np.ndim(cutoff) == 0:
        r = _finite_nonnegative(float(cutoff), "the cutoff")
        _check_size(box, pbc, r, f"a cutoff of {r:g} Å", self_interaction, max_pairs)
        result = calls.primitive_neighbor_list_rs(list(pbc), cell, positions, r, **common)
    else:
        radii = np.ascontiguousarray(cutoff, dtype=np.float64)
        if radii.shape != (n,):
            raise ValueError(f"per-atom radii must have one value per atom: {radii.shape[0] if radii.ndim else 0} "
                             f"values for {n} atoms" if radii.ndim == 1 else
                             f"per-atom radii must be one-dimensional, not of shape {radii.shape}")
        bad = np.flatnonzero(~(np.isfinite(radii) & (radii >= 0)))
        if len(bad):
            a = int(bad[0])
            raise ValueError(f"atom {a} (counting from 0) has the radius {float(radii[a])!r}; "
                             "per-atom radii must be finite and not negative")
        if n:
            reach = 2.0 * float(radii.max())
            _check_size(box, pbc, reach, f"radii up to {reach / 2:g} Å (a search to {reach:g} Å)",
                        self_interaction, max_pairs)
        result = calls.primitive_neighbor_list_radii_rs(list(pbc), cell, positions, radii, **common)
    return result


def _finite_nonnegative(value, what):
    if not np.isfinite(value) or value < 0:
        raise ValueError(f"{what} must be a finite distance, not negative: got {value!r}")
    return value


def _check_positions(positions):
    finite = np.isfinite(positions).all(axis=1)
    if not finite.all():
        a = int(np.argmin(finite))
        x, y, z = positions[a].tolist()
        raise ValueError(f"atom {a} (counting from 0) has a non-finite position ({x!r}, {y!r}, {z!r})")
    big = (np.abs(positions) > LARGEST_COORDINATE).any(axis=1)
    if big.any():
        a = int(np.argmax(big))
        x, y, z = positions[a].tolist()
        raise ValueError(f"atom {a} (counting from 0) lies too far out for squared distances to be computed: "
                         f"({x!r}, {y!r}, {z!r}); coordinates must stay within {LARGEST_COORDINATE:g}")


class _Box(NamedTuple):
    cell: np.ndarray  # the cell the search runs in
    positions: np.ndarray  # the positions it sees (translated along open axes, or the given array)
    given: np.ndarray
    open_box: bool  # no periodic axis: the box is bounded to the atoms
    scaled: bool
    origin: list | None = None  # the box's corner where it is not zero: where the bins start


def _search_box(cell, positions, pbc, scaled):
    """The cell and positions to search with. With no periodic axis only the
    binning depends on the box, so the atoms are translated, exactly, to
    start at its origin and the box is bounded to them: the search then
    costs the same wherever they sit. Along an axis with no exact offset
    (coordinates of both signs with full mantissas) the atoms stay where
    they are and the box starts at their minimum, its corner becoming the
    search's bin origin. Otherwise the cell of _usable_cell."""
    if cell is not None:
        cell = np.array(cell, dtype=np.float64)
        if cell.shape != (3, 3):
            raise ValueError(f"cell must have shape (3, 3), not {cell.shape}")
        if not np.isfinite(cell).all():
            raise ValueError("the cell has non-finite entries")
        if (np.abs(cell) > LARGEST_COORDINATE).any():
            raise ValueError(f"the cell has entries beyond {LARGEST_COORDINATE:g}")
    if any(pbc) or scaled or not len(positions) or (cell is not None and not _zero_shift_column(cell)):
        return _Box(_usable_cell(cell, positions, pbc, scaled), positions, positions, False, scaled)
    moved = positions.copy()
    for k in range(3):
        t = _exact_offset(positions[:, k])
        if t != 0.0:
            moved[:, k] = positions[:, k] - t
    low = np.minimum(moved.min(axis=0), 0.0)
    extent = np.maximum(moved.max(axis=0) - low, 1.0)
    origin = [float(x) for x in low] if low.any() else None
    return _Box(np.diag(extent), moved, positions, True, False, origin)


def _zero_shift_column(cell):
    """Whether the search's Cartesian shift 0 a + 0 b + 0 c is +0.0 in every
    column, as it is in the bounded box: a column of three negative entries
    gives -0.0, and a vector component -0.0 + (-0.0) stays -0.0."""
    return not np.signbit(cell).all(axis=0).any()


def _exact_offset(p):
    """An offset t, close below min(p), for which every p - t is exact (0.0
    when there is none): then (p_j - t) - (p_i - t) rounds exactly as p_j -
    p_i, and the search's vectors and distances keep every bit."""
    lo = float(p.min())
    if lo == 0.0:
        return 0.0
    # t = min(p) (exact when p stays within a factor two of it), else the
    # largest multiple of the coarsest spacing of p below min(p).
    spacing = float(np.spacing(np.abs(p).max()))
    for t in (lo, math.floor(lo / spacing) * spacing):
        if t != 0.0 and _subtracts_exactly(p, t):
            return t
    return 0.0


def _subtracts_exactly(p, t):
    # Knuth's two-sum: the rounding error of p + (-t), itself exact.
    s = p - t
    b = s - p
    error = (p - (s - b)) + (-t - b)
    return not error.any()


def _check_size(box, pbc, reach, what, self_interaction, max_pairs):
    """Refuses a search that could not end in reasonable time (too many cell
    images along a thin periodic axis) or whose pairs would not fit in
    memory (or exceed max_pairs), from an estimate made before searching."""
    cell, positions = box.cell, box.positions
    n = len(positions)
    if n == 0:
        return
    cross = np.cross(cell[[1, 2, 0]], cell[[2, 0, 1]])
    volume = abs(float(np.linalg.det(cell)))
    if not volume > 1e-15:
        # A flat cell: the search refuses it with its own message, or, for
        # scaled positions, would search a cell of no height.
        if box.scaled:
            raise ValueError(f"the cell is singular (det = {volume:.3e}); scaled positions need a cell with volume")
        return
    heights = volume / np.linalg.norm(cross, axis=1)
    # The search's bins are at least 3 Å wide, and a bin of width w along an
    # axis of height h < w reaches ceil(w / h) images either side.
    width = max(reach, 3.0)
    images = np.ones(3)
    for k in range(3):
        if pbc[k]:
            images[k] = 2.0 * float(np.ceil(width / heights[k])) + 1.0 if heights[k] < width else 3.0
    visits = n * float(np.prod(images))
    if visits > MAX_VISITS or images.max() > 2 * MAX_IMAGE_REACH + 1:
        k = int(np.argmax(images))
        raise ValueError(f"{what} reaches about {images[k] / 2:.2g} images of the cell along periodic axis {k} "
                         f"({'abc'[k]}), which is only {heights[k]:.3g} Å high; the search would not end in "
                         "reasonable time")

    sphere = 4.0 / 3.0 * math.pi * reach ** 3
    if reach == 0.0:
        estimate = 0.0  # d < 0 holds for no pair
    elif box.open_box:
        # Atoms closer than the cutoff share a bin of its size or neighbor
        # one: the sum of the squared bin counts follows clusters that the
        # mean density of a large box would miss.
        with np.errstate(over="ignore", divide="ignore"):
            keys = np.floor(np.clip(positions / reach, -2.0 ** 61, 2.0 ** 61))
        keys -= keys.min(axis=0)
        shape = keys.max(axis=0) + 1.0
        if float(np.prod(shape)) < 2.0 ** 62:
            # One flat bin index per atom: a sort of one column.
            keys = keys.astype(np.int64)
            flat = np.sort((keys[:, 0] * int(shape[1]) + keys[:, 1]) * int(shape[2]) + keys[:, 2])
            edges = np.flatnonzero(np.r_[True, flat[1:] != flat[:-1], True])
        else:
            keys = np.minimum(keys, 2.0 ** 62).astype(np.int64)
            keys = keys[np.lexsort(keys.T[::-1])]
            edges = np.flatnonzero(np.r_[True, (keys[1:] != keys[:-1]).any(axis=1), True])
        counts = np.diff(edges).astype(np.float64)
        estimate = min(float(n) * n, 4.19 * float((counts * counts).sum()))
    else:
        per_atom = n / volume * sphere
        for k in range(3):
            if not pbc[k]:
                # A slab or a wire thinner than the cutoff: a disc or a line.
                per_atom *= min(1.0, heights[k] / reach) if reach > 0 else 1.0
        estimate = n * min(per_atom, n * float(np.prod(images)))
    if self_interaction:
        estimate += n
    if max_pairs is not None:
        if estimate > max_pairs:
            raise PairLimitError(f"{what} would give about {estimate:.2g} pairs, more than max_pairs={max_pairs}",
                                 estimate, max_pairs)
        return
    if estimate <= SMALL_PAIRS:
        return
    available = _memory_available()
    needed = estimate * PAIR_BYTES
    # Half of it: the pair buffers grow by steps while they fill, and the
    # caller goes on to compute with the arrays.
    if available is not None and needed > available / 2:
        raise PairLimitError(f"{what} would give about {estimate:.2g} pairs ({_bytes(needed)}), more than half "
                             f"the {_bytes(available)} of memory available",
                             estimate, int(available / 2 / PAIR_BYTES), "pass max_pairs= to raise the limit")


def _bytes(count):
    for unit in ("bytes", "kB", "MB", "GB", "TB", "PB"):
        if count < 1000 or unit == "PB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.3g} {unit}"
        count /= 1000.0
    return ""


def _memory_available():
    """Bytes this process may still allocate: MemAvailable of /proc/meminfo
    and what is left below the cgroup's memory limit, if any; None where
    neither can be read."""
    found = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    found.append(int(line.split()[1]) * 1024)
                    break
    except (OSError, ValueError, IndexError):
        pass
    for limit_file, usage_file in _cgroup_files():
        try:
            with open(limit_file) as f:
                limit = f.read().strip()
            with open(usage_file) as f:
                usage = int(f.read().strip())
        except (OSError, ValueError):
            continue
        if limit.isdigit() and int(limit) < 1 << 60:
            found.append(max(int(limit) - usage, 0))
    return min(found) if found else None


def _cgroup_files():
    """(limit, usage) file pairs of this process's memory cgroup, v2 and v1,
    its own folder first, then the mount's root."""
    own = []
    try:
        with open("/proc/self/cgroup") as f:
            for line in f:
                parts = line.strip().split(":", 2)
                if len(parts) != 3 or parts[2] in ("", "/"):
                    continue
                if parts[0] == "0":
                    own.append(("/sys/fs/cgroup" + parts[2], "memory.max", "memory.current"))
                elif "memory" in parts[1].split(","):
                    own.append(("/sys/fs/cgroup/memory" + parts[2], "memory.limit_in_bytes",
                                "memory.usage_in_bytes"))
    except OSError:
        pass
    own += [("/sys/fs/cgroup", "memory.max", "memory.current"),
            ("/sys/fs/cgroup/memory", "memory.limit_in_bytes", "memory.usage_in_bytes")]
    for folder, limit, usage in own:
        yield f"{folder}/{limit}", f"{folder}/{usage}"


def _usable_cell(cell, positions, pbc, scaled):
    """The cell to search in: the given one, with zero vectors along open axes
    (or a missing cell) replaced by a box that holds every atom."""
    if cell is None:
        if any(pbc):
            raise ValueError("periodic boundary conditions need a cell")
        cell = np.zeros((3, 3))
    cell = np.array(cell, dtype=np.float64)
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
    """The atomic number of the element a species name stands for (a POTCAR
    label such as "Fe_pv" stands for Fe); species that are no element ("X1")
    get ids above every element."""
    element = element_of(symbol)
    if element is not None:
        return ATOMIC_NUMBERS[element]
    return extra.setdefault(symbol, 1000 + len(extra))


def _pair_table(cutoff, symbols, numbers, n):
    """The atoms' species ids and the table's rows (zi, zj, value), after
    checking that every key is a pair of species present in the atoms and
    that no unordered pair is given two different values."""
    extra = {}
    if numbers is not None:
        ids = np.ascontiguousarray(numbers, dtype=np.int64)
        if ids.shape != (n,):
            raise ValueError(f"numbers must have one value per atom: shape {ids.shape} for {n} atoms")
        present_symbols = None
    else:
        if symbols is None:
            raise ValueError("element-pair cutoffs need the atoms' symbols or numbers")
        symbols = list(symbols)
        if len(symbols) != n:
            raise ValueError(f"{len(symbols)} symbols for {n} atoms")
        present_symbols = sorted(set(symbols))
        table = {s: _species_id(s, extra) for s in present_symbols}
        ids = np.fromiter((table[s] for s in symbols), dtype=np.int64, count=n)
    present_ids = set(np.unique(ids).tolist())
    species_text = ", ".join(present_symbols) if present_symbols is not None else \
        ", ".join(str(z) for z in sorted(present_ids))

    zi, zj, values = [], [], []
    seen = {}
    for key, value in cutoff.items():
        if isinstance(key, (str, bytes)) or not isinstance(key, (tuple, list)) or len(key) != 2:
            raise ValueError(f"element-pair cutoffs are keyed by pairs of species, such as ('O', 'H'); got {key!r}")
        pair = []
        for x in key:
            if isinstance(x, str):
                if present_symbols is not None and x in table:
                    pair.append(table[x])
                    continue
                # An element, or a POTCAR label, names the atoms of its element
                # whatever label they carry ("Fe" matches "Fe_pv" and back).
                element = element_of(x)
                z = None if element is None else ATOMIC_NUMBERS[element]
                if present_symbols is not None and z not in present_ids:
                    raise ValueError(f"element-pair cutoff {key!r} names species {x!r}, which is not in the "
                                     f"structure (its species: {species_text})")
            elif isinstance(x, (int, np.integer)) and not isinstance(x, bool):
                z = int(x)
            else:
                raise ValueError(f"element-pair keys hold symbols or atomic numbers, not {x!r}")
            if z not in present_ids:
                raise ValueError(f"element-pair cutoff {key!r} names species {x!r}, which is not in the structure "
                                 f"(its atomic numbers: {', '.join(str(v) for v in sorted(present_ids))})")
            pair.append(z)
        v = _finite_nonnegative(float(value), f"the cutoff of {key!r}")
        unordered = (min(pair), max(pair))
        if unordered in seen and seen[unordered][1] != v:
            other, w = seen[unordered]
            raise ValueError(f"element-pair cutoffs {other!r} and {key!r} name the same pair of species with "
                             f"different values ({w!r} and {v!r})")
        seen.setdefault(unordered, (key, v))
        zi.append(pair[0])
        zj.append(pair[1])
        values.append(v)
    return ids, zi, zj, values
