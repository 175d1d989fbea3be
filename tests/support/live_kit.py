"""Driving a live session's producer in tests without run(): an AsyncAvatar
with a scripted fixture and runtime set as the loader would set them, its
events and running flag set as a start sets them, the producer task started
directly, and the output read off the avatar's own queues."""

from __future__ import annotations

import asyncio

import numpy as np

from halvane import _avatar, _core
from halvane._models import AudioChunk, VideoControl, VideoFrame
from scripted import ScriptedFixture, ScriptedRuntime

SPT = 800
V1 = "ostrel1"  # replaced between utterances after an interrupt
V2 = "ostrel2-light"  # reset between utterances, tail drained
Z2 = "zephan2"


class Session:
    """One avatar, its scripted runtimes (`runtimes[0]` is the loader's,
    later ones are made by `_core.Runtime`, which `monkeypatch` replaces)."""

    def __init__(self, monkeypatch, *, output_size=None, engine_id=V1, cls=None, **runtime_kw):
        self.fx = ScriptedFixture(spt=SPT)
        self.runtime_kw = runtime_kw
        self.runtimes = [ScriptedRuntime(self.fx, **runtime_kw)]
        monkeypatch.setattr(_core, "Runtime", self._new_runtime)
        self.av = (cls or _avatar.AsyncAvatar)(output_size=output_size)
        self.av._fixture = self.fx
        self.av._runtime = self.runtimes[0]
        self.av._engine_id = engine_id
        self.task = None

    def _new_runtime(self, fx):
        rt = ScriptedRuntime(fx, **self.runtime_kw)
        self.runtimes.append(rt)
        return rt

    @property
    def rt(self):
        return self.runtimes[-1]

    def start(self):
        self.av._stop_event = asyncio.Event()
        self.av._interrupt_event = asyncio.Event()
        self.av._running = True
        self.task = asyncio.create_task(self.av._produce_frames())

    async def push(self, samples, message_id="m1", last=False, rate=16000):
        data = np.asarray(samples, dtype=np.int16)
        await self.av._in_queue.put(
            VideoControl(audio=AudioChunk(data=data, sample_rate=rate, last_chunk=last), message_id=message_id))

    async def flush(self):
        await self.av._in_queue.put(VideoControl(end_of_speech=True))

    def interrupt(self):
        """What interrupt() does on a stream without a playout clock."""
        for q in (self.av._in_queue, self.av._out_queue):
            while not q.empty():
                q.get_nowait()
        self.av._interrupt_event.set()

    async def take(self, timeout=5.0):
        return await asyncio.wait_for(self.av._out_queue.get(), timeout)

    async def take_until(self, done, timeout=5.0):
        """Items up to and including the first for which done(item) holds."""
        items = []
        while True:
            item = await self.take(timeout)
            items.append(item)
            if done(item):
                return items

    async def stop(self):
        """Stops the producer as stop() does; returns what it put out last,
        up to and including _STREAM_END."""
        self.av._stop_event.set()
        self.av._in_queue.put_nowait(VideoControl(end_of_speech=True))
        rest = await self.take_until(lambda i: i is _avatar._STREAM_END)
        await self.task
        self.close()
        return rest

    def close(self):
        ex = self.av._engine_executor
        if ex is not None:
            ex.shutdown(wait=True)


def ticks_of(n_ticks, extra=0, seed=0):
    """int16 speech of n whole ticks plus `extra` samples."""
    rng = np.random.default_rng(seed)
    return rng.integers(-20000, 20000, n_ticks * SPT + extra).astype(np.int16)


def expected_tick_audio(pcm_i16, k):
    """The int16 audio that tick k of this utterance must carry."""
    f = pcm_i16.astype(np.float32) / np.float32(32767)
    piece = f[k * SPT:(k + 1) * SPT]
    piece = np.concatenate([piece, np.zeros(SPT - piece.size, np.float32)])
    return (np.clip(piece, -1.0, 1.0) * 32767).astype(np.int16)


def speech(items):
    """The speech frames among the items (pictured frames with audio of an utterance)."""
    return [i for i in items if isinstance(i, VideoFrame) and i.bgr_image is not None and i.source_message_id]


def eos_signals(items):
    return [i for i in items if isinstance(i, VideoFrame) and i.end_of_speech]


def tick_of(frame):
    """The tick number the scripted runtime drew into the picture."""
    return int(frame.bgr_image[0, 0, 0])


def serial_of(frame):
    return int(frame.bgr_image[0, 0, 1])
