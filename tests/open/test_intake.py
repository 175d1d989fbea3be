"""Audio intake of the offline interface: every accepted form to 16 kHz mono
int16 PCM, both decoders, the ffmpeg child process and the chunk stream."""

import collections.abc
import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time
import wave

import numpy as np
import pytest

import halvane._open as op
from halvane._errors import Failed

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs the ffmpeg program")

TYPE_MSG = ("audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, "
            "or an iterable of those; got ")
ARRAY_MSG = "audio arrays must be int16, or float32/float64 in [-1, 1]; got "


def i16(*v):
    return np.array(v, np.int16).tobytes()


def write_wav16(path, samples):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(np.asarray(samples, np.int16).tobytes())
    return str(path)


def ramp(n, seed):
    return (np.arange(n) * seed % 20000 - 10000).astype(np.int16)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("audio")
    sine = "sine=frequency=440:duration=1:sample_rate=44100"
    for name, extra in (("a44.wav", ["-ac", "2"]), ("a.mp3", ["-ac", "2", "-b:a", "128k"])):
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", sine, *extra, str(d / name)],
                       check=True)
    (d / "not_audio.txt").write_text("this is no audio file\n" * 50)
    return {"a16.wav": write_wav16(d / "a16.wav", ramp(16000, 7)), "a44.wav": str(d / "a44.wav"),
            "a.mp3": str(d / "a.mp3"), "empty.wav": write_wav16(d / "empty.wav", []),
            "not_audio.txt": str(d / "not_audio.txt")}


@pytest.fixture
def no_ffmpeg(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path / "empty-bin"))


@pytest.fixture
def fake_ffmpeg(tmp_path, monkeypatch):
    """Puts a script named ffmpeg first on PATH; returns its writer."""
    bindir = tmp_path / "fake-bin"
    bindir.mkdir()
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")

    def make(body, mode=0o755):
        p = bindir / "ffmpeg"
        p.write_text(f"#!{sys.executable}\nimport os, sys\n{body}\n")
        p.chmod(mode)
        return p
    return make


def test_arrays_bytes_and_refusals():
    floats = [1.0, -1.0, 2.5, 0.99999, -0.5]
    column = np.array([[1], [-2], [3], [-4]], np.int16)
    cases = [
        (np.array(floats, np.float32), i16(32767, -32767, 32767, 32766, -16383)),
        (np.array(floats, np.float64), i16(32767, -32767, 32767, 32766, -16383)),
        (np.array([[0.5, -0.25, 1e-9, -7.0]], np.float32), i16(16383, -8191, 0, -32767)),
        (np.array([0.5, 9, -0.5, 9], np.float64)[::2], i16(16383, -16383)),
        (np.array([np.nan, np.inf, -np.inf], np.float32), i16(0, 32767, -32767)),
        (column, i16(1, -2, 3, -4)),
        (np.asfortranarray(column), i16(1, -2, 3, -4)),
        (np.zeros(0, np.float32), b""),
        (b"abc", b"abc"),
        (bytearray(b"\x01\x02\x03"), b"\x01\x02\x03"),
        (memoryview(b"abcdef")[::2], b"ace"),
        (type("Pcm", (bytes,), {})(b"xy"), b"xy"),
    ]
    for audio, want in cases:
        got = op._pcm(audio)
        assert type(got) is bytes and got == want, audio
    refused = [
        (np.zeros(3, np.float16), ARRAY_MSG + "float16"),
        (np.zeros(3, np.int32), ARRAY_MSG + "int32"),
        (np.zeros(3, ">i2"), ARRAY_MSG + ">i2"),
        (3, TYPE_MSG + "int"),
        (None, TYPE_MSG + "NoneType"),
        ([b"ab"], TYPE_MSG + "list"),
    ]
    for fn, audio, msg in [(op._pcm, a, m) for a, m in refused] + [(op._whole_clip, a, m) for a, m in refused[:4]]:
        with pytest.raises(TypeError) as e:
            fn(audio)
        assert str(e.value) == msg


NAN = float("nan")
# Frames of channel samples and the mono mix each dtype makes of them: the
# mean, truncated toward zero for int16; for floats clipped, scaled and
# truncated as a mono float array is, after mixing.
MIXES = [
    (np.int16, [[1, -2], [-1, 2], [3, 4], [-3, -4], [32767, 32767], [-32768, -32768], [32767, -32768], [7, 8],
                [0, -1]],
     [0, 0, 3, -3, 32767, -32768, 0, 7, 0]),
    (np.int16, [[32767, 32767, 32766], [-32768, -32768, -32767], [1, 1, 0], [-1, -1, 0], [3, 3, 3], [1, 2, 3],
                [0, 0, 1], [5, -5, 1], [9, 9, 9]],
     [32766, -32767, 0, 0, 3, 2, 0, 0, 9]),
    (np.int16, [list(range(1, 9)), list(range(-1, -9, -1)), [-32768] * 8, [32767] * 8, [0] * 7 + [7],
                [0] * 7 + [8], [1] * 8, [2] * 8, [-1] * 7 + [6]],
     [4, -4, -32768, 32767, 0, 1, 1, 2, 0]),
] + [
    (dt, [[0.5, -0.25], [2.0, 0.0], [-3.0, 0.5], [NAN, 1.0], [-0.5, -0.5], [1.0, 0.99999], [0.25, 0.25],
          [0.0, 0.0], [1.0, -1.0]],
     [4095, 32767, -32767, 0, -16383, 32766, 8191, 0, 0])
    for dt in (np.float32, np.float64)
]
LAYOUTS = {  # (frames, channels) C array -> the array handed over, and how its mix reads
    "frames x channels": (np.ascontiguousarray, False),
    "frames x channels, Fortran": (np.asfortranarray, False),
    "channels x frames": (lambda m: np.ascontiguousarray(m.T), False),
    "channels x frames, Fortran": (lambda m: np.asfortranarray(m.T), False),
    "strided view": (lambda m: np.repeat(np.repeat(m, 2, 0), 3, 1)[::2, ::3], False),
    "reversed view": (lambda m: m[::-1, ::-1], True),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype,frames,want", MIXES, ids=lambda v: getattr(v, "__name__", "-"))
def test_channels_mixed_down(dtype, frames, want, layout):
    make, reversed_ = LAYOUTS[layout]
    arr = make(np.array(frames, dtype))
    want = want[::-1] if reversed_ else want
    assert op._pcm(arr) == i16(*want)
    assert op._whole_clip(arr) == i16(*want)


SHAPE_MSG = ("audio arrays must be 1-D, or 2-D with at most 8 channels on one axis and more than 8 samples on the "
             "other; got shape ")


@pytest.mark.parametrize("arr,want", [
    (np.arange(1, 5, dtype=np.int16).reshape(1, 4), i16(1, 2, 3, 4)),  # one row, however short
    (np.arange(1, 21, dtype=np.int16).reshape(1, 20), i16(*range(1, 21))),
    (np.asfortranarray(np.arange(1, 21, dtype=np.int16).reshape(20, 1)), i16(*range(1, 21))),
    (np.ones((1, 1), np.float32), i16(32767)),
    (np.array(-0.5, np.float64), i16(-16383)),
    (np.zeros((0, 2), np.int16), b""),
    (np.zeros((2, 0), np.float32), b""),
    (np.zeros((0, 0), np.float64), b""),
    (np.zeros((2, 2), np.int16), SHAPE_MSG + "(2, 2)"),
    (np.zeros((8, 8), np.float32), SHAPE_MSG + "(8, 8)"),
    (np.zeros((9, 9), np.int16), SHAPE_MSG + "(9, 9)"),
    (np.zeros((2, 5), np.float64), SHAPE_MSG + "(2, 5)"),
    (np.zeros((100, 100), np.int16), SHAPE_MSG + "(100, 100)"),
    (np.zeros((20, 2, 1), np.int16), SHAPE_MSG + "(20, 2, 1)"),
    (np.zeros((1, 1, 20), np.float32), SHAPE_MSG + "(1, 1, 20)"),
    (np.zeros((9, 2), np.int32), ARRAY_MSG + "int32"),
])
def test_array_shapes(arr, want):
    if isinstance(want, bytes):
        assert op._pcm(arr) == want
        return
    for fn in (op._pcm, op._whole_clip):
        with pytest.raises(TypeError) as e:
            fn(arr)
        assert str(e.value) == want


def test_missing_files(tmp_path):
    for p in (tmp_path / "nothing.wav", str(tmp_path), str(tmp_path / "nothing.wav")):
        with pytest.raises(FileNotFoundError) as e:
            op._pcm(p)
        assert str(e.value) == "no audio at " + str(p)


def test_whole_clip_and_chunks(files):
    wav = files["a16.wav"]
    want = ramp(16000, 7).tobytes()
    pieces = iter([b"ab", b"cd"])
    cases = [  # audio, whole clip, chunks
        (b"abcd", b"abcd", [b"abcd"]),
        (wav, want, [want]),
        (pathlib.Path(wav), want, [want]),
        (np.array([1, 2], np.int16), i16(1, 2), [i16(1, 2)]),
        ([b"ab", bytearray(b"c"), b""], None, [b"ab", b"c", b""]),
        ((np.array([0.5]), wav), None, [i16(16383), want]),
        (pieces, None, [b"ab", b"cd"]),  # the test for a whole clip draws nothing
    ]
    for audio, clip, chunks in cases:
        assert op._whole_clip(audio) == clip
        got = list(op._chunks(audio))
        assert got == chunks and all(type(c) is bytes for c in got)
    assert list(op._chunks(b"ignored", b"given")) == [b"given"]


def test_pieces_converted_when_drawn(tmp_path):
    later = tmp_path / "later.wav"
    stream = op._chunks([b"ab", str(later), [b"nested"], b"never"])
    assert isinstance(stream, collections.abc.Generator)
    assert next(stream) == b"ab"
    write_wav16(later, [5, -5])  # exists only once the first chunk was taken
    assert next(stream) == i16(5, -5)
    with pytest.raises(TypeError, match="got list$"):
        next(stream)
    assert list(stream) == []  # a failed stream stays ended
    closed = op._chunks([b"ab", b"cd"])
    assert next(closed) == b"ab" and closed.close() is None and list(closed) == []


def test_expected_frames():
    one_second = 1280 * 25
    cases = [(b"x" * one_second, 25, 25), (b"x" * 1279, 25, None), (b"x" * 1280, 25, 1), (b"x" * 1280, 20, None),
             (b"x" * one_second, 0, None), (b"x" * one_second, None, None), (None, 25, None),
             (b"x" * (2 * one_second), 20, 40), (b"x" * 48000, 25, 37), (b"x" * 48000, 12.5, 18),
             (b"x" * one_second, np.float32(20), 20), (b"x" * one_second, True, 1)]
    for clip, fps, want in cases:
        assert op._expected_frames(clip, fps) == want, (len(clip or b""), fps)


@pytest.mark.parametrize("fps,kind", [("25", "str"), (b"25", "bytes"), ([25], "list"), (object(), "object")])
def test_expected_frames_refuses_a_rate_that_is_no_number(fps, kind):
    with pytest.raises(TypeError) as e:
        op._expected_frames(b"x" * 32000, fps)
    assert str(e.value) == f"frames_per_second must be a number, not {kind}"


def tone_of(pcm):
    """(dominant frequency in Hz, RMS) of 16 kHz PCM."""
    a = np.frombuffer(pcm, np.int16).astype(np.float64) / 32768
    spectrum = np.abs(np.fft.rfft(a))
    return np.argmax(spectrum) * 16000 / len(a), np.sqrt(np.mean(a * a))


@pytest.mark.parametrize("path_state", ["ffmpeg", "no_ffmpeg"])
def test_both_decoders(files, path_state, request):
    if path_state == "no_ffmpeg":
        request.getfixturevalue("no_ffmpeg")
    assert op._pcm(files["a16.wav"]) == ramp(16000, 7).tobytes()  # 16 kHz mono s16 passes exactly
    for name in ("a44.wav", "a.mp3"):
        pcm = op._pcm(files[name])
        freq, rms = tone_of(pcm)
        assert abs(len(pcm) / 2 - 16000) < 1200 and abs(freq - 440) < 3 and 0.05 < rms < 0.5, name


def test_fallback_only_without_ffmpeg(files, monkeypatch, tmp_path):
    calls = []
    monkeypatch.setattr(op, "_decode", lambda p: calls.append(p) or b"via-decode")
    assert op._pcm(files["a16.wav"]) != b"via-decode" and calls == []
    monkeypatch.setenv("PATH", str(tmp_path))
    assert op._pcm(pathlib.Path(files["a16.wav"])) == b"via-decode" and calls == [files["a16.wav"]]


def test_decode_failures(files, monkeypatch):
    argv = ["ffmpeg", "-nostdin", "-loglevel", "error", "-i", files["not_audio.txt"], "-ar", "16000", "-ac", "1",
            "-f", "s16le", "-"]
    ffmpeg_err = subprocess.run(argv, capture_output=True).stderr.decode("utf-8", "replace")
    with pytest.raises(Failed) as e:
        op._pcm(files["not_audio.txt"])
    assert (str(e.value), e.value.detail) == ("could not read that audio", ffmpeg_err[:300]) and ffmpeg_err
    assert op._pcm(files["empty.wav"]) == b""  # ffmpeg succeeds and writes no samples

    cases = [(files["not_audio.txt"], False, Exception, None),
             (files["empty.wav"], False, ValueError, "no audio in that file"),
             (files["a16.wav"], True, ImportError, None)]
    for path, hide_pyav, kind, text in cases:
        with monkeypatch.context() as m, pytest.raises(Failed) as e:
            if hide_pyav:
                m.setitem(sys.modules, "av", None)
            op._decode(path)
        err = e.value
        assert str(err) == "could not read that audio" and isinstance(err.detail, kind)
        assert err.__cause__ is None and err.__suppress_context__ and err.__context__ is err.detail
        assert text is None or str(err.detail) == text


@contextlib.contextmanager
def redirected_stdin(path):
    """File descriptor 0 reads `path` inside the block."""
    saved, fd = os.dup(0), os.open(path, os.O_RDONLY)
    os.dup2(fd, 0)
    os.close(fd)
    try:
        yield
    finally:
        os.dup2(saved, 0)
        os.close(saved)


def test_ffmpeg_child_process(fake_ffmpeg, files, tmp_path):
    wav = files["a16.wav"]
    cases = [  # script body, result or Failed detail
        ("sys.stderr.write('e' * 1_000_000); sys.stderr.flush(); sys.stdout.write('o' * 300_000)", b"o" * 300_000),
        ("sys.stdout.buffer.write(b'\\0'.join(a.encode() for a in sys.argv[1:]))",
         b"\0".join(a.encode() for a in ["-nostdin", "-loglevel", "error", "-i", wav, "-ar", "16000", "-ac", "1",
                                          "-f", "s16le", "-"])),
        ("sys.stdout.buffer.write(sys.stdin.buffer.read())", b"from the caller's stdin"),
        ("pass", b""),
        ("sys.stderr.write('\u00e9' * 1_000_000); sys.exit(1)", Failed("", "\u00e9" * 300)),
        ("sys.stderr.buffer.write(b'\\xff\\xfe bad'); sys.exit(2)", Failed("", "\ufffd\ufffd bad")),
        ("sys.stderr.write('killed'); sys.stderr.flush(); os.kill(os.getpid(), 9)", Failed("", "killed")),
    ]
    stdin = tmp_path / "stdin"
    stdin.write_bytes(b"from the caller's stdin")
    with redirected_stdin(stdin):
        for body, want in cases:
            fake_ffmpeg(body)
            if isinstance(want, Failed):
                with pytest.raises(Failed) as e:
                    op._pcm(wav)
                assert (str(e.value), e.value.detail) == ("could not read that audio", want.detail)
            else:
                assert op._pcm(wav) == want, body
    os.environ["PATH"] = str(fake_ffmpeg("pass", mode=0o644).parent)
    with pytest.raises(PermissionError):  # not executable: no fallback
        op._pcm(wav)


@pytest.mark.parametrize("path_state", ["ffmpeg", "no_ffmpeg"])
def test_url_like_names_read_as_files(tmp_path, monkeypatch, path_state, request):
    if path_state == "no_ffmpeg":
        request.getfixturevalue("no_ffmpeg")
    monkeypatch.chdir(tmp_path)
    write_wav16("a.wav", ramp(800, 3))
    write_wav16("stdin.wav", ramp(800, 5))
    names = ["-", "pipe:0", "x:y", "file:a.wav", "subfile,,start,0,end,0,,:a.wav", "C:a.wav", "http:x",
             "concat:a.wav|a.wav"]
    want = ramp(800, 11)
    for n in names:
        write_wav16(n, want)
    with redirected_stdin("stdin.wav"):
        for n in names:
            for p in (n, pathlib.Path(n), str(tmp_path / n)):
                assert op._pcm(p) == want.tobytes(), p
    assert op._pcm("a.wav") == ramp(800, 3).tobytes()


def test_ctrl_c_ends_ffmpeg(fake_ffmpeg, files, tmp_path):
    pidfile = tmp_path / "pid"
    finished = tmp_path / "finished"
    fake_ffmpeg(f"open({str(pidfile)!r}, 'w').write(str(os.getpid()))\nimport time\ntime.sleep(120)\n"
                f"open({str(finished)!r}, 'w').write('ran to its end')")
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)

    def interrupt_when_started():
        # Runs while _pcm waits, which needs the GIL released.
        while not pidfile.exists() or not pidfile.read_text():
            time.sleep(0.01)
        os.kill(os.getpid(), signal.SIGINT)

    watcher = threading.Thread(target=interrupt_when_started, daemon=True)
    try:
        watcher.start()
        with pytest.raises(KeyboardInterrupt):
            op._pcm(files["a16.wav"])
    finally:
        signal.signal(signal.SIGINT, previous)
    watcher.join()
    pid = int(pidfile.read_text())
    assert not finished.exists()
    with pytest.raises(ChildProcessError):  # reaped, not a zombie
        os.waitpid(pid, os.WNOHANG)
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


@pytest.mark.parametrize("path_state", ["ffmpeg", "no_ffmpeg"])
def test_audio_past_the_limit_is_refused_while_decoding(path_state, request, tmp_path, monkeypatch, capsys):
    import halvane.__main__ as cmd

    assert op._MAX_AUDIO_SECONDS == 4 * 60 * 60  # the limit every decode applies; lowered below
    monkeypatch.setattr(op, "_MAX_AUDIO_SECONDS", 1)
    one = write_wav16(tmp_path / "one.wav", ramp(16000, 3))
    # A list that plays that second 100000 times: decoded to its end, 3 GB of samples.
    endless = tmp_path / "endless.ffconcat"
    endless.write_text("ffconcat version 1.0\n" + "file one.wav\n" * 100_000)
    if path_state == "no_ffmpeg":
        request.getfixturevalue("no_ffmpeg")
    assert op._pcm(one) == ramp(16000, 3).tobytes()  # exactly at the limit
    began = time.monotonic()
    with pytest.raises(Failed) as e:
        op._pcm(str(endless))
    assert time.monotonic() - began < 20
    assert e.value.message == "that audio runs longer than 1 second, the longest a render takes"
    assert e.value.detail is None
    assert cmd.main(["render", one, str(endless), str(tmp_path / "out.mp4")]) == 1
    assert capsys.readouterr().err == (f"halvane: {endless}: that audio runs longer than 1 second, "
                                       "the longest a render takes\n")
