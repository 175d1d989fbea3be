"""Pacing of the zephan-2 playout clock (AsyncAvatar._emit_clock) at 20 fps.

Three runs, each on the real clock with a scripted producer feeding the
playout queue:

- idle: resting frames only;
- speaking: an utterance whose audio arrives in real time, rendered at the
  engine's chunk cadence (21 frames once 1.6 s of audio is in and the first
  chunk has rendered, then 32 frames per further 1.6 s of audio);
- fast producer: an utterance rendered 10x faster than real time, once with
  the producer putting every frame at once and once waiting for the clock's
  `_playout_room` (and the hold); peak memory of the pictures between producer and consumer
  (720x416x3, 898,560 bytes each).

Frame time error is each picture's arrival at the consumer against an ideal
20 fps grid through the first picture of the window (p50/p95/p99/max of the
absolute error); targets: p99 <= 5 ms on 2 cores, 200 +- 1 pictures per 10 s.

    .venv/bin/python bench/bench_pacing.py [--window 10] [--fast-seconds 10]
"""

import argparse
import asyncio
import time

import numpy as np

from halvane import _avatar
from halvane._models import AudioChunk, VideoFrame

FPS = 20
PERIOD = 1.0 / FPS
SPT = 800
PICTURE_BYTES = 720 * 416 * 3
END = _avatar._STREAM_END


class Fixture:
    audio_samples_per_tick = SPT
    audio_sample_rate = 16000
    frame_width = 416
    frame_height = 720


class Runtime:
    def __init__(self):
        self.rest = np.zeros((720, 416, 3), np.uint8)

    def get_source_frame(self, i):
        return self.rest

    def samples_for_chunk(self, n):
        return 25600 * (n + 1)


class BenchAvatar(_avatar.AsyncAvatar):
    @property
    def _engine_fps(self):
        return FPS


def make():
    av = BenchAvatar(output_size=None)
    av._fixture = Fixture()
    av._runtime = Runtime()
    av._playout = asyncio.Queue()
    av._stop_event = asyncio.Event()
    return av


def frame(i, picture, eos=False):
    ac = AudioChunk(data=np.zeros(SPT, np.int16), sample_rate=16000, last_chunk=eos)
    return VideoFrame(bgr_image=picture, audio_chunk=ac, frame_index=i, end_of_speech=eos)


def chunk_sizes(total):
    sizes, left = [], total
    while left > 0:
        n = min(21 if not sizes else 32, left)
        sizes.append(n)
        left -= n
    return sizes


async def hand_over(av, fr):
    """The producer's hand-over of a picture to the clock: wait while the
    clock holds its share, or while the playout queue alone does."""
    while True:
        room = getattr(av, "_playout_room", None)
        if room is None:
            break
        if not room.is_set():
            await room.wait()
        elif av._playout.qsize() < av._playout_hold:
            break
        else:
            room.clear()
    await av._playout.put(fr)


async def consume(av, times, until):
    """Arrival times of every picture frame until `until` (monotonic)."""
    while time.monotonic() < until:
        try:
            item = await asyncio.wait_for(av._out_queue.get(), until - time.monotonic())
        except asyncio.TimeoutError:
            return
        if isinstance(item, VideoFrame) and item.bgr_image is not None:
            times.append(time.monotonic())


async def finish(av, task):
    av._stop_event.set()
    av._playout.put_nowait(END)
    while (await av._out_queue.get()) is not END:
        pass
    await task


def errors_ms(times):
    t = np.asarray(times)
    ideal = t[0] + PERIOD * np.arange(t.size)
    return np.abs(t - ideal) * 1e3


def report(name, times, window):
    err = errors_ms(times)
    p50, p95, p99 = np.percentile(err, [50, 95, 99])
    t = np.asarray(times)
    # a window of `window` seconds centred between frames, so jitter cannot move a frame across its edges
    lo = t[0] + PERIOD / 2
    per_window = int(np.sum((t >= lo) & (t < lo + window)))
    print(f"{name:<10} frames {len(times):4d}  error ms p50 {p50:6.2f} p95 {p95:6.2f} p99 {p99:6.2f} "
          f"max {err.max():6.2f}  frames per {window:g} s: {per_window} (target {window * FPS:.0f} +- 1)")


async def idle(window):
    av = make()
    task = asyncio.create_task(av._emit_clock())
    await consume(av, [], time.monotonic() + 0.5)  # settle
    times = []
    await consume(av, times, time.monotonic() + window + 0.2)
    await finish(av, task)
    report("idle", times, window)


async def speaking(window, r0=0.3, steady=0.35):
    """Audio arrives in real time from t0; the engine makes a chunk once its
    audio is in, after its render time."""
    av = make()
    task = asyncio.create_task(av._emit_clock())
    await asyncio.sleep(0.3)
    utter_s = window + 4.0
    total = int(utter_s * FPS)
    picture = np.zeros((720, 416, 3), np.uint8)
    t0 = time.monotonic()
    av._arr_t0, av._arr_s, av._arr_done = t0, 0.0, False

    async def producer():
        made = 0
        for k, n in enumerate(chunk_sizes(total)):
            need = (made + n) * PERIOD + 0.55  # audio the engine needs for these frames
            render = r0 if k == 0 else steady
            while time.monotonic() - t0 < min(need, utter_s):
                av._arr_s = min(time.monotonic() - t0, utter_s)
                await asyncio.sleep(0.02)
            av._arr_s = min(time.monotonic() - t0, utter_s)
            if av._arr_s >= utter_s and not av._arr_done:
                av._arr_done, av._arr_t_end = True, time.monotonic()
            await asyncio.sleep(render)
            if k == 0:
                av._z2_r0 = render
            else:
                av._z2_steady_s = render
            for i in range(made, made + n):
                await av._playout.put(frame(i, picture, eos=i == total - 1))
                await asyncio.sleep(0)  # the engine's pull of the next frame
            made += n

    speech_times = []

    async def reader():
        started = False
        while True:
            item = await av._out_queue.get()
            if not isinstance(item, VideoFrame) or item.bgr_image is None:
                continue
            if getattr(item, "_hv_resting", False):
                if started:
                    return
                continue
            started = True
            speech_times.append(time.monotonic())

    prod = asyncio.create_task(producer())
    await reader()
    await prod
    await finish(av, task)
    report("speaking", speech_times, window)
    print(f"{'':<10} speech started {speech_times[0] - t0:.3f} s after the first audio")


async def fast_producer(seconds, bounded):
    av = make()
    task = asyncio.create_task(av._emit_clock())
    await asyncio.sleep(0.1)
    total = int(seconds * FPS)
    picture = np.zeros((720, 416, 3), np.uint8)
    made = consumed = peak = 0
    t0 = time.monotonic()
    av._arr_t0, av._arr_s = t0, 0.0

    async def producer():
        nonlocal made, peak
        for k, n in enumerate(chunk_sizes(total)):
            # 10x real time: a chunk of n frames every n * PERIOD / 10 seconds
            await asyncio.sleep(n * PERIOD / 10)
            av._arr_s = min((made + n) * PERIOD + 0.55, seconds)
            for i in range(made, made + n):
                fr = frame(i, picture, eos=i == total - 1)
                await (hand_over(av, fr) if bounded else av._playout.put(fr))
                made += 1
                peak = max(peak, made - consumed)
                await asyncio.sleep(0)  # the engine's pull of the next frame

    prod = asyncio.create_task(producer())
    while consumed < total:
        item = await av._out_queue.get()
        if isinstance(item, VideoFrame) and item.bgr_image is not None and not getattr(item, "_hv_resting", False):
            consumed += 1
    await prod
    await finish(av, task)
    wall = time.monotonic() - t0
    mode = "waits for room" if bounded else "puts at once"
    print(f"fast {mode:<15} {total} frames in {wall:5.1f} s; peak pictures in flight {peak:4d} "
          f"= {peak * PICTURE_BYTES / 1e6:7.1f} MB")


async def main(args):
    await idle(args.window)
    await speaking(args.window)
    await fast_producer(args.fast_seconds, bounded=False)
    await fast_producer(args.fast_seconds, bounded=True)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--window", type=float, default=10.0)
    ap.add_argument("--fast-seconds", type=float, default=10.0)
    asyncio.run(main(ap.parse_args()))
