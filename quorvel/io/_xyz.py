"""XYZ files: frames of atom lines, with the cell and periodicity of an
extended-XYZ comment line, read and written."""

from __future__ import annotations

import dataclasses
import re

import numpy as np

from .. import _ledgra
from ._blocks import exact_rows, read_xyz_atoms
from ._errors import FormatError, cut_short
from ._fields import INT, check_comment, number
from ._files import check_count, need_comment, open_lines, write_text
from ._files import strict as strict_text
from ._model import Structure

_LATTICE = re.compile(r'Lattice="([^"]*)"')
_PBC = re.compile(r'pbc="([^"]*)"', re.IGNORECASE)


def iter_xyz(path, *, strict=False):
    """Yields the frames of a (multi-frame) XYZ file as Structures.

    The comment line is kept as it is. When it carries an extended-XYZ
    ``Lattice="..."`` (and ``pbc="T T T"``), the cell and periodicity are taken
    from it; otherwise the cell is zero and nothing is periodic.

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
    while True:
        if lines.at_end():
            if frame == 0:
                raise FormatError(lines.path, None, "the file is empty: expected an XYZ atom count")
            return
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
    line: (comment, its line number, symbols, positions), or the frame's
    FormatError."""
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
    symbols, positions = read_xyz_atoms(lines, n, f"atom lines in frame {frame + 1}")
    return comment, comment_no, symbols, positions


def xyz_structure(path, comment, comment_no, symbols, positions):
    """The Structure of a frame read by xyz_frame, its cell and periodicity
    from an extended-XYZ comment."""
    cell, pbc = _extended_cell(comment, path, comment_no)
    return Structure(cell, positions, symbols, pbc, None, comment)


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

    A frame with a cell (not all zero) gets it as an extended-XYZ
    ``Lattice="..." pbc="..."`` at the head of its comment, so that reading
    the file gives back the same cell and periodicity; Lattice and pbc keys
    already in the comment are replaced by these (see with_lattice_comment).
    The rest of the comment is written as given.

    With ``exact`` (the default) coordinates that 15 decimals would not
    reproduce are written with all their digits."""
    if isinstance(frames, Structure):
        frames = [frames]
    frames = [with_lattice_comment(s) for s in frames]
    for s in frames:
        check_comment(s.comment)
        for sym in set(s.symbols):
            if not sym or sym.split() != [sym]:
                raise ValueError(f"symbol {sym!r} cannot be written to an XYZ file: it must be one word")
    if not frames:
        raise ValueError("an XYZ file needs at least one frame")

    def parts():
        for s in frames:
            yield f"{len(s)}\n{s.comment}\n"
            yield _atom_lines(s, exact)

    write_text(path, parts())


def _atom_lines(s, exact):
    positions = np.ascontiguousarray(s.positions, dtype=np.float64)
    text = _ledgra.format_xyz_block_rs(s.symbols, positions)
    if not exact:
        return text

    def rewrite(bad):
        for k in bad.tolist():
            yield f"{s.symbols[k]:<2} " + " ".join(f"{v!r:>22}" for v in positions[k].tolist())

    return exact_rows(text, positions, lambda rows: _ledgra.parse_xyz_block_rs(rows)[1], rewrite)
