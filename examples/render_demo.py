"""Render a few seconds of speech with the demo avatar through the host program.

The package's protocol client starts `tessel_render_host render-stream <bundle>`,
waits for READY, sends the audio and a flush from a writer thread and reads the
frame records up to the flush marker; the frames go with the audio into an MP4.

Usage: python examples/render_demo.py [OUT_DIR]
"""

import fractions
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import av
import numpy as np

from halvane._zephan2.client import HostProcess

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from tools.make_demo_bundle import write_demo_bundle  # noqa: E402

SR, FPS, W, H = 16000, 20, 416, 720
TEXT = "Hello! I am the halvane demo avatar. My mouth follows what I say, word by word."


def speech() -> np.ndarray:
    """16 kHz mono float32: espeak-ng when installed, else a synthetic voice."""
    if shutil.which("espeak-ng"):
        with tempfile.TemporaryDirectory() as d:
            wav = Path(d) / "s.wav"
            subprocess.run(["espeak-ng", "-s", "150", "-w", str(wav), TEXT], check=True)
            with av.open(str(wav)) as f:
                rs = av.AudioResampler(format="flt", layout="mono", rate=SR)
                chunks = [r.to_ndarray().reshape(-1) for fr in f.decode(audio=0) for r in rs.resample(fr)]
            return np.concatenate(chunks).astype(np.float32)
    t = np.arange(int(SR * 4.0)) / SR
    syllables = np.clip(np.sin(2 * np.pi * 3.0 * t), 0, None) ** 2 * (t % 1.0 < 0.8)
    voice = sum(np.sin(2 * np.pi * 140 * k * t) / k for k in range(1, 8))
    return (0.25 * syllables * voice).astype(np.float32)


def write_mp4(path: Path, frames, audio: np.ndarray) -> None:
    with av.open(str(path), "w") as out:
        v = out.add_stream("libx264" if "libx264" in av.codecs_available else "mpeg4", rate=FPS)
        v.width, v.height, v.pix_fmt = W, H, "yuv420p"
        v.time_base = fractions.Fraction(1, FPS)
        a = out.add_stream("aac", rate=SR)
        a.layout = "mono"
        for idx, rgb in frames:
            f = av.VideoFrame.from_ndarray(rgb, format="rgb24")
            f.pts = idx
            out.mux(v.encode(f))
        out.mux(v.encode())
        step = 1024
        for i in range(0, audio.size, step):
            af = av.AudioFrame.from_ndarray(audio[None, i:i + step], format="flt", layout="mono")
            af.sample_rate, af.pts = SR, i
            out.mux(a.encode(af))
        out.mux(a.encode())


def main() -> None:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "out").resolve()
    bundles = write_demo_bundle(out)
    audio = speech()
    with HostProcess(bundles["imx"]) as host:
        frames = list(host.render(audio))
    if host.returncode != 0:
        raise SystemExit(f"tessel_render_host exited with status {host.returncode}")
    mp4 = out / "demo.mp4"
    write_mp4(mp4, frames, audio)
    print(f"{len(frames)} frames from {audio.size / SR:.1f} s of audio")
    print(mp4)


if __name__ == "__main__":
    main()
