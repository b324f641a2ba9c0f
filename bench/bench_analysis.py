"""Structure-analysis benchmark: quorvel.analysis against MDAnalysis and
against neighbor_list plus numpy.histogram.

    .venv/bin/python -P bench/bench_analysis.py             # everything
    .venv/bin/python -P bench/bench_analysis.py --frames 50 # a shorter trajectory
    .venv/bin/python -P bench/bench_analysis.py --no-mdanalysis

The RDF case is a periodic trajectory of 200 frames of 3000 atoms (1000 O,
2000 H, uniformly random, cubic box of 31 Å) written to an XYZ file in a
temporary folder; every contender reads that file and computes g(r) to 6 Å
in 120 bins:

- quorvel.analysis.rdf on one core (threads=1), total and partial g(r) of
  every species pair, and with two worker processes (map_chunks) where this
  quorvel has them;
- neighbor_list(frame, 6.0) plus numpy.histogram of d, frame by frame (the
  total only);
- MDAnalysis's InterRDF of all atoms against all atoms, self pairs
  excluded (the total only; single-threaded).

The results are compared before any time is reported: the histogram
baseline must give the same counts exactly, MDAnalysis (float32
coordinates) the same g(r) within 2e-3 and the same O-H partial on the
first frames. Times are wall and CPU seconds of one run each, on this
machine, with whatever else it is running.

Then coordination, bonds and clusters on fcc copper of 108,000 atoms with
0.05 Å of noise.
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

import quorvel  # noqa: E402
from quorvel import analysis, io  # noqa: E402

from parallel_ceiling import parallel_ceiling  # noqa: E402

BOX, RMAX, BINS = 31.0, 6.0, 120


def write_trajectory(path, frames, atoms=3000, seed=1):
    rng = np.random.default_rng(seed)
    symbols = ["O"] * (atoms // 3) + ["H"] * (atoms - atoms // 3)
    cell = np.eye(3) * BOX
    io.write_xyz(path, [io.Structure(cell, rng.random((atoms, 3)) * BOX, symbols) for _ in range(frames)])


def timed(fn, *args, **kwargs):
    """(result, wall seconds, CPU seconds of this process and of the worker
    processes it waited for)."""
    wall, cpu = time.perf_counter(), os.times()
    result = fn(*args, **kwargs)
    after = os.times()
    return result, time.perf_counter() - wall, sum(after[:4]) - sum(cpu[:4])


def histogram_baseline(path):
    counts = np.zeros(BINS, dtype=np.int64)
    frames = 0
    for s in io.iread(path):
        nl = quorvel.neighbor_list(s, RMAX)
        counts += np.histogram(nl.d, bins=BINS, range=(0.0, RMAX))[0]
        frames += 1
    return counts // 2, frames  # every pair twice in the full list


def mdanalysis_rdf(path, first=None, select=("all", "all")):
    import MDAnalysis as mda
    from MDAnalysis.analysis.rdf import InterRDF
    from MDAnalysis.transformations import set_dimensions

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        u = mda.Universe(path, format="XYZ")
        u.trajectory.add_transformations(set_dimensions([BOX, BOX, BOX, 90, 90, 90]))
        g1, g2 = (u.select_atoms(s) for s in select)
        same = select[0] == select[1]
        r = InterRDF(g1, g2, nbins=BINS, range=(0.0, RMAX), exclusion_block=(1, 1) if same else None)
        r.run(stop=first)
    return r.results.bins, r.results.rdf, r.results.count


def rdf_table(path, frames, with_mda):
    rows = []
    ours, wall, cpu = timed(analysis.rdf, path, RMAX, BINS, threads=1)
    assert len(ours.frames) == frames
    rows.append(("quorvel rdf, 1 core (all pairs)", wall, cpu, None))

    try:
        two, wall2, cpu2 = timed(analysis.rdf, path, RMAX, BINS, workers=2)
    except ValueError as e:
        two = None
        print(f"two workers: not measured ({e})")
    if two is not None:
        assert np.array_equal(two.counts, ours.counts) and np.array_equal(two.g, ours.g), "workers=2 disagrees"
        one, wall1, cpu1 = timed(analysis.rdf, path, RMAX, BINS, workers=1)
        assert np.array_equal(one.g, ours.g), "workers=1 disagrees"
        rows.append(("quorvel rdf, workers=1", wall1, cpu1, wall / wall1))
        rows.append(("quorvel rdf, workers=2", wall2, cpu2, wall / wall2))
        rows.append(("  workers=2 against workers=1", wall2, cpu2, wall1 / wall2))
        # Two chunks: one a worker, each reading only its own frames.
        half, wall3, cpu3 = timed(analysis.rdf, path, RMAX, BINS, workers=2, chunk=(frames + 1) // 2)
        assert np.array_equal(half.g, ours.g), "workers=2 in two chunks disagrees"
        rows.append(("quorvel rdf, workers=2, 2 chunks", wall3, cpu3, wall / wall3))

    (counts, seen), wall_h, cpu_h = timed(histogram_baseline, path)
    assert seen == frames
    same = int(np.abs(counts - ours.counts).sum())
    assert same == 0, f"neighbor_list + numpy.histogram differs by {same} pairs"
    rows.append(("neighbor_list + numpy.histogram", wall_h, cpu_h, wall_h / wall))

    if with_mda:
        (bins, g_mda, count_mda), wall_m, cpu_m = timed(mdanalysis_rdf, path)
        np.testing.assert_allclose(bins, ours.r, rtol=1e-6)
        diff = float(np.max(np.abs(g_mda - ours.g)))
        assert diff < 2e-3, f"MDAnalysis's g(r) differs by up to {diff}"
        short = 10
        _, g_oh, _ = mdanalysis_rdf(path, first=short, select=("name O", "name H"))
        first = analysis.rdf(path, RMAX, BINS, frames=slice(0, short), threads=1)
        diff_oh = float(np.max(np.abs(g_oh - first.g_pairs[("O", "H")])))
        assert diff_oh < 5e-3, f"MDAnalysis's O-H g(r) differs by up to {diff_oh}"
        print(f"agree: counts equal to the histogram baseline's; MDAnalysis g(r) within {diff:.1e} "
              f"(O-H on {short} frames within {diff_oh:.1e}); pairs per frame {ours.counts.sum() / frames:.0f}")
        rows.append(("MDAnalysis InterRDF (total only)", wall_m, cpu_m, wall_m / wall))
    else:
        print("agree: counts equal to the histogram baseline's")

    header = f"{'RDF, {0} frames x 3000 atoms'.format(frames):<34} {'wall s':>8} {'cpu s':>8} {'ms/frame':>9} " \
             f"{'x quorvel 1 core':>17}"
    print(header)
    print("-" * len(header))
    for label, wall, cpu, ratio in rows:
        x = f"{ratio:17.1f}" if ratio is not None else ""
        print(f"{label:<34} {wall:8.2f} {cpu:8.2f} {wall / frames * 1e3:9.2f} {x}")
    print("(x: the contender's time over quorvel's on one core; for workers, the speed-up over one core in this "
          "process, and workers=2 over workers=1; cpu s includes the worker processes)")
    print(f"load average {os.getloadavg()[0]:.2f} (of {os.cpu_count()} CPUs); two processes of pure Python work run "
          f"{parallel_ceiling():.2f}x one here now (the ceiling that other work on this machine leaves)")


def fcc(rep, a=3.61, noise=0.05, seed=2):
    rng = np.random.default_rng(seed)
    basis = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    grid = np.stack(np.meshgrid(*[np.arange(rep)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
    pos = ((grid + basis).reshape(-1, 3) * a) + rng.normal(0, noise, (4 * rep ** 3, 3))
    return io.Structure(np.eye(3) * a * rep, pos, ["Cu"] * len(pos))


def structure_table():
    s = fcc(30)
    s.symbols = ["Cu" if k % 4 else "Au" for k in range(len(s))]  # two species: per-pair work
    rows = []
    for threads in (1, None):
        c, wall, cpu = timed(analysis.coordination, s, 3.0, threads=threads)
        assert abs(c.per_atom.mean() - 12) < 1e-9
        rows.append((f"coordination 3.0 Å, threads={threads}", wall, cpu, f"mean {c.per_atom.mean():.2f}"))
    for threads in (1, None):
        b, wall, cpu = timed(analysis.bonds, s, threads=threads)
        rows.append((f"bonds (covalent radii), threads={threads}", wall, cpu, f"{len(b)} bonds"))
    cl, wall, cpu = timed(analysis.clusters, s, b)
    rows.append(("clusters of those bonds", wall, cpu, f"{len(cl)} cluster(s), dims {sorted(set(cl.dimensions))}"))
    gas = io.Structure(np.eye(3) * 108.3, np.random.default_rng(3).random((108000, 3)) * 108.3, ["Ar"] * 108000)
    cl, wall, cpu = timed(analysis.clusters, gas, 1.55)
    rows.append(("clusters, random gas at 1.55 Å", wall, cpu, f"{len(cl)} clusters, largest {cl.sizes.max()}"))
    header = f"{'108,000 atoms (fcc Cu3Au, 0.05 Å noise)':<42} {'wall s':>8} {'cpu s':>8}"
    print(header)
    print("-" * len(header))
    for label, wall, cpu, note in rows:
        print(f"{label:<42} {wall:8.3f} {cpu:8.3f}  {note}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=200, help="frames of the RDF trajectory (default 200)")
    parser.add_argument("--no-mdanalysis", action="store_true", help="skip MDAnalysis")
    parser.add_argument("--no-structures", action="store_true", help="skip the 108k-atom table")
    args = parser.parse_args()
    with_mda = not args.no_mdanalysis
    if with_mda:
        try:
            import MDAnalysis  # noqa: F401
        except ImportError:
            print("MDAnalysis is not installed (make bench installs it): its column is left out")
            with_mda = False
    print(f"numpy {np.__version__}; CPUs this process may use: {len(os.sched_getaffinity(0))}")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "traj.xyz")
        write_trajectory(path, args.frames)
        print(f"trajectory: {args.frames} frames, {os.path.getsize(path) / 1e6:.0f} MB of XYZ\n")
        rdf_table(path, args.frames, with_mda)
    if not args.no_structures:
        print()
        structure_table()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
