"""Timing helper shared by the benchmarks."""

import time


def best(fn, repeat):
    """The best wall time of `repeat` calls of fn, in seconds."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)
