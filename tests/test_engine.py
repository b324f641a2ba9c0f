"""The engine's sinks (chosen quantities, half lists, counts, histograms,
batches) on 1, 2 and 3 threads against the full list of quorvel._proxor,
filtered here in NumPy: same pairs, same order, same bits."""

import math
import threading
import time

import numpy as np
import pytest

import quorvel
from quorvel import _engine, _proxor

from support import needs_plain_allocator, run_python

THREADS = [1, 2, 3]


class Atoms:
    def __init__(self, cell, positions, pbc, symbols=None):
        self.cell = cell
        self.positions = positions
        self.pbc = pbc
        self.symbols = symbols if symbols is not None else ["O", "H", "H"] * (len(positions) // 3) + \
            ["O"] * (len(positions) % 3)


def random_atoms(seed, n=None):
    """Triclinic, mixed periodicity, atoms partly outside the cell; cutoffs
    up to twice the cell's size when small, a few neighbors each when large
    (large enough to be split over three threads)."""
    rng = np.random.default_rng(seed)
    cell = np.diag(rng.uniform(3.0, 7.0, 3)) + rng.uniform(-1.5, 1.5, (3, 3))
    pbc = [bool(x) for x in rng.random(3) < 0.6]
    if n is None:
        n = int(rng.integers(1, 40))
        cutoff = float(rng.uniform(0.5, 12.0))
    else:
        cell *= (n / 60) ** (1 / 3)
        cutoff = float(rng.uniform(1.0, 2.0))
    positions = rng.uniform(-0.4, 1.4, (n, 3)) @ cell
    return Atoms(cell, positions, pbc), cutoff


SYSTEMS = [(seed, None) for seed in range(12)] + [(100, 13000), (101, 14000)]
SYSTEM_IDS = [f"small{s}" if n is None else f"large{n}" for s, n in SYSTEMS]


def full(atoms, cutoff, self_interaction=False):
    return _proxor.primitive_neighbor_list_rs(list(atoms.pbc), atoms.cell, atoms.positions, cutoff,
                                              self_interaction=self_interaction)


def half_mask(i, j, S):
    first = np.where(S[:, 0] != 0, S[:, 0], np.where(S[:, 1] != 0, S[:, 1], S[:, 2]))
    return (i < j) | ((i == j) & (first > 0))


def assert_bitwise(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.tobytes() == want.tobytes()


def assert_filtered(result, reference, keep, quantities):
    for name, got, want in zip("ijdDS", result, reference):
        if name in quantities:
            assert_bitwise(got, want[keep])
        else:
            assert got is None


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("system", SYSTEMS, ids=SYSTEM_IDS)
@pytest.mark.parametrize("quantities, half", [("ijdDS", False), ("ijdDS", True), ("ij", False), ("dS", True),
                                              ("Dj", False), ("", True)])
def test_chosen_quantities_and_half_lists_filter_the_full_list(system, threads, quantities, half):
    atoms, cutoff = random_atoms(*system)
    self_interaction = system[0] % 3 == 0
    ref = full(atoms, cutoff, self_interaction)
    got = quorvel.neighbor_list(atoms, cutoff, quantities=quantities, half=half, threads=threads,
                                self_interaction=self_interaction)
    keep = half_mask(ref[0], ref[1], ref[4]) if half else np.ones(len(ref[0]), dtype=bool)
    assert_filtered(got, ref, keep, quantities)


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("system", SYSTEMS, ids=SYSTEM_IDS)
def test_half_lists_are_complete_and_disjoint(system, threads):
    atoms, cutoff = random_atoms(*system)
    i, j, d, D, S = quorvel.neighbor_list(atoms, cutoff, half=True, threads=threads)
    i0, j0, _, _, S0 = full(atoms, cutoff)
    ordered = {(a, b, *s) for a, b, s in zip(i.tolist(), j.tolist(), S.tolist())}
    reversed_ = {(b, a, *(-x for x in s)) for a, b, s in zip(i.tolist(), j.tolist(), S.tolist())}
    assert len(ordered) == len(i)
    assert not ordered & reversed_
    assert ordered | reversed_ == {(a, b, *s) for a, b, s in zip(i0.tolist(), j0.tolist(), S0.tolist())}


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("seed", [3, 4, 100])
@pytest.mark.parametrize("half", [False, True])
def test_radii_and_element_pairs_filter_their_full_lists(seed, threads, half):
    atoms, cutoff = random_atoms(seed, 13000 if seed == 100 else None)
    n = len(atoms.positions)
    radii = np.random.default_rng(seed).uniform(0.0, cutoff / 2, n)
    ref = _proxor.primitive_neighbor_list_radii_rs(list(atoms.pbc), atoms.cell, atoms.positions, radii)
    got = quorvel.neighbor_list(atoms, radii, half=half, threads=threads)
    keep = half_mask(ref[0], ref[1], ref[4]) if half else np.ones(len(ref[0]), dtype=bool)
    assert_filtered(got, ref, keep, "ijdDS")

    table = {("O", "H"): cutoff * 0.8, ("H", "H"): cutoff * 0.5, ("O", "O"): cutoff}
    numbers = np.array([8 if s == "O" else 1 for s in atoms.symbols], dtype=np.int64)
    ref = _proxor.primitive_neighbor_list_dict_rs(list(atoms.pbc), atoms.cell, atoms.positions, numbers,
                                                  [8, 1, 8], [1, 1, 8], [cutoff * 0.8, cutoff * 0.5, cutoff])
    got = quorvel.neighbor_list(atoms, table, half=half, threads=threads, quantities="ijd")
    keep = half_mask(ref[0], ref[1], ref[4]) if half else np.ones(len(ref[0]), dtype=bool)
    assert_filtered(got, ref, keep, "ijd")
    if not half:
        counts = quorvel.neighbor_counts(atoms, table, threads=threads)
        assert_bitwise(counts, np.bincount(ref[0], minlength=n).astype(np.int64))


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("system", SYSTEMS, ids=SYSTEM_IDS)
def test_counts_are_the_full_lists_counts(system, threads):
    atoms, cutoff = random_atoms(*system)
    i = full(atoms, cutoff)[0]
    counts = quorvel.neighbor_counts(atoms, cutoff, threads=threads)
    assert_bitwise(counts, np.bincount(i, minlength=len(atoms.positions)).astype(np.int64))


def numpy_histogram(d, rmax, bins):
    d = d[d < rmax]
    b = np.floor(d * (bins / rmax)).astype(np.int64)
    return np.bincount(b[b < bins], minlength=bins).astype(np.int64)


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("system", SYSTEMS, ids=SYSTEM_IDS)
@pytest.mark.parametrize("bins", [1, 7, 200])
def test_histograms_bin_the_full_lists_distances(system, threads, bins):
    atoms, cutoff = random_atoms(*system)
    i, j, d, D, S = full(atoms, cutoff)
    keep = half_mask(i, j, S)
    hist = quorvel.distance_histogram(atoms, cutoff, bins, threads=threads)
    assert_bitwise(hist, numpy_histogram(d[keep], cutoff, bins))
    assert hist.sum() == keep.sum()

    by_species = quorvel.distance_histogram(atoms, cutoff, bins, species_pairs=True, threads=threads)
    symbols = np.array(atoms.symbols)
    species = list(dict.fromkeys(atoms.symbols))
    assert list(by_species) == [(a, b) for k, a in enumerate(species) for b in species[k:]]
    for (a, b), counts in by_species.items():
        pair = keep & (((symbols[i] == a) & (symbols[j] == b)) | ((symbols[i] == b) & (symbols[j] == a)))
        assert_bitwise(counts, numpy_histogram(d[pair], cutoff, bins))


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("quantities, half", [("ijdDS", False), ("ij", True), ("dS", False)])
def test_batches_equal_one_call_per_structure(threads, quantities, half):
    rng = np.random.default_rng(threads)
    structures = [random_atoms(seed)[0] for seed in range(20)]
    structures += [Atoms(np.eye(3) * 4.0, np.zeros((0, 3)), True)]
    structures += [random_atoms(100, 9000)[0], random_atoms(101, 300)[0]]
    rng.shuffle(structures)
    cutoff = 2.7
    batch = quorvel.neighbor_lists(structures, cutoff, quantities=quantities, half=half, threads=threads)
    assert batch.atom_offsets.tolist() == np.cumsum([0] + [len(s.positions) for s in structures]).tolist()
    assert batch.pair_offsets[0] == 0
    for b, s in enumerate(structures):
        one = quorvel.neighbor_list(s, cutoff, quantities=quantities, half=half, threads=1)
        lo, hi = batch.pair_offsets[b], batch.pair_offsets[b + 1]
        for name, got, want in zip("ijdDS", batch[:5], one):
            if name not in quantities:
                assert got is None
                continue
            if name in "ij":
                want = want + batch.atom_offsets[b]
            assert_bitwise(got[lo:hi], want)
    assert batch.pair_offsets[-1] == len(next(x for x in batch[:5] if x is not None))


def test_an_empty_batch():
    batch = quorvel.neighbor_lists([], 3.0)
    assert batch.atom_offsets.tolist() == [0] and batch.pair_offsets.tolist() == [0]
    assert all(len(x) == 0 for x in batch[:5])


def test_a_batch_reports_the_failing_structure():
    good = Atoms(np.eye(3) * 4.0, np.zeros((2, 3)), True)
    flat = Atoms(np.diag([4.0, 4.0, 1e-17]), np.zeros((2, 3)), True)
    with pytest.raises(ValueError, match=r"^structure 1: Cell matrix is singular"):
        quorvel.neighbor_lists([good, flat, good], 3.0, threads=2)


@pytest.mark.parametrize("kwargs, message", [
    (dict(quantities="ijx"), "quantities must be letters of 'ijdDS'"),
    (dict(quantities="ii"), "quantities must be letters of 'ijdDS'"),
    (dict(threads=0), "threads must be None or a positive integer"),
    (dict(threads=True), "threads must be None or a positive integer"),
])
def test_bad_keywords(kwargs, message):
    atoms, cutoff = random_atoms(1)
    with pytest.raises(ValueError, match=message):
        quorvel.neighbor_list(atoms, cutoff, **kwargs)


@pytest.mark.parametrize("rmax, bins, message", [(0.0, 5, "rmax must be"), (math.inf, 5, "rmax must be"),
                                                 (3.0, 0, "bins must be"), (3.0, 2.5, "bins must be")])
def test_bad_histograms(rmax, bins, message):
    atoms, _ = random_atoms(1)
    with pytest.raises(ValueError, match=message):
        quorvel.distance_histogram(atoms, rmax, bins)


def test_the_native_histogram_checks_its_types():
    pos = np.zeros((3, 3))
    with pytest.raises(ValueError, match=r"types must lie in \[0, ntypes\)"):
        _engine.histogram([True] * 3, np.eye(3) * 4, pos, 3.0, 4, types=np.array([0, 2, 1]), ntypes=2)
    with pytest.raises(ValueError, match="types must have one value per atom"):
        _engine.histogram([True] * 3, np.eye(3) * 4, pos, 3.0, 4, types=np.array([0, 1]), ntypes=2)


def by_pair(pairs):
    i, j, d, D, S = pairs
    order = np.lexsort((S[:, 2], S[:, 1], S[:, 0], j, i))
    return i[order], j[order], d[order], D[order], S[order]


@pytest.mark.parametrize("pbc", [[False] * 3, [True, False, False], [False, True, True]])
@pytest.mark.parametrize("origin", [(-10.0, -10.0, -10.0), (3.0, -7.5, 0.25), (1e6, -1e6, 5.0), (-0.0, 0.0, -0.0)])
def test_the_bin_origin_moves_no_pair(pbc, origin):
    """Only the binning of the open axes depends on the origin: the same
    pairs with the same bits as a zero origin, ordered by i (within one i the
    bins, and so the pairs, may come in another order)."""
    rng = np.random.default_rng(8)
    pos = rng.uniform(-10.0, 10.0, (1500, 3))
    cell = np.array([[20.0, 0.0, 0.0], [2.0, 20.0, 0.0], [0.0, -3.0, 20.0]])
    radii = rng.uniform(0.5, 1.8, 1500)
    for kwargs in (dict(cutoff=3.3), dict(cutoff=0.0, radii=radii)):
        cutoff = kwargs.pop("cutoff")
        zero = _engine.pairs(pbc, cell, pos, cutoff, **kwargs)
        assert len(zero[0]) > 1000
        for threads in (1, 2):
            moved = _engine.pairs(pbc, cell, pos, cutoff, origin=origin, threads=threads, **kwargs)
            assert (np.diff(moved[0]) >= 0).all()
            for got, want in zip(by_pair(moved), by_pair(zero)):
                assert_bitwise(got, want)
        counts = _engine.counts(pbc, cell, pos, cutoff, origin=list(origin), **kwargs)
        assert (counts == np.bincount(zero[0], minlength=1500)).all()
    assert (_engine.histogram(pbc, cell, pos, 3.3, 9, origin=origin) ==
            _engine.histogram(pbc, cell, pos, 3.3, 9)).all()


@pytest.mark.parametrize("origin", [(1.0, 2.0), (0.0, math.nan, 0.0), (math.inf, 0.0, 0.0), "abc"])
def test_bad_origins_are_refused(origin):
    with pytest.raises((ValueError, TypeError), match="origin"):
        _engine.pairs([False] * 3, np.eye(3) * 5, np.zeros((2, 3)), 1.0, origin=origin)


def test_defaults_still_go_through_proxor(monkeypatch):
    atoms, cutoff = random_atoms(2)
    calls = []
    original = _proxor.primitive_neighbor_list_rs
    monkeypatch.setattr(_proxor, "primitive_neighbor_list_rs", lambda *a, **k: calls.append(1) or original(*a, **k))
    quorvel.neighbor_list(atoms, cutoff)
    assert calls == [1]
    quorvel.neighbor_list(atoms, cutoff, threads=1)
    assert calls == [1]


def big_fcc(rep=18, a=3.61):
    basis = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    grid = np.stack(np.meshgrid(*[np.arange(rep)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
    return Atoms(np.eye(3) * a * rep, ((grid + basis).reshape(-1, 3) * a), True)


def test_the_interpreter_lock_is_released_while_searching():
    atoms = big_fcc()
    done = threading.Event()
    ticks = 0

    def search():
        for _ in range(3):
            quorvel.neighbor_list(atoms, 6.0, quantities="ij", threads=1)
        done.set()

    worker = threading.Thread(target=search)
    started = time.perf_counter()
    worker.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
    worker.join()
    elapsed = time.perf_counter() - started
    # Holding the lock, the search would leave this thread a tick or two per call.
    assert ticks > 0.3 * elapsed / 0.0011 and ticks > 20


def test_ctrl_c_stops_a_threaded_search_quickly():
    out = run_python("""
        import os, signal, threading, time
        import numpy as np
        import quorvel
        class A: pass
        a = A(); a.cell = np.eye(3); a.pbc = True
        a.positions = np.random.default_rng(0).uniform(0, 1, (10000, 3))
        # Ctrl-C raises KeyboardInterrupt even where the shell that started
        # the tests ignores SIGINT (a background job).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        threading.Timer(1.0, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        started = time.perf_counter()
        try:
            quorvel.neighbor_counts(a, 25.0, threads=2)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted after %.2f s, threads left %d" % (time.perf_counter() - started - 1.0,
                                                                  threading.active_count()))
    """, timeout=120)
    assert out.returncode == 0, out.stderr
    words = out.stdout.split()
    assert words[0] == "interrupted", out.stdout
    assert float(words[2]) < 1.0 and words[-1] == "1", out.stdout


@needs_plain_allocator
def test_memory_exhaustion_in_a_thread_raises_memory_error():
    out = run_python("""
        import resource, gc
        import numpy as np
        import quorvel
        class A: pass
        def vm():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) << 10
        a = A(); a.cell = np.eye(3) * 10.0; a.pbc = True
        a.positions = np.random.default_rng(0).uniform(0, 10, (10000, 3))
        quorvel.neighbor_list(a, 1.0, threads=2)
        gc.collect()
        limit = vm() + (400 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for attempt in range(3):
            before = vm()
            try:
                # About 200 million pairs: far more than is left. The caller
                # lifts the pair estimate's limit, so the search itself runs out.
                quorvel.neighbor_list(a, 8.0, threads=2, max_pairs=10**12)
                print("no error")
            except MemoryError:
                print("MemoryError", (vm() - before) >> 20)
        print("small", len(quorvel.neighbor_list(a, 1.0, threads=2).i) > 0)
    """, timeout=300)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert [line.split()[0] for line in lines[:3]] == ["MemoryError"] * 3, out.stdout
    assert all(int(line.split()[1]) < 16 for line in lines[:3]), out.stdout
    assert lines[3] == "small True"


def test_fork_after_a_threaded_call():
    out = run_python("""
        import multiprocessing as mp
        import numpy as np
        import quorvel
        class A: pass
        a = A(); a.cell = np.eye(3) * 20.0; a.pbc = True
        a.positions = np.random.default_rng(0).uniform(0, 20, (9000, 3))
        def work(cutoff):
            return int(quorvel.neighbor_counts(a, cutoff, threads=2).sum())
        expected = [work(c) for c in (1.0, 1.5, 2.0)]
        with mp.get_context("fork").Pool(2) as pool:
            print(pool.map(work, [1.0, 1.5, 2.0]) == expected)
    """, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "True"


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("quantities", ["ijdDS", "jD"])
def test_freed_results_lend_their_memory_to_the_next_call(threads, quantities):
    """A result's arrays, once freed, hold the next call's output (no fresh
    pages), which is still the full list's, bit for bit; arrays still alive
    are never written."""
    atoms, cutoff = random_atoms(101, 14000)
    cutoff *= 1.6
    reference = full(atoms, cutoff)
    first = _engine.pairs(list(atoms.pbc), atoms.cell, atoms.positions, cutoff, quantities=quantities,
                          threads=threads)
    assert min(a.nbytes for a in first if a is not None) >= 1 << 20, "arrays too small to be pooled"
    quorvel.engine.pooled_memory(release=True)
    size = sum(a.nbytes for a in first if a is not None)
    del first
    assert quorvel.engine.pooled_memory() >= size
    kept = _engine.pairs(list(atoms.pbc), atoms.cell, atoms.positions, cutoff, quantities=quantities,
                         threads=threads)
    assert quorvel.engine.pooled_memory() < size
    snapshot = [None if a is None else a.copy() for a in kept]
    again = _engine.pairs(list(atoms.pbc), atoms.cell, atoms.positions, cutoff, quantities=quantities,
                          threads=threads)
    keep = np.ones(len(reference[0]), dtype=bool)
    for result in (kept, again):
        assert_filtered(result, reference, keep, quantities)
    for a, b in zip(kept, snapshot):
        assert (a is None and b is None) or a.tobytes() == b.tobytes()
    del kept, again
    assert quorvel.engine.pooled_memory(release=True) > 0
    assert quorvel.engine.pooled_memory() == 0
