"""Bonds from covalent radii, and clusters of bonded atoms through periodic
boundaries."""

import math

import numpy as np

from .._elements import element_of
from ..neighbors import neighbor_list

DEFAULT_SCALE = 1.2


def covalent_radius(species):
    """The covalent radius (Å) of the element a species name stands for
    (an element symbol or a POTCAR label such as "Fe_pv"), from
    python3-periodictable; None when it is no element or has none."""
    element = element_of(species)
    if element is None:
        return None
    import periodictable
    radius = getattr(periodictable.elements.symbol(element), "covalent_radius", None)
    return None if radius is None else float(radius)


class Bonds:
    """Bonds of a structure, each once: atoms ``i`` and ``j`` (``i < j``, or
    an atom and its own image with ``S`` lexicographically positive), the
    image ``S`` of ``j`` that ``i`` is bonded to (the bond vector is
    ``positions[j] + S @ cell - positions[i]``) and the length ``d`` (Å).
    ``radii`` holds the covalent radius used for each species and
    ``counts`` the bonds per unordered species pair."""

    def __init__(self, i, j, S, d, symbols, radii, scale):
        self.i, self.j, self.S, self.d = i, j, S, d
        self.symbols = list(symbols)
        self.radii = dict(radii)
        self.scale = scale

    def __len__(self):
        return len(self.i)

    def _pair_keys(self):
        species = list(dict.fromkeys(self.symbols))
        order = {s: k for k, s in enumerate(species)}
        symbols = np.array(self.symbols, dtype=object)
        a, b = symbols[self.i], symbols[self.j]
        swap = np.array([order[x] > order[y] for x, y in zip(a, b)], dtype=bool)
        first = np.where(swap, b, a)
        second = np.where(swap, a, b)
        return species, first, second

    def by_pair(self):
        """{(a, b): indices of its bonds}, a before b in the order species
        first occur in the structure."""
        species, first, second = self._pair_keys()
        out = {}
        for ka, a in enumerate(species):
            for b in species[ka:]:
                sel = np.flatnonzero((first == a) & (second == b))
                if len(sel):
                    out[(a, b)] = sel
        return out

    @property
    def counts(self):
        return {p: len(sel) for p, sel in self.by_pair().items()}

    def lengths(self):
        """{(a, b): (count, shortest, mean, longest)} of the bond lengths."""
        return {p: (len(sel), float(self.d[sel].min()), float(self.d[sel].mean()), float(self.d[sel].max()))
                for p, sel in self.by_pair().items()}

    def __repr__(self):
        return f"Bonds({len(self)} bonds, scale={self.scale:g})"


def bonds(structure, *, scale=DEFAULT_SCALE, radii=None, threads=None):
    """Bonds ``d < scale * (r_i + r_j)`` of a structure, with the covalent
    radii of python3-periodictable (Cordero et al. 2008) for each element,
    as a :class:`Bonds`. ``radii`` maps species names to radii (Å) that
    replace or supply them (species that are no element need one).
    ``threads`` as for ``neighbor_list``."""
    scale = _positive(scale, "scale")
    symbols = list(structure.symbols)
    species = list(dict.fromkeys(symbols))
    radii = {} if radii is None else dict(radii)
    for name, value in radii.items():
        if name not in species:
            raise ValueError(f"radii names species {name!r}, which is not in the structure "
                             f"(its species: {', '.join(species) or 'none'})")
        radii[name] = _positive(value, f"the radius of {name!r}", allow_zero=True)
    table = {}
    for x in species:
        r = radii.get(x, covalent_radius(x))
        if r is None:
            raise ValueError(f"no covalent radius for species {x!r} (not an element, or none known): "
                             f"give it in radii={{{x!r}: ...}}")
        table[x] = r
    base = np.array([table[x] for x in symbols], dtype=np.float64)
    # The search takes radii a hair larger; the test below is then exactly
    # d < scale * (r_i + r_j).
    nl = neighbor_list(structure, base * (scale * (1 + 1e-9)), quantities="ijdS", half=True, threads=threads)
    keep = nl.d < scale * (base[nl.i] + base[nl.j])
    return Bonds(nl.i[keep], nl.j[keep], nl.S[keep], nl.d[keep], symbols, table, scale)


def _positive(value, what, allow_zero=False):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number, not {value!r}") from None
    if not math.isfinite(v) or v < 0 or (v == 0 and not allow_zero):
        raise ValueError(f"{what} must be a {'non-negative' if allow_zero else 'positive'}, finite number, "
                         f"not {value!r}")
    return v


class Clusters:
    """Connected components of a bond graph through periodic boundaries.

    ``labels`` (N,) the cluster of each atom, ``sizes`` (C,) its atoms,
    ``percolating`` (C,) whether it is bonded to its own periodic image
    (an infinite chain, sheet or network), ``dimensions`` (C,) how many
    independent lattice directions it extends along (0 for a finite cluster,
    1 a chain, 2 a sheet, 3 a network)."""

    def __init__(self, labels, sizes, dimensions):
        self.labels = labels
        self.sizes = sizes
        self.dimensions = dimensions

    @property
    def percolating(self):
        return self.dimensions > 0

    def __len__(self):
        return len(self.sizes)

    def size_distribution(self):
        """{size: number of clusters of that size}."""
        sizes, counts = np.unique(self.sizes, return_counts=True)
        return dict(zip(sizes.tolist(), counts.tolist()))

    def __repr__(self):
        return f"Clusters({len(self)} clusters, {int(self.percolating.sum())} percolating)"


def clusters(structure, cutoff=None, *, bonds=None, threads=None):
    """Clusters of atoms connected by pairs closer than `cutoff` (a number,
    per-atom radii or an element-pair mapping, as for ``neighbor_list``),
    or by `bonds` (a :class:`Bonds`; it may also be given in place of the
    cutoff), as a :class:`Clusters`.

    Components come from ``scipy.sparse.csgraph``. A cluster percolates when
    some cycle of its bonds, followed through their image shifts, ends in
    another image of where it started: each atom gets the image it sits in
    along a spanning tree of its cluster, and every bond off the tree closes
    a cycle whose net shift is ``u_i + S - u_j``; the rank of those shifts
    is the cluster's dimension.
    """
    if isinstance(cutoff, Bonds):
        if bonds is not None:
            raise ValueError("give a cutoff or bonds, not both")
        cutoff, bonds = None, cutoff
    n = len(structure.positions)
    if bonds is not None:
        if cutoff is not None:
            raise ValueError("give a cutoff or bonds, not both")
        if not isinstance(bonds, Bonds):
            raise ValueError(f"bonds must be a Bonds result of quorvel.analysis.bonds, not {type(bonds).__name__}")
        if len(bonds.symbols) != n:
            raise ValueError(f"the bonds are of {len(bonds.symbols)} atoms, the structure has {n}")
        i, j, S = bonds.i, bonds.j, bonds.S
    elif cutoff is None:
        raise ValueError("clusters needs a cutoff (a distance, per-atom radii or an element-pair mapping) or bonds")
    else:
        nl = neighbor_list(structure, cutoff, quantities="ijS", half=True, threads=threads)
        i, j, S = nl.i, nl.j, nl.S
    labels, dimensions = connected_through_images(n, i, j, S)
    return Clusters(labels, np.bincount(labels, minlength=len(dimensions)), dimensions)


def connected_through_images(n, i, j, S):
    """(labels (N,), dimensions (C,)) of the graph of edges (i, j, S)."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import breadth_first_order, connected_components

    i = np.asarray(i, dtype=np.int64)
    j = np.asarray(j, dtype=np.int64)
    S = np.asarray(S, dtype=np.int64).reshape(-1, 3)
    if n == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    # One edge per pair of distinct atoms for the graph; every edge,
    # duplicates and self-images included, closes a cycle below.
    lo, hi = np.minimum(i, j), np.maximum(i, j)
    distinct = lo != hi
    keys = lo[distinct] * n + hi[distinct]
    ukeys, first = np.unique(keys, return_index=True)
    edge_of = np.flatnonzero(distinct)[first]  # an edge (into i, j, S) of each key
    ulo, uhi = ukeys // n, ukeys % n
    graph = coo_matrix((np.ones(len(ukeys), dtype=np.int8), (ulo, uhi)), shape=(n, n)).tocsr()
    count, labels = connected_components(graph, directed=False)
    labels = labels.astype(np.int64)

    # A spanning forest: a virtual root n joined to the first atom of each
    # cluster, searched breadth first.
    roots = np.unique(labels, return_index=True)[1]
    rows = np.concatenate([ulo, np.full(len(roots), n)])
    cols = np.concatenate([uhi, roots])
    forest = coo_matrix((np.ones(len(rows), dtype=np.int8), (rows, cols)), shape=(n + 1, n + 1)).tocsr()
    _, parent = breadth_first_order(forest, n, directed=False, return_predecessors=True)
    parent = parent[:n].astype(np.int64)
    # Each atom's image relative to its parent: the shift of an edge between them.
    offset = np.zeros((n, 3), dtype=np.int64)
    child = np.flatnonzero(parent != n)
    p = parent[child]
    e = edge_of[np.searchsorted(ukeys, np.minimum(p, child) * n + np.maximum(p, child))]
    offset[child] = np.where((i[e] == p)[:, None], S[e], -S[e])
    parent[parent == n] = np.flatnonzero(parent == n)
    # Pointer doubling sums the offsets along each path to its root.
    while True:
        grand = parent[parent]
        if np.array_equal(grand, parent):
            break
        offset = offset + offset[parent]
        parent = grand
    # Every parent is now a root, whose image is zero: offset is the image.
    cycles = offset[i] + S - offset[j]
    dimensions = np.zeros(count, dtype=np.int64)
    open_ = np.flatnonzero(cycles.any(axis=1))
    for c in np.unique(labels[i[open_]]):
        shifts = np.unique(cycles[open_[labels[i[open_]] == c]], axis=0)
        dimensions[c] = np.linalg.matrix_rank(shifts.astype(np.float64))
    return labels, dimensions
