"""What the render loop gives every engine kind: one render of an avatar at a
time, the decoded audio held once, a clean exit while a thread renders, and
waits that a signal ends."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time
import wave
from pathlib import Path

import numpy as np
import pytest

import halvane
from halvane._errors import Failed

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from support.avatars import ENGINE_KINDS, avatar_of, pcm  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SUPERSEDED = "a later render of this avatar started before this one ended"


@pytest.fixture(autouse=True)
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("HALVANE_CACHE_DIR", str(tmp_path / "cache"))


def pictures(frames):
    return [f.tobytes() for f in frames]


@pytest.mark.parametrize("engine_id", ENGINE_KINDS)
@pytest.mark.parametrize("earlier", ["resumed", "reclaimed"])
def test_a_later_render_gets_its_own_frames_and_the_earlier_none_of_them(tmp_path, engine_id, earlier):
    first, later = pcm(4, seed=1), pcm(2, seed=2)
    with halvane.open(avatar_of(engine_id, tmp_path)) as av:
        alone = pictures(av.render(later))
        g = av.render(first)
        next(g), next(g)
        if earlier == "resumed":  # a notebook that shows one frame, renders another clip, then goes back
            assert pictures(av.render(later)) == alone
            with pytest.raises(Failed, match="stopped early") as stopped:
                next(g)
            assert SUPERSEDED in stopped.value.detail
            assert list(g) == []
        else:  # left in a reference cycle and reclaimed in the middle of the later render
            h = av.render(later)
            got = [next(h).tobytes() for _ in range(3)]
            cycle = [g]
            cycle.append(cycle)
            del g, cycle
            gc.collect()
            assert got + pictures(h) == alone
        assert pictures(av.render(later)) == alone


def run_python(code, *args, env=None, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, cwd=ROOT, env={**os.environ, **(env or {})})


def tone(seconds, loud=True):
    """A voice that is on for 0.3 s in every 0.5 s (silence when not `loud`), as PCM bytes."""
    t = np.arange(int(16000 * seconds)) / 16000
    on = (t % 0.5 < 0.3) if loud else np.zeros(t.size, bool)
    return (np.sin(2 * np.pi * 220 * t) * 20000 * on).astype("<i2").tobytes()


def write_wav(path, *pieces):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
        for piece in pieces:
            w.writeframes(piece)
    return path


@pytest.mark.parametrize("engine_id", ENGINE_KINDS)
def test_the_process_exits_with_its_own_status_while_a_daemon_thread_renders(tmp_path, engine_id):
    r = run_python("""
    import sys, threading
    import halvane
    started, ended = threading.Event(), threading.Event()
    def render():
        for _ in halvane.open(sys.argv[1]).render(sys.argv[2]):
            started.set()
        ended.set()
    threading.Thread(target=render, daemon=True).start()
    assert started.wait(120)
    print("rendering at exit:", not ended.is_set())
    sys.exit(3)
    """, avatar_of(engine_id, tmp_path), write_wav(tmp_path / "long.wav", *[tone(60)] * 10),
        env={"HALVANE_CACHE_DIR": str(tmp_path / "cache")})
    assert (r.returncode, r.stdout, r.stderr) == (3, "rendering at exit: True\n", "")


def peak_kib(engine_id, folder, minutes):
    """The command's peak memory (KiB) rendering `minutes` of audio."""
    wav = write_wav(folder / f"{minutes}.wav", *[tone(60)] * minutes)
    proc = subprocess.Popen([sys.executable, "-m", "halvane", "render", avatar_of(engine_id, folder), str(wav),
                             str(folder / "out.mp4")], cwd=ROOT, stderr=subprocess.PIPE,
                            env={**os.environ, "HALVANE_CACHE_DIR": str(folder / "cache")})
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.returncode == 0, proc.stderr.read()
    return usage.ru_maxrss


@pytest.mark.parametrize("engine_id", ["ostrel1", "ostrel2-light", "ostrel2-unified"])
def test_the_decoded_audio_is_held_once_whatever_the_engine(tmp_path, engine_id):
    # Four minutes more audio add its 16-bit PCM once (7.3 MiB) and no copy of it.
    grown = peak_kib(engine_id, tmp_path, 5) - peak_kib(engine_id, tmp_path, 1)
    assert grown < 1.5 * 4 * 60 * 16000 * 2 / 1024, grown


# name: (what the session does, how it is driven, the signal, what ends it)
WAITS = {
    "silent clip, Python": ({}, "python", signal.SIGINT, "KeyboardInterrupt"),
    "late frames, Python": ({"latency": 120}, "python", signal.SIGINT, "KeyboardInterrupt"),
    "silent clip, command": ({}, "command", signal.SIGTERM, 128 + signal.SIGTERM),
    "late frames, command": ({"latency": 120}, "command", signal.SIGINT, 128 + signal.SIGINT),
}


@pytest.mark.parametrize("case", WAITS, ids=list(WAITS))
def test_a_signal_ends_a_session_render_that_waits_for_frames(tmp_path, case):
    manifest, how, signum, ends = WAITS[case]
    avatar = avatar_of("ostrel2-light", tmp_path, **manifest)
    wav = write_wav(tmp_path / "quiet.wav", tone(2, loud="late" in case))
    # Left alone, each render waits two minutes before it gives up.
    env = {**os.environ, "HALVANE_CACHE_DIR": str(tmp_path / "cache"), "HALVANE_RENDER_QUIET": "120"}
    if how == "python":
        code = "import sys, halvane\nav = halvane.open(sys.argv[1])\nprint('rendering', flush=True)\n" \
               "list(av.render(sys.argv[2]))\n"
        args = [sys.executable, "-c", code, avatar, str(wav)]
    else:
        args = [sys.executable, "-m", "halvane", "render", avatar, str(wav), str(tmp_path / "out.mp4")]
    proc = subprocess.Popen(args, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if how == "python":
            assert proc.stdout.readline() == "rendering\n"
        else:  # the command makes its temporary file once the audio is decoded and the avatar open
            give_up = time.monotonic() + 60
            while not list(tmp_path.glob(".out.mp4.*.part")):
                assert proc.poll() is None and time.monotonic() < give_up, proc.stderr.read()
                time.sleep(0.02)
        time.sleep(0.3)  # well inside the render's wait
        proc.send_signal(signum)
        _, stderr = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if how == "python":
        assert ends in stderr.splitlines()[-1]
    else:
        assert (proc.returncode, stderr) == (ends, f"halvane: {tmp_path / 'out.mp4'}: the render was "
                                                   f"{'terminated' if signum == signal.SIGTERM else 'interrupted'}\n")
        assert not list(tmp_path.glob("*.part")) and not (tmp_path / "out.mp4").exists()


# An uneven voice, (seconds, on): a picture shifted by a frame or more cannot match it by chance.
VOICE = [(0.3, 1), (0.2, 0), (0.6, 1), (0.4, 0), (0.2, 1), (0.5, 0), (0.4, 1), (0.3, 0), (0.5, 1), (0.2, 0)]
KINDS_AND_TICKS = [(k, {}) for k in ENGINE_KINDS if k != "ostrel1"] + [
    ("ostrel1", {"samples_per_tick": spt}) for spt in (320, 640, 800)]


def voice_after(silence):
    parts = [np.zeros(int(16000 * silence))]
    for seconds, on in VOICE:
        t = np.arange(int(16000 * seconds)) / 16000
        parts.append(np.sin(2 * np.pi * 220 * t) * 20000 * on)
    return np.concatenate(parts).astype("<i2")


def shift_of(motion, loudness, most=6):
    """The shift (frames) at which the picture's motion best follows the loudness, and how well."""
    best = None
    for d in range(-most, most + 1):
        a, b = motion[max(d, 0):len(motion) + min(d, 0)], loudness[max(-d, 0):len(loudness) + min(-d, 0)]
        n = min(len(a), len(b))
        c = np.corrcoef(a[:n], b[:n])[0, 1]
        if best is None or c > best[1]:
            best = (d, c)
    return best


@pytest.mark.parametrize("silence", [0.5, 1.0])
@pytest.mark.parametrize("engine_id, manifest", KINDS_AND_TICKS,
                         ids=[k + "-".join(["", *map(str, m.values())]) for k, m in KINDS_AND_TICKS])
def test_the_video_keeps_step_with_its_sound(tmp_path, engine_id, manifest, silence):
    import av as pyav

    samples = voice_after(silence)
    out = tmp_path / "out.mp4"
    with halvane.open(avatar_of(engine_id, tmp_path, **manifest)) as avatar:
        avatar.render(samples.tobytes(), out_mp4=out)
    with pyav.open(str(out)) as f:
        rate = float(f.streams.video[0].average_rate)
        frames = [fr.to_ndarray(format="rgb24").astype(np.int16) for fr in f.decode(video=0)]
    assert abs(len(frames) / rate - samples.size / 16000) <= 0.1
    motion = np.array([np.abs(fr - frames[0]).mean() for fr in frames])  # the first frame is at rest
    per_frame = 16000 / rate
    loudness = np.array([np.abs(samples[int(k * per_frame):int((k + 1) * per_frame)].astype(float)).mean()
                         for k in range(len(frames))])
    shift, fit = shift_of(motion, loudness)
    assert abs(shift) <= 1 and fit > 0.5, (shift, fit)
