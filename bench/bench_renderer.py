"""The streaming renderer with the fixture models: time per steady chunk and
the part of it spent outside the model calls (WSOLA, decoder inputs, RGB
conversion, frame items), both measured on the same chunks, and rtf().

Run on one core for the figures that matter:  taskset -c 0 .venv/bin/python bench/bench_renderer.py
"""

import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np

import halvane._zephan2._tessel_host as h

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tools.make_fixture_models import canon_latent, write_fixture_models  # noqa: E402


def main():
    with tempfile.TemporaryDirectory() as d:
        paths = write_fixture_models(d)
        threads = h.default_threads(1, 0)
        chain = h.LitertChain([str(paths["combined_litert.tflite"])], canon_latent().reshape(-1), threads)
    t = np.arange(16000 * 40) / 16000.0
    audio = (0.3 * np.sin(2 * np.pi * 220 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 2 * t))).astype(np.float32)

    r = h.Renderer(chain)
    r.feed(audio[:44000])
    r.ready_chunks()  # chunks 0 and 1: warm-up
    chunks, models = [], []
    pos = 44000
    while pos + 25600 <= audio.size:
        r.feed(audio[pos:pos + 25600])
        pos += 25600
        c0, m0 = r._c_wall, r._m_wall
        assert len(r.ready_chunks()) == 32
        chunks.append(r._c_wall - c0)
        models.append(r._m_wall - m0)
    outside = [c - m for c, m in zip(chunks, models)]
    print(f"interpreter threads {threads}, rgb threads {r.rgb_threads}, {len(chunks)} steady chunks (medians)")
    print(f"  steady chunk  : {statistics.median(chunks) * 1e3:7.1f} ms (32 frames, 1.6 s of video)")
    print(f"  models        : {statistics.median(models) * 1e3:7.1f} ms")
    print(f"  outside models: {statistics.median(outside) * 1e3:7.1f} ms (WSOLA, decoder inputs, RGB, items)")
    print(f"  rtf()         : {r.rtf():7.3f}  ({32 / statistics.median(chunks):.0f} frames/s)")


if __name__ == "__main__":
    main()
