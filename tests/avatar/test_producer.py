"""The producer task: scripted sessions in streaming and composed mode, idle
frames, end-of-speech signals, interrupts, failures and the engine thread."""

import asyncio
import threading

import numpy as np
import pytest
from scripted import ScriptedFixture, ScriptedRuntime

from halvane import _avatar
from halvane._models import VideoFrame
from live_kit import (SPT, V1, V2, Z2, Session, eos_signals, expected_tick_audio, serial_of, speech, tick_of,
                      ticks_of)


def run(coro):
    return asyncio.run(coro)


def until_eos(item):
    return isinstance(item, VideoFrame) and item.end_of_speech


@pytest.mark.parametrize("output_size", [None, (16, 12)], ids=["streaming", "composed"])
def test_one_utterance_gives_its_ticks_in_order_with_one_end_signal(monkeypatch, output_size):
    pcm = ticks_of(10, extra=1)

    async def main():
        s = Session(monkeypatch, output_size=output_size, resting=False)
        s.start()
        await s.push(pcm[:5 * SPT], message_id="a")
        await s.push(pcm[5 * SPT:], message_id="other", last=True)
        items = await s.take_until(until_eos)
        rest = await s.stop()
        return s, items, rest

    s, items, rest = run(main())
    frames = speech(items)
    # 10 whole ticks and a partial one: 11 frames, indices from 0, all named
    # after the control that opened the utterance, the last one flagged.
    assert [f.frame_index for f in frames] == list(range(11))
    assert {f.source_message_id for f in frames} == {"a"}
    assert eos_signals(items) == [frames[-1]]
    assert frames[-1].audio_chunk.last_chunk and not any(f.audio_chunk.last_chunk for f in frames[:-1])
    for k, f in enumerate(frames):
        assert f.audio_chunk.sample_rate == 16000
        np.testing.assert_array_equal(f.audio_chunk.data, expected_tick_audio(pcm, k))
        assert tick_of(f) == k
    h, w = (12, 16) if output_size else (6, 8)
    assert frames[0].bgr_image.shape == (h, w, 3)
    # Nothing more of the utterance after its end (stop's own end-of-speech
    # control closes no utterance); the stream ends last.
    assert rest[-1] is _avatar._STREAM_END
    assert not speech(rest) and all(i.source_message_id is None for i in eos_signals(rest))
    names = s.rt.names()
    assert ("pull_frame" in names) == (output_size is None)
    assert ("tick_compose_to_size" in names) == (output_size is not None)


def test_consecutive_utterances_share_the_runtime_and_count_from_zero(monkeypatch):
    async def main():
        s = Session(monkeypatch, resting=False)
        s.start()
        await s.push(ticks_of(5), message_id="a", last=True)
        first = await s.take_until(until_eos)
        await s.push(ticks_of(6, seed=3), message_id="b")
        await s.flush()
        second = await s.take_until(until_eos)
        await s.stop()
        return s, first, second

    s, first, second = run(main())
    assert [(f.frame_index, f.source_message_id) for f in speech(first)] == [(k, "a") for k in range(5)]
    assert [(f.frame_index, f.source_message_id) for f in speech(second)] == [(k, "b") for k in range(6)]
    np.testing.assert_array_equal(speech(second)[0].audio_chunk.data, expected_tick_audio(ticks_of(6, seed=3), 0))
    assert len(s.runtimes) == 1 and s.rt.names().count("reset_stream") >= 2


def test_idle_frames_only_in_streaming_mode_without_a_clock(monkeypatch):
    async def idle(output_size, playout):
        s = Session(monkeypatch, output_size=output_size)
        if playout:
            s.av._playout = asyncio.Queue()
        s.start()
        await asyncio.sleep(0.3)
        got = []
        while not s.av._out_queue.empty():
            got.append(s.av._out_queue.get_nowait())
        s.av._playout = None
        await s.stop()
        return got

    streaming = run(idle(None, False))
    # 20 frames per second for 0.3 s (the output queue holds 6).
    assert len(streaming) >= 2
    for f in streaming:
        assert f.bgr_image[0, 0, 2] == 200  # the runtime's resting picture
        assert f.audio_chunk.data.dtype == np.int16 and f.audio_chunk.data.size == SPT
        assert not f.audio_chunk.data.any() and f.audio_chunk.sample_rate == 16000
        assert not f.audio_chunk.last_chunk and not f.end_of_speech and f.source_message_id is None
    assert run(idle((16, 12), False)) == []
    assert run(idle(None, True)) == []


def test_flush_without_audio_gives_one_marker(monkeypatch):
    async def main():
        s = Session(monkeypatch, resting=False)
        s.start()
        await s.flush()
        items = await s.take_until(until_eos)
        await s.stop()
        return items

    (marker,) = run(main())
    assert marker.bgr_image is None and marker.audio_chunk is None
    assert marker.frame_index == 0 and marker.source_message_id is None


def test_audio_at_another_rate_is_resampled(monkeypatch):
    if not hasattr(_avatar, "_resample_linear"):
        pytest.skip("the PCM conversion functions are not in this build")
    pcm8k = ticks_of(3)[: 3 * SPT // 2]  # 3 ticks' worth at 8000 Hz

    async def main():
        s = Session(monkeypatch, resting=False)
        s.start()
        await s.push(pcm8k, rate=8000, last=True)
        items = await s.take_until(until_eos)
        await s.stop()
        return items

    frames = speech(run(main()))
    up = _avatar._resample_linear(_avatar._i16_to_f32(pcm8k), 8000, 16000)
    pcm16 = (up * 32767).astype(np.int16)
    assert len(frames) == 3
    for k, f in enumerate(frames):
        np.testing.assert_array_equal(f.audio_chunk.data, expected_tick_audio(pcm16, k))


@pytest.mark.parametrize("engine_id", [V1, V2])
def test_restart_after_interrupt(monkeypatch, engine_id):
    async def main():
        s = Session(monkeypatch, engine_id=engine_id, resting=False)
        s.start()
        await s.push(ticks_of(6), message_id="a")
        first = await s.take_until(lambda i: i.frame_index == 2)
        s.interrupt()
        await asyncio.sleep(0.1)  # the producer restarts at its next pass
        assert s.av._stream_pushed == 0
        await s.push(ticks_of(4), message_id="b", last=True)
        after = await s.take_until(until_eos)
        await s.stop()
        return s, first, after

    s, first, after = run(main())
    frames = speech(after)
    assert [f.frame_index for f in frames] == [0, 1, 2, 3]
    assert {f.source_message_id for f in frames} == {"b"}
    # v1 flags its last frame; the v2 drain is closed by a separate marker.
    assert eos_signals(after) == ([frames[-1]] if engine_id == V1 else [after[-1]])
    if engine_id == V1:
        # A new runtime, made on the loop thread; the old one is not closed.
        assert len(s.runtimes) == 2 and s.av._runtime is s.runtimes[1]
        assert serial_of(frames[0]) != serial_of(first[0]) and s.runtimes[0].closed == 0
    else:
        assert len(s.runtimes) == 1 and "reset_stream" in s.runtimes[0].names()
        assert [tick_of(f) for f in frames] == [0, 1, 2, 3]


def test_audio_pushed_right_after_an_interrupt_is_kept(monkeypatch):
    async def main():
        s = Session(monkeypatch, output_size=(16, 12), resting=False)
        s.start()
        await s.push(ticks_of(5), message_id="a")
        await s.take_until(lambda i: i.frame_index == 1)
        await asyncio.sleep(0.05)  # the producer waits for input again
        s.interrupt()
        await s.push(ticks_of(6, seed=1), message_id="b")
        await asyncio.sleep(0.05)
        await s.push(ticks_of(2, seed=2), message_id="c", last=True)
        items = await s.take_until(until_eos)
        await s.stop()
        return items

    frames = speech(run(main()))
    pcm = np.concatenate([ticks_of(6, seed=1), ticks_of(2, seed=2)])
    assert [f.frame_index for f in frames] == list(range(8))
    assert {f.source_message_id for f in frames} == {"b"}
    np.testing.assert_array_equal(frames[0].audio_chunk.data, expected_tick_audio(pcm, 0))


def test_controls_without_message_id_keep_one_utterance(monkeypatch):
    pcm = ticks_of(10)

    async def main():
        s = Session(monkeypatch, resting=False)
        s.start()
        await s.push(pcm[:5 * SPT], message_id=None)
        await s.push(pcm[5 * SPT:], message_id=None, last=True)
        items = await s.take_until(until_eos)
        await s.stop()
        return items

    items = run(main())
    frames = [i for i in items if i.bgr_image is not None]
    assert [f.frame_index for f in frames] == list(range(10))
    np.testing.assert_array_equal(frames[9].audio_chunk.data, expected_tick_audio(pcm, 9))
    assert eos_signals(items) == [frames[-1]]


def test_streaming_tail_without_ready_ticks_still_ends_with_a_marker(monkeypatch):
    async def main():
        s = Session(monkeypatch, resting=False, hold_tail=1000)
        s.start()
        await s.push(ticks_of(5), message_id="a", last=True)
        items = await s.take_until(until_eos)
        await s.stop()
        return items

    (marker,) = run(main())
    assert marker.bgr_image is None and marker.audio_chunk is None
    assert marker.frame_index == 0 and marker.source_message_id == "a"


def test_interrupted_v2_tail_sends_no_stale_marker(monkeypatch):
    monkeypatch.setattr(_avatar, "_V2_DRAIN_STALL_S", 30.0)

    async def main():
        # The engine holds back 20 ticks of what it was given and
        # end_utterance fails, so the drain of 8 ticks (padded to 24) gets 4
        # and keeps polling for the rest until the interrupt.
        s = Session(monkeypatch, engine_id=V2, resting=False, hold_tail=20,
                    fail={"end_utterance": RuntimeError("engine busy")})
        s.start()
        await s.push(ticks_of(8), message_id="a", last=True)
        await s.take_until(lambda i: i.frame_index == 3)
        while "end_utterance" not in s.rt.names():
            await asyncio.sleep(0.01)
        await asyncio.sleep(0.1)
        s.interrupt()
        s.rt.fail.clear()
        await s.push(ticks_of(2), message_id="b", last=True)
        items = await s.take_until(until_eos)
        rest = await s.stop()
        return items, rest

    items, rest = run(main())
    assert {i.source_message_id for i in items} == {"b"}
    assert [i.frame_index for i in speech(items)] == [0, 1]
    assert [i.source_message_id for i in eos_signals(items + rest) if i.source_message_id] == ["b"]


def test_a_picture_rendered_during_an_interrupt_is_dropped(monkeypatch):
    async def main():
        s = Session(monkeypatch, resting=False, cost_s=0.15)
        s.start()
        await s.push(ticks_of(8), message_id="a")
        while "pull_frame" not in s.rt.names():
            await asyncio.sleep(0.01)
        s.interrupt()  # while the first picture renders
        await s.push(ticks_of(5), message_id="b", last=True)
        items = await s.take_until(until_eos)
        await s.stop()
        return items

    items = run(main())
    assert {i.source_message_id for i in items} == {"b"}
    assert [i.frame_index for i in speech(items)] == list(range(5))


def test_a_failure_is_forwarded_then_the_stream_ends(monkeypatch):
    boom = RuntimeError("engine broke")

    async def main():
        s = Session(monkeypatch, resting=False, fail={"push_audio": boom})
        s.start()
        await s.push(ticks_of(2))
        items = [await s.take(), await s.take()]
        result = await s.task
        s.close()
        return s, items, result

    s, items, result = run(main())
    assert items[0] is boom and items[1] is _avatar._STREAM_END
    assert result is None and s.av._out_queue.empty()


def test_cancelled_producer_still_ends_the_stream(monkeypatch):
    async def main():
        s = Session(monkeypatch, resting=False)
        s.start()
        await s.push(ticks_of(2))
        await asyncio.sleep(0.05)
        s.task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await s.task
        s.close()
        return drain_all(s.av._out_queue)

    assert run(main()) == [_avatar._STREAM_END]


def test_cancelled_producer_with_a_full_output_queue_ends_at_once():
    # asyncio.run() at its end cancels every task and waits for them: a
    # producer that waited for room nobody makes would hold it for ever.
    async def main():
        av = _avatar.AsyncAvatar(output_size=(8, 6), output_buffer_size=2)
        av._fixture = ScriptedFixture(spt=SPT)
        av._runtime = ScriptedRuntime(av._fixture)
        av._engine_id = V1
        it = av.run()
        await av.push_audio(np.ones(SPT * 12, "<i2").tobytes(), 16000, last_chunk=False)
        await it.__anext__()
        while not av._out_queue.full():  # composing runs on the engine thread: let the producer fill it
            await asyncio.sleep(0.01)
        return av

    av = asyncio.run(asyncio.wait_for(main(), 10))  # returns: the cancelled producer did not wait
    assert av._producer_task.cancelled() and av._out_queue.full()


def drain_all(q):
    out = []
    while not q.empty():
        out.append(q.get_nowait())
    return out


def test_engine_calls_run_on_one_engine_thread(monkeypatch):
    async def main():
        s = Session(monkeypatch, engine_id=V2, resting=False, hold_tail=2)
        s.start()
        await s.push(ticks_of(6), message_id="a", last=True)
        await s.take_until(until_eos)
        await s.stop()
        return s

    s = run(main())
    on_worker = {t for n, t in s.rt.calls if n in ("push_audio", "pull_frame", "end_utterance")}
    assert len(on_worker) == 1 and next(iter(on_worker)).startswith("halvane-engine")
    assert {n for n, _ in s.rt.calls if n in ("push_audio", "pull_frame", "end_utterance")} == {
        "push_audio", "pull_frame", "end_utterance"}
    main_thread = threading.main_thread().name
    assert {t for n, t in s.rt.calls if n in ("ticks_available", "reset_stream")} == {main_thread}


@pytest.mark.parametrize("engine_id", [V1, V2], ids=["tail-composed", "tail-drained"])
def test_composed_session_composes_on_the_engine_thread_at_its_size(monkeypatch, engine_id):
    # A v2 tail is pushed and pulled at the engine's size (8 x 6): its
    # pictures too must come out at the session's size.
    async def main():
        s = Session(monkeypatch, engine_id=engine_id, output_size=(16, 12), resting=False, hold_tail=2)
        s.start()
        await s.push(ticks_of(10), message_id="a", last=True)
        items = await s.take_until(until_eos)
        await s.stop()
        return s, items

    s, items = run(main())
    frames = speech(items)
    assert [f.frame_index for f in frames] == list(range(10))
    assert {f.bgr_image.shape for f in frames} == {(12, 16, 3)}
    composing = [t for n, t in s.rt.calls if n == "tick_compose_to_size"]
    assert composing and all(t.startswith("halvane-engine") for t in composing)


def test_stream_modes_and_output_routing(monkeypatch):
    cases = [(Z2, None, True, True), (Z2, (16, 12), False, True), (V2, None, False, True),
             (V1, None, False, False), (None, None, False, False)]
    for engine_id, output_size, z2, v2 in cases:
        s = Session(monkeypatch, engine_id=engine_id, output_size=output_size)
        if engine_id is None:
            del s.av._engine_id
        assert (s.av._is_z2_stream(), s.av._is_v2_stream()) == (z2, v2), engine_id

    async def route():
        s = Session(monkeypatch)
        playout = s.av._playout = asyncio.Queue()
        await s.av._emit_out("x")
        s.av._playout = None  # read at each call
        await s.av._emit_out("y")
        return playout.get_nowait(), s.av._out_queue.get_nowait(), s.av._out_queue.empty()

    assert run(route()) == ("x", "y", True)


def test_v2_reset_failure_is_logged_and_the_runtime_kept(monkeypatch, caplog):
    s = Session(monkeypatch, engine_id=V2, fail={"reset_stream": ValueError("stuck")})
    with caplog.at_level("WARNING", logger="halvane"):
        assert s.av._fresh_runtime(s.fx) is s.runtimes[0]
    assert caplog.messages == ["halvane: could not reset the engine between utterances (ValueError: stuck)"]
    s1 = Session(monkeypatch, engine_id=V1)
    fresh = s1.av._fresh_runtime(s1.fx)
    assert fresh is s1.runtimes[1]
