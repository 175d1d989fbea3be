"""Live sessions end to end, through create(), push_audio()/flush(), run()
and shutdown(), on the real engine runtime: an ostrel1 avatar streaming at
its native size and composing at 1280x720, and the zephan-2 demo avatar whose
runtime drives tessel_render_host, paced by the playout clock."""

import asyncio
import subprocess
import sys

import numpy as np
import pytest

from halvane._avatar import AsyncAvatar
from tools.make_demo_bundle import write_demo_bundle
from tools.make_ostrel1_avatar import manifest, tick_of, write_avatar

SR = 16000
O1_SPT = 640


@pytest.fixture(scope="module")
def ostrel1(tmp_path_factory):
    return str(write_avatar(tmp_path_factory.mktemp("o1") / "face.imx", "imx",
                            manifest(width=160, height=96, samples_per_tick=O1_SPT)))


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return str(write_demo_bundle(tmp_path_factory.mktemp("z2"))["imx"])


def speech(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / SR
    return (0.3 * np.sin(2 * np.pi * (170 + 30 * seed) * t) * 32767 + rng.normal(0, 300, n)).astype("<i2")


async def push_in_pieces(av, pcm, piece=320, flush=True):
    for start in range(0, pcm.size, piece):
        await av.push_audio(pcm[start:start + piece].tobytes(), SR, last_chunk=False)
    if flush:
        await av.flush()


async def collect(it, until, timeout=30.0):
    """Items of `it` up to and including the first for which until(items) holds."""
    items = []

    async def take():
        async for f in it:
            items.append(f)
            if until(items):
                return

    await asyncio.wait_for(take(), timeout)
    return items


def speech_frames(items, mid=None):
    return [f for f in items if f.audio_chunk is not None and f.source_message_id is not None
            and (mid is None or f.source_message_id == mid)]


def eos_count(items):
    return sum(1 for f in items if f.end_of_speech)


def audio_of(frames):
    return np.concatenate([np.asarray(f.audio_chunk.data) for f in frames])


def check_utterance(frames, pcm, spt):
    """Indices 0.. in order, one id, each tick's own spt samples of the
    utterance (the int16 -> float -> int16 trip may lose one step), zeros
    past its end."""
    assert [f.frame_index for f in frames] == list(range(len(frames)))
    assert len({f.source_message_id for f in frames}) == 1
    assert all(f.audio_chunk.data.dtype == np.int16 and f.audio_chunk.data.size == spt for f in frames)
    got = audio_of(frames).astype(np.int32)
    n = min(got.size, pcm.size)
    assert np.max(np.abs(got[:n] - pcm[:n].astype(np.int32))) <= 1
    assert not got[n:].any()


def test_ostrel1_streaming_session(ostrel1):
    async def main():
        av = await AsyncAvatar.create(model_path=ostrel1, output_size=None)
        assert (av.fps, av.samples_per_tick, av.frame_width, av.frame_height) == (25, O1_SPT, 160, 96)
        it = av.run()
        idle = await collect(it, lambda xs: len(xs) == 3)  # the stream idles before any audio
        assert all(f.bgr_image.shape == (96, 160, 3) and not f.audio_chunk.data.any() for f in idle)
        pcm = speech(O1_SPT * 20 + 100)
        for turn in range(2):  # the runtime is reset, not replaced, between utterances
            await push_in_pieces(av, pcm)
            items = await collect(it, lambda xs: eos_count(xs) == 1)
            frames = speech_frames(items)
            assert len(frames) == 21 and frames[-1].end_of_speech  # the flag rides on the last tick
            check_utterance(frames, pcm, O1_SPT)
            assert [tick_of(f.bgr_image) for f in frames] == list(range(21))
        await av.shutdown()
        assert av._fixture is None and av._runtime is None

    asyncio.run(main())


def test_ostrel1_composed_session_with_an_interruption(ostrel1):
    async def main():
        av = await AsyncAvatar.create(model_path=ostrel1)
        it = av.run()
        first = speech(O1_SPT * 40, seed=1)
        await av.push_audio(first.tobytes(), SR, last_chunk=False)  # the utterance stays open
        head = await collect(it, lambda xs: len(xs) == 5)
        assert all(f.bgr_image.shape == (720, 1280, 3) for f in head)
        av.interrupt()
        second = speech(O1_SPT * 10, seed=2)
        await av.push_audio(second.tobytes(), 8000, last_chunk=True)  # resampled to 16 kHz
        items = await collect(it, lambda xs: eos_count(xs) == 1)
        frames = speech_frames(items)
        mids = {f.source_message_id for f in frames}
        stale = [f for f in frames if f.source_message_id == head[0].source_message_id]
        new = [f for f in frames if f.source_message_id != head[0].source_message_id]
        assert len(mids - {head[0].source_message_id}) == 1 and stale == []  # nothing of it after interrupt()
        assert [f.frame_index for f in new] == list(range(len(new))) and len(new) == 20
        assert new[-1].end_of_speech and all(f.bgr_image.shape == (720, 1280, 3) for f in new)
        await av.shutdown()

    asyncio.run(main())


def test_zephan2_paced_session_on_the_real_host(demo):
    async def main():
        av = await AsyncAvatar.create(model_path=demo, output_size=None)
        assert (av.fps, av.frame_width, av.frame_height) == (20, 416, 720)
        it = av.run()
        resting = await collect(it, lambda xs: len(xs) == 2)
        assert all(getattr(f, "_hv_resting", False) and f.bgr_image.shape == (720, 416, 3) for f in resting)
        pcm = speech(SR * 2 + 123)
        await push_in_pieces(av, pcm)
        items = await collect(it, lambda xs: eos_count(xs) == 1, timeout=60)
        frames = [f for f in speech_frames(items) if not getattr(f, "_hv_resting", False)]
        check_utterance(frames, pcm, 800)
        assert len(frames) == -(-pcm.size // 800)  # the whole utterance, its last tick padded
        await av.shutdown()

    asyncio.run(main())


@pytest.mark.parametrize("seconds", [1.0, 2.3], ids=["shorter-than-a-chunk", "longer"])
def test_zephan2_composed_session_keeps_its_output_size(demo, seconds):
    async def main():
        av = await AsyncAvatar.create(model_path=demo)  # composed at the default 1280x720
        assert (av.frame_width, av.frame_height) == (1280, 720)
        it = av.run()
        pcm = speech(int(SR * seconds) + 77)
        await push_in_pieces(av, pcm)
        items = await collect(it, lambda xs: eos_count(xs) == 1, timeout=60)
        await av.shutdown()
        return pcm, items

    pcm, items = asyncio.run(main())
    frames = speech_frames(items)
    check_utterance(frames, pcm, 800)
    assert len(frames) == -(-pcm.size // 800)
    assert {f.bgr_image.shape for f in frames} == {(720, 1280, 3)}
    # The host's 416 x 720 portrait in the middle, unscaled; the margins on
    # either side are one colour.
    for f in frames:
        fill = f.bgr_image[0, 0]
        assert (f.bgr_image[:, :432] == fill).all() and (f.bgr_image[:, 848:] == fill).all()


@pytest.mark.parametrize("end", ["interrupt", "stop"])
def test_zephan2_composed_long_reply_is_fed_only_as_far_as_it_is_composed(demo, monkeypatch, end):
    from halvane._zephan2.client import HostProcess

    steps = []  # the samples of each feed, and None for each reset of the host's stream
    feed, reset = HostProcess.feed, HostProcess.reset
    monkeypatch.setattr(HostProcess, "feed", lambda host, x: (steps.append(len(x)), feed(host, x)))
    monkeypatch.setattr(HostProcess, "reset", lambda host: (steps.append(None), reset(host)))

    async def main():
        av = await AsyncAvatar.create(model_path=demo)  # composed at the default 1280x720
        it = av.run()
        steps.clear()
        await av.push_audio(speech(SR * 30, seed=1).tobytes(), SR, last_chunk=True)  # a TTS reply, whole
        await collect(it, lambda xs: len(speech_frames(xs)) == 5)
        reply = av._runtime.samples_for_chunk(0)
        if end == "stop":
            await av.stop()
        else:
            av.interrupt()
            short = speech(SR + 77, seed=2)
            await av.push_audio(short.tobytes(), SR, last_chunk=True)
            frames = speech_frames(await collect(it, lambda xs: eos_count(xs) == 1, timeout=60))
            check_utterance(frames, short, 800)
            assert len(frames) == -(-short.size // 800)
        await av.shutdown()
        return reply

    reply = asyncio.run(main())
    # The reply's host stream had its first chunk's audio only: nothing of the rest was fed.
    assert sum(steps[:steps.index(None)] if None in steps else steps) == reply


def test_sync_to_releases_each_picture_after_its_voice(ostrel1):
    async def main():
        av = await AsyncAvatar.create(model_path=ostrel1, output_size=None)
        queued = [0.0]
        av.sync_to(lambda: queued[0])
        it = av.run()
        await push_in_pieces(av, speech(O1_SPT * 6), flush=True)
        items = await collect(it, lambda xs: sum(1 for f in xs if f.bgr_image is not None
                                                 and f.audio_chunk is None and f.source_message_id) == 6)
        voices = [f for f in items if f.bgr_image is None and f.audio_chunk is not None and f.source_message_id]
        pictures = [f for f in items if f.audio_chunk is None and f.bgr_image is not None and f.source_message_id]
        assert [f.frame_index for f in voices] == [f.frame_index for f in pictures] == list(range(6))
        at = {id(f): i for i, f in enumerate(items)}
        for v, p in zip(voices, pictures):
            assert at[id(v)] < at[id(p)]
        await av.shutdown()

    asyncio.run(main())


def test_refused_audio_is_not_queued_and_the_session_goes_on(ostrel1):
    async def main():
        av = await AsyncAvatar.create(model_path=ostrel1, output_size=None)
        it = av.run()
        await collect(it, lambda xs: len(xs) == 2)  # the stream idles
        pcm = speech(O1_SPT * 20 + 100)
        for data, rate, kind in [(pcm.tobytes(), 0, ValueError), (pcm.tobytes(), -SR, ValueError),
                                 (pcm.tobytes(), True, ValueError), (pcm.astype(np.float32) / 32767, SR, TypeError)]:
            with pytest.raises(kind):
                await av.push_audio(data, rate, last_chunk=False)
            assert av._in_queue.empty()
            assert not [k for k in ("_arr_t0", "_arr_s", "_arr_done", "_arr_t_end") if hasattr(av, k)]
        await push_in_pieces(av, pcm)
        items = await collect(it, lambda xs: eos_count(xs) == 1)
        frames = speech_frames(items)
        assert len(frames) == 21 and frames[-1].end_of_speech
        check_utterance(frames, pcm, O1_SPT)
        await av.shutdown()

    asyncio.run(main())


KINDS = [("ostrel1", None), ("ostrel1", (320, 240)), ("demo", None), ("demo", (640, 480))]


@pytest.mark.parametrize("model, output_size", KINDS)
def test_stop_puts_out_no_marker_of_its_own(request, model, output_size):
    path = request.getfixturevalue(model)

    async def main():
        av = await AsyncAvatar.create(model_path=path, output_size=output_size)
        items = []

        async def consume():
            async for f in av.run():
                items.append(f)

        consumer = asyncio.create_task(consume())
        for n in (1, 2, 3):  # two utterances and a flush of no audio, each with its marker
            await push_in_pieces(av, speech(SR // 2, seed=n) if n < 3 else speech(0))
            while eos_count(items) < n:
                await asyncio.sleep(0.01)
        await asyncio.sleep(0.3)  # the consumer waits on the queue when stop() comes
        await av.stop()
        await consumer
        assert eos_count(items) == 3
        await av.shutdown()

    asyncio.run(asyncio.wait_for(main(), 120))


@pytest.mark.parametrize("model, output_size", KINDS)
@pytest.mark.parametrize("first_loop_ends", ["running", "stopped"])
def test_a_session_whose_loop_ended_goes_on_in_the_next_one(request, model, output_size, first_loop_ends):
    path = request.getfixturevalue(model)
    spt = O1_SPT if model == "ostrel1" else 800

    async def utterance(av, pcm):
        await push_in_pieces(av, pcm)
        items = await collect(av.run(), lambda xs: eos_count(xs) == 1, timeout=60)
        return [f for f in speech_frames(items) if not getattr(f, "_hv_resting", False)]

    async def first():
        av = await AsyncAvatar.create(model_path=path, output_size=output_size)
        await utterance(av, speech(SR // 2, seed=1))
        if first_loop_ends == "stopped":
            await av.stop()
        return av  # the loop ends here, its tasks cancelled by asyncio.run

    av = asyncio.run(first())

    async def second():
        pcm = speech(SR // 2 + 77, seed=2)
        frames = await utterance(av, pcm)
        runtime = av._runtime
        await av.shutdown()
        return pcm, frames, runtime

    pcm, frames, runtime = asyncio.run(second())
    check_utterance(frames, pcm, spt)
    assert len(frames) == -(-pcm.size // spt)
    assert av._fixture is None and av._runtime is None and not av._running
    host = getattr(getattr(runtime, "_stream", None), "host", None)
    assert host is None or host._proc.returncode is not None  # the zephan-2 host child is reaped


QUIET_EXIT = """
import asyncio, gc, sys
from halvane._avatar import AsyncAvatar

async def main(shut):
    av = await AsyncAvatar.create(model_path=sys.argv[1], output_size=eval(sys.argv[2]))
    await av.push_audio(bytes(16000), 16000)
    await av.run().__anext__()
    if shut:
        await av.shutdown()
    return av

asyncio.run(main(True))
gc.collect()  # a session that ended leaves nothing of the bindings behind
print(sum(type(o).__name__ in ("NativeCoroutine", "NativeAsyncIterator", "AsyncAvatar") for o in gc.get_objects()))
session = asyncio.new_event_loop().run_until_complete(main(False))  # the loop is never closed
"""


@pytest.mark.parametrize("model, output_size", KINDS)
def test_a_script_leaving_its_loop_unclosed_exits_quietly(request, model, output_size):
    args = [sys.executable, "-c", QUIET_EXIT, request.getfixturevalue(model), repr(output_size)]
    r = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout) == (0, "0\n"), r.stderr
    assert "leaked" not in r.stderr
