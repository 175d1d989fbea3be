"""sync_to(): reading a sink, splitting frames into voice and picture, and
releasing each picture when its voice starts playing."""

import asyncio
import gc
import math
import weakref
import time

import pytest

from halvane import _avatar
from scripted_producer import ScriptedAvatar, describe, drain, emits, frame, take

BAD_SINK = (
    "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its AVSynchronizer, "
    "an rtc.AudioSource or a function returning the seconds of audio queued; got "
)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 10))


class Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class Source:
    def __init__(self, queued):
        self.queued = queued

    @property
    def queued_duration(self):
        return self.queued


class CallableSource(Source):
    def __call__(self):
        raise AssertionError("a sink with queued_duration is read, not called")


def test_reader_resolution():
    src = Source(0.3)
    sync = Obj(_audio_source=src)
    runner = Obj(av_sync=sync)
    cases = [
        ("source", src),
        ("synchroniser", sync),
        ("runner", runner),
        ("session", Obj(_avatar_runner=runner)),
        ("session without runner", Obj(_avatar_runner=None, av_sync=sync)),
        ("broken link skipped", Obj(_avatar_runner=None, av_sync=None, _audio_source=src)),
        ("callable source", CallableSource(0.3)),
    ]
    for name, sink in cases:
        reader = _avatar._queued_reader(sink)
        assert reader() == 0.3, name
    src.queued = 0.7  # read afresh at every call
    assert _avatar._queued_reader(Obj(_avatar_runner=runner))() == 0.7

    fn = lambda: 1.5  # noqa: E731
    assert _avatar._queued_reader(fn) is fn


def test_a_sink_that_refers_back_to_the_avatar_is_collected():
    av = ScriptedAvatar()
    av.sync_to(Obj(_audio_source=Source(0.1), owner=av))
    gone = weakref.ref(av)
    del av
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("sink, name", [(Obj(), "Obj"), (Obj(_avatar_runner=Obj()), "Obj"), (3, "int")])
def test_unusable_sink(sink, name):
    av = ScriptedAvatar()
    av.sync_to(lambda: 0.0)
    before = av._audio_queued
    with pytest.raises(TypeError) as caught:
        av.sync_to(sink)
    assert str(caught.value) == BAD_SINK + name
    assert av._audio_queued is before
    av.sync_to(None)
    assert av._audio_queued is None


def test_split_and_release_time():
    original = frame(0, eos=True)

    async def main():
        av = ScriptedAvatar(emits(original, frame(1)))
        av.sync_to(lambda: 1.0)
        it = av.run()
        voice = await it.__anext__()
        assert voice.bgr_image is None and voice.audio_chunk is original.audio_chunk
        assert (voice.frame_index, voice.source_message_id, voice.end_of_speech) == (0, "m", True)
        assert original.bgr_image is not None  # the queued frame is not changed
        asked = time.monotonic()
        nxt = asyncio.ensure_future(it.__anext__())
        await asyncio.sleep(0)
        due, picture = av._sync_pend[0]
        # 1.0 s queued, minus this frame's 0.05 s of voice, minus the 25 ms lead
        assert 0.925 <= due - asked < 0.925 + 0.05
        assert picture.audio_chunk is None and picture.end_of_speech is False
        assert picture.bgr_image is original.bgr_image and picture.frame_index == 0
        assert describe(await nxt) == "v1"  # the next voice goes out at once
        av.sync_to(None)
        av._sync_pend.clear()
        await av.stop()

    run(main())


@pytest.mark.parametrize(
    "reading",
    [0.0, -2.0, math.nan, math.inf, "not a number", ValueError("sink gone")],
    ids=["zero", "negative", "nan", "inf", "text", "raises"],
)
def test_unusable_readings_release_at_once(reading):
    def reader():
        if isinstance(reading, Exception):
            raise reading
        return reading

    async def main():
        av = ScriptedAvatar(emits(frame(0), frame(1), then_wait_stop=False))
        av.sync_to(reader)
        got = [describe(x) for x in await drain(av.run())]
        assert got == ["v0", "p0", "v1", "p1"]
        await av.stop()

    run(main())


def test_voice_at_0_hz_raises_zero_division_from_the_iterator():
    # The release time is reckoned in C++; its error keeps Python's kind and
    # text on the way out of the iterator.
    bad = frame(0)
    object.__setattr__(bad.audio_chunk, "sample_rate", 0)

    async def main():
        av = ScriptedAvatar(emits(bad))
        av.sync_to(lambda: 0.0)
        it = av.run().__aiter__()
        assert describe(await it.__anext__()) == "v0"
        with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
            await it.__anext__()
        await av.stop()

    run(main())


def test_marker_passes_pending_pictures_and_end_waits_for_them():
    async def main():
        av = ScriptedAvatar(emits(frame(0), frame(1, picture=False, voice=False, eos=True), then_wait_stop=False))
        av.sync_to(lambda: 0.25)  # each picture due 0.175 s after its voice
        it = av.run()
        start = time.monotonic()
        got = [(describe(x), time.monotonic() - start) async for x in it]
        assert [g for g, _ in got] == ["v0", "eos", "p0"]
        assert got[1][1] < 0.1 and got[2][1] >= 0.17
        await av.stop()

    run(main())


def test_pictures_keep_their_order_and_turning_off_releases_the_rest():
    async def main():
        av = ScriptedAvatar(emits(frame(0), frame(1), frame(2), frame(3)))
        av.sync_to(lambda: 0.2)
        it = av.run()
        got = [describe(x) for x in await take(it, 2)]
        av.sync_to(None)
        got += [describe(x) for x in await take(it, 4)]
        # frames after the switch pass whole; the pending pictures leave on schedule
        assert got == ["v0", "v1", "f2", "f3", "p0", "p1"]
        await av.stop()

    run(main())


def test_cancelled_consumer_in_sync_mode_leaves_no_read_behind():
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        av.sync_to(lambda: 5.0)
        it = av.run()
        assert describe(await it.__anext__()) == "v0"
        task = asyncio.ensure_future(it.__anext__())
        await asyncio.sleep(0.02)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert not av._running
        await asyncio.sleep(0)
        reads = [t for t in asyncio.all_tasks() if getattr(t.get_coro(), "__qualname__", "") == "Queue.get"]
        assert reads == []

    run(main())
