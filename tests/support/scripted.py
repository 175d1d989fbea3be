"""A scripted engine runtime for live-interface tests: it keeps the runtime's
contract (ticks, pictures, reset, end of utterance, resting picture) with
behaviour a test can set — how many ticks a push makes ready, a render cost,
failures, an engine that holds back its tail — and records every call with
the thread it ran on.

Each picture is height x width x 3 uint8 whose pixel (0, 0) holds the tick
number (mod 256) in its blue channel and the runtime's serial in green, so a
test can tell which tick and which runtime made a frame.
"""

from __future__ import annotations

import itertools
import threading
import time

import numpy as np

_serials = itertools.count(1)


class ScriptedFixture:
    def __init__(self, spt=800, rate=16000, width=8, height=6):
        self.audio_samples_per_tick = spt
        self.audio_sample_rate = rate
        self.frame_width = width
        self.frame_height = height


class ScriptedRuntime:
    """`chunks`: None for one tick per `spt` samples pushed; else a list of
    (samples needed, ticks ready) steps, e.g. [(25600, 21), (51200, 53)].
    `hold_tail`: ticks of the audio pushed that only end_utterance() makes
    ready. `cost_s`: seconds each push and pull sleeps (GIL released)."""

    def __init__(self, fixture, *, chunks=None, hold_tail=0, cost_s=0.0, resting=True, fail=None):
        self.fx = fixture
        self.serial = next(_serials) % 256
        self.chunks = chunks
        self.hold_tail = hold_tail
        self.cost_s = cost_s
        self.resting = resting
        self.fail = dict(fail or {})  # call name -> exception to raise
        self.calls = []  # (name, thread name)
        self.closed = 0
        self._lock = threading.Lock()
        self._reset_state()

    def _reset_state(self):
        self.pushed = 0
        self.pulled = 0
        self.ended = False
        self.cursor = 0

    def _note(self, name):
        self.calls.append((name, threading.current_thread().name))
        if name in self.fail:
            raise self.fail[name]

    def names(self):
        return [n for n, _ in self.calls]

    def _picture(self, tick, w=None, h=None):
        img = np.zeros((h or self.fx.frame_height, w or self.fx.frame_width, 3), np.uint8)
        img[0, 0, 0] = tick % 256
        img[0, 0, 1] = self.serial
        return img

    def _made(self):
        spt = int(self.fx.audio_samples_per_tick)
        if self.chunks is None:
            n = self.pushed // spt
        else:
            n = 0
            for need, ready in self.chunks:
                if self.pushed >= need:
                    n = ready
        if not self.ended:
            n = min(n, max(self.pushed // spt - self.hold_tail, 0))
        else:
            n = max(n, self.pushed // spt)
        return n

    # --- the runtime's calls ---
    def push_audio(self, samples):
        self._note("push_audio")
        assert samples.dtype == np.float32 and samples.ndim == 1 and samples.flags.c_contiguous
        if self.cost_s:
            time.sleep(self.cost_s)
        with self._lock:
            self.pushed += samples.size

    def ticks_available(self):
        self._note("ticks_available")
        with self._lock:
            return self._made() - self.pulled

    def pull_frame(self, which=-1):
        self._note("pull_frame")
        if self.cost_s:
            time.sleep(self.cost_s)
        with self._lock:
            tick = self.pulled
            self.pulled += 1
        return None, self._picture(tick)

    def tick_compose_to_size(self, pcm_buf, which, w, h):
        self._note("tick_compose_to_size")
        spt = int(self.fx.audio_samples_per_tick)
        if self.cursor * spt >= pcm_buf.size:
            raise ValueError("compose: cursor past end of the utterance's audio")
        tick = self.cursor
        self.cursor += 1
        return None, self._picture(tick, w, h)

    def reset_stream(self):
        self._note("reset_stream")
        with self._lock:
            self._reset_state()

    def end_utterance(self):
        self._note("end_utterance")
        with self._lock:
            self.ended = True

    def samples_for_chunk(self, n):
        self._note("samples_for_chunk")
        return 25600 * (n + 1)

    def get_source_frame(self, i):
        self._note("get_source_frame")
        if not self.resting:
            return None
        img = self._picture(255)
        img[0, 0, 2] = 200  # marks a resting picture
        return img

    def close(self):
        self._note("close")
        self.closed += 1
