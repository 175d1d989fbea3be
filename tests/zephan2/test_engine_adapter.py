"""The zephan-2 engine adapter: the frames of a render through the offline
interface equal the host's own for the same audio, cut to the frames the audio
covers; the host is reset between renders and ended and reaped whenever a
render does not run to its end, and on close."""

import gc
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import weakref
from pathlib import Path

import numpy as np
import pytest

import halvane
from halvane._errors import Failed
from halvane._open import Avatar
from halvane._session import EngineFailed
from halvane._zephan2 import Zephan2Engine, _apple
from halvane._zephan2.client import HostProcess, data_steps
from hostproc import speech
from tools.make_demo_bundle import write_demo_bundle


def gone(pid):
    return not Path(f"/proc/{pid}").exists()  # a zombie would still be listed


def pcm16(n, seed=0):
    return np.round(speech(n, seed) * 32767).astype(np.int16)


def host_frames(bundle, samples):
    """The frames the host program itself writes for `samples` (int16), flush padding included."""
    with HostProcess(bundle) as host:
        return [f.copy() for _, f in host.render(samples.astype(np.float32) / 32768.0)]


@pytest.fixture(scope="module")
def clip(bundle_dir):
    """A clip longer than one host chunk, and the host's frames for it."""
    a = pcm16(40000)
    return a, host_frames(bundle_dir, a)


def same(frames, expected):
    return len(frames) == len(expected) and all(np.array_equal(f, e) for f, e in zip(frames, expected))


def test_frames_equal_the_hosts_for_the_audio_they_cover(bundle_dir, clip):
    audio, theirs = clip
    covered = math.ceil(audio.size * 20 / 16000)  # 50 frames: the first picture counts twice, as sent
    assert len(theirs) > covered  # the flush pads past the end of the audio
    with Avatar(Zephan2Engine(bundle_dir), "zephan2") as av:
        assert av._engine.frames_per_second == 20
        whole = list(av.render(audio.tobytes()))
        assert all(f.shape == (720, 416, 3) and f.dtype == np.uint8 for f in whole)
        assert same(whole, theirs[:covered])
        # pieces, one of them longer than a host chunk, give the same frames; the
        # stream is reset between renders
        cuts = [0, 1000, 31000, 33001, audio.size]
        pieces = [audio[a:b].tobytes() for a, b in zip(cuts, cuts[1:])]
        assert same(list(av.render(pieces)), theirs[:covered])
        assert av._render_stats.frames == covered

    # a clip that ends inside a frame still gets that frame; one sample gives one
    short = pcm16(801, seed=3)
    with Avatar(Zephan2Engine(bundle_dir), "zephan2") as av:
        assert same(list(av.render(short.tobytes())), host_frames(bundle_dir, short)[:2])
        assert len(list(av.render(short[:1].tobytes()))) == 1


def odd_piece():
    yield b"\0\0" * 20000
    yield b"\0\0\0"  # not whole int16 samples


@pytest.mark.parametrize("how", ["break", "drop", "error", "interrupt-mid", "interrupt-inside", "interrupt-between",
                                 "superseded", "superseded-flushed", "superseded-engine"])
def test_an_unfinished_render_keeps_the_host_and_never_reaches_the_next(bundle_dir, clip, monkeypatch, how):
    audio, theirs = clip
    covered = math.ceil(audio.size * 20 / 16000)
    longer = pcm16(16000 * 6, seed=7).tobytes()  # more than the host is fed ahead: abandoned before its flush
    engine = Zephan2Engine(bundle_dir)
    host = engine._stream.host
    av = Avatar(engine, "zephan2")
    silence = np.zeros(32000, np.int16).tobytes()  # 40 frames, none of them the clip's
    earlier = None
    if how == "break":  # the caller leaves after three frames: the avatar interrupts the engine
        gen = av.render(longer)
        for _ in range(3):
            next(gen)
        assert not engine._current.flushed
        gen.close()
        assert engine._current is None  # its rest dropped at once, not held until the next render
    elif how == "drop":  # the engine's own generator dropped half way
        gen = engine.frames([longer])
        next(gen)
        del gen
        gc.collect()
    elif how == "error":
        with pytest.raises(Failed, match="the render stopped"):
            list(av.render(odd_piece()))
    elif how == "interrupt-mid":
        gen = engine.frames([longer])
        next(gen)
        engine.interrupt()
        gen.close()  # a late close of the abandoned generator leaves the next render alone
    elif how == "interrupt-inside":  # renders reclaimed by the collector in the middle of a write
        real_feed = HostProcess.feed
        monkeypatch.setattr(HostProcess, "feed", lambda self, s: (real_feed(self, s), engine.interrupt(),
                                                                  engine.interrupt()))
        with pytest.raises(Failed):
            list(av.render(longer))
        monkeypatch.undo()
    elif how == "interrupt-between":
        assert len(list(av.render(audio.tobytes()))) == covered
        engine.interrupt()
    else:  # a second render while the first one's generator (the avatar's or the engine's own) is
        # held, before or after its flush
        flushed = how == "superseded-flushed"
        earlier = engine.frames([longer]) if how == "superseded-engine" else av.render(
            audio.tobytes() if flushed else longer)
        for _ in range(covered if flushed else 1):
            next(earlier)
        assert engine._current.flushed == flushed
        assert same(list(av.render(silence)), host_frames(bundle_dir, np.zeros(32000, np.int16))[:40])
    assert same(list(av.render(audio.tobytes())), theirs[:covered])
    assert engine._stream.host is host and not gone(host.pid)  # the host stayed warm
    if earlier is not None:  # the abandoned render ends at its next step, without a frame of another
        if how == "superseded":
            with pytest.raises(Failed, match="stopped early") as e:
                next(earlier)
            assert "a later render of this avatar started" in e.value.detail
        else:
            assert list(earlier) == []
    av._release()
    assert gone(host.pid) and engine._stream is None


def test_a_record_that_waited_for_room_through_an_abandon_never_reaches_the_next_render(bundle_dir, clip):
    audio, theirs = clip
    engine = Zephan2Engine(bundle_dir)
    stream = engine._stream
    blocked = threading.Event()  # the reader holds a record and waits for room in the queue
    real_wait = stream.records._cond.wait

    def wait(*args):
        if threading.current_thread() is stream.reader:
            blocked.set()
        return real_wait(*args)

    stream.records._cond.wait = wait
    # 54 frames of audio, and 86 records with the flush's padding: more than the queue holds
    earlier = engine.frames([pcm16(43200, seed=1).tobytes()])
    next(earlier)
    while not engine._current.flushed:
        next(earlier)
    assert blocked.wait(60)
    assert same(list(engine.frames([audio.tobytes()])), theirs[:math.ceil(audio.size * 20 / 16000)])
    engine.close()


def test_a_render_reclaimed_while_another_thread_holds_the_engine_lock_is_left_to_the_holder(bundle_dir, clip):
    audio, theirs = clip
    engine = Zephan2Engine(bundle_dir)
    host = engine._stream.host
    gc.disable()  # only the collection below reclaims the render
    try:
        gen = engine.frames([pcm16(16000 * 6, seed=7).tobytes()])
        next(gen)
        cycle = [gen, None]
        cycle[1], reclaimed = cycle, weakref.ref(gen)
        del gen, cycle
        with engine._lock:  # as a render feeding the host on another thread holds it
            collector = threading.Thread(target=gc.collect)
            collector.start()
            collector.join(30)
            assert not collector.is_alive() and reclaimed() is None
            assert engine._current.state == "stale"  # its rest is left to the lock's next holder
    finally:
        gc.enable()
    assert same(list(engine.frames([audio.tobytes()])), theirs[:math.ceil(audio.size * 20 / 16000)])
    assert engine._stream.host is host
    engine.close()


def test_a_bundle_the_host_refuses_fails_the_engine(tmp_path):
    with pytest.raises(EngineFailed) as e:
        Zephan2Engine(tmp_path / "missing")
    assert e.value.args[0] == "the zephan-2 renderer could not open that avatar"
    assert "exited before READY" in e.value.detail
    assert _apple.bundled_host() is None  # this is not Apple Silicon macOS


def test_the_host_runs_no_further_ahead_than_two_chunks_of_a_long_clip(bundle_dir, monkeypatch):
    # a slow consumer must not make frames pile up: whenever a frame reaches the
    # consumer, the host has been given audio for at most two host chunks of 32
    # frames (plus the chunk being fed) beyond the frames taken, so it cannot
    # have rendered more
    audio = pcm16(16000 * 20, seed=5)  # one chunk far longer than the allowance
    fed = []
    real_feed = HostProcess.feed
    monkeypatch.setattr(HostProcess, "feed", lambda self, s: (fed.append(len(s)), real_feed(self, s))[1])
    lead = []
    with Avatar(Zephan2Engine(bundle_dir), "zephan2") as av:
        frames = []
        for frame in av.render(audio.tobytes()):
            lead.append(sum(fed) - len(frames) * 800)
            frames.append(frame.copy())
    assert max(lead) <= 3 * 32 * 800
    assert sum(fed) == audio.size
    assert same(frames, host_frames(bundle_dir, audio)[:400])  # nothing lost or repeated on the way


EXIT_SCRIPT = """
import sys, wave
import numpy as np
import halvane
a = halvane.open(sys.argv[1])
print(a._engine._stream.host.pid, flush=True)
pcm = (np.sin(np.arange(48000) / 8) * 8000).astype("<i2").tobytes()
if sys.argv[2] == "mp4":
    a.render(pcm, out_mp4=sys.argv[3])
elif sys.argv[2] == "mid-render":
    gen = a.render(pcm)
    next(gen)
"""


@pytest.fixture(scope="module")
def demo_avatar(tmp_path_factory):
    return str(write_demo_bundle(tmp_path_factory.mktemp("demo"))["imx"])


@pytest.mark.parametrize("how", ["open", "mp4", "mid-render"])
def test_an_avatar_left_open_is_released_at_exit(demo_avatar, tmp_path, how):
    r = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, demo_avatar, how, str(tmp_path / "out.mp4")],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and "Fatal" not in r.stderr, r.stderr
    assert gone(int(r.stdout.split()[0]))  # ended and reaped, not left to init
    assert (tmp_path / "out.mp4").exists() == (how == "mp4")


def test_a_forked_child_renders_on_a_host_of_its_own_and_leaves_the_parents_alone(bundle_dir, clip):
    audio, theirs = clip
    covered = math.ceil(audio.size * 20 / 16000)
    with Avatar(Zephan2Engine(bundle_dir), "zephan2") as av:
        parents = av._engine._stream.host.pid
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report, then leave without running the parent's exit hooks
            try:
                ok = same(list(av.render(audio.tobytes())), theirs[:covered])
                ok = ok and av._engine._stream.host.pid != parents
                av._release()
                os.write(w, b"1" if ok else b"0")
            finally:
                os._exit(0)
        os.close(w)
        ready, _, _ = select.select([r], [], [], 60)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        assert ready and os.read(r, 1) == b"1"
        os.close(r)
        assert av._engine._stream.host.pid == parents
        assert same(list(av.render(audio.tobytes())), theirs[:covered])


@pytest.mark.parametrize("name", ["-avatar.imx", "render-stream", "--threads"])
def test_an_avatar_path_is_never_read_as_the_hosts_words(demo_avatar, tmp_path, monkeypatch, name):
    shutil.copy(demo_avatar, tmp_path / name)
    monkeypatch.chdir(tmp_path)
    with halvane.open(name) as av:
        assert len(list(av.render(np.zeros(1600, np.int16).tobytes()))) == 2


def test_a_step_cut_short_ends_the_host_and_the_next_render_starts_another(bundle_dir, clip, monkeypatch):
    audio, theirs = clip
    engine = Zephan2Engine(bundle_dir)
    host = engine._stream.host

    def half_then_interrupted(self, samples):  # Ctrl-C in the middle of a data step
        head, body = data_steps(samples)[:2]
        self._proc.stdin.write(head + bytes(body)[:100])
        self._proc.stdin.flush()
        raise KeyboardInterrupt

    with Avatar(engine, "zephan2") as av:
        monkeypatch.setattr(HostProcess, "feed", half_then_interrupted)
        with pytest.raises(KeyboardInterrupt):
            next(av.render(audio.tobytes()))
        monkeypatch.undo()
        assert gone(host.pid)
        assert same(list(av.render(audio.tobytes())), theirs[:math.ceil(audio.size * 20 / 16000)])
