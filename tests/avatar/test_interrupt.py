"""interrupt(): what it drops, what it keeps, and the flags it raises."""

import asyncio

import pytest

from halvane import _avatar
from halvane._models import VideoControl
from scripted_producer import END, ScriptedAvatar, describe, drain, emits, frame, producing


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 10))


def contents(q):
    return [describe(x) for x in list(q._queue)]


def test_not_running_changes_nothing():
    av = ScriptedAvatar()
    av._in_queue.put_nowait(VideoControl(end_of_speech=True))
    av._out_queue.put_nowait(frame(0))
    av._sync_pend.append((0.0, frame(1)))
    av.interrupt()
    assert av._in_queue.qsize() == 1 and contents(av._out_queue) == ["f0"] and len(av._sync_pend) == 1
    assert not av._interrupt_event.is_set()


@pytest.mark.parametrize("z2", [False, True])
def test_interrupt_drops_the_utterance_in_flight(z2):
    async def main():
        av = ScriptedAvatar(emits(), z2=z2)
        await av._ensure_running()
        await asyncio.sleep(0)
        av._z2_r0 = 0.4
        for i in range(3):
            av._in_queue.put_nowait(VideoControl(end_of_speech=True))
            av._out_queue.put_nowait(frame(i))
            av._sync_pend.append((0.0, frame(i)))
            if z2:
                av._playout.put_nowait(frame(10 + i))
        av.interrupt()
        assert av._in_queue.empty() and av._out_queue.empty() and not av._sync_pend
        assert av._interrupt_event.is_set() and not av._stop_event.is_set() and av._running
        if z2:
            assert av._playout.empty() and av._playout_reset is True and av._z2_r0 is None
            assert av.arrival_dropped == 1
        else:
            assert av._playout_reset is False and av._z2_r0 == 0.4
            assert not hasattr(av, "arrival_dropped")
        av.interrupt()  # a second call finds nothing more to drop
        assert av._in_queue.empty() and av._out_queue.empty() and av._interrupt_event.is_set()
        await av.stop()

    run(main())


def test_the_session_goes_on_after_an_interrupt():
    async def main():
        async def body(av):
            await av._emit_out(frame(0))
            await av._interrupt_event.wait()
            av._interrupt_event.clear()  # the producer's reset
            await av._emit_out(frame(1))
            await av._stop_event.wait()

        av = ScriptedAvatar(producing(body))
        it = av.run()
        assert describe(await it.__anext__()) == "f0"
        av.interrupt()
        assert describe(await it.__anext__()) == "f1"
        await av.stop()

    run(main())


@pytest.mark.parametrize("z2", [False, True])
def test_end_of_stream_and_failure_survive_an_interrupt(z2):
    error = KeyError("engine")

    async def fails(av):
        raise error

    async def main():
        # the producer forwards its failure and ends; on a zephan-2 stream the
        # clock has not forwarded them yet
        av = ScriptedAvatar(producing(fails), z2=z2, clock=lambda av: av._stop_event.wait())
        av._out_queue.put_nowait(frame(0))
        await av._ensure_running()
        if z2:
            av._playout.put_nowait(frame(0))
            for item in (error, END):
                av._out_queue.put_nowait(item)
        await asyncio.sleep(0)
        queues = [av._out_queue] + ([av._playout] if z2 else [])
        for q in queues:
            q.put_nowait(frame(2))
            assert contents(q) == ["f0", "KeyError('engine')", "END", "f2"]
        av.interrupt()
        for q in queues:
            assert contents(q) == ["KeyError('engine')", "END"]
            assert q._queue[0] is error
        # the consumer is told, and does not wait for output nobody makes
        it = av.run()
        with pytest.raises(KeyError):
            await it.__anext__()
        if not z2:  # the END kept behind it ends the next iterator
            assert await drain(av.run()) == []
        await av.stop()

    run(main())


async def read_taken_then_interrupt(av, it, item):
    """Has the iterator's pending read take `item` off the output queue, then
    interrupts before the iterator resumes with it. Returns the consumer's
    task, still waiting for its item."""
    got = asyncio.create_task(it.__anext__())
    for _ in range(5):
        await asyncio.sleep(0)  # the iterator waits on its read of the (empty) queue
    av._out_queue.put_nowait(item)
    await asyncio.sleep(0)  # the read takes it; the iterator has not resumed yet
    av.interrupt()
    return got


@pytest.mark.parametrize("mode", ["plain", "sync"])
def test_nothing_taken_before_an_interrupt_is_yielded_after_it(mode):
    async def main():
        av = ScriptedAvatar(emits())
        if mode == "sync":
            av.sync_to(lambda: 0.0)  # every picture due at once
        it = av.run()
        if mode == "plain":
            got = await read_taken_then_interrupt(av, it, frame(1))
        else:
            av._out_queue.put_nowait(frame(1))
            assert describe(await it.__anext__()) == "v1"  # the voice; its picture comes at the next ask
            av.interrupt()
            got = asyncio.create_task(it.__anext__())
            for _ in range(5):
                await asyncio.sleep(0)
        av._out_queue.put_nowait(frame(2, picture=False))  # the next utterance
        assert describe(await got) == "v2"
        await av.stop()

    run(main())


def test_a_put_that_waited_through_an_interrupt_is_dropped():
    async def body(av):
        emit = _avatar.AsyncAvatar._emit_out  # the session's own hand-over
        for i in range(3):  # the third waits for room in a queue of two
            await emit(av, frame(i))
        await emit(av, frame(9, mid="next"))
        await av._stop_event.wait()

    async def main():
        av = ScriptedAvatar(producing(body), output_buffer_size=2)
        await av._ensure_running()
        for _ in range(5):
            await asyncio.sleep(0)
        assert contents(av._out_queue) == ["f0", "f1"]
        av.interrupt()  # makes room: the waiting put of f2 completes after it
        assert describe(await av.run().__anext__()) == "f9"
        await av.stop()

    run(main())
