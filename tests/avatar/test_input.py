"""Audio input: what push_audio, push and flush queue, and the arrival
statistics they write before they queue."""

import asyncio
import time

import numpy as np
import pytest

from halvane import _avatar
from halvane._models import VideoControl


def stats(av):
    return {k: getattr(av, k) for k in ("_arr_t0", "_arr_s", "_arr_done", "_arr_t_end") if hasattr(av, k)}


def drain(av):
    items = []
    while not av._in_queue.empty():
        items.append(av._in_queue.get_nowait())
    return items


@pytest.mark.parametrize("form", ["bytes", "memoryview of int16", "int16 array"])
@pytest.mark.parametrize("nbytes, rate, seconds", [
    (32000, 16000, 1.0), (32000, 48000, 32000 * 0.5 / 48000), (32000, 0, 16000.0), (0, 16000, 0.0)])
def test_seconds_of_a_piece(nbytes, rate, seconds, form):
    data = {"bytes": lambda b: b, "memoryview of int16": lambda b: memoryview(b).cast("h"),
            "int16 array": lambda b: np.frombuffer(b, np.int16)}[form](b"\0" * nbytes)

    async def main():
        av = _avatar.AsyncAvatar()
        await av.push_audio(data, rate, last_chunk=False)  # counted by bytes, whatever the form
        assert av._arr_s == seconds and type(av._arr_s) is float
        assert av._arr_done is False and not hasattr(av, "_arr_t_end")

    asyncio.run(main())


def test_runs_of_arrival():
    async def main():
        av = _avatar.AsyncAvatar()
        assert stats(av) == {}
        # the default last_chunk=True makes every piece a run of its own
        await av.push_audio(b"\x01\x00\xff\xff" * 8000, 16000)
        t0 = av._arr_t0
        assert (av._arr_s, av._arr_done) == (1.0, True) and av._arr_t_end >= t0
        await av.push_audio(b"\0" * 16000, 16000)
        assert av._arr_s == 0.5 and av._arr_t0 >= t0
        # pieces and then flush: one run, ended by the flush
        await av.push_audio(b"\0" * 3200, 16000, False)
        t0 = av._arr_t0
        await av.push_audio(b"\0" * 9600, 48000, False)
        assert av._arr_t0 == t0 and av._arr_s == pytest.approx(0.2) and av._arr_done is False
        before = time.monotonic()
        assert await av.flush() is None
        t_end = av._arr_t_end
        assert av._arr_done is True and t_end >= before >= t0
        av._arrival_ended()
        await av.flush()
        assert av._arr_t_end == t_end  # the first end of a run stays
        for s in (-1.0, 0.0, float("nan"), 0.25):
            av._note_arrival(s)  # the first starts a new run; only positive seconds count
        assert av._arr_t0 >= t_end and (av._arr_s, av._arr_done) == (0.25, False)
        av._arrival_dropped()
        assert stats(av) == {"_arr_t0": None, "_arr_s": 0.0, "_arr_done": False, "_arr_t_end": t_end}

        queued = drain(av)
        assert [type(c) for c in queued] == [VideoControl] * 6
        assert queued[0].audio.data.tolist()[:2] == [1, -1] and queued[0].audio.last_chunk is True
        assert queued[3].audio.sample_rate == 48000 and queued[3].audio.last_chunk is False
        assert all(c.audio is None and c.end_of_speech is True for c in queued[4:])

    asyncio.run(main())


def test_push_flush_and_failures():
    async def main():
        av = _avatar.AsyncAvatar()
        await av.flush()  # no run: the end is stamped anyway
        assert stats(av).keys() == {"_arr_done", "_arr_t_end"} and av._arr_done is True
        av = _avatar.AsyncAvatar()
        control, other = VideoControl.from_audio(b"\0" * 320, 16000, True), object()
        await av.push(control)
        await av.push(other)
        await av.push(None)
        assert drain(av) == [control, other, None] and stats(av) == {}
        with pytest.raises(TypeError):
            await av.push_audio(b"\0" * 100, None)  # from_audio refuses the rate
        with pytest.raises(ValueError):
            await av.push_audio(b"\0" * 3, 16000)  # half a sample
        for coro in (av.push_audio(b"\0\0", 16000), av.flush(), av.push(None)):
            coro.close()  # nothing happens until awaited
        assert stats(av) == {} and av._in_queue.empty()

    asyncio.run(main())


def test_statistics_are_written_before_a_full_queue_frees_up():
    async def main():
        av = _avatar.AsyncAvatar(input_buffer_size=1)
        await av.push_audio(b"\0" * 320, 16000, False)
        blocked = asyncio.create_task(av.push_audio(b"\0" * 320, 16000, True))
        ended = asyncio.create_task(av.flush())
        for _ in range(5):
            await asyncio.sleep(0)
        assert not blocked.done() and not ended.done()
        assert av._arr_s == 0.02 and av._arr_done is True
        got = [await av._in_queue.get() for _ in range(3)]
        await asyncio.gather(blocked, ended)
        assert [c.end_of_speech or c.audio.last_chunk for c in got] == [False, True, True]

    asyncio.run(main())
