"""The offline zephan-2 path against the host program driven directly.

Interleaved rounds on the same audio and the demo avatar:
  direct    HostProcess.render(audio): the host over its pipes, frames read;
  offline   halvane.open(avatar).render(pcm): the same host behind the
            zephan-2 engine adapter and the render loop.
Both make the host render the same frames (the adapter reads the flush's
padding too but hands out only the frames the audio covers), so the adapter's
cost is offline / direct - 1 in wall time for the clip. Avatar opening and
host start-up are outside both timings.

Then the first frame of a render on one open avatar: on an idle host, and
right after the caller broke out of an earlier render three frames in (the
host keeps running; what it still writes for the abandoned render is dropped).

    .venv/bin/python bench/bench_offline_zephan2.py [SECONDS_OF_AUDIO] [ROUNDS]
"""

import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import halvane
from halvane._zephan2.client import HostProcess

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tools.make_demo_bundle import write_demo_bundle  # noqa: E402


def timed(frames):
    t0 = time.perf_counter()
    n = sum(1 for _ in frames)
    return time.perf_counter() - t0, n


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    n = int(seconds * 16000)
    t = np.arange(n) / 16000.0
    audio = (0.3 * np.sin(2 * np.pi * 200 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 2 * t))).astype(np.float32)
    pcm = (audio * 32767.0).astype("<i2")
    audio = pcm.astype(np.float32) / 32768.0  # the very samples the adapter feeds
    with tempfile.TemporaryDirectory() as d:
        avatar = write_demo_bundle(d)["imx"]
        direct, offline = [], []
        for _ in range(rounds):
            with HostProcess(avatar) as host:
                s, nd = timed(host.render(audio))
                direct.append(s)
            with halvane.open(avatar) as av:
                s, no = timed(av.render(pcm.tobytes()))
                offline.append(s)
        idle, after_break = [], []
        with halvane.open(avatar) as av:
            for _ in range(rounds):
                for first in (idle, after_break):
                    if first is idle:
                        sum(1 for _f in av.render(pcm.tobytes()))  # runs to its end: the host is idle
                    gen = av.render(pcm.tobytes())
                    t0 = time.perf_counter()
                    next(gen)
                    first.append(time.perf_counter() - t0)
                    gen.close()  # the caller breaks out after one frame
        d_s, o_s = statistics.median(direct), statistics.median(offline)
        print(f"{seconds:.0f} s of audio, {rounds} interleaved rounds (medians)")
        print(f"  direct : {d_s:.3f} s ({nd} frames read)")
        print(f"  offline: {o_s:.3f} s ({no} frames handed out)")
        print(f"  adapter cost: {100 * (o_s / d_s - 1):+.1f} % of the host's own time")
        print(f"  first frame, idle host: {statistics.median(idle):.3f} s; "
              f"right after a break: {statistics.median(after_break):.3f} s")


if __name__ == "__main__":
    main()
