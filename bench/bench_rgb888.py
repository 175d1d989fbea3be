"""RGB888 conversion of one 32-frame chunk of decoder-like float32 frames.

Compares the host's in-place fast path with a plain copy of the same float
bytes (the floor any pass over the decoder output pays) and with a plain NumPy
transcription, without correction and with a table.

Run on one core for the single-thread figures:
    taskset -c 0 .venv/bin/python bench/bench_rgb888.py
The threads=2 line needs two cores:  .venv/bin/python bench/bench_rgb888.py
"""

import os
import statistics
import time

import numpy as np

import halvane._zephan2._tessel_host as h

N, FH, FW = 32, 720, 416


def decoder_like(rng):
    """Smooth images in 0..1 with a little over- and undershoot, as a decoder gives."""
    y = np.linspace(0, 1, FH, dtype=np.float32)[:, None]
    x = np.linspace(0, 1, FW, dtype=np.float32)[None, :]
    frames = np.empty((N, 3, FH, FW), np.float32)
    for i in range(N):
        for c in range(3):
            base = 0.5 + 0.55 * np.sin(6.0 * x + 4.0 * y + i * 0.1 + c)
            frames[i, c] = base + rng.normal(0, 0.02, (FH, FW)).astype(np.float32)
    return frames


def np_chunk(frames, lut=None):
    out = np.empty((len(frames), FH, FW, 3), np.uint8)
    for i, f in enumerate(frames):
        img = np.clip(f * np.float32(255.0), 0.0, 255.0).astype(np.uint8).transpose(1, 2, 0)
        if lut is not None:
            img = np.stack([lut[c][img[..., c]] for c in range(3)], axis=-1)
        out[i] = img
    return out


def timed(fn, prepare, reps):
    times = []
    for _ in range(reps):
        prepare()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), min(times)


def main():
    rng = np.random.default_rng(0)
    pristine = decoder_like(rng)
    work = pristine.copy()
    frames = list(work)  # views: the fast path scales them in place
    dst = np.empty_like(pristine)
    lut_arr = np.clip(np.arange(256) * 1.1 + 3, 0, 255).astype(np.uint8)
    lut_arr = np.stack([lut_arr, lut_arr[::-1], np.arange(256, dtype=np.uint8)])
    cc = h.ColorCorrect("lut", lut=lut_arr)

    def restore():
        np.copyto(work, pristine)

    # Same bytes as the NumPy transcription before timing anything.
    restore()
    assert np.array_equal(h.px_to_rgb888_chunk(frames, cc, threads=1), np_chunk(pristine, lut_arr))

    reps = 15
    cpy, _ = timed(lambda: np.copyto(dst, pristine), lambda: None, reps)
    print(f"chunk of {N} frames (3, {FH}, {FW}) float32, {pristine.nbytes / 1e6:.0f} MB; "
          f"CPUs usable: {len(os.sched_getaffinity(0))}")
    print(f"  memcpy (np.copyto)      : {cpy * 1e3:7.2f} ms")
    for label, c, lut in (("no correction", None, None), ("lut", cc, lut_arr)):
        med, best = timed(lambda: h.px_to_rgb888_chunk(frames, c, threads=1), restore, reps)
        npm, _ = timed(lambda: np_chunk(pristine, lut), lambda: None, 3)
        print(f"  host, {label:17s} : {med * 1e3:7.2f} ms median ({best * 1e3:.2f} best), "
              f"{med / cpy:4.2f}x memcpy, {npm / med:5.1f}x faster than NumPy ({npm * 1e3:.1f} ms)")
    med2, _ = timed(lambda: h.px_to_rgb888_chunk(frames, cc, threads=2), restore, reps)
    print(f"  host, lut, threads=2    : {med2 * 1e3:7.2f} ms median, {med2 / cpy:4.2f}x memcpy "
          f"(pool workers: {h._rgb_pool_size()})")


if __name__ == "__main__":
    main()
