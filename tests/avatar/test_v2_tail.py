"""The v2 tail drain called directly: what it emits, when it calls
end_utterance, how it waits for a slow engine and when it gives up."""

import asyncio
import time

import numpy as np
import pytest

from halvane import _avatar
from live_kit import SPT, V2, Session
from scripted import ScriptedRuntime


def run(coro):
    return asyncio.run(coro)


class Dripping(ScriptedRuntime):
    """After end_utterance, releases one more tick every `every_s` seconds."""

    def __init__(self, fx, every_s, **kw):
        super().__init__(fx, **kw)
        self.every_s = every_s
        self.t_end = None

    def end_utterance(self):
        self._note("end_utterance")
        self.t_end = time.monotonic()

    def _made(self):
        n = min(self.pushed // SPT, max(self.pushed // SPT - self.hold_tail, 0))
        if self.t_end is not None:
            n += int((time.monotonic() - self.t_end) / self.every_s)
        return min(n, self.pushed // SPT)


async def drain(s, *, ticks=8, tail_total=8, ticks_emitted=0, padded=24, stop=False, interrupt=False):
    """Drains an utterance of `ticks` ticks padded to `padded` ticks."""
    s.av._stop_event = asyncio.Event()
    if stop:
        s.av._stop_event.set()
    s.av._interrupt_event = asyncio.Event()
    if interrupt:
        s.av._interrupt_event.set()
    s.av._out_queue = asyncio.Queue()
    pcm = np.zeros(padded * SPT, np.float32)
    pcm[: ticks * SPT] = 0.25
    n = await s.av._drain_v2_tail(rt=s.rt, pcm_buf=pcm, spt=SPT, ticks_emitted=ticks_emitted,
                                  tail_total=tail_total, message_id="m")
    out = []
    while not s.av._out_queue.empty():
        out.append(s.av._out_queue.get_nowait())
    s.close()
    return n, out


def ends(s):
    return s.rt.names().count("end_utterance")


def test_tail_ready_at_once(monkeypatch):
    s = Session(monkeypatch, engine_id=V2)
    n, frames = run(drain(s))
    assert n == 8 and [f.frame_index for f in frames] == list(range(8))
    assert ends(s) == 1
    # The pad ticks are never emitted, and no frame closes the utterance.
    assert not any(f.end_of_speech or f.audio_chunk.last_chunk for f in frames)
    assert {f.source_message_id for f in frames} == {"m"}


class Stuck(ScriptedRuntime):
    def end_utterance(self):
        self._note("end_utterance")  # and holds the tail all the same


class NoEnd(ScriptedRuntime):
    end_utterance = property()  # reading it raises AttributeError


@pytest.mark.parametrize("kind, fail", [(Stuck, {"end_utterance": RuntimeError("x")}), (Stuck, None), (NoEnd, None)],
                         ids=["failing", "releases-nothing", "missing"])
def test_engine_that_never_releases_the_tail(monkeypatch, kind, fail):
    monkeypatch.setattr(_avatar, "_V2_DRAIN_STALL_S", 0.3)
    s = Session(monkeypatch, engine_id=V2)
    s.runtimes[0] = kind(s.fx, hold_tail=19, fail=fail)  # 5 of the 24 pushed ticks come out
    n, frames = run(drain(s))
    # Only what step one found ready; polls one frame period apart (20 fps).
    assert n == 5 and [f.frame_index for f in frames] == list(range(5))
    polls = s.rt.names().count("ticks_available")
    assert 3 <= polls <= 1 + 0.3 / 0.05 + 3
    assert ends(s) == (0 if kind is NoEnd else 1)


def test_slow_engine_keeps_the_drain_going(monkeypatch):
    monkeypatch.setattr(_avatar, "_V2_DRAIN_STALL_S", 0.25)
    s = Session(monkeypatch, engine_id=V2)
    s.runtimes[0] = Dripping(s.fx, every_s=0.15, hold_tail=19)
    n, frames = run(drain(s))
    # Each tick comes within the allowance, so all three held ones arrive
    # even though together they take longer than one allowance.
    assert n == 8 and [f.frame_index for f in frames] == list(range(8))


@pytest.mark.parametrize("event", ["stop", "interrupt"])
def test_an_abandoned_utterance_is_not_flushed(monkeypatch, event):
    s = Session(monkeypatch, engine_id=V2)
    n, frames = run(drain(s, **{event: True}))
    assert (n, frames) == (0, [])
    assert ends(s) == 0  # the engine is not asked to render the tail nobody takes


def test_partial_tail_counts_from_ticks_emitted(monkeypatch):
    s = Session(monkeypatch, engine_id=V2)
    n, frames = run(drain(s, ticks=8, ticks_emitted=5, tail_total=8))
    assert n == 3 and [f.frame_index for f in frames] == [5, 6, 7]
