"""The session engine's module: its timing constants, utterance states and
error kinds.

A session renders at `FPS` frames per second from 16 kHz mono 16-bit PCM, so
`BYTES_PER_FRAME` x `FPS` bytes are one second of audio. Every frame it
produces carries an utterance state: `LO_UTT_SPEECH` while the avatar speaks,
`LO_UTT_IDLE` once it is back at rest (other values are transitions).

`Session(root, manifest)` renders the avatar unpacked in the directory `root`
whose parsed "manifest.json" is `manifest`. Each frame is the drawn face of
the engine runtime (`_face.Face`), RGB, whose mouth opens with the loudness
of the frame's audio and whose first row carries the frame's number within the
utterance. Utterance states: frames before the first loud frame are at rest,
from the first loud frame to the end of the audio the avatar speaks (quiet
stretches in between included), and after `end()` it passes `_TAIL`
transition frames and rests: a resting frame is ready at every pull from then
on (after the latency), for as long as frames are pulled.

Pushed audio is kept as PCM and rendered as frames are pulled, at most
`_AHEAD` frames ahead of the puller, so a session holds a bounded number of
frames however much audio is pushed at once.

Manifest keys read (all optional):
  "format"        int, the avatar's format; below `FORMAT` raises AvatarOutdated
  "requires"      list of plain (top-level) module names this avatar needs,
                  looked up without importing anything; one missing raises
                  EngineUnavailable, anything but such a list InvalidAvatar
  "fail"          "open": the load fails (EngineFailed)
  "fail_after"    int n: rendering fails after n frames of an utterance; pull
                  then gives nothing and check_render() raises EngineFailed
  "latency"       seconds from a frame being rendered to it being ready
  "frame_width", "frame_height", "face" (colours as the engine runtime reads them)
"""

import importlib.util
import math
import os
import sys
import time
from collections import deque

FPS = 25
BYTES_PER_FRAME = 16000 * 2 // FPS

LO_UTT_IDLE = 0
LO_UTT_SPEECH = 1
LO_UTT_TRANSITION = 2


class _EngineError(Exception):
    """A session engine failure: the user-facing message is ``args[0]`` and
    `detail` says more for whoever debugs it."""

    def __init__(self, message, detail=None):
        super().__init__(message)
        self.detail = detail


class EngineUnavailable(_EngineError):
    """The engine cannot run on this machine or installation."""


class EngineFailed(_EngineError):
    """The engine failed while preparing or rendering."""


class AvatarOutdated(_EngineError):
    """The avatar's format is older than this engine reads; `code` names the
    conversion it needs."""

    def __init__(self, message, detail=None, code=None):
        super().__init__(message, detail)
        self.code = code


FORMAT = 2
_TAIL = 3  # transition frames between the end of the audio and rest
_AHEAD = 2  # frames rendered before they are pulled, at most
_SPEECH_LEVEL = 0.25  # loudness (0..1) from which a frame counts as speech
_SIZE = (160, 96)
_FACE = {"background": [150, 90, 40], "skin": [150, 190, 230], "eye": [40, 30, 30], "mouth": [60, 40, 170]}


def _number(manifest, key, default, lo):
    v = manifest.get(key, default)
    if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v) or v < lo:
        raise EngineFailed("that avatar's manifest is damaged", f"{key} must be a number >= {lo}, not {v!r}")
    return v


def missing_modules(needs):
    """The names in `needs` (a manifest's "requires") that are not installed.
    Only plain module names are looked up, and nothing is imported: finding a
    dotted name imports its parents, and an avatar file must never decide
    which installed code runs. Raises ValueError for anything else."""
    bad = [m for m in needs if not isinstance(m, str) or not m.isidentifier()] if isinstance(needs, list) else [needs]
    if bad:
        raise ValueError(f"requires must be a list of plain module names, not {bad[0]!r}")
    # A loaded module may carry no spec (__main__ run as a script): it is present;
    # a None entry blocks the name's import, and find_spec says so.
    return [m for m in needs if sys.modules.get(m) is None and importlib.util.find_spec(m) is None]


def _missing(manifest):
    try:
        return missing_modules(manifest.get("requires", []))
    except ValueError as e:
        from ._errors import InvalidAvatar, refuse

        raise refuse(InvalidAvatar, "that avatar's manifest is damaged", str(e)) from None


class Session:
    """One avatar's session: audio pushed in, frames with utterance states pulled out."""

    def __init__(self, root, manifest):
        from ._face import _COLOURS, Face, _colour, _rms_loudness, _size

        if not isinstance(manifest, dict):
            raise EngineFailed("that avatar's manifest is damaged", f"{os.fspath(root)}: not a JSON object")
        fmt = _number(manifest, "format", FORMAT, 0)
        if fmt < FORMAT:
            raise AvatarOutdated("this avatar was made in an older format; convert it, then open it again",
                                 f"format {fmt}, this engine reads {FORMAT}", code=f"format-{fmt}-to-{FORMAT}")
        missing = _missing(manifest)
        if missing:
            raise EngineUnavailable("this avatar needs parts of the session engine that are not installed",
                                    f"missing: {missing!r}")
        if manifest.get("fail") == "open":
            raise EngineFailed("the session engine could not load that avatar", f"{os.fspath(root)}: load refused")
        self._fail_after = manifest.get("fail_after")
        if self._fail_after is not None:
            self._fail_after = _number(manifest, "fail_after", 0, 0)
        self._latency = float(_number(manifest, "latency", 0.0, 0))
        try:
            face = manifest.get("face", _FACE)
            self._face = Face(_size(manifest, "frame_width", 32, 4096) if "frame_width" in manifest else _SIZE[0],
                              _size(manifest, "frame_height", 16, 4096) if "frame_height" in manifest else _SIZE[1],
                              {k: _colour(face, k) for k in _COLOURS})
        except (ValueError, AttributeError) as e:
            raise EngineFailed("that avatar's manifest is damaged", str(e)) from None
        self._loudness = _rms_loudness
        self._closed = False
        self.reset()

    def _open(self):
        if self._closed:
            raise EngineFailed("this avatar's session is closed", "a call after close()")

    def reset(self):
        """Drops the audio and frames of the current utterance."""
        self._open()
        self._pcm = bytearray()
        self._ready = deque()  # (time it becomes ready, frame, state)
        self._n = 0  # frames rendered in this utterance
        self._spoke = False
        self._rest_at = None  # once ended: when the first resting frame is ready
        self._tail = 0  # transition frames still to render after the end of the audio
        self._failure = None

    def _render(self, samples, state):
        if self._failure is not None:
            return
        if self._fail_after is not None and self._n >= self._fail_after:
            self._failure = (f"rendering stopped after frame {self._n}", f"fail_after={self._fail_after}")
            return
        level = self._loudness(samples) if len(samples) else 0.0
        if state is None:
            self._spoke = self._spoke or level >= _SPEECH_LEVEL
            state = LO_UTT_SPEECH if self._spoke else LO_UTT_IDLE
        rgb = self._face.picture(self._n, level)[..., ::-1].copy()
        self._ready.append((time.monotonic() + self._latency, rgb, state))
        self._n += 1

    def push(self, chunk):
        """Appends 16 kHz mono int16 PCM to the utterance; its whole frames are rendered as they are pulled."""
        self._open()
        if self._rest_at is not None:
            raise EngineFailed("audio came after the end of the utterance", "push() after end()")
        self._pcm += chunk

    def end(self):
        """The audio is complete: the rest of it makes a last frame, then the avatar returns to rest."""
        self._open()
        if self._rest_at is not None:
            return
        self._tail = _TAIL
        self._rest_at = time.monotonic() + self._latency

    def _render_ahead(self):
        """Renders the next frames of the pushed audio (after the end, the last
        partial frame and the tail) until `_AHEAD` are waiting."""
        import numpy as np

        while len(self._ready) < _AHEAD and self._failure is None:
            if len(self._pcm) >= BYTES_PER_FRAME:
                pcm = np.frombuffer(bytes(self._pcm[:BYTES_PER_FRAME]), "<i2")
                del self._pcm[:BYTES_PER_FRAME]
                self._render(pcm.astype(np.float32) / 32768.0, None)
            elif self._rest_at is None:
                return
            elif len(self._pcm) >= 2:
                pcm = np.frombuffer(bytes(self._pcm), "<i2", len(self._pcm) // 2)
                self._pcm = bytearray()
                self._render(pcm.astype(np.float32) / 32768.0, None)
            elif self._tail:
                self._pcm = bytearray()
                self._tail -= 1
                self._render((), LO_UTT_TRANSITION)
            else:
                return

    def pull(self):
        """(frame, state) of the next frame when it is ready, else None."""
        self._open()
        self._render_ahead()
        now = time.monotonic()
        if self._ready:
            if self._ready[0][0] > now:
                return None
            _, frame, state = self._ready.popleft()
            return frame, state
        if self._rest_at is None or self._failure is not None:
            return None
        if self._rest_at > now:
            return None
        self._render((), LO_UTT_IDLE)
        _, frame, state = self._ready.popleft()
        return frame, state

    def check_render(self):
        """Raises EngineFailed when rendering this utterance has failed."""
        self._open()
        if self._failure is not None:
            raise EngineFailed(*self._failure)

    def close(self):
        """Releases the session; later calls fail."""
        self._closed = True
        self._ready = deque()
