"""Render a few seconds of speech with the demo avatar through the package's own
command: `python -m halvane render out/demo-avatar.imx <audio> out/demo.mp4`.

The demo writes the small demo avatar (a zephan-2 avatar, so `open()` renders
it through `tessel_render_host`), speaks a sentence into a WAV file with
espeak-ng (a synthetic voice when espeak-ng is missing) and runs the command,
which writes the MP4 with the frames and the sound.

Usage: python examples/render_demo.py [OUT_DIR]
"""

import shutil
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from tools.make_demo_bundle import write_demo_bundle  # noqa: E402

SR = 16000
TEXT = "Hello! I am the halvane demo avatar. My mouth follows what I say."


def write_speech(path: Path) -> None:
    """A WAV file of the sentence: espeak-ng when installed, else a synthetic voice."""
    if shutil.which("espeak-ng"):
        subprocess.run(["espeak-ng", "-s", "150", "-w", str(path), TEXT], check=True)
        return
    t = np.arange(int(SR * 4.0)) / SR
    syllables = np.clip(np.sin(2 * np.pi * 3.0 * t), 0, None) ** 2 * (t % 1.0 < 0.8)
    voice = sum(np.sin(2 * np.pi * 140 * k * t) / k for k in range(1, 8))
    pcm = (0.25 * syllables * voice * 32767).astype("<i2")
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SR)
        w.writeframes(pcm.tobytes())


def main() -> None:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "out").resolve()
    avatar = write_demo_bundle(out)["imx"]
    audio = out / "demo-speech.wav"
    write_speech(audio)
    mp4 = out / "demo.mp4"
    command = [sys.executable, "-m", "halvane", "render", str(avatar), str(audio), str(mp4)]
    print("$", " ".join(["python", *command[1:]]))
    subprocess.run(command, check=True)
    print(mp4)


if __name__ == "__main__":
    main()
