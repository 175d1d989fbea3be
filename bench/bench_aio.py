"""Coroutine round trips and queue hand-offs per second: C++ coroutines on the
asyncio bridge (the probe module _aio_probes, which scripts/setup.sh builds
into build/aio-probes) against the same loops in pure Python."""

import asyncio
import sys
import time
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parents[1] / "build" / "aio-probes"))
import _aio_probes as probes  # noqa: E402

N = 100_000


async def py_chain(awaitable, depth=0):
    if depth:
        return await py_chain(awaitable, depth - 1)
    return await awaitable


async def py_consume(queue, n):
    total = 0
    for _ in range(n):
        total += await queue.get()
    return total


async def ready(x):
    return x


async def one_trip(x):
    await asyncio.sleep(0)
    return x


async def round_trips(chain, make, depth):
    start = time.perf_counter()
    for i in range(N):
        await chain(make(i), depth)
    return N / (time.perf_counter() - start)


async def hand_offs(consume):
    queue = asyncio.Queue(maxsize=1)

    async def produce():
        for i in range(N):
            await queue.put(i)

    start = time.perf_counter()
    producer = asyncio.create_task(produce())
    total = await asyncio.create_task(consume(queue, N))
    await producer
    assert total == N * (N - 1) // 2
    return N / (time.perf_counter() - start)


async def main():
    rows = [
        ("round trip, awaitable done at once", lambda c: round_trips(c, ready, 0)),
        ("round trip, 3 nested frames", lambda c: round_trips(c, ready, 3)),
        ("round trip through the loop (sleep 0)", lambda c: round_trips(c, one_trip, 0)),
    ]
    print(f"{'per second':42} {'C++ bridge':>12} {'pure Python':>12} {'ratio':>8}")
    rows.append(("queue hand-offs (maxsize 1)", None))
    for name, bench in rows:
        # interleaved rounds, best of each: drift of the machine hits both sides alike
        cxx, py = [], []
        for _ in range(5):
            if bench is None:
                cxx.append(await hand_offs(probes.consume))
                py.append(await hand_offs(py_consume))
            else:
                cxx.append(await bench(probes.chain))
                py.append(await bench(py_chain))
        print(f"{name:42} {max(cxx):12,.0f} {max(py):12,.0f} {max(cxx) / max(py):8.2f}")


if __name__ == "__main__":
    asyncio.run(main())
