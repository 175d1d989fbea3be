"""The bundle loader's side of the engine runtime: what must be known to the
runtime before a fixture is built.

`NativeFixtureLoaderMixin._register_default_audio_encoder()` registers the
default audio encoder with the runtime `_core` (a later call registers it
again, which changes nothing). `_load_fixture_blocking(path)` loads an avatar
for the live interface: the fixture and a runtime for it, in `_fixture` and
`_runtime`; only the engines the runtime runs live (ostrel1 and zephan-2)
load, any other engine id fails with a ValueError that names it. The encoder measures the loudness of one tick
of 16 kHz float32 audio: its RMS level, -50 dBFS and below giving 0 and
-6 dBFS and above 1 (`_rms_loudness`, defined in the leaf `_face` beside the
face it opens the mouth of, and importable from here).
"""

from __future__ import annotations

from ._face import _rms_loudness


class NativeFixtureLoaderMixin:
    """Loading of native fixtures."""

    @staticmethod
    def _register_default_audio_encoder():
        from . import _core

        _core.register_audio_encoder("default", _rms_loudness)

    def _load_fixture_blocking(self, path: str) -> None:
        """Loads the avatar at `path` (blocking): sets `_fixture` and `_runtime`.
        The thread count is `_num_threads` when positive, else the engine's default."""
        from . import _core, _imx_engine, _threads
        from .unified_header import ENGINE_OSTREL1, ENGINE_ZEPHAN2

        engine = _imx_engine.engine_id_for_path(path)
        if engine not in (ENGINE_OSTREL1, ENGINE_ZEPHAN2):
            raise ValueError(f"{path} is an avatar of the engine {engine!r}, which the live runtime cannot run "
                             f"(it runs {ENGINE_OSTREL1!r} and {ENGINE_ZEPHAN2!r} avatars)")
        if engine == ENGINE_OSTREL1 and getattr(_core, "ENGINE_ONLY", False):
            raise ValueError(f"{path} is an {ENGINE_OSTREL1!r} avatar, which this engine runtime cannot run")
        self._register_default_audio_encoder()
        n = getattr(self, "_num_threads", 0)
        if isinstance(n, int) and not isinstance(n, bool) and n > 0:
            threads = n
        else:  # zephan-2: the host picks its own
            threads = _threads.default_threads(_threads.OSTREL1) if engine == ENGINE_OSTREL1 else None
        fixture = _core.Fixture(path, preferred_ep=_core.EP_AUTO, intra_op_threads=threads)
        runtime = _core.Runtime(fixture)
        self._fixture, self._runtime = fixture, runtime
