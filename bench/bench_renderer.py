"""The streaming renderer with the fixture models: time per steady chunk, the
part of it spent outside the models, and rtf().

Run on one core for the figures that matter:  taskset -c 0 .venv/bin/python bench/bench_renderer.py
"""

import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import halvane._zephan2._tessel_host as h

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tools.make_fixture_models import canon_latent, write_fixture_models  # noqa: E402


def model_time(chain, audio):
    """Wall time of the model calls alone for one steady chunk."""
    hist = chain.new_hist()
    tempo = h.tempo_wsola(audio) * np.float32(3.0)
    t0 = time.perf_counter()
    tok = chain.run_tok(chain.run_enc(tempo))
    lats = []
    for j in range(8):
        lat = chain.run_step(hist, tok[6 + j])
        h.LitertChain.shift_hist(hist, lat)
        lats.append(lat)
    t1 = time.perf_counter()
    xs, n = h.build_dec_inputs(lats, 8, lats[0])
    t2 = time.perf_counter()
    chain.run_dec_frames(xs, n)
    t3 = time.perf_counter()
    return (t1 - t0) + (t3 - t2)


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
    steady = []
    pos = 44000
    while pos + 25600 <= audio.size:
        r.feed(audio[pos:pos + 25600])
        pos += 25600
        before = r._c_wall
        items = r.ready_chunks()
        assert len(items) == 32
        steady.append(r._c_wall - before)
    chunk = statistics.median(steady)
    models = statistics.median(model_time(chain, audio[:44000]) for _ in range(5))
    print(f"interpreter threads {threads}, rgb threads {r.rgb_threads}, {len(steady)} steady chunks")
    print(f"  steady chunk  : {chunk * 1e3:7.1f} ms (32 frames, 1.6 s of video)")
    print(f"  models        : {models * 1e3:7.1f} ms")
    print(f"  outside models: {(chunk - models) * 1e3:7.1f} ms (WSOLA, decoder inputs, RGB, items)")
    print(f"  rtf()         : {r.rtf():7.3f}  ({32 / chunk:.0f} frames/s)")


if __name__ == "__main__":
    main()
