"""VASP files: the POSCAR/CONTCAR and XDATCAR headers, POSCAR structures and
XDATCAR trajectories, read and written."""

from __future__ import annotations

import collections
import os
import re

import numpy as np

from .. import _ledgra, _reader
from .._elements import element_of
from ._blocks import exact_rows, parse_coords, parse_positions, read_coords, read_positions, species
from ._errors import FormatError, cut_short
from ._fields import INT, check_comment, number
from ._files import ByteLines, check_count, need, need_comment, open_lines, take_block, write_text
from ._model import Structure, Trajectory

FRAME_LINE = re.compile(r"\s*(?:direct|cartesian)\b", re.IGNORECASE)


# ---------------------------------------------------------------------------
# Headers

Header = collections.namedtuple("Header", "comment cell axis_scale names counts counts_line named")


def _read_header(lines, fmt, comment=None):
    """Reads comment, scale, lattice, species names and counts. Returns a
    Header (comment, cell, axis_scale, names, counts, counts_line, named): cell
    already scaled, axis_scale the (3,) factors that Cartesian positions are
    multiplied by, counts_line the file line of the (first) counts, named
    whether the file has species names (else they come from the comment).
    Names and counts may each be wrapped onto several lines. Species names
    are spelled as the XYZ reader spells them, without the hash of a
    POTCAR label (see _potcar_name). comment: the comment line when it has
    been read already (lines then start at the scale factor)."""
    path = lines.path
    if comment is None:
        comment = need_comment(lines, f"the comment line of the {fmt} header")

    scale_line = need(lines, "the scale factor")
    scale_no = lines.lineno
    values = []
    for token in scale_line.split():
        v = number(token)
        if v is None:
            break
        values.append(v)
    if len(values) not in (1, 3):
        # VASP reads one number (the universal factor) or three (one per axis).
        got = f"{len(values)} numbers: " if values else ""
        raise FormatError(path, scale_no, f"expected the scale factor (one number, or three), "
                                          f"got {got}{scale_line.strip()!r}")
    scale = values
    if not all(np.isfinite(scale)) or (len(scale) == 1 and scale[0] == 0):
        raise FormatError(path, scale_no, f"expected a finite, non-zero scale factor, got {scale_line.strip()!r}")
    if len(scale) == 3 and min(scale) <= 0:
        raise FormatError(path, scale_no, "expected three positive per-axis scale factors")

    lattice_block = take_block(lines, 3, "lattice vector lines")
    lattice = parse_coords(lattice_block, path, lines.lineno - 2, "lattice")
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

    line = need(lines, "the species names or the atom counts")
    tokens = line.split()
    if not tokens:
        raise FormatError(path, lines.lineno, "expected the species names or the atom counts, got an empty line")
    names = None
    if not _starts_with_number(line):
        # Species names, wrapped onto as many lines as it takes: every line
        # up to the first that starts with a number. VASP wraps the names it
        # has from its POTCAR, so a further line of names holds element
        # symbols or POTCAR labels only; another line stands where the
        # counts should.
        names = tokens
        line = need(lines, "the atom counts")
        tokens = line.split()
        while tokens and not _starts_with_number(line) and all(element_of(t) for t in tokens):
            names += tokens
            line = need(lines, "the atom counts")
            tokens = line.split()
    counts_no = lines.lineno
    counts = _counts(line, path, counts_no)
    named = names is not None
    if names is None:
        names = _names_from_comment(comment, len(counts))
    else:
        # Counts wrapped like the names: lines of counts until there is one
        # per name.
        while len(counts) < len(names) and _counts_line(lines.peek()):
            line = need(lines, "the atom counts")
            counts += _counts(line, path, lines.lineno)
        if len(names) != len(counts):
            raise FormatError(path, lines.lineno, f"expected one atom count per species name "
                                                  f"({len(names)} names, {len(counts)} counts)")
        names = _species_names(names)
    return Header(comment, cell, axis_scale, names, counts, counts_no, named)


def _scale_like(line):
    """Whether line holds a scale factor alone: one number, or three."""
    tokens = line.split()
    return len(tokens) in (1, 3) and all(number(t) is not None for t in tokens)


def _starts_with_number(line):
    c = line.lstrip()[:1]
    return c.isdigit() or c in "+-."


def _counts_line(line):
    """True when line holds nothing but whole numbers (more atom counts)."""
    tokens = line.split() if line is not None else None
    return bool(tokens) and all(INT.fullmatch(t) for t in tokens)


def _counts(line, path, lineno):
    counts = []
    for token in line.split():
        if not INT.fullmatch(token):
            break
        counts.append(int(token))
    if not counts:
        raise FormatError(path, lineno, f"expected the atom counts (whole numbers), got {line.strip()!r}")
    return counts


def _species_names(names):
    """Species names as every format spells them (see species), a POTCAR
    label's variant after "_" kept as written ("fe_sv_GW" is "Fe_sv_GW")
    and its hash dropped (see _potcar_name)."""
    heads, tails = [], []
    for name in names:
        name = _potcar_name(name)
        head, sep, tail = name.partition("_")
        if not head:
            head, sep, tail = name, "", ""
        heads.append(head)
        tails.append(sep + tail)
    return [head + tail for head, tail in zip(species(heads), tails)]


def _potcar_name(name):
    """A species name of the species line without the hash VASP 6.4.2 and
    later write after its POTCAR name ("Cd/1f9b3e8c" is "Cd"). The POTCAR
    name itself is kept as written ("Fe_pv" stays "Fe_pv"): it is what the
    run used, it tells apart blocks of one element given different
    potentials, and it reads back from a written file; what looks up
    element data takes it for its element (quorvel._elements.element_of)."""
    head, slash, _ = name.partition("/")
    return head if slash and head else name


def _names_from_comment(comment, k):
    """Species names of an old-format file: the comment's first k words when
    they are all element symbols, else the placeholders X1, X2, ..."""
    words = comment.split()[:k]
    if len(words) == k and all(element_of(w) is not None for w in words):
        return _species_names(words)
    return [f"X{n + 1}" for n in range(k)]


def _names_from_labels(block, selective, counts):
    """Species names of an old-format file from the element labels that end
    its atom lines ("0.0 0.0 0.0 Fe", "0 0 0 T T F Fe"), or None unless
    every atom of each count block carries the same label and it names an
    element (an element symbol or a POTCAR label, in any case)."""
    column = 6 if selective else 3
    names = []
    start = 0
    for count in counts:
        label = None
        for line in block[start:start + count]:
            fields = line.split()
            if len(fields) <= column or (label is not None and fields[column] != label):
                return None
            label = fields[column]
        if label is None:
            return None
        names.append(label)
        start += count
    names = _species_names(names)
    return names if all(element_of(name) for name in names) else None


def _expand(names, counts):
    symbols = []
    for name, count in zip(names, counts):
        symbols.extend([name] * count)
    return symbols


def _is_cartesian(line):
    c = line.lstrip()[:1]
    return c in ("C", "c", "K", "k")


def _header_lines(comment, scale, cell, names, counts, exact):
    return [comment, "\n", scale, _rows(cell, None, exact),
            " " + " ".join(f"{name:>4}" for name in names) + "\n",
            " " + " ".join(f"{count:>4d}" for count in counts) + "\n"]


def _check_cell(cell, path, kind, frame=None):
    """Refuses, before anything is written, a cell that a VASP file cannot
    hold or that its reader would refuse: a non-finite entry, or lattice
    vectors that span no volume."""
    what = f"{os.fspath(path)}: cannot write " + (f"frame {frame} as {kind}" if frame else f"a {kind} file")
    bad = np.flatnonzero(~np.isfinite(cell).all(axis=1))
    if bad.size:
        row = " ".join(repr(v) for v in cell[bad[0]].tolist())
        raise ValueError(f"{what}: lattice vector {bad[0] + 1} is not finite ({row})")
    if np.linalg.det(cell) == 0:
        raise ValueError(f"{what}: the cell is singular (its lattice vectors span no volume)")


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
        if not name or name.split() != [name] or INT.fullmatch(name):
            raise ValueError(f"species name {name!r} cannot be written: it must be one word, not a number")


def _rows(values, fixed, exact):
    """POSCAR rows (also lattice vectors and XDATCAR rows that need more
    digits); with exact, rows the 19.16f fields would not reproduce are
    written with Python's shortest exact repr."""
    text = _ledgra.format_poscar_positions_rs(values, fixed)
    if not exact:
        return text

    def rewrite(bad):
        for k in bad.tolist():
            row = " " + " ".join(f"{v!r:>19}" for v in values[k].tolist())
            if fixed is not None:
                row += "".join("   F" if f else "   T" for f in fixed[k].tolist())
            yield row

    return exact_rows(text, values, _ledgra.parse_xdatcar_coords_rs, rewrite)


# ---------------------------------------------------------------------------
# POSCAR / CONTCAR


def read_poscar(path):
    """Reads a POSCAR or CONTCAR file into a Structure (Cartesian positions).

    Accepts the current format (species names on line 6, and the counts
    after them, each wrapped onto several lines or not; a POTCAR label's
    hash as VASP 6.4.2 writes it, "Cd/1f9b3e8c", is dropped) and the old
    one (none; names come from the element labels that end the atom lines
    when each count block's atoms carry one, else from the comment line
    when it starts with element symbols, else X1, X2, ...), one, three or a
    negative (volume) scale factor, an optional
    "Selective dynamics" line and Direct or Cartesian coordinates. Anything
    after the position block (velocities, predictor-corrector data) is ignored.
    """
    with open_lines(path) as lines:
        return _read_poscar_lines(lines)


def _read_poscar_lines(lines):
    path = lines.path
    comment, cell, axis_scale, names, counts, counts_no, named = _read_header(lines, "POSCAR")
    n = sum(counts)
    line = need_comment(lines, "the 'Selective dynamics' or 'Direct'/'Cartesian' line")
    selective = line.lstrip()[:1] in ("S", "s")
    if selective:
        line = need_comment(lines, "the 'Direct' or 'Cartesian' line")
    cartesian = _is_cartesian(line)
    check_count(lines, n, counts_no)
    if named:
        values, fixed, _ = read_positions(lines, n, selective, "atom lines")
    else:
        # The species may come from labels at the ends of the atom lines.
        first = lines.lineno + 1
        block = take_block(lines, n, "atom lines")
        values, fixed = parse_positions(block, selective, path, first)
        names = _names_from_labels(block, selective, counts) or names
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

    A cell with a non-finite entry or without volume is refused (ValueError)
    and nothing is written.
    """
    s = structure
    check_comment(s.comment)
    _check_cell(s.cell, path, "POSCAR")
    names, counts = _runs(s.symbols)
    _check_names(names)
    parts = _header_lines(s.comment, "   1.0000000000000000\n", s.cell, names, counts, exact)
    if s.fixed is not None:
        parts.append("Selective dynamics\n")
    if direct:
        parts.append("Direct\n")
        values = s.scaled_positions()
    else:
        parts.append("Cartesian\n")
        values = s.positions
    parts.append(_rows(np.ascontiguousarray(values, dtype=np.float64), s.fixed, exact))
    write_text(path, parts)


# ---------------------------------------------------------------------------
# XDATCAR


def iter_xdatcar(path, *, strict=False):
    """Yields the frames of an XDATCAR file one by one, as Structures.

    Reads the fixed-cell form (one header, then frames, each after a
    "Direct configuration=" line or, as older VASP 5 wrote, after blank
    lines) and the variable-cell form (a header before every frame) in
    bounded memory. A file that ends after its header (a run stopped before
    its first frame) has no frames. A file cut short inside a frame (a
    killed run) yields every whole frame before the cut, then warns with a
    TruncatedTrajectoryWarning naming the file and line; with ``strict``
    the cut is a FormatError instead."""
    with open_lines(path) as lines:
        for cell, frac, symbols, comment in _xdatcar_frames(lines, strict):
            yield Structure(cell, frac @ cell, symbols, (True, True, True), None, comment)


def read_xdatcar(path, *, strict=False):
    """Reads every frame of an XDATCAR file into a Trajectory:
    ``scaled_positions`` (F, N, 3) as in the file, ``cells`` (F, 3, 3).
    A file without frames gives a Trajectory of none (F = 0) with the
    header's atoms; a file cut short inside a frame, the whole frames
    before it and a warning (see iter_xdatcar, also for ``strict``)."""
    cells, frames = [], []
    header = {}
    with open_lines(path) as lines:
        st = xdatcar_start(lines)
        if isinstance(lines, ByteLines) and lines.complete:
            _whole_frames(lines, st, cells, frames)
        for cell, frac, _, _ in _xdatcar_frames(lines, strict, header, state=st):
            cells.append(cell[None])
            frames.append(frac[None])
    symbols = header["symbols"]
    positions = np.concatenate(frames) if frames else np.zeros((0, len(symbols), 3))
    cells = np.concatenate(cells) if cells else np.zeros((0, 3, 3))
    return Trajectory(cells, positions, symbols, (True, True, True), header["comment"])


def _whole_frames(lines, st, cells, frames):
    """Reads the fixed-cell frames that the native scanner finds from
    lines' position (after the first header) in one native call, appends
    their cells and positions as arrays and moves lines after them; the
    frames after (a variable-cell header, a frame cut short, a line the
    scanner leaves to the reader) are left to xdatcar_frame. Nothing is
    read when a block fails: the frames are then read one by one, so that
    the error names its line."""
    starts, blocks, _, start_lines, _, kinds, stop, stop_line, _ = _reader.scan_xdatcar(
        lines.data, lines.pos, lines.lineno + 1, st.n)
    variable = np.flatnonzero(kinds == 3)
    if variable.size:
        # Up to the first frame with a header of its own (blank lines before
        # it do not change how it reads).
        v = variable[0]
        blocks, kinds = blocks[:v], kinds[:v]
        stop, stop_line = int(starts[v]), int(start_lines[v])
    if not len(blocks):
        return
    try:
        frac = _reader.parse_xdatcar_frames(lines.data, blocks, st.n)
    except ValueError:
        return
    for k in np.flatnonzero(kinds == 1).tolist():
        frac[k] = np.linalg.solve(st.cell.T, (frac[k] * st.axis_scale).T).T
    st.frame = len(blocks)
    st.symbols = _expand(st.names, st.counts)
    st.blank_separated = bool((kinds == 2).any())
    lines.seek(stop, stop_line - 1)
    cells.append(np.repeat(st.cell[None], len(blocks), axis=0))
    frames.append(frac)


# The most atoms the header of a file without frames may announce: its
# symbols are spelled out with no atom line to vouch for the count.
_MOST_ATOMS_WITHOUT_FRAMES = 10_000_000


class XdatcarState:
    """What reading the next XDATCAR frame needs from the header and the
    frames before it: the header's comment, cell, axis scale, names and
    counts (the latest variable-cell header's cell, scale and count line),
    the atom count n, the symbols (None until a frame is read), how many
    frames were read and whether they came after blank lines."""

    __slots__ = ("comment", "cell", "axis_scale", "names", "counts", "counts_no", "n", "symbols", "frame",
                 "blank_separated")

    def __init__(self, comment, cell, axis_scale, names, counts, counts_no):
        self.comment, self.cell, self.axis_scale = comment, cell, axis_scale
        self.names, self.counts, self.counts_no = names, counts, counts_no
        self.n = sum(counts)
        self.symbols = None
        self.frame = 0
        self.blank_separated = False


def xdatcar_start(lines):
    """The state after the first header, read from lines."""
    comment, cell, axis_scale, names, counts, counts_no, _ = _read_header(lines, "XDATCAR")
    return XdatcarState(comment, cell, axis_scale, names, counts, counts_no)


def xdatcar_frame(lines, st, after_blank=False):
    """Reads the next frame of lines: (cell, fractional positions), or None
    when only blank lines are left; raises the frame's FormatError.
    after_blank: blank lines came just before lines' position."""
    path = lines.path
    skipped = lines.skip_blank() or after_blank
    if lines.peek() is None:
        return None
    if FRAME_LINE.match(lines.peek()):
        line = need_comment(lines, "a 'Direct configuration=' line")
    elif st.frame == 0 and skipped:
        st.blank_separated = True
        line = "Direct"
    elif st.blank_separated and skipped:
        line = "Direct"
    elif st.frame == 0:
        line = need_comment(lines, "a 'Direct configuration=' line")
        raise FormatError(path, lines.lineno, f"expected a 'Direct configuration=' line, got {line.strip()!r}")
    else:
        # A header before this frame: the variable-cell form. When blank
        # lines were skipped and a scale factor follows, the last of them
        # was the header's comment line (an empty comment, as written for a
        # structure without one).
        header_at = lines.lineno + 1
        comment = None
        if skipped and _scale_like(lines.peek()):
            comment, header_at = "", lines.lineno
        _, st.cell, st.axis_scale, names_k, counts_k, st.counts_no, _ = _read_header(lines, "XDATCAR", comment)
        if sum(counts_k) != st.n or _expand(names_k, counts_k) != st.symbols:
            raise FormatError(path, header_at, f"the header of frame {st.frame + 1} lists other atoms "
                                               f"({' '.join(map(str, counts_k))}) than the first header")
        line = need_comment(lines, "a 'Direct configuration=' line")
        if not FRAME_LINE.match(line):
            raise FormatError(path, lines.lineno,
                              f"expected a 'Direct configuration=' line, got {line.strip()!r}")
    check_count(lines, st.n, st.counts_no)
    values = read_coords(lines, st.n, f"coordinate lines in frame {st.frame + 1}")
    if st.symbols is None:
        st.symbols = _expand(st.names, st.counts)
    if _is_cartesian(line):
        values = np.linalg.solve(st.cell.T, (values * st.axis_scale).T).T
    st.frame += 1
    return st.cell, values


def _xdatcar_frames(lines, strict=False, header=None, state=None):
    """Yields (cell, fractional positions, symbols, comment) per frame; a cut
    inside a frame ends the frames with a warning (see cut_short). header,
    a dict, gets the symbols and comment of the first header once the
    frames are read. state: go on from there (lines at a frame's start)
    instead of reading the first header."""
    path = lines.path
    st = xdatcar_start(lines) if state is None else state
    while True:
        try:
            got = xdatcar_frame(lines, st)
        except FormatError as e:
            cut_short(e, lines, st.frame, strict)
            break
        if got is None:
            break
        yield got[0], got[1], st.symbols, st.comment
    if header is not None:
        symbols = st.symbols
        if symbols is None:
            if st.n > _MOST_ATOMS_WITHOUT_FRAMES:
                raise FormatError(path, st.counts_no, f"{st.n} atoms and no frame: the count is wrong")
            symbols = _expand(st.names, st.counts)
        header.update(symbols=symbols, comment=st.comment)


def write_xdatcar(path, frames, *, exact=True):
    """Writes a Trajectory, or an iterable of Structures of the same atoms, as
    an XDATCAR file: the fixed-cell form when every frame has the same cell,
    else the variable-cell form with a header before each frame.

    With ``exact`` (the default) coordinates that 8 decimals would not
    reproduce are written with more digits, so that read_xdatcar gives back
    the scaled positions written. A frame whose cell has a non-finite entry
    or no volume is refused (ValueError) and nothing is written."""
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
            _check_cell(s.cell, path, "XDATCAR", k + 1)
        cells = np.array([s.cell for s in frames])
        scaled = [s.scaled_positions() for s in frames]
    if len(cells) == 0:
        raise ValueError("an XDATCAR file needs at least one frame")
    if isinstance(frames, Trajectory):
        for k, cell in enumerate(cells):
            _check_cell(cell, path, "XDATCAR", k + 1)
    check_comment(comment)
    names, counts = _runs(symbols)
    _check_names(names)
    variable = not all(np.array_equal(c, cells[0]) for c in cells)

    def header(cell):
        return _header_lines(comment, "           1\n", cell, names, counts, exact)

    def parts():
        if not variable:
            yield from header(cells[0])
        for k in range(len(cells)):
            if variable:
                yield from header(cells[k])
            yield _frame(np.ascontiguousarray(scaled[k], dtype=np.float64), k + 1, exact)

    write_text(path, parts())


def _frame(values, index, exact):
    """One XDATCAR frame: its configuration line and 8-decimal rows; with
    exact, rows that 8 decimals would not reproduce get POSCAR's 16, then
    every digit."""
    text = _ledgra.format_xdatcar_config_rs(values, index)
    if not exact:
        return text
    return exact_rows(text, values, _ledgra.parse_xdatcar_coords_rs,
                      lambda bad: _rows(values[bad], None, True).split("\n"), skip=1)
