"""The quorvel command line: neighbors, convert, bench, examples."""

from __future__ import annotations

import argparse
import glob
import os
import subprocess
import sys

PROG = "quorvel"


class UserError(Exception):
    """A mistake of the user's: reported as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line and a pointer to --help instead of the usage block.
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _build_parser():
    parser = _Parser(prog=PROG, description="Neighbor lists and structure files (POSCAR/CONTCAR, XDATCAR, XYZ).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    p = commands.add_parser("neighbors", help="report the neighbor pairs of a structure file",
                            description="Reads a POSCAR/CONTCAR, XDATCAR or XYZ file and reports its atom pairs "
                                        "closer than the cutoff: count, shortest distance, mean coordination per "
                                        "species and a histogram of distances.")
    p.add_argument("file", metavar="FILE", help="structure or trajectory file")
    p.add_argument("--cutoff", "-r", type=_distance, required=True, metavar="R", help="cutoff distance in Å")
    p.add_argument("--format", "-f", choices=("poscar", "xdatcar", "xyz"),
                   help="file format (default: from the file name, else from its first lines)")
    p.add_argument("--frames", action="store_true",
                   help="work through every frame of a trajectory (default: the first frame only)")
    p.add_argument("--output", "-o", metavar="PAIRS.npz",
                   help="save the arrays i, j, d, D, S (and frame, with --frames) to a .npz file")
    p.add_argument("--bins", type=int, default=10, metavar="N", help="histogram bins (default 10)")
    p.add_argument("--threads", type=int, metavar="N",
                   help="search threads, interpreter lock released (default: one, lock held)")
    p.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                   help="progress bar on standard error with --frames (default: auto, when it is a terminal "
                        "and tqdm is installed)")
    p.set_defaults(run=_neighbors)

    p = commands.add_parser("convert", help="convert between POSCAR, XDATCAR and XYZ",
                            description="Converts a structure or trajectory file to another format. Formats come "
                                        "from the file names (POSCAR/CONTCAR/*.vasp, XDATCAR, *.xyz) unless given.")
    p.add_argument("input", metavar="IN")
    p.add_argument("output", metavar="OUT")
    p.add_argument("--from", dest="source_format", choices=("poscar", "xdatcar", "xyz"), help="format of IN")
    p.add_argument("--to", dest="target_format", choices=("poscar", "xdatcar", "xyz"), help="format of OUT")
    p.add_argument("--frame", type=int, metavar="K",
                   help="the frame to write to a POSCAR file, 1 for the first, -1 for the last "
                        "(needed when IN holds several frames)")
    p.add_argument("--direct", action="store_true", help="write POSCAR positions as fractional coordinates")
    p.set_defaults(run=_convert)

    p = commands.add_parser("bench", help="run the benchmarks of the repository's bench/ folder",
                            description="Runs bench/bench_*.py of a quorvel source tree, one after the other. "
                                        "Arguments after '--' are passed to every benchmark.")
    p.add_argument("names", nargs="*", metavar="NAME", help="benchmarks to run, e.g. io or neighbors (default: all)")
    p.add_argument("--dir", metavar="DIR", help="the bench/ folder (default: ./bench)")
    p.set_defaults(run=_bench)

    p = commands.add_parser("examples", help="list the example files shipped with quorvel",
                            description="Prints the paths of the example files shipped with quorvel.")
    p.set_defaults(run=_examples)
    return parser


def _version():
    from . import __version__
    return __version__


def _distance(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a distance in Å, got {text!r}") from None
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"expected a positive, finite distance, got {text!r}")
    return value


def main(argv=None):
    parser = _build_parser()
    args, extra = parser.parse_known_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    if extra and args.command != "bench":
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    args.extra = [a for a in extra if a != "--"]
    try:
        return args.run(args) or 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (| head); nothing left to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (UserError, ValueError, OSError, IndexError) as e:
        print(f"{PROG} {args.command}: error: {_describe(e)}", file=sys.stderr)
        return 1


def _describe(e):
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {e.strerror or e}"
    return str(e)


# ---------------------------------------------------------------------------
# neighbors


def _neighbors(args):
    import numpy as np

    from . import io
    from .io._files import atomic_write
    from .neighbors import neighbor_list

    if args.bins < 1:
        raise UserError("--bins must be at least 1")
    if args.threads is not None and args.threads < 1:
        raise UserError("--threads must be at least 1")
    path = args.file
    format = args.format or io.guess_format(path)
    frames = io.iread(path, format)
    if not args.frames:
        frames = iter([next(frames)])
    frames = _progress(frames, args.progress, format)

    count = 0
    report = _Report(args.cutoff, args.bins)
    saved = []
    for k, s in enumerate(frames):
        nl = neighbor_list(s, args.cutoff, threads=args.threads)
        report.add(k, s, nl)
        if args.output:
            saved.append(nl)
        count += 1
    if hasattr(frames, "close"):
        frames.close()

    print(report.text(path, format, count, args.frames))
    if args.output:
        arrays = {name: np.concatenate([getattr(nl, name) for nl in saved]) for name in ("i", "j", "d", "D", "S")}
        if args.frames:
            arrays["frame"] = np.concatenate([np.full(len(nl.i), k, dtype=np.int64) for k, nl in enumerate(saved)])
        out = args.output if args.output.endswith(".npz") else args.output + ".npz"
        atomic_write(out, lambda f: np.savez(f, **arrays))
        print(f"saved {', '.join(arrays)} to {out}")


def _progress(frames, mode, format):
    if mode == "never" or format == "poscar":
        return frames
    if mode == "auto" and not sys.stderr.isatty():
        return frames
    try:
        from tqdm import tqdm
    except ImportError:
        return frames
    return tqdm(frames, unit=" frames", file=sys.stderr, disable=False)


class _Report:
    """Sums over the frames seen: pairs, shortest distance, coordination per
    species and the distance histogram."""

    FINE = 4000

    def __init__(self, cutoff, bins):
        import numpy as np
        self.cutoff = cutoff
        self.bins = bins
        # Fine counts over [0, cutoff]; text() merges them into the bars,
        # from the shortest distance seen up to the cutoff.
        self.fine_edges = np.linspace(0.0, cutoff, self.FINE + 1)
        self.fine = np.zeros(self.FINE, dtype=np.int64)
        self.pairs = 0
        self.atoms = None
        self.symbols = None
        self.shortest = None
        self.coordination = {}  # species -> (sum of neighbor counts, atom-frames)

    def add(self, k, s, nl):
        import numpy as np
        n = len(s)
        if self.atoms is None:
            self.atoms, self.symbols, self.pbc = n, s.symbols, s.pbc
        once = _once(nl)
        d = nl.d[once]
        self.pairs += len(d)
        self.fine += np.histogram(d, bins=self.fine_edges)[0]
        if len(nl.d):
            m = int(np.argmin(nl.d))
            if self.shortest is None or nl.d[m] < self.shortest[0]:
                self.shortest = (float(nl.d[m]), k, int(nl.i[m]), int(nl.j[m]), nl.S[m].tolist(),
                                 s.symbols[nl.i[m]], s.symbols[nl.j[m]])
        degree = np.bincount(nl.i, minlength=n)
        symbols = np.array(s.symbols, dtype=object)
        for species in dict.fromkeys(s.symbols):
            mask = symbols == species
            total, seen = self.coordination.get(species, (0, 0))
            self.coordination[species] = (total + int(degree[mask].sum()), seen + int(mask.sum()))

    def text(self, path, format, frames, all_frames):
        lines = []
        species = ", ".join(f"{sp} {seen // max(frames, 1)}" for sp, (_, seen) in self.coordination.items())
        periodic = "".join("xyz"[a] for a in range(3) if self.pbc[a]) or "none"
        lines.append(f"{path} ({format.upper()}): {self.atoms} atoms ({species}), periodic: {periodic}")
        if all_frames:
            lines.append(f"frames: {frames}")
        elif format != "poscar":
            lines.append("frame: the first (--frames for all)")
        per = f" ({self.pairs / frames:.1f} per frame)" if all_frames and frames else ""
        lines.append(f"pairs closer than {self.cutoff:g} Å: {self.pairs}{per}")
        if self.shortest is None:
            lines.append("shortest distance: none (no pair within the cutoff)")
        else:
            d, k, i, j, shift, si, sj = self.shortest
            image = "" if shift == [0, 0, 0] else f", image {tuple(shift)}"
            where = f" in frame {k + 1}" if all_frames else ""
            lines.append(f"shortest distance: {d:.4f} Å between atoms {i + 1} ({si}) and {j + 1} ({sj}){image}"
                         f"{where} (atoms counted from 1)")
        lines.append("mean coordination: " + ", ".join(
            f"{sp} {total / seen:.2f}" for sp, (total, seen) in self.coordination.items() if seen))
        if self.pairs:
            lines.append("distances (Å):")
        for lo, hi, count in self._bars():
            lines.append((lo, hi, count))
        top = max((c for _, _, c in lines[-self.bins:] if isinstance(c, int)), default=0) if self.pairs else 0
        width = len(str(top))
        out = []
        for line in lines:
            if isinstance(line, str):
                out.append(line)
                continue
            lo, hi, count = line
            bar = "#" * (round(40 * count / top) if top else 0)
            if count and not bar:
                bar = "."
            out.append(f"  {lo:5.2f} - {hi:5.2f}  {count:>{width}d}  {bar}".rstrip())
        lines = out
        return "\n".join(lines)


    def _bars(self):
        """(low, high, count) of each bar: the fine counts merged into
        self.bins bars from a round number below the shortest distance."""
        import numpy as np
        if not self.pairs:
            return []
        first = int(np.flatnonzero(self.fine)[0])
        step = self.cutoff / self.FINE
        low = np.floor(first * step * 10) / 10  # down to a tenth of an Å
        start = min(int(round(low / step)), first)
        bounds = np.linspace(start, self.FINE, self.bins + 1).round().astype(int)
        bounds = np.unique(bounds)
        return [(bounds[b] * step, bounds[b + 1] * step, int(self.fine[bounds[b]:bounds[b + 1]].sum()))
                for b in range(len(bounds) - 1)]


def _once(nl):
    """Mask keeping one direction of every pair: i < j, and for an atom with
    its own image the shift whose first non-zero component is positive."""
    i, j, S = nl.i, nl.j, nl.S
    same = i == j
    positive = (S[:, 0] > 0) | ((S[:, 0] == 0) & ((S[:, 1] > 0) | ((S[:, 1] == 0) & (S[:, 2] > 0))))
    return (i < j) | (same & positive)


# ---------------------------------------------------------------------------
# convert


def _convert(args):
    from . import io
    from .io._dispatch import format_from_name
    from .io._xyz import with_lattice_comment

    source = args.source_format or io.guess_format(args.input)
    try:
        target = args.target_format or format_from_name(args.output)
    except ValueError:
        raise UserError(f"cannot tell the format of {args.output!r} from its name: "
                        "use --to poscar, xdatcar or xyz") from None
    if os.path.exists(args.output) and os.path.samefile(args.input, args.output):
        raise UserError("IN and OUT are the same file")

    if target == "poscar":
        if args.frame is None:
            frames = list(io.iread(args.input, source))
            if len(frames) != 1:
                raise UserError(f"{args.input} holds {len(frames)} frames and a POSCAR file one: "
                                "choose one with --frame K (1 the first, -1 the last)")
            s = frames[0]
        else:
            s = _pick(args.input, source, args.frame)
        if not s.cell.any():
            raise UserError(f"{args.input} gives no cell (an XYZ file without Lattice=\"...\"), "
                            "and a POSCAR file needs one")
        io.write_poscar(args.output, s, direct=args.direct)
        what = "1 frame"
    elif target == "xdatcar":
        if source == "xdatcar" and not args.frame:
            # Straight from trajectory to trajectory keeps the scaled positions exact.
            frames = io.read_xdatcar(args.input)
        else:
            frames = [_pick(args.input, source, args.frame)] if args.frame else list(io.iread(args.input, source))
        for k, s in enumerate(frames):
            if abs(_det(s.cell)) == 0:
                raise UserError(f"frame {k + 1} of {args.input} has no cell (or a flat one), "
                                "and an XDATCAR file needs one")
        io.write_xdatcar(args.output, frames)
        what = f"{len(frames)} frame{'s' * (len(frames) != 1)}"
    else:
        frames = [_pick(args.input, source, args.frame)] if args.frame else list(io.iread(args.input, source))
        frames = [with_lattice_comment(s) for s in frames]
        io.write_xyz(args.output, frames)
        what = f"{len(frames)} frame{'s' * (len(frames) != 1)}"
    print(f"wrote {args.output} ({target.upper()}, {what})")


def _pick(path, format, k):
    from . import io
    if k == 0:
        raise UserError("--frame counts from 1 (or from -1 for the last)")
    try:
        return io.read(path, format, index=k - 1 if k > 0 else k)
    except IndexError as e:
        raise UserError(str(e)) from None


def _det(cell):
    import numpy as np
    return float(np.linalg.det(cell))


# ---------------------------------------------------------------------------
# bench, examples


def _bench(args):
    folder = args.dir or os.path.join(os.getcwd(), "bench")
    scripts = sorted(glob.glob(os.path.join(folder, "bench_*.py")))
    if not scripts:
        raise UserError(f"no bench_*.py in {folder}: run this in a quorvel source tree or pass --dir")
    if args.names:
        chosen = []
        for name in args.names:
            match = [p for p in scripts if os.path.basename(p) in (name, f"bench_{name}.py", f"{name}.py")]
            if not match:
                known = ", ".join(os.path.basename(p)[6:-3] for p in scripts)
                raise UserError(f"no benchmark {name!r} in {folder} (there are: {known})")
            chosen += match
        scripts = chosen
    failed = 0
    for script in scripts:
        print(f"== {os.path.basename(script)}", flush=True)
        rc = subprocess.call([sys.executable, "-P", script, *args.extra])
        if rc:
            print(f"{PROG} bench: {os.path.basename(script)} exited with status {rc}", file=sys.stderr)
            failed += 1
    return 1 if failed else 0


def _examples(args):
    from . import EXAMPLES, example_path
    for name in EXAMPLES:
        print(example_path(name))


if __name__ == "__main__":
    sys.exit(main())
