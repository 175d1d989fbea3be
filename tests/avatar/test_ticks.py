"""Tick emission called directly: counts, audio slices, flags, zephan-2
slices and push timing, and how it ends on stop, interrupt and a composing
runtime that runs out of audio."""

import asyncio

import numpy as np
import pytest

from live_kit import SPT, V1, Z2, Session
from scripted import ScriptedRuntime


def run(coro):
    return asyncio.run(coro)


def drain(q):
    out = []
    while not q.empty():
        out.append(q.get_nowait())
    return out


def prepare(s):
    s.av._stop_event = asyncio.Event()
    s.av._interrupt_event = asyncio.Event()
    s.av._out_queue = asyncio.Queue()  # unbounded: the tests read after the call


async def emit(s, pcm, *, ticks_emitted=0, eos_padding=False, **kw):
    kw.setdefault("out_size", s.av._output_size)
    n = await s.av._emit_ready_ticks(rt=s.rt, pcm_buf=pcm, spt=SPT, ticks_emitted=ticks_emitted,
                                     message_id="m", eos_padding=eos_padding, **kw)
    return n, drain(s.av._out_queue)


@pytest.mark.parametrize("output_size", [None, (16, 12)], ids=["streaming", "composed"])
def test_open_utterance_holds_back_three_ticks(monkeypatch, output_size):
    async def main():
        s = Session(monkeypatch, output_size=output_size)
        prepare(s)
        short = await emit(s, np.full(4 * SPT - 1, 0.1, np.float32))
        s2 = Session(monkeypatch, output_size=output_size)
        prepare(s2)
        ten = await emit(s2, np.full(10 * SPT, 0.1, np.float32))
        return s, short, ten

    s, (n_short, short), (n_ten, ten) = run(main())
    assert (n_short, short) == (0, [])
    if output_size is None:
        assert s.rt.pushed == 4 * SPT - 1  # the audio went in all the same
    assert n_ten == 7 and [f.frame_index for f in ten] == list(range(7))


def test_tick_audio_is_clipped_padded_and_flagged(monkeypatch):
    pcm = np.array([1.5, -1.5, 0.5] + [0.25] * (2 * SPT - 3) + [-0.25] * 10, np.float32)

    async def main():
        s = Session(monkeypatch)
        prepare(s)
        flagged = await emit(s, pcm, eos_padding=True, tail_total=3)
        s2 = Session(monkeypatch)
        prepare(s2)
        unflagged = await emit(s2, pcm, eos_padding=True, tail_total=3, mark_last=False)
        return flagged, unflagged

    (n, frames), (n2, plain) = run(main())
    assert n == 2  # the runtime had 2 whole ticks ready
    first = frames[0].audio_chunk.data
    assert first.dtype == np.int16 and first.size == SPT
    assert list(first[:3]) == [32767, -32767, 16383]
    assert [f.end_of_speech for f in frames] == [False, True]
    assert [f.audio_chunk.last_chunk for f in frames] == [False, True]
    assert n2 == 2 and not any(f.end_of_speech or f.audio_chunk.last_chunk for f in plain)


def test_composed_tail_flags_only_the_last_tick_and_zero_fills(monkeypatch):
    pcm = np.full(2 * SPT + 5, 0.5, np.float32)

    async def main():
        s = Session(monkeypatch, output_size=(16, 12))
        prepare(s)
        return await emit(s, pcm, eos_padding=True, tail_total=3)

    n, frames = run(main())
    assert n == 3 and [f.end_of_speech for f in frames] == [False, False, True]
    last = frames[2].audio_chunk.data
    assert last.size == SPT and list(last[:5]) == [16383] * 5 and not last[5:].any()


def test_composed_failures(monkeypatch):
    async def main():
        s = Session(monkeypatch, output_size=(16, 12))
        prepare(s)
        with pytest.raises(AssertionError):
            await emit(s, np.zeros(5 * SPT, np.float32), eos_padding=True)
        assert s.rt.names() == []
        # Out of audio: a quiet end with the frames so far.
        quiet = await emit(s, np.zeros(2 * SPT, np.float32), eos_padding=True, tail_total=4)
        s.rt.fail["tick_compose_to_size"] = ValueError("bad size")
        with pytest.raises(ValueError, match="bad size"):
            await emit(s, np.zeros(5 * SPT, np.float32), eos_padding=True, tail_total=5)
        return quiet

    n, frames = run(main())
    assert n == 2 and len(frames) == 2


def test_a_result_that_is_not_a_pair_fails(monkeypatch):
    class Single(ScriptedRuntime):
        def pull_frame(self, which=-1):
            return super().pull_frame(which)[1]

    async def main():
        s = Session(monkeypatch)
        s.runtimes[0] = Single(s.fx)
        prepare(s)
        await emit(s, np.zeros(5 * SPT, np.float32))

    with pytest.raises((ValueError, TypeError), match="unpack"):
        run(main())


class Sizes(ScriptedRuntime):
    def push_audio(self, samples):
        self.sizes = getattr(self, "sizes", []) + [samples.size]
        super().push_audio(samples)


@pytest.mark.parametrize("unpushed, pushes", [(60000, [25600, 25600, 8800]), (25600, [25600])])
def test_zephan2_audio_goes_in_slices(monkeypatch, unpushed, pushes):
    async def main():
        s = Session(monkeypatch, engine_id=Z2)
        s.runtimes[0] = Sizes(s.fx)
        prepare(s)
        n, frames = await emit(s, np.zeros(unpushed, np.float32))
        return s, n, frames

    s, n, frames = run(main())
    assert s.rt.sizes == pushes and s.av._stream_pushed == unpushed
    ready = unpushed // SPT - 3
    assert n == ready and [f.frame_index for f in frames] == list(range(ready))
    assert not any(f.end_of_speech for f in frames)


def test_zephan2_push_timing(monkeypatch):
    async def main():
        s = Session(monkeypatch, engine_id=Z2, cost_s=0.01, chunks=[(1600, 1), (3200, 2), (8000, 5)])
        prepare(s)
        seen = []
        for n in (800, 1600, 2400, 3200, 8000):  # pushes of 800, 800, 800, 800, 4800 samples
            await emit(s, np.zeros(n, np.float32))
            seen.append((getattr(s.av, "_z2_r0", None), getattr(s.av, "_z2_steady_s", None)))
        return seen

    seen = run(main())
    assert seen[0] == (None, None)  # no tick made: not measured
    r0 = seen[1][0]
    assert r0 >= 0.01 and seen[1][1] is None  # the first push that made a tick
    assert seen[2] == seen[1]  # made no new tick
    assert seen[3][0] == r0 and seen[3][1] >= 0.01  # the second: as it is
    assert seen[4][0] == r0 and seen[4][1] not in (None, seen[3][1])  # then blended


def test_stop_during_a_pull_keeps_that_frame_interrupt_drops_it(monkeypatch):
    async def during_pull(event_name):
        s = Session(monkeypatch, cost_s=0.1)
        prepare(s)
        pcm = np.zeros(10 * SPT, np.float32)
        call = asyncio.create_task(emit(s, pcm))
        while "pull_frame" not in s.rt.names():
            await asyncio.sleep(0.005)
        getattr(s.av, event_name).set()
        n, frames = await call
        s.close()
        return n, frames

    n, frames = run(during_pull("_stop_event"))
    assert (n, len(frames)) == (1, 1)
    assert run(during_pull("_interrupt_event")) == (0, [])


class SetsDuringFirstPush(Sizes):
    """Sets one of the session's events (on its loop) while its first push runs."""

    def __init__(self, fx, loop, event):
        super().__init__(fx)
        self.loop, self.event = loop, event

    def push_audio(self, samples):
        if not getattr(self, "sizes", None):
            self.loop.call_soon_threadsafe(self.event.set)
        super().push_audio(samples)


@pytest.mark.parametrize("event_name", ["_stop_event", "_interrupt_event"])
def test_zephan2_audio_after_a_stop_or_interrupt_is_not_pushed(monkeypatch, event_name):
    async def main():
        s = Session(monkeypatch, engine_id=Z2)
        prepare(s)
        s.runtimes[0] = SetsDuringFirstPush(s.fx, asyncio.get_running_loop(), getattr(s.av, event_name))
        n, _ = await emit(s, np.zeros(60 * 16000, np.float32))  # a long reply pushed at once
        s.close()
        return s, n

    s, n = run(main())
    assert s.rt.sizes == [25600]  # the slice in flight, and nothing of the rest
    assert n == 0
