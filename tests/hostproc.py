"""Driving the real host program through its pipes."""

import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np

HOST = str(Path(sys.executable).parent / "tessel_render_host")
FRAME = 720 * 416 * 3
FLUSH, RESET = 0xFFFFFFFF, 0xFFFFFFFE
READY_NULL = b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'


def data(samples):
    samples = np.asarray(samples, dtype="<f4")
    return struct.pack("<I", samples.size) + samples.tobytes()


def word(w):
    return struct.pack("<I", w)


def run_host(args, stdin=b"", env=None, timeout=300):
    e = {**os.environ, **(env or {})}
    r = subprocess.run([HOST, *map(str, args)], input=stdin, capture_output=True, env=e, timeout=timeout)
    return r.returncode, r.stdout, r.stderr.decode("utf-8", "replace")


def parse_output(out):
    """READY line, then a list of frame indices (-1 for a flush marker) and the pixel bytes."""
    nl = out.index(b"\n") + 1
    ready, rest = out[:nl], memoryview(out)[nl:]
    events, pixels = [], []
    while len(rest):
        (idx,) = struct.unpack("<i", rest[:4])
        events.append(idx)
        if idx == -1:
            rest = rest[4:]
        else:
            assert len(rest) >= 4 + FRAME, "truncated frame record"
            pixels.append(bytes(rest[4:4 + FRAME]))
            rest = rest[4 + FRAME:]
    return ready, events, pixels


def log_lines(err):
    return [line for line in err.splitlines() if line.startswith("[tessel-render-host]")]
