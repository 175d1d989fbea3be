"""The bundle loader's side of the engine runtime: what must be known to the
runtime before a fixture is built.

`NativeFixtureLoaderMixin._register_default_audio_encoder()` registers the
default audio encoder with the runtime `_core`, once per process; later calls
do nothing. The encoder measures the loudness of one tick of 16 kHz float32
audio: its RMS level, -50 dBFS and below giving 0 and -6 dBFS and above 1.
"""

from __future__ import annotations

import threading

import numpy as np

_FLOOR_DB = -50.0
_FULL_DB = -6.0


def _rms_loudness(samples):
    a = np.asarray(samples, dtype=np.float64)
    if a.size == 0:
        return 0.0
    rms = float(np.sqrt(np.mean(a * a)))
    db = 20.0 * np.log10(rms) if rms > 0 else _FLOOR_DB
    return float(min(max((db - _FLOOR_DB) / (_FULL_DB - _FLOOR_DB), 0.0), 1.0))


class NativeFixtureLoaderMixin:
    """Loading of native fixtures; `_default_audio_encoder` names the encoder
    registered by this process (None until the first registration)."""

    _default_audio_encoder = None
    _registration_lock = threading.Lock()

    @staticmethod
    def _register_default_audio_encoder():
        cls = NativeFixtureLoaderMixin
        with cls._registration_lock:
            if cls._default_audio_encoder is not None:
                return
            from . import _core

            _core.register_audio_encoder("default", _rms_loudness)
            cls._default_audio_encoder = "default"
