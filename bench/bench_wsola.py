"""WSOLA on one 44000-sample window: the host's routine against the NumPy reference.

Run on one core for the figures that matter:  taskset -c 0 .venv/bin/python bench/bench_wsola.py
"""

import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "zephan2"))
from test_wsola import np_tempo_wsola  # noqa: E402

import halvane._zephan2._tessel_host as h  # noqa: E402


def best_of(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


def main():
    t = np.arange(44000) / 16000.0
    rng = np.random.default_rng(0)
    x = (0.3 * np.sin(2 * np.pi * 180 * t) + 0.05 * rng.standard_normal(44000)).astype(np.float32)
    assert np.array_equal(h.tempo_wsola(x), np_tempo_wsola(x))
    cpp_min, cpp_med = best_of(lambda: h.tempo_wsola(x), 200)
    np_min, np_med = best_of(lambda: np_tempo_wsola(x), 10)
    print(f"tempo_wsola 44000 -> 35200 samples")
    print(f"  host    : {cpp_med * 1e3:7.3f} ms median, {cpp_min * 1e3:7.3f} ms best")
    print(f"  numpy   : {np_med * 1e3:7.3f} ms median, {np_min * 1e3:7.3f} ms best")
    print(f"  speed-up: {np_med / cpp_med:6.1f}x (median)")


if __name__ == "__main__":
    main()
