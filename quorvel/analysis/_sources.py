"""Where the frames of an analysis come from: a Structure, a Trajectory, a
path or a ``quorvel.io.Frames``, a selection of them, and whether they are
worked through here or in chunks by ``quorvel.map_chunks`` (processes or a
Dask cluster)."""

import functools
import itertools
import os
import warnings


def check_frames(frames):
    """None, a slice or a range."""
    if frames is None or isinstance(frames, (slice, range)):
        return frames
    raise ValueError(f"frames must be None, a slice or a range selecting frames, not {frames!r}")


def check_workers(workers, client, chunk=None):
    if chunk is not None and (isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1):
        raise ValueError(f"chunk must be None or a positive number of frames, not {chunk!r}")
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
        # A view reads its frames in one pass through the file.
        view = source if frames is None else source[_as_slice(frames, len(source))]
        return zip(view.numbers, view)
    if isinstance(source, (str, bytes, os.PathLike)):
        return _path_frames(os.fspath(source), frames, format)
    if isinstance(source, (list, tuple)) and all(_is_structure(s) for s in source):
        return ((k, source[k]) for k in _selected(len(source), frames))
    raise ValueError("the source must be a Structure, a Trajectory, a path, a quorvel.io.Frames or a list of "
                     f"Structures, not {type(source).__name__}")


def species_seen(source, wanted, format=None):
    """The species of `source`'s atoms (in order of first appearance), read
    only as far as it takes to find every species of `wanted`: a Structure's
    or Trajectory's own; a file's from its first frame when it is a VASP
    file (every frame has the first one's atoms), else from its frames read
    in order until all are found. A file is read whole here, whatever frames
    are selected; a fault in it is left for the run to report."""
    if _is_structure(source) or _is_trajectory(source):
        return list(dict.fromkeys(source.symbols))
    if isinstance(source, (list, tuple)):
        return list(dict.fromkeys(x for s in source if _is_structure(s) for x in s.symbols))
    from .. import io

    Frames = _frames_class()
    if Frames is not None and isinstance(source, Frames):
        path, format = source.path, source.format
    elif isinstance(source, (str, bytes, os.PathLike)):
        path = os.fspath(source)
    else:
        return None
    seen = {}
    try:
        format = io.guess_format(path) if format is None else format
        with warnings.catch_warnings():
            # A trajectory cut short is reported by the run itself.
            warnings.simplefilter("ignore", io.TruncatedTrajectoryWarning)
            frames = io.iread(path, format)
            try:
                for s in frames:
                    seen.update(dict.fromkeys(s.symbols))
                    if format != "xyz" or all(x in seen for x in wanted):
                        break
            finally:
                frames.close()
    except (ValueError, OSError, EOFError):
        return None
    return list(seen)


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


def run_chunks(chunk_fn, source, frames, format, workers, client, progress=None, chunk=None, **options):
    """The results of chunk_fn(iterable of (frame number, Structure),
    **options) over the selected frames of `source`: one result when they
    are worked through here, one per chunk of frames when ``workers`` or
    ``client`` send them through ``quorvel.parallel.imap_chunks``.
    ``progress`` (a callable such as ``tqdm.tqdm``, given ``total=``)
    makes a bar advanced per frame here, per chunk there."""
    if workers is None and client is None:
        numbered = numbered_frames(source, frames, format)
        if progress is None:
            return [chunk_fn(numbered, **options)]
        bar = progress(total=_count_if_known(source, frames))
        try:
            return [chunk_fn(_ticking(numbered, bar), **options)]
        finally:
            bar.close()
    from ..io import Frames
    from ..parallel import imap_chunks

    if isinstance(source, (str, bytes, os.PathLike)):
        source = Frames(os.fspath(source), format=format)
    if not isinstance(source, Frames):
        raise ValueError("workers and client read the frames in each worker from the file: the source must be a "
                         f"path or a quorvel.io.Frames, not {type(source).__name__}")
    view = source if frames is None else source[_as_slice(frames, len(source))]
    task = functools.partial(_over_view, chunk_fn, options)
    bar = None if progress is None else progress(total=len(view))
    results = []
    try:
        for done, result in imap_chunks(task, view, workers=workers, client=client, chunk=chunk):
            results.append(result)
            if bar is not None:
                bar.update(len(done))
    finally:
        if bar is not None:
            bar.close()
    return results


def _over_view(chunk_fn, options, view):
    """A chunk in a worker: its frames with their numbers in the file."""
    return chunk_fn(zip(view.numbers, view), **options)


def _as_slice(frames, count):
    if isinstance(frames, slice):
        return frames
    numbers = _selected(count, frames)
    if len(numbers) and all(b - a == 1 for a, b in zip(numbers, numbers[1:])):
        return slice(numbers[0], numbers[-1] + 1)
    step = numbers[1] - numbers[0] if len(numbers) > 1 else 1
    if len(numbers) > 1 and step > 0 and all(b - a == step for a, b in zip(numbers, numbers[1:])):
        return slice(numbers[0], numbers[-1] + 1, step)
    raise ValueError(f"frames {frames} of a file read by number (a Frames source, or workers and client) must be "
                     "ascending and evenly spaced")


def _count_if_known(source, frames):
    if _is_structure(source):
        return len(_selected(1, frames))
    if _is_trajectory(source) or isinstance(source, (list, tuple)):
        return len(_selected(len(source), frames))
    Frames = _frames_class()
    if Frames is not None and isinstance(source, Frames):
        return len(_selected(len(source), frames))
    return None


def _ticking(numbered, bar):
    for item in numbered:
        yield item
        bar.update(1)
