"""Frames: the frames of a trajectory file as a lazy sequence, read by number."""

import operator
import os

import numpy as np

from ._dispatch import _format_of
from ._index import build_index, read_frames, read_xdatcar_arrays
from ._model import Trajectory
from ._vasp import _expand


class Frames:
    """The frames of a POSCAR, XDATCAR or XYZ file as a lazy sequence.

        >>> frames = Frames("XDATCAR")
        >>> len(frames)                  # builds the index: one pass over the file
        >>> s = frames[-1]               # a Structure, read alone
        >>> every_tenth = frames[::10]   # a Frames view; nothing read
        >>> for s in every_tenth:        # read in order, one frame at a time
        ...     pass
        >>> traj = frames[100:200].read()   # a Trajectory (same atoms in every frame)

    Nothing is read until it is needed: the index (where each frame starts)
    is built on the first use that needs it, and it is all that is held;
    each frame is read from the file when asked for, and iteration holds one
    frame at a time. A slice is a view of the same file that composes
    (``frames[10:][::2]``). Frames are counted from 0, negative numbers from
    the end, as for a list.

    A trajectory cut short inside a frame (a killed run) has the whole frames
    before the cut: building the index warns with a
    TruncatedTrajectoryWarning naming the file and line, as ``iread`` does;
    with ``strict=True`` the cut is a FormatError instead.

    On a compressed file (``.gz``, ``.bz2``, ``.xz``) reading a frame may
    decompress the file from its start up to that frame: random access costs
    what reading up to the frame costs. Iterate in order where you can.

    A Frames pickles as its path, format, index and selected frame numbers,
    never an open file, so a worker process (or machine, where the file lies
    at the same path) reads only its own frames. The file must not change
    while its index is in use.
    """

    __slots__ = ("_path", "_format", "_strict", "_index", "_numbers")

    def __init__(self, path, format=None, *, strict=False):
        self._path = os.fspath(path)
        if not isinstance(self._path, str):
            self._path = os.fsdecode(self._path)
        # A format named is checked now; a guess waits for the index.
        self._format = None if format is None else _format_of(self._path, format)
        self._strict = bool(strict)
        self._index = None
        self._numbers = None  # None: every frame; else a range of frame numbers

    @classmethod
    def _view(cls, index, numbers):
        view = cls.__new__(cls)
        view._path = index.path
        view._format = index.format
        view._strict = False  # the index is built: nothing left to warn about
        view._index = index
        view._numbers = None if numbers == range(len(index)) else numbers
        return view

    @property
    def path(self):
        """The file."""
        return self._path

    @property
    def format(self):
        """'poscar', 'xdatcar' or 'xyz' (guessed from the file when not given;
        builds the index)."""
        return self.index.format

    @property
    def index(self):
        """The FrameIndex of the whole file, built on first use."""
        if self._index is None:
            self._index = build_index(self._path, self._format, strict=self._strict)
            self._format = self._index.format
        return self._index

    @property
    def numbers(self):
        """The frame numbers in the file (counted from 0) this sequence
        holds, a range."""
        return range(len(self.index)) if self._numbers is None else self._numbers

    def __len__(self):
        return len(self.numbers)

    def __getitem__(self, k):
        numbers = self.numbers
        if isinstance(k, slice):
            return Frames._view(self.index, numbers[k])
        try:
            k = operator.index(k)
        except TypeError:
            raise TypeError(f"frames are indexed by integers or slices, not {type(k).__name__}") from None
        if not -len(numbers) <= k < len(numbers):
            count = len(numbers)
            what = self._path if self._numbers is None else f"this view of {self._path}"
            raise IndexError(f"frame index {k} out of range: {what} has {count} frame{'s' * (count != 1)}")
        frames = read_frames(self.index, [numbers[k]])
        try:
            return next(iter(frames))
        finally:
            getattr(frames, "close", lambda: None)()

    def __iter__(self):
        # One pass in file order; each frame is dropped once the caller moves on.
        return iter(read_frames(self.index, self.numbers))

    def read(self):
        """All the frames as one Trajectory: cells (F, 3, 3) and
        scaled_positions (F, N, 3). For an XDATCAR file these are the file's
        own fractional coordinates, bit for bit what ``io.read_xdatcar``
        gives (the fixed-cell frames of an uncompressed file parsed in one
        native call); for an XYZ file they are computed from each frame's
        cell and Cartesian positions. Every frame must have the same atoms
        in the same order, the same periodicity and a cell; the comment is
        the first frame's. No frames give a Trajectory of none with no
        atoms."""
        numbers = self.numbers
        if self.index.format == "xdatcar" and len(numbers):
            cells, scaled = read_xdatcar_arrays(self.index, numbers)
            comment, _, _, names, counts = self.index.header[:5]
            return Trajectory(cells, scaled, _expand(names, counts), (True, True, True), comment)
        cells, scaled = [], []
        first = None
        for k, s in zip(numbers, self):
            if first is None:
                first = (k, s.symbols, s.pbc, s.comment)
            elif s.symbols != first[1]:
                raise ValueError(f"{self._path}: frame {k} has other atoms than frame {first[0]} "
                                 f"({_tally(s.symbols)} against {_tally(first[1])}; frames counted from 0), so "
                                 "the frames are no Trajectory: iterate over them instead")
            elif s.pbc != first[2]:
                raise ValueError(f"{self._path}: frame {k} is periodic along other axes than frame {first[0]} "
                                 "(frames counted from 0), so the frames are no Trajectory: iterate over them "
                                 "instead")
            if not s.cell.any(axis=1).all():
                raise ValueError(f"{self._path}: frame {k} gives no cell (frames counted from 0), and a Trajectory "
                                 "holds fractional coordinates: iterate over the frames instead")
            cells.append(s.cell)
            scaled.append(s.scaled_positions())
        if first is None:
            return Trajectory(np.zeros((0, 3, 3)), np.zeros((0, 0, 3)), [])
        return Trajectory(np.stack(cells), np.stack(scaled), first[1], first[2], first[3])

    def __reduce__(self):
        # The index travels with the frames, so that a worker reads only its own.
        return _rebuild, (self.index, self._numbers)

    def __repr__(self):
        if self._index is None:
            fmt = "" if self._format is None else f", format={self._format!r}"
            return f"Frames({self._path!r}{fmt}) (not yet indexed)"
        total = len(self._index)
        text = f"Frames({self._path!r}, format={self._index.format!r})"
        if self._numbers is None:
            return f"{text}: {total} frame{'s' * (total != 1)}"
        return f"{text}[{_slice_text(self._numbers)}]: {len(self._numbers)} of {total} frames"

    def __eq__(self, other):
        """The same frames of the same file (as its index saw it)."""
        if not isinstance(other, Frames):
            return NotImplemented
        return _identity(self.index) == _identity(other.index) and self.numbers == other.numbers

    __hash__ = None


def _identity(index):
    return index.path, index.format, len(index), getattr(index, "size", None), getattr(index, "mtime_ns", None)


def _rebuild(index, numbers):
    return Frames._view(index, range(len(index)) if numbers is None else numbers)


def _slice_text(r):
    """A range as the slice that gives it from range(total): start:stop:step."""
    if not r:
        return "0:0"
    step = "" if r.step == 1 else f":{r.step}"
    stop = r[-1] + (1 if r.step > 0 else -1)
    return f"{r.start}:{'' if stop < 0 else stop}{step}"


def _tally(symbols):
    counts = {}
    for s in symbols:
        counts[s] = counts.get(s, 0) + 1
    return " ".join(f"{s} {n}" for s, n in counts.items())
