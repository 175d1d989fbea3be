"""The whole host through its pipes against the bare model calls it makes.

Per avatar (the combined fixture model, and the split one: shared encoder plus
identity model) and interpreter thread count, interleaved rounds of:
  host      tessel_render_host through its pipes, 800-sample steps pushed from
            one thread while another reads the frames (flushed at the end);
  copied    a bare loop of the same LiteRT runner calls per 32-frame chunk
            (enc, tok14, 8 x step, 2 x dec16), outputs copied out as the
            runner's own call does;
  in place  the same loop reading each output as a view of the interpreter's
            buffer (no RGB conversion, nothing written).
The headline is host / reference in frames per second. Last, one
16777216-sample data step and its peak resident memory.

    .venv/bin/python bench/bench_host.py [SECONDS_OF_AUDIO] [ROUNDS]
"""

import resource
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
from ai_edge_litert.interpreter import Interpreter

import halvane._zephan2._tessel_host as h
from halvane._zephan2.client import HostProcess

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tools.make_fixture_models import write_fixture_models  # noqa: E402

FRAME = 720 * 416 * 3
STEPS = 8  # latent steps per steady chunk: 32 frames


def make_bundles(d):
    paths = write_fixture_models(d)
    bundles = {"combined": ("canon.bin", "combined_litert.tflite"),
               "split": ("canon.bin", "identity.tflite", "shared-enc.tflite")}
    out = {}
    for name, members in bundles.items():
        b = Path(d) / name
        b.mkdir()
        for m in members:
            (b / m).write_bytes(paths[m].read_bytes())
        models = [str(b / m) for m in members[1:]]
        out[name] = (b, models[::-1] if name == "split" else models)  # shared encoder first, as the host loads it
    return out


class Reference:
    """The renderer's runner calls for one steady chunk, made directly."""

    def __init__(self, models, threads):
        self.runners = {}
        for path in models:
            it = Interpreter(model_path=path, num_threads=threads)
            it.allocate_tensors()
            for sig in it.get_signature_list():
                self.runners.setdefault(sig, it.get_signature_runner(sig))
        self.inputs = {sig: {name: np.zeros(d["shape"], d["dtype"]) for name, d in r.get_input_details().items()}
                       for sig, r in self.runners.items()}

    def call(self, sig, in_place):
        r, kw = self.runners[sig], self.inputs[sig]
        if not in_place:
            return r(**kw)["output_0"]
        w, sg = r._interpreter_wrapper, r._subgraph_index
        for name, value in kw.items():
            w.SetTensor(r._inputs[name], value, sg)
        w.Invoke(sg)
        return w.tensor(w, dict(r._outputs)["output_0"], sg)

    def chunk(self, in_place):
        self.call("enc", in_place)
        self.call("tok14", in_place)
        for _ in range(STEPS):
            self.call("step", in_place)
        for _ in range(2):
            self.call("dec16", in_place)


def reference_fps(ref, in_place, frames):
    ref.chunk(in_place)  # warm
    chunks = max(1, frames // 32)
    t0 = time.perf_counter()
    for _ in range(chunks):
        ref.chunk(in_place)
    return chunks * 32 / (time.perf_counter() - t0)


def host_fps(bundle, threads, audio):
    with HostProcess(bundle, threads=threads) as host:
        def push():
            for i in range(0, audio.size, 800):
                host.feed(audio[i:i + 800])
            host.flush()
        t0 = time.perf_counter()
        writer = threading.Thread(target=push)
        writer.start()
        frames = sum(1 for _ in host.frames())
        elapsed = time.perf_counter() - t0
        writer.join()
    return frames / elapsed, frames


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    rng = np.random.default_rng(0)
    n = int(seconds * 16000)
    t = np.arange(n) / 16000.0
    audio = (0.3 * np.sin(2 * np.pi * 200 * t) * (0.5 + 0.5 * np.sin(2 * np.pi * 2 * t))
             + 0.01 * rng.standard_normal(n)).astype("<f4")
    with tempfile.TemporaryDirectory() as d:
        bundles = make_bundles(d)
        print(f"{seconds:.0f} s of audio, {rounds} interleaved rounds, medians in frames/s")
        print(f"{'avatar':9} {'threads':>7} {'host':>7} {'copied':>7} {'in place':>8} {'host/copied':>11} "
              f"{'host/in place':>13}")
        for name, (bundle, models) in bundles.items():
            for threads in (1, 2):
                per = h.default_threads(len(models), threads)  # the host's own cap for a split bundle
                ref = Reference(models, per)
                got = {"host": [], "copied": [], "in place": []}
                for _ in range(rounds):
                    fps, frames = host_fps(bundle, threads, audio)
                    got["host"].append(fps)
                    got["copied"].append(reference_fps(ref, False, frames))
                    got["in place"].append(reference_fps(ref, True, frames))
                m = {k: statistics.median(v) for k, v in got.items()}
                print(f"{name:9} {threads:7d} {m['host']:7.0f} {m['copied']:7.0f} {m['in place']:8.0f} "
                      f"{m['host'] / m['copied']:11.2f} {m['host'] / m['in place']:13.2f}")

        big = np.resize(audio, 16777216)
        with HostProcess(bundles["combined"][0]) as host:
            t0 = time.perf_counter()
            frames = sum(1 for _ in host.render(big))
            elapsed = time.perf_counter() - t0
        rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        print(f"one 16777216-sample data step and a flush: {frames} frames in {elapsed:.1f} s, "
              f"host peak RSS {rss:.0f} MiB (all frames would be {frames * FRAME / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
