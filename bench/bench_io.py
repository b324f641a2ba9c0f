"""Whole-file reading: quorvel.io against pymatgen's Poscar, Xdatcar and XYZ
readers, and against the native block parser alone.

    .venv/bin/python -P bench/bench_io.py                  # 100k and 1M atom lines
    .venv/bin/python -P bench/bench_io.py --lines 100000 --repeat 3
    .venv/bin/python -P bench/bench_io.py --quick          # 100k lines only
    .venv/bin/python -P bench/bench_io.py --trajectory 10000x1000   # XDATCAR only, vs the native parser

Every file is written here into a temporary folder (random coordinates,
mixed species). Before timing, each pymatgen result is checked against
quorvel's (same positions to 1e-8, same species). Each time is the best of
--repeat runs; pymatgen runs once at 1M lines (it takes tens of seconds).
"native" is quorvel._ledgra's block parser on the atom lines already in
memory; "readlines+native" adds reading the file into those lines with
readlines(): the floor for any reader built on the native block routines,
which take one str per line.
"""

import argparse
import gc
import os
import sys
import tempfile
import time
import warnings

import numpy as np

from quorvel import _ledgra, io

SPECIES = ["Fe", "O", "Si", "Al"]


def write_files(folder, n, frames_of):
    """POSCAR with n atoms, XDATCAR with n atom lines (frames of frames_of
    atoms), XYZ with n atoms."""
    rng = np.random.default_rng(1)
    counts = [n // 4] * 3 + [n - 3 * (n // 4)]
    a = float(round((n * 12.0) ** (1 / 3), 3))
    cell = np.diag([a, a, a])
    frac = rng.random((n, 3))
    paths = {}

    head = ["bench", "1.0"] + ["  %.10f %.10f %.10f" % tuple(r) for r in cell] + \
        ["  " + " ".join(SPECIES), "  " + " ".join(map(str, counts))]
    p = os.path.join(folder, "POSCAR")
    with open(p, "w") as f:
        f.write("\n".join(head + ["Direct"]) + "\n")
        f.writelines("  %.16f  %.16f  %.16f\n" % tuple(r) for r in frac.tolist())
    paths["POSCAR"] = p

    m = frames_of
    fcounts = [m // 4] * 3 + [m - 3 * (m // 4)]
    xhead = ["bench", "    1.0"] + ["  %.6f %.6f %.6f" % tuple(r) for r in cell] + \
        ["  " + " ".join(SPECIES), "  " + " ".join(map(str, fcounts))]
    p = os.path.join(folder, "XDATCAR")
    with open(p, "w") as f:
        f.write("\n".join(xhead) + "\n")
        for k in range(n // m):
            f.write("Direct configuration=%6d\n" % (k + 1))
            f.writelines("  %11.8f %11.8f %11.8f\n" % tuple(r) for r in frac[k * m:(k + 1) * m].tolist())
    paths["XDATCAR"] = p

    symbols = [s for s, c in zip(SPECIES, counts) for _ in range(c)]
    cart = frac @ cell
    p = os.path.join(folder, "bench.xyz")
    with open(p, "w") as f:
        f.write(f"{n}\nbench\n")
        f.writelines("%-2s %22.15f %22.15f %22.15f\n" % (s, *r) for s, r in zip(symbols, cart.tolist()))
    paths["XYZ"] = p
    return paths


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


def native_floor(path, fmt, n_frames, n_atoms, read=False):
    """The native parser alone on the file's atom lines, read beforehand;
    with read, the reading of the lines (readlines) is timed too."""
    if read:
        def both():
            return native_floor(path, fmt, n_frames, n_atoms)()
        return both
    with open(path) as f:
        lines = f.readlines()
    if fmt == "POSCAR":
        block = lines[8:]
        return lambda: _ledgra.parse_poscar_positions_rs(block, False)
    if fmt == "XYZ":
        block = lines[2:]
        return lambda: _ledgra.parse_xyz_block_rs(block)
    blocks = [lines[8 + k * (n_atoms + 1):8 + k * (n_atoms + 1) + n_atoms] for k in range(n_frames)]
    return lambda: [_ledgra.parse_xdatcar_coords_rs(b) for b in blocks]


def check(fmt, ours, theirs):
    if fmt == "POSCAR":
        pos = theirs.structure.cart_coords
        same = np.allclose(pos, ours.positions, atol=1e-8)
        symbols = [str(s.specie) for s in theirs.structure]
        same &= symbols == ours.symbols
    elif fmt == "XDATCAR":
        frac = np.array([s.frac_coords for s in theirs.structures])
        same = np.allclose(frac, ours.scaled_positions, atol=1e-12)
    else:
        pos = np.array(theirs.molecule.cart_coords)
        same = np.allclose(pos, ours.positions, atol=1e-8)
    if not same:
        sys.exit(f"{fmt}: pymatgen and quorvel disagree")


def run_size(n, repeat, frames_of):
    from pymatgen.io.vasp import Poscar, Xdatcar
    from pymatgen.io.xyz import XYZ

    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(folder, n, frames_of)
        n_frames = n // frames_of
        readers = {
            "POSCAR": (lambda p: io.read_poscar(p), lambda p: Poscar.from_file(p, check_for_POTCAR=False)),
            "XDATCAR": (lambda p: io.read_xdatcar(p), lambda p: Xdatcar(p)),
            "XYZ": (lambda p: io.read(p, "xyz"), lambda p: XYZ.from_file(p)),
        }
        rows = []
        for fmt, (ours, theirs) in readers.items():
            path = paths[fmt]
            mb = os.path.getsize(path) / 1e6
            t_native, _ = best(native_floor(path, fmt, n_frames, frames_of), repeat)
            t_floor, _ = best(native_floor(path, fmt, n_frames, frames_of, read=True), repeat)
            t_ours, result = best(lambda: ours(path), repeat)
            slow_repeat = 1 if n >= 500_000 else min(repeat, 2)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                t_theirs, other = best(lambda: theirs(path), slow_repeat)
            check(fmt, result, other)
            rows.append((fmt, n, mb, t_native, t_floor, t_ours, t_theirs))
            print(f"  {fmt:8s} {n:>9,d} lines {mb:7.1f} MB   native {t_native * 1e3:7.1f} ms   "
                  f"readlines+native {t_floor * 1e3:7.1f} ms   "
                  f"quorvel.io {t_ours * 1e3:9.1f} ms ({t_ours / n * 1e9:6.0f} ns/line, "
                  f"{mb / t_ours:6.1f} MB/s)   pymatgen {t_theirs * 1e3:10.1f} ms   "
                  f"x{t_theirs / t_ours:6.1f} faster; {t_ours / t_native:4.2f}x native, "
                  f"{t_ours / t_floor:4.2f}x readlines+native", flush=True)
        return rows


def run_trajectory(shape, repeat):
    frames, atoms = (int(x) for x in shape.lower().split("x"))
    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(folder, frames * atoms, atoms)
        path = paths["XDATCAR"]
        mb = os.path.getsize(path) / 1e6
        t_native, _ = best(native_floor(path, "XDATCAR", frames, atoms), repeat)
        t_ours, traj = best(lambda: io.read_xdatcar(path), repeat)
        assert traj.scaled_positions.shape == (frames, atoms, 3)
        print(f"  XDATCAR {frames} frames x {atoms} atoms ({mb:.0f} MB): native parse of lines in memory "
              f"{t_native * 1e3:.0f} ms, read_xdatcar of the file {t_ours * 1e3:.0f} ms "
              f"({t_ours / t_native:.2f}x native)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lines", type=int, action="append", help="atom lines per file (repeatable; "
                                                               "default 100000 and 1000000)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement for quorvel (default 3)")
    ap.add_argument("--frame-atoms", type=int, default=1000, help="atoms per XDATCAR frame (default 1000)")
    ap.add_argument("--quick", action="store_true", help="100000 lines only")
    ap.add_argument("--trajectory", metavar="FxN", help="time only read_xdatcar on F frames of N atoms "
                                                        "against the native parser")
    ap.add_argument("--map-frames", metavar="FxN", help="time only map_frames on F frames of N atoms, here and "
                                                        "on 1 and 2 worker processes (default run: 10000x64)")
    args = ap.parse_args()
    if args.map_frames:
        run_map_frames(args.map_frames, args.repeat)
        return
    print(f"quorvel.io whole-file reading vs pymatgen ({_machine()})")
    if args.trajectory:
        run_trajectory(args.trajectory, args.repeat)
        return
    sizes = args.lines or ([100_000] if args.quick else [100_000, 1_000_000])
    for n in sizes:
        run_size(n, args.repeat, args.frame_atoms)
    run_map_frames("10000x64", args.repeat)


def _machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {sys.version.split()[0]}"


def run_map_frames(shape, repeat):
    """quorvel.map_frames of a per-frame neighbor count (neighbor_counts,
    5 Å) over an XDATCAR of F frames of N atoms: here, then on 1 and 2
    worker processes (spawned; the pool's start-up is part of each time).
    The results of every way are checked equal, bit for bit."""
    import functools

    import quorvel

    frames, atoms = (int(x) for x in shape.lower().split("x"))
    count = functools.partial(quorvel.neighbor_counts, cutoff=5.0)
    with tempfile.TemporaryDirectory() as folder:
        path = write_files(folder, frames * atoms, atoms)["XDATCAR"]
        mb = os.path.getsize(path) / 1e6
        t_index, trajectory = best(lambda: (lambda f: (len(f), f)[1])(io.Frames(path)), 1)
        t_here, here = best(lambda: quorvel.map_frames(count, trajectory), repeat)
        times = {}
        for workers in (1, 2):
            times[workers], got = best(lambda: quorvel.map_frames(count, trajectory, workers=workers), repeat)
            if len(got) != len(here) or any(a.tobytes() != b.tobytes() for a, b in zip(got, here)):
                sys.exit(f"map_frames on {workers} workers differs from the run here")
        print(f"  map_frames, neighbor_counts at 5 Å, XDATCAR {frames} frames x {atoms} atoms ({mb:.0f} MB; "
              f"index {t_index * 1e3:.0f} ms): here {t_here * 1e3:.0f} ms, 1 worker {times[1] * 1e3:.0f} ms, "
              f"2 workers {times[2] * 1e3:.0f} ms ({times[1] / times[2]:.2f}x 1 worker; "
              f"{frames / times[2]:.0f} frames/s)", flush=True)


if __name__ == "__main__":
    main()
