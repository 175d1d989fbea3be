"""The drawn face of the fixture avatars and the loudness that opens its mouth.

A leaf of the package: the engine runtime (`_core`), the bundle loader
(`_loader`), the session engine (`_session`) and the ostrel2-unified engine
(`_o2u.engine`) all draw with `Face` and measure with `_rms_loudness`, and
this module imports none of them. `_core` and `_loader` re-export what they
used to define.

`Face(width, height, colours)` draws BGR pictures in the colours `colours`
(triples by the names of `_COLOURS`) whose mouth opens with a loudness and
whose first row can carry a frame number: pixel i is white when bit i is set
(least significant bit first). `_colour` and `_size` read a face colour and a
size from a manifest. `_rms_loudness(samples)` measures one tick of 16 kHz
float32 audio: its RMS level, -50 dBFS and below giving 0 and -6 dBFS and
above 1.
"""

from __future__ import annotations

import numpy as np

_TICK_BITS = 32
_COLOURS = ("background", "skin", "eye", "mouth")

_FLOOR_DB = -50.0
_FULL_DB = -6.0


def _rms_loudness(samples):
    a = np.asarray(samples, dtype=np.float64)
    if a.size == 0:
        return 0.0
    rms = float(np.sqrt(np.mean(a * a)))
    db = 20.0 * np.log10(rms) if rms > 0 else _FLOOR_DB
    return float(min(max((db - _FLOOR_DB) / (_FULL_DB - _FLOOR_DB), 0.0), 1.0))


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
