"""The parallel ceiling that other work on a shared machine leaves, for the
benchmarks that time worker processes."""

import time


def _spin(n):
    x = 0
    for i in range(n):
        x += i
    return x


def parallel_ceiling(n=8_000_000):
    """How much faster two processes do two equal pieces of pure Python work
    than one process does both, on this machine now: the most that two
    workers can gain over one while other work shares the CPUs. One process
    is timed before and after the two, and the mean taken, as the load of
    a shared machine changes from second to second."""
    import concurrent.futures
    import multiprocessing

    def one():
        t = time.perf_counter()
        _spin(n)
        _spin(n)
        return time.perf_counter() - t

    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        list(pool.map(_spin, [1, 1]))  # started
        before = one()
        t = time.perf_counter()
        list(pool.map(_spin, [n, n]))
        two = time.perf_counter() - t
        after = one()
    return (before + after) / 2 / two
