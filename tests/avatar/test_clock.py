"""The zephan-2 playout clock, driven directly: frames fed to the playout
queue, items read from the output queue with their arrival times. Timing
checks use generous bounds; the precise figures are bench/bench_pacing.py's."""

import asyncio
import time

import numpy as np
import pytest

from halvane import _avatar
from halvane._models import AudioChunk, VideoFrame
from scripted import ScriptedFixture, ScriptedRuntime

END = _avatar._STREAM_END


class ClockAvatar(_avatar.AsyncAvatar):
    fps_value = 20

    @property
    def _engine_fps(self):
        return self.fps_value


def make(fps=20, out_size=6, runtime="scripted", **rt_kw):
    av = ClockAvatar(output_size=None, output_buffer_size=out_size)
    av.fps_value = fps
    av._fixture = ScriptedFixture()
    av._runtime = ScriptedRuntime(av._fixture, **rt_kw) if runtime == "scripted" else runtime
    av._playout = asyncio.Queue()
    av._stop_event = asyncio.Event()
    return av


def speech(n, start=0, eos_last=False):
    out = []
    for i in range(start, start + n):
        img = np.full((6, 8, 3), i % 256, np.uint8)
        ac = AudioChunk(data=np.full(800, i, np.int16), sample_rate=16000, last_chunk=False)
        out.append(VideoFrame(bgr_image=img, audio_chunk=ac, frame_index=i, end_of_speech=eos_last and i == start + n - 1))
    return out


def marker():
    return VideoFrame(end_of_speech=True)


def same(a, b):  # frames hold arrays: compare by identity
    return len(a) == len(b) and all(x is y for x, y in zip(a, b))


def resting(item):
    return getattr(item, "_hv_resting", False)


async def take(av, n, timeout=3.0):
    got = []
    for _ in range(n):
        item = await asyncio.wait_for(av._out_queue.get(), timeout)
        got.append((time.monotonic(), item))
    return got


async def finish(av, task):
    av._stop_event.set()
    av._playout.put_nowait(END)
    while (await asyncio.wait_for(av._out_queue.get(), 3.0)) is not END:
        pass
    await task


def test_resting_frames_at_the_frame_rate_and_none_without_a_picture():
    async def main():
        av = make()
        t0 = time.monotonic()
        task = asyncio.create_task(av._emit_clock())
        got = await take(av, 6)
        assert got[0][0] - t0 < 0.2
        assert 0.2 < got[-1][0] - got[0][0] < 0.45  # five periods of 50 ms
        for _, fr in got:
            assert resting(fr) and fr.bgr_image[0, 0, 2] == 200
            assert fr.audio_chunk.data.dtype == np.int16 and not fr.audio_chunk.data.any()
            assert fr.audio_chunk.data.size == 800 and fr.audio_chunk.sample_rate == 16000
        await finish(av, task)

        bare = make(fps=100, resting=False)
        task = asyncio.create_task(bare._emit_clock())
        await asyncio.sleep(0.1)
        assert bare._out_queue.empty()
        await finish(bare, task)

    asyncio.run(main())


def test_speech_paced_then_marker_and_queued_resting_dropped_at_start():
    async def main():
        av = make(out_size=100)
        task = asyncio.create_task(av._emit_clock())
        await asyncio.sleep(0.12)  # resting frames wait, nobody reads
        waiting = av._out_queue.qsize()
        assert waiting >= 2
        for fr in speech(20) + [marker()]:
            av._playout.put_nowait(fr)
        await asyncio.sleep(0.08)  # the next due time starts playback
        got = await take(av, 22)
        items = [it for _, it in got]
        assert [it.frame_index for it in items[:20]] == list(range(20))  # no resting frame before speech
        assert items[20].bgr_image is None and items[20].end_of_speech
        assert resting(items[21])
        times = [t for t, _ in got[1:20]]  # the first was queued before reading
        assert 0.75 < times[-1] - times[0] < 1.3 and np.median(np.diff(times)) > 0.035
        assert got[21][0] - got[20][0] < 0.02  # the marker goes out with the next picture
        await finish(av, task)

    asyncio.run(main())


def test_drop_queued_resting_keeps_every_other_item_in_order():
    async def main():
        av = make(out_size=0)
        rest = VideoFrame(bgr_image=np.zeros((2, 2, 3), np.uint8))
        rest._hv_resting = True
        hold = VideoFrame(bgr_image=np.zeros((2, 2, 3), np.uint8))
        hold._hv_resting = False
        err = RuntimeError("x")
        a, b = speech(2)
        for it in [rest, a, rest, hold, err, rest, b, END]:
            av._out_queue.put_nowait(it)
        av._drop_queued_resting()
        left = [av._out_queue.get_nowait() for _ in range(av._out_queue.qsize())]
        assert same(left, [a, hold, err, b, END])

    asyncio.run(main())


@pytest.mark.parametrize(
    "feed, starts",
    [
        (lambda: speech(36), True),
        (lambda: speech(35), False),
        (lambda: [marker()], True),
        (lambda: speech(3) + [END], True),
        (lambda: speech(5) + [ValueError("producer failed")], True),
    ],
)
def test_start_without_arrival_statistics(feed, starts):
    async def main():
        av = make(fps=100, out_size=200)
        task = asyncio.create_task(av._emit_clock())
        items = feed()
        for it in items:
            av._playout.put_nowait(it)
        await asyncio.sleep(0.15)
        out = [av._out_queue.get_nowait() for _ in range(av._out_queue.qsize())]
        played = [it for it in out if not resting(it)]
        if starts:
            n = min(len(items), len(played))
            assert n >= min(len(items), 8) and same(played[:n], items[:n])
        else:
            assert played == [] and out
        if not task.done():
            await finish(av, task)
        else:
            assert items[-1] is END

    asyncio.run(main())


@pytest.mark.parametrize(
    "arrived_s, r0, chunk_call, starts",
    [
        (6.0, 0.3, True, True),  # three times real time: chunk 1 on time at once
        (2.0, 0.3, True, False),  # real time: chunk 1's audio is 1.2 s away
        (0.0, 0.3, False, False),  # nothing arrived: no estimate, no runtime call
    ],
)
def test_start_test_reads_the_arrival_statistics(arrived_s, r0, chunk_call, starts):
    async def main():
        av = make(fps=20, out_size=200)
        av._arr_t0 = time.monotonic() - 2.0
        av._arr_s = arrived_s
        av._z2_r0 = r0
        for it in speech(21):
            av._playout.put_nowait(it)
        task = asyncio.create_task(av._emit_clock())
        await asyncio.sleep(0.2)
        out = [av._out_queue.get_nowait() for _ in range(av._out_queue.qsize())]
        assert any(not resting(it) for it in out) == starts
        assert ("samples_for_chunk" in av._runtime.names()) == chunk_call
        await finish(av, task)

    asyncio.run(main())


def test_hold_frames_then_reset_falls_back_to_the_last_picture():
    async def main():
        av = make(fps=100, out_size=200, resting=False)
        task = asyncio.create_task(av._emit_clock())
        frames = speech(3)
        for it in frames + [marker()] + speech(2, start=50, eos_last=False):
            av._playout.put_nowait(it)
        await asyncio.sleep(0.1)
        av._playout.put_nowait(speech(1, start=60)[0])  # held, never played: reset comes first
        av._playout_reset = True
        await asyncio.sleep(0.08)
        out = [av._out_queue.get_nowait() for _ in range(av._out_queue.qsize())]
        assert same(out[:3], frames) and out[3].end_of_speech and out[3].bgr_image is None
        # The second run had 2 frames and no end: it waited, then was reset away.
        assert all(it.frame_index not in (50, 51, 60) for it in out if not resting(it))
        rest = [it for it in out if resting(it)]
        assert rest and all(it.bgr_image is frames[-1].bgr_image for it in rest)
        assert av._playout_reset is False
        # Playback that runs dry repeats the last picture, not as a resting frame.
        for it in speech(36, start=100):
            av._playout.put_nowait(it)
        await asyncio.sleep(0.7)
        out = [av._out_queue.get_nowait() for _ in range(av._out_queue.qsize())]
        played = [it for it in out if it.frame_index >= 100]
        held = out[[id(it) for it in out].index(id(played[-1])) + 1 :]
        assert len(played) == 36 and held
        assert all(not resting(it) and it.bgr_image is played[-1].bgr_image for it in held)
        await finish(av, task)

    asyncio.run(main())


def test_stop_forwards_only_the_terminal_items():
    async def main():
        av = make(fps=100, out_size=200)
        task = asyncio.create_task(av._emit_clock())
        av._stop_event.set()
        for it in speech(2):
            av._playout.put_nowait(it)
        await asyncio.sleep(0.05)  # no terminal item: it paces on
        assert not task.done()
        av._out_queue = asyncio.Queue()
        err = RuntimeError("producer failed")
        for it in speech(2, start=10) + [err, END]:
            av._playout.put_nowait(it)
        await asyncio.wait_for(task, 1.0)
        out = [av._out_queue.get_nowait() for _ in range(av._out_queue.qsize())]
        assert same(out[-2:], [err, END]) and all(it.frame_index < 10 for it in out[:-2])

    asyncio.run(main())


def test_catch_up_after_a_stalled_consumer():
    async def main():
        av = make(fps=20, out_size=1)
        task = asyncio.create_task(av._emit_clock())
        await take(av, 3)
        await asyncio.sleep(2.0)
        got = await take(av, 20)
        t_resume = got[0][0]
        burst = sum(1 for t, _ in got if t - t_resume < 0.025)
        assert 8 <= burst <= 14  # ~10 catch-up periods, plus the frames queued during the stall
        paced = np.diff([t for t, _ in got[burst + 1 :]])
        assert 0.03 < np.median(paced) < 0.08
        await finish(av, task)

    asyncio.run(main())


class FailingDrop(ClockAvatar):
    def _drop_queued_resting(self):
        raise RuntimeError("out queue gone")


@pytest.mark.parametrize("case", ["no playout queue", "failure while playing"])
def test_a_clock_failure_reaches_the_consumer(case):
    async def main():
        av = make(fps=100)
        if case == "no playout queue":
            av._playout = None
            expected = AssertionError
        else:
            av.__class__ = FailingDrop
            av._playout.put_nowait(marker())
            expected = RuntimeError
        task = asyncio.create_task(av._emit_clock())
        items = []
        while not items or items[-1] is not END:
            items.append(await asyncio.wait_for(av._out_queue.get(), 1.0))
        assert isinstance(items[-2], expected)
        if expected is RuntimeError:  # raised in Python: its traceback comes along
            assert items[-2].__traceback__ is not None
        assert await task is None
        assert av._playout_room is None
        assert av._stop_event.is_set()  # the producer stops rendering for a clock that is gone

    asyncio.run(main())


@pytest.mark.parametrize("interrupted", [False, True])
def test_a_picture_that_waited_for_room_through_an_interrupt_is_dropped(interrupted):
    async def main():
        av = make()
        av._interrupt_event = asyncio.Event()
        av._playout_room, av._playout_hold = asyncio.Event(), 1  # the clock holds all it may
        waiting = asyncio.create_task(av._emit_out(speech(1)[0]))
        await asyncio.sleep(0.05)
        assert not waiting.done()
        if interrupted:  # interrupt() emptied the playout queue meanwhile
            av._interrupt_event.set()
        av._playout_room.set()  # the clock's next pass
        await asyncio.wait_for(waiting, 1.0)
        assert av._playout.qsize() == (0 if interrupted else 1)

    asyncio.run(main())


def test_the_playout_room_bounds_a_fast_producer_and_a_stalled_consumer(monkeypatch):
    monkeypatch.setattr(_avatar, "_Z2_PLAYOUT_HOLD_S", 0.25)  # 50 frames at 200 fps

    async def main():
        av = make(fps=200, out_size=6)
        task = asyncio.create_task(av._emit_clock())
        await asyncio.sleep(0)
        consumed, made, peak = [], 0, 0

        async def producer(frames):
            nonlocal made, peak
            for fr in frames:
                await av._emit_out(fr)  # the producer's hand-over to the clock
                made += 1
                peak = max(peak, made - len(consumed))
                await asyncio.sleep(0)  # the engine's pull of the next frame

        prod = asyncio.create_task(producer(speech(200)))
        while len(consumed) < 200:
            it = await asyncio.wait_for(av._out_queue.get(), 2.0)
            if not resting(it):
                consumed.append(it.frame_index)
        await prod
        assert consumed == list(range(200)) and av._playout_hold == 50
        assert peak <= 50 + 6 + 3  # the hold, the output queue, a frame or two between clock passes
        # Nobody reads any more: the clock stops on the full output queue and
        # the producer is held at the playout queue's share.
        stalled = asyncio.create_task(producer(speech(1000, start=200)))
        await asyncio.sleep(0.3)
        assert not stalled.done() and made - 200 <= 2 * 50 + 6 + 3
        task.cancel()  # as stop() does
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.wait_for(stalled, 1.0)  # a clock that is gone holds nobody
        assert av._playout_room is None

    asyncio.run(main())
