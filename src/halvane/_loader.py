"""The bundle loader's side of the engine runtime: what must be known to the
runtime before a fixture is built.

`NativeFixtureLoaderMixin._register_default_audio_encoder()` registers the
default audio encoder with the runtime `_core` (a later call registers it
again, which changes nothing). The encoder measures the loudness of one tick
of 16 kHz float32 audio: its RMS level, -50 dBFS and below giving 0 and
-6 dBFS and above 1.
"""

from __future__ import annotations

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
    """Loading of native fixtures."""

    @staticmethod
    def _register_default_audio_encoder():
        from . import _core

        _core.register_audio_encoder("default", _rms_loudness)
