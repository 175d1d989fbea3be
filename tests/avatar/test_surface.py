"""Creation, model loading, settings and properties of AsyncAvatar.

A test subclass stands in for the bundle loader: it builds a scripted fixture
and runtime from the avatar's manifest and records where it ran. The avatars
are real files, so the engine id comes from the manifest reader."""

import asyncio
import inspect
import json
import re
import threading
import uuid

import numpy as np
import pytest

from halvane import _avatar
from halvane._exceptions import ModelNotFoundError, RuntimeNotReadyError
from halvane._imx_engine import read_manifest
from scripted import ScriptedFixture, ScriptedRuntime
from tools.make_ostrel1_avatar import manifest, write_avatar


class Loaded(_avatar.AsyncAvatar):
    log = []
    fail = None  # raised after the new fixture is set, before the runtime

    def _load_fixture_blocking(self, path):
        Loaded.log.append(("load", path, threading.current_thread().name))
        m = read_manifest(path)
        self._fixture = ScriptedFixture(m["audio_samples_per_tick"], m["audio_sample_rate"], m["frame_width"],
                                        m["frame_height"])
        if Loaded.fail is not None:
            raise Loaded.fail
        self._runtime = ScriptedRuntime(self._fixture)

    async def stop(self):
        Loaded.log.append(("stop",))
        self._running = False


@pytest.fixture
def avatar_at(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    Loaded.log, Loaded.fail = [], None
    return lambda name, **m: write_avatar(tmp_path / name, "imx", manifest(**m))


def test_create(avatar_at, tmp_path):
    avatar_at("face.imx", width=64, height=48, samples_per_tick=800)

    async def main():
        with pytest.raises(ValueError, match="^AsyncAvatar.create: model_path is required$"):
            await Loaded.create()
        with pytest.raises(ModelNotFoundError) as e:
            await Loaded.create(model_path="~/missing.imx")
        assert str(e.value) == f"Ostrel model not found: {tmp_path}/missing.imx"
        with pytest.raises(TypeError):
            await Loaded.create(str(tmp_path / "face.imx"))
        assert Loaded.log == []

        av = await Loaded.create(model_path="~/face.imx", output_size=None, input_buffer_size=2,
                                 output_buffer_size=3, num_threads=4, verbose=True, batch_workers=9,
                                 quality="high", identity="x")
        assert type(av) is Loaded and av._engine_id == "ostrel1"
        assert Loaded.log == [("load", f"{tmp_path}/face.imx", Loaded.log[0][2])]
        assert Loaded.log[0][2] != threading.current_thread().name
        assert (av._in_queue.maxsize, av._out_queue.maxsize, av._num_threads) == (2, 3, 4)
        assert (av.frame_width, av.frame_height, av.fps, av.samples_per_tick) == (64, 48, 20, 800)
        default = await Loaded.create(model_path=tmp_path / "face.imx")
        assert (default.frame_width, default.frame_height, default._in_queue.maxsize) == (1280, 720, 0)

        Loaded.fail = error = OSError("bad weights")
        with pytest.raises(OSError) as e:
            await Loaded.create(model_path="~/face.imx")
        assert e.value is error

    asyncio.run(main())


def test_set_model(avatar_at, tmp_path):
    old = avatar_at("old.imx", samples_per_tick=640)
    new = avatar_at("new.imx", engine="zephan2", samples_per_tick=800)
    broken = write_avatar(tmp_path / "broken.imx", "imx", raw_manifest=b"{not json")

    async def main():
        av = await Loaded.create(model_path=old, output_size=None)
        av._running = True
        before = (av._engine_id, av._fixture, av._runtime)
        with pytest.raises(ModelNotFoundError, match=f"^Ostrel model not found: {tmp_path}/gone$"):
            await av.set_model("~/gone")
        assert av._running is True and (av._engine_id, av._fixture, av._runtime) == before

        # a load that fails keeps the previous model whole; so does an unreadable manifest
        Loaded.fail = error = RuntimeError("no runtime for it")
        with pytest.raises(RuntimeError) as e:
            await av.set_model(str(new))
        assert e.value is error and av._running is False
        assert (av._engine_id, av._fixture, av._runtime) == before and av.fps == 25
        Loaded.fail = None
        with pytest.raises(json.JSONDecodeError):
            await av.set_model(str(broken))
        assert (av._engine_id, av._fixture, av._runtime) == before

        assert await av.set_model(str(new)) is None
        assert [entry[0] for entry in Loaded.log] == ["load", "stop", "load", "stop", "stop", "load"]
        assert av._engine_id == "zephan2" and av._runtime is not before[2] and av.fps == 20
        assert before[2].closed == 0

        bare = Loaded()
        Loaded.fail = error
        with pytest.raises(RuntimeError):
            await bare.set_model(str(new))
        assert not hasattr(bare, "_engine_id") and bare._fixture is None and bare._runtime is None

    asyncio.run(main())


SIZE_REFUSED = "output_size must be None or (width, height), two whole numbers from 1 to 8192, not "


@pytest.mark.parametrize("size", [(100000, 100000), (1280, 8193), (0, 720), (-1, 720), (1280.5, 720), (True, 720),
                                  (np.float32(640), 480), ("640", 480), (1280,), 1280, np.array([[640], [480]]),
                                  memoryview(b"ab")])
def test_output_size_refused_before_anything_loads(avatar_at, size):
    path = avatar_at("face.imx")
    with pytest.raises(ValueError) as refused:
        asyncio.run(Loaded.create(model_path=path, output_size=size))
    assert str(refused.value) == SIZE_REFUSED + repr(size) and Loaded.log == []
    with pytest.raises(ValueError, match="^" + re.escape(SIZE_REFUSED + repr(size)) + "$"):
        _avatar.AsyncAvatar(output_size=size)


class Fixture:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def test_properties_without_a_model():
    for size in ((1280, 720), None):
        av = _avatar.AsyncAvatar(output_size=size)
        assert (av.fps, av.settings.FPS, av.sample_rate, av.frame_width, av.frame_height) == (25, 25, 16000, None, None)
        with pytest.raises(RuntimeNotReadyError, match=r"^Fixture not loaded; await create\(\) first\.$"):
            av.samples_per_tick
    with pytest.raises(TypeError):
        _avatar.AsyncAvatar(0)


@pytest.mark.parametrize("rate, spt, fps", [
    (16000, 800, 20), (16000, 700, 22), (8000, 16000, 1), ("16000", 800.9, 20),
    (0, 800, 25), (16000, 0, 25), (-16000, -800, 25), (None, 800, 25), ("fast", 800, 25)])
def test_engine_fps(rate, spt, fps):
    av = _avatar.AsyncAvatar()
    av._fixture = Fixture(audio_sample_rate=rate, audio_samples_per_tick=spt)
    assert av._engine_fps == fps and av.fps == fps and av.settings.FPS == fps and type(av.fps) is int
    av._fixture = Fixture()
    assert av.fps == 25


def test_frame_size_and_samples_per_tick():
    for size, want in [((1280, 720), (1280, 720)), (None, (416, 720)), ([np.int16(8192), np.uint64(1)], (8192, 1))]:
        av = _avatar.AsyncAvatar(output_size=size)
        assert size is None or [type(v) for v in av._output_size] == [int, int]
        av._fixture = ScriptedFixture(spt="640", width=416.0, height=720)
        assert (av.frame_width, av.frame_height, av.samples_per_tick) == (*want, 640)
    av._fixture, av._output_size = Fixture(audio_samples_per_tick=800), None
    with pytest.raises(AttributeError):
        av.frame_width


def test_settings_transaction_id_and_kept_members():
    av = _avatar.AsyncAvatar(output_size=(640, 360))
    av._fixture = ScriptedFixture(spt=800)
    a, b = av.settings, av.settings
    assert (a.FPS, a.INPUT_SAMPLE_RATE, a.PROCESS_IDLE_VIDEO, a.ALLOW_VIDEO_SCRIPT_UPDATE, a.OUTPUT_WIDTH) == (
        20, 16000, False, True, 1280)
    a.FPS = 99
    assert b.FPS == 20 and av.settings.FPS == 20 and av.fps == 20
    proxy = _avatar.AsyncAvatar._SettingsProxy
    assert proxy.__qualname__ == "AsyncAvatar._SettingsProxy" and isinstance(a, proxy)
    assert proxy.__annotations__ == {"FPS": int, "INPUT_SAMPLE_RATE": int, "PROCESS_IDLE_VIDEO": bool,
                                     "ALLOW_VIDEO_SCRIPT_UPDATE": bool, "OUTPUT_WIDTH": int}
    assert (proxy().FPS, proxy("30").FPS, proxy(fps=12.9).FPS, vars(proxy(7))) == (25, 30, 12, {"FPS": 7})
    with pytest.raises(ValueError):
        proxy("fast")

    first = av.transaction_id
    assert uuid.UUID(first).version == 4 and str(uuid.UUID(first)) == first and av.transaction_id == first
    assert av._regenerate_transaction_id() is None and av.transaction_id not in ("", first)
    av._transaction_id = ""
    assert len(av.transaction_id) == 36

    before = dict(vars(av))
    assert av.set_identity("anyone") is None and av.video_graph is None
    assert asyncio.run(av.start(model="x", quality="low")) is None
    assert vars(av) == before
    with pytest.raises(TypeError):
        av.start(1)


E = inspect.Parameter.empty


@pytest.mark.parametrize("name, params", [
    ("create", "*model_path=None *input_buffer_size=0 *output_buffer_size=6 *num_threads=0 *verbose=None "
               "*batch_workers=1 *quality='medium' *identity=None *output_size=(1280, 720)"),  # a classmethod
    ("push_audio", "self data sample_rate last_chunk=True"),
    ("start", "self **kwargs"),
])
def test_public_members_have_signatures_and_docstrings(name, params):
    """Each is written as its parameters: a leading * keyword-only, ** for the keywords, =default."""
    member = getattr(_avatar.AsyncAvatar, name)
    shown = []
    for p in inspect.signature(member).parameters.values():
        kind = {p.KEYWORD_ONLY: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        shown.append(kind + p.name + ("" if p.default is E else "=" + repr(p.default)))
    assert " ".join(shown) == params
    assert member.__doc__ and "\n" not in member.__doc__


@pytest.mark.parametrize("name", ["settings", "fps"])
def test_properties_have_docstrings(name):
    doc = vars(_avatar.AsyncAvatar)[name].__doc__
    assert doc and "\n" not in doc and "->" not in doc
