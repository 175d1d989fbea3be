"""The render loop's own cost per frame: a no-op engine iterated through
Avatar.render() against the same engine's frames iterated directly.

    taskset -c 0 .venv/bin/python bench/bench_render_loop.py [FRAMES]
"""

import itertools
import sys
import time

import numpy as np

from halvane import _open

FRAME = np.zeros((720, 416, 3), np.uint8)
CLIP = bytes(32000)


class NoOpEngine:
    """Draws the audio, then hands out one frame object `n` times."""

    def __init__(self, n):
        self.n = n

    def frames(self, chunks):
        for _ in chunks:
            pass
        return itertools.repeat(FRAME, self.n)

    def interrupt(self):
        pass

    def close(self):
        pass


def best(fn, repeats=7):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    engine = NoOpEngine(n)
    avatar = _open.Avatar(engine, "ostrel1")

    def direct():
        for _ in engine.frames(iter([CLIP])):
            pass

    def through_avatar():
        for _ in avatar.render(CLIP):
            pass

    t_direct = best(direct)
    t_avatar = best(through_avatar)
    assert avatar._render_stats.frames == n
    print(f"{n} frames: engine directly {t_direct * 1e9 / n:.1f} ns/frame, "
          f"through Avatar.render {t_avatar * 1e9 / n:.1f} ns/frame")
    print(f"render loop overhead: {(t_avatar - t_direct) * 1e6 / n:.4f} us/frame")


if __name__ == "__main__":
    main()
