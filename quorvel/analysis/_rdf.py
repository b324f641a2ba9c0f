"""The radial distribution function g(r), total and per species pair, from
the engine's exact histogram counts."""

import math

import numpy as np

from .. import _engine
from ..engine import _geometry, native_threads
from ._sources import check_frames, check_workers, run_chunks, species_seen


class RDF:
    """g(r) of one or many frames, total and per species pair.

    The result keeps what adds exactly: the integer counts of unordered
    pairs per species pair and distance bin, and per frame its number,
    cell volume and atoms of each species. Everything else is computed from
    those totals, so ``a + b`` of two results (frames, chunks, processes,
    Dask workers) is the result of one run over all their frames, bit for
    bit.

    Normalisation, for bins ``[r_k, r_k+1)`` of shell volume
    ``V_k = 4/3 π (r_k+1³ − r_k³)``, summed over frames f with their own
    volume ``V_f`` (variable cells) and species counts ``N_a,f``:

    - ``g_ab = C_ab / (V_k · Σ_f N_a,f N_b,f / V_f)`` for ``a != b``, where
      ``C_ab`` counts unordered a–b pairs;
    - ``g_aa = C_aa / (V_k · Σ_f N_a,f (N_a,f − 1) / (2 V_f))`` (no self
      pairs);
    - the total ``g = C / (V_k · Σ_f N_f (N_f − 1) / (2 V_f))``.

    An ideal gas gives 1 for each. This is the ratio of the frames' summed
    counts to their summed ideal-gas counts: each frame weighs in with its
    ideal-gas pair count, so frames of any cell and size average
    correctly. The sums over frames are taken with ``math.fsum`` (correctly
    rounded, so independent of the order frames are added in). Pairs with
    every periodic image count: an atom and its own image (at a lattice
    vector, once the cutoff reaches it) are an a–a pair, as in the infinite
    crystal.

    The running coordination number ``n_ab(r)`` is the mean number of b
    atoms within ``r`` of an a atom, at the bins' upper edges
    (``r_k+1``, so ``n[k]`` counts pairs with ``d < edges[k+1]``):
    ``n_ab = cumsum(C_ab) / Σ_f N_a,f`` for ``a != b``, twice that for
    ``a == b`` (each pair counts for both atoms), and ``n = 2 cumsum(C) /
    Σ_f N_f`` for all atoms.

    Attributes: ``rmax``, ``bins``, ``edges`` (bins + 1), ``r`` (bin
    centres), ``g``, ``n``, ``counts`` (total int64 counts per bin),
    ``species``, ``pairs`` (the ordered species pairs reported),
    ``g_pairs``/``n_pairs``/``pair_counts`` (dicts by pair), ``frames``
    (the frame numbers used), ``volumes`` and ``natoms`` (per frame, the
    latter per species).
    """

    def __init__(self, rmax, bins, species, counts, frames, volumes, natoms, pairs=None):
        self.rmax = float(rmax)
        self.bins = int(bins)
        self.species = tuple(species)
        s = len(self.species)
        self._counts = np.asarray(counts, dtype=np.int64).reshape(s, s, self.bins)
        self.frames = np.asarray(frames, dtype=np.int64).reshape(-1)
        self.volumes = np.asarray(volumes, dtype=np.float64).reshape(-1)
        self.natoms = np.asarray(natoms, dtype=np.int64).reshape(len(self.frames), s)
        if len(self.volumes) != len(self.frames):
            raise ValueError(f"{len(self.volumes)} volumes for {len(self.frames)} frames")
        default = [(a, b) for k, a in enumerate(self.species) for b in self.species[k:]]
        self.pairs = tuple(default if pairs is None else check_pairs(pairs, self.species))

    # -- the totals ------------------------------------------------------
    @property
    def edges(self):
        return np.linspace(0.0, self.rmax, self.bins + 1)

    @property
    def r(self):
        e = self.edges
        return 0.5 * (e[1:] + e[:-1])

    def _shells(self):
        e = self.edges
        return 4.0 / 3.0 * math.pi * (e[1:] ** 3 - e[:-1] ** 3)

    @property
    def counts(self):
        """Unordered pairs per bin, all species."""
        s = len(self.species)
        upper = np.triu_indices(s)
        return self._counts[upper].sum(axis=0) if s else np.zeros(self.bins, dtype=np.int64)

    @property
    def pair_counts(self):
        return {p: self._pair_count(*p) for p in self.pairs}

    def _pair_count(self, a, b):
        ia, ib = self.species.index(a), self.species.index(b)
        return self._counts[ia, ib].copy()

    def _ideal(self, a, b):
        """Σ_f of the ideal-gas pair density of a pair (None: all atoms)."""
        if a is None:
            n = self.natoms.sum(axis=1)
            terms = (n * (n - 1) // 2) / self.volumes
        else:
            na = self.natoms[:, self.species.index(a)]
            nb = self.natoms[:, self.species.index(b)]
            terms = (na * (na - 1) // 2 if a == b else na * nb) / self.volumes
        return math.fsum(terms.tolist())

    def _g(self, counts, ideal):
        with np.errstate(divide="ignore", invalid="ignore"):
            return counts / (self._shells() * ideal)

    @property
    def g(self):
        return self._g(self.counts, self._ideal(None, None))

    @property
    def g_pairs(self):
        return {(a, b): self._g(self._pair_count(a, b), self._ideal(a, b)) for a, b in self.pairs}

    @property
    def n(self):
        total = int(self.natoms.sum())
        with np.errstate(divide="ignore", invalid="ignore"):
            return 2.0 * np.cumsum(self.counts) / total

    @property
    def n_pairs(self):
        out = {}
        for a, b in self.pairs:
            centres = int(self.natoms[:, self.species.index(a)].sum())
            c = np.cumsum(self._pair_count(a, b)) * (2 if a == b else 1)
            with np.errstate(divide="ignore", invalid="ignore"):
                out[(a, b)] = c / centres
        return out

    # -- adding --------------------------------------------------------------
    def __add__(self, other):
        if not isinstance(other, RDF):
            return NotImplemented
        if other.rmax != self.rmax or other.bins != self.bins:
            raise ValueError(f"only RDFs of the same rmax and bins add: rmax {self.rmax:g} and {other.rmax:g} Å, "
                             f"bins {self.bins} and {other.bins}")
        species = self.species + tuple(s for s in other.species if s not in self.species)
        s = len(species)
        counts = np.zeros((s, s, self.bins), dtype=np.int64)
        natoms = np.zeros((len(self.frames) + len(other.frames), s), dtype=np.int64)
        for part, rows in ((self, slice(0, len(self.frames))), (other, slice(len(self.frames), None))):
            idx = [species.index(x) for x in part.species]
            counts[np.ix_(idx, idx)] += part._counts
            natoms[rows, idx] = part.natoms
        pairs = self.pairs + tuple(p for p in other.pairs if p not in self.pairs)
        return RDF(self.rmax, self.bins, species, counts, np.concatenate([self.frames, other.frames]),
                   np.concatenate([self.volumes, other.volumes]), natoms, pairs)

    def __radd__(self, other):
        # sum() starts from 0.
        if isinstance(other, int) and other == 0:
            return self
        return NotImplemented

    def select(self, pairs):
        """The same result reporting other species pairs."""
        return RDF(self.rmax, self.bins, self.species, self._counts, self.frames, self.volumes, self.natoms, pairs)

    def __repr__(self):
        return (f"RDF(rmax={self.rmax:g}, bins={self.bins}, species={list(self.species)}, "
                f"frames={len(self.frames)}, pairs counted={int(self.counts.sum())})")

    # -- reading it --------------------------------------------------------
    def first_shells(self):
        """Per pair (and "total" for all atoms): (r of the first peak, its
        g, r of the first minimum after it, n at that minimum), or None
        where g(r) has no peak that stands out of the noise.

        The peaks are looked for from the first bin whose count exceeds
        the ideal gas's expected count E by more than five standard
        deviations (C - E > 5 sqrt(E)), so that a few pairs at short
        distances, where E is tiny, make no peak. The first peak is the
        first local maximum of g's running mean over 5 bins within that
        bin's run of such bins, the minimum the first local minimum of the
        running mean after it (the last bin if there is none); each is
        then the highest or lowest bin of g within 2 bins of there. n is
        read at the minimum bin's upper edge.
        """
        shells = self._shells()
        curves = [("total", self.counts, self._ideal(None, None), self.n)]
        n_pairs = self.n_pairs
        for a, b in self.pairs:
            curves.append(((a, b), self._pair_count(a, b), self._ideal(a, b), n_pairs[(a, b)]))
        return {key: _first_shell(self.r, counts, shells * ideal, n) for key, counts, ideal, n in curves}

    # -- output --------------------------------------------------------------
    def plot(self, ax=None, pairs=None):
        """Draws g(r) on `ax` (None: a new figure's axes): one curve per
        species pair (default: the reported pairs, or the total for one
        species); "total" names the curve over all atoms. Returns the axes."""
        if ax is None:
            import matplotlib.pyplot as plt
            _, ax = plt.subplots()
        if pairs is None:
            pairs = ["total"] if len(self.species) <= 1 else list(self.pairs)
        curves = []
        for p in pairs:
            if p == "total":
                curves.append(("all atoms", self.g))
            else:
                (a, b), = check_pairs([p], self.species)
                curves.append((f"{a}-{b}", self.select([(a, b)]).g_pairs[(a, b)]))
        for label, g in curves:
            ax.plot(self.r, g, label=label)
        ax.axhline(1.0, color="0.6", linewidth=0.8, linestyle="--")
        ax.set_xlabel("r (Å)")
        ax.set_ylabel("g(r)")
        ax.set_xlim(0.0, self.rmax)
        frames = len(self.frames)
        ax.set_title(f"radial distribution function, {frames} frame{'s' * (frames != 1)}")
        ax.legend()
        return ax

    def columns(self):
        """The table to_csv writes: (name, values) pairs."""
        cols = [("r", self.r), ("g", self.g), ("n", self.n)]
        g, n = self.g_pairs, self.n_pairs
        for a, b in self.pairs:
            cols += [(f"g_{a}-{b}", g[(a, b)]), (f"n_{a}-{b}", n[(a, b)])]
        return cols

    def to_csv(self, path):
        """Writes r, g, n and g, n of each pair as comma-separated columns
        with a header row, every number exact (17 significant digits)."""
        from ..io._files import write_text
        cols = self.columns()
        lines = [",".join(name for name, _ in cols)]
        table = np.column_stack([v for _, v in cols])
        lines += [",".join(f"{x:.17g}" for x in row) for row in table.tolist()]
        write_text(path, ["\n".join(lines) + "\n"])

    def to_npz(self, path):
        """Saves what the result is made of; RDF.from_npz reads it back (and
        the results of several runs add)."""
        from ..io._files import atomic_write
        arrays = dict(rmax=self.rmax, bins=self.bins, species=np.array(self.species, dtype=str),
                      counts=self._counts, frames=self.frames, volumes=self.volumes, natoms=self.natoms,
                      pairs=np.array([f"{a}-{b}" for a, b in self.pairs], dtype=str).reshape(-1))
        atomic_write(path, lambda raw: np.savez(raw, **arrays))

    @classmethod
    def from_npz(cls, path):
        with np.load(path) as z:
            species = [str(x) for x in z["species"]]
            return cls(float(z["rmax"]), int(z["bins"]), species, z["counts"], z["frames"], z["volumes"],
                       z["natoms"], [str(x) for x in z["pairs"]])


# Bins of the running mean that first_shells reads peaks and minima from.
_SMOOTHING = 5


def _first_shell(r, counts, expected, n):
    counts = counts.astype(np.float64)
    if not np.all(expected > 0):
        return None
    g = counts / expected
    significant = counts - expected > 5.0 * np.sqrt(expected)
    if not significant.any():
        return None
    start = end = int(np.argmax(significant))
    while end + 1 < len(g) and significant[end + 1]:
        end += 1
    # Local extrema of a running mean, so that noise makes none; then the
    # raw curve's extremum near it.
    half = _SMOOTHING // 2
    smooth = np.convolve(g, np.ones(_SMOOTHING), "same") / np.convolve(np.ones(len(g)), np.ones(_SMOOTHING), "same")
    rising = np.append(smooth[1:] - smooth[:-1], -np.inf)  # smooth[k+1] - smooth[k]
    falling = np.insert(smooth[1:] - smooth[:-1], 0, np.inf)  # smooth[k] - smooth[k-1]
    maxima = [k for k in range(start, end + 1) if falling[k] >= 0 and rising[k] < 0]
    centre = maxima[0] if maxima else start + int(np.argmax(g[start:end + 1]))
    lo = max(centre - half, 0)
    peak = lo + int(np.argmax(g[lo:centre + half + 1]))
    minima = [k for k in range(peak + 1, len(g)) if falling[k] <= 0 and rising[k] > 0]
    if minima:
        lo = max(minima[0] - half, peak + 1)
        minimum = lo + int(np.argmin(g[lo:minima[0] + half + 1]))
    else:
        minimum = len(g) - 1
    return float(r[peak]), float(g[peak]), float(r[minimum]), float(n[minimum])


def check_pairs(pairs, species):
    """Ordered species pairs from "O-H" texts or (a, b) tuples, each species
    present."""
    if isinstance(pairs, str):
        pairs = [p for p in pairs.split(",") if p.strip()]
    out = []
    for p in pairs:
        if isinstance(p, str):
            parts = p.strip().split("-")
            if len(parts) != 2 or not all(parts):
                raise ValueError(f"a species pair is written A-B, such as O-H; got {p!r}")
            p = tuple(x.strip() for x in parts)
        elif not isinstance(p, (tuple, list)) or len(p) != 2 or not all(isinstance(x, str) for x in p):
            raise ValueError(f"a species pair is two species names, such as ('O', 'H') or 'O-H'; got {p!r}")
        for x in p:
            if x not in species:
                raise ValueError(f"species pair {p[0]}-{p[1]} names {x!r}, which is not among the species "
                                 f"({', '.join(species) or 'none'})")
        if tuple(p) not in out:
            out.append(tuple(p))
    return out


def rdf(source, rmax, bins=200, *, pairs=None, frames=None, workers=None, client=None, chunk=None, threads=None,
        volume=None, format=None, progress=None):
    """g(r) of `source` up to `rmax` (Å) in `bins` bins, as an :class:`RDF`.

    ``source`` is a Structure, a Trajectory, a ``quorvel.io.Frames`` or the
    path of a structure or trajectory file (``format`` as for
    ``quorvel.io.read``); ``frames`` (a slice or range) picks frames of it.
    ``pairs`` names the species pairs reported ("O-H,O-O", or tuples; the
    default is every unordered pair), all of which are counted anyway.
    ``threads`` runs each frame's search on that many threads (None: the
    CPUs this process may use). ``workers`` (processes) or ``client`` (a
    ``distributed.Client``) spread chunks of frames over
    ``quorvel.map_chunks`` (then ``source`` is a path or a Frames, each
    worker reads its own frames, ``threads=None`` means one thread a
    worker, and ``chunk`` is the frames a task takes, as for map_chunks);
    the chunks' results add to the same answer.
    Frames must be periodic along all three axes, unless ``volume`` (Å³)
    gives the volume to normalise by. ``progress``, a callable such as
    ``tqdm.tqdm``, is called with ``total=`` (the frames, or None when not
    known) and its bar advanced as frames are done. See :class:`RDF` for
    the normalisation.
    """
    rmax, bins = check_rmax_bins(rmax, bins)
    check_frames(frames)
    check_workers(workers, client, chunk)
    if volume is not None:
        volume = float(volume)
        if not (volume > 0 and math.isfinite(volume)):
            raise ValueError(f"volume must be a positive, finite number of Å³, not {volume!r}")
    if threads is not None:
        native_threads(threads)
    wanted = None
    if pairs is not None:
        wanted = check_pairs(pairs, _AnySpecies())
        # Species the source does not have are refused before any frame is searched.
        species = species_seen(source, {x for p in wanted for x in p}, format)
        if species is not None:
            check_pairs(wanted, species)
    parts = run_chunks(rdf_chunk, source, frames, format, workers, client, progress, chunk, rmax=rmax, bins=bins,
                       threads=threads, volume=volume)
    result = sum(parts[1:], parts[0])
    if not len(result.frames):
        raise ValueError("no frames selected: an RDF needs at least one")
    return result.select(wanted) if wanted is not None else result


class _AnySpecies:
    def __contains__(self, x):
        return True


def check_rmax_bins(rmax, bins):
    try:
        rmax = float(rmax)
    except (TypeError, ValueError):
        raise ValueError(f"rmax must be a positive, finite distance in Å, not {rmax!r}") from None
    if not (rmax > 0 and math.isfinite(rmax)):
        raise ValueError(f"rmax must be a positive, finite distance in Å, not {rmax!r}")
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError(f"bins must be a positive integer, not {bins!r}")
    return rmax, int(bins)


def rdf_chunk(numbered, *, rmax, bins, threads=None, volume=None):
    """The RDF of (frame number, Structure) pairs, each frame through the
    engine's histogram with species ids."""
    species = {}
    blocks = []  # per frame: (number, volume, counts of each species id)
    hist = None
    last_symbols, last_types = None, None
    nthreads = native_threads(threads)
    for k, s in numbered:
        symbols = s.symbols
        if symbols != last_symbols:
            for x in symbols:
                if x not in species:
                    species[x] = len(species)
            last_types = np.fromiter((species[x] for x in symbols), dtype=np.int64, count=len(symbols))
            last_symbols = list(symbols)
        pbc, cell, positions, origin = _geometry(s)
        v = volume
        if v is None:
            if not all(pbc):
                raise ValueError(f"frame {k} is not periodic along all three axes (pbc {tuple(pbc)}): its volume "
                                 "is not defined; give the volume to normalise by")
            v = abs(float(np.linalg.det(cell)))
        ntypes = max(len(species), 1)
        h = _engine.histogram(list(pbc), cell, positions, rmax, bins, types=last_types, ntypes=ntypes,
                              threads=nthreads, origin=origin).reshape(ntypes, ntypes, bins)
        if hist is None or hist.shape[0] < ntypes:
            grown = np.zeros((ntypes, ntypes, bins), dtype=np.int64)
            if hist is not None:
                grown[:hist.shape[0], :hist.shape[0]] = hist
            hist = grown
        hist += h
        blocks.append((k, v, np.bincount(last_types, minlength=ntypes)))
    s = len(species)
    counts = np.zeros((s, s, bins), dtype=np.int64)
    if hist is not None:
        # Unordered pairs: (a, b) and (b, a) are one species pair.
        upper = hist + hist.transpose(1, 0, 2)
        idx = np.arange(s)
        upper[idx, idx] = hist[idx, idx]
        counts = upper[:s, :s]
    natoms = np.zeros((len(blocks), s), dtype=np.int64)
    for row, (_, _, c) in enumerate(blocks):
        natoms[row, :len(c)] = c
    return RDF(rmax, bins, list(species), counts, [b[0] for b in blocks], [b[1] for b in blocks], natoms)
