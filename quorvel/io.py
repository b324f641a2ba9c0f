"""Whole-file reading and writing of POSCAR/CONTCAR, XDATCAR and XYZ files.

The atom lines go through the native block routines of ``quorvel._ledgra``;
the headers around them are read and written here.

    >>> from quorvel import io
    >>> s = io.read("POSCAR")                 # a Structure
    >>> traj = io.read_xdatcar("XDATCAR")     # a Trajectory, positions (F, N, 3)
    >>> for frame in io.iread("movie.xyz"):   # Structures, one frame at a time
    ...     pass
    >>> io.write("CONTCAR", s)

Every reader reports a bad file with :class:`FormatError`, which names the file
and the line (counted from 1, as an editor shows it) and says what was expected
there. Writers write to a temporary file beside the target and rename it into
place, so a failed write never leaves a half-written file behind, and by
default they write every number so that it reads back exactly.
"""

from __future__ import annotations

import bz2
import dataclasses
import gzip
import lzma
import os
import re
import tempfile

import numpy as np

from . import _ledgra

__all__ = [
    "FormatError", "Structure", "Trajectory",
    "read", "iread", "write", "guess_format",
    "read_poscar", "write_poscar",
    "read_xdatcar", "iter_xdatcar", "write_xdatcar",
    "read_xyz", "iter_xyz", "write_xyz",
]

FORMATS = ("poscar", "xdatcar", "xyz")


class FormatError(ValueError):
    """A file that does not follow its format.

    ``path`` is the file, ``line`` the 1-based line number (None when the fault
    is not on one line) and ``reason`` what was wrong there. ``str(error)``
    reads "PATH, line N: REASON".
    """

    def __init__(self, path, line, reason):
        self.path = os.fspath(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {reason}")

    def __reduce__(self):
        return type(self), (self.path, self.line, self.reason)


# ---------------------------------------------------------------------------
# Result types


@dataclasses.dataclass(eq=False)
class Structure:
    """One atomic configuration.

    cell       (3, 3) float64, the lattice vectors as rows, in Å (all zero when
               the file gives no cell, as a plain XYZ file)
    positions  (N, 3) float64, Cartesian, in Å
    symbols    list of N str, the species of each atom. A POSCAR file in the
               old format that names no species gets "X1", "X2", ...
    pbc        three bools, periodic along each lattice vector
    fixed      (N, 3) bool or None: the selective-dynamics flags, True where the
               file says "F" (the coordinate is held fixed), False for "T";
               None when the file has no selective dynamics
    comment    the comment line, without its line ending
    """

    cell: np.ndarray
    positions: np.ndarray
    symbols: list
    pbc: tuple = (True, True, True)
    fixed: np.ndarray | None = None
    comment: str = ""

    def __post_init__(self):
        self.cell = np.array(self.cell, dtype=np.float64)
        if self.cell.shape != (3, 3):
            raise ValueError(f"cell must have shape (3, 3), not {self.cell.shape}")
        self.positions = np.asarray(self.positions, dtype=np.float64)
        if self.positions.ndim != 2 or self.positions.shape[1] != 3:
            raise ValueError(f"positions must have shape (N, 3), not {self.positions.shape}")
        n = len(self.positions)
        self.symbols = list(self.symbols)
        if len(self.symbols) != n:
            raise ValueError(f"{len(self.symbols)} symbols for {n} atoms")
        self.pbc = _three_bools(self.pbc)
        if self.fixed is not None:
            self.fixed = np.asarray(self.fixed, dtype=bool)
            if self.fixed.shape != (n, 3):
                raise ValueError(f"fixed must have shape ({n}, 3), not {self.fixed.shape}")
        self.comment = str(self.comment)

    def __len__(self):
        return len(self.positions)

    def scaled_positions(self):
        """Positions as fractions of the lattice vectors, (N, 3)."""
        return np.linalg.solve(self.cell.T, self.positions.T).T

    def __eq__(self, other):
        if not isinstance(other, Structure):
            return NotImplemented
        return (_same(self.cell, other.cell) and _same(self.positions, other.positions)
                and self.symbols == other.symbols and self.pbc == other.pbc
                and _same(self.fixed, other.fixed) and self.comment == other.comment)


@dataclasses.dataclass(eq=False)
class Trajectory:
    """F frames of the same N atoms, as an XDATCAR file holds them.

    cells             (F, 3, 3) float64, each frame's lattice vectors in Å
    scaled_positions  (F, N, 3) float64, fractional coordinates as in the file
    symbols           list of N str
    pbc               three bools
    comment           the comment line of the (first) header

    ``positions`` gives the Cartesian (F, N, 3) array; ``traj[k]`` and
    iteration give the frames as :class:`Structure`.
    """

    cells: np.ndarray
    scaled_positions: np.ndarray
    symbols: list
    pbc: tuple = (True, True, True)
    comment: str = ""

    def __post_init__(self):
        self.scaled_positions = np.asarray(self.scaled_positions, dtype=np.float64)
        if self.scaled_positions.ndim != 3 or self.scaled_positions.shape[2] != 3:
            raise ValueError(f"scaled_positions must have shape (F, N, 3), not {self.scaled_positions.shape}")
        f, n, _ = self.scaled_positions.shape
        cells = np.asarray(self.cells, dtype=np.float64)
        if cells.shape == (3, 3):
            cells = np.repeat(cells[None], f, axis=0)
        if cells.shape != (f, 3, 3):
            raise ValueError(f"cells must have shape ({f}, 3, 3) or (3, 3), not {cells.shape}")
        self.cells = cells
        self.symbols = list(self.symbols)
        if len(self.symbols) != n:
            raise ValueError(f"{len(self.symbols)} symbols for {n} atoms")
        self.pbc = _three_bools(self.pbc)
        self.comment = str(self.comment)

    def __len__(self):
        return len(self.scaled_positions)

    @property
    def positions(self):
        """Cartesian positions, (F, N, 3), in Å."""
        return np.matmul(self.scaled_positions, self.cells)

    def __getitem__(self, k):
        k = range(len(self))[k]
        return Structure(self.cells[k], self.scaled_positions[k] @ self.cells[k], self.symbols,
                         self.pbc, None, self.comment)

    def __iter__(self):
        for k in range(len(self)):
            yield self[k]

    def __eq__(self, other):
        if not isinstance(other, Trajectory):
            return NotImplemented
        return (_same(self.cells, other.cells) and _same(self.scaled_positions, other.scaled_positions)
                and self.symbols == other.symbols and self.pbc == other.pbc and self.comment == other.comment)


def _three_bools(pbc):
    if isinstance(pbc, (bool, np.bool_)):
        return (bool(pbc),) * 3
    values = tuple(bool(p) for p in pbc)
    if len(values) != 3:
        raise ValueError(f"pbc must be one bool or three, not {len(values)}")
    return values


def _same(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f"))


# ---------------------------------------------------------------------------
# Reading lines


def _open_text(path, mode):
    """Opens path as UTF-8 text; .gz, .bz2 and .xz files are (de)compressed."""
    path = os.fspath(path)
    opener = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}.get(os.path.splitext(path)[1].lower())
    if opener is None:
        return open(path, mode + "t", encoding="utf-8", newline=None if "r" in mode else "")
    return opener(path, mode + "t", encoding="utf-8", newline=None if "r" in mode else "")


class _Lines:
    """Lines of a text stream, taken in runs of known length, with the running
    1-based number of the last line taken. Reads the stream in chunks so that a
    trajectory of any size is read in bounded memory."""

    CHUNK = 1 << 23

    def __init__(self, stream, path):
        self._stream = stream
        self.path = path
        self._buf = []
        self._pos = 0
        self.lineno = 0  # lines taken so far
        self._eof = False

    def _fill(self):
        if self._eof:
            return False
        try:
            chunk = self._stream.readlines(self.CHUNK)
        except UnicodeDecodeError as e:
            raise FormatError(self.path, None, f"not UTF-8 text ({e.reason} at byte {e.start} of a chunk)") from e
        if not chunk:
            self._eof = True
            return False
        # Called only once the buffer is used up.
        self._buf = chunk
        self._pos = 0
        return True

    def next(self):
        """The next line (with its line ending), or None at the end of the file."""
        if self._pos >= len(self._buf) and not self._fill():
            return None
        line = self._buf[self._pos]
        self._pos += 1
        self.lineno += 1
        return line

    def peek(self):
        if self._pos >= len(self._buf) and not self._fill():
            return None
        return self._buf[self._pos]

    def take(self, n):
        """The next n lines, fewer only at the end of the file."""
        out = self._buf[self._pos:self._pos + n]
        self._pos += len(out)
        while len(out) < n and self._fill():
            more = self._buf[:n - len(out)]
            self._pos = len(more)
            out += more
        self.lineno += len(out)
        return out

    def at_end(self):
        """True when only blank lines are left; consumes them."""
        while True:
            line = self.peek()
            if line is None:
                return True
            if line.strip():
                return False
            self.next()


def _need(lines, what):
    """The next line, or a truncation error naming what was expected."""
    line = lines.next()
    if line is None:
        raise FormatError(lines.path, lines.lineno + 1, f"file is truncated: expected {what}, the file ends here")
    return line


def _take_block(lines, n, what):
    block = lines.take(n)
    if len(block) < n:
        raise FormatError(lines.path, lines.lineno + 1,
                          f"file is truncated: expected {n} {what}, the file ends after {len(block)}")
    return block


# Native messages count lines from 0 within the block they were given; the
# number follows "line" or "atom index", and quoted fields hold no blanks.
_NATIVE_LINE = re.compile(r" (?:line|index) (\d+)")
_NATIVE_FIELD = re.compile(r"(?:got|coordinate|parse) '(.*)' on (?:atom )?line \d+")


def _block_error(err, path, first_line, kind):
    """FormatError for a native block error; first_line is the 1-based file
    line of the block's first line, kind 'coordinates', 'xyz' or 'lattice'."""
    text = str(err)
    found = _NATIVE_LINE.findall(text)
    line = first_line + int(found[-1]) if found else None
    field = _NATIVE_FIELD.search(text)
    if "flag" in text:
        reason = f"expected a selective-dynamics flag T or F, got '{field.group(1) if field else '?'}'"
    elif field is not None:
        reason = f"expected a number, got '{field.group(1)}'"
    elif "empty line" in text or (kind == "xyz" and "not enough" in text):
        reason = "expected an atom line: a symbol and three coordinates (x y z)"
    elif "not enough" in text:
        reason = ("expected a lattice vector: three numbers" if kind == "lattice"
                  else "expected three coordinates (x y z)")
    else:
        reason = text
    return FormatError(path, line, reason)


def _parse_coords(block, path, first_line, kind="coordinates"):
    try:
        return _ledgra.parse_xdatcar_coords_rs(block)
    except ValueError as e:
        raise _block_error(e, path, first_line, kind) from e


# ---------------------------------------------------------------------------
# VASP headers


def _number(token):
    """float(token) under the native float grammar, or None."""
    if not _FLOAT.fullmatch(token):
        return None
    return float(token)


_FLOAT = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))")
_INT = re.compile(r"\d+")


def _read_vasp_header(lines, fmt):
    """Reads comment, scale, lattice, species names and counts. Returns
    (comment, cell, axis_scale, names, counts): cell already scaled, axis_scale
    the (3,) factors that Cartesian positions are multiplied by."""
    path = lines.path
    comment = _need(lines, f"the comment line of the {fmt} header").rstrip("\r\n")

    scale_line = _need(lines, "the scale factor")
    scale_no = lines.lineno
    values = []
    for token in scale_line.split():
        v = _number(token)
        if v is None:
            break
        values.append(v)
    if not values:
        raise FormatError(path, scale_no, f"expected the scale factor (one number, or three), got {scale_line.strip()!r}")
    scale = values[:3] if len(values) >= 3 else values[:1]
    if not all(np.isfinite(scale)) or (len(scale) == 1 and scale[0] == 0):
        raise FormatError(path, scale_no, f"expected a finite, non-zero scale factor, got {scale_line.strip()!r}")
    if len(scale) == 3 and min(scale) <= 0:
        raise FormatError(path, scale_no, "expected three positive per-axis scale factors")

    lattice_block = _take_block(lines, 3, "lattice vector lines")
    lattice = _parse_coords(lattice_block, path, lines.lineno - 2, "lattice")
    if not np.isfinite(lattice).all():
        raise FormatError(path, lines.lineno - 2, "expected finite lattice vectors")

    if len(scale) == 3:
        axis_scale = np.array(scale)
        cell = lattice * axis_scale
    elif scale[0] < 0:
        volume = abs(np.linalg.det(lattice))
        if volume == 0:
            raise FormatError(path, scale_no, "a negative scale factor sets the cell volume, "
                                              "but the lattice vectors span no volume")
        factor = (-scale[0] / volume) ** (1.0 / 3.0)
        axis_scale = np.full(3, factor)
        cell = lattice * factor
    else:
        axis_scale = np.full(3, scale[0])
        cell = lattice * scale[0]

    line = _need(lines, "the species names or the atom counts")
    tokens = line.split()
    if tokens and _INT.fullmatch(tokens[0]):
        names = None
        counts_line, counts_no = line, lines.lineno
    else:
        names = tokens
        if not names:
            raise FormatError(path, lines.lineno, "expected the species names or the atom counts, got an empty line")
        counts_line = _need(lines, "the atom counts")
        counts_no = lines.lineno
    counts = []
    for token in counts_line.split():
        if not _INT.fullmatch(token):
            break
        counts.append(int(token))
    if not counts:
        raise FormatError(path, counts_no, f"expected the atom counts (whole numbers), got {counts_line.strip()!r}")
    if names is None:
        names = _names_from_comment(comment, len(counts))
    elif len(names) != len(counts):
        raise FormatError(path, counts_no, f"expected one atom count per species name "
                                           f"({len(names)} names, {len(counts)} counts)")
    return comment, cell, axis_scale, names, counts


def _names_from_comment(comment, k):
    """Species names of an old-format file: the comment's first k words when
    they are all element symbols, else the placeholders X1, X2, ..."""
    from ._elements import ATOMIC_NUMBERS
    words = comment.split()[:k]
    if len(words) == k and all(w in ATOMIC_NUMBERS for w in words):
        return words
    return [f"X{n + 1}" for n in range(k)]


def _expand(names, counts):
    symbols = []
    for name, count in zip(names, counts):
        symbols.extend([name] * count)
    return symbols


def _is_cartesian(line):
    c = line.lstrip()[:1]
    return c in ("C", "c", "K", "k")


# ---------------------------------------------------------------------------
# POSCAR / CONTCAR


def read_poscar(path):
    """Reads a POSCAR or CONTCAR file into a Structure (Cartesian positions).

    Accepts the current format (species names on line 6) and the old one
    (none; names come from the comment line when it starts with element
    symbols), one, three or a negative (volume) scale factor, an optional
    "Selective dynamics" line and Direct or Cartesian coordinates. Anything
    after the position block (velocities, predictor-corrector data) is ignored.
    """
    with _open_text(path, "r") as f:
        return _read_poscar_lines(_Lines(f, os.fspath(path)))


def _read_poscar_lines(lines):
    path = lines.path
    comment, cell, axis_scale, names, counts = _read_vasp_header(lines, "POSCAR")
    n = sum(counts)
    line = _need(lines, "the 'Selective dynamics' or 'Direct'/'Cartesian' line")
    selective = line.lstrip()[:1] in ("S", "s")
    if selective:
        line = _need(lines, "the 'Direct' or 'Cartesian' line")
    cartesian = _is_cartesian(line)
    first = lines.lineno + 1
    block = _take_block(lines, n, "atom lines")
    try:
        values, fixed = _ledgra.parse_poscar_positions_rs(block, selective)
    except ValueError as e:
        raise _block_error(e, path, first, "coordinates") from e
    if cartesian:
        positions = values * axis_scale if not np.all(axis_scale == 1.0) else values
    else:
        positions = values @ cell
    return Structure(cell, positions, _expand(names, counts), (True, True, True), fixed, comment)


def write_poscar(path, structure, *, direct=False, exact=True):
    """Writes a Structure as a POSCAR file (current format, scale 1).

    Cartesian coordinates by default; ``direct=True`` writes fractional ones.
    With ``exact`` (the default) any number that the usual 16 decimals would
    not reproduce is written with all its digits instead, so that read_poscar
    gives back exactly the structure written (with ``direct``, positions come
    back within rounding of the fractional conversion).
    """
    s = structure
    _check_comment(s.comment)
    names, counts = _runs(s.symbols)
    _check_names(names)
    parts = [s.comment, "\n", "   1.0000000000000000\n"]
    parts.append(_format_rows(s.cell, None, exact))
    parts.append(" " + " ".join(f"{name:>4}" for name in names) + "\n")
    parts.append(" " + " ".join(f"{count:>4d}" for count in counts) + "\n")
    if s.fixed is not None:
        parts.append("Selective dynamics\n")
    if direct:
        parts.append("Direct\n")
        values = s.scaled_positions()
    else:
        parts.append("Cartesian\n")
        values = s.positions
    parts.append(_format_rows(np.ascontiguousarray(values, dtype=np.float64), s.fixed, exact))
    _atomic_write(path, parts)


def _format_rows(values, fixed, exact):
    """POSCAR rows (also used for lattice vectors); rows the 19.16f fields
    would not reproduce are written with Python's shortest exact repr."""
    text = _ledgra.format_poscar_positions_rs(values, fixed)
    if not exact or len(values) == 0:
        return text
    rows = text.split("\n")[:-1]
    back = _ledgra.parse_xdatcar_coords_rs(rows)
    bad = _inexact_rows(back, values)
    if bad.size == 0:
        return text
    for k in bad.tolist():
        row = " " + " ".join(f"{v!r:>19}" for v in values[k].tolist())
        if fixed is not None:
            row += "".join("   F" if f else "   T" for f in fixed[k].tolist())
        rows[k] = row
    return "\n".join(rows) + "\n"


def _inexact_rows(back, values):
    same = (back == values) | (np.isnan(back) & np.isnan(values))
    # The sign of zero matters to a round trip as well.
    same &= np.signbit(back) == np.signbit(values)
    return np.flatnonzero(~same.all(axis=1))


def _runs(symbols):
    names, counts = [], []
    for s in symbols:
        if names and names[-1] == s:
            counts[-1] += 1
        else:
            names.append(s)
            counts.append(1)
    return names, counts


def _check_names(names):
    for name in names:
        if not name or name.split() != [name] or _INT.fullmatch(name):
            raise ValueError(f"species name {name!r} cannot be written: it must be one word, not a number")


def _check_comment(comment):
    if "\n" in comment or "\r" in comment:
        raise ValueError("the comment must be one line: it contains a line break")


# ---------------------------------------------------------------------------
# XDATCAR

_FRAME_LINE = re.compile(r"\s*(?:direct|cartesian)\b", re.IGNORECASE)


def iter_xdatcar(path):
    """Yields the frames of an XDATCAR file one by one, as Structures.

    Reads the fixed-cell form (one header, then frames) and the variable-cell
    form (a header before every frame) in bounded memory."""
    with _open_text(path, "r") as f:
        for cell, frac, symbols, comment in _xdatcar_frames(_Lines(f, os.fspath(path))):
            yield Structure(cell, frac @ cell, symbols, (True, True, True), None, comment)


def read_xdatcar(path):
    """Reads every frame of an XDATCAR file into a Trajectory:
    ``scaled_positions`` (F, N, 3) as in the file, ``cells`` (F, 3, 3)."""
    cells, frames = [], []
    symbols, comment = [], ""
    with _open_text(path, "r") as f:
        for k, (cell, frac, symbols_k, comment_k) in enumerate(_xdatcar_frames(_Lines(f, os.fspath(path)))):
            if k == 0:
                symbols, comment = symbols_k, comment_k
            cells.append(cell)
            frames.append(frac)
    n = len(symbols)
    positions = np.stack(frames) if frames else np.zeros((0, n, 3))
    return Trajectory(np.array(cells).reshape(-1, 3, 3), positions, symbols, (True, True, True), comment)


def _xdatcar_frames(lines):
    """Yields (cell, fractional positions, symbols, comment) per frame."""
    path = lines.path
    comment, cell, axis_scale, names, counts = _read_vasp_header(lines, "XDATCAR")
    symbols = _expand(names, counts)
    n = len(symbols)
    frame = 0
    while True:
        if frame == 0:
            line = _need(lines, "a 'Direct configuration=' line")
            if not _FRAME_LINE.match(line):
                raise FormatError(path, lines.lineno, f"expected a 'Direct configuration=' line, got {line.strip()!r}")
        else:
            if lines.at_end():
                return
            if _FRAME_LINE.match(lines.peek()):
                line = lines.next()
            else:
                # A header before this frame: the variable-cell form.
                header_at = lines.lineno + 1
                _, cell, axis_scale, names_k, counts_k = _read_vasp_header(lines, "XDATCAR")
                if _expand(names_k, counts_k) != symbols:
                    raise FormatError(path, header_at, f"the header of frame {frame + 1} lists other atoms "
                                                       f"({' '.join(map(str, counts_k))}) than the first header")
                line = _need(lines, "a 'Direct configuration=' line")
                if not _FRAME_LINE.match(line):
                    raise FormatError(path, lines.lineno,
                                      f"expected a 'Direct configuration=' line, got {line.strip()!r}")
        first = lines.lineno + 1
        block = _take_block(lines, n, f"coordinate lines in frame {frame + 1}")
        values = _parse_coords(block, path, first)
        if _is_cartesian(line):
            values = np.linalg.solve(cell.T, (values * axis_scale).T).T
        frame += 1
        yield cell, values, symbols, comment


def write_xdatcar(path, frames, *, exact=True):
    """Writes a Trajectory, or an iterable of Structures of the same atoms, as
    an XDATCAR file: the fixed-cell form when every frame has the same cell,
    else the variable-cell form with a header before each frame.

    With ``exact`` (the default) coordinates that 8 decimals would not
    reproduce are written with more digits, so that read_xdatcar gives back
    the scaled positions written."""
    if isinstance(frames, Trajectory):
        cells, scaled = frames.cells, frames.scaled_positions
        symbols, comment = frames.symbols, frames.comment
    else:
        frames = list(frames)
        if not frames:
            raise ValueError("an XDATCAR file needs at least one frame")
        symbols, comment = frames[0].symbols, frames[0].comment
        for k, s in enumerate(frames):
            if s.symbols != symbols:
                raise ValueError(f"frame {k + 1} has other atoms than frame 1")
        cells = np.array([s.cell for s in frames])
        scaled = [s.scaled_positions() for s in frames]
    if len(cells) == 0:
        raise ValueError("an XDATCAR file needs at least one frame")
    _check_comment(comment)
    names, counts = _runs(symbols)
    _check_names(names)
    variable = not all(np.array_equal(c, cells[0]) for c in cells)

    def header(cell):
        return [comment, "\n", "           1\n", _format_rows(cell, None, exact),
                " " + " ".join(f"{name:>4}" for name in names) + "\n",
                " " + " ".join(f"{count:>4d}" for count in counts) + "\n"]

    def parts():
        if not variable:
            yield from header(cells[0])
        for k in range(len(cells)):
            if variable:
                yield from header(cells[k])
            yield _format_frame(np.ascontiguousarray(scaled[k], dtype=np.float64), k + 1, exact)

    _atomic_write(path, parts())


def _format_frame(values, index, exact):
    text = _ledgra.format_xdatcar_config_rs(values, index)
    if not exact or len(values) == 0:
        return text
    rows = text.split("\n")[:-1]
    back = _ledgra.parse_xdatcar_coords_rs(rows[1:])
    bad = _inexact_rows(back, values)
    if bad.size == 0:
        return text
    # 16 decimals, then every digit, for the rows that need them.
    wider = _format_rows(values[bad], None, True).split("\n")
    for row, k in zip(wider, bad.tolist()):
        rows[k + 1] = row
    return "\n".join(rows) + "\n"


# ---------------------------------------------------------------------------
# XYZ

_LATTICE = re.compile(r'Lattice="([^"]*)"')
_PBC = re.compile(r'pbc="([^"]*)"', re.IGNORECASE)


def iter_xyz(path):
    """Yields the frames of a (multi-frame) XYZ file as Structures.

    The comment line is kept as it is. When it carries an extended-XYZ
    ``Lattice="..."`` (and ``pbc="T T T"``), the cell and periodicity are taken
    from it; otherwise the cell is zero and nothing is periodic."""
    with _open_text(path, "r") as f:
        yield from _xyz_frames(_Lines(f, os.fspath(path)))


def read_xyz(path):
    """Reads every frame of an XYZ file: a list of Structures."""
    return list(iter_xyz(path))


def _xyz_frames(lines):
    path = lines.path
    frame = 0
    while True:
        if lines.at_end():
            if frame == 0:
                raise FormatError(path, None, "the file is empty: expected an XYZ atom count")
            return
        line = lines.next()
        tokens = line.split()
        if len(tokens) != 1 or not _INT.fullmatch(tokens[0]):
            raise FormatError(path, lines.lineno, f"expected the number of atoms of frame {frame + 1} "
                                                  f"(a whole number alone on its line), got {line.strip()!r}")
        n = int(tokens[0])
        comment = _need(lines, f"the comment line of frame {frame + 1}").rstrip("\r\n")
        comment_no = lines.lineno
        first = lines.lineno + 1
        block = _take_block(lines, n, f"atom lines in frame {frame + 1}")
        try:
            symbols, positions = _ledgra.parse_xyz_block_rs(block)
        except ValueError as e:
            raise _block_error(e, path, first, "xyz") from e
        cell, pbc = _extended_cell(comment, path, comment_no)
        frame += 1
        yield Structure(cell, positions, symbols, pbc, None, comment)


def _extended_cell(comment, path, line):
    m = _LATTICE.search(comment)
    if m is None:
        return np.zeros((3, 3)), (False, False, False)
    values = [_number(t) for t in m.group(1).split()]
    if len(values) != 9 or None in values:
        raise FormatError(path, line, f"expected nine numbers in Lattice=\"...\", got {m.group(1)!r}")
    pbc = (True, True, True)
    p = _PBC.search(comment)
    if p is not None:
        flags = p.group(1).split()
        if len(flags) != 3 or any(f.upper() not in ("T", "F", "TRUE", "FALSE") for f in flags):
            raise FormatError(path, line, f"expected three T/F flags in pbc=\"...\", got {p.group(1)!r}")
        pbc = tuple(f.upper().startswith("T") for f in flags)
    return np.array(values).reshape(3, 3), pbc


def write_xyz(path, frames, *, exact=True):
    """Writes a Structure, a Trajectory or an iterable of Structures as an
    XYZ file, each frame with its atom count and its comment line as given.

    With ``exact`` (the default) coordinates that 15 decimals would not
    reproduce are written with all their digits."""
    if isinstance(frames, Structure):
        frames = [frames]
    frames = list(frames)
    for s in frames:
        _check_comment(s.comment)
        for sym in set(s.symbols):
            if not sym or sym.split() != [sym]:
                raise ValueError(f"symbol {sym!r} cannot be written to an XYZ file: it must be one word")
    if not frames:
        raise ValueError("an XYZ file needs at least one frame")

    def parts():
        for s in frames:
            yield f"{len(s)}\n{s.comment}\n"
            yield _format_xyz(s, exact)

    _atomic_write(path, parts())


def _format_xyz(s, exact):
    positions = np.ascontiguousarray(s.positions, dtype=np.float64)
    text = _ledgra.format_xyz_block_rs(s.symbols, positions)
    if not exact or len(s) == 0:
        return text
    rows = text.split("\n")[:-1]
    _, back = _ledgra.parse_xyz_block_rs(rows)
    bad = _inexact_rows(back, positions)
    if bad.size == 0:
        return text
    for k in bad.tolist():
        rows[k] = f"{s.symbols[k]:<2} " + " ".join(f"{v!r:>22}" for v in positions[k].tolist())
    return "\n".join(rows) + "\n"


# ---------------------------------------------------------------------------
# Any format


def guess_format(path):
    """'poscar', 'xdatcar' or 'xyz', from the file name, else from the first
    lines of the file."""
    by_name = _format_by_name(path)
    if by_name is not None:
        return by_name
    try:
        with _open_text(path, "r") as f:
            head = [f.readline() for _ in range(9)]
    except UnicodeDecodeError as e:
        raise FormatError(path, None, "not UTF-8 text") from e
    first = head[0].split()
    if len(first) == 1 and _INT.fullmatch(first[0]):
        return "xyz"
    if any(_FRAME_LINE.match(line) and "configuration" in line.lower() for line in head[6:9]):
        return "xdatcar"
    if head[0]:
        return "poscar"
    raise FormatError(path, None, "cannot tell the format of an empty file")


def _format_of(path, format):
    if format is None:
        return guess_format(path)
    format = format.lower()
    if format in ("contcar", "vasp"):
        format = "poscar"
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    return format


def iread(path, format=None):
    """Yields every frame of a file of any of the three formats as Structures
    (a POSCAR file has one)."""
    format = _format_of(path, format)
    if format == "poscar":
        yield read_poscar(path)
    elif format == "xdatcar":
        yield from iter_xdatcar(path)
    else:
        yield from iter_xyz(path)


def read(path, format=None, index=0):
    """Reads one frame of a file as a Structure: the first by default,
    ``index=-1`` for the last."""
    if format is None:
        format = guess_format(path)
    if index == 0:
        for s in iread(path, format):
            return s
    frames = list(iread(path, format))
    try:
        return frames[index]
    except IndexError:
        raise IndexError(f"{os.fspath(path)} has {len(frames)} frames, no frame {index}") from None


def write(path, frames, format=None, **options):
    """Writes a Structure (or, for XDATCAR and XYZ, several) in the format
    named by ``format`` or by the file name."""
    format = _format_of(path, format) if format is not None else _format_from_name(path)
    if format == "poscar":
        if not isinstance(frames, Structure):
            frames = list(frames)
            if len(frames) != 1:
                raise ValueError(f"a POSCAR file holds one structure, not {len(frames)}")
            frames = frames[0]
        write_poscar(path, frames, **options)
    elif format == "xdatcar":
        write_xdatcar(path, [frames] if isinstance(frames, Structure) else frames, **options)
    else:
        write_xyz(path, frames, **options)


def _format_by_name(path):
    """The format a file name says (compression suffixes aside), or None."""
    name = os.path.basename(os.fspath(path)).upper()
    for ext in (".GZ", ".BZ2", ".XZ"):
        if name.endswith(ext):
            name = name[: -len(ext)]
    if "XDATCAR" in name:
        return "xdatcar"
    if "POSCAR" in name or "CONTCAR" in name or name.endswith(".VASP"):
        return "poscar"
    if name.endswith((".XYZ", ".EXTXYZ")):
        return "xyz"
    return None


def _format_from_name(path):
    by_name = _format_by_name(path)
    if by_name is not None:
        return by_name
    raise ValueError(f"cannot tell the format from the name {os.fspath(path)!r}: pass format='poscar', "
                     "'xdatcar' or 'xyz'")


# ---------------------------------------------------------------------------
# Writing files


def _atomic_write(path, parts):
    """Writes the texts of parts to path through a temporary file in the same
    folder, renamed into place only when everything has been written."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    os.close(fd)
    try:
        with _open_text(tmp if not _compressed(path) else tmp + _compressed(path), "w") as f:
            for part in parts:
                f.write(part)
        if _compressed(path):
            os.replace(tmp + _compressed(path), tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        for leftover in (tmp, tmp + (_compressed(path) or "")):
            try:
                os.unlink(leftover)
            except OSError:
                pass
        raise


def _compressed(path):
    ext = os.path.splitext(path)[1].lower()
    return ext if ext in (".gz", ".bz2", ".xz") else ""
