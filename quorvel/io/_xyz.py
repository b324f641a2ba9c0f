"""XYZ files: frames of atom lines, simple or extended (the cell,
periodicity, per-frame values and typed per-atom columns of an extended-XYZ
comment line; see _extxyz), read and written."""

from __future__ import annotations

import dataclasses
import re

import numpy as np

from .. import _ledgra, _reader
from ._blocks import exact_rows, read_xyz_atoms
from ._errors import FormatError, cut_short
from ._extxyz import DEFAULT_PROPERTIES, atom_lines, header_text, properties_text, read_columns, read_header
from ._extxyz import named_columns, split_comment
from ._fields import INT, check_comment, number
from ._files import ByteLines, check_count, lenient, need_comment, open_lines, write_text
from ._files import strict as strict_text
from ._model import Structure, same_values

_LATTICE = re.compile(r'Lattice="([^"]*)"')
_PBC = re.compile(r'pbc="([^"]*)"', re.IGNORECASE)


def iter_xyz(path, *, strict=False):
    """Yields the frames of a (multi-frame) XYZ file as Structures.

    The comment line is kept as it is. A comment that splits into
    ``key=value`` pairs (and lone keys) is extended XYZ: ``Lattice="..."``
    gives the cell, ``pbc="T T F"`` the periodicity (without it, periodic
    along all three axes with a Lattice, open without), every other pair a
    typed value in ``info``, and ``Properties=name:type:count:...`` the
    columns of the atom lines, read natively in one pass into ``arrays``
    (species and pos become the symbols and positions; without species,
    an atomic-number column Z gives the symbols). Species are spelled as in
    a simple XYZ file ("fe" is "Fe"). Any other comment is plain: its
    ``Lattice="..."`` and ``pbc="..."``, if any, give the cell and
    periodicity as they always did, and info and arrays are empty. A frame
    without Properties reads its atom lines as a simple XYZ frame does.

    A file cut short inside a frame (a killed run) yields every whole frame
    before the cut, then warns with a TruncatedTrajectoryWarning naming the
    file and line; with ``strict`` the cut is a FormatError instead. A file
    cut short in its first frame is a FormatError either way: it holds no
    frame at all."""
    with open_lines(path) as lines:
        yield from _xyz_frames(lines, strict)


def read_xyz(path, *, strict=False):
    """Reads every frame of an XYZ file: a list of Structures (see iter_xyz
    for a file cut short and ``strict``)."""
    return list(iter_xyz(path, strict=strict))


def _xyz_frames(lines, strict=False, frame=0):
    """Yields the Structures of lines from frame number `frame` on (lines
    at its start)."""
    # Frames come straight from a whole file's bytes (_scanned_frames) up to
    # the first that those do not read; that one is read line by line (its
    # error named there), and the bytes are tried again only after frames
    # they read.
    fast = True
    while True:
        if lines.at_end():
            if frame == 0:
                raise FormatError(lines.path, None, "the file is empty: expected an XYZ atom count")
            return
        if fast and isinstance(lines, ByteLines) and lines.complete:
            fast = False
            for parts in _scanned_frames(lines):
                frame += 1
                fast = True
                yield xyz_structure(lines.path, *parts)
            if fast:
                continue
        try:
            parts = xyz_frame(lines, frame)
        except FormatError as e:
            # A file without one whole frame holds nothing to read, cut or
            # not: an error, as an empty file is.
            cut_short(e, lines, frame, strict or frame == 0)
            return
        frame += 1
        yield xyz_structure(lines.path, *parts)


def xyz_frame(lines, frame):
    """Reads frame number `frame` (counted from 0) from lines, at its count
    line: (comment, its line number, its extended-XYZ header or None,
    symbols, positions, arrays), or the frame's FormatError."""
    path = lines.path
    line = lines.next()
    strict_text(path, lines.lineno, line)
    tokens = line.split()
    if len(tokens) != 1 or not INT.fullmatch(tokens[0]):
        raise FormatError(path, lines.lineno, f"expected the number of atoms of frame {frame + 1} "
                                              f"(a whole number alone on its line), got {line.strip()!r}")
    n = int(tokens[0])
    count_no = lines.lineno
    comment = need_comment(lines, f"the comment line of frame {frame + 1}")
    comment_no = lines.lineno
    check_count(lines, n, count_no)
    pairs = split_comment(comment)
    header = None if pairs is None else read_header(pairs, path, comment_no)
    what = f"atom lines in frame {frame + 1}"
    if header is not None and header.properties is not None:
        symbols, positions, arrays = read_columns(lines, n, header.properties, what, comment_no)
    else:
        symbols, positions = read_xyz_atoms(lines, n, what)
        arrays = {}
    return comment, comment_no, header, symbols, positions, arrays


def _scanned_frames(lines):
    """Yields the parts (as xyz_frame gives them) of the frames from lines'
    position on, found by the native scanner and read straight from the
    file's bytes, as long as each reads without a fault exactly as
    xyz_frame reads it; lines stays at the start of the first frame that
    does not (a fault, a line the scanner leaves alone, the end), for
    xyz_frame to read or refuse with its error."""
    data = lines.data
    path = lines.path
    if _reader.find_lone_cr(data, lines.pos) >= 0:
        return  # the lines go on as a stream there
    starts, blocks, atoms, start_lines, block_lines, _, _, _, _ = _reader.scan_xyz(data, lines.pos, lines.lineno + 1)
    starts = starts.tolist()
    blocks = blocks.tolist()
    atoms = atoms.tolist()
    start_lines = start_lines.tolist()
    block_lines = block_lines.tolist()
    for k, begin in enumerate(starts):
        at = blocks[k]
        n = atoms[k]
        count_end = data.find(b"\n", begin, at)
        try:
            count = data[begin:count_end].decode("utf-8")
            comment_no = block_lines[k] - 1
            tokens = count.split()
            if count_end < 0 or len(tokens) != 1 or not INT.fullmatch(tokens[0]) or int(tokens[0]) != n:
                return
            comment = data[count_end + 1:at - 1].decode("utf-8", "surrogateescape").rstrip("\r")
            comment = lenient(path, comment_no, comment)
            check_count(lines, n, start_lines[k])
            pairs = split_comment(comment)
            header = None if pairs is None else read_header(pairs, path, comment_no)
            if header is not None and header.properties is not None:
                _, columns = _reader.parse_columns(data, at, n, header.properties, "species")
                symbols, positions, arrays = named_columns(columns, n, header.properties, path, comment_no)
            else:
                symbols, positions, _ = _reader.parse_xyz_block(data, at, n)
                arrays = {}
        except (FormatError, ValueError, UnicodeDecodeError):
            return
        if k + 1 < len(starts):
            lines.seek(starts[k + 1], start_lines[k + 1] - 1)
        else:
            lines.seek(_reader.skip_lines(data, at, n)[0], comment_no + n)
        lines.release()
        yield comment, comment_no, header, symbols, positions, arrays


def xyz_structure(path, comment, comment_no, header, symbols, positions, arrays):
    """The Structure of a frame read by xyz_frame: its cell, periodicity and
    info from an extended-XYZ comment."""
    if header is None:
        cell, pbc = _extended_cell(comment, path, comment_no)
        return Structure(cell, positions, symbols, pbc, None, comment)
    cell = header.cell if header.cell is not None else np.zeros((3, 3))
    pbc = header.pbc if header.pbc is not None else (header.cell is not None,) * 3
    return Structure._checked(cell, positions, symbols, pbc, comment, header.info, arrays)


def _extended_cell(comment, path, line):
    m = _LATTICE.search(comment)
    if m is None:
        return np.zeros((3, 3)), (False, False, False)
    values = [number(t) for t in m.group(1).split()]
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


# Cell keys of an extended-XYZ comment, as a writer replaces them: any case,
# starting a word, with their quoted value and the blanks before it.
_CELL_KEYS = re.compile(r'(?:^|\s+)(?i:lattice|pbc)="[^"]*"')


def with_lattice_comment(s):
    """s with its cell and periodicity in an extended-XYZ ``Lattice="..."
    pbc="..."`` comment ahead of the rest of its comment, so that an XYZ file
    keeps them (every number written so that it reads back exactly). Lattice
    and pbc keys already in the comment are dropped, so that a stale one
    never stands for the structure's cell; a structure without a cell (all
    zero) keeps no such keys."""
    if not _CELL_KEYS.search(s.comment) and not s.cell.any():
        return s
    rest = _CELL_KEYS.sub("", s.comment).lstrip()
    if not s.cell.any():
        return dataclasses.replace(s, comment=rest)
    lattice = " ".join(repr(v) for v in s.cell.ravel().tolist())
    pbc = " ".join("T" if p else "F" for p in s.pbc)
    comment = f'Lattice="{lattice}" pbc="{pbc}"' + (f" {rest}" if rest else "")
    return dataclasses.replace(s, comment=comment)


def write_xyz(path, frames, *, exact=True):
    """Writes a Structure, a Trajectory or an iterable of Structures as an
    XYZ file, each frame with its atom count and its comment line.

    A frame without info or arrays is written as before: a frame with a cell
    (not all zero) gets it as an extended-XYZ ``Lattice="..." pbc="..."`` at
    the head of its comment, so that reading the file gives back the same
    cell and periodicity; Lattice and pbc keys already in the comment are
    replaced by these (see with_lattice_comment). The rest of the comment is
    written as given.

    A frame with info or arrays is written as extended XYZ: its comment line
    holds Lattice and pbc (pbc also without a cell when any axis is
    periodic), ``Properties=species:S:1:pos:R:3:...`` naming each array
    (R float64, I int64, L bool, S str; count 1 for shape (N,), else
    shape[1]) when it has arrays, and each info value (an int, a real, a
    logical T or F, a string, quoted when it is not one word, with a
    backslash before each quote and backslash, or a 1-D array of at least
    two numbers or logicals, quoted). When the frame's own comment is an
    extended line that already says exactly this (a frame read from a file
    and not changed), it is kept as it stands; otherwise the line is made
    anew, and a free-text comment is kept as ``comment="..."``. An info
    value that would not read back as the same type and value (a string
    that reads as a number, an array of one item, a 2-D array) is a
    ValueError naming its key.

    Species are written as given. Reading normalises them as the simple XYZ
    parser does ("fe" and "FE" are "Fe"), with or without Properties, so
    that a file reads the same whether or not its comment line is extended
    and every format spells an element alike (pair cutoffs, conversion to
    POSCAR); what a reader gives is already normalised, so such frames read
    back equal.

    With ``exact`` (the default) every real (positions, cell, info and
    arrays) is written so that it reads back bit for bit: coordinates and
    array values as 22.15f fields where those digits do, else with the
    shortest digits that do. A frame read back equals the one written,
    info and arrays included, apart from the comment line of a frame whose
    line was made anew (it is then that line)."""
    if isinstance(frames, Structure):
        frames = [frames]
    frames = [_writable(s) for s in frames]
    for s, comment, _ in frames:
        check_comment(comment)
        for sym in set(s.symbols):
            if not sym or sym.split() != [sym]:
                raise ValueError(f"symbol {sym!r} cannot be written to an XYZ file: it must be one word")
    if not frames:
        raise ValueError("an XYZ file needs at least one frame")

    def parts():
        for s, comment, extended in frames:
            yield f"{len(s)}\n{comment}\n"
            yield atom_lines(s, exact) if extended and s.arrays else _atom_lines(s, exact)

    write_text(path, parts())


def _writable(s):
    """(s, the comment line to write for it, whether it is extended XYZ)."""
    if not s.info and not s.arrays:
        return s, with_lattice_comment(s).comment, False
    plain = ""
    own = split_comment(s.comment)
    if own is not None:
        if _says(own, s):
            return s, s.comment, True
        kept = with_lattice_comment(s).comment
        pairs = split_comment(kept)
        if pairs is not None and _says(pairs, s):
            return s, kept, True
    else:
        plain = _CELL_KEYS.sub("", s.comment).strip()
    return s, header_text(s, plain), True


def _says(pairs, s):
    """Whether an extended comment's pairs read back as s's cell, pbc, info
    and columns."""
    try:
        h = read_header(pairs, "", None)
    except FormatError:
        return False
    cell = h.cell if h.cell is not None else np.zeros((3, 3))
    pbc = h.pbc if h.pbc is not None else (h.cell is not None,) * 3
    try:
        columns = properties_text(s)
    except ValueError:
        return False
    return (cell.tobytes() == s.cell.tobytes() and pbc == s.pbc
            and (h.properties or DEFAULT_PROPERTIES) == columns
            and same_values(h.info, s.info))


def _atom_lines(s, exact):
    positions = np.ascontiguousarray(s.positions, dtype=np.float64)
    text = _ledgra.format_xyz_block_rs(s.symbols, positions)
    if not exact:
        return text

    def rewrite(bad):
        for k in bad.tolist():
            yield f"{s.symbols[k]:<2} " + " ".join(f"{v!r:>22}" for v in positions[k].tolist())

    return exact_rows(text, positions, lambda rows: _ledgra.parse_xyz_block_rs(rows)[1], rewrite)
