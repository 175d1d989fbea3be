"""Creation, model loading, settings and properties of AsyncAvatar.

The bundle loader is replaced by a test subclass that builds a scripted
fixture and runtime from the avatar's manifest, as the real loader would, and
records where it ran; the avatars are real files, so the engine id comes from
the manifest reader."""

import asyncio
import json
import threading
import uuid

import pytest

from halvane import _avatar
from halvane._exceptions import ModelNotFoundError, RuntimeNotReadyError
from halvane._imx_engine import read_manifest
from scripted import ScriptedFixture, ScriptedRuntime
from tools.make_ostrel1_avatar import manifest, write_avatar


class Loaded(_avatar.AsyncAvatar):
    """Loads scripted models; `fail_after` (an exception) makes the load set
    a new fixture and then raise."""

    log = []
    fail_after = None

    def _load_fixture_blocking(self, path):
        Loaded.log.append(("load", path, threading.current_thread().name))
        m = read_manifest(path)
        self._fixture = ScriptedFixture(spt=m["audio_samples_per_tick"], rate=m["audio_sample_rate"],
                                        width=m["frame_width"], height=m["frame_height"])
        if Loaded.fail_after is not None:
            raise Loaded.fail_after
        self._runtime = ScriptedRuntime(self._fixture)
        return "ignored"

    async def stop(self):
        Loaded.log.append(("stop",))
        self._running = False


@pytest.fixture(autouse=True)
def fresh_log():
    Loaded.log = []
    Loaded.fail_after = None


@pytest.fixture
def avatars(tmp_path):
    def make(name, **overrides):
        return write_avatar(tmp_path / name, "imx", manifest(**overrides))
    return make


def run(coro):
    return asyncio.run(coro)


def test_create_loads_on_the_default_executor(avatars):
    path = avatars("face.imx", width=64, height=48, samples_per_tick=800)

    async def main():
        av = await Loaded.create(model_path=path, output_size=None, input_buffer_size=2, output_buffer_size=3,
                                 num_threads=4, verbose=True, batch_workers=9, quality="high", identity="x")
        assert type(av) is Loaded
        assert av._engine_id == "ostrel1"
        (load,) = Loaded.log
        assert load[:2] == ("load", str(path)) and load[2] != threading.current_thread().name
        assert isinstance(av._runtime, ScriptedRuntime) and av._runtime.fx is av._fixture
        assert (av._in_queue.maxsize, av._out_queue.maxsize, av._num_threads) == (2, 3, 4)
        assert (av.frame_width, av.frame_height, av.fps, av.samples_per_tick) == (64, 48, 20, 800)
        assert av._running is False and av._producer_task is None

        default = await Loaded.create(model_path=str(path))
        assert default._output_size == (1280, 720) and (default.frame_width, default.frame_height) == (1280, 720)
        assert (default._in_queue.maxsize, default._out_queue.maxsize, default._num_threads) == (0, 6, 0)

    run(main())


def test_create_and_set_model_refusals(avatars, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    avatars("home.imx")

    async def main():
        with pytest.raises(ValueError) as e:
            await Loaded.create()
        assert str(e.value) == "AsyncAvatar.create: model_path is required"
        with pytest.raises(ModelNotFoundError) as e:
            await Loaded.create(model_path="~/missing.imx")
        assert str(e.value) == f"Ostrel model not found: {tmp_path}/missing.imx"
        with pytest.raises(TypeError):
            await Loaded.create(str(tmp_path / "home.imx"))
        assert Loaded.log == []

        av = await Loaded.create(model_path="~/home.imx")
        assert Loaded.log[0][1] == f"{tmp_path}/home.imx"
        av._running = True
        fixture, runtime = av._fixture, av._runtime
        with pytest.raises(ModelNotFoundError) as e:
            await av.set_model("~/gone")
        assert str(e.value) == f"Ostrel model not found: {tmp_path}/gone"
        assert av._running is True and (av._fixture, av._runtime) == (fixture, runtime)
        assert [entry[0] for entry in Loaded.log] == ["load"]

    run(main())


def test_create_passes_the_loaders_error_on(avatars):
    path = avatars("face.imx")
    error = OSError("bad weights")
    Loaded.fail_after = error

    async def main():
        with pytest.raises(OSError) as e:
            await Loaded.create(model_path=path)
        assert e.value is error

    run(main())


def test_set_model_stops_then_loads_the_new_model(avatars):
    old = avatars("old.imx", samples_per_tick=640)
    new = avatars("new.imx", engine="zephan2", samples_per_tick=800)

    async def main():
        av = await Loaded.create(model_path=old, output_size=None)
        old_runtime = av._runtime
        av._running = True
        assert av.fps == 25
        assert await av.set_model(str(new)) is None
        assert [entry[0] for entry in Loaded.log] == ["load", "stop", "load"]
        assert av._engine_id == "zephan2" and av._runtime is not old_runtime and av.fps == 20
        assert old_runtime.closed == 0 and av._running is False

    run(main())


def test_a_failed_set_model_keeps_the_previous_model(avatars, tmp_path):
    old = avatars("old.imx", samples_per_tick=640)
    new = avatars("new.imx", engine="zephan2", samples_per_tick=800)
    broken = write_avatar(tmp_path / "broken.imx", "imx", raw_manifest=b"{not json")

    async def main():
        av = await Loaded.create(model_path=old)
        before = (av._engine_id, av._fixture, av._runtime)
        error = RuntimeError("no runtime for it")
        Loaded.fail_after = error
        with pytest.raises(RuntimeError) as e:
            await av.set_model(str(new))
        assert e.value is error
        assert (av._engine_id, av._fixture, av._runtime) == before
        assert av.fps == 25 and av._running is False

        Loaded.fail_after = None
        with pytest.raises(json.JSONDecodeError):
            await av.set_model(str(broken))
        assert (av._engine_id, av._fixture, av._runtime) == before

        # an avatar that never had a model has no engine id afterwards either
        bare = Loaded()
        Loaded.fail_after = error
        with pytest.raises(RuntimeError):
            await bare.set_model(str(new))
        assert not hasattr(bare, "_engine_id") and bare._fixture is None and bare._runtime is None

    run(main())


def test_constructor_is_keyword_only_and_empty():
    av = _avatar.AsyncAvatar()
    assert av._fixture is None and av._runtime is None and not hasattr(av, "_engine_id")
    with pytest.raises(TypeError):
        _avatar.AsyncAvatar(0)


def test_properties_without_a_model():
    for size in ((1280, 720), None):
        av = _avatar.AsyncAvatar(output_size=size)
        assert (av.fps, av.settings.FPS, av.sample_rate) == (25, 25, 16000)
        assert av.frame_width is None and av.frame_height is None
        with pytest.raises(RuntimeNotReadyError) as e:
            av.samples_per_tick
        assert str(e.value) == "Fixture not loaded; await create() first."


class Fixture:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


@pytest.mark.parametrize("rate, spt, fps", [
    (16000, 800, 20),
    (16000, 640, 25),
    (16000, 700, 22),     # floor quotient
    (8000, 16000, 1),     # never below 1
    ("16000", 800.9, 20),  # converted to int first
    (0, 800, 25),
    (16000, 0, 25),
    (-16000, -800, 25),
    (None, 800, 25),
    ("fast", 800, 25),
])
def test_engine_fps(rate, spt, fps):
    av = _avatar.AsyncAvatar()
    av._fixture = Fixture(audio_sample_rate=rate, audio_samples_per_tick=spt)
    assert av._engine_fps == fps and av.fps == fps and av.settings.FPS == fps
    assert type(av.fps) is int
    av._fixture = Fixture()  # no cadence at all
    assert av.fps == 25


def test_frame_size_and_samples_per_tick():
    fx = ScriptedFixture(spt="640", width=416.0, height=720)
    cases = [((1280, 720), (1280, 720)), (None, (416, 720)), (("640", 480.7), (640, 480))]
    for size, want in cases:
        av = _avatar.AsyncAvatar(output_size=size)
        av._fixture = fx
        assert (av.frame_width, av.frame_height) == want
        assert av.samples_per_tick == 640
    av = _avatar.AsyncAvatar(output_size=None)
    av._fixture = Fixture(audio_samples_per_tick=800)
    with pytest.raises(AttributeError):
        av.frame_width
    av._output_size = 5
    with pytest.raises(TypeError):
        av.frame_height


def test_settings_proxy():
    av = _avatar.AsyncAvatar(output_size=(640, 360))
    av._fixture = ScriptedFixture(spt=800)
    a, b = av.settings, av.settings
    assert a is not b and isinstance(a, av._SettingsProxy)
    assert (a.FPS, a.INPUT_SAMPLE_RATE, a.PROCESS_IDLE_VIDEO, a.ALLOW_VIDEO_SCRIPT_UPDATE, a.OUTPUT_WIDTH) == (
        20, 16000, False, True, 1280)
    a.FPS = 99
    assert b.FPS == 20 and av.fps == 20 and av.settings.FPS == 20

    proxy = _avatar.AsyncAvatar._SettingsProxy
    assert proxy.__qualname__ == "AsyncAvatar._SettingsProxy" and proxy.__bases__ == (object,)
    assert proxy.__annotations__ == {"FPS": int, "INPUT_SAMPLE_RATE": int, "PROCESS_IDLE_VIDEO": bool,
                                     "ALLOW_VIDEO_SCRIPT_UPDATE": bool, "OUTPUT_WIDTH": int}
    assert proxy().FPS == 25 and proxy.FPS == 25
    assert proxy("30").FPS == 30 and proxy(fps=12.9).FPS == 12
    assert "FPS" in vars(proxy(7)) and "OUTPUT_WIDTH" not in vars(proxy(7))
    with pytest.raises(ValueError):
        proxy("fast")


def test_transaction_id():
    av = _avatar.AsyncAvatar()
    first = av.transaction_id
    assert str(uuid.UUID(first)) == first and uuid.UUID(first).version == 4
    assert av.transaction_id == first
    assert av._regenerate_transaction_id() is None
    second = av.transaction_id
    assert second != first and str(uuid.UUID(second)) == second
    av._transaction_id = ""
    assert av.transaction_id not in ("", second)


def test_members_kept_for_earlier_callers():
    av = _avatar.AsyncAvatar()
    before = dict(vars(av))
    assert av.set_identity("anyone") is None
    assert asyncio.run(av.start(model="x", quality="low")) is None
    assert av.video_graph is None
    assert vars(av) == before
    with pytest.raises(TypeError):
        av.set_identity()
    with pytest.raises(TypeError):
        av.start(1)
