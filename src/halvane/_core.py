"""The engine runtime: avatar fixtures and the runtime that turns their audio
into ticks.

A fixture is a loaded avatar, ostrel1 or zephan-2 (below). An ostrel1 avatar
is an avatar file (an IMX container, a zip archive or a directory) whose
member "manifest.json" names the engine "ostrel1" and gives the picture size,
the samples per tick and the colours of the face. A runtime takes 16 kHz
float32 audio and makes one picture per `audio_samples_per_tick` samples: BGR,
uint8, height x width x 3, a face on a blue background whose mouth opens with
the loudness of the tick's audio, as the registered audio encoder measures it
(0 silent .. 1 loud). The first row carries the tick number: pixel i is white
when bit i of the number is set (least significant bit first), black
otherwise.

The audio encoder is registered by the bundle loader before the first
fixture is built (`_loader.NativeFixtureLoaderMixin`).

A zephan-2 avatar (manifest engine "zephan2") is rendered by the real
`tessel_render_host`: its runtime owns one host process, started when the
runtime is built, and speaks the render-stream protocol with it through
`_zephan2.engine._Stream`. Its geometry is the host module's constants
(`halvane._zephan2._tessel_host`): pictures of FW x FH, FPS per second (SPF
samples per tick), and ticks in the host's chunks: CHUNK0_PX (+ PRESENT_DELAY_FRAMES,
the first picture again) once the first chunk's audio is in, then STEADY_PX
more each time the host's window for the next chunk is complete
(`samples_for_chunk`, the host's own `Renderer._need`). `push_audio` returns
once the host has written every frame that the audio fed so far completes,
so the ticks a push makes are ready when it returns. `end_utterance` flushes
the host: the utterance's last frames (and the host's padding past them)
become ready, and the next push starts a new utterance. The resting picture
(`get_source_frame(-1)`, and the first-frame probe 0) is the last frame the
host renders for the first chunk's audio of silence, rendered once per
fixture.

`tick_compose_to_size(pcm_buf, -1, w, h)` composes the next tick of the
utterance whose whole audio so far is `pcm_buf` at w x h, and keeps its own
cursor. Composing fits the engine's picture inside w x h: scaled with its
aspect kept to the largest size that fits, centred, the margins in the
per-channel median colour of the picture's outermost rows and columns (its
background, for an avatar on a plain one); `halvane._picture.fit` does the
pixel work, with the GIL released. The cursor: the k-th call on an utterance's buffer gives tick k.
A buffer that does not continue the audio the cursor has walked (shorter
than the last one, or different in its first tick or in the last tick
composed) starts a new utterance, and so does `reset_stream`. When tick k
is not whole in the buffer, or the host has not rendered it yet (it renders
whole chunks), the call raises ValueError "... cursor past end ..." and the
cursor stays. A zephan-2 utterance composed this way and then pushed whole
(the same buffer from its first sample) goes on from where composing
stopped: the host is fed only what it has not had, and the ready ticks
start at the cursor. Composing feeds the host only as far as the tick asked
for needs: up to the end of that tick's chunk (at most one chunk of audio
per call), however much the buffer holds, so a long reply pushed at once is
rendered a chunk at a time as it is composed, and nothing of it is rendered
once the calls stop.

Render cost: the environment variable HALVANE_TICK_COST_MS (milliseconds,
default 0), read when a fixture is built, is spent once per tick rendered
(per pull or compose of an ostrel1 tick, per frame the zephan-2 host hands
over), sleeping with the GIL released, so that tests and benchmarks can make
the engine as slow as they need.
"""

from __future__ import annotations

import collections
import json
import os
import threading
import time
import weakref

import numpy as np

# The face and the manifest readers live in the leaf _face; they stay importable from here.
from ._face import _COLOURS, _TICK_BITS, Face, _colour, _size
from ._picture import MAX_SIDE as _MAX_SIDE
from ._picture import fit as _fit_picture
from .unified_header import ENGINE_ZEPHAN2

EP_AUTO = "auto"
ENGINE_ONLY = False

_ENGINE = "ostrel1"
_SAMPLE_RATE = 16000
_MANIFEST = "manifest.json"
_TICK_COST_ENV = "HALVANE_TICK_COST_MS"

_Z2_CANON = ("canon.bin", "canon.f32")

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


# --- fixture and runtime ----------------------------------------------------------

class Fixture:
    """A loaded ostrel1 or zephan-2 avatar; `engine_id` tells which. Raises OSError when the file cannot be read and
    ValueError when it is no ostrel1 avatar of this runtime's format."""

    def __init__(self, source, preferred_ep=EP_AUTO, intra_op_threads=None):
        if preferred_ep != EP_AUTO:
            raise ValueError(f"unknown execution provider {preferred_ep!r}")
        if intra_op_threads is not None and (not isinstance(intra_op_threads, int)
                                             or isinstance(intra_op_threads, bool) or intra_op_threads < 1):
            raise ValueError(f"intra_op_threads must be a positive integer, not {intra_op_threads!r}")
        self.tick_cost_s = _tick_cost_s()
        encoder = audio_encoders().get("default")
        if encoder is None:
            raise RuntimeError("no audio encoder is registered: the loader registers the default one")
        raw = _member(source, _MANIFEST)
        if raw is None:
            raise ValueError(f"{os.fspath(source)} has no {_MANIFEST}")
        manifest = json.loads(raw)
        if isinstance(manifest, dict) and manifest.get("engine") == ENGINE_ZEPHAN2:
            # The host reads and checks the bundle itself when a runtime starts it.
            if all(_member(source, name) is None for name in _Z2_CANON):
                raise ValueError(f"{os.fspath(source)} is no zephan-2 bundle: it has no {_Z2_CANON[0]}")
            self.engine_id = ENGINE_ZEPHAN2
            self.source = os.fspath(source)
            self.intra_op_threads = intra_op_threads  # None: the host's own default
            host = _z2_host()
            self.audio_sample_rate = host.SR
            self.audio_samples_per_tick = host.SPF
            self.frame_width, self.frame_height = host.FW, host.FH
            self._resting = None  # BGR, read-only; rendered by the first runtime
            return
        if not isinstance(manifest, dict) or manifest.get("engine") != _ENGINE:
            raise ValueError(f"{os.fspath(source)} is not an {_ENGINE} avatar")
        if manifest.get("audio_sample_rate", _SAMPLE_RATE) != _SAMPLE_RATE:
            raise ValueError(f"this runtime takes audio at {_SAMPLE_RATE} Hz only")
        face = manifest.get("face")
        if not isinstance(face, dict):
            raise ValueError("manifest face must be an object")

        self.engine_id = _ENGINE
        self.source = os.fspath(source)
        self.intra_op_threads = 1 if intra_op_threads is None else intra_op_threads
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


def _tick_cost_s():
    raw = os.environ.get(_TICK_COST_ENV, "").strip()
    if not raw:
        return 0.0
    try:
        ms = float(raw)
    except ValueError:
        ms = -1.0
    if not ms >= 0.0 or ms == float("inf"):
        raise ValueError(f"{_TICK_COST_ENV} must be a number of milliseconds, 0 or more, not {raw!r}")
    return ms / 1000.0


def _spend(fixture, ticks):
    """The configured render cost of `ticks` ticks; time.sleep releases the GIL."""
    if fixture.tick_cost_s > 0 and ticks > 0:
        time.sleep(fixture.tick_cost_s * ticks)


def _samples(samples):
    a = np.ascontiguousarray(samples, dtype=np.float32)
    if a.ndim != 1:
        raise ValueError("the runtime takes one-dimensional float32 samples")
    return a


def _fitted(pic, width, height):
    """`pic` (h x w x 3) fitted inside `width` x `height` (see the module's notes); itself when the size fits."""
    for v in (width, height):
        if not isinstance(v, (int, np.integer)) or isinstance(v, bool) or not 1 <= v <= _MAX_SIDE:
            raise ValueError(f"tick_compose_to_size: frame sizes must be integers 1..{_MAX_SIDE}, not {v!r}")
    if pic.shape[:2] == (height, width):
        return pic
    return _fit_picture(pic, int(width), int(height))


class _ComposeCursor:
    """Which tick of an utterance's buffer the next compose call gives."""

    def __init__(self, spt):
        self.spt = spt
        self.reset()

    def reset(self):
        self.tick = 0
        self.head = None  # the first tick of the utterance's audio
        self.last = None  # the last tick composed
        self.size = 0     # the buffer's length at the last compose

    def locate(self, buf):
        """(tick to compose, whether `buf` starts a new utterance); restarts on a new one.
        ValueError "cursor past end" when that tick is not whole in `buf`."""
        spt, k = self.spt, self.tick
        new = self.head is not None and (
            buf.size < self.size or not np.array_equal(buf[:self.head.size], self.head)
            or not np.array_equal(buf[(k - 1) * spt:k * spt], self.last))
        if new:
            self.reset()
            k = 0
        if buf.size < (k + 1) * spt:
            raise ValueError(f"tick_compose_to_size: cursor past end (tick {k} needs {(k + 1) * spt} samples, "
                             f"the buffer holds {buf.size})")
        return k, new

    def advance(self, buf):
        k, spt = self.tick, self.spt
        if self.head is None:
            self.head = buf[:spt].copy()
        self.last = buf[k * spt:(k + 1) * spt].copy()
        self.size = buf.size
        self.tick = k + 1


class Runtime:
    """A stream of ticks bound to one fixture. `push_audio`, `pull_frame` and
    the other calls may come from different threads. For a zephan-2 fixture
    the runtime is a `HostRuntime`."""

    def __new__(cls, fixture):
        if cls is Runtime and getattr(fixture, "engine_id", None) == ENGINE_ZEPHAN2:
            cls = HostRuntime
        return super().__new__(cls)

    def __init__(self, fixture):
        if not callable(getattr(fixture, "_picture", None)):
            raise TypeError(f"Runtime needs a Fixture, not {type(fixture).__name__}")
        self._fx = fixture
        self._lock = threading.Lock()
        self._pending = bytearray()  # float32 samples not yet made into ticks
        self._tick = 0
        self._cursor = _ComposeCursor(fixture.audio_samples_per_tick)
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
        _spend(self._fx, 1)
        return tick, self._fx._picture(tick, float(self._fx._encoder(samples)))

    def tick_compose_to_size(self, pcm_buf, index, width, height):
        """(tick number, BGR picture at width x height) of the utterance's next tick."""
        buf = _samples(pcm_buf)
        spt = self._fx.audio_samples_per_tick
        with self._lock:
            self._open()
            k, _ = self._cursor.locate(buf)
            samples = buf[k * spt:(k + 1) * spt].copy()
            self._cursor.advance(buf)
        _spend(self._fx, 1)
        return k, _fitted(self._fx._picture(k, float(self._fx._encoder(samples))), width, height)

    def reset_stream(self):
        with self._lock:
            self._open()
            self._pending = bytearray()
            self._tick = 0
            self._cursor.reset()

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


def _z2_host():
    """The zephan-2 host module: the home of the host's geometry."""
    from ._zephan2 import _tessel_host

    return _tessel_host


class HostRuntime(Runtime):
    """The runtime of a zephan-2 fixture: one `tessel_render_host` process.

    Host operations (pushes, flushes, resets, composes) run one at a time
    under one lock; the ready ticks have a lock of their own, so
    `ticks_available` and `pull_frame` never wait for a render, and
    `get_source_frame` takes no lock at all. `close` may come from any
    thread, also while a push waits for the host: the push then fails."""

    def __init__(self, fixture):
        from ._zephan2.engine import _FLUSHED, _Stream

        if getattr(fixture, "engine_id", None) != ENGINE_ZEPHAN2:
            raise TypeError("HostRuntime needs a zephan-2 Fixture")
        self._fx = fixture
        self._FLUSHED = _FLUSHED
        self._lock = threading.Lock()        # host operations
        self._ready_lock = threading.Lock()  # _ready
        self._close_lock = threading.Lock()
        self._ready = collections.deque()    # (tick, RGB frame) ready to pull
        self._cursor = _ComposeCursor(fixture.audio_samples_per_tick)
        self._renderer = _z2_host().Renderer  # the host's chunk geometry
        self._fed = 0          # samples of this utterance the host has had
        self._chunks = 0       # chunks of this utterance that audio completed
        self._ticks = 0        # frames of this utterance the host has written
        self._ended = False    # flushed: the next push starts a new utterance
        self._composed = False  # this utterance reached the host through composing
        self._head = None      # its first tick of audio, as composing first fed it
        self._closed = False
        # Unbounded: a push is fed whole before its frames are taken, and a push of
        # more than one data step would otherwise leave the host blocked on its
        # output while this thread writes the next step.
        self._stream = _Stream(fixture.source, threads=fixture.intra_op_threads, ahead=None)
        self._finalizer = weakref.finalize(self, self._stream.close, True)
        try:
            if fixture._resting is None:
                fixture._resting = self._render_resting()
        except BaseException:
            self.close()
            raise

    # -- talking to the host (under self._lock) --------------------------------------

    def _take(self, n, until_flush=False):
        """The next `n` frames the host writes (or all up to the flush marker)."""
        out = []
        while until_flush or len(out) < n:
            rec = self._stream.next_record(True)
            if rec is self._FLUSHED:
                if until_flush:
                    break
                raise RuntimeError("tessel_render_host wrote a flush marker nobody asked for")
            out.append(rec)
        return out

    def _hand_over(self, frames):
        _spend(self._fx, len(frames))
        with self._ready_lock:
            for f in frames:
                self._ready.append((self._ticks, f))
                self._ticks += 1

    def _feed(self, samples):
        if samples.size == 0:
            return
        self._stream.host.feed(samples)
        self._fed += samples.size
        while self._fed >= self._renderer._need(self._chunks):
            self._chunks += 1
        self._hand_over(self._take(self._renderer._ready_items(self._fed) - self._ticks))

    def _begin(self):
        """A new utterance: ready ticks dropped, the host's stream reset."""
        with self._ready_lock:
            self._ready.clear()
        self._stream.host.reset()
        self._fed = self._ticks = self._chunks = 0
        self._ended = self._composed = False
        self._head = None
        self._cursor.reset()

    def _render_resting(self):
        with self._lock:
            self._feed(np.zeros(self._renderer._need(0), np.float32))
            with self._ready_lock:
                rgb = self._ready[-1][1]
            self._begin()
        bgr = np.ascontiguousarray(rgb[..., ::-1])
        bgr.flags.writeable = False
        return bgr

    def _open(self):
        if self._closed:
            raise RuntimeError("this runtime is closed")

    # -- the runtime's operations ----------------------------------------------------

    def push_audio(self, samples):
        a = _samples(samples)
        with self._lock:
            self._open()
            if self._ended:
                self._begin()
            if self._composed:
                # The composed utterance pushed whole: the host has its first samples,
                # also when composing fed some and no tick of them was rendered yet.
                self._composed = False
                head = self._head
                if head is not None and a.size >= self._fed and np.array_equal(a[:head.size], head):
                    a = a[self._fed:]
            self._feed(a)

    def ticks_available(self):
        with self._ready_lock:
            self._open()
            return len(self._ready)

    def pull_frame(self, index=-1):
        """(tick number within the utterance, BGR picture) of the next ready tick."""
        with self._ready_lock:
            self._open()
            if not self._ready:
                raise RuntimeError("no tick is ready")
            tick, rgb = self._ready.popleft()
        return tick, np.ascontiguousarray(rgb[..., ::-1])

    def end_utterance(self):
        """Flushes the host: every frame of the utterance becomes ready."""
        with self._lock:
            self._open()
            if self._ended:
                return
            self._stream.host.flush()
            self._hand_over(self._take(0, until_flush=True))
            self._stream.host.reset()
            self._fed = 0
            self._ended = True

    def samples_for_chunk(self, n):
        """Samples of an utterance the host needs before it writes chunk `n`."""
        if not isinstance(n, (int, np.integer)) or isinstance(n, bool) or n < 0:
            raise ValueError(f"samples_for_chunk takes a chunk number 0 or more, not {n!r}")
        return self._renderer._need(int(n))

    def tick_compose_to_size(self, pcm_buf, index, width, height):
        buf = _samples(pcm_buf)
        with self._lock:
            self._open()
            k, new = self._cursor.locate(buf)
            if new or self._ended or (not self._composed and self._fed):
                self._begin()  # a new utterance, or one that was pushed so far
                k = 0
            self._composed = True
            with self._ready_lock:
                rendered = bool(self._ready)
            # Only as far as tick k needs: every tick before it was composed, so unless it
            # is rendered it comes from the first chunk the host has not had the audio of.
            want = min(buf.size, self._renderer._need(self._chunks))
            if not rendered and want > self._fed:
                if self._fed == 0:
                    self._head = buf[:self._fx.audio_samples_per_tick].copy()
                self._feed(buf[self._fed:want])
            with self._ready_lock:
                item = self._ready.popleft() if self._ready else None
            if item is None:
                raise ValueError(f"tick_compose_to_size: cursor past end (tick {k} is not rendered yet; "
                                 f"the host has had {self._fed} samples)")
            self._cursor.advance(buf)
        return k, _fitted(np.ascontiguousarray(item[1][..., ::-1]), width, height)

    def reset_stream(self):
        with self._lock:
            self._open()
            self._begin()

    def get_source_frame(self, index):
        """The resting picture for -1 and the first-frame probe 0 (a copy);
        None for anything else."""
        if index not in (-1, 0):
            return None
        pic = self._fx._resting
        return None if pic is None else pic.copy()

    def close(self):
        """Ends and reaps the host, once."""
        with self._close_lock:
            if self._closed:
                return
            self._closed = True
        self._finalizer()
