"""The whole host through its pipes on the fixture bundle: frames per second,
real-time factor, and peak resident memory on one 16777216-sample data step.

Run on the machine as it is (the host sizes its threads from it):
    .venv/bin/python bench/bench_host.py [SECONDS_OF_AUDIO]
"""

import importlib.util
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
HOST = shutil.which("tessel_render_host") or str(Path(sys.executable).parent / "tessel_render_host")
FRAME = 720 * 416 * 3


def make_bundle(d):
    spec = importlib.util.spec_from_file_location("gen", ROOT / "tools" / "make_fixture_models.py")
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)
    paths = gen.write_fixture_models(d)
    b = Path(d) / "bundle"
    b.mkdir()
    for name in ("canon.bin", "combined_litert.tflite"):
        (b / name).write_bytes(paths[name].read_bytes())
    return b


def serve(bundle, messages):
    """Runs the host on the messages; returns (frames, seconds after READY, child peak RSS in MiB)."""
    p = subprocess.Popen([HOST, "render-stream", str(bundle)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    p.stdout.readline()
    t0 = time.perf_counter()

    def feed():
        for m in messages():
            p.stdin.write(m)
        p.stdin.close()

    threading.Thread(target=feed, daemon=True).start()
    frames = 0
    while True:
        head = p.stdout.read(4)
        if len(head) < 4:
            break
        if struct.unpack("<i", head)[0] != -1:
            p.stdout.read(FRAME)
            frames += 1
    p.wait()
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

        def blocks():  # 800-sample blocks, as a live parent sends them
            for i in range(0, n, 800):
                blk = audio[i:i + 800]
                yield struct.pack("<I", blk.size) + blk.tobytes()
            yield struct.pack("<I", 0xFFFFFFFF)

        frames, elapsed, _ = serve(bundle, blocks)
        print(f"{seconds:.0f} s of audio in 800-sample steps: {frames} frames in {elapsed:.2f} s")
        print(f"  {frames / elapsed:.0f} frames/s, {seconds / elapsed:.1f}x real time")

        big = np.zeros(16777216, "<f4")
        big[:] = np.resize(audio, big.size)

        def one_step():
            yield struct.pack("<I", big.size) + big.tobytes()

        frames, elapsed, rss = serve(bundle, one_step)
        print(f"one 16777216-sample data step: {frames} frames in {elapsed:.1f} s, "
              f"host peak RSS {rss:.0f} MiB (all frames would be {frames * FRAME / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
