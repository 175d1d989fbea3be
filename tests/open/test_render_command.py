"""The render command, `python -m halvane render <avatar> <audio> [<out.mp4>]`: a
user's mistake is one line naming the file, status 1, and nothing on disk
changes; the output defaults to the audio's name with ".mp4" in the current
directory; SIGINT, SIGTERM and SIGHUP end a render with the host reaped and no
file left, at any moment and without a traceback."""

import os
import signal
import socket
import stat
import subprocess
import sys
import time
import wave
from pathlib import Path

import av
import numpy as np
import pytest

import halvane.__main__ as cmd
from halvane import _open

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from support.hostproc import speech  # noqa: E402
from tools.make_demo_bundle import bundle_members, write_demo_bundle  # noqa: E402
from tools.make_ostrel1_avatar import write_avatar  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(autouse=True)
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("HALVANE_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setattr(_open, "_QUIET", 0.5)


def write_wav(path, seconds):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes((speech(int(16000 * seconds)) * 32767).astype("<i2").tobytes())
    return path


def damaged(d, manifest):
    """A bundle directory of the demo avatar whose manifest.json holds `manifest` (bytes)."""
    path = d / "damaged-avatar"
    path.mkdir()
    for name, blob in bundle_members():
        (path / name).write_bytes(manifest if name == "manifest.json" else blob)
    return path


def unix_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(path))
    s.close()
    return path


def snapshot(root):
    """Every entry under `root` (the cache aside): its kind, and a regular file's bytes."""
    out = {}
    for p in sorted(root.rglob("*")):
        if "cache" in p.relative_to(root).parts:
            continue
        st = p.lstat()
        out[str(p)] = p.read_bytes() if stat.S_ISREG(st.st_mode) else (stat.S_IFMT(st.st_mode), st.st_ino)
    return out


def cut_imx(d, keep):
    """The demo avatar's IMX file cut short after `keep` (a fraction) of its bytes."""
    whole = write_demo_bundle(d / "demo")["imx"].read_bytes()
    (d / "cut.imx").write_bytes(whole[:int(len(whole) * keep)])
    return d / "cut.imx"


# (argv after "render" from the test's folder d, the file the line names, what it says)
MISTAKES = {
    "audio missing": (lambda d: [d / "face.imx", d / "nope.wav", d / "out.mp4"], "nope.wav", "no such file"),
    "audio a directory": (lambda d: [d / "face.imx", d / "folder", d / "out.mp4"], "folder", "is a directory"),
    "audio not audio": (lambda d: [d / "face.imx", d / "notes.txt", d / "out.mp4"], "notes.txt",
                        "could not read that audio: "),
    "output folder missing": (lambda d: [d / "face.imx", d / "speech.wav", d / "nodir" / "out.mp4"], "nodir/out.mp4",
                              "its folder does not exist"),
    "output a directory": (lambda d: [d / "face.imx", d / "speech.wav", d / "folder"], "folder", "is a directory"),
    "output not a regular file": (lambda d: [d / "face.imx", d / "speech.wav", unix_socket(d / "sock")], "sock",
                                  "is not a regular file"),
    "output the audio": (lambda d: [d / "face.imx", d / "speech.wav", d / "speech.wav"], "speech.wav",
                         "is the audio file itself"),
    "output a hard link to the audio": (
        lambda d: [d / "face.imx", d / "speech.wav", os.link(d / "speech.wav", d / "hard.mp4") or d / "hard.mp4"],
        "hard.mp4", "is the audio file itself"),
    "output a symbolic link to the audio": (
        lambda d: [d / "face.imx", d / "speech.wav", os.symlink("speech.wav", d / "soft.mp4") or d / "soft.mp4"],
        "soft.mp4", "is the audio file itself"),
    "output the avatar": (lambda d: [d / "face.imx", d / "speech.wav", d / "face.imx"], "face.imx",
                          "is the avatar file itself"),
    "default output the audio": (lambda d: [d / "face.imx", "talk.mp4"], "talk.mp4", "is the audio file itself"),
    "avatar missing": (lambda d: [d / "nope.imx", d / "speech.wav", d / "out.mp4"], "nope.imx", "no avatar at "),
    "avatar code": (lambda d: ["AB12345678", d / "speech.wav"], "AB12345678",
                    "names an avatar held by the service, and this command renders an avatar file on this machine: "
                    "render that avatar with the cloud renderer, or put its avatar file on this machine"),
    "audio the avatar": (lambda d: [d / "face.imx", d / "face.imx", d / "out.mp4"], "face.imx",
                         "is the avatar file itself"),
    "avatar cut in its member table": (lambda d: [cut_imx(d, 0.0002), d / "speech.wav", d / "out.mp4"], "cut.imx",
                                       "that is not a usable avatar: "),
    "avatar cut in a member": (lambda d: [cut_imx(d, 0.25), d / "speech.wav", d / "out.mp4"], "cut.imx",
                               "could not open that avatar: "),
    "avatar without manifest": (lambda d: [d / "folder", d / "speech.wav", d / "out.mp4"], "folder",
                                "has no manifest.json"),
    "manifest not UTF-8": (lambda d: [damaged(d, b'\xff{"engine": "zephan2"}'), d / "speech.wav"],
                           "damaged-avatar", "that is not a usable avatar: 'utf-8' codec"),
    "manifest not JSON": (lambda d: [damaged(d, b'{"engine": zephan2}'), d / "speech.wav"],
                          "damaged-avatar", "that is not a usable avatar: Expecting value"),
    "manifest nested deeply": (lambda d: [damaged(d, b"[" * 200000), d / "speech.wav"],
                               "damaged-avatar", "that is not a usable avatar: maximum recursion depth exceeded"),
}


@pytest.mark.parametrize("case", MISTAKES, ids=list(MISTAKES))
def test_a_mistake_is_one_line_naming_the_file_and_changes_nothing(case, tmp_path, monkeypatch, capsys):
    write_avatar(tmp_path / "face.imx")
    write_wav(tmp_path / "speech.wav", 0.3)
    write_wav(tmp_path / "talk.mp4", 0.3)  # audio whose default output is itself
    (tmp_path / "folder").mkdir()
    (tmp_path / "notes.txt").write_text("not audio\n")
    monkeypatch.chdir(tmp_path)
    args, named, says = MISTAKES[case]
    argv = ["render", *map(str, args(tmp_path))]
    before = snapshot(tmp_path)
    assert cmd.main(argv) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    lines = captured.err.split("\n")
    assert len(lines) == 2 and lines[1] == "", captured.err
    assert lines[0].startswith("halvane: ") and named in lines[0] and says in lines[0], lines[0]
    assert snapshot(tmp_path) == before


def test_the_output_defaults_to_the_audio_name_in_the_current_directory(tmp_path, monkeypatch, capsys):
    avatar = write_avatar(tmp_path / "face.imx")
    (tmp_path / "in").mkdir()
    audio = write_wav(tmp_path / "in" / "speech.wav", 1.0)
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    assert cmd.main(["render", str(avatar), str(audio)]) == 0
    assert capsys.readouterr() == ("", "")
    assert sorted(os.listdir(tmp_path / "in")) == ["speech.wav"]
    assert sorted(os.listdir(tmp_path / "work")) == ["speech.mp4"]
    mask = os.umask(0)
    os.umask(mask)
    assert stat.S_IMODE(os.stat("speech.mp4").st_mode) == 0o666 & ~mask  # the mode of any new file
    with av.open("speech.mp4") as f:
        assert f.streams.video[0].frames > 0 and f.streams.audio
    with pytest.raises(SystemExit) as e:  # a usage error stays argparse's
        cmd.main(["render", str(avatar)])
    assert e.value.code == 2


# --- signals ---------------------------------------------------------------------

def hosts(pid):
    """The pids of the host processes whose parent is `pid`."""
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid and b"render-stream" in Path(f"/proc/{entry}/cmdline").read_bytes():
                    out.append(int(entry))
            except OSError:
                continue
    return out


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def caught(pid, signum):
    """Whether the process `pid` has a handler for `signum`."""
    try:
        with open(f"/proc/{pid}/status") as f:
            mask = int(next(line for line in f if line.startswith("SigCgt:")).split()[1], 16)
    except (OSError, StopIteration):
        return False
    return bool(mask >> (signum - 1) & 1)


def written(pids):
    """Bytes the processes `pids` have written so far."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/io") as f:
                total += int(next(line for line in f if line.startswith("wchar:")).split()[1])
        except OSError:
            pass
    return total


HOW = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}
# name: (environment, signal, when: "frames" once the host rendered ten, else seconds after the command took
# its signals at its first line, which is before it knows its output; status)
RUNS = {
    **{sig.name: ({}, sig, "frames", 128 + sig) for sig in HOW},
    **{f"{sig.name} {ms} ms after the first line": ({}, sig, ms / 1000, 128 + sig)
       for sig in (signal.SIGINT, signal.SIGTERM) for ms in (0, 30, 150)},
    "quiet setting not a number": ({"HALVANE_RENDER_QUIET": "true"}, None, None, 1),
}


@pytest.mark.parametrize("case", RUNS, ids=list(RUNS))
def test_a_signal_or_setting_ends_the_command_in_one_line_with_the_host_reaped_and_no_file_left(case, tmp_path):
    extra, signum, when, status = RUNS[case]
    avatar = write_demo_bundle(tmp_path / "demo")["imx"]
    audio = write_wav(tmp_path / "long.wav", 60.0)
    out = tmp_path / "out.mp4"
    out.write_bytes(b"previous")
    before = snapshot(tmp_path)
    env = {**os.environ, "HALVANE_CACHE_DIR": str(tmp_path / "cache"), **extra}
    proc = subprocess.Popen([sys.executable, "-m", "halvane", "render", str(avatar), str(audio), str(out)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=ROOT)
    host, give_up = [], time.monotonic() + 300
    try:
        if when == "frames":  # each frame is 416 x 720 x 3 bytes
            while proc.poll() is None and written(host) < 10 * 416 * 720 * 3:
                assert time.monotonic() < give_up, "no frames rendered"
                host = host or [p for p in hosts(proc.pid) if alive(p)]
                time.sleep(0.02)
            assert proc.poll() is None, proc.stderr.read()
        elif when is not None:
            while proc.poll() is None and not caught(proc.pid, signal.SIGHUP):
                assert time.monotonic() < give_up, "the command never took its signals"
            time.sleep(when)
        if signum is not None:
            proc.send_signal(signum)
        stdout, stderr = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == status, stderr
    assert stdout == b""
    if signum is None:
        expected = ["halvane: HALVANE_RENDER_QUIET takes a number of seconds, such as 10; it is 'true'\n"]
    else:
        expected = [f"halvane: {out}: the render was {HOW[signum]}\n"] + ([] if when == "frames" else [
            f"halvane: {HOW[signum]}\n"])
    assert stderr.decode() in expected
    assert [p for p in host if alive(p)] == []
    assert snapshot(tmp_path) == before
