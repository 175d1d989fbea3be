"""The asyncio bridge: coroutines and an async generator written in C++."""

import asyncio
import collections.abc
import gc
import weakref

import pytest

from halvane import _avatar

try:
    import _aio_probes as probes  # on the path through tests/avatar/conftest.py
except ModuleNotFoundError as e:
    raise ModuleNotFoundError("_aio_probes is not built: bash scripts/setup.sh builds it into build/aio-probes") from e

pytestmark = pytest.mark.filterwarnings("error")


def run(coro):
    return asyncio.run(coro)


async def value_after_yield(value):
    await asyncio.sleep(0)
    return value


def test_the_live_module_ships_no_probe():
    # the probes have a module of their own: the live module exposes none of them
    assert [name for name in dir(_avatar) if name.startswith("_aio")] == []


def test_types_are_registered_with_the_abcs():
    async def main():
        co = probes.chain(value_after_yield(1))
        it = probes.counter(0, asyncio.sleep, [])
        assert isinstance(co, collections.abc.Coroutine)
        assert isinstance(it, collections.abc.AsyncGenerator)
        assert await co == 1
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            co.send(None)

    run(main())


@pytest.mark.parametrize("depth", [0, 1, 5])
def test_named_task_runs_nested_frames(depth):
    async def current_name():
        await asyncio.sleep(0)
        return asyncio.current_task().get_name()

    async def main():
        task = asyncio.create_task(probes.chain(current_name(), depth), name="probe-task")
        assert await task == "probe-task"
        assert task.get_name() == "probe-task"
        # awaited straight from Python code, without a task of its own
        assert await probes.chain(value_after_yield((1, 2)), depth) == (1, 2)

    run(main())


@pytest.mark.parametrize("depth", [0, 3])
def test_exceptions_keep_identity(depth):
    error = KeyError("kept")

    async def raises():
        await asyncio.sleep(0)
        raise error

    async def returns_error():
        await asyncio.sleep(0)
        return error

    async def main():
        for make in (raises, returns_error):  # raised in Python, raised by the C++ frame
            with pytest.raises(KeyError) as caught:
                await asyncio.create_task(probes.chain(make(), depth))
            assert caught.value is error

    run(main())


def test_cancellation_reaches_the_frame_which_awaits_while_cleaning_up():
    async def main():
        queue = asyncio.Queue()
        log = []

        async def cleanup(error):
            log.append(error)
            await asyncio.sleep(0)
            log.append(asyncio.current_task().get_name())

        cases = {
            "queue-get": lambda: queue.get(),
            "wait-for": lambda: asyncio.wait_for(queue.get(), 60),
            "sleep": lambda: asyncio.sleep(60),
        }
        for name, make in cases.items():
            log.clear()
            task = asyncio.create_task(probes.guarded(make(), cleanup), name=name)
            for _ in range(3):
                await asyncio.sleep(0)
            assert not task.done()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert task.cancelled()
            assert isinstance(log[0], asyncio.CancelledError)
            assert log[1:] == [name]
        # the queue still works and its getters are gone
        queue.put_nowait(3)
        assert await probes.guarded(queue.get(), cleanup) == 3
        assert not queue._getters

    run(main())


def test_wait_for_timeout_passes_through():
    async def main():
        log = []

        async def cleanup(error):
            log.append(type(error))
            await asyncio.sleep(0)

        with pytest.raises(TimeoutError):
            await probes.guarded(asyncio.wait_for(asyncio.sleep(60), 0.001), cleanup)
        assert log == [TimeoutError]

    run(main())


def test_coroutine_protocol():
    async def main():
        co = probes.chain(value_after_yield(1))
        with pytest.raises(TypeError, match="just-started coroutine"):
            co.send(5)
        assert co.send(None) is None  # the bare yield of sleep(0)
        with pytest.raises(ValueError) as caught:
            co.throw(ValueError("in"))
        assert str(caught.value) == "in"
        co = probes.chain(value_after_yield(1))
        co.send(None)
        co.close()
        co.close()
        with pytest.raises(RuntimeError):
            co.send(None)

    run(main())


def test_async_iterator():
    async def main():
        log = []

        async def tick():
            await asyncio.sleep(0)

        assert [x async for x in probes.counter(3, tick, log)] == [0, 1, 2]
        assert log == ["done"]

        log.clear()
        it = probes.counter(5, tick, log)
        assert await it.__anext__() == 0
        assert await it.asend("sent") == 1
        assert await it.aclose() is None
        assert isinstance(log[1], GeneratorExit)
        assert log[::2] == ["sent", "cleaned"]
        with pytest.raises(StopAsyncIteration):
            await it.__anext__()

        log.clear()
        error = LookupError("thrown")
        it = probes.counter(5, tick, log)
        assert await it.__anext__() == 0
        with pytest.raises(LookupError) as caught:
            await it.athrow(error)
        assert caught.value is error
        assert log == [error, "cleaned"]

        # cancelled while awaiting inside the body
        log.clear()
        delays = iter([60, 0])
        it = probes.counter(5, lambda: asyncio.sleep(next(delays)), log)
        task = asyncio.create_task(it.__anext__())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert isinstance(log[0], asyncio.CancelledError)
        assert log[1:] == ["cleaned"]
        with pytest.raises(StopAsyncIteration):
            await it.__anext__()

        with pytest.raises(TypeError, match="just-started async generator"):
            await probes.counter(1, tick, log).asend(1)

    run(main())


def test_many_runs_leave_nothing_behind():
    class Item:
        pass

    async def give(item):
        await asyncio.sleep(0)
        return item

    async def main():
        refs = []
        queue = asyncio.Queue()
        for i in range(10_000):
            item = Item()
            refs.append(weakref.ref(item))
            assert await probes.chain(give(item), i % 3) is item
            del item
        for i in range(100):
            queue.put_nowait(i)
        assert await probes.consume(queue, 100) == sum(range(100))
        return refs

    gc.collect()
    before = len(gc.get_objects())
    refs = run(main())
    del main
    assert all(r() is None for r in refs)  # freed by reference counting alone
    del refs
    gc.collect()
    assert len(gc.get_objects()) - before < 500
