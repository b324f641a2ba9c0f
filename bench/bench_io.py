"""Whole-file reading: quorvel.io against pymatgen's Poscar, Xdatcar and XYZ
readers, MDAnalysis's XYZ reader, and the native block parser alone; the
frame index, random access and memory while iterating a large trajectory.

    .venv/bin/python -P bench/bench_io.py                  # 100k and 1M atom lines
    .venv/bin/python -P bench/bench_io.py --lines 100000 --repeat 3
    .venv/bin/python -P bench/bench_io.py --quick          # 100k lines only
    .venv/bin/python -P bench/bench_io.py --trajectory 10000x1000   # XDATCAR only, vs the native parser
    .venv/bin/python -P bench/bench_io.py --iterate-mb 500  # peak memory iterating 500 MB files
    .venv/bin/python -P bench/bench_io.py --big            # and 2 GB files (several minutes)

After the whole-file reads: the index pass (quorvel.io's build_index, and
the native scanner alone) in MB/s from the page cache, and frame k of a
10^4-frame XDATCAR read through the index, against reading up to it; then
the peak resident memory of a fresh process iterating an XDATCAR and an
XYZ trajectory of --iterate-mb megabytes with iread (2 GB with --big).

Every file is written here into a temporary folder (random coordinates,
mixed species). Before timing, each pymatgen result is checked against
quorvel's (same positions to 1e-8, same species). Each time is the best of
--repeat runs; pymatgen runs once at 1M lines (it takes tens of seconds).
"native" is quorvel._ledgra's block parser on the atom lines already in
memory; "readlines+native" adds reading the file into those lines with
readlines(): the floor for any reader built on the native block routines
that take one str per line. "line path" is quorvel.io reading the same
file that way (what it does for a FIFO, and did for every file before
quorvel._reader): the reader before and after, side by side.
"""

import argparse
import contextlib
import dataclasses
import gc
import os
import sys
import tempfile
import time
import warnings

import numpy as np

from quorvel import _ledgra, _reader, io
from quorvel.io._index import build_index, read_frames

from parallel_ceiling import parallel_ceiling

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
            with _line_path():
                t_line, _ = best(lambda: ours(path), repeat)
            slow_repeat = 1 if n >= 500_000 else min(repeat, 2)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                t_theirs, other = best(lambda: theirs(path), slow_repeat)
            check(fmt, result, other)
            mda = ""
            if fmt == "XYZ":
                t_mda, universe = best(lambda: _mdanalysis_xyz(path), slow_repeat)
                if not np.allclose(universe.atoms.positions, result.positions, atol=1e-3):
                    sys.exit("XYZ: MDAnalysis and quorvel disagree")
                mda = f"   MDAnalysis {t_mda * 1e3:10.1f} ms x{t_mda / t_ours:6.1f}"
            rows.append((fmt, n, mb, t_native, t_floor, t_ours, t_theirs))
            print(f"  {fmt:8s} {n:>9,d} lines {mb:7.1f} MB   native {t_native * 1e3:7.1f} ms   "
                  f"readlines+native {t_floor * 1e3:7.1f} ms   "
                  f"quorvel.io {t_ours * 1e3:9.1f} ms ({t_ours / n * 1e9:6.0f} ns/line, "
                  f"{mb / t_ours:6.1f} MB/s)   pymatgen {t_theirs * 1e3:10.1f} ms   "
                  f"x{t_theirs / t_ours:6.1f} faster; {t_ours / t_native:4.2f}x native, "
                  f"{t_ours / t_floor:4.2f}x readlines+native; line path {t_line * 1e3:7.1f} ms "
                  f"({t_line / t_native:4.2f}x native){mda}", flush=True)
        return rows


@contextlib.contextmanager
def _line_path():
    """quorvel.io's readers on the line-list path (str lines through
    quorvel._ledgra), as for a file that is not plain: the path every file
    took before the byte path."""
    from quorvel.io import _files, _vasp, _xyz

    @contextlib.contextmanager
    def text_lines(path):
        with _files.open_text(path) as f:
            yield _files.Lines(f, os.fspath(path))

    saved = _vasp.open_lines, _xyz.open_lines
    _vasp.open_lines = _xyz.open_lines = text_lines
    try:
        yield
    finally:
        _vasp.open_lines, _xyz.open_lines = saved


def _mdanalysis_xyz(path):
    """MDAnalysis's XYZ reader: a Universe of the file, its first frame loaded
    (MDAnalysis keeps float32 positions)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import MDAnalysis
        return MDAnalysis.Universe(path, format="XYZ", topology_format="XYZ")


def write_trajectory(path, fmt, frames, atoms, seed=2):
    """An XDATCAR or multi-frame XYZ file of frames x atoms, written fast:
    every frame repeats one block of random coordinates."""
    rng = np.random.default_rng(seed)
    frac = rng.random((atoms, 3))
    a = 20.0
    with open(path, "w") as f:
        if fmt == "XDATCAR":
            counts = [atoms // 2, atoms - atoms // 2]
            f.write(f"bench\n 1.0\n  {a} 0 0\n  0 {a} 0\n  0 0 {a}\n  Fe O\n  {counts[0]} {counts[1]}\n")
            block = "".join("  %11.8f %11.8f %11.8f\n" % tuple(r) for r in frac.tolist())
            for k in range(frames):
                f.write("Direct configuration=%6d\n" % (k + 1))
                f.write(block)
        else:
            block = "".join("%-2s %22.15f %22.15f %22.15f\n" % ("Fe" if j % 2 else "O", *r)
                            for j, r in enumerate((frac * a).tolist()))
            head = f"{atoms}\nbench\n"
            for _ in range(frames):
                f.write(head)
                f.write(block)


def run_index(frames, atoms, repeat):
    """The index pass in MB/s, and frame k by the index against iread."""
    from pymatgen.io.vasp import Xdatcar

    with tempfile.TemporaryDirectory() as folder:
        for fmt, name in (("XDATCAR", "XDATCAR"), ("XYZ", "movie.xyz")):
            path = os.path.join(folder, name)
            write_trajectory(path, fmt, frames, atoms)
            mb = os.path.getsize(path) / 1e6
            t_index, index = best(lambda: build_index(path), repeat)
            assert len(index) == frames
            with open(path, "rb") as f:
                data = f.read()
            if fmt == "XDATCAR":
                t_scan, table = best(lambda: _reader.scan_xdatcar(data, index.starts[0], 8, atoms), repeat)
            else:
                t_scan, table = best(lambda: _reader.scan_xyz(data), repeat)
            assert len(table[0]) == frames
            t_lines, _ = best(lambda: _reader.skip_lines(data, 0, len(data)), repeat)
            print(f"  index {fmt:8s} {frames} frames x {atoms} atoms ({mb:.0f} MB): build_index {t_index * 1e3:7.1f} ms "
                  f"({mb / t_index:6.0f} MB/s), native scan alone {t_scan * 1e3:6.1f} ms ({mb / t_scan:6.0f} MB/s), "
                  f"counting lines {mb / t_lines:6.0f} MB/s", flush=True)
            last = frames - 1
            t_last, frame = best(lambda: next(read_frames(index, [last])), max(repeat, 50))
            t_mid, _ = best(lambda: next(read_frames(index, [frames // 2])), max(repeat, 50))
            t_seq, other = best(lambda: io.read(path, index=-1), 1)
            assert np.array_equal(frame.positions, other.positions)
            theirs = ""
            if fmt == "XDATCAR":
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    t_pmg, x = best(lambda: Xdatcar(path), 1)
                assert np.allclose(x.structures[-1].frac_coords, frame.scaled_positions(), atol=1e-12)
                theirs = f", pymatgen Xdatcar (every frame) {t_pmg * 1e3:8.0f} ms"
            print(f"  frame {last} of {fmt:8s}: by the index {t_last * 1e3:6.3f} ms (frame {frames // 2}: "
                  f"{t_mid * 1e3:6.3f} ms); io.read(index=-1) reading up to it {t_seq * 1e3:7.1f} ms "
                  f"(x{t_seq / t_last:6.0f}){theirs}", flush=True)


# The peak resident set of this process (VmHWM: ru_maxrss would count the
# parent's memory at the fork).
_ITERATE = """
import sys, time
from quorvel import io
def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
before = peak()
t = time.perf_counter()
frames = 0
for s in io.iread(sys.argv[1]):
    frames += 1
dt = time.perf_counter() - t
print(frames, before, peak(), dt)
"""


def run_memory(megabytes, atoms):
    """Peak resident memory of a fresh process iterating a trajectory."""
    import subprocess
    with tempfile.TemporaryDirectory() as folder:
        for fmt, name, line_bytes in (("XDATCAR", "XDATCAR", 38), ("XYZ", "movie.xyz", 73)):
            path = os.path.join(folder, name)
            frames = max(1, int(megabytes * 1e6 / (atoms * line_bytes)))
            write_trajectory(path, fmt, frames, atoms)
            mb = os.path.getsize(path) / 1e6
            out = subprocess.run([sys.executable, "-P", "-c", _ITERATE, path], capture_output=True, text=True,
                                 check=True).stdout.split()
            count, before, peak, dt = int(out[0]), int(out[1]), int(out[2]), float(out[3])
            assert count == frames
            print(f"  iterate {fmt:8s} {mb:7.0f} MB ({frames} frames x {atoms} atoms): peak RSS {peak / 1024:6.0f} MB "
                  f"(after import {before / 1024:4.0f} MB; {peak / 1024 / mb * 100:4.1f}% of the file), "
                  f"{mb / dt:5.0f} MB/s", flush=True)
            os.unlink(path)


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
    ap.add_argument("--extxyz", type=int, metavar="FRAMES", nargs="?", const=10_000,
                    help="time only the extended-XYZ dataset of FRAMES frames (default 10000)")
    ap.add_argument("--index-frames", type=int, default=10_000, help="frames of the indexed files (default 10000)")
    ap.add_argument("--index-atoms", type=int, default=100, help="atoms per frame of the indexed files (default 100)")
    ap.add_argument("--iterate-mb", type=float, default=200, help="size of the iterated files (default 200 MB)")
    ap.add_argument("--big", action="store_true", help="iterate 2 GB files too")
    ap.add_argument("--skip-reads", action="store_true", help="skip the whole-file reads")
    args = ap.parse_args()
    if args.map_frames:
        run_map_frames(args.map_frames, args.repeat)
        return
    if args.extxyz:
        print(f"quorvel.io extended XYZ dataset ({_machine()})")
        run_extxyz_dataset(args.extxyz, args.repeat)
        return
    print(f"quorvel.io whole-file reading vs pymatgen ({_machine()})")
    if args.trajectory:
        run_trajectory(args.trajectory, args.repeat)
        return
    sizes = args.lines or ([100_000] if args.quick else [100_000, 1_000_000])
    print(f"reading with {_reader_level()}")
    if not args.skip_reads:
        for n in sizes:
            run_size(n, args.repeat, args.frame_atoms)
    run_index(args.index_frames, args.index_atoms, args.repeat)
    run_memory(args.iterate_mb, 1000)
    run_map_frames("10000x64", args.repeat)
    run_extxyz_dataset(10_000, args.repeat)
    if args.big:
        run_memory(2000, 1000)


def _reader_level():
    try:
        flags = open("/proc/cpuinfo").read()
    except OSError:
        return "an unknown CPU"
    return "the AVX-512 column reader" if " avx512vbmi" in flags else "the field parser (no AVX-512 VBMI)"


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
        load = os.getloadavg()[0]
        t_index, trajectory = best(lambda: (lambda f: (len(f), f)[1])(io.Frames(path)), 1)
        t_here, here = best(lambda: quorvel.map_frames(count, trajectory), repeat)
        times, cpu = {}, {}
        for workers in (1, 2):
            before = os.times()
            times[workers], got = best(lambda: quorvel.map_frames(count, trajectory, workers=workers), repeat)
            after = os.times()
            # CPU seconds of a run, this process and its workers together.
            cpu[workers] = sum(after[:4]) - sum(before[:4])
            cpu[workers] /= repeat
            if len(got) != len(here) or any(a.tobytes() != b.tobytes() for a, b in zip(got, here)):
                sys.exit(f"map_frames on {workers} workers differs from the run here")
        print(f"  map_frames, neighbor_counts at 5 Å, XDATCAR {frames} frames x {atoms} atoms ({mb:.0f} MB; "
              f"index {t_index * 1e3:.0f} ms): here {t_here * 1e3:.0f} ms, 1 worker {times[1] * 1e3:.0f} ms, "
              f"2 workers {times[2] * 1e3:.0f} ms ({times[1] / times[2]:.2f}x 1 worker; "
              f"{frames / times[2]:.0f} frames/s)", flush=True)
        print(f"    CPU seconds per run, workers included: 1 worker {cpu[1]:.2f}, 2 workers {cpu[2]:.2f}; load "
              f"average {load:.2f} before, {os.getloadavg()[0]:.2f} after (of {os.cpu_count()} CPUs); two processes "
              f"of pure Python work run {parallel_ceiling():.2f}x one here now (the ceiling that other work on this "
              "machine leaves)", flush=True)


# ---------------------------------------------------------------------------
# Extended XYZ: a machine-learning dataset


def run_extxyz_dataset(frames, repeat):
    """An extended-XYZ dataset of `frames` frames of 32 to 64 atoms with
    energy, stress, forces and a config_type, read by quorvel.io against the
    native parser on the same atom lines' coordinates alone and against a
    straightforward pure-Python reader, and written by quorvel.io against a
    straightforward Python writer. Every reader's result is checked against
    quorvel's before timing."""
    import re

    rng = np.random.default_rng(15)
    data = []
    for k in range(frames):
        n = int(rng.integers(32, 65))
        a = float(rng.uniform(8, 12))
        cell = np.diag([a, a, a]) + rng.uniform(-0.5, 0.5, (3, 3)) * (1 - np.eye(3))
        data.append(io.Structure(
            cell, rng.uniform(0, a, (n, 3)), [SPECIES[i % 4] for i in range(n)], (True, True, True), None, "",
            info={"energy": float(rng.normal(-300, 20)), "stress": rng.normal(0, 0.01, 9),
                  "config_type": ["bulk", "surface", "md_300K", "vacancy"][k % 4]},
            arrays={"forces": rng.normal(0, 1, (n, 3))}))

    pair = re.compile(r'(\w+)=(?:"([^"]*)"|(\S+))')

    def python_reader(path):
        out = []
        with open(path) as f:
            while True:
                head = f.readline()
                if not head.strip():
                    return out
                n = int(head)
                info = {}
                cell = None
                for key, quoted, bare in pair.findall(f.readline()):
                    if key == "Lattice":
                        cell = [float(v) for v in quoted.split()]
                    elif key in ("Properties", "pbc"):
                        continue
                    elif quoted:
                        try:
                            info[key] = [float(v) for v in quoted.split()]
                        except ValueError:
                            info[key] = quoted
                    else:
                        try:
                            info[key] = float(bare)
                        except ValueError:
                            info[key] = bare
                symbols, positions, forces = [], [], []
                for _ in range(n):
                    fields = f.readline().split()
                    symbols.append(fields[0])
                    positions.append([float(v) for v in fields[1:4]])
                    forces.append([float(v) for v in fields[4:7]])
                out.append((cell, info, symbols, positions, forces))

    def python_writer(path, structures):
        with open(path, "w") as f:
            for s in structures:
                lattice = " ".join(repr(v) for v in s.cell.ravel().tolist())
                stress = " ".join(repr(v) for v in s.info["stress"].tolist())
                f.write(f'{len(s)}\nLattice="{lattice}" Properties=species:S:1:pos:R:3:forces:R:3 '
                        f'energy={s.info["energy"]!r} stress="{stress}" config_type={s.info["config_type"]} '
                        f'pbc="T T T"\n')
                for sym, p, q in zip(s.symbols, s.positions.tolist(), s.arrays["forces"].tolist()):
                    f.write(f"{sym} {p[0]!r} {p[1]!r} {p[2]!r} {q[0]!r} {q[1]!r} {q[2]!r}\n")

    with tempfile.TemporaryDirectory() as folder:
        ours_path = os.path.join(folder, "ours.extxyz")
        theirs_path = os.path.join(folder, "python.extxyz")
        t_write, _ = best(lambda: io.write_xyz(ours_path, data), repeat)
        t_pywrite, _ = best(lambda: python_writer(theirs_path, data), repeat)
        mb = os.path.getsize(ours_path) / 1e6
        atoms = sum(len(s) for s in data)

        with open(ours_path) as f:
            lines = f.readlines()
        blocks = []
        k = 0
        while k < len(lines):
            n = int(lines[k])
            blocks.append(lines[k + 2:k + 2 + n])
            k += 2 + n
        t_native, native = best(lambda: [_ledgra.parse_xyz_block_rs(b) for b in blocks], repeat)
        t_ours, read_back = best(lambda: io.read_xyz(ours_path), repeat)
        t_python, python_frames = best(lambda: python_reader(ours_path), max(1, min(repeat, 2)))

        same = len(read_back) == frames and all(
            r == dataclasses.replace(s, comment=r.comment) for r, s in zip(read_back, data))
        same &= all(np.array_equal(r.positions, p) for r, (_, p) in zip(read_back, native))
        same &= all(np.array_equal(r.arrays["forces"], q) and r.info["energy"] == info["energy"]
                    for r, (_, info, _, _, q) in zip(read_back, python_frames))
        if not same:
            sys.exit("extended XYZ: the readers disagree")

        print(f"  {frames:,d} frames, {atoms:,d} atoms, {mb:.1f} MB (energy, stress, forces, config_type)")
        print(f"  read   quorvel.io {t_ours * 1e3:8.1f} ms ({t_ours / frames * 1e6:5.1f} us/frame, "
              f"{mb / t_ours:6.1f} MB/s)   native coordinates alone {t_native * 1e3:8.1f} ms   "
              f"pure Python {t_python * 1e3:9.1f} ms   -> {t_ours / t_native:4.2f}x native (target <= 2), "
              f"x{t_python / t_ours:5.1f} faster than Python (target >= 20)")
        print(f"  write  quorvel.io {t_write * 1e3:8.1f} ms ({t_write / frames * 1e6:5.1f} us/frame)   "
              f"pure Python {t_pywrite * 1e3:9.1f} ms   -> x{t_pywrite / t_write:5.1f} faster (target >= 20)",
              flush=True)


if __name__ == "__main__":
    main()
