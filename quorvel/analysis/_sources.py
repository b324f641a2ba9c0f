"""Where the frames of an analysis come from: a Structure, a Trajectory, a
path or a ``quorvel.io.Frames``, a selection of them, and whether they are
worked through here or in chunks by ``quorvel.map_chunks`` (processes or a
Dask cluster)."""

import functools
import itertools
import os


def check_frames(frames):
    """None, a slice or a range."""
    if frames is None or isinstance(frames, (slice, range)):
        return frames
    raise ValueError(f"frames must be None, a slice or a range selecting frames, not {frames!r}")


def check_workers(workers, client):
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be None or a positive integer, not {workers!r}")
    if workers is not None and client is not None:
        raise ValueError("give workers (processes on this machine) or client (a Dask cluster), not both")
    return workers


def _is_structure(source):
    return hasattr(source, "positions") and hasattr(source, "symbols") and hasattr(source, "cell") \
        and getattr(source.positions, "ndim", 0) == 2


def _is_trajectory(source):
    return hasattr(source, "cells") and hasattr(source, "scaled_positions") and hasattr(source, "symbols")


def _frames_class():
    try:
        from ..io import Frames
    except ImportError:
        return None
    return Frames


def _selected(count, frames):
    """The frame numbers `frames` picks out of `count`: a slice as Python
    slices, a range's numbers (negative ones from the end) each of which
    must exist."""
    if frames is None:
        return range(count)
    if isinstance(frames, slice):
        return range(count)[frames]
    numbers = [k + count if k < 0 else k for k in frames]
    bad = [k for k, n in zip(frames, numbers) if not 0 <= n < count]
    if bad:
        raise ValueError(f"frame {bad[0]} asked for, but the source has {count} frame{'s' * (count != 1)}")
    return numbers


def numbered_frames(source, frames=None, format=None):
    """(frame number, Structure) of the frames selected from `source`, read
    one at a time (a path is read lazily, never held whole)."""
    frames = check_frames(frames)
    if _is_structure(source):
        return ((k, source) for k in _selected(1, frames))
    if _is_trajectory(source):
        return ((k, source[k]) for k in _selected(len(source), frames))
    Frames = _frames_class()
    if Frames is not None and isinstance(source, Frames):
        numbers = _selected(len(source), frames)
        return ((k, source[k]) for k in numbers)
    if isinstance(source, (str, bytes, os.PathLike)):
        return _path_frames(os.fspath(source), frames, format)
    if isinstance(source, (list, tuple)) and all(_is_structure(s) for s in source):
        return ((k, source[k]) for k in _selected(len(source), frames))
    raise ValueError("the source must be a Structure, a Trajectory, a path, a quorvel.io.Frames or a list of "
                     f"Structures, not {type(source).__name__}")


def _path_frames(path, frames, format):
    from .. import io

    sl = slice(None) if frames is None else slice(frames.start, frames.stop, frames.step)
    if all(v is None or v >= 0 for v in (sl.start, sl.stop)) and (sl.step is None or sl.step > 0):
        # Forward selections are read as the file goes by.
        return _forward(path, format, sl, frames)
    # Counting from the end needs the count first.
    count = sum(1 for _ in io.iread(path, format))
    numbers = _selected(count, frames)
    wanted = set(numbers)
    got = {k: s for k, s in enumerate(io.iread(path, format)) if k in wanted}
    return ((k, got[k]) for k in numbers)


def _forward(path, format, sl, frames):
    from .. import io

    seen = 0
    for k, s in itertools.islice(enumerate(io.iread(path, format)), sl.start, sl.stop, sl.step):
        seen += 1
        yield k, s
    if isinstance(frames, range) and seen < len(frames):
        missing = frames[seen]
        raise ValueError(f"frame {missing} asked for, but {path} has fewer frames")


class NumberedFrames:
    """A sliceable, picklable sequence of (frame number, Structure) over a
    Frames view or a Trajectory, as map_chunks hands out in chunks: each
    chunk knows the numbers of its frames."""

    def __init__(self, frames, numbers):
        self.frames = frames
        self.numbers = numbers

    def __len__(self):
        return len(self.numbers)

    def __getitem__(self, k):
        if isinstance(k, slice):
            return NumberedFrames(self.frames, self.numbers[k])
        n = self.numbers[k]
        return n, self.frames[n]

    def __iter__(self):
        return (self[k] for k in range(len(self)))


def chunked_frames(source, frames, format):
    """The frames of `source` as one picklable sequence for map_chunks."""
    Frames = _frames_class()
    if _is_trajectory(source) or (isinstance(source, (list, tuple)) and all(_is_structure(s) for s in source)):
        return NumberedFrames(source, _selected(len(source), frames))
    if _is_structure(source):
        return NumberedFrames([source], _selected(1, frames))
    if Frames is None:
        raise ValueError("workers and client need quorvel.io.Frames and quorvel.map_chunks, which this quorvel "
                         "lacks; run without them")
    if isinstance(source, (str, bytes, os.PathLike)):
        source = Frames(os.fspath(source), format=format)
    if not isinstance(source, Frames):
        raise ValueError("the source must be a Structure, a Trajectory, a path or a quorvel.io.Frames, "
                         f"not {type(source).__name__}")
    return NumberedFrames(source, _selected(len(source), frames))


def run_chunks(chunk_fn, source, frames, format, workers, client, **options):
    """The results of chunk_fn(numbered frames, **options) over `source`:
    one in this process, or one per chunk through map_chunks."""
    if workers is None and client is None:
        return [chunk_fn(numbered_frames(source, frames, format), **options)]
    try:
        from ..parallel import map_chunks
    except ImportError:
        raise ValueError("workers and client need quorvel.map_chunks, which this quorvel lacks; "
                         "run without them") from None
    fn = functools.partial(_iterate_then, chunk_fn, options)
    return map_chunks(fn, chunked_frames(source, frames, format), workers=workers, client=client)


def _iterate_then(chunk_fn, options, view):
    return chunk_fn(iter(view), **options)
