"""Audio input: what push_audio, push and flush queue, and the arrival
statistics they keep beside the queue."""

import asyncio
import time

import pytest

from halvane import _avatar
from halvane._models import VideoControl

STATS = ("_arr_t0", "_arr_s", "_arr_done", "_arr_t_end")


def stats(av):
    return {name: getattr(av, name) for name in STATS if hasattr(av, name)}


def queued(av):
    items = []
    while not av._in_queue.empty():
        items.append(av._in_queue.get_nowait())
    return items


def run(coro):
    return asyncio.run(coro)


def test_push_audio_queues_a_control_and_counts_seconds():
    async def main():
        av = _avatar.AsyncAvatar()
        assert stats(av) == {}
        assert await av.push_audio(b"\x01\x00\xff\xff" * 8000, 16000) is None
        (control,) = queued(av)
        assert isinstance(control, VideoControl)
        assert control.audio.data.tolist()[:2] == [1, -1] and control.audio.sample_rate == 16000
        assert control.audio.last_chunk is True
        s = stats(av)
        assert s["_arr_s"] == 1.0 and s["_arr_done"] is True
        assert s["_arr_t0"] <= s["_arr_t_end"]

        # every piece with the default last_chunk=True is a run of its own
        t0 = s["_arr_t0"]
        await av.push_audio(b"\0\0" * 8000, 16000)
        s = stats(av)
        assert s["_arr_s"] == 0.5 and s["_arr_t0"] >= t0 and s["_arr_done"] is True

    run(main())


@pytest.mark.parametrize("nbytes, rate, seconds", [
    (32000, 16000, 1.0),
    (32000, 48000, 32000 * 0.5 / 48000),
    (32000, 0, 16000.0),   # a rate of 0 counts as 1
    (0, 16000, 0.0),
    (6, 22050, 6 * 0.5 / 22050),
])
def test_seconds_of_a_piece(nbytes, rate, seconds):
    async def main():
        av = _avatar.AsyncAvatar()
        await av.push_audio(b"\0" * nbytes, rate, last_chunk=False)
        assert av._arr_s == seconds and type(av._arr_s) is float
        assert av._arr_done is False and not hasattr(av, "_arr_t_end")

    run(main())


def test_pieces_then_flush_form_one_run():
    async def main():
        av = _avatar.AsyncAvatar()
        await av.push_audio(b"\0" * 3200, 16000, False)
        t0 = av._arr_t0
        await av.push_audio(b"\0" * 9600, 48000, False)
        assert av._arr_t0 == t0 and av._arr_s == pytest.approx(0.2)
        assert av._arr_done is False
        before = time.monotonic()
        assert await av.flush() is None
        assert av._arr_done is True and av._arr_t_end >= before >= t0
        audio1, audio2, end = queued(av)
        assert audio1.audio.last_chunk is False and audio2.audio.sample_rate == 48000
        assert isinstance(end, VideoControl) and end.audio is None and end.end_of_speech is True

        # a second end of the same run keeps the first end time
        t_end = av._arr_t_end
        av._arrival_ended()
        await av.flush()
        assert av._arr_t_end == t_end
        # the next audio starts a new run
        await av.push_audio(b"\0" * 320, 16000, False)
        assert av._arr_t0 >= t_end and av._arr_s == 0.01 and av._arr_done is False

    run(main())


def test_flush_without_a_run_and_dropped_runs():
    async def main():
        av = _avatar.AsyncAvatar()
        await av.flush()
        s = stats(av)
        assert s["_arr_done"] is True and s["_arr_t_end"] is not None and "_arr_t0" not in s

        await av.push_audio(b"\0" * 640, 16000, False)
        t_end = av._arr_t_end
        av._arrival_dropped()
        assert stats(av) == {"_arr_t0": None, "_arr_s": 0.0, "_arr_done": False, "_arr_t_end": t_end}
        av._note_arrival(0.25)
        assert av._arr_t0 is not None and av._arr_s == 0.25

    run(main())


def test_note_arrival_counts_only_positive_seconds():
    async def main():
        av = _avatar.AsyncAvatar()
        for s in (0.5, -1.0, 0.0, float("nan"), 0.25):
            av._note_arrival(s)
        assert av._arr_s == 0.75

    run(main())


def test_push_queues_the_record_as_it_is_and_keeps_no_statistics():
    async def main():
        av = _avatar.AsyncAvatar()
        control = VideoControl.from_audio(b"\0" * 32000, 16000, True)
        other = object()
        await av.push(control)
        await av.push(other)
        assert queued(av) == [control, other]
        assert stats(av) == {}

    run(main())


def test_a_piece_that_cannot_be_read_changes_nothing():
    async def main():
        av = _avatar.AsyncAvatar()
        with pytest.raises(TypeError):
            await av.push_audio(b"\0" * 100, None)   # from_audio cannot make a rate of None
        with pytest.raises(ValueError):
            await av.push_audio(b"\0" * 3, 16000)    # odd byte count
        assert stats(av) == {} and av._in_queue.empty()

    run(main())


def test_nothing_happens_until_awaited():
    async def main():
        av = _avatar.AsyncAvatar()
        for coro in (av.push_audio(b"\0\0", 16000), av.flush(), av.push(None)):
            coro.close()
        assert stats(av) == {} and av._in_queue.empty()

    run(main())


def test_statistics_come_before_a_full_queue_frees_up():
    async def main():
        av = _avatar.AsyncAvatar(input_buffer_size=1)
        await av.push_audio(b"\0" * 320, 16000, False)
        blocked = asyncio.create_task(av.push_audio(b"\0" * 320, 16000, True))
        ended = asyncio.create_task(av.flush())
        for _ in range(5):
            await asyncio.sleep(0)
        assert not blocked.done() and not ended.done()
        assert av._arr_s == 0.02 and av._arr_done is True
        first = await av._in_queue.get()
        await blocked
        second = await av._in_queue.get()
        await ended
        third = await av._in_queue.get()
        assert first.audio.last_chunk is False and second.audio.last_chunk is True and third.end_of_speech is True

    run(main())
