"""stop(), shutdown() and cleanup(): ending the tasks in order, bounded waits
on a hung producer, releasing the engine once, and the caller's own
cancellation."""

import asyncio
import concurrent.futures
import itertools
import logging
import selectors
import time

import numpy as np
import pytest

from halvane._avatar import AsyncAvatar
from halvane._models import AudioChunk, VideoControl
from live_kit import Session, ticks_of
from scripted import ScriptedRuntime
from scripted_producer import END, ScriptedAvatar, describe, drain, emits, frame, producing, take

SCALE = 50.0  # loop seconds per real second in FastLoop


class _FastSelector(selectors.DefaultSelector):
    def select(self, timeout=None):
        return super().select(None if timeout is None else timeout / SCALE)


class FastLoop(asyncio.SelectorEventLoop):
    """An event loop whose clock runs SCALE times faster than real time, so
    that waits of several seconds pass in a fraction of one."""

    def __init__(self):
        super().__init__(_FastSelector())

    def time(self):
        return time.monotonic() * SCALE


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 10))


def run_fast(coro):
    with asyncio.Runner(loop_factory=FastLoop) as runner:
        return runner.run(coro)


def assert_stopped(av):
    assert (av._running, av._producer_task, av._emitter_task, av._playout) == (False, None, None, None)
    assert av._out_queue.empty()


def test_stop_when_not_running_changes_nothing():
    async def main():
        av = ScriptedAvatar()
        event = av._stop_event
        await av.stop()
        assert not event.is_set() and av._in_queue.empty() and av._running is False

    run(main())


@pytest.mark.parametrize("z2", [False, True])
def test_stop_ends_the_tasks_and_keeps_the_model(z2):
    async def main():
        av = ScriptedAvatar(emits(frame(0), frame(1), frame(2)), z2=z2)
        fixture, runtime = av._fixture, av._runtime
        assert describe((await take(av.run(), 1))[0]) == "f0"
        producer, clock = av._producer_task, av._emitter_task
        await av.stop()
        assert_stopped(av)
        assert producer.done() and not producer.cancelled()
        assert clock is None or clock.done()
        assert av._fixture is fixture and av._runtime is runtime and runtime.closed == 0
        # the producer never read the end-of-speech control stop() added
        control = av._in_queue.get_nowait()
        assert isinstance(control, VideoControl) and control.end_of_speech and control.audio is None
        # a new run() starts new tasks on the same model
        assert [describe(x) for x in await take(av.run(), 1)] == ["f0"]
        assert av._producer_task is not producer
        await av.stop()
        await av.stop()  # again: nothing to do

    run(main())


def test_stop_with_a_full_input_queue_adds_no_control():
    async def main():
        av = ScriptedAvatar(input_buffer_size=1)
        av._in_queue.put_nowait("queued")
        await av._ensure_running()
        await av.stop()
        assert av._in_queue.qsize() == 1 and av._in_queue.get_nowait() == "queued"

    run(main())


def test_producer_blocked_on_a_full_output_queue_ends_in_order():
    async def main():
        av = ScriptedAvatar(emits(*[frame(i) for i in range(8)]), output_buffer_size=1)
        await av._ensure_running()
        await asyncio.sleep(0.01)  # the producer now waits for room
        producer = av._producer_task
        await av.stop()
        assert producer.done() and not producer.cancelled()
        assert_stopped(av)

    run(main())


class Stubborn:
    """A producer on a hung engine: it ignores the stop event, and also the
    first `deaf` cancellations; once released it ends like the real one."""

    def __init__(self, deaf):
        self.deaf = deaf
        self.cancels = 0

    async def __call__(self, av):
        async def body(av):
            while True:
                try:
                    await asyncio.sleep(3600)
                except asyncio.CancelledError:
                    self.cancels += 1
                    if self.cancels > self.deaf:
                        raise

        await producing(body)(av)


@pytest.mark.parametrize("deaf, low, high", [(0, 5.0, 5.5), (1, 6.0, 6.5)], ids=["cancelled", "deaf"])
def test_stop_with_a_hung_producer_returns_within_its_bounds(deaf, low, high):
    async def main():
        loop = asyncio.get_running_loop()
        stubborn = Stubborn(deaf)
        av = ScriptedAvatar(stubborn)
        await av._ensure_running()
        await asyncio.sleep(0)
        producer = av._producer_task
        t0 = loop.time()
        await av.stop()
        took = loop.time() - t0
        assert low <= took < high, took
        assert stubborn.cancels == 1
        assert_stopped(av)
        assert producer.done() == (deaf == 0)
        if not producer.done():  # the deaf one is left behind: let it go
            producer.cancel()
            with pytest.raises(asyncio.CancelledError):
                await producer

    run_fast(main())


def test_stop_passes_on_its_callers_cancellation_after_tearing_down():
    async def main():
        stubborn = Stubborn(deaf=0)
        av = ScriptedAvatar(stubborn, z2=True)
        await av._ensure_running()
        await asyncio.sleep(0)
        producer, clock = av._producer_task, av._emitter_task
        stopping = asyncio.create_task(av.stop())
        await asyncio.sleep(0.05)  # inside the first wait on the producer
        stopping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await stopping
        assert_stopped(av)
        assert producer.cancelled() and clock.done()

    run(main())


def test_stop_asked_to_cancel_before_its_first_wait():
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        await av._ensure_running()

        async def owner():
            asyncio.current_task().cancel()  # requested, not yet delivered
            await av.stop()

        with pytest.raises(asyncio.CancelledError):
            await asyncio.create_task(owner())
        assert_stopped(av)

    run(main())


def test_stop_in_a_task_cancelled_before_keeps_going():
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        await av._ensure_running()
        done = []

        async def owner():
            try:
                await asyncio.sleep(3600)
            except asyncio.CancelledError:
                await av.stop()  # tearing down on the way out is not a new cancellation
                done.append(True)
                raise

        task = asyncio.create_task(owner())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert done == [True]
        assert_stopped(av)

    run(main())


def test_shutdown_cancelled_still_releases_the_engine():
    async def main():
        av = ScriptedAvatar(Stubborn(deaf=0))
        runtime = av._runtime
        await av._ensure_running()
        await asyncio.sleep(0)
        task = asyncio.create_task(av.shutdown())
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert runtime.closed == 1 and av._runtime is None and av._fixture is None

    run(main())


@pytest.mark.parametrize(
    "calls",
    [("cleanup", "cleanup"), ("shutdown", "shutdown"), ("cleanup", "shutdown"), ("shutdown", "cleanup")],
)
@pytest.mark.parametrize("started", [False, True])
def test_the_engine_is_released_once(calls, started):
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        runtime = av._runtime
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=1)
        pool.submit(time.sleep, 0.01)
        av._engine_executor = pool
        if started:
            await av._ensure_running()
            await asyncio.sleep(0)
        for name in calls:
            result = getattr(av, name)()
            if name == "shutdown":
                await result
            else:
                assert result is None
        assert runtime.closed == 1
        assert pool._shutdown and av._engine_executor is None
        assert av._runtime is None and av._fixture is None and av._running is False
        await asyncio.sleep(0)  # the cancelled producer runs its cancellation

    run(main())


@pytest.mark.parametrize(
    "runtime, lines",
    [
        (object(), []),
        (ScriptedRuntime(None, fail={"close": RuntimeError("boom")}),
         ["halvane: releasing the engine failed (RuntimeError: boom)"]),
        (ScriptedRuntime(None, fail={"close": KeyError("k")}),
         ["halvane: releasing the engine failed (KeyError: 'k')"]),
    ],
    ids=["no close", "close raises", "close raises KeyError"],
)
def test_release_failures_are_logged_not_raised(runtime, lines, caplog):
    async def main():
        av = ScriptedAvatar()
        av._runtime = runtime
        with caplog.at_level(logging.WARNING, logger="halvane"):
            av.cleanup()
        mine = [r for r in caplog.records if r.name == "halvane"]
        assert [r.getMessage() for r in mine] == lines
        assert all(r.levelno == logging.WARNING for r in mine)
        assert av._runtime is None and av._fixture is None

    run(main())


def test_cleanup_while_a_consumer_waits():
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        runtime = av._runtime
        av.sync_to(lambda: 0.15)  # the picture is due 0.075 s after the voice
        it = av.run()
        assert describe(await it.__anext__()) == "v0"
        seen = []

        async def consume():
            async for item in it:
                seen.append((describe(item), runtime.closed))

        task = asyncio.create_task(consume())
        await asyncio.sleep(0.01)
        av.cleanup()
        assert av._running is False and av._producer_task is None
        await task
        # the pending picture still came, after the engine was released
        assert seen == [("p0", 1)]
        assert av._runtime is None and av._fixture is None

    run(main())


def test_a_restart_after_a_failure_begins_with_no_stray_end_of_speech(monkeypatch):
    async def main():
        s = Session(monkeypatch, fail={"push_audio": RuntimeError("engine down")})
        av = s.av
        await av.push(VideoControl(audio=AudioChunk(data=ticks_of(6), sample_rate=16000), message_id="m1"))
        with pytest.raises(RuntimeError, match="engine down"):
            async for _ in av.run():
                pass
        await av.stop()  # the producer had ended: its end-of-speech control stays queued
        s.rt.fail.clear()
        await av.push(VideoControl(audio=AudioChunk(data=ticks_of(6), sample_rate=16000, last_chunk=True),
                                   message_id="m2"))
        ends = []
        async for item in av.run():
            if item.end_of_speech:
                ends.append((item.source_message_id, item.frame_index))
                break
        await av.shutdown()
        return ends

    assert asyncio.run(asyncio.wait_for(main(), 10)) == [("m2", 5)]


def test_cleanup_while_audio_flows_ends_the_stream_cleanly(tmp_path):
    # cleanup() lands at a different point of the producer's work each round
    # (waiting for input, handed a piece in the very loop step it is
    # cancelled, pushing, closing an utterance); nothing may reach the
    # released engine after it.
    from tools.make_ostrel1_avatar import manifest, write_avatar

    path = str(write_avatar(tmp_path / "face.imx", "imx", manifest(width=32, height=16, samples_per_tick=320)))
    piece = np.zeros(160, "<i2").tobytes()

    async def round_(steps):
        av = await AsyncAvatar.create(model_path=path, output_size=None)

        async def consume():
            async for _ in av.run():
                pass

        async def pushing():
            for k in itertools.count():  # short utterances, each closed by its second piece
                await av.push_audio(piece, 16000, last_chunk=k % 2 == 1)
                await asyncio.sleep(0)

        consumer = asyncio.create_task(consume())
        pusher = asyncio.create_task(pushing())
        for _ in range(steps):
            await asyncio.sleep(0)
        av.cleanup()
        try:
            await asyncio.wait_for(consumer, 5)  # ends at the end of the stream, raising nothing
        finally:
            pusher.cancel()
            await asyncio.gather(pusher, return_exceptions=True)
            await asyncio.sleep(0)

    async def main():
        for r in range(40):
            await round_(10 + 3 * r)

    asyncio.run(main())
