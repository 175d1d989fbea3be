"""The whole host through its pipes against the bare model calls it makes.

Per avatar (the combined fixture model, and the split one: shared encoder plus
identity model) and interpreter thread count, interleaved rounds of:
  host      tessel_render_host through its pipes, 800-sample steps pushed from
            one thread while another reads the frames (flushed at the end);
            the reading side takes the records into one reused buffer and
            checks their indices, so what is measured is the host and not
            the reader's allocations;
  copied    a bare loop of the same LiteRT runner calls per 32-frame chunk
            (enc, tok14, 8 x step, 2 x dec16), outputs copied out as the
            runner's own call does;
  in place  the same loop reading each output as a view of the interpreter's
            buffer (no RGB conversion, nothing written).
The headline is host / reference in frames per second. Last, one
16777216-sample data step and its peak resident memory.

    .venv/bin/python bench/bench_host.py [SECONDS_OF_AUDIO] [ROUNDS]
"""

import os
import resource
import statistics
import sys
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
from ai_edge_litert.interpreter import Interpreter

import halvane._zephan2._tessel_host as h
from halvane._zephan2.client import FLUSH, HostProcess, data_steps, host_command

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
        self.chunk(False)  # the runners' own calls size and allocate their tensors

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


def count_records(fd, first=3):
    """Reads frame records from `fd` up to the flush marker into one reused
    buffer; returns how many there were. Raises on a gap in the indices or an
    early end."""
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    head, pix_left, want, frames = bytearray(), 0, first, 0
    while True:
        n = os.readv(fd, [view])
        if n == 0:
            raise RuntimeError(f"host output ended after {frames} frames")
        pos = 0
        while pos < n:
            if pix_left:
                take = min(pix_left, n - pos)
                pix_left -= take
                pos += take
                continue
            take = min(4 - len(head), n - pos)
            head += view[pos:pos + take]
            pos += take
            if len(head) < 4:
                continue
            idx = int.from_bytes(head, "little", signed=True)
            head.clear()
            if idx == -1:
                if pos != n:
                    raise RuntimeError("bytes after the flush marker")
                return frames
            if idx != want:
                raise RuntimeError(f"frame index {idx}, expected {want}")
            want, frames, pix_left = want + 1, frames + 1, FRAME


def host_fps(bundle, threads, audio):
    proc = subprocess.Popen(host_command() + ["render-stream", str(bundle), "--threads", str(threads)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    try:
        if not proc.stdout.readline().startswith(b"READY "):
            raise RuntimeError("the host did not start")
        steps = [b"".join(data_steps(audio[i:i + 800])) for i in range(0, audio.size, 800)]
        steps.append(FLUSH.to_bytes(4, "little"))

        def push():
            for step in steps:  # each under PIPE_BUF: written whole
                proc.stdin.write(step)

        t0 = time.perf_counter()
        writer = threading.Thread(target=push)
        writer.start()
        frames = count_records(proc.stdout.fileno())
        elapsed = time.perf_counter() - t0
        writer.join()
    finally:
        proc.stdin.close()
        proc.wait()
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
