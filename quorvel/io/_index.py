"""Where each frame of a trajectory file starts, and reading frames by number.

A FrameIndex is small and picklable: it holds the file's path, format and
identity (size and modification time), the byte offset and line number
where each frame starts, and what the format needs to read frame k alone
(an XDATCAR file's first header). Frames (the lazy sequence) and the process
and Dask shards are built on build_index and read_frames only.

build_index finds the frames with the native scanner of quorvel._reader,
which reads no number; a line it does not judge (and a frame cut short)
is read by the readers themselves, so that the frames counted, the
warnings and the errors are those of iread. read_frames memory-maps the
file and reads each frame from its offset. A compressed file is indexed in
one pass over its decompressed stream; reading frame k of it decompresses
it from the start up to that frame.
"""

import dataclasses
import mmap
import os
import stat

import numpy as np

from .. import _reader
from ._dispatch import _format_of
from ._errors import FormatError, cut_short
from ._files import _COMPRESSORS, ByteLines, open_lines
from ._model import Structure
from ._vasp import (FRAME_LINE, XdatcarState, _expand, _is_cartesian, _read_header, _scale_like, read_poscar,
                    xdatcar_frame, xdatcar_start)
from ._xyz import xyz_frame, xyz_structure

# Frame kinds, as quorvel._reader's scanner gives them.
_DIRECT, _CARTESIAN, _BLANK, _HEADER, _XYZ = range(5)
# Why the scanner stopped.
_END, _CUT, _UNREAD = range(3)


@dataclasses.dataclass(frozen=True, eq=False)
class FrameIndex:
    """The frames of one file: frame k starts at byte ``starts[k]`` (of the
    decompressed bytes, for a compressed file), on line ``lines[k]``
    (1-based), and is of kind ``kinds[k]``; its atom lines start at byte
    ``blocks[k]`` (-1 where the readers, not the scanner, found the frame).
    ``header`` is an XDATCAR file's
    first header as the reader needs it (None for other formats), and
    ``headers[k]`` the frame whose own header gives frame k its cell (-1:
    the first header), None when no frame has a header of its own.
    ``stream``: the file is read as a stream (compressed, or with old Mac
    line ends), not memory-mapped.

    size and mtime_ns identify the file as it was indexed: reading from a
    file that changed since is an error."""

    path: str
    format: str
    count: int
    size: int
    mtime_ns: int
    starts: np.ndarray = None
    lines: np.ndarray = None
    kinds: np.ndarray = None
    header: tuple = None
    headers: np.ndarray = None
    stream: bool = False
    blocks: np.ndarray = None


    def __len__(self):
        return self.count


def _identity(path):
    st = os.stat(path)
    if not stat.S_ISREG(st.st_mode):
        raise ValueError(f"{path} is not a regular file: only a file's frames can be indexed")
    return st.st_size, st.st_mtime_ns


def build_index(path, format=None, *, strict=False):
    """The FrameIndex of a file; a trajectory cut inside a frame warns (or,
    with strict=True, raises) as iread does. The atom lines of the frames
    are not parsed: a bad number is found when its frame is read."""
    path = os.fspath(path)
    format = _format_of(path, format)
    size, mtime_ns = _identity(path)
    if format == "poscar":
        read_poscar(path)
        one = np.zeros(1, dtype=np.int64)
        return FrameIndex(path, format, 1, size, mtime_ns, one, one + 1, one, blocks=one - 1)
    with open_lines(path) as lines:
        if format == "xdatcar":
            st = xdatcar_start(lines)
            header = (st.comment, st.cell.tolist(), st.axis_scale.tolist(), list(st.names), list(st.counts),
                      st.counts_no)
            parts = _scan(lines, strict, st)
            header += (st.blank_separated,)
        else:
            parts = _scan(lines, strict, None)
            header = None
        stream = not lines.mapped
    starts, numbers, kinds, blocks = (np.concatenate([p[k] for p in parts]) if parts else np.zeros(0, np.int64)
                                      for k in range(4))
    kinds = kinds.astype(np.int8)
    headers = None
    if format == "xdatcar" and (kinds == _HEADER).any():
        headers = np.maximum.accumulate(np.where(kinds == _HEADER, np.arange(len(kinds)), -1))
    return FrameIndex(path, format, len(starts), size, mtime_ns, starts, numbers, kinds, header, headers, stream,
                      blocks)


def _scan(lines, strict, st):
    """[(starts, line numbers, kinds, atom-block offsets)] of every frame
    from lines' position:
    the scanner's runs, and the frames it leaves to the readers, read one
    by one. st: the XDATCAR state (None for XYZ), kept up to date."""
    parts = []
    frame = 0
    while True:
        if not isinstance(lines, ByteLines):
            raise ValueError(f"{lines.path} cannot be indexed: it is not a regular file")
        if st is None:
            t = _reader.scan_xyz(lines.data, lines.pos, lines.lineno + 1)
        else:
            t = _reader.scan_xdatcar(lines.data, lines.pos, lines.lineno + 1, st.n, st.frame, st.blank_separated)
        starts, blocks, _, numbers, _, kinds, stop, stop_line, reason = t
        if len(starts):
            parts.append((starts + lines.base, numbers, kinds, blocks + lines.base))
            frame += len(starts)
            if st is not None:
                st.frame = frame
                st.blank_separated |= bool((kinds == _BLANK).any())
                if st.symbols is None:
                    st.symbols = _expand(st.names, st.counts)
        lines.seek(stop, stop_line - 1)
        if reason != _UNREAD and not lines.complete:
            # The window of a stream ends there: read on and scan again.
            lines.more()
            continue
        if reason == _END:
            if st is None and frame == 0:
                raise FormatError(lines.path, None, "the file is empty: expected an XYZ atom count")
            return parts
        # A frame for the readers to judge.
        skipped, last_blank = _skip_blank(lines)
        if lines.peek() is None:
            if st is None and frame == 0:
                raise FormatError(lines.path, None, "the file is empty: expected an XYZ atom count")
            return parts
        start, number = lines.base + lines.pos, lines.lineno + 1
        kind = _XYZ if st is None else _kind(lines.peek(), skipped, st)
        if kind == _HEADER and skipped and _scale_like(lines.peek()):
            # The last blank line is this header's (empty) comment: the
            # frame starts there, and is read from there.
            start, number = lines.base + last_blank[0], last_blank[1]
            lines.seek(last_blank[0], last_blank[1] - 1)
            skipped = 0
        try:
            if st is None:
                xyz_frame(lines, frame)
            else:
                xdatcar_frame(lines, st, after_blank=skipped > 0)
        except FormatError as e:
            cut_short(e, lines, frame, strict or (st is None and frame == 0))
            return parts
        frame += 1
        parts.append((np.array([start]), np.array([number]), np.array([kind]), np.array([-1])))


def _skip_blank(lines):
    """Consumes the blank lines ahead: (how many, (offset, line number) of
    the last one or None)."""
    skipped, last = 0, None
    while True:
        line = lines.peek()
        if line is None or line.strip():
            return skipped, last
        last = (lines.pos, lines.lineno + 1)
        lines.next()
        skipped += 1


def _kind(first, skipped, st):
    """The kind of the XDATCAR frame whose first line (after `skipped`
    blank lines) is `first`, as xdatcar_frame will read it."""
    if FRAME_LINE.match(first):
        return _CARTESIAN if _is_cartesian(first) else _DIRECT
    if skipped and (st.frame == 0 or st.blank_separated):
        return _BLANK
    return _HEADER


def read_frames(index, numbers):
    """Yields the Structures of the frames numbered `numbers` (ascending or
    not, each in range(len(index)), negative counting from the end) in the
    order given, each read from its offset. A file that changed since it
    was indexed is a FormatError."""
    numbers = [_frame_number(index, k) for k in numbers]
    _check_identity(index)
    if index.format == "poscar":
        for _ in numbers:
            yield read_poscar(index.path)
        return
    with _Source(index) as source:
        for k in numbers:
            yield _read_frame(index, source, k)


def read_xdatcar_arrays(index, numbers):
    """(cells (F, 3, 3), fractional coordinates (F, N, 3)) of the XDATCAR
    frames numbered `numbers` (as for read_frames), bit for bit the values
    read_xdatcar gives: the file's own fractions (Cartesian frames solved
    for them with the cell, as the reader does). The fixed-cell frames of a
    memory-mapped file are parsed in one native call, the others (and all,
    when a block fails, so that the error names its line) frame by frame."""
    numbers = np.array([_frame_number(index, k) for k in numbers], dtype=np.int64)
    _check_identity(index)
    comment, cell, axis_scale, names, counts, counts_no, blank_separated = index.header
    cell, axis_scale = np.array(cell), np.array(axis_scale)
    cells = np.empty((len(numbers), 3, 3))
    frac = np.empty((len(numbers), sum(counts), 3))
    batch = np.zeros(len(numbers), dtype=bool)
    if not index.stream and index.blocks is not None:
        batch = (index.blocks[numbers] >= 0) & (index.kinds[numbers] != _HEADER)
        if index.headers is not None:
            batch &= index.headers[numbers] < 0
    with _Source(index) as source:
        if batch.any():
            chosen = numbers[batch]
            try:
                got = _reader.parse_xdatcar_frames(source.data, index.blocks[chosen], frac.shape[1])
            except ValueError:
                batch[:] = False
            else:
                for k in np.flatnonzero(index.kinds[chosen] == _CARTESIAN).tolist():
                    got[k] = np.linalg.solve(cell.T, (got[k] * axis_scale).T).T
                if batch.all():
                    cells[:] = cell
                    return cells, got
                frac[batch] = got
                cells[batch] = cell
        for row in np.flatnonzero(~batch).tolist():
            cells[row], frac[row] = _xdatcar_at(index, source, int(numbers[row]))
    return cells, frac


def _frame_number(index, k):
    k = int(k)
    if not -index.count <= k < index.count:
        raise IndexError(f"frame {k} asked for, but {index.path} has {index.count} frame"
                         f"{'s' * (index.count != 1)}")
    return k % index.count


def _check_identity(index):
    try:
        st = os.stat(index.path)
    except FileNotFoundError:
        raise FormatError(index.path, None, "the file is gone since it was indexed") from None
    if (st.st_size, st.st_mtime_ns) != (index.size, index.mtime_ns):
        raise FormatError(index.path, None, f"the file changed since it was indexed ({index.size} bytes then, "
                                            f"{st.st_size} now, or a new modification time): index it again")


class _Source:
    """Lines positioned at a file offset: from a memory map of a plain file,
    or from the stream of a compressed file (or one with old Mac line ends)
    read up to that offset."""

    def __init__(self, index):
        self.path = index.path
        self.opener = _COMPRESSORS.get(os.path.splitext(self.path)[1].lower(), open) if index.stream else None
        self.data = None

    def __enter__(self):
        if self.opener is None:
            with open(self.path, "rb") as f:
                self.data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if index_size(f) else b""
        return self

    def __exit__(self, *exc):
        if self.data:
            self.data.close()
        self.data = None

    def at(self, offset, line, reader):
        """reader(lines) with lines at file offset `offset`, line `line`."""
        if self.data is not None:
            lines = ByteLines(self.path, self.data, size=len(self.data), pos=offset, lineno=line - 1)
            try:
                return reader(lines)
            finally:
                lines.close()
        with self.opener(self.path, "rb") as raw:
            raw.seek(offset)
            return reader(ByteLines(self.path, stream=raw, lineno=line - 1, base=offset))


def index_size(f):
    return os.fstat(f.fileno()).st_size


def _read_frame(index, source, k):
    start, line = int(index.starts[k]), int(index.lines[k])
    if index.format == "xyz":
        return source.at(start, line, lambda lines: xyz_structure(lines.path, *xyz_frame(lines, k)))
    cell, frac = _xdatcar_at(index, source, k)
    return Structure(cell, frac @ cell, _expand(index.header[3], index.header[4]), (True, True, True), None,
                     index.header[0])


def _xdatcar_at(index, source, k):
    """(cell, fractional coordinates) of XDATCAR frame k, read from its
    offset as xdatcar_frame reads it."""
    start, line, kind = int(index.starts[k]), int(index.lines[k]), int(index.kinds[k])
    comment, cell, axis_scale, names, counts, counts_no, blank_separated = index.header
    st = XdatcarState(comment, np.array(cell), np.array(axis_scale), names, counts, counts_no)
    st.symbols = _expand(names, counts)
    st.frame = k
    st.blank_separated = blank_separated
    h = -1 if index.headers is None else int(index.headers[k])
    if 0 <= h < k:
        # A frame after a variable-cell header takes that header's cell.
        def header(lines):
            _, st.cell, st.axis_scale, _, _, st.counts_no, _ = _read_header(lines, "XDATCAR")
        source.at(int(index.starts[h]), int(index.lines[h]), header)
    got = source.at(start, line, lambda lines: xdatcar_frame(lines, st, after_blank=kind == _BLANK))
    if got is None:
        raise FormatError(index.path, line, "no frame here: the file changed since it was indexed")
    return got
