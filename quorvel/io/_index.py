"""Where each frame of a trajectory file starts, and reading frames by number.

A FrameIndex is small and picklable: it holds the file's path, format and
identity (size and modification time), and whatever the format needs to read
frame k alone. Frames (the lazy sequence) and the process and Dask shards are
built on build_index and read_frames only.

This first version counts frames by reading them and reads frame k by reading
up to it; the native scanner replaces both without changing this interface.
"""

import dataclasses
import os

from ._dispatch import _format_of, iread


@dataclasses.dataclass(frozen=True)
class FrameIndex:
    path: str
    format: str
    count: int
    size: int
    mtime_ns: int

    def __len__(self):
        return self.count


def _identity(path):
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns


def build_index(path, format=None, *, strict=False):
    """The FrameIndex of a file; a trajectory cut inside a frame warns (or,
    with strict=True, raises) as iread does."""
    path = os.fspath(path)
    format = _format_of(path, format)
    size, mtime_ns = _identity(path)
    count = sum(1 for _ in iread(path, format, strict=strict))
    return FrameIndex(path, format, count, size, mtime_ns)


def read_frames(index, numbers):
    """Yields the Structures of the frames numbered `numbers` (ascending or
    not, each in range(len(index))) in the order given."""
    numbers = list(numbers)
    wanted = {}
    for k in numbers:
        wanted.setdefault(k, None)
    for k, s in enumerate(iread(index.path, index.format)):
        if k in wanted:
            wanted[k] = s
    for k in numbers:
        yield wanted[k]
