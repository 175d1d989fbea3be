"""The protocol client against the real host: READY, frames equal to the raw
pipe's bytes, reset, failures of the child, reaping, concurrent feed and read."""

import io
import json
import os
import re
import signal
import struct
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from halvane._zephan2 import client
from halvane._zephan2.client import HostError, HostProcess, read_record
from hostproc import FLUSH, READY_NULL, SHAPE, data, run_host, speech, word

MARKER = struct.pack("<i", -1)



def wire(frames):
    """The frame records of `frames` and a flush marker, as the host writes them."""
    return b"".join(struct.pack("<i", i) + f.tobytes() for i, f in frames) + MARKER


def gone(pid):
    return not Path(f"/proc/{pid}").exists()  # a zombie would still be listed


def test_frames_equal_the_raw_pipe_and_reset_restarts(bundle_dir):
    audio = speech(30000)
    rc, raw, err = run_host([bundle_dir], data(audio) + word(FLUSH))
    assert rc == 0, err
    with HostProcess(bundle_dir) as host:
        assert host.ready == json.loads(READY_NULL[6:])
        clip = list(host.render(audio))
        assert [i for i, _ in clip] == list(range(3, 57))
        assert all(f.shape == SHAPE and f.dtype == np.uint8 for _, f in clip)
        assert READY_NULL + wire(clip) == raw

        # pieces from one thread, frames on another; a reset drops what came before it
        def push():
            host.feed(speech(9000, seed=5))
            host.reset()
            host.feed(audio[:12345])
            host.feed(audio[12345:])
            host.flush()
        pusher = threading.Thread(target=push)
        pusher.start()
        again = list(host.frames())
        pusher.join()
        assert wire(again) == wire(clip)
    assert host.returncode == 0 and gone(host.pid)


def fake_host(monkeypatch, stdout, wait):
    """The client starts a stand-in that writes `stdout`, then exits or (`wait`) reads its input to the end."""
    code = f"import sys; sys.stdout.buffer.write({stdout!r}); sys.stdout.flush()"
    code += "; sys.stdin.buffer.read()" if wait else ""
    monkeypatch.setattr(client, "host_command", lambda: [sys.executable, "-c", code])


def test_failures_carry_exit_status_and_standard_error(tmp_path, bundle_dir, monkeypatch):
    missing = tmp_path / "missing"
    fatal = f"[tessel-render-host] FATAL: no canon.bin in {missing} (per-identity canon latent required)"
    with pytest.raises(HostError, match="exited before READY") as e:
        HostProcess(missing)
    assert e.value.returncode == 3 and e.value.stderr_tail[-1] == fatal and fatal in str(e.value)

    with open(tmp_path / "err.txt", "w") as err:  # standard error to the caller's file
        with pytest.raises(HostError) as e:
            HostProcess(missing, stderr=err)
    assert e.value.returncode == 3 and e.value.stderr_tail == []
    assert (tmp_path / "err.txt").read_text().splitlines()[-1] == fatal

    host = HostProcess(bundle_dir)
    os.kill(host.pid, signal.SIGKILL)
    with pytest.raises(HostError, match=r"ended its output \(exit status -9\)"):
        host.read()
    with pytest.raises(HostError, match="is no longer reading its input"):
        host.feed(np.zeros(100))
    assert host.close() == -9 and gone(host.pid)

    for stdout, wait, text in [
        (READY_NULL + struct.pack("<i", -5), True,
         "broke the protocol: frame index -5 is neither a frame nor the flush marker: protocol desync (exit status"),
        (READY_NULL + struct.pack("<i", 3) + b"\0" * 10, False,
         "broke the protocol: output ended inside frame record 3 (exit status 0)"),
        (b"hello\n", True, "wrote b'hello\\n' instead of its READY line (exit status"),
        (b'READY {"fps":20}\n', True, "wrote an unreadable READY line b'READY {\"fps\":20}\\n' (exit status"),
    ]:
        fake_host(monkeypatch, stdout, wait)
        with pytest.raises(HostError, match=re.escape("tessel_render_host " + text)) as e:
            with HostProcess(bundle_dir) as host:
                host.read()
        assert e.value.returncode is not None, stdout  # ended and reaped, never left running


def test_record_reader_on_bytes():
    frame = np.arange(np.prod(SHAPE), dtype=np.uint32).astype(np.uint8).reshape(SHAPE)
    stream = io.BytesIO(struct.pack("<i", 7) + frame.tobytes() + MARKER + struct.pack("<i", 0)[:3])
    idx, got = read_record(stream, SHAPE)
    assert idx == 7 and np.array_equal(got, frame) and got.flags.writeable
    assert read_record(stream, SHAPE) == (-1, None)
    with pytest.raises(ValueError, match="inside a frame index"):
        read_record(stream, SHAPE)
    assert read_record(stream, SHAPE) is None
    with pytest.raises(ValueError, match="one-dimensional"):
        client.data_steps(np.zeros((2, 2)))
    assert b"".join(client.data_steps([])) == word(0)


def test_close_always_reaps(bundle_dir):
    host = HostProcess(bundle_dir)
    host.feed(speech(16000 * 10))  # read at once; nobody reads its frames, so the host blocks writing them
    raised = []

    def feed_more():  # blocks too, as the host no longer reads (or finds the input closed already)
        try:
            host.feed(speech(16000 * 10))
        except HostError as e:
            raised.append(e)
    writer = threading.Thread(target=feed_more)
    writer.start()
    assert host.close(timeout=1) == 128 + signal.SIGTERM and gone(host.pid)
    writer.join(timeout=60)
    assert not writer.is_alive() and len(raised) == 1
    assert host.close() == 128 + signal.SIGTERM  # again: nothing more to do

    with HostProcess(bundle_dir) as host:
        frames = host.render(speech(16000 * 10))
        next(frames)
        frames.close()  # leaving a render early ends the child
        assert host.returncode == 128 + signal.SIGTERM and gone(host.pid)


def test_concurrent_feed_and_read_of_a_long_clip(bundle_dir):
    audio = speech(16000 * 30)
    indices, failures = [], []

    def guarded(fn):
        def run():
            try:
                fn()
            except BaseException as e:
                failures.append(e)
        return threading.Thread(target=run)

    with HostProcess(bundle_dir) as host:
        def push():  # 50 ms blocks, as a live parent sends them
            for i in range(0, audio.size, 800):
                host.feed(audio[i:i + 800])
            host.flush()

        def pull():
            indices.extend(i for i, _ in host.frames())

        threads = [guarded(push), guarded(pull)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
        stuck = [t for t in threads if t.is_alive()]
        if stuck:
            host.close(timeout=0)  # unblock them before failing
        assert not stuck and not failures, failures
    assert indices == list(range(3, 3 + len(indices))) and len(indices) >= 30 * 20


def test_without_the_command_the_interpreter_runs_the_host(tmp_path, bundle_dir, monkeypatch):
    python = tmp_path / "bin" / "python"  # an interpreter with no tessel_render_host beside it
    python.parent.mkdir()
    python.write_text(f'#!/bin/sh\nexec {sys.executable} "$@"\n')
    python.chmod(0o755)
    monkeypatch.setattr(sys, "executable", str(python))
    assert client.host_command()[:2] == [str(python), "-c"]
    with HostProcess(bundle_dir) as host:
        assert host.ready == json.loads(READY_NULL[6:])
        assert [i for i, _ in host.render(speech(30000))] == list(range(3, 57))
    assert host.returncode == 0
