"""Latencies of a live session and how free it leaves the event loop.

For each avatar kind (an ostrel1 avatar streaming at its native size and
composing at 1280x720, and the zephan-2 demo avatar through the real
`tessel_render_host`, paced by the playout clock at its native size and
composed at 1280x720) it measures, over a few utterances pushed as a voice
agent does (20 ms pieces in real time):

- first frame: from the first push_audio of an utterance to its first speech
  frame out of run();
- end of speech: from flush() to the utterance's end-of-speech signal;
- interrupt: from interrupt() to the last stale frame of the interrupted
  utterance, and to the first frame of the utterance pushed right after it;
- heartbeat lateness: a task that sleeps 5 ms in a loop while all this runs;
  how late each wake-up is (target p99 <= 5 ms on 2 cores);
- pictures off size: speech pictures whose size is not the session's
  output size (composed sessions; should be 0).

And a long reply on the zephan-2 demo avatar, at its native size and composed
at 1280x720, as an agent pushes a TTS reply that came whole: 60 s pushed at
once: from that push to the reply's first speech frame; another reply and
interrupt() 0.5 s after its push, then a short utterance: from interrupt() to
that utterance's first speech frame; another 60 s reply and stop() 0.5 s into
it, and one more and shutdown() 0.5 s into it: how long each takes; and how
far this process's resident memory grew above what it held before the first
reply.

Usage: python bench/bench_live.py [--seconds S] [--utterances N] [--reply-seconds S]
       [--reply-rounds N] [--only SUBSTRING]
"""

import argparse
import asyncio
import contextlib
import os
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from tools.make_demo_bundle import write_demo_bundle  # noqa: E402
from tools.make_ostrel1_avatar import manifest, write_avatar  # noqa: E402

from halvane._avatar import AsyncAvatar  # noqa: E402

SR = 16000
PIECE = 320  # 20 ms


def speech(seconds, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(int(SR * seconds)) / SR
    env = np.clip(np.sin(2 * np.pi * 3.0 * t), 0, None)
    return (0.3 * env * np.sin(2 * np.pi * 180 * t) * 32767 + rng.normal(0, 200, t.size)).astype("<i2")


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(int(round(p / 100 * (len(xs) - 1))), len(xs) - 1)] if xs else float("nan")


def line(name, xs, unit="ms", scale=1e3):
    if not xs:
        return f"  {name:<30} (none)"
    return (f"  {name:<30} n={len(xs):<4} p50 {pct(xs, 50) * scale:7.1f}  p95 {pct(xs, 95) * scale:7.1f}  "
            f"p99 {pct(xs, 99) * scale:7.1f}  max {max(xs) * scale:7.1f} {unit}")


async def cancelled(task):
    """Cancels `task` and waits until it has ended."""
    task.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await task


async def heartbeat(lateness, stop):
    period = 0.005
    while not stop.is_set():
        t = time.monotonic()
        await asyncio.sleep(period)
        lateness.append(max(time.monotonic() - t - period, 0.0))


async def measure(path, output_size, seconds, utterances):
    av = await AsyncAvatar.create(model_path=str(path), output_size=output_size)
    pcm = speech(seconds)
    res = {"first": [], "eos": [], "stale": [], "next": [], "off_size": 0, "pictures": 0}
    late = []
    stop = asyncio.Event()
    beat = asyncio.create_task(heartbeat(late, stop))
    marks = {}  # what the consumer is waiting for -> time it was armed
    state = {"last_id": None, "interrupted_id": None}

    async def consume():
        async for f in av.run():
            now = time.monotonic()
            if f.audio_chunk is not None and f.source_message_id is not None:
                mid = f.source_message_id
                if "first" in marks and f.frame_index == 0 and mid != state["interrupted_id"]:
                    res["first"].append(now - marks.pop("first"))
                if "interrupt" in marks:
                    if mid == state["interrupted_id"]:
                        marks["stale_seen"] = now
                    elif "next" in marks:
                        t_int = marks.pop("interrupt")
                        res["stale"].append(marks.pop("stale_seen", t_int) - t_int)
                        res["next"].append(now - marks.pop("next"))
                state["last_id"] = mid
                if output_size is not None and f.bgr_image is not None:
                    res["pictures"] += 1
                    res["off_size"] += f.bgr_image.shape[:2] != (output_size[1], output_size[0])
            if f.end_of_speech and "eos" in marks:
                res["eos"].append(now - marks.pop("eos"))
                marks["eos_done"] = now

    consumer = asyncio.create_task(consume())
    await asyncio.sleep(0.5)  # idle stream first
    for u in range(utterances):
        t0 = time.monotonic()
        marks["first"] = t0
        barge = u % 2 == 1  # every other utterance is interrupted once it is heard, half way or later
        for k, start in enumerate(range(0, pcm.size, PIECE)):
            await av.push_audio(pcm[start:start + PIECE].tobytes(), SR, last_chunk=False)
            if barge and (k + 1) * PIECE >= pcm.size // 2 and "first" not in marks:
                # the user barges in once the avatar has started to speak
                state["interrupted_id"] = state["last_id"]
                marks["interrupt"] = time.monotonic()
                av.interrupt()
                marks["next"] = time.monotonic()
                await av.push_audio(pcm[:PIECE * 25].tobytes(), SR, last_chunk=True)
                break
            await asyncio.sleep(max(t0 + (k + 1) * PIECE / SR - time.monotonic(), 0.0))
        else:
            marks["eos"] = time.monotonic()
            await av.flush()
        deadline = time.monotonic() + 10.0
        while time.monotonic() < deadline and any(k in marks for k in ("first", "eos", "next")):
            await asyncio.sleep(0.01)
        marks.clear()
        await asyncio.sleep(0.3)
    stop.set()
    await beat
    await cancelled(consumer)
    await av.shutdown()
    return res, late


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class PeakMemory:
    """The highest resident size of this process, sampled every 10 ms on a thread of its own."""

    def __init__(self):
        self.peak = resident_bytes()
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()

    def _sample(self):
        while not self._done.wait(0.01):
            self.peak = max(self.peak, resident_bytes())

    def stop(self):
        self._done.set()
        self._thread.join()
        return self.peak


async def long_reply(path, output_size, reply_s, rounds):
    long_pcm = speech(reply_s, seed=1)
    long_head = long_pcm[:800]
    short = speech(1.0, seed=2)
    short_head = short[:800]  # the short utterance's first tick: its first speech frame carries it
    res = {"first": [], "next": [], "stop": [], "shutdown": [], "grown": []}
    marks = {}

    def consume(av):
        async def run():
            async for f in av.run():
                if f.audio_chunk is None or f.frame_index != 0:
                    continue
                for key, head in (("first", long_head), ("next", short_head)):
                    if key in marks and np.array_equal(f.audio_chunk.data, head):
                        res[key].append(time.monotonic() - marks.pop(key))
        return asyncio.create_task(run())

    async def reply_then(av, key):
        await av.push_audio(long_pcm.tobytes(), SR, last_chunk=True)
        await asyncio.sleep(0.5)
        t = time.monotonic()
        await getattr(av, key)()
        res[key].append(time.monotonic() - t)

    async def wait_for(key, limit=60.0):
        deadline = time.monotonic() + limit
        while key in marks and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        marks.pop(key, None)

    for _ in range(rounds):
        av = await AsyncAvatar.create(model_path=str(path), output_size=output_size)
        consumer = consume(av)
        await asyncio.sleep(0.3)
        base, peak = resident_bytes(), PeakMemory()
        marks["first"] = time.monotonic()
        await av.push_audio(long_pcm.tobytes(), SR, last_chunk=True)
        await wait_for("first")
        av.interrupt()
        await asyncio.sleep(1.0)
        await av.push_audio(long_pcm.tobytes(), SR, last_chunk=True)
        await asyncio.sleep(0.5)
        marks["next"] = time.monotonic()
        av.interrupt()
        await av.push_audio(short.tobytes(), SR, last_chunk=True)
        await wait_for("next")
        await asyncio.sleep(1.0)
        await reply_then(av, "stop")
        await cancelled(consumer)
        consumer = consume(av)
        await reply_then(av, "shutdown")
        res["grown"].append(peak.stop() - base)
        await cancelled(consumer)
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=3.0, help="seconds of speech per utterance")
    ap.add_argument("--utterances", type=int, default=6)
    ap.add_argument("--reply-seconds", type=float, default=60.0, help="seconds of the long reply pushed at once")
    ap.add_argument("--reply-rounds", type=int, default=3)
    ap.add_argument("--only", default="", help="run only the cases whose name contains this text")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        ostrel1 = write_avatar(tmp / "face.imx", "imx", manifest(width=160, height=96, samples_per_tick=640))
        demo = write_demo_bundle(tmp)["imx"]
        cases = [("ostrel1, streaming (native)", ostrel1, None),
                 ("ostrel1, composed 1280x720", ostrel1, (1280, 720)),
                 ("zephan-2 demo, real host, paced", demo, None),
                 ("zephan-2 demo, real host, composed 1280x720", demo, (1280, 720))]
        for name, path, size in cases:
            if args.only not in name:
                continue
            res, late = asyncio.run(measure(path, size, args.seconds, args.utterances))
            print(name)
            print(line("first frame after push_audio", res["first"]))
            print(line("end of speech after flush()", res["eos"]))
            print(line("interrupt -> last stale frame", res["stale"]))
            print(line("interrupt -> next first frame", res["next"]))
            print(line("heartbeat lateness (5 ms)", late))
            print(f"  {'heartbeat mean':<30} {statistics.fmean(late) * 1e3:7.2f} ms" if late else "")
            if size is not None:
                print(f"  {'pictures off size':<30} {res['off_size']} of {res['pictures']}")
        for kind, size in (("native", None), ("composed 1280x720", (1280, 720))):
            long_name = f"zephan-2 demo, {kind}, {args.reply_seconds:g} s reply pushed at once"
            if args.only not in long_name:
                continue
            res = asyncio.run(long_reply(demo, size, args.reply_seconds, args.reply_rounds))
            print(long_name)
            print(line("push -> first speech frame", res["first"]))
            print(line("interrupt -> next first frame", res["next"]))
            print(line("stop() 0.5 s into the reply", res["stop"]))
            print(line("shutdown() 0.5 s into it", res["shutdown"]))
            print(line("memory growth", res["grown"], "MB", 1e-6))


if __name__ == "__main__":
    main()
