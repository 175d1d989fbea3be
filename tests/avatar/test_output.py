"""run(): starting the session, the items of the output queue, the end of the
stream, cancellation of the consumer, and a stream whose producer is gone."""

import asyncio
import contextlib

import pytest

from halvane import _avatar
from halvane._exceptions import RuntimeNotReadyError
from scripted_producer import END, ScriptedAvatar, describe, drain, emits, frame, producing, take

NO_FIXTURE = "AsyncAvatar: no fixture loaded. Call create(model_path=...)."


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 10))


@pytest.mark.parametrize("missing", ["_fixture", "_runtime"])
def test_first_step_refuses_without_a_model(missing):
    async def main():
        av = ScriptedAvatar()
        setattr(av, missing, None)
        it = av.run()  # nothing happens yet
        assert av._producer_task is None
        with pytest.raises(RuntimeNotReadyError) as caught:
            await it.__anext__()
        assert str(caught.value) == NO_FIXTURE
        assert (av._running, av._producer_task, av._emitter_task, av._playout) == (False, None, None, None)

    run(main())


@pytest.mark.parametrize("z2", [False, True])
def test_start_creates_the_tasks_once(z2):
    async def main():
        av = ScriptedAvatar(emits(frame(0), frame(1), then_wait_stop=True), z2=z2)
        av._playout_reset = True
        a, b = av.run(), av.run()
        assert a is not b
        assert describe(await a.__anext__()) == "f0"
        stop_event = av._stop_event
        assert describe(await b.__anext__()) == "f1"  # shares the running tasks
        assert av._stop_event is stop_event
        assert av._producer_task.get_name() == "halvane-ostrel-async-producer"
        if z2:
            assert av.starts == ["halvane-z2-playout-clock", "halvane-ostrel-async-producer"]
            assert av._emitter_task.get_name() == "halvane-z2-playout-clock"
            assert isinstance(av._playout, asyncio.Queue) and av._playout.maxsize == 0
            assert av._playout_reset is False
        else:
            assert av.starts == ["halvane-ostrel-async-producer"]
            assert av._playout is None and av._emitter_task is None and av._playout_reset is True
        await av.stop()

    run(main())


def test_items_pass_unchanged_and_the_stream_ends():
    marker = frame(2, picture=False, voice=False, eos=True)

    async def main():
        items = [frame(0), frame(1, picture=False), marker, "anything"]
        av = ScriptedAvatar(emits(*items, then_wait_stop=False))
        got = await drain(av.run())
        assert got == items and got[2] is marker
        assert av._running  # the end of the stream does not stop the session
        await av.stop()

    run(main())


def test_a_forwarded_failure_is_raised_and_a_new_start_needs_stop():
    error = KeyError("engine")

    async def body(av):
        await av._emit_out(frame(0))
        raise error

    async def main():
        av = ScriptedAvatar(producing(body))
        it = av.run()
        assert describe(await it.__anext__()) == "f0"
        with pytest.raises(KeyError) as caught:
            await it.__anext__()
        assert caught.value is error
        with pytest.raises(StopAsyncIteration):  # a finished iterator stays finished
            await it.__anext__()
        assert await drain(av.run()) == []  # ends at the END that followed the failure
        await av.stop()
        av.produce = emits(frame(7), then_wait_stop=False)
        assert [describe(x) for x in await drain(av.run())] == ["f7"]
        await av.stop()

    run(main())


def test_cancelled_consumer_stops_the_session_then_gives_up():
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        got = []

        async def consume():
            async for item in av.run():
                got.append(describe(item))

        task = asyncio.create_task(consume())
        while not got:
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert got == ["f0"]
        assert (av._running, av._producer_task, av._emitter_task) == (False, None, None)
        assert av._out_queue.empty()

    run(main())


def test_leaving_the_loop_keeps_the_session():
    async def main():
        av = ScriptedAvatar(emits(frame(0), frame(1)))
        async for item in av.run():
            break
        await asyncio.sleep(0.01)
        assert av._running and not av._producer_task.done()
        assert [describe(x) for x in await take(av.run(), 1)] == ["f1"]
        await av.stop()

    run(main())


# --- a stream whose producer (or clock) is gone must not hold the consumer ---


class Fatal(BaseException):
    pass


async def pacing_clock(av):
    """A clock that sends a resting frame whenever the playout queue stays
    empty for 10 ms, and ends after forwarding `_STREAM_END`."""
    q = av._playout
    while True:
        try:
            item = await asyncio.wait_for(q.get(), 0.01)
        except asyncio.TimeoutError:
            item = frame(200, voice=False)
        await av._out_queue.put(item)
        if item is END:
            return


@pytest.mark.parametrize("z2", [False, True], ids=["no clock", "clock"])
@pytest.mark.parametrize("death", ["cancelled before it ran", "cancelled", "returned", "fatal"])
def test_producer_gone_without_its_end_of_stream(death, z2):
    async def main():
        async def body(av):
            if death == "cancelled before it ran":
                raise AssertionError("never runs")
            await av._emit_out(frame(0))
            await asyncio.sleep(0.05)
            if death == "fatal":
                raise Fatal("engine thread died")  # not an Exception: nothing forwards it

        av = ScriptedAvatar(body, z2=z2, clock=pacing_clock)
        it = av.run()
        await av._ensure_running()
        if death == "cancelled before it ran":
            av._producer_task.cancel()
        else:
            assert describe(await it.__anext__()) == "f0"
            if death == "cancelled":
                av._producer_task.cancel()
        rest = []
        with pytest.raises(Fatal) if death == "fatal" else contextlib.nullcontext():
            async for item in it:
                rest.append(describe(item))
        assert set(rest) <= {"p200"}  # at most resting frames, then the end
        await av.stop()

    run(main())


def test_clock_gone_while_the_producer_runs():
    async def main():
        async def clock(av):
            await av._out_queue.put(await av._playout.get())

        av = ScriptedAvatar(emits(frame(0), frame(1)), z2=True, clock=clock)
        assert [describe(x) for x in await drain(av.run())] == ["f0"]
        await av.stop()

    run(main())


def test_consumer_ends_when_stop_takes_the_end_of_stream():
    async def main():
        av = ScriptedAvatar(emits(frame(0)))
        it = av.run()
        assert describe(await it.__anext__()) == "f0"
        waiting = asyncio.create_task(drain(it))
        await asyncio.sleep(0.01)
        await av.stop()  # its drain task or the consumer takes the END
        assert await waiting == []

    run(main())


# --- an end of stream left by an earlier session ---


@pytest.mark.parametrize("out_size", [6, 1])
def test_stale_end_after_cleanup_does_not_end_the_next_session(out_size):
    async def main():
        av = ScriptedAvatar(emits(frame(0)), output_buffer_size=out_size)
        fixture, runtime = av._fixture, av._runtime
        assert describe((await take(av.run(), 1))[0]) == "f0"
        av.cleanup()  # the producer is cancelled and puts its own END later
        assert runtime.closed == 1
        av._fixture, av._runtime = fixture, runtime  # loaded again
        av.produce = emits(frame(5), frame(6), then_wait_stop=False)
        it = av.run()
        got = [describe(x) for x in await drain(it)]
        assert got == ["f5", "f6"]
        await av.stop()

    run(main())


def test_stale_end_already_queued_is_dropped_at_start():
    async def main():
        av = ScriptedAvatar(emits(frame(3), then_wait_stop=False))
        leftover = frame(9)
        for item in (END, leftover, END):
            av._out_queue.put_nowait(item)
        got = await drain(av.run())
        assert got[0] is leftover and [describe(x) for x in got] == ["f9", "f3"]
        await av.stop()

    run(main())

