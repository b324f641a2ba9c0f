"""Coordination numbers per atom and per species pair, over frames."""

import numpy as np

from ..engine import native_threads, neighbor_counts
from ..neighbors import neighbor_list
from ._sources import check_frames, check_workers, run_chunks


class Coordination:
    """Coordination numbers within a cutoff, summed over frames.

    ``per_atom`` (N,) is each atom's number of neighbors, the mean over the
    frames; ``per_frame`` (F, N) int64 holds them frame by frame when asked
    for (else None). ``mean[(a, b)]`` is the mean number of b neighbors of
    an a atom, over a atoms and frames; ``histograms[(a, b)][c]`` the number
    of (a atom, frame) with c neighbors of species b, and ``histogram[c]``
    the same over all neighbors and atoms. Sums are kept as integers, so
    results over frames add exactly (``a + b``).
    """

    def __init__(self, symbols, species, frames, sums, by_species, histograms, histogram, per_frame=None):
        self.symbols = list(symbols)
        self.species = tuple(species)
        self.frames = np.asarray(frames, dtype=np.int64).reshape(-1)
        self.sums = np.asarray(sums, dtype=np.int64)
        self.by_species = np.asarray(by_species, dtype=np.int64)
        self.histograms = dict(histograms)
        self.histogram = np.asarray(histogram, dtype=np.int64)
        self.per_frame = per_frame

    @property
    def per_atom(self):
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.sums / len(self.frames)

    @property
    def mean(self):
        types = self._types()
        out = {}
        for ia, a in enumerate(self.species):
            centres = types == ia
            atom_frames = int(centres.sum()) * len(self.frames)
            for ib, b in enumerate(self.species):
                total = int(self.by_species[centres, ib].sum())
                out[(a, b)] = total / atom_frames if atom_frames else float("nan")
        return out

    def _types(self):
        index = {s: k for k, s in enumerate(self.species)}
        return np.fromiter((index[s] for s in self.symbols), dtype=np.int64, count=len(self.symbols))

    def __add__(self, other):
        if not isinstance(other, Coordination):
            return NotImplemented
        if other.symbols != self.symbols:
            raise ValueError("only coordination results of the same atoms (the same symbols in the same order) add")
        per_frame = None
        if self.per_frame is not None and other.per_frame is not None:
            per_frame = np.concatenate([self.per_frame, other.per_frame])
        histograms = {p: _add_padded(self.histograms[p], other.histograms[p]) for p in self.histograms}
        return Coordination(self.symbols, self.species, np.concatenate([self.frames, other.frames]),
                            self.sums + other.sums, self.by_species + other.by_species, histograms,
                            _add_padded(self.histogram, other.histogram), per_frame)

    def __radd__(self, other):
        if isinstance(other, int) and other == 0:
            return self
        return NotImplemented

    def __repr__(self):
        return f"Coordination(atoms={len(self.symbols)}, frames={len(self.frames)}, species={list(self.species)})"


def _add_padded(a, b):
    out = np.zeros(max(len(a), len(b)), dtype=np.int64)
    out[:len(a)] += a
    out[:len(b)] += b
    return out


def coordination(source, cutoff, *, frames=None, per_frame=False, workers=None, client=None, chunk=None,
                 threads=None, format=None, progress=None):
    """Coordination numbers of the atoms of `source` within `cutoff`, as a
    :class:`Coordination`.

    ``source``, ``frames``, ``workers``, ``client``, ``chunk``, ``threads``,
    ``format`` and ``progress`` as for :func:`rdf`; every frame must hold
    the same atoms.
    ``cutoff`` is a number, per-atom radii or an element-pair mapping, as
    for ``quorvel.neighbor_list`` (an atom's neighbors are its pairs in
    that list). ``per_frame=True`` keeps each frame's numbers.
    """
    if cutoff is None:
        raise ValueError("coordination needs a cutoff: a distance, per-atom radii or an element-pair mapping")
    check_frames(frames)
    check_workers(workers, client, chunk)
    if threads is not None:
        native_threads(threads)
    parts = run_chunks(coordination_chunk, source, frames, format, workers, client, progress, chunk, cutoff=cutoff,
                       threads=threads, per_frame=bool(per_frame))
    parts = [p for p in parts if p is not None]
    if not parts:
        raise ValueError("no frames selected: coordination needs at least one")
    return sum(parts[1:], parts[0])


def coordination_chunk(numbered, *, cutoff, threads=None, per_frame=False):
    result = None
    for k, s in numbered:
        symbols = list(s.symbols)
        species = list(dict.fromkeys(symbols))
        index = {x: t for t, x in enumerate(species)}
        types = np.fromiter((index[x] for x in symbols), dtype=np.int64, count=len(symbols))
        n, ns = len(symbols), len(species)
        if ns <= 1:
            counts = neighbor_counts(s, cutoff, threads=threads)
            by_species = counts.reshape(n, ns)
        else:
            nl = neighbor_list(s, cutoff, quantities="ij", threads=threads if threads is not None else None)
            by_species = np.bincount(nl.i * ns + types[nl.j], minlength=n * ns).reshape(n, ns)
            counts = by_species.sum(axis=1)
        histograms = {}
        for ia, a in enumerate(species):
            centres = types == ia
            for ib, b in enumerate(species):
                histograms[(a, b)] = np.bincount(by_species[centres, ib])
        part = Coordination(symbols, species, [k], counts, by_species, histograms, np.bincount(counts),
                            counts[None].copy() if per_frame else None)
        if result is not None and result.symbols != part.symbols:
            raise ValueError(f"frame {k} holds other atoms than the frames before it; coordination numbers per "
                             "atom need the same atoms in every frame")
        result = part if result is None else result + part
    return result
