"""The engine of ostrel2-unified avatars, rendering from an avatar unpacked
into a directory.

`O2UEngine(directory)` reads the directory's "manifest.json" and renders at
`FPS` frames per second: one frame per `SAMPLES_PER_FRAME` samples of 16 kHz
mono int16 PCM, the last partial frame's worth of audio making one more. Each
frame is the drawn face of the engine runtime (`_face.Face`), RGB, whose
mouth opens with the loudness of the frame's audio and whose first row
carries the frame's number within the render.

Manifest keys read:
  "engine"        must be "ostrel2-unified"
  "requires"      optional list of module names; one missing raises O2UUnavailable
  "frame_width", "frame_height", "face"   optional, as the engine runtime reads them
A manifest that is missing, not JSON or not of this engine raises O2UInvalid,
with the error that showed it as its cause when there is one.
"""

import json
import os

from .._session import missing_modules

ENGINE = "ostrel2-unified"
FPS = 25
SAMPLE_RATE = 16000
SAMPLES_PER_FRAME = SAMPLE_RATE // FPS
_SIZE = (160, 96)
_FACE = {"background": [60, 120, 40], "skin": [150, 190, 230], "eye": [40, 30, 30], "mouth": [60, 40, 170]}


class O2UInvalid(Exception):
    """The directory holds no usable ostrel2-unified avatar."""


class O2UUnavailable(Exception):
    """The avatar needs something this installation lacks."""


def _manifest(directory):
    path = os.path.join(directory, "manifest.json")
    try:
        with open(path, "rb") as f:
            manifest = json.load(f)
    except FileNotFoundError as e:
        raise O2UInvalid("that avatar has no manifest") from e
    except ValueError as e:
        raise O2UInvalid("that avatar's manifest is damaged") from e
    if not isinstance(manifest, dict) or manifest.get("engine") != ENGINE:
        raise O2UInvalid(f"that is not an {ENGINE} avatar")
    return manifest


class O2UEngine:
    """The render engine of one unpacked ostrel2-unified avatar."""

    frames_per_second = FPS

    def __init__(self, directory):
        from .._face import _COLOURS, Face, _colour, _rms_loudness, _size

        directory = os.fspath(directory)
        manifest = _manifest(directory)
        try:
            missing = missing_modules(manifest.get("requires", []))
        except ValueError as e:
            raise O2UInvalid("that avatar's manifest is damaged", str(e)) from None
        if missing:
            raise O2UUnavailable(f"this avatar needs modules that are not installed: {', '.join(missing)}")
        try:
            face = manifest.get("face", _FACE)
            width = _size(manifest, "frame_width", 32, 4096) if "frame_width" in manifest else _SIZE[0]
            height = _size(manifest, "frame_height", 16, 4096) if "frame_height" in manifest else _SIZE[1]
            colours = {k: _colour(face, k) for k in _COLOURS}
        except (ValueError, AttributeError) as e:
            raise O2UInvalid("that avatar's manifest is damaged") from e
        self._face = Face(width, height, colours)
        self._loudness = _rms_loudness
        self._closed = False

    def frames(self, chunks):
        """A generator of the RGB frames of the audio of `chunks`, read in place:
        a long clip is held once, as the caller's PCM."""
        import numpy as np

        if self._closed:
            raise RuntimeError("this engine is closed")
        n = 0
        step = 2 * SAMPLES_PER_FRAME
        carry = bytearray()  # less than a frame's audio, left by the chunks before

        def frame(block):
            samples = np.frombuffer(block, "<i2").astype(np.float32) / np.float32(32768.0)
            return self._face.picture(n, self._loudness(samples))[..., ::-1].copy()

        for chunk in chunks:
            view = memoryview(chunk).cast("B")
            start = min(step - len(carry), len(view)) if carry else 0
            carry += view[:start]
            if carry and len(carry) < step:
                continue
            if carry:
                yield frame(carry)
                n += 1
                carry = bytearray()
            whole = start + (len(view) - start) // step * step
            for off in range(start, whole, step):
                yield frame(view[off:off + step])
                n += 1
            carry += view[whole:]
        if len(carry) >= 2:
            yield frame(carry[:len(carry) - len(carry) % 2])

    def interrupt(self):
        """Nothing outlives a render: the next one starts clean."""

    def close(self):
        self._closed = True
