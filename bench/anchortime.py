"""Timing shared by the Python anchors of the benchmarks."""
import time


def time_ns(fn, min_seconds=1.0):
    """Runs fn once to warm up, then repeats it until min_seconds have passed; returns the mean time
    per run in nanoseconds and the number of runs."""
    fn()
    iterations, start = 0, time.perf_counter()
    while True:
        fn()
        iterations += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / iterations * 1e9, iterations
