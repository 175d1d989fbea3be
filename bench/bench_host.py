"""The whole host through its pipes on the fixture bundle: frames per second,
real-time factor, and peak resident memory on one 16777216-sample data step.

Run on the machine as it is (the host sizes its threads from it):
    .venv/bin/python bench/bench_host.py [SECONDS_OF_AUDIO]
"""

import resource
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from halvane._zephan2.client import HostProcess

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tools.make_fixture_models import write_fixture_models  # noqa: E402

FRAME = 720 * 416 * 3


def make_bundle(d):
    paths = write_fixture_models(d)
    b = Path(d) / "bundle"
    b.mkdir()
    for name in ("canon.bin", "combined_litert.tflite"):
        (b / name).write_bytes(paths[name].read_bytes())
    return b


def serve(bundle, frames_of):
    """Runs the host; frames_of(host) yields the frames of one stream. Returns
    (frames, seconds after READY, peak RSS of the children reaped so far in MiB)."""
    with HostProcess(bundle) as host:
        t0 = time.perf_counter()
        frames = sum(1 for _ in frames_of(host))
        elapsed = time.perf_counter() - t0
    return frames, elapsed, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as d:
        bundle = make_bundle(d)
        n = int(seconds * 16000)
        t = np.arange(n) / 16000.0
        audio = (0.3 * np.sin(2 * np.pi * 200 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 2 * t))
                 + 0.01 * rng.standard_normal(n)).astype("<f4")

        def live(host):  # 800-sample blocks pushed from one thread, as a live parent sends them
            def push():
                for i in range(0, n, 800):
                    host.feed(audio[i:i + 800])
                host.flush()
            writer = threading.Thread(target=push)
            writer.start()
            yield from host.frames()
            writer.join()

        frames, elapsed, _ = serve(bundle, live)
        print(f"{seconds:.0f} s of audio in 800-sample steps: {frames} frames in {elapsed:.2f} s")
        print(f"  {frames / elapsed:.0f} frames/s, {seconds / elapsed:.1f}x real time")

        big = np.resize(audio, 16777216)
        frames, elapsed, rss = serve(bundle, lambda host: host.render(big))
        print(f"one 16777216-sample data step and a flush: {frames} frames in {elapsed:.1f} s, "
              f"host peak RSS {rss:.0f} MiB (all frames would be {frames * FRAME / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
