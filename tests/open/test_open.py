"""open(): the checks of its argument and their messages, the engine id and the
refusals that depend on it, the mapping of engine failures to the offline
error kinds, and avatars of every engine id opened from IMX files and rendered."""

import inspect
import json
import os
import sys
from pathlib import Path

import numpy as np
import pytest

import halvane
import halvane._open as hopen
from halvane import _imx_engine, _session
from halvane._errors import AvatarError, Failed, InvalidAvatar, NotSupported, _Outdated
from halvane._o2u import engine as o2u
from halvane._zephan2 import _apple
from halvane._zephan2 import engine as z2

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from support.avatars import ENGINE_KINDS, avatar_of, imx_avatar, pcm  # noqa: E402
from support.hostproc import FLUSH, SHAPE, data, parse_output, run_host, word  # noqa: E402
from tools.make_demo_bundle import bundle_members  # noqa: E402
from tools.make_ostrel1_avatar import manifest as ostrel1_manifest  # noqa: E402

SERVICE = "halvane cloud renderer"
CANNOT_RUN = ("that avatar cannot run on this machine. Render it in the cloud with the " + SERVICE
              + " (POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.")


def held(code):
    return (code + " names an avatar held by the service, and this package renders an avatar that is on this"
            " machine. Run `python -m halvane render " + code + " <audio>` to fetch it and render it here, or"
            " render it in the cloud with the " + SERVICE + " (POST /v1/video/generate).")


@pytest.fixture(autouse=True)
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("HALVANE_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setattr(hopen, "_QUIET", 0.5)


class PathLike:
    def __init__(self, p):
        self.p = p

    def __fspath__(self):
        return self.p


# --- the argument ----------------------------------------------------------------

@pytest.mark.parametrize("source, kind, message", [
    (b"/tmp/avatar.imx", TypeError, "open() takes the path of an avatar; got bytes"),
    (PathLike(b"/tmp/avatar.imx"), TypeError, "open() takes the path of an avatar; got bytes"),
    (None, TypeError, "open() takes the path of an avatar; got NoneType"),
    (7, TypeError, "open() takes the path of an avatar; got int"),
    ("", InvalidAvatar, "open() needs an avatar to open"),
    (PathLike(""), InvalidAvatar, "open() needs an avatar to open"),
    ("AB12345678", NotSupported, held("AB12345678")),
    ("AB12345678\n", NotSupported, held("AB12345678\n")),
    ("Z999999999", NotSupported, held("Z999999999")),
    ("AB12345678\n\n", InvalidAvatar, "no avatar at AB12345678\n\n"),
    ("ab12345678", InvalidAvatar, "no avatar at ab12345678"),
    ("AB1234567", InvalidAvatar, "no avatar at AB1234567"),
    ("AB123456789", InvalidAvatar, "no avatar at AB123456789"),
    ("1B12345678", InvalidAvatar, "no avatar at 1B12345678"),
    ("AB1234567!", InvalidAvatar, "no avatar at AB1234567!"),
    ("/no/such/avatar.imx", InvalidAvatar, "no avatar at /no/such/avatar.imx"),
    ("bad\0path", InvalidAvatar, "no avatar at bad\0path"),
])
def test_argument_checks(source, kind, message):
    with pytest.raises(kind) as e:
        halvane.open(source)
    assert str(e.value) == message
    assert type(e.value) is kind


def test_a_dangling_link_is_no_avatar(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("AB12345678").symlink_to(tmp_path / "gone")
    Path("avatar.imx").symlink_to(tmp_path / "gone")
    with pytest.raises(NotSupported):
        hopen.open(source="AB12345678")
    with pytest.raises(InvalidAvatar, match="^no avatar at avatar.imx$"):
        hopen.open("avatar.imx")


def test_local_files_named_like_codes_and_path_likes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    imx_avatar(tmp_path / "AB12345678", ostrel1_manifest())
    with hopen.open("AB12345678") as a, hopen.open(Path("AB12345678")) as b, hopen.open(PathLike("AB12345678")) as c:
        assert a._engine_id == b._engine_id == c._engine_id == "ostrel1"
        assert a._engine is not b._engine


@pytest.mark.parametrize("function, params", [
    (halvane.open, "source"),
    (hopen.Avatar.render, "self audio out_mp4=None"),
    (hopen.Avatar.__enter__, "self"),
    (hopen.Avatar.__exit__, "self *exc"),
    (hopen.RenderStats, "frames render_seconds render_fps"),
])
def test_public_callables_have_signatures_and_docstrings(function, params):
    shown = [("*" if p.kind == p.VAR_POSITIONAL else "") + p.name
             + ("" if p.default is p.empty else "=" + repr(p.default))
             for p in inspect.signature(function).parameters.values()]
    assert " ".join(shown) == params
    assert function.__doc__ and "\n" not in function.__doc__


# --- the engine id ---------------------------------------------------------------

def test_engine_id_of_each_container(tmp_path):
    man = {"engine": "ostrel2-golden"}
    d = tmp_path / "dir"
    d.mkdir()
    (d / "manifest.json").write_text(json.dumps(man))
    import zipfile

    with zipfile.ZipFile(tmp_path / "a.zip", "w") as z:
        z.writestr("inner/manifest.json", json.dumps(man))
    for p in (str(d), str(tmp_path / "a.zip"), imx_avatar(tmp_path / "a.imx", man)):
        assert hopen._engine_of(p) == "ostrel2-golden"
        assert _imx_engine.engine_id_for_path(p) == "ostrel2-golden"
    assert hopen._engine_of(imx_avatar(tmp_path / "none.imx")) == "ostrel1"
    with pytest.raises(ValueError):
        _imx_engine.resolve_engine({"name": "no engine"})


def test_refusals_by_engine_id(tmp_path, monkeypatch):
    unknown = imx_avatar(tmp_path / "unknown.imx", {"engine": "ostrel9"})
    with pytest.raises(NotSupported) as e:
        hopen.open(unknown)
    assert str(e.value) == CANNOT_RUN

    bare = imx_avatar(tmp_path / "bare.imx")  # no manifest: ostrel1
    from halvane import _core

    monkeypatch.setattr(_core, "ENGINE_ONLY", True)
    assert hopen._ostrel1_runtime_present() is False
    with pytest.raises(NotSupported) as e:
        hopen.open(bare)
    assert str(e.value) == CANNOT_RUN
    monkeypatch.delattr(_core, "ENGINE_ONLY")
    assert hopen._ostrel1_runtime_present() is True

    # No importable runtime: step passed, the fixture engine's build decides.
    monkeypatch.setitem(sys.modules, "halvane._core", None)
    assert hopen._ostrel1_runtime_present() is True
    with pytest.raises(Exception) as e:
        hopen.open(bare)
    assert str(e.value) != CANNOT_RUN


def test_manifest_read_failures(tmp_path, monkeypatch):
    path = imx_avatar(tmp_path / "a.imx", {"engine": "ostrel1"})
    err = PermissionError(13, "Permission denied", path)

    def unreadable(p):
        raise err

    monkeypatch.setattr(_imx_engine, "read_manifest", unreadable)
    with pytest.raises(InvalidAvatar) as e:
        hopen.open(path)
    assert (str(e.value), e.value.detail) == ("that is not a usable avatar", err)
    assert e.value.__cause__ is None and e.value.__suppress_context__
    monkeypatch.undo()

    broken = imx_avatar(tmp_path / "b.imx", members=[("manifest.json", b"{not json")])
    with pytest.raises(ValueError) as e:
        hopen.open(broken)
    assert not isinstance(e.value, AvatarError)


class FakeEngine:
    closed = False

    def frames(self, chunks):
        return iter(())

    def interrupt(self):
        pass

    def close(self):
        self.closed = True


@pytest.mark.parametrize("bundled, ahead", [
    (lambda: "/opt/host", True),
    (lambda: None, False),
    (lambda: 1 / 0, False),
])
def test_zephan2_built_ahead_when_a_host_is_bundled(tmp_path, monkeypatch, bundled, ahead):
    path = imx_avatar(tmp_path / "z.imx", {"engine": "zephan2"})
    monkeypatch.setattr(_apple, "bundled_host", bundled)
    assert hopen._apple_host_bundled() is ahead
    built = []
    monkeypatch.setattr(hopen, "_build_engine", lambda s, i: built.append((s, i)) or FakeEngine())
    monkeypatch.setattr(z2, "Zephan2Engine", lambda s: FakeEngine())
    with hopen.open(path) as av:
        assert isinstance(av._engine, FakeEngine)
    assert built == ([(path, "zephan2")] if ahead else [])


def test_a_failure_after_the_engine_was_built_ends_it(tmp_path, monkeypatch):
    path = imx_avatar(tmp_path / "z.imx", {"engine": "zephan2"})
    fake = FakeEngine()
    monkeypatch.setattr(hopen, "_apple_host_bundled", lambda: True)
    monkeypatch.setattr(hopen, "_build_engine", lambda s, i: fake)

    def refuse_to_wrap(*args):
        raise MemoryError("no avatar for you")

    monkeypatch.setattr(hopen, "_open_engine", refuse_to_wrap)
    with pytest.raises(MemoryError):
        hopen.open(path)
    assert fake.closed


def test_a_real_host_is_ended_when_the_avatar_cannot_be_made(tmp_path, monkeypatch):
    path = imx_avatar(tmp_path / "demo.imx", members=bundle_members())
    engines = []

    class Recorded(z2.Zephan2Engine):
        def __init__(self, source):
            super().__init__(source)
            engines.append(self)

    monkeypatch.setattr(z2, "Zephan2Engine", Recorded)

    def no_avatar(engine, engine_id):
        raise MemoryError("out of memory")

    monkeypatch.setattr(hopen, "Avatar", no_avatar)
    for bundled in (False, True):
        monkeypatch.setattr(hopen, "_apple_host_bundled", lambda b=bundled: b)
        with pytest.raises(MemoryError):
            hopen.open(path)
        proc = engines[-1]
        assert proc._stream is None
    assert len(engines) == 2


# --- error mapping -----------------------------------------------------------------

def raising(exc):
    def build(*args):
        raise exc
    return build


UNAV = _session.EngineUnavailable("this needs more", "missing: ['x']")
FAILD = _session.EngineFailed("it broke", "load refused")
OUTD = _session.AvatarOutdated("too old", "format 1", code="format-1-to-2")
OSERR = FileNotFoundError(2, "No such file", "/x")
MINE = InvalidAvatar("already mapped", "d")
OTHER = KeyError("passes")


@pytest.mark.parametrize("engine_id", ["ostrel2-light", "ostrel1", "zephan2"])
@pytest.mark.parametrize("exc, kind, message, detail", [
    (UNAV, NotSupported, "this needs more", "missing: ['x']"),
    (FAILD, Failed, "it broke", "load refused"),
    (OUTD, _Outdated, "too old", None),
    (OSERR, Failed, "could not prepare that avatar", OSERR),
    (MINE, None, None, None),
    (OTHER, None, None, None),
])
def test_engine_errors_in_open_engine(monkeypatch, engine_id, exc, kind, message, detail):
    monkeypatch.setattr(hopen, "_SessionEngine", raising(exc))
    monkeypatch.setattr(hopen, "_FixtureEngine", raising(exc))
    monkeypatch.setattr(z2, "Zephan2Engine", raising(exc))
    with pytest.raises(BaseException) as e:
        hopen._open_engine("/avatar", engine_id)
    if kind is None:
        assert e.value is exc
        return
    assert type(e.value) is kind and str(e.value) == message
    assert e.value.__cause__ is None and e.value.__suppress_context__ and e.value.__context__ is exc
    if kind is _Outdated:
        assert e.value.code == "format-1-to-2"
    else:
        assert e.value.detail == detail


@pytest.mark.parametrize("exc, kind, message", [
    (UNAV, NotSupported, "this needs more"),
    (FAILD, Failed, "it broke"),
    (OSERR, Failed, "could not prepare that avatar"),
    (OUTD, None, None),  # no handler while built ahead
    (MINE, None, None),
])
def test_engine_errors_in_build_engine(monkeypatch, exc, kind, message):
    monkeypatch.setattr(z2, "Zephan2Engine", raising(exc))
    with pytest.raises(BaseException) as e:
        hopen._build_engine("/avatar", "zephan2")
    if kind is None:
        assert e.value is exc
    else:
        assert type(e.value) is kind and str(e.value) == message and e.value.__cause__ is None


def o2u_error(cls, cause):
    try:
        try:
            raise cause or RuntimeError("context only")
        except Exception as c:
            raise cls(42) from (c if cause else None)
    except cls as e:
        return e


CAUSE = ValueError("bad json")


@pytest.mark.parametrize("exc, kind, detail", [
    (o2u_error(o2u.O2UUnavailable, CAUSE), NotSupported, repr(CAUSE)),
    (o2u_error(o2u.O2UInvalid, CAUSE), InvalidAvatar, repr(CAUSE)),
    (o2u_error(o2u.O2UInvalid, None), InvalidAvatar, "O2UInvalid(42)"),
])
def test_engine_errors_in_unified_engine(monkeypatch, exc, kind, detail):
    monkeypatch.setattr(hopen, "_materialise", lambda s: "/unpacked")
    monkeypatch.setattr(o2u, "O2UEngine", raising(exc))
    with pytest.raises(AvatarError) as e:
        hopen._open_engine("/avatar", "ostrel2-unified")
    assert type(e.value) is kind
    assert (e.value.args[0], e.value.detail, e.value.__cause__) == ("42", detail, None)

    other = OSError(5, "I/O error")
    monkeypatch.setattr(o2u, "O2UEngine", raising(other))
    with pytest.raises(Failed) as e:
        hopen._open_engine("/avatar", "ostrel2-unified")
    assert e.value.detail is other

    mine = InvalidAvatar("cache refused it")
    monkeypatch.setattr(hopen, "_materialise", raising(mine))
    with pytest.raises(InvalidAvatar) as e:
        hopen._open_engine("/avatar", "ostrel2-unified")
    assert e.value is mine


def test_unknown_ids_and_prebuilt_engines():
    with pytest.raises(NotSupported) as e:
        hopen._open_engine("/avatar", "ostrel9")
    assert str(e.value) == CANNOT_RUN
    fake = FakeEngine()
    av = hopen._open_engine("/avatar", "ostrel9", fake)
    assert av._engine is fake and av._engine_id == "ostrel9"


# --- end to end ----------------------------------------------------------------------

@pytest.mark.parametrize("engine_id", ENGINE_KINDS)
def test_every_engine_renders_from_an_imx_file(tmp_path, engine_id):
    clip = pcm(1.2)
    with halvane.open(avatar_of(engine_id, tmp_path)) as av:
        assert av._engine_id == engine_id
        frames = list(av.render(clip))
        fps = getattr(av._engine, "frames_per_second", None) or 25
        expected = hopen._expected_frames(clip, fps)
        assert expected - max(2, int(expected * 0.02)) <= len(frames) <= expected + 4
        assert av._render_stats.frames == len(frames)
    shapes = {f.shape for f in frames}
    assert len(shapes) == 1 and next(iter(shapes))[2] == 3 and all(f.dtype == np.uint8 for f in frames)
    assert len({f.tobytes() for f in frames}) > 1  # the face moves with the speech


def test_zephan2_frames_are_the_host_programs(tmp_path):
    path = avatar_of("zephan2", tmp_path)
    clip = pcm(2.3, seed=4)
    with halvane.open(path) as av:
        frames = [f.tobytes() for f in av.render(clip)]
    samples = np.frombuffer(clip, "<i2").astype(np.float32) / np.float32(32768.0)
    rc, out, err = run_host(["render-stream", path], data(samples) + word(FLUSH))
    assert rc == 0, err
    _, _, pixels = parse_output(out)
    covered = -(-samples.size // 800)
    assert len(frames) == covered and np.prod(SHAPE) == len(frames[0])
    assert frames == pixels[:covered]


def test_the_render_command_writes_video_as_long_as_its_audio(tmp_path):
    import subprocess
    import wave

    import av

    avatar = avatar_of("zephan2", tmp_path)
    clip = pcm(1.93, seed=2)
    wav = tmp_path / "speech.wav"
    with wave.open(str(wav), "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(16000)
        w.writeframes(clip)
    mp4 = tmp_path / "out.mp4"
    r = subprocess.run([sys.executable, "-m", "halvane", "render", avatar, str(wav), str(mp4)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    with av.open(str(mp4)) as f:
        video = sum(1 for _ in f.decode(video=0))
    with av.open(str(mp4)) as f:
        assert f.streams.audio[0].sample_rate == 16000
        sound = sum(fr.samples for fr in f.decode(audio=0))
    assert video == len(clip) // 2 * 20 // 16000 == 38
    assert abs(sound - len(clip) // 2) < 2048  # the AAC encoder's priming and padding
