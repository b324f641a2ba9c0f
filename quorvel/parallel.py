"""A function over the frames of a trajectory file: in this process, in a pool
of local worker processes, or on a Dask cluster, with the same results.

    import quorvel
    from functools import partial

    counts = quorvel.map_frames(partial(quorvel.neighbor_counts, cutoff=3.0), "XDATCAR", workers=4)

The frames are split into chunks of consecutive frames. The file's frame
index (its path, identity and frame offsets) and ``fn`` go to each worker
process once, when it starts (to a Dask cluster, the index once, scattered);
a chunk then travels as its range of frame numbers, and the worker reads
those frames alone from their offsets in the file. Results come back in
frame order, bit for bit what the same calls give in this process.
"""

from __future__ import annotations

import collections
import concurrent.futures
import concurrent.futures.process
import math
import multiprocessing
import os
import pickle
import warnings

__all__ = ["map_frames", "map_chunks"]

# Chunks per worker by default: enough to even out chunks of unequal cost and
# to keep the last chunk short, so that no worker idles long at the end (a
# chunk costs little besides its frames: its range of frame numbers).
CHUNKS_PER_WORKER = 8
# Chunks handed out ahead of the one awaited, per worker: results that are
# done but not yet consumed stay bounded.
AHEAD_PER_WORKER = 2


def map_frames(fn, frames, *, workers=None, client=None, chunk=None):
    """``[fn(s) for s in frames]``, optionally on worker processes.

    ``frames`` is a ``quorvel.io.Frames`` (any view of one: ``frames[::10]``)
    or a path. ``fn`` takes a Structure; the results come as a list in frame
    order. Without ``workers`` or ``client`` the calls run here, one after
    the other.

    ``workers=N`` runs the calls on a pool of N local processes, started
    with the "spawn" method (safe beside threads; a script that calls this
    needs the usual ``if __name__ == "__main__":`` guard). ``fn`` must be
    picklable: a function defined at the top level of a module, or a
    ``functools.partial`` of one, not a lambda or a nested function. In the
    workers, ``threads=None`` of quorvel's searches means one thread (unless
    the environment variable ``QUORVEL_THREADS`` says otherwise), so N workers
    use N cores.

    ``client``, a ``distributed.Client``, runs the chunks as tasks on its
    Dask cluster (each task with ``threads=None`` meaning one thread, as in
    a pool). Each task opens the file itself, by the path of ``frames``: the
    file must be reachable at the same path from every Dask worker (a shared
    file system), and must not change meanwhile.

    ``chunk`` is the number of consecutive frames a task takes (default:
    about eight tasks per worker process or Dask thread). An exception raised
    by ``fn`` is raised here with its own type (the first in frame order),
    and the remaining tasks are cancelled."""
    frames = _frames(frames)
    _check_callable(fn)
    if workers is None and client is None:
        _check_chunk(chunk)
        return [fn(s) for s in frames]
    return [r for _, part in _chunks(_apply_each, fn, frames, workers, client, chunk) for r in part]


def map_chunks(fn, frames, *, workers=None, client=None, chunk=None):
    """``[fn(view) for view in chunks of frames]``: ``fn`` takes a Frames
    view of consecutive frames (iterate over it, or ``view.read()``) and
    returns one result per chunk, for accumulators (a histogram summed over
    a chunk's frames, say), which need not send a result per frame back.

    The chunks are ``frames[0:chunk]``, ``frames[chunk:2 * chunk]``, ...;
    the results come as a list in that order. ``chunk`` defaults to all the
    frames in one chunk when running here, else to about eight chunks per
    worker process or Dask thread: pass ``chunk`` for results that do not
    depend on the number of workers. ``workers``, ``client`` and errors as
    for ``map_frames``."""
    return [result for _, result in imap_chunks(fn, frames, workers=workers, client=client, chunk=chunk)]


def imap_chunks(fn, frames, *, workers=None, client=None, chunk=None):
    """Yields (view, fn(view)) chunk by chunk in order, as map_chunks
    computes them: a caller can consume each result as it comes."""
    frames = _frames(frames)
    _check_callable(fn)
    if workers is None and client is None:
        size = _check_chunk(chunk) or max(len(frames), 1)
        for start in range(0, len(frames), size):
            view = frames[start:start + size]
            yield view, fn(view)
        return
    yield from _chunks(_apply_whole, fn, frames, workers, client, chunk)


# ---------------------------------------------------------------------------
# The tasks: module-level, so that worker processes find them by name.


def _apply_each(fn, view):
    return [fn(s) for s in view]


def _apply_whole(fn, view):
    return fn(view)


# A pool worker's work, set when it starts: (apply, fn, the FrameIndex).
_work = None


def _start_worker(apply, fn, index):
    """Initializer of a pool's worker processes: keeps what every chunk
    needs, sent once per process."""
    global _work
    _work = (apply, fn, index)
    # A trajectory cut short was reported when its index was built, here
    # before the chunks went out; the workers read whole frames only.
    from .io import TruncatedTrajectoryWarning
    warnings.filterwarnings("ignore", category=TruncatedTrajectoryWarning)
    if not os.environ.get("QUORVEL_THREADS", "").strip():
        from .engine import set_default_threads
        set_default_threads(1)


def _pool_task(numbers):
    """A chunk in a pool worker: the frames numbered `numbers` of the
    worker's index."""
    from .io import Frames

    apply, fn, index = _work
    return apply(fn, Frames._view(index, numbers))


def _dask_task(apply, fn, index, numbers):
    """A chunk on a Dask worker (index: the scattered FrameIndex): one search
    thread per task unless this process was told otherwise."""
    from . import engine
    from .io import Frames

    view = Frames._view(index, numbers)
    if engine._default_threads is None and not os.environ.get("QUORVEL_THREADS", "").strip():
        with engine.threads_here(1):
            return apply(fn, view)
    return apply(fn, view)


# ---------------------------------------------------------------------------


def _chunks(apply, fn, frames, workers, client, chunk):
    """Yields (view, apply(fn, view)) per chunk, in order, from a process
    pool or a Dask client."""
    if workers is not None and client is not None:
        raise ValueError("give workers or client, not both")
    chunk = _check_chunk(chunk)
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a positive integer, not {workers!r}")
        slots = workers
    else:
        slots = max(1, sum(client.nthreads().values()))
    n = len(frames)
    size = chunk or max(1, math.ceil(n / (CHUNKS_PER_WORKER * slots)))
    views = [frames[start:start + size] for start in range(0, n, size)]
    if not views:
        return
    if workers is not None:
        _check_picklable(fn)
        yield from _on_pool(apply, fn, views, min(workers, len(views)))
    else:
        yield from _on_dask(apply, fn, views, client, slots)


def _on_pool(apply, fn, views, workers):
    context = multiprocessing.get_context("spawn")
    pool = concurrent.futures.ProcessPoolExecutor(workers, mp_context=context, initializer=_start_worker,
                                                  initargs=(apply, fn, views[0].index))
    try:
        yield from _in_order(views, lambda view: pool.submit(_pool_task, view.numbers), AHEAD_PER_WORKER * workers)
    except concurrent.futures.process.BrokenProcessPool as e:
        raise concurrent.futures.process.BrokenProcessPool(
            "a worker process ended abruptly: it was killed (out of memory?) or could not load fn, which a "
            "spawned process imports by its module and name (a function defined in an interactive session or "
            f"in 'python -c' has none it can import): {fn!r}") from e
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _on_dask(apply, fn, views, client, slots):
    # The index goes to the cluster once; each task names it and its frame numbers.
    index = client.scatter(views[0].index, hash=False)
    try:
        yield from _in_order(views, lambda view: client.submit(_dask_task, apply, fn, index, view.numbers,
                                                               pure=False),
                             AHEAD_PER_WORKER * slots)
    finally:
        index.release()


def _in_order(views, submit, ahead):
    """Submits the views' tasks, at most `ahead` beyond the one awaited, and
    yields (view, result) in the views' order; cancels what is left when the
    caller stops early or a task fails."""
    pending = collections.deque()
    todo = iter(views)
    try:
        for view in todo:
            pending.append((view, submit(view)))
            if len(pending) >= ahead:
                break
        while pending:
            view, future = pending.popleft()
            value = future.result()
            following = next(todo, None)
            if following is not None:
                pending.append((following, submit(following)))
            yield view, value
    finally:
        for _, future in pending:
            future.cancel()


def _frames(frames):
    from .io import Frames
    if isinstance(frames, Frames):
        return frames
    if isinstance(frames, (str, bytes, os.PathLike)):
        return Frames(frames)
    raise TypeError(f"frames must be a quorvel.io.Frames or a path, not {type(frames).__name__}")


def _check_callable(fn):
    if not callable(fn):
        raise TypeError(f"fn must be callable, not {type(fn).__name__}")


def _check_chunk(chunk):
    if chunk is not None and (isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1):
        raise ValueError(f"chunk must be None or a positive number of frames, not {chunk!r}")
    return chunk


def _check_picklable(fn):
    try:
        pickle.dumps(fn)
    except (pickle.PicklingError, AttributeError, TypeError) as e:
        raise TypeError(f"fn must be picklable to run in worker processes: a function defined at the top level "
                        f"of a module (or a functools.partial of one), not a lambda or a nested function; "
                        f"pickling {fn!r} failed: {e}") from None
