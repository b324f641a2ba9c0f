"""Neighbor-list benchmark: quorvel against scipy's cKDTree and pymatgen.

    .venv/bin/python -P bench/bench_neighbors.py            # every case
    .venv/bin/python -P bench/bench_neighbors.py --quick    # one small case
    .venv/bin/python -P bench/bench_neighbors.py --case fcc108k-5A

Every library produces the same thing: the full list of ordered pairs (i, j)
with image shift S, distance vector D and distance d, sorted by i; the time
of a library includes turning its native output into that list. All runs are
single-threaded. The times are the best of several calls, each call's result
freed before the next one.

The engine table (--engine, or with every case) times the sinks of
quorvel._engine against the full list of _proxor in the same run, on fcc
copper (108k atoms, 5 A unless --engine-case says otherwise): threads=2
against threads=1, quantities="ij", half lists, per-atom counts, a
200-bin histogram against the full list plus numpy.histogram, and a batch of
10,000 random periodic 64-atom structures at the density of crystalline
silicon against a Python loop calling primitive_neighbor_list_rs.

Peak memory: each case runs once more in a fresh subprocess; the RSS
high-water mark (VmHWM of /proc/self/status) is reset through
/proc/self/clear_refs right before the call, and the peak above the RSS
before the call is reported next to the size of the five result arrays.
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import quorvel  # noqa: E402
from quorvel.io import Structure  # noqa: E402
from quorvel import _engine, _proxor  # noqa: E402

try:
    from scipy.spatial import cKDTree
except ImportError:  # pragma: no cover
    cKDTree = None
try:
    from pymatgen.optimization.neighbors import find_points_in_spheres
except ImportError:
    find_points_in_spheres = None


# ---------------------------------------------------------------------------
# Structures.

def fcc(rep, a=3.61):
    basis = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    grid = np.stack(np.meshgrid(*[np.arange(rep)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
    pos = ((grid + basis).reshape(-1, 3) * a).astype(np.float64)
    return [True, True, True], np.eye(3) * (a * rep), pos


def rhombohedral(rep, a=2.6, alpha=70.0, rattle=0.05, seed=1):
    ca = np.cos(np.radians(alpha))
    v1 = np.array([1.0, 0.0, 0.0])
    v2 = np.array([ca, np.sqrt(1 - ca * ca), 0.0])
    cx, cy = ca, (ca - ca * ca) / np.sqrt(1 - ca * ca)
    v3 = np.array([cx, cy, np.sqrt(1 - cx * cx - cy * cy)])
    prim = a * np.array([v1, v2, v3])
    grid = np.stack(np.meshgrid(*[np.arange(rep)] * 3, indexing="ij"), -1).reshape(-1, 3)
    pos = grid @ prim + np.random.default_rng(seed).normal(0.0, rattle, (len(grid), 3))
    return [True, True, True], prim * rep, pos


def small_cube(seed=2):
    pos = np.random.default_rng(seed).uniform(0.0, 3.6, (8, 3))
    return [True, True, True], np.eye(3) * 3.6, pos


def open_gas(n=20000, density=0.05, seed=3):
    side = (n / density) ** (1 / 3)
    pos = np.random.default_rng(seed).uniform(0.0, side, (n, 3))
    return [False, False, False], np.eye(3) * side, pos


CASES = {
    "fcc4k-5A": (lambda: fcc(10), 5.0),
    "fcc4k-3A": (lambda: fcc(10), 3.0),
    "fcc32k-5A": (lambda: fcc(20), 5.0),
    "fcc32k-3A": (lambda: fcc(20), 3.0),
    "fcc108k-5A": (lambda: fcc(30), 5.0),
    "fcc108k-3A": (lambda: fcc(30), 3.0),
    "tric20k-5A": (lambda: rhombohedral(27), 5.0),
    "small8-6A": (small_cube, 6.0),
    "gas20k-4A": (open_gas, 4.0),
}
QUICK = "fcc4k-5A"


# ---------------------------------------------------------------------------
# The three libraries, each producing (i, j, d, D, S) sorted by i.

def run_quorvel(pbc, cell, pos, cutoff):
    return _proxor.primitive_neighbor_list_rs(pbc, cell, pos, cutoff)


def orthorhombic(cell):
    return np.array_equal(cell, np.diag(np.diag(cell)))


def run_ckdtree(pbc, cell, pos, cutoff):
    if any(pbc):
        box = np.diag(cell)
        wrapped = pos - np.floor(pos / box) * box
        wrapped[wrapped >= box] = 0.0
        tree = cKDTree(wrapped, boxsize=box)
    else:
        tree = cKDTree(pos)
    pairs = tree.query_pairs(cutoff, output_type="ndarray")
    a, b = pairs[:, 0], pairs[:, 1]
    i = np.concatenate([a, b])
    j = np.concatenate([b, a])
    D = pos[j] - pos[i]
    if any(pbc):
        # The minimum image is the only one within a cutoff under half the box.
        S = -np.round(D / box).astype(np.int64)
        D = D + S * box
    else:
        S = np.zeros((len(i), 3), dtype=np.int64)
    order = np.argsort(i, kind="stable")
    i, j, D, S = i[order], j[order], D[order], S[order]
    return i, j, np.sqrt((D * D).sum(axis=1)), D, S


def ckdtree_applies(pbc, cell, cutoff):
    if cKDTree is None:
        return False
    if not any(pbc):
        return True
    return all(pbc) and orthorhombic(cell) and cutoff < np.diag(cell).min() / 2


def run_pymatgen(pbc, cell, pos, cutoff):
    c, n, images, dist = find_points_in_spheres(pos, pos, cutoff, np.array(pbc, dtype=np.int64), cell, 1e-8)
    keep = ~((c == n) & (dist < 1e-8))
    c, n, images, dist = c[keep], n[keep], images[keep], dist[keep]
    S = np.rint(images).astype(np.int64)
    D = pos[n] + S @ cell - pos[c]
    order = np.argsort(c, kind="stable")
    return c[order], n[order], dist[order], D[order], S[order]


LIBRARIES = [
    ("quorvel", run_quorvel, lambda pbc, cell, cutoff: True),
    ("cKDTree", run_ckdtree, ckdtree_applies),
    ("pymatgen", run_pymatgen, lambda pbc, cell, cutoff: find_points_in_spheres is not None),
]


# ---------------------------------------------------------------------------
# Measurement.

def best_time(fn, args, budget):
    """Best wall time of several calls (at least 3, more while under budget)."""
    times = []
    start = time.perf_counter()
    result = None
    while len(times) < 3 or (time.perf_counter() - start < budget and len(times) < 200):
        result = None
        gc.collect()
        t0 = time.perf_counter()
        result = fn(*args)
        times.append(time.perf_counter() - t0)
    return min(times), result


def agree(ref, other):
    """Same set of (i, j, S) and distances within 1e-9."""
    def keyed(r):
        i, j, d, D, S = r
        keys = np.concatenate([i[:, None], j[:, None], S], axis=1)
        order = np.lexsort(keys.T[::-1])
        return keys[order], d[order]
    k1, d1 = keyed(ref)
    k2, d2 = keyed(other)
    return k1.shape == k2.shape and np.array_equal(k1, k2) and np.allclose(d1, d2, rtol=0, atol=1e-9)


def peak_memory(case):
    """RSS high-water above the RSS before one quorvel call, in a fresh process."""
    code = f"""
import json, sys
sys.argv = ['x']
import bench_neighbors as b
build, cutoff = b.CASES[{case!r}]
pbc, cell, pos = build()
b.run_quorvel(pbc, cell, pos, cutoff)          # warm up, then free
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
before = status('VmRSS:')
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')
r = b.run_quorvel(pbc, cell, pos, cutoff)
peak = status('VmHWM:')
print(json.dumps({{'peak': peak - before, 'out': sum(a.nbytes for a in r)}}))
"""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env, timeout=600)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# The engine's sinks against the full list, side by side.

SILICON_DENSITY = 8 / 5.431 ** 3  # atoms per cubic angstrom


def batch_structures(count=10000, atoms=64, seed=5):
    rng = np.random.default_rng(seed)
    side = (atoms / SILICON_DENSITY) ** (1 / 3)
    cell = np.eye(3) * side
    return [Structure(cell=cell, positions=rng.uniform(0, side, (atoms, 3)), symbols=["Si"] * atoms,
                                 pbc=(True, True, True)) for _ in range(count)]


def best_cpu_time(fn, budget, setup=None):
    """Best wall and best CPU time (all threads of this process) of several
    calls, each after setup() (untimed). On a loaded machine the CPU time of
    a one-thread call is the steadier figure; wall time shows what threads
    gain."""
    walls, cpus = [], []
    start = time.perf_counter()
    while len(walls) < 3 or (time.perf_counter() - start < budget and len(walls) < 50):
        gc.collect()
        if setup is not None:
            setup()
        w, c = time.perf_counter(), time.process_time()
        result = fn()
        walls.append(time.perf_counter() - w)
        cpus.append(time.process_time() - c)
        del result
    return min(walls), min(cpus)


def engine_table(case, reps_budget=1.0):
    build, cutoff = CASES[case]
    pbc, cell, pos = build()
    args = (pbc, cell, pos, cutoff)
    pairs = len(run_quorvel(*args)[0])
    rows = []

    def row(label, fn, base, target, note, setup=None):
        wall, cpu = best_cpu_time(fn, reps_budget, setup)
        rows.append((label, wall, cpu, base, target, note))
        return wall, cpu

    def ratio_of(r, which):
        label, wall, cpu, base, target, note = r
        if base is None:
            return None
        return (wall / base[0]) if which == "wall" else (cpu / base[1])

    full = row("_proxor full list", lambda: run_quorvel(*args), None, None, "")
    # Each engine row after the first frees its result before the next call,
    # as a loop over frames does, so its arrays reuse the freed memory.
    fresh = row("engine full, fresh pages", lambda: _engine.pairs(*args, threads=1), full, None, "vs _proxor",
                setup=lambda: _engine.pooled_memory(release=True))
    t1 = row("engine full, threads=1", lambda: _engine.pairs(*args, threads=1), fresh, None,
             "vs fresh pages (memory reused)")
    row("engine full, threads=2", lambda: _engine.pairs(*args, threads=2), t1, 0.6, "vs threads=1 (wall)")
    row('quantities="ij"', lambda: _engine.pairs(*args, quantities="ij", threads=1), full, 0.4, "vs full")
    row("half=True", lambda: _engine.pairs(*args, half=True, threads=1), full, 0.6, "vs full")
    c1 = row("neighbor_counts", lambda: _engine.counts(*args, threads=1), full, 0.3, "vs full")
    row("neighbor_counts, threads=2", lambda: _engine.counts(*args, threads=2), c1, None, "vs threads=1 (wall)")

    def full_and_numpy():
        r = _proxor.primitive_neighbor_list_rs(*args)
        keep = r[0] < r[1]
        return np.histogram(r[2][keep], bins=200, range=(0.0, cutoff))

    base = row("full list + np.histogram", full_and_numpy, None, None, "")
    row("distance_histogram 200 bins", lambda: _engine.histogram(pbc, cell, pos, cutoff, 200, threads=1), base, 0.3,
        "vs full + np.histogram")

    structures = batch_structures()
    bcut = 5.0

    def loop():
        return [_proxor.primitive_neighbor_list_rs([True] * 3, s.cell, s.positions, bcut) for s in structures]

    lp = row("loop over 10k x 64 Si", loop, None, None, "primitive_neighbor_list_rs")
    b1 = row("batch 10k x 64 Si, threads=1", lambda: quorvel.neighbor_lists(structures, bcut, threads=1), lp, 1 / 3,
             "vs Python loop")
    row("batch 10k x 64 Si, threads=2", lambda: quorvel.neighbor_lists(structures, bcut, threads=2), b1, 1 / 1.7,
        "vs threads=1 (wall)")

    print(f"\nengine sinks on {case} ({len(pos)} atoms, {pairs} pairs); CPUs this process may use: "
          f"{len(os.sched_getaffinity(0))}, load average {os.getloadavg()[0]:.1f}")
    print("ratio: time / time of the case named under 'against' (wall and CPU time, best of several calls)")
    header = f"{'case':<32} {'wall ms':>9} {'cpu ms':>9} {'wall x':>7} {'cpu x':>7} {'target':>7}  against"
    print(header)
    print("-" * len(header))
    for r in rows:
        label, wall, cpu, base, target, note = r
        rw, rc = ratio_of(r, "wall"), ratio_of(r, "cpu")
        f = (lambda v: f"{v:7.2f}" if v is not None else f"{'':>7}")
        print(f"{label:<32} {wall * 1e3:9.1f} {cpu * 1e3:9.1f} {f(rw)} {f(rc)} {f(target)}  {note}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help=f"only the {QUICK} case")
    parser.add_argument("--case", choices=sorted(CASES), action="append", help="run this case (repeatable)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument("--engine", action="store_true", help="only the engine table")
    parser.add_argument("--engine-case", choices=sorted(CASES), default="fcc108k-5A",
                        help="the structure of the engine table")
    args = parser.parse_args()
    if args.engine:
        engine_table(args.engine_case)
        return 0
    names = [QUICK] if args.quick else (args.case or list(CASES))

    print(f"numpy {np.__version__}; cKDTree {'yes' if cKDTree else 'not installed'}; "
          f"pymatgen {'yes' if find_points_in_spheres else 'not installed (make bench installs it)'}")
    print("times: best of several single-threaded calls, including conversion to the full sorted list")
    print("peak: RSS high-water above RSS before the call (VmHWM after clear_refs), fresh process\n")
    header = (f"{'case':<12} {'atoms':>7} {'pairs':>9} {'quorvel ms':>10} {'pairs/s':>9} {'peak MB':>8} "
              f"{'out MB':>7} {'cKDTree ms':>10} {'x':>6} {'pymatgen ms':>11} {'x':>6}  agree")
    print(header)
    print("-" * len(header))
    all_agree = True
    for name in names:
        build, cutoff = CASES[name]
        pbc, cell, pos = build()
        budget = 2.0 if len(pos) < 50000 else 1.0
        t_q, ref = best_time(run_quorvel, (pbc, cell, pos, cutoff), budget)
        m = len(ref[0])
        cols = {}
        notes = []
        for label, fn, applies in LIBRARIES[1:]:
            if not applies(pbc, cell, cutoff):
                cols[label] = None
                continue
            t, res = best_time(fn, (pbc, cell, pos, cutoff), 0.0 if len(pos) > 50000 else 1.0)
            ok = agree(ref, res)
            all_agree &= ok
            cols[label] = t
            notes.append(f"{label} {'yes' if ok else 'NO'}")
            del res
        del ref
        gc.collect()
        mem = None if args.no_memory else peak_memory(name)

        def cell_ms(t):
            return f"{t * 1e3:10.1f}" if t is not None else f"{'n/a':>10}"

        def ratio(t):
            return f"{t / t_q:6.1f}" if t is not None else f"{'':>6}"

        ms_q = f"{t_q * 1e3:10.3f}" if t_q < 1e-3 else f"{t_q * 1e3:10.1f}"
        peak = f"{mem['peak'] / 1e6:8.1f}" if mem else f"{'?':>8}"
        out_mb = f"{mem['out'] / 1e6:7.1f}" if mem else f"{m * 72 / 1e6:7.1f}"
        print(f"{name:<12} {len(pos):>7} {m:>9} {ms_q} {m / t_q:9.2e} {peak} {out_mb} "
              f"{cell_ms(cols['cKDTree'])} {ratio(cols['cKDTree'])} "
              f"{cell_ms(cols['pymatgen']).replace('  ', ' ', 1):>11} {ratio(cols['pymatgen'])}  "
              f"{', '.join(notes) or '-'}", flush=True)
    if not args.quick and not args.case:
        engine_table(args.engine_case)
    if not all_agree:
        print("\nsome libraries disagree on the pairs")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
