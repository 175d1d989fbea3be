"""The engine runtime: avatar fixtures and the runtime that turns their audio
into ticks.

A fixture is a loaded ostrel1 avatar: an avatar file (an IMX container, a zip
archive or a directory) whose member "manifest.json" names the engine
"ostrel1" and gives the picture size, the samples per tick and the colours of
the face. A runtime takes 16 kHz float32 audio and makes one picture per
`audio_samples_per_tick` samples: BGR, uint8, height x width x 3, a face on a
blue background whose mouth opens with the loudness of the tick's audio, as
the registered audio encoder measures it (0 silent .. 1 loud). The first row
carries the tick number: pixel i is white when bit i of the number is set
(least significant bit first), black otherwise.

The audio encoder is registered by the bundle loader before the first
fixture is built (`_loader.NativeFixtureLoaderMixin`).
"""

from __future__ import annotations

import json
import os
import threading

import numpy as np

EP_AUTO = "auto"
ENGINE_ONLY = False

_ENGINE = "ostrel1"
_SAMPLE_RATE = 16000
_TICK_BITS = 32
_MANIFEST = "manifest.json"
_COLOURS = ("background", "skin", "eye", "mouth")

_audio_encoders = {}


def register_audio_encoder(name, encoder):
    """Makes `encoder` (float32 samples -> loudness in [0, 1]) known as `name`."""
    _audio_encoders[name] = encoder


def audio_encoders():
    """The registered audio encoders, by name."""
    return dict(_audio_encoders)


# --- avatar files -----------------------------------------------------------------

def _member(source, name):
    """Member `name` of the avatar at `source` (directory, zip or IMX), or None."""
    from . import _offline

    return _offline.member_bytes(os.fspath(source), name)


def _colour(face, key):
    c = face.get(key)
    if not (isinstance(c, list) and len(c) == 3 and all(isinstance(v, int) and 0 <= v <= 255 for v in c)):
        raise ValueError(f"face colour {key!r} must be three integers 0..255 (blue, green, red)")
    return np.array(c, dtype=np.uint8)


def _size(manifest, key, lo, hi):
    v = manifest.get(key)
    if not (isinstance(v, int) and not isinstance(v, bool) and lo <= v <= hi):
        raise ValueError(f"manifest {key} must be an integer {lo}..{hi}")
    return v


# --- fixture and runtime ----------------------------------------------------------

class Fixture:
    """A loaded ostrel1 avatar. Raises OSError when the file cannot be read and
    ValueError when it is no ostrel1 avatar of this runtime's format."""

    def __init__(self, source, preferred_ep=EP_AUTO, intra_op_threads=1):
        if preferred_ep != EP_AUTO:
            raise ValueError(f"unknown execution provider {preferred_ep!r}")
        if not isinstance(intra_op_threads, int) or isinstance(intra_op_threads, bool) or intra_op_threads < 1:
            raise ValueError(f"intra_op_threads must be a positive integer, not {intra_op_threads!r}")
        encoder = audio_encoders().get("default")
        if encoder is None:
            raise RuntimeError("no audio encoder is registered: the loader registers the default one")
        raw = _member(source, _MANIFEST)
        if raw is None:
            raise ValueError(f"{os.fspath(source)} has no {_MANIFEST}")
        manifest = json.loads(raw)
        if not isinstance(manifest, dict) or manifest.get("engine") != _ENGINE:
            raise ValueError(f"{os.fspath(source)} is not an {_ENGINE} avatar")
        if manifest.get("audio_sample_rate", _SAMPLE_RATE) != _SAMPLE_RATE:
            raise ValueError(f"this runtime takes audio at {_SAMPLE_RATE} Hz only")
        face = manifest.get("face")
        if not isinstance(face, dict):
            raise ValueError("manifest face must be an object")

        self.source = os.fspath(source)
        self.intra_op_threads = intra_op_threads
        self.audio_sample_rate = _SAMPLE_RATE
        self.audio_samples_per_tick = _size(manifest, "audio_samples_per_tick", 1, _SAMPLE_RATE)
        self.frame_width = _size(manifest, "frame_width", _TICK_BITS, 4096)
        self.frame_height = _size(manifest, "frame_height", 16, 4096)
        self._encoder = encoder
        self._face = Face(self.frame_width, self.frame_height, {k: _colour(face, k) for k in _COLOURS})

    def _picture(self, tick, level):
        """The BGR picture of tick number `tick` at loudness `level` (0..1);
        `tick` None leaves the first row as the face has it."""
        return self._face.picture(tick, level)


class Face:
    """The drawn face of an avatar: `width` x `height` pictures in the colours
    `colours` (BGR triples by the names of `_COLOURS`), whose mouth opens with
    a loudness and whose first row can carry a frame number."""

    def __init__(self, width, height, colours):
        self.width, self.height = width, height
        self._mouth_colour = np.asarray(colours["mouth"], np.uint8)
        self._base = self._draw(colours)

    def _draw(self, colours):
        w, h = self.width, self.height
        y, x = np.ogrid[:h, :w]
        cx, cy = (w - 1) / 2, (h - 1) / 2
        pic = np.empty((h, w, 3), np.uint8)
        pic[:] = colours["background"]
        pic[((x - cx) / (0.3 * w)) ** 2 + ((y - cy) / (0.42 * h)) ** 2 <= 1] = colours["skin"]
        r = max(1.0, 0.04 * min(w, h))
        for ex in (cx - 0.12 * w, cx + 0.12 * w):
            pic[(x - ex) ** 2 + (y - (cy - 0.12 * h)) ** 2 <= r * r] = colours["eye"]
        # The mouth: an ellipse below the centre, whose half-height grows from
        # 1 pixel (closed) to `_mouth_open` + 1 pixels with the loudness.
        self._mouth_open = max(1, round(0.1 * h))
        half_w = max(2, round(0.12 * w))
        my = round(cy + 0.2 * h)
        top, bottom = my - self._mouth_open - 1, my + self._mouth_open + 2
        left, right = round(cx) - half_w, round(cx) + half_w + 1
        self._mouth_box = (slice(top, bottom), slice(left, right))
        my_, mx_ = np.ogrid[top:bottom, left:right]
        self._mouth_dx2 = ((mx_ - round(cx)) / half_w) ** 2
        self._mouth_dy = (my_ - my).astype(np.float64)
        return pic

    def picture(self, tick, level):
        """The BGR picture of frame number `tick` at loudness `level` (0..1);
        `tick` None leaves the first row as the face has it. The first row
        carries the number: pixel i is white when bit i is set."""
        pic = self._base.copy()
        half_h = 1 + round(min(max(level, 0.0), 1.0) * self._mouth_open)
        mouth = self._mouth_dx2 + (self._mouth_dy / half_h) ** 2 <= 1
        pic[self._mouth_box][mouth] = self._mouth_colour
        if tick is not None:
            bits = (tick >> np.arange(_TICK_BITS, dtype=np.int64)) & 1
            pic[0, :_TICK_BITS] = (bits * 255).astype(np.uint8)[:, None]
        return pic


class Runtime:
    """A stream of ticks bound to one fixture. `push_audio`, `pull_frame` and
    the other calls may come from different threads."""

    def __init__(self, fixture):
        if not callable(getattr(fixture, "_picture", None)):
            raise TypeError(f"Runtime needs a Fixture, not {type(fixture).__name__}")
        self._fx = fixture
        self._lock = threading.Lock()
        self._pending = bytearray()  # float32 samples not yet made into ticks
        self._tick = 0
        self._closed = False

    def _open(self):
        if self._closed:
            raise RuntimeError("this runtime is closed")

    def push_audio(self, samples):
        a = np.asarray(samples, dtype=np.float32)
        if a.ndim != 1:
            raise ValueError("push_audio takes one-dimensional float32 samples")
        with self._lock:
            self._open()
            self._pending += a.tobytes()

    def ticks_available(self):
        with self._lock:
            self._open()
            return len(self._pending) // (4 * self._fx.audio_samples_per_tick)

    def pull_frame(self, index=-1):
        """(tick number, BGR picture) of the next ready tick."""
        n = 4 * self._fx.audio_samples_per_tick
        with self._lock:
            self._open()
            if len(self._pending) < n:
                raise RuntimeError("no tick is ready")
            samples = np.frombuffer(bytes(self._pending[:n]), dtype=np.float32)
            del self._pending[:n]
            tick = self._tick
            self._tick += 1
        return tick, self._fx._picture(tick, float(self._fx._encoder(samples)))

    def reset_stream(self):
        with self._lock:
            self._open()
            self._pending = bytearray()
            self._tick = 0

    def get_source_frame(self, index):
        """The resting picture (mouth closed) for -1 and for the first-frame
        probe 0; None for anything else."""
        if index not in (-1, 0):
            return None
        return self._fx._picture(None, 0.0)

    def close(self):
        with self._lock:
            self._closed = True
            self._pending = bytearray()
