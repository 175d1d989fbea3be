"""The command module: MP4 files written from an avatar's render (H.264 video no
longer than the audio, the audio as 16 kHz mono AAC), read back with PyAV; and
its render command line."""

import json
import os
import shutil
import socket
import subprocess
import sys
import wave

import av
import numpy as np
import pytest

import halvane.__main__ as cmd
from halvane import _open
from halvane._errors import Failed
from tools.make_ostrel1_avatar import write_avatar

SECOND = 32000  # PCM bytes of one second


class Engine:
    """Per chunk drawn: `per_chunk` flat grey frames numbered on from the last."""

    def __init__(self, per_chunk, size=(64, 48), fail_after=None, **attrs):
        self.per_chunk, self.size, self.fail_after = per_chunk, size, fail_after
        self.__dict__.update(attrs)

    def frames(self, chunks):
        n = 0
        for _ in chunks:
            for _ in range(self.per_chunk):
                if n == self.fail_after:
                    raise Failed("engine gave up", "detail")
                yield np.full(self.size + (3,), 8 * n % 256, np.uint8)
                n += 1

    def interrupt(self):
        pass

    def close(self):
        pass


def pcm(seconds):
    t = np.arange(int(16000 * seconds)) / 16000
    return (8000 * np.sin(2 * np.pi * 440 * t)).astype("<i2").tobytes()


def read_back(path):
    with av.open(str(path)) as f:
        v, a = f.streams.video[0], f.streams.audio[0]
        info = (v.codec_context.name, v.average_rate, v.codec_context.width, v.codec_context.height,
                a.codec_context.name, a.codec_context.sample_rate, a.codec_context.channels)
        greys = [float(fr.to_ndarray(format="rgb24").mean()) for fr in f.decode(video=0)]
        f.seek(0)
        samples = sum(fr.samples for fr in f.decode(audio=0))
    return info, greys, samples


@pytest.mark.parametrize("audio,engine,frames,rate,size", [
    (pcm(1.0), Engine(26, frames_per_second=20), 20, 20, (64, 48)),  # the video stops with the audio
    (pcm(1.0), Engine(10), 10, 25, (64, 48)),  # no rate from the engine: 25
    ([pcm(0.5), pcm(0.5)], Engine(13, frames_per_second=20), 20, 20, (64, 48)),  # frames ahead of their audio wait
    (pcm(0.4), Engine(10, size=(63, 47), frames_per_second=25), 10, 25, (64, 48)),  # odd sides padded
    (pcm(0.01), Engine(3, frames_per_second=20), 1, 20, (64, 48)),  # audio shorter than a frame: one frame
])
def test_write_encodes_frames_and_audio(audio, engine, frames, rate, size, tmp_path):
    a = _open.Avatar(engine, "ostrel1")
    out = tmp_path / "out.mp4"
    assert cmd._write(a, audio, str(out)) == str(out)
    (vcodec, vrate, w, h, acodec, sr, channels), greys, samples = read_back(out)
    assert (vcodec, vrate, (h, w), acodec, sr, channels) == ("h264", rate, size, "aac", 16000, 1)
    assert len(greys) == frames
    assert greys == pytest.approx([8 * i for i in range(frames)], abs=3)  # in order, none skipped
    n = sum(len(p) for p in (audio if isinstance(audio, list) else [audio])) // 2
    assert frames / rate <= n / 16000 or frames == 1
    assert abs(samples - n) <= 1024


@pytest.mark.skipif(shutil.which("ffprobe") is None, reason="needs the ffprobe program")
def test_render_to_mp4_reads_back_with_ffprobe(tmp_path):
    a = _open.Avatar(_open._FixtureEngine(str(write_avatar(tmp_path / "face.imx"))), "ostrel1")
    out = tmp_path / "out.mp4"
    assert a.render(pcm(1.0), out_mp4=out) == str(out)
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                            "stream=codec_type,codec_name,nb_read_frames,sample_rate,channels", "-of", "json", str(out)],
                           capture_output=True, check=True, text=True)
    streams = {s["codec_type"]: s for s in json.loads(probe.stdout)["streams"]}
    assert sorted(streams) == ["audio", "video"]
    # 16000 samples at 640 per tick: 25 frames.
    assert (streams["video"]["codec_name"], int(streams["video"]["nb_read_frames"])) == ("h264", 25)
    audio = streams["audio"]
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "16000", 1)


@pytest.mark.parametrize("before", [None, b"an older video", "link"])
def test_a_failed_render_reaches_the_caller_and_leaves_the_path_as_it_was(before, tmp_path):
    a = _open.Avatar(Engine(30, fail_after=12, frames_per_second=25), "ostrel1")
    out = tmp_path / "out.mp4"
    if before == "link":  # a link to a file elsewhere: neither is touched
        (tmp_path / "kept.mp4").write_bytes(b"kept")
        out.symlink_to("kept.mp4")
    elif before is not None:
        out.write_bytes(before)
    listing = {p.name: (p.is_symlink(), p.read_bytes()) for p in tmp_path.iterdir()}
    with pytest.raises(Failed, match="engine gave up"):
        a.render(pcm(1.0), out_mp4=out)
    assert {p.name: (p.is_symlink(), p.read_bytes()) for p in tmp_path.iterdir()} == listing


def refused_outputs():
    def sock(d):
        s = socket.socket(socket.AF_UNIX)
        s.bind(str(d / "out.mp4"))
        s.close()

    return {
        "a directory": (lambda d: (d / "out.mp4").mkdir(), "is a directory"),
        "not a regular file": (sock, "is not a regular file"),
        "the audio file": (lambda d: (d / "out.mp4").symlink_to("speech.wav"), "is the audio file itself"),
        "a hard link to the audio file": (lambda d: os.link(d / "speech.wav", d / "out.mp4"),
                                          "is the audio file itself"),
        "in a missing folder": (lambda d: None, "its folder does not exist"),
    }


@pytest.mark.parametrize("case", refused_outputs())
def test_an_output_that_cannot_take_the_file_is_refused_before_rendering(case, tmp_path):
    make, reason = refused_outputs()[case]
    audio = tmp_path / "speech.wav"
    with wave.open(str(audio), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(pcm(0.2))
    make(tmp_path)
    out = tmp_path / ("nodir/out.mp4" if case == "in a missing folder" else "out.mp4")
    listing = {p.name: (p.lstat().st_ino, p.lstat().st_mode) for p in tmp_path.iterdir()}
    audio_bytes = audio.read_bytes()
    engine = Engine(5, frames_per_second=25)
    engine.frames = None  # asking it for frames fails the test
    with pytest.raises(Failed) as e:
        _open.Avatar(engine, "ostrel1").render(str(audio), out_mp4=out)
    assert str(e.value) == f"cannot write the MP4 file {out}: {reason}"
    assert {p.name: (p.lstat().st_ino, p.lstat().st_mode) for p in tmp_path.iterdir()} == listing
    assert audio.read_bytes() == audio_bytes


def test_a_bytes_path_names_the_file_as_the_file_system_does(tmp_path):
    a = _open.Avatar(Engine(5, frames_per_second=25), "ostrel1")
    a.render(pcm(0.2), out_mp4=bytes(tmp_path / "out.mp4"))
    assert [p.name for p in tmp_path.iterdir()] == ["out.mp4"]


class FakeAvatar:
    def __init__(self, path, log):
        self.log = log
        log.append(("open", path))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.log.append(("close",))
        return False


@pytest.mark.parametrize("error,status", [(None, 0), (Failed("the render stopped", "engine gone"), 1)])
def test_render_command(error, status, tmp_path, monkeypatch, capsys):
    log = []

    def write(avatar, audio, path, stop):
        log.append(("write", audio, path))
        stop()  # not asked to stop: returns
        if error:
            raise error

    monkeypatch.setattr(_open, "open", lambda path: FakeAvatar(path, log), raising=False)
    monkeypatch.setattr(cmd, "_write", write)
    monkeypatch.chdir(tmp_path)
    with wave.open("speech.wav", "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(pcm(0.5))
    assert cmd.main(["render", "a.imx", "speech.wav", "out.mp4"]) == status
    # The audio is decoded before the avatar is opened; the avatar renders its samples.
    assert log == [("open", "a.imx"), ("write", pcm(0.5), "out.mp4"), ("close",)]
    assert capsys.readouterr().err == ("halvane: a.imx: the render stopped: engine gone\n" if error else "")


def test_the_module_runs_only_as_a_program():
    done = subprocess.run([sys.executable, "-c", "import halvane.__main__"], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    done = subprocess.run([sys.executable, "-m", "halvane"], capture_output=True, text=True)
    assert done.returncode == 2 and "render" in done.stderr
