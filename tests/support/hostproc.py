"""Driving the real host program through its pipes with whole byte strings: the
exact bytes in and out, including input no well-behaved parent would send.
Messages are encoded and decoded by the package's protocol client."""

import io
import os
import struct
import subprocess

import numpy as np

from halvane._zephan2.client import FLUSH, FLUSH_MARKER, RESET, data_steps, host_command, read_record  # noqa: F401

HOST = host_command()
SHAPE = (720, 416, 3)
READY_NULL = b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'


def data(samples):
    return b"".join(data_steps(samples))


def word(w):
    return struct.pack("<I", w)


def run_host(args, stdin=b"", env=None, timeout=300):
    e = {**os.environ, **(env or {})}
    r = subprocess.run([*HOST, *map(str, args)], input=stdin, capture_output=True, env=e, timeout=timeout)
    return r.returncode, r.stdout, r.stderr.decode("utf-8", "replace")


def parse_output(out):
    """READY line, then a list of frame indices (-1 for a flush marker) and the pixel bytes."""
    stream = io.BytesIO(out)
    ready = stream.readline()
    events, pixels = [], []
    while (rec := read_record(stream, SHAPE)) is not None:
        events.append(rec[0])
        if rec[0] != FLUSH_MARKER:
            pixels.append(rec[1].tobytes())
    return ready, events, pixels


def log_lines(err):
    return [line for line in err.splitlines() if line.startswith("[tessel-render-host]")]


def speech(n, seed=0):
    """n samples of a syllable-modulated tone with a little noise: audio that
    opens and closes the fixture avatar's mouth."""
    t = np.arange(n) / 16000.0
    rng = np.random.default_rng(seed)
    return (0.3 * (0.5 + 0.5 * np.sin(2 * np.pi * 2.5 * t)) * np.sin(2 * np.pi * 220 * t)
            + 0.02 * rng.standard_normal(n)).astype(np.float32)
