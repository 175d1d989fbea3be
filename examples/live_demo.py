"""A live session as a voice agent drives it: the demo avatar (a zephan-2
avatar, whose live runtime drives `tessel_render_host`) streams at its native
size, paced at 20 frames per second. The agent pushes a spoken sentence in
20 ms pieces as they "arrive", barges in once (interrupt) and speaks the
sentence again; everything `run()` yields is written to an MP4 with the sound
each frame carries (speech ticks carry their voice, resting and hold frames
silence), so picture and voice stay in step by construction.

Usage: python examples/live_demo.py [OUT_DIR]     -> OUT_DIR/live-demo.mp4
"""

import asyncio
import fractions
import sys
import time
import wave
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "examples"))
from render_demo import write_speech  # noqa: E402
from tools.make_demo_bundle import write_demo_bundle  # noqa: E402

from halvane.__main__ import _Mp4  # noqa: E402
from halvane._avatar import AsyncAvatar  # noqa: E402

PIECE_S = 0.02  # a voice agent's audio comes in 20 ms pieces
INTERRUPT_AFTER_S = 1.5  # the user barges in this far into the first utterance
TAIL_S = 1.0  # resting frames kept after the last utterance ends


def read_speech(path: Path) -> tuple[bytes, int]:
    with wave.open(str(path), "rb") as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            raise SystemExit(f"{path}: need 16-bit mono")
        return w.readframes(w.getnframes()), w.getframerate()


async def agent(avatar: AsyncAvatar, pcm: bytes, rate: int, log) -> None:
    """Pushes the sentence in real time; barges in once; says it again whole."""
    step = int(rate * PIECE_S) * 2
    t0 = time.monotonic()
    for turn in (1, 2):
        for k, start in enumerate(range(0, len(pcm), step)):
            await avatar.push_audio(pcm[start:start + step], rate, last_chunk=False)
            if turn == 1 and (k + 1) * PIECE_S >= INTERRUPT_AFTER_S:
                avatar.interrupt()
                log(f"{time.monotonic() - t0:6.2f}s  interrupt")
                break
            await asyncio.sleep(max(t0 + (k + 1) * PIECE_S - time.monotonic(), 0.0))
        else:
            await avatar.flush()
            log(f"{time.monotonic() - t0:6.2f}s  utterance {turn} pushed")
        t0 = time.monotonic()


async def session(avatar_path: Path, speech: Path, mp4_path: Path) -> int:
    pcm, rate = read_speech(speech)
    avatar = await AsyncAvatar.create(model_path=str(avatar_path), output_size=None)
    fps = avatar.fps
    print(f"avatar: {avatar.frame_width}x{avatar.frame_height} at {fps} fps")
    mp4 = None
    audio = bytearray()
    written = 0
    ended = 0
    t_start = time.monotonic()

    def log(text):
        print(text)

    feeder = None
    stop_at = None  # frames to write: set once the last utterance has ended
    try:
        async for frame in avatar.run():
            if feeder is None:  # the stream runs: the agent starts talking
                feeder = asyncio.create_task(agent(avatar, pcm, rate, log))
            if frame.bgr_image is not None:
                if mp4 is None:
                    mp4 = _Mp4(str(mp4_path), fractions.Fraction(fps), frame.bgr_image.shape[:2])
                mp4.video(frame.bgr_image[:, :, ::-1], written)
                written += 1
                ac = frame.audio_chunk
                audio += np.asarray(ac.data, dtype="<i2").tobytes() if ac is not None else bytes(2 * (16000 // fps))
            if frame.end_of_speech:
                ended += 1
                log(f"{time.monotonic() - t_start:6.2f}s  end of speech (frame {frame.frame_index})")
            if feeder.done() and ended and stop_at is None:
                stop_at = written + int(TAIL_S * fps)
            if stop_at is not None and written >= stop_at:
                break
        await feeder
    finally:
        await avatar.shutdown()
    if mp4 is None:
        raise SystemExit("no frame came out of the session")
    mp4.finish(bytes(audio))
    print(f"{written} frames, {len(audio) / 32000:.2f} s of sound -> {mp4_path}")
    return written


def main() -> None:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "out").resolve()
    avatar = write_demo_bundle(out)["imx"]
    speech = out / "demo-speech.wav"
    write_speech(speech)
    asyncio.run(session(avatar, speech, out / "live-demo.mp4"))


if __name__ == "__main__":
    main()
