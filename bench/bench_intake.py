"""Audio intake of a 10-minute file: `_pcm(path)` against the same ffmpeg
command run bare, writing to a pipe (the shell pipes it to `cat > /dev/null`,
and Python's subprocess captures it), in interleaved rounds; wall time and CPU
time (this process and its children: ffmpeg, the shell, cat). Also the float-array conversion, the
mix-down of two-channel arrays and the PyAV fallback decoder.

    .venv/bin/python bench/bench_intake.py [REPS]

The files (a 44.1 kHz stereo WAV and a 128 kb/s MP3 of a tone with noise)
are written once to $TMPDIR/halvane-bench-intake.
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import halvane._open as op

SECONDS = 600


def make_files():
    d = Path(tempfile.gettempdir()) / "halvane-bench-intake"
    d.mkdir(exist_ok=True)
    src = (f"sine=frequency=220:duration={SECONDS}:sample_rate=44100,"
           f"volume=0.5[a];anoisesrc=d={SECONDS}:a=0.05:r=44100[b];[a][b]amix=inputs=2")
    out = {}
    for name, opts in (("speech.wav", ["-ac", "2", "-c:a", "pcm_s16le"]), ("speech.mp3", ["-ac", "2", "-b:a", "128k"])):
        p = d / name
        if not p.exists():
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-filter_complex", src, *opts,
                            str(p)], check=True)
        out[name] = str(p)
    return out


def timed(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), min(times)


def cpu_seconds():
    """CPU time of this process and its reaped children so far."""
    own, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def rounds(rows, reps):
    """Each row run once per round, the rows interleaved, so that a busy
    machine weighs on all of them alike: {label: (wall median, wall best, CPU median)}."""
    wall = {label: [] for label, _ in rows}
    cpu = {label: [] for label, _ in rows}
    for _ in range(reps):
        for label, fn in rows:
            c0, t0 = cpu_seconds(), time.perf_counter()
            fn()
            wall[label].append(time.perf_counter() - t0)
            cpu[label].append(cpu_seconds() - c0)
    return {k: (statistics.median(wall[k]), min(wall[k]), statistics.median(cpu[k])) for k in wall}


def argv(path):
    return ["ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-ar", "16000", "-ac", "1", "-f", "s16le", "-"]


def main():
    reps = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    files = make_files()
    for name, path in files.items():
        pcm = op._pcm(path)
        assert len(pcm) // 2 in range(SECONDS * 16000 - 2000, SECONDS * 16000 + 2000), len(pcm)
        shell = " ".join(argv(path)) + " | cat > /dev/null"
        rows = [
            ("_pcm(path)", lambda: op._pcm(path)),
            ("bare ffmpeg | cat", lambda: subprocess.run(shell, shell=True, check=True)),
            ("subprocess.run capture", lambda: subprocess.run(argv(path), capture_output=True, check=True)),
        ]
        print(f"{name}: {os.path.getsize(path) / 1e6:.1f} MB, {SECONDS} s -> {len(pcm) / 1e6:.1f} MB PCM")
        results = rounds(rows, reps)
        base_wall, base_best, base_cpu = results["bare ffmpeg | cat"]
        for label, (med, best, cpu) in results.items():
            print(f"  {label:24s} wall {med * 1e3:7.1f} ms median ({med / base_wall * 100 - 100:+5.1f} %), "
                  f"{best * 1e3:7.1f} ms best ({best / base_best * 100 - 100:+5.1f} %); "
                  f"CPU {cpu * 1e3:7.1f} ms ({cpu / base_cpu * 100 - 100:+5.1f} %)")
    decode_med, _ = timed(lambda: op._decode(files["speech.wav"]), max(1, reps // 2))
    print(f"  _decode(speech.wav) (PyAV fallback)  {decode_med * 1e3:8.1f} ms median")

    x = (np.random.default_rng(0).standard_normal(SECONDS * 16000) * 0.3).astype(np.float32)
    conv_med, _ = timed(lambda: op._pcm(x), reps * 4)
    print(f"float32 array of {x.size} samples -> PCM: {conv_med * 1e3:.1f} ms median")
    stereo = np.stack([x, x[::-1]], axis=1)  # (samples, channels), interleaved
    for label, arr in (("float32 (n, 2)", stereo), ("float32 (2, n) planar", np.ascontiguousarray(stereo.T)),
                       ("int16 (n, 2)", (stereo * 32767).astype(np.int16))):
        mix_med, _ = timed(lambda: op._pcm(arr), reps * 4)
        print(f"{label} array of {x.size} frames mixed to PCM: {mix_med * 1e3:.1f} ms median")


if __name__ == "__main__":
    main()
