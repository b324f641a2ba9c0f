"""Any of the three formats: telling a file's format from its name or its
first lines, and reading or writing through the reader of that format."""

import collections
import operator
import os
import stat

from ._errors import FormatError
from ._fields import INT
from ._files import READ_ERRORS, is_compressed, lenient, open_text, read_error
from ._model import Structure
from ._vasp import FRAME_LINE, iter_xdatcar, read_poscar, write_poscar, write_xdatcar
from ._xyz import iter_xyz, write_xyz

FORMATS = ("poscar", "xdatcar", "xyz")


def guess_format(path):
    """'poscar', 'xdatcar' or 'xyz', from the file name, else from the first
    lines of the file."""
    by_name = _format_by_name(path)
    if by_name is not None:
        return by_name
    try:
        with open_text(path) as f:
            head = [f.readline() for _ in range(_HEAD_LINES)]
    except READ_ERRORS as e:
        error = read_error(e, os.fspath(path))
        if error is None:
            raise
        raise error from e
    head[0] = lenient(os.fspath(path), 1, head[0])
    first = head[0].split()
    if len(first) == 1 and INT.fullmatch(first[0]):
        return "xyz"
    if _is_xdatcar(head):
        return "xdatcar"
    if head[0]:
        return "poscar"
    raise FormatError(path, None, "cannot tell the format of an empty file")


# Lines read to tell a VASP file's kind: the header, with room for species
# names and counts wrapped onto several lines, and the line after it.
_HEAD_LINES = 40


def _is_xdatcar(head):
    """True when the line after a VASP header's atom counts (the species
    names and the counts possibly wrapped) is a "Direct configuration="
    line, or a blank line followed by more (the frames of older VASP 5 runs,
    after blank lines); a POSCAR has its "Selective dynamics", "Direct" or
    "Cartesian" line there."""
    k = 5
    while k < len(head) and head[k].strip() and not _all_counts(head[k]):
        k += 1  # species names
    if k >= len(head) or not _all_counts(head[k]):
        return False
    while k < len(head) and _all_counts(head[k]):
        k += 1  # atom counts
    after = head[k] if k < len(head) else ""
    if FRAME_LINE.match(after):
        return "configuration" in after.lower()
    return after != "" and not after.strip() and any(line.strip() for line in head[k + 1:])


def _all_counts(line):
    tokens = line.split()
    return bool(tokens) and all(INT.fullmatch(t) for t in tokens)


def _format_of(path, format):
    if format is None:
        return guess_format(path)
    format = format.lower()
    if format in ("contcar", "vasp"):
        format = "poscar"
    if format not in FORMATS:
        raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
    return format


def iread(path, format=None, *, strict=False):
    """Yields every frame of a file of any of the three formats as Structures
    (a POSCAR file has one; an XDATCAR file that ends after its header,
    none).

    A trajectory cut short inside a frame (a killed run) yields every whole
    frame before the cut and then warns with a TruncatedTrajectoryWarning
    naming the file and line; with ``strict=True`` the cut is a FormatError
    ("file is truncated: ...") instead, raised once the whole frames before
    it are yielded. A POSCAR file cut short is always an error."""
    format = _format_of(path, format)
    if format == "poscar":
        yield read_poscar(path)
    elif format == "xdatcar":
        yield from iter_xdatcar(path, strict=strict)
    else:
        yield from iter_xyz(path, strict=strict)


def read(path, format=None, index=0):
    """Reads one frame of a file as a Structure: the first by default,
    ``index=-1`` for the last. An index beyond the file's frames is an
    IndexError that says how many frames the file has (an XDATCAR file
    without frames has 0). A file cut short before the frame asked for ends
    is a FormatError, as a single structure cut short is: this reads
    strictly (see iread)."""
    index = operator.index(index)
    s, count = frame_at(path, format, index)
    if s is None:
        raise IndexError(f"frame index {index} asked for, but {os.fspath(path)} has {count} "
                         f"frame{'s' * (count != 1)}")
    return s


def frame_at(path, format, index):
    """(the frame at index, counted from 0 or from -1 for the last, or None
    when there is none; the number of frames in the file, or read).

    A frame of a plain (uncompressed) trajectory file is read alone from its
    offset, after one pass of the frame scanner over the file (which reads
    no number). The first few frames, a POSCAR, a compressed file or one
    that is not a regular file are read in order up to that frame (or
    through the whole file when it is not there), holding at most -index
    frames at a time; so is a file cut short or faulty before its end, so
    that the frames before the fault are read and the error is iread's."""
    format = _format_of(path, format)
    if not 0 <= index < _READ_IN_ORDER and format != "poscar" and _plain_file(path):
        from ._index import build_index, read_frames  # _index builds on this module

        try:
            frame_index = build_index(path, format, strict=True)
        except FormatError:
            frame_index = None
        if frame_index is not None:
            count = len(frame_index)
            if not -count <= index < count:
                return None, count
            frames = read_frames(frame_index, [index])
            try:
                return next(frames), count
            finally:
                frames.close()
    frames = iread(path, format, strict=True)
    try:
        if index >= 0:
            count = 0
            for count, s in enumerate(frames, 1):
                if count == index + 1:
                    return s, count
            return None, count
        last = collections.deque(maxlen=-index)
        count = 0
        for count, s in enumerate(frames, 1):
            last.append(s)
        return (last[0] if count >= -index else None), count
    finally:
        frames.close()


# Frames this near the start are read in order: cheaper than a pass of the
# scanner over a long file.
_READ_IN_ORDER = 16


def _plain_file(path):
    """True for a regular file that is not compressed (by its name)."""
    if is_compressed(path):
        return False
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False


def write(path, frames, format=None, **options):
    """Writes a Structure (or, for XDATCAR and XYZ, several) in the format
    named by ``format`` or by the file name."""
    format = _format_of(path, format) if format is not None else format_from_name(path)
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


# Extensions that name a format. They decide before the names VASP gives its
# files, so that XDATCAR.xyz is an XYZ file. ".vasp" names any VASP file
# (XDATCAR.vasp is a trajectory), so it decides only after those names.
_EXTENSIONS = {".XYZ": "xyz", ".EXTXYZ": "xyz", ".POSCAR": "poscar", ".XDATCAR": "xdatcar"}


def _format_by_name(path):
    """The format a file name says (compression suffixes aside), or None:
    its extension first (.xyz, .extxyz, .poscar, .xdatcar), else XDATCAR,
    POSCAR or CONTCAR in the name, else the extension .vasp."""
    name = os.path.basename(os.fspath(path)).upper()
    for ext in (".GZ", ".BZ2", ".XZ"):
        if name.endswith(ext):
            name = name[: -len(ext)]
    by_extension = _EXTENSIONS.get(os.path.splitext(name)[1])
    if by_extension is not None:
        return by_extension
    if "XDATCAR" in name:
        return "xdatcar"
    if "POSCAR" in name or "CONTCAR" in name or name.endswith(".VASP"):
        return "poscar"
    return None


def format_from_name(path):
    """The format a file name says, or a ValueError that asks for it."""
    by_name = _format_by_name(path)
    if by_name is not None:
        return by_name
    raise ValueError(f"cannot tell the format from the name {os.fspath(path)!r}: pass format='poscar', "
                     "'xdatcar' or 'xyz'")
