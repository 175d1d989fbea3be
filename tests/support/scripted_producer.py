"""An AsyncAvatar whose producer and playout clock follow a test's script,
for tests of the output side (run(), sync_to(), stop(), cleanup(),
interrupt()) without the real frame production.

A script is an async function of the avatar. `producing(body)` wraps one the
way the real producer ends: a failure of the body goes out as an item, and
`_STREAM_END` always goes out last, also when the task is cancelled.
"""

from __future__ import annotations

import asyncio

import numpy as np

from halvane import _avatar
from halvane._models import AudioChunk, VideoFrame
from scripted import ScriptedFixture, ScriptedRuntime

END = _avatar._STREAM_END


def frame(i, *, spt=800, rate=16000, picture=True, voice=True, eos=False, mid="m"):
    """Frame `i`: a 2x2 picture filled with i, and spt int16 samples of value i."""
    return VideoFrame(
        bgr_image=np.full((2, 2, 3), i % 256, np.uint8) if picture else None,
        audio_chunk=AudioChunk(data=np.full(spt, i, np.int16), sample_rate=rate, last_chunk=False) if voice else None,
        frame_index=i,
        source_message_id=mid,
        end_of_speech=eos,
    )


def describe(item):
    """A short text for an output item: "f3" (picture and voice), "v3" (voice
    only), "p3" (picture only), "eos" (marker), "END", or the exception."""
    if item is END:
        return "END"
    if isinstance(item, BaseException):
        return repr(item)
    if item.bgr_image is None and item.audio_chunk is None:
        return "eos"
    kind = "f" if item.bgr_image is not None and item.audio_chunk is not None else ("p" if item.audio_chunk is None else "v")
    return f"{kind}{item.frame_index}"


def producing(body):
    async def produce(av):
        try:
            await body(av)
        except Exception as e:  # noqa: BLE001 - forwarded like the real producer does
            await av._emit_out(e)
        finally:
            try:
                await av._emit_out(END)
            except Exception:  # noqa: BLE001
                pass

    return produce


def emits(*items, then_wait_stop=True):
    """A producer that puts `items`, then (by default) waits for the stop event."""

    async def body(av):
        for item in items:
            await av._emit_out(item)
        if then_wait_stop:
            await av._stop_event.wait()

    return producing(body)


async def forwarding_clock(av):
    """A playout clock reduced to its contract: forward every item, end after `_STREAM_END`."""
    q = av._playout
    while True:
        item = await q.get()
        await av._out_queue.put(item)
        if item is END:
            return


class ScriptedAvatar(_avatar.AsyncAvatar):
    def __init__(self, produce=None, *, z2=False, clock=forwarding_clock, **kw):
        super().__init__(**kw)
        self._fixture = ScriptedFixture()
        self._runtime = ScriptedRuntime(self._fixture)
        self.produce = produce or emits()
        self.z2 = z2
        self.clock = clock
        self.starts = []  # task names, in the order the tasks were created

    def _is_z2_stream(self):
        return self.z2

    async def _produce_frames(self):
        self.starts.append(asyncio.current_task().get_name())
        await self.produce(self)

    async def _emit_clock(self):
        self.starts.append(asyncio.current_task().get_name())
        await self.clock(self)

    async def _emit_out(self, item):
        q = self._playout if self._playout is not None else self._out_queue
        await q.put(item)

    def _arrival_dropped(self):
        self.arrival_dropped = getattr(self, "arrival_dropped", 0) + 1


async def take(it, n):
    """The next n items of the async iterator `it`."""
    return [await it.__anext__() for _ in range(n)]


async def drain(it):
    """Every item `it` still yields."""
    return [x async for x in it]
