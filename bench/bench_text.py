"""Text-block benchmark: quorvel._ledgra against the pure-Python loops its
docstrings describe, numpy.loadtxt and numpy.savetxt (into a StringIO).

    .venv/bin/python -P bench/bench_text.py               # 100k and 1M lines
    .venv/bin/python -P bench/bench_text.py --lines 50000 --repeat 3

Every block is generated here (random coordinates, T/F flags, element symbols),
every competitor's result is checked against quorvel's before it is timed, and
each time is the best of --repeat runs (slow baselines run fewer times at 1M).
Reported: ms, ns per line, MB/s of text read or written, and the speed-up of
quorvel over each baseline.
"""

import argparse
import gc
import io
import time

import numpy as np

from quorvel import _ledgra

SYMBOLS = ["H", "C", "N", "O", "Fe", "Cu", "Si", "Al"]


# ---------------------------------------------------------------------------
# Inputs


def make_inputs(n, seed=0):
    rng = np.random.default_rng(seed)
    cart = rng.uniform(-25.0, 25.0, (n, 3))
    frac = rng.uniform(0.0, 1.0, (n, 3))
    flags = rng.random((n, 3)) < 0.3
    symbols = [SYMBOLS[k] for k in rng.integers(0, len(SYMBOLS), n)]
    # Lines as files hold them: written by the usual '%' formats, with the
    # trailing newline that readline() keeps.
    letters = np.where(flags, "F", "T")
    poscar_flags = ["%20.16f%20.16f%20.16f   %s   %s   %s\n" % (x, y, z, a, b, c)
                    for (x, y, z), (a, b, c) in zip(frac.tolist(), letters.tolist())]
    poscar = ["%20.16f%20.16f%20.16f\n" % tuple(r) for r in frac.tolist()]
    xdatcar = ["  %11.8f %11.8f %11.8f\n" % tuple(r) for r in frac.tolist()]
    # Symbols in mixed case, as hand-edited files have them.
    xyz = ["%-2s %22.15f %22.15f %22.15f\n" % (s.upper() if k % 7 == 0 else s, *r)
           for k, (s, r) in enumerate(zip(symbols, cart.tolist()))]
    return dict(cart=cart, frac=frac, flags=flags, symbols=symbols, poscar_flags=poscar_flags, poscar=poscar,
                xdatcar=xdatcar, xyz=xyz)


# ---------------------------------------------------------------------------
# Pure-Python loops (as in the docstrings; the XYZ loop iterates instead of
# pop(0), which would be quadratic)


def py_parse_poscar(lines, selective):
    n = len(lines)
    positions = np.zeros((n, 3))
    flags = np.zeros((n, 3), bool) if selective else None
    for i, line in enumerate(lines):
        fields = line.split()
        positions[i] = [float(x) for x in fields[:3]]
        if selective:
            flags[i] = [f == "F" for f in fields[3:6]]
    return positions, flags


def py_format_poscar(coord, flags):
    out = []
    for i, row in enumerate(coord):
        line = "".join(" %19.16f" % x for x in row[:3])
        if flags is not None:
            line += "".join("%4s" % ("F" if f else "T") for f in flags[i][:3])
        out.append(line + "\n")
    return "".join(out)


def py_parse_xdatcar(lines):
    return np.array([[float(x) for x in line.split()[:3]] for line in lines])


def py_format_xdatcar(scaled_positions, index):
    out = "Direct configuration=%6d\n" % index
    for row in scaled_positions:
        out += "  " + " ".join("%11.8f" % x for x in row[:3]) + "\n"
    return out


def py_parse_xyz(lines):
    symbols, positions = [], []
    for line in lines:
        symbol, x, y, z = line.split()[:4]
        symbol = symbol.lower().capitalize()
        symbols.append(symbol)
        positions.append([float(x), float(y), float(z)])
    return symbols, np.array(positions)


def py_format_xyz(symbols, positions):
    fmt = "%22.15f"
    out = ""
    for s, (x, y, z) in zip(symbols, positions):
        out += "%-2s %s %s %s\n" % (s, fmt % x, fmt % y, fmt % z)
    return out


# ---------------------------------------------------------------------------
# numpy.loadtxt / numpy.savetxt


def np_parse_poscar_flags(lines):
    pos = np.loadtxt(lines, usecols=(0, 1, 2))
    flags = np.loadtxt(lines, usecols=(3, 4, 5), dtype=str) == "F"
    return pos, flags


def np_parse_poscar(lines):
    return np.loadtxt(lines, usecols=(0, 1, 2))


def np_parse_xdatcar(lines):
    return np.loadtxt(lines, usecols=(0, 1, 2))


def np_parse_xyz(lines):
    pos = np.loadtxt(lines, usecols=(1, 2, 3))
    symbols = [s.lower().capitalize() for s in np.loadtxt(lines, usecols=(0,), dtype=str).tolist()]
    return symbols, pos


def np_format_poscar_flags(coord, letters):
    # letters: the object array (N, 6) of coordinates and 'T'/'F' built once
    # beforehand; savetxt formats each row with one '%' pattern.
    buf = io.StringIO()
    np.savetxt(buf, letters, fmt=" %19.16f %19.16f %19.16f   %s   %s   %s")
    return buf.getvalue()


def np_format_poscar(coord):
    buf = io.StringIO()
    np.savetxt(buf, coord, fmt=" %19.16f %19.16f %19.16f")
    return buf.getvalue()


def np_format_xdatcar(frac, index):
    buf = io.StringIO()
    np.savetxt(buf, frac, fmt="  %11.8f %11.8f %11.8f", header="Direct configuration=%6d" % index, comments="")
    return buf.getvalue()


def np_format_xyz(table):
    buf = io.StringIO()
    np.savetxt(buf, table, fmt="%-2s %22.15f %22.15f %22.15f")
    return buf.getvalue()


# ---------------------------------------------------------------------------
# Timing


def best_ms(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


def same_parse(a, b):
    if isinstance(a, tuple):
        return all(same_parse(x, y) for x, y in zip(a, b))
    if a is None or b is None:
        return a is b
    if isinstance(a, list):
        return a == b
    return np.array_equal(np.asarray(a), np.asarray(b))


def run_case(name, n, mb, ours, baselines, check, repeat, slow_repeat):
    ref = ours()
    for label, fn in baselines:
        if not check(ref, fn()):
            raise SystemExit(f"{name}: {label} disagrees with quorvel")
    t_ours = best_ms(ours, repeat)
    row = [f"{name:<26}", f"{t_ours:9.1f}", f"{t_ours * 1e6 / n:8.0f}", f"{mb / (t_ours / 1e3):8.0f}"]
    cells = []
    for label, fn in baselines:
        t = best_ms(fn, slow_repeat)
        cells.append(f"{label} {t:8.1f} ms ({t / t_ours:5.1f}x)")
    print("  ".join(row) + "   " + "   ".join(cells), flush=True)


def bench(n, repeat):
    inp = make_inputs(n)
    slow = max(1, repeat // 3) if n >= 500_000 else repeat
    print(f"\n{n:,} lines   (quorvel best of {repeat}, baselines best of {slow})")
    print(f"{'case':<26}  {'ms':>9}  {'ns/line':>8}  {'MB/s':>8}   baselines: time (quorvel speed-up)")

    def mb_of(lines):
        return sum(len(s) for s in lines) / 1e6

    # Parsers
    lines = inp["poscar_flags"]
    run_case("parse POSCAR + flags", n, mb_of(lines),
             lambda: _ledgra.parse_poscar_positions_rs(lines, True),
             [("python", lambda: py_parse_poscar(lines, True)), ("loadtxt x2", lambda: np_parse_poscar_flags(lines))],
             same_parse, repeat, slow)
    lines_p = inp["poscar"]
    run_case("parse POSCAR", n, mb_of(lines_p),
             lambda: _ledgra.parse_poscar_positions_rs(lines_p, False),
             [("python", lambda: py_parse_poscar(lines_p, False)), ("loadtxt", lambda: (np_parse_poscar(lines_p), None))],
             same_parse, repeat, slow)
    lines_x = inp["xdatcar"]
    run_case("parse XDATCAR", n, mb_of(lines_x),
             lambda: _ledgra.parse_xdatcar_coords_rs(lines_x),
             [("python", lambda: py_parse_xdatcar(lines_x)), ("loadtxt", lambda: np_parse_xdatcar(lines_x))],
             same_parse, repeat, slow)
    lines_y = inp["xyz"]
    run_case("parse XYZ", n, mb_of(lines_y),
             lambda: _ledgra.parse_xyz_block_rs(lines_y),
             [("python", lambda: py_parse_xyz(lines_y)), ("loadtxt x2", lambda: np_parse_xyz(lines_y))],
             same_parse, repeat, slow)

    # Formatters
    cart, frac, flags, symbols = inp["cart"], inp["frac"], inp["flags"], inp["symbols"]
    letters = np.empty((n, 6), dtype=object)
    letters[:, :3] = frac
    letters[:, 3:] = np.where(flags, "F", "T")
    table = np.empty((n, 4), dtype=object)
    table[:, 0] = symbols
    table[:, 1:] = cart
    text = _ledgra.format_poscar_positions_rs(frac, flags)
    run_case("format POSCAR + flags", n, len(text) / 1e6,
             lambda: _ledgra.format_poscar_positions_rs(frac, flags),
             [("python", lambda: py_format_poscar(frac, flags)),
              ("savetxt", lambda: np_format_poscar_flags(frac, letters))],
             lambda a, b: a == b, repeat, slow)
    text = _ledgra.format_poscar_positions_rs(frac)
    run_case("format POSCAR", n, len(text) / 1e6,
             lambda: _ledgra.format_poscar_positions_rs(frac),
             [("python", lambda: py_format_poscar(frac, None)), ("savetxt", lambda: np_format_poscar(frac))],
             lambda a, b: a == b, repeat, slow)
    text = _ledgra.format_xdatcar_config_rs(frac, 1)
    run_case("format XDATCAR", n, len(text) / 1e6,
             lambda: _ledgra.format_xdatcar_config_rs(frac, 1),
             [("python", lambda: py_format_xdatcar(frac, 1)), ("savetxt", lambda: np_format_xdatcar(frac, 1))],
             lambda a, b: a == b, repeat, slow)
    text = _ledgra.format_xyz_block_rs(symbols, cart)
    run_case("format XYZ", n, len(text) / 1e6,
             lambda: _ledgra.format_xyz_block_rs(symbols, cart),
             [("python", lambda: py_format_xyz(symbols, cart)), ("savetxt", lambda: np_format_xyz(table))],
             lambda a, b: a == b, repeat, slow)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--lines", type=int, action="append", help="block size (repeatable; default 100000 and 1000000)")
    ap.add_argument("--repeat", type=int, default=5, help="runs per measurement for quorvel (default 5)")
    args = ap.parse_args()
    print(f"numpy {np.__version__}")
    for n in args.lines or [100_000, 1_000_000]:
        bench(n, args.repeat)


if __name__ == "__main__":
    main()
