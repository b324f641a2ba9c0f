"""The quorvel command line: neighbors, rdf, bonds, clusters, convert, bench, examples."""

from __future__ import annotations

import argparse
import errno
import glob
import os
import re
import subprocess
import sys
import warnings

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
    p.add_argument("--frames", nargs="?", const=slice(None), type=_frame_slice, metavar="A:B:C",
                   help="work through every frame of a trajectory, or the frames A:B:C of it, a Python slice "
                        "of the frames counted from 0 (0:100 the first hundred, ::10 every tenth, -5: the last "
                        "five) (default: the first frame only)")
    p.add_argument("--strict", action="store_true",
                   help="with --frames, a trajectory cut short inside a frame is an error (default: its whole "
                        "frames are reported, with a warning)")
    p.add_argument("--output", "-o", metavar="PAIRS.npz",
                   help="save the arrays i, j, d, D, S (and frame, with --frames) to a .npz file")
    p.add_argument("--bins", type=int, default=10, metavar="N", help="histogram bins (default 10)")
    p.add_argument("--max-pairs", type=int, metavar="N",
                   help="allow searches of up to about N pairs (default: what half the memory available holds)")
    p.add_argument("--threads", type=int, metavar="N",
                   help="search threads, interpreter lock released (default: one, lock held)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N",
                       help="with --frames, share the frames among N local worker processes, each searching "
                            "on one thread")
    where.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                       help="with --frames, share the frames among the workers of this Dask scheduler; they "
                            "read FILE by its path, which must name the same file on every worker")
    p.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                   help="progress bar on standard error with --frames (default: auto, when it is a terminal "
                        "and tqdm is installed)")
    p.set_defaults(run=_neighbors)

    p = commands.add_parser("rdf", help="radial distribution function of a structure or trajectory file",
                            description="Computes g(r), total and per species pair, over the frames of a file "
                                        "(periodic cells; each frame normalised by its own volume) and prints, "
                                        "per pair, the first peak and the coordination number at the first "
                                        "minimum after it.")
    p.add_argument("file", metavar="FILE", help="structure or trajectory file")
    p.add_argument("--rmax", type=_distance, required=True, metavar="R", help="largest distance in Å")
    p.add_argument("--bins", type=_positive_int, default=200, metavar="N", help="distance bins (default 200)")
    p.add_argument("--pairs", metavar="A-B,...", help="species pairs to report, e.g. O-H,O-O (default: all)")
    p.add_argument("--frames", type=_frame_slice, metavar="A:B:C",
                   help="the frames to use, as a Python slice counted from 0 (default: all)")
    p.add_argument("--format", "-f", choices=("poscar", "xdatcar", "xyz"),
                   help="file format (default: from the file name, else from its first lines)")
    p.add_argument("--volume", type=float, metavar="V",
                   help="volume in Å³ to normalise by (needed for frames that are not periodic along all axes)")
    p.add_argument("--plot", metavar="PNG", help="draw g(r) to a PNG file")
    p.add_argument("--csv", metavar="CSV", help="write r, g, n and each pair's g and n to a CSV file")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive_int, metavar="N", help="spread the frames over N processes")
    where.add_argument("--scheduler", metavar="tcp://HOST:PORT", help="spread the frames over a Dask cluster")
    p.add_argument("--threads", type=_positive_int, metavar="N",
                   help="search threads per frame (default: the CPUs this process may use; one with --workers "
                        "or --scheduler)")
    p.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                   help="progress bar over frames on standard error (default: auto, when it is a terminal and "
                        "tqdm is installed)")
    p.set_defaults(run=_rdf)

    p = commands.add_parser("bonds", help="bonds of a structure from covalent radii",
                            description="Finds the bonds of a structure (the first frame of a trajectory): "
                                        "atoms closer than SCALE times the sum of their covalent radii. Prints "
                                        "the bonds per species pair and their lengths.")
    p.add_argument("file", metavar="FILE", help="structure or trajectory file")
    p.add_argument("--scale", type=_distance, default=1.2, metavar="S",
                   help="bond when d < S * (r_i + r_j) (default 1.2)")
    p.add_argument("--format", "-f", choices=("poscar", "xdatcar", "xyz"),
                   help="file format (default: from the file name, else from its first lines)")
    p.add_argument("--output", "-o", metavar="BONDS.npz", help="save the arrays i, j, S, d of the bonds")
    p.set_defaults(run=_bonds)

    p = commands.add_parser("clusters", help="clusters of connected atoms, and which percolate",
                            description="Splits the atoms of a structure (the first frame of a trajectory) into "
                                        "clusters connected by pairs within a cutoff or by bonds, through "
                                        "periodic boundaries; prints their sizes and those that percolate "
                                        "(connected to their own periodic image).")
    p.add_argument("file", metavar="FILE", help="structure or trajectory file")
    how = p.add_mutually_exclusive_group(required=True)
    how.add_argument("--cutoff", "-r", type=_distance, metavar="R", help="connect atoms closer than R Å")
    how.add_argument("--bonds", action="store_true", help="connect bonded atoms (covalent radii, see bonds)")
    p.add_argument("--scale", type=_distance, default=1.2, metavar="S", help="with --bonds: as for bonds")
    p.add_argument("--format", "-f", choices=("poscar", "xdatcar", "xyz"),
                   help="file format (default: from the file name, else from its first lines)")
    p.set_defaults(run=_clusters)

    p = commands.add_parser("convert", help="convert between POSCAR, XDATCAR and XYZ",
                            description="Converts a structure or trajectory file to another format. Formats come "
                                        "from the file names unless given: the extension first (*.xyz), then "
                                        "POSCAR/CONTCAR, XDATCAR in the name, *.vasp.")
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


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {text!r}")
    return value


def _joined_frames(argv):
    """argv with the value of --frames joined to it, as argparse would not:
    "--frames -5:" (a slice that starts with a minus sign looks like an
    option) becomes "--frames=-5:", and a bare --frames before FILE
    ("--frames XDATCAR") becomes "--frames=:" (every frame). A value with a
    colon that names no file ("--frames 1:x") is taken as a slice too, so
    that it is refused as one."""
    out = []
    for a in argv:
        if out and out[-1] == "--frames":
            if _SLICE.fullmatch(a) or (":" in a and not os.path.exists(a)):
                out[-1] = f"--frames={a}"
                continue
            if not a.startswith("-") and not _INTEGER.fullmatch(a):
                out[-1] = "--frames=:"
        out.append(a)
    return out


_SLICE = re.compile(r"\s*-?\d*\s*:\s*-?\d*\s*(:\s*-?\d*\s*)?")
_INTEGER = re.compile(r"\s*[-+]?\d+\s*")


def _frame_slice(text):
    """A:B:C (each part optional, :C too): the slice of the frames it names."""
    parts = text.split(":")
    try:
        if not 2 <= len(parts) <= 3:
            raise ValueError
        numbers = [int(p) if p.strip() else None for p in parts]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected the frames as A:B:C, a slice with each part optional "
                                         f"(0:100, ::10, -5:), got {text!r}") from None
    if len(numbers) == 3 and numbers[2] == 0:
        raise argparse.ArgumentTypeError(f"the step of the frames {text!r} must not be 0")
    return slice(*numbers)


def main(argv=None):
    parser = _build_parser()
    args, extra = parser.parse_known_args(_joined_frames(sys.argv[1:] if argv is None else argv))
    if args.command is None:
        parser.print_help()
        return 2
    if extra and args.command != "bench":
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    args.extra = [a for a in extra if a != "--"]
    try:
        with warnings.catch_warnings():
            # A warning (a trajectory cut short) is one line, like an error.
            warnings.showwarning = lambda message, *_, **__: print(
                f"{PROG} {args.command}: warning: {message}", file=sys.stderr, flush=True)
            return args.run(args) or 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (| head); nothing left to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except MemoryError:
        print(f"{PROG} {args.command}: error: not enough memory to {_task(args)}", file=sys.stderr)
        return 1
    except (UserError, ValueError, OSError, EOFError, IndexError) as e:
        print(f"{PROG} {args.command}: error: {_describe(e, args)}", file=sys.stderr)
        return 1


# Errors of a write that has run out of room: they are about the output file
# even when the error does not name it.
_OUT_OF_ROOM = {errno.ENOSPC, errno.EDQUOT, errno.EFBIG}


def _describe(e, args):
    """One line for an error: an OSError or an EOFError names the file it is
    about (the output for a full disk, else the input) when it does not
    name one itself."""
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {e.strerror or e}"
    if isinstance(e, OSError) and e.errno is not None:
        path = _output(args) if e.errno in _OUT_OF_ROOM else _input(args)
        return f"{path}: {e.strerror or e}" if path else str(e.strerror or e)
    if isinstance(e, (OSError, EOFError)):
        # What a decompressor raises on a corrupt or cut-short stream.
        path = _input(args)
        what = f"the compressed data is corrupt or cut short ({e})" if str(e) else \
            "the compressed data is corrupt or cut short"
        return f"{path}: {what}" if path else what
    return str(e)


def _input(args):
    return getattr(args, "file", None) or getattr(args, "input", None)


def _output(args):
    out = getattr(args, "output", None)
    if out and args.command == "neighbors" and not out.endswith(".npz"):
        out += ".npz"
    return out or "standard output"


def _task(args):
    if args.command == "rdf":
        return f"compute the RDF of {args.file} to {args.rmax:g} Å"
    if args.command == "neighbors":
        return f"search {args.file} for pairs within {args.cutoff:g} Å"
    if args.command == "convert":
        return f"convert {args.input} to {args.output}"
    return f"run {args.command}"


# ---------------------------------------------------------------------------
# neighbors


def _neighbors(args):
    import numpy as np

    from . import io
    from .io._files import check_writable
    from .io._npz import NpzStream

    if args.bins < 1:
        raise UserError("--bins must be at least 1")
    out = None
    if args.output:
        out = args.output
        # A name without .npz gets it, unless it is a device or FIFO (-o /dev/stdout), written as it is.
        if not out.endswith(".npz") and not (os.path.exists(out) and not os.path.isfile(out)
                                             and not os.path.isdir(out)):
            out += ".npz"
        # Before the search: a path that cannot be written is said at once.
        check_writable(out)
    if args.threads is not None and args.threads < 1:
        raise UserError("--threads must be at least 1")
    if args.workers is not None and args.workers < 1:
        raise UserError("--workers must be at least 1")
    if args.scheduler is not None and not _ADDRESS.fullmatch(args.scheduler):
        raise UserError(f"--scheduler expects a Dask scheduler's address, tcp://HOST:PORT, not {args.scheduler!r}")
    shared = args.workers is not None or args.scheduler is not None
    if shared and args.frames is None:
        raise UserError(f"--{'workers' if args.workers is not None else 'scheduler'} shares out the frames of "
                        "--frames: add --frames (or --frames A:B:C)")
    path = args.file
    format = args.format or io.guess_format(path)
    search = _FrameSearch(args.cutoff, args.max_pairs, args.threads, args.max_pairs is not None)
    names = ("i", "j", "d", "D", "S") + (("frame",) if args.frames is not None else ())
    report = _Report(args.cutoff, args.bins)
    count = 0

    def save(k, arrays):
        if args.frames is not None:
            arrays["frame"] = np.full(len(arrays["i"]), k, dtype=np.int64)
        saved.append(**arrays)

    with NpzStream(out, names) if out else _Nothing() as saved:
        frames, selection = _chosen_frames(args, path, format, shared)
        if shared:
            # Each chunk's report (and pairs, for -o) comes back in order.
            bar = _bar(args.progress, format, len(frames))
            for view, (part, arrays) in _shared(search, frames, args, out is not None):
                report.merge(part)
                for k, a in zip(view.numbers, arrays or ()):
                    save(k, a)
                count += len(view)
                if bar is not None:
                    bar.update(len(view))
            if bar is not None:
                bar.close()
        else:
            # Each frame's pairs go to disk as they come: memory does not grow with the frames.
            for k, s in frames:
                arrays = search.add(report, k, s, out is not None)
                if out:
                    save(k, arrays)
                count += 1
            frames.close()

        if count == 0:
            if selection is None:
                # A run stopped before its first frame: an answer, not a fault.
                print(f"{path} ({format.upper()}): frames: 0 (no whole frame in the file), no pairs to report")
            else:
                print(f"{path} ({format.upper()}): frames: 0 (--frames {selection[0]} of {selection[1]} "
                      "picks none), no pairs to report")
            if out:
                empty = _neighbor_list(positions=np.zeros((0, 3)), cutoff=args.cutoff)
                saved.append(frame=np.zeros(0, dtype=np.int64), **{name: getattr(empty, name) for name in names[:5]})
        else:
            print(report.text(path, format, count, args.frames is not None, selection))
        if out:
            saved.commit()
            print(f"saved {', '.join(names)} to {out}")


def _chosen_frames(args, path, format, shared):
    """(the frames to search, the selection): with shared, a Frames view,
    else an iterator of (frame number, Structure) with close(). The
    selection is (the --frames slice as text, the file's frame count) when
    --frames picks some frames, else None."""
    from . import io

    if args.frames is None or (args.frames == slice(None) and not shared):
        # One pass through the file. The first frame alone is read as a single
        # structure: a cut in it is an error.
        frames = io.iread(path, format, strict=args.strict or args.frames is None)
        if args.frames is None:
            first = next(frames, None)
            frames.close()
            if first is None:
                raise UserError(f"{path} holds no frame (an XDATCAR header without frames: the run stopped "
                                "before its first)")
            frames = iter([first])
        return _Numbered(enumerate(_progress(frames, args.progress, format)), frames), None
    everything = io.Frames(path, format, strict=args.strict)
    view = everything[args.frames]
    selection = None if len(view) == len(everything) else (_slice_text(args.frames), len(everything))
    if shared:
        return view, selection
    return _Numbered(zip(view.numbers, _progress(view, args.progress, format)), None), selection


class _Numbered:
    """(frame number, Structure) pairs, and close() for the reader behind them."""

    def __init__(self, pairs, reader):
        self.pairs = pairs
        self.reader = reader

    def __iter__(self):
        return iter(self.pairs)

    def close(self):
        if hasattr(self.reader, "close"):
            self.reader.close()


def _neighbor_list(*a, **k):
    from .neighbors import neighbor_list
    return neighbor_list(*a, **k)


class _FrameSearch:
    """The search of one frame and its part of the report; picklable, so that
    worker processes and Dask tasks run the same code on their frames."""

    def __init__(self, cutoff, max_pairs, threads, limit_given):
        self.cutoff = cutoff
        self.max_pairs = max_pairs
        self.threads = threads
        self.limit_given = limit_given

    def add(self, report, k, s, keep):
        """Adds frame k's pairs to report; returns its arrays when keep."""
        from .neighbors import PairLimitError
        try:
            nl = _neighbor_list(s, self.cutoff, max_pairs=self.max_pairs, threads=self.threads)
        except PairLimitError as e:
            raise UserError(e.reason if self.limit_given else
                            f"{e.reason}; pass --max-pairs to raise the limit") from None
        report.add(k, s, nl)
        return {name: getattr(nl, name) for name in "ijdDS"} if keep else None


class _ChunkReport:
    """A task's work: the report over a chunk of frames and, when they are
    saved, each frame's arrays."""

    def __init__(self, search, bins, keep):
        self.search = search
        self.bins = bins
        self.keep = keep

    def __call__(self, view):
        report = _Report(self.search.cutoff, self.bins)
        arrays = [self.search.add(report, k, s, self.keep) for k, s in zip(view.numbers, view)]
        return report, arrays if self.keep else None


def _shared(search, frames, args, keep):
    """(view, (report, arrays)) per chunk of frames, in order, from local
    worker processes or a Dask scheduler's workers."""
    from .parallel import imap_chunks

    task = _ChunkReport(search, args.bins, keep)
    if args.workers is not None:
        yield from imap_chunks(task, frames, workers=args.workers)
        return
    try:
        import distributed
    except ImportError:
        raise UserError("--scheduler needs Dask's distributed package (Debian: python3-distributed)") from None
    import logging
    logging.getLogger("asyncio").addFilter(_abandoned_connect)
    try:
        client = distributed.Client(args.scheduler, timeout=_SCHEDULER_TIMEOUT, set_as_default=False)
    except (OSError, ValueError, TypeError) as e:
        raise UserError(f"cannot reach the Dask scheduler at {args.scheduler}: {e}") from None
    with client:
        yield from imap_chunks(task, frames, client=client)


def _abandoned_connect(record):
    """False for asyncio's report of a connection attempt's timeout that no
    one awaited: Dask gives up on a slow attempt and tries again, and the
    abandoned attempt's timeout is reported when it is collected, often
    as the process ends, though the run went well."""
    error = record.exc_info[1] if record.exc_info else None
    return not (isinstance(error, TimeoutError) and record.getMessage().startswith("Future exception was never "
                                                                                    "retrieved"))


# Seconds to wait for a Dask scheduler to answer.
_SCHEDULER_TIMEOUT = 20
# A scheduler's address: a protocol of Dask's, a host (a name, an IPv4
# address or a bracketed IPv6 address) and a port.
_ADDRESS = re.compile(r"(tcp|tls|ws|wss|ucx)://(\[[0-9A-Fa-f:.]+\]|[^\s/:\[\]]+):\d{1,5}/?")


def _slice_text(s):
    def part(v):
        return "" if v is None else str(v)
    return f"{part(s.start)}:{part(s.stop)}" + ("" if s.step is None else f":{s.step}")


class _Nothing:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        pass


def _bar(mode, format, total):
    """A progress bar of total frames, updated by hand, or None (see _progress)."""
    if mode == "never" or format == "poscar" or (mode == "auto" and not sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit=" frames", file=sys.stderr, disable=False)


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

    # Fine bins per bar, and the most fine bins kept (32 MiB of counts).
    FINE_PER_BAR = 64
    MOST_FINE = 1 << 22

    def __init__(self, cutoff, bins):
        import numpy as np
        self.cutoff = cutoff
        self.bins = bins
        # Fine counts over [0, cutoff]; text() merges them into the bars,
        # from the shortest distance seen up to the cutoff.
        self.fine_bins = min(max(4000, self.FINE_PER_BAR * bins), self.MOST_FINE)
        self.fine_edges = np.linspace(0.0, cutoff, self.fine_bins + 1)
        self.fine = np.zeros(self.fine_bins, dtype=np.int64)
        self.pairs = 0
        self.atoms = None  # (fewest, most) atoms in a frame
        self.pbc = None
        self.seen = 0  # frames added
        self.shortest = None
        self.coordination = {}  # species -> (sum of neighbor counts, atom-frames)
        # species -> (fewest, most) atoms of it in a frame; a frame without
        # the species counts 0.
        self.counts = {}

    def add(self, k, s, nl):
        import numpy as np
        n = len(s)
        if self.pbc is None:
            self.pbc = s.pbc
        self.atoms = (n, n) if self.atoms is None else (min(self.atoms[0], n), max(self.atoms[1], n))
        here = {}
        for species in s.symbols:
            here[species] = here.get(species, 0) + 1
        for species in here.keys() | self.counts.keys():
            c = here.get(species, 0)
            low, high = self.counts.get(species, (0 if self.seen else c, c))
            self.counts[species] = (min(low, c), max(high, c))
        self.seen += 1
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

    def merge(self, other):
        """Adds the report of the frames that follow this one's: the result is
        the report of all the frames, as add would have made it."""
        if not other.seen:
            return
        if not self.seen:
            self.__dict__.update(other.__dict__)
            return
        self.atoms = (min(self.atoms[0], other.atoms[0]), max(self.atoms[1], other.atoms[1]))
        for species in self.counts.keys() | other.counts.keys():
            # A species missing from one part's frames counts 0 in them.
            low_a, high_a = self.counts.get(species, (0, 0))
            low_b, high_b = other.counts.get(species, (0, 0))
            self.counts[species] = (min(low_a, low_b), max(high_a, high_b))
        self.seen += other.seen
        self.pairs += other.pairs
        self.fine += other.fine
        if other.shortest is not None and (self.shortest is None or other.shortest[0] < self.shortest[0]):
            self.shortest = other.shortest
        for species, (total, seen) in other.coordination.items():
            mine = self.coordination.get(species, (0, 0))
            self.coordination[species] = (mine[0] + total, mine[1] + seen)

    def text(self, path, format, frames, all_frames, selection=None):
        lines = []
        species = ", ".join(f"{sp} {_span(self.counts[sp])}" for sp in self.coordination)
        periodic = "".join("xyz"[a] for a in range(3) if self.pbc[a]) or "none"
        atoms = f"{_span(self.atoms)} atoms" + (" per frame" if self.atoms[0] != self.atoms[1] else "")
        lines.append(f"{path} ({format.upper()}): {atoms} ({species}), periodic: {periodic}")
        if all_frames:
            lines.append(f"frames: {frames}" + ("" if selection is None else
                                                 f" (--frames {selection[0]} of {selection[1]})"))
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
        bars = self._bars()
        if bars:
            lines.append("distances (Å):")
            top = max(count for _, _, count in bars)
            width = len(str(top))
            labels = _labels([lo for lo, _, _ in bars] + [bars[-1][1]])
            for (lo, hi, count), a, b in zip(bars, labels, labels[1:]):
                bar = "#" * (round(40 * count / top) if top else 0)
                if count and not bar:
                    bar = "."
                lines.append(f"  {a} - {b}  {count:>{width}d}  {bar}".rstrip())
        return "\n".join(lines)

    def _bars(self):
        """(low, high, count) of each bar: the fine counts merged into
        self.bins bars from a round number below the shortest distance
        (fewer only where fewer fine bins lie in that range)."""
        import numpy as np
        if not self.pairs:
            return []
        first = int(np.flatnonzero(self.fine)[0])
        step = self.cutoff / self.fine_bins
        low = np.floor(first * step * 10) / 10  # down to a tenth of an Å
        start = min(int(round(low / step)), first)
        bars = min(self.bins, self.fine_bins - start)
        bounds = np.linspace(start, self.fine_bins, bars + 1).round().astype(int)
        bounds = np.unique(bounds)
        return [(bounds[b] * step, bounds[b + 1] * step, int(self.fine[bounds[b]:bounds[b + 1]].sum()))
                for b in range(len(bounds) - 1)]


def _labels(edges):
    """The bar edges as text, with two decimals or as many more as it takes
    to tell neighbouring edges apart, all of one width."""
    for decimals in range(2, 17):
        labels = [f"{e:.{decimals}f}" for e in edges]
        if len(set(labels)) == len(labels):
            break
    width = max(5, max(len(t) for t in labels))
    return [t.rjust(width) for t in labels]


def _span(low_high):
    low, high = low_high
    return str(low) if low == high else f"{low}-{high}"


def _once(nl):
    """Mask keeping one direction of every pair: i < j, and for an atom with
    its own image the shift whose first non-zero component is positive."""
    i, j, S = nl.i, nl.j, nl.S
    same = i == j
    positive = (S[:, 0] > 0) | ((S[:, 0] == 0) & ((S[:, 1] > 0) | ((S[:, 1] == 0) & (S[:, 2] > 0))))
    return (i < j) | (same & positive)


# ---------------------------------------------------------------------------
# rdf, bonds, clusters


def _rdf(args):
    from . import io
    from .analysis import rdf
    from .io._files import check_writable

    for out in (args.plot, args.csv):
        if out:
            check_writable(out)
    if args.volume is not None and not (args.volume > 0 and args.volume != float("inf")):
        raise UserError(f"--volume must be a positive, finite number of Å³, got {args.volume!r}")
    format = args.format or io.guess_format(args.file)
    client = None
    if args.scheduler:
        try:
            import distributed
        except ImportError:
            raise UserError("--scheduler needs Dask's distributed package (Debian: python3-distributed)") from None
        try:
            client = distributed.Client(args.scheduler, timeout=_SCHEDULER_TIMEOUT, set_as_default=False)
        except (OSError, ValueError, TypeError) as e:
            raise UserError(f"cannot reach the Dask scheduler at {args.scheduler}: {e}") from None
    progress = None
    if args.progress != "never" and format != "poscar" and (args.progress == "always" or sys.stderr.isatty()):
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None:
            import functools
            progress = functools.partial(tqdm, unit=" frames", file=sys.stderr)
    try:
        result = rdf(args.file, args.rmax, args.bins, pairs=args.pairs, frames=args.frames, workers=args.workers,
                     client=client, threads=args.threads, volume=args.volume, format=format, progress=progress)
    finally:
        if client is not None:
            client.close()
    print(_rdf_text(args.file, format, result))
    if args.csv:
        result.to_csv(args.csv)
        print(f"wrote {args.csv}")
    if args.plot:
        _save_plot(result, args.plot)
        print(f"wrote {args.plot}")


def _rdf_text(path, format, result):
    species = result.species
    natoms = result.natoms
    per_species = ", ".join(f"{s} {_span((int(natoms[:, k].min()), int(natoms[:, k].max())))}"
                            for k, s in enumerate(species))
    totals = natoms.sum(axis=1)
    frames = len(result.frames)
    volumes = result.volumes
    volume = f"{volumes[0]:.1f} Å³" if volumes.min() == volumes.max() else \
        f"{volumes.min():.1f}-{volumes.max():.1f} Å³"
    lines = [f"{path} ({format.upper()}): {frames} frame{'s' * (frames != 1)}, "
             f"{_span((int(totals.min()), int(totals.max())))} atoms ({per_species}), volume {volume}",
             f"g(r) to {result.rmax:g} Å in {result.bins} bins of {result.rmax / result.bins:g} Å; "
             "n: mean neighbors of the second species around the first"]
    shells = result.first_shells()
    keys = list(result.pairs) + (["total"] if len(species) > 1 else [])
    width = max(len(_pair_name(k)) for k in keys)
    lines.append(f"  {'pair':<{width}}  first peak (Å, g)     first minimum (Å)  n at the minimum")
    for key in keys:
        shell = shells[key]
        name = _pair_name(key)
        if shell is None:
            lines.append(f"  {name:<{width}}  no peak above the noise of an ideal gas within {result.rmax:g} Å")
            continue
        rp, gp, rm, nm = shell
        lines.append(f"  {name:<{width}}  {rp:7.3f} {gp:9.3f}     {rm:7.3f}            {nm:.3f}")
    return "\n".join(lines)


def _pair_name(key):
    return "all" if key == "total" else f"{key[0]}-{key[1]}"


def _save_plot(result, path):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from .io._files import atomic_write

    fig = Figure(figsize=(7, 4.5), dpi=100)
    FigureCanvasAgg(fig)
    result.plot(ax=fig.add_subplot())
    fig.tight_layout()
    atomic_write(path, lambda raw: fig.savefig(raw, format="png"))


def _first_structure(path, format):
    from . import io

    s = next(io.iread(path, format), None)
    if s is None:
        raise UserError(f"{path} holds no frame")
    return s


def _bonds(args):
    import numpy as np

    from . import io
    from .analysis import bonds
    from .io._files import check_writable

    out = args.output
    if out:
        if not out.endswith(".npz"):
            out += ".npz"
        check_writable(out)
    format = args.format or io.guess_format(args.file)
    s = _first_structure(args.file, format)
    b = bonds(s, scale=args.scale)
    radii = ", ".join(f"{x} {r:.2f}" for x, r in b.radii.items())
    which = "" if format == "poscar" else ", first frame"
    lines = [f"{args.file} ({format.upper()}{which}): {len(s)} atoms, {len(b)} bond{'s' * (len(b) != 1)} "
             f"(d < {args.scale:g} × (r_i + r_j); covalent radii in Å: {radii})"]
    stats = b.lengths()
    if stats:
        width = max(4, max(len(f"{a}-{c}") for a, c in stats))
        lines.append(f"  {'pair':<{width}}  {'bonds':>7}  shortest      mean   longest (Å)")
        for (a, c), (count, lo, mean, hi) in stats.items():
            lines.append(f"  {a + '-' + c:<{width}}  {count:>7}  {lo:8.4f}  {mean:8.4f}  {hi:8.4f}")
    print("\n".join(lines))
    if out:
        from .io._files import atomic_write
        atomic_write(out, lambda raw: np.savez(raw, i=b.i, j=b.j, S=b.S, d=b.d))
        print(f"saved i, j, S, d to {out}")


def _clusters(args):
    from . import io
    from .analysis import bonds, clusters

    format = args.format or io.guess_format(args.file)
    s = _first_structure(args.file, format)
    if args.bonds:
        result = clusters(s, bonds(s, scale=args.scale))
        how = f"bonds (d < {args.scale:g} × (r_i + r_j))"
    else:
        result = clusters(s, args.cutoff)
        how = f"pairs closer than {args.cutoff:g} Å"
    which = "" if format == "poscar" else ", first frame"
    count = len(result)
    lines = [f"{args.file} ({format.upper()}{which}): {len(s)} atoms in {count} cluster{'s' * (count != 1)} "
             f"connected by {how}"]
    sizes = result.size_distribution()
    lines.append("sizes (atoms: clusters): " + ", ".join(f"{size}: {n}" for size, n in sorted(sizes.items())))
    kinds = {1: "a chain", 2: "a sheet", 3: "a network"}
    perc = [int(c) for c in result.percolating.nonzero()[0]]
    if not perc:
        lines.append("percolating: none")
    else:
        lines.append(f"percolating: {len(perc)}")
        for c in perc:
            lines.append(f"  cluster {c + 1}: {int(result.sizes[c])} atoms, {kinds[int(result.dimensions[c])]} "
                         f"({int(result.dimensions[c])}-periodic), first atom {int((result.labels == c).argmax()) + 1}")
    print("\n".join(lines))


# ---------------------------------------------------------------------------
# convert


def _convert(args):
    from . import io
    from .io._dispatch import format_from_name
    from .io._files import check_writable

    try:
        target = args.target_format or format_from_name(args.output)
    except ValueError:
        raise UserError(f"cannot tell the format of {args.output!r} from its name: "
                        "use --to poscar, xdatcar or xyz") from None
    # Before reading IN: a path that cannot be written is said at once.
    check_writable(args.output)
    if os.path.exists(args.output) and os.path.samefile(args.input, args.output):
        raise UserError("IN and OUT are the same file")
    source = args.source_format or io.guess_format(args.input)

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
        _note_dropped([s], "a POSCAR file")
        what = "1 frame"
    elif target == "xdatcar":
        if source == "xdatcar" and not args.frame:
            # Straight from trajectory to trajectory keeps the scaled positions exact.
            frames = io.read_xdatcar(args.input)
        else:
            frames = [_pick(args.input, source, args.frame)] if args.frame else list(io.iread(args.input, source))
        # A cell the writer cannot take (flat, not finite) it refuses itself, naming the frame.
        for k, s in enumerate(frames):
            if not s.cell.any():
                raise UserError(f"frame {k + 1} of {args.input} gives no cell (an XYZ file without "
                                "Lattice=\"...\"), and an XDATCAR file needs one")
        io.write_xdatcar(args.output, frames)
        if not isinstance(frames, io.Trajectory):
            _note_dropped(frames, "an XDATCAR file")
        what = f"{len(frames)} frame{'s' * (len(frames) != 1)}"
    else:
        frames = [_pick(args.input, source, args.frame)] if args.frame else list(io.iread(args.input, source))
        io.write_xyz(args.output, frames)
        what = f"{len(frames)} frame{'s' * (len(frames) != 1)}"
    print(f"wrote {args.output} ({target.upper()}, {what})")


def _note_dropped(frames, target):
    """Says on standard error which per-frame values (info) and per-atom
    arrays of an extended XYZ input the target format cannot hold."""
    info = {}
    arrays = {}
    for s in frames:
        info.update(dict.fromkeys(s.info))
        arrays.update(dict.fromkeys(s.arrays))
    dropped = []
    if info:
        dropped.append(f"the per-frame values {', '.join(map(str, info))}")
    if arrays:
        dropped.append(f"the per-atom arrays {', '.join(map(str, arrays))}")
    if dropped:
        print(f"{PROG} convert: note: {target} cannot hold {' and '.join(dropped)}: not written",
              file=sys.stderr, flush=True)


def _pick(path, format, k):
    from .io._dispatch import frame_at
    if k == 0:
        raise UserError("--frame counts from 1 (or from -1 for the last)")
    s, count = frame_at(path, format, k - 1 if k > 0 else k)
    if s is None:
        raise UserError(f"frame {k} asked for, but {path} has {count} frame{'s' * (count != 1)}")
    return s


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
