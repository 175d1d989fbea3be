"""The fixture engine over the engine runtime: construction and its refusals,
the frames generator's chunk and tick order, the stream shared between
renders, interruption and closing; and the runtime layer underneath."""

import collections
import collections.abc
import importlib.util
import json
from pathlib import Path

import numpy as np
import pytest

import halvane._core as core
import halvane._loader as loader
import halvane._threads as threads
from halvane._errors import InvalidAvatar
from halvane._open import _FixtureEngine

_spec = importlib.util.spec_from_file_location(
    "make_ostrel1_avatar", Path(__file__).resolve().parents[2] / "tools" / "make_ostrel1_avatar.py")
mk = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(mk)

SPT = 640


@pytest.fixture(scope="module")
def avatar(tmp_path_factory):
    return str(mk.write_avatar(tmp_path_factory.mktemp("av") / "face.imx"))


def pcm(ticks, amplitude=0.5):
    """`ticks` ticks of a 200 Hz tone as PCM bytes (fractions allowed)."""
    t = np.arange(round(ticks * SPT)) / 16000
    return (amplitude * np.sin(2 * np.pi * 200 * t) * 32767).astype(np.int16).tobytes()


class FakeRuntime:
    """Records pushes; hands out `pictures` as pull results, one per 640 samples."""

    def __init__(self, pictures):
        self.pictures = list(pictures)
        self.pushed, self.samples, self.resets = [], 0, 0
        self.fail_reset = False

    def push_audio(self, samples):
        self.pushed.append(samples)
        self.samples += len(samples)

    def ticks_available(self):
        return min(self.samples // SPT, len(self.pictures))

    def pull_frame(self, *args):
        assert args == ()
        self.samples -= SPT
        return self.pictures.pop(0)

    def reset_stream(self):
        self.resets += 1
        if self.fail_reset:
            raise RuntimeError("reset failed")


def test_construction(avatar, tmp_path, monkeypatch):
    for container in ("imx", "zip", "dir"):
        e = _FixtureEngine(str(mk.write_avatar(tmp_path / container, container)))
        assert isinstance(e._fx, core.Fixture) and isinstance(e._rt, core.Runtime)
        assert e._fx.intra_op_threads == threads.default_threads(threads.OSTREL1)
        assert not hasattr(e, "frames_per_second") and not hasattr(e, "stop_reason")
    assert core.audio_encoders()["default"] is loader._rms_loudness

    seen, real_fixture = [], core.Fixture

    def spy_fixture(source, **kw):
        seen.append((source, kw, dict(core.audio_encoders())))
        return real_fixture(source, **kw)

    monkeypatch.setattr(core, "_audio_encoders", {})
    monkeypatch.setattr(core, "Fixture", spy_fixture)
    monkeypatch.setattr(threads, "default_threads", lambda key: {threads.OSTREL1: 3}[key])
    _FixtureEngine(avatar)
    (source, kw, encoders), = seen
    assert source is avatar and kw == {"preferred_ep": core.EP_AUTO, "intra_op_threads": 3}
    assert "default" in encoders  # registered before the fixture was built

    monkeypatch.setattr(core, "Runtime", lambda fx: (_ for _ in ()).throw(RuntimeError("no runtime")))
    with pytest.raises(RuntimeError, match="no runtime"):  # not mapped
        _FixtureEngine(avatar)
    monkeypatch.setattr(core, "Fixture", lambda *a, **k: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        _FixtureEngine(avatar)


def test_unusable_avatars(tmp_path):
    def man(**kw):
        return json.dumps(mk.manifest(**kw)).encode()
    face = mk.manifest()["face"]
    cases = [  # manifest bytes (None: no file at all), detail type
        (None, FileNotFoundError),
        (b"{not json", ValueError),
        (man(engine="zephan2"), ValueError),
        (man(width=8), ValueError),
        (man(samples_per_tick=0), ValueError),
        (man(audio_sample_rate=48000), ValueError),
        (man(face={**face, "mouth": [0, 0, 256]}), ValueError),
    ]
    for i, (raw, kind) in enumerate(cases):
        path = tmp_path / f"a{i}.imx"
        if raw is not None:
            mk.write_avatar(path, raw_manifest=raw)
        with pytest.raises(InvalidAvatar) as e:
            _FixtureEngine(str(path))
        err = e.value
        assert str(err) == "that is not a usable avatar" and isinstance(err.detail, kind), raw
        assert err.__cause__ is None and err.__suppress_context__ and err.__context__ is err.detail
    (tmp_path / "plain.bin").write_bytes(b"neither zip nor IMX")
    with pytest.raises(InvalidAvatar):
        _FixtureEngine(str(tmp_path / "plain.bin"))


def test_frames_follow_chunks_and_ticks(avatar):
    e = _FixtureEngine(avatar)
    drawn = []

    def chunks():
        for c in [pcm(2), b"", pcm(0.25, 0.0), pcm(0.75, 0.0), pcm(0.1, 0.0)]:
            drawn.append(len(c))
            yield c

    gen = e.frames(chunks())
    assert drawn == []  # nothing before the first frame is asked for
    first = next(gen)
    assert drawn == [len(pcm(2))]  # the frames of a chunk come before the next chunk is drawn
    rest = list(gen)
    # Two loud ticks give two frames; the empty chunk and the quarter tick of
    # silence none; three more quarters complete a silent third; the tenth
    # stays below a tick.
    assert [mk.tick_of(f) for f in [first] + rest] == [0, 1, 2]
    heights = [mk.mouth_height(f) for f in [first] + rest]
    assert heights[0] > 10 and heights[1] > 10 and heights[2] == 1
    for f in [first] + rest:
        assert f.shape == (96, 160, 3) and f.dtype == np.uint8 and f.flags.c_contiguous
        assert list(f[10, 2]) == [0, 0, 255]  # the runtime's blue background (BGR 255, 0, 0), now RGB
    # A second render starts clean: the tenth left by the first is not part of
    # its first tick, and ticks count from 0 again.
    assert list(e.frames([pcm(0.9)])) == []
    assert [mk.tick_of(f) for f in e.frames([pcm(0.95), pcm(0.05)])] == [0]
    assert list(e.frames([pcm(0.99)])) == []  # a clip shorter than one tick


def test_pull_results_and_conversion(avatar):
    e = _FixtureEngine(avatar)
    bgr = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
    Pulled = collections.namedtuple("Pulled", "index picture")
    results = [(7, bgr), Pulled(8, bgr), bgr, bgr[::-1, ::-1], bgr.astype(np.int32), bgr.tolist()]
    want = [bgr[..., ::-1].copy()] * 3 + [bgr[::-1, ::-1, ::-1].copy()] + [bgr[..., ::-1].copy()] * 2
    fake = FakeRuntime(results)
    e._rt = fake
    samples = np.array([-32768, 32767, 0, 1] + [0] * (6 * SPT - 4), np.int16).tobytes()
    frames = list(e.frames([samples]))
    bgr[:] = 0  # the frames own their memory
    assert len(frames) == len(want)
    for f, w in zip(frames, want):
        assert f.flags.c_contiguous and np.array_equal(f, w)
    (pushed,) = fake.pushed
    assert pushed.dtype == np.float32 and pushed.ndim == 1 and pushed.flags.c_contiguous
    assert list(pushed[:4]) == [-1.0, np.float32(32767 / 32768), 0.0, np.float32(1 / 32768)]

    fake.fail_reset = True
    e.interrupt()  # the runtime's failure is swallowed
    assert fake.resets == 2  # the render's own clean start, then the interrupt
    fake.fail_reset = False
    odd = e.frames([pcm(1), b"\x01\x02\x03"])
    with pytest.raises(ValueError):
        list(odd)
    assert list(odd) == []


def test_runtime_taken_at_first_step_and_close(avatar):
    e = _FixtureEngine(avatar)
    gen = e.frames([pcm(1), b"", pcm(1)])
    assert isinstance(gen, collections.abc.Generator)
    other = FakeRuntime([np.zeros((1, 1, 3), np.uint8)] * 2)
    e._rt = other  # the generator has not started: it takes this one
    next(gen)
    e._rt = None
    assert len(list(gen)) == 1 and len(other.pushed) == 2
    closed = e.frames([pcm(1)])
    closed.close()
    assert list(closed) == []

    e = _FixtureEngine(avatar)
    e.close()
    assert e._rt is None and e._fx is None
    e.interrupt()  # harmless after close
    assert list(e.frames([b"", b""])) == []
    with pytest.raises(AttributeError):
        list(e.frames([b"", pcm(1)]))


def test_runtime_layer(avatar):
    fx = core.Fixture(avatar, intra_op_threads=1)
    assert (fx.audio_sample_rate, fx.audio_samples_per_tick, fx.frame_width, fx.frame_height) == (16000, 640, 160, 96)
    rt = core.Runtime(fx)
    with pytest.raises(RuntimeError, match="no tick is ready"):
        rt.pull_frame()
    rt.push_audio(np.zeros(SPT * 2 + 1, np.float32))
    assert rt.ticks_available() == 2 and rt.pull_frame(-1)[0] == 0
    rest = rt.get_source_frame(-1)
    assert rest.shape == (96, 160, 3) and mk.mouth_height(rest, rgb=False) == 1
    assert rt.get_source_frame(5) is None
    with pytest.raises(ValueError):
        rt.push_audio(np.zeros((2, 2), np.float32))
    rt.close()
    with pytest.raises(RuntimeError, match="closed"):
        rt.push_audio(np.zeros(4, np.float32))
    for bad in [{"preferred_ep": "gpu"}, {"intra_op_threads": 0}, {"intra_op_threads": True}]:
        with pytest.raises(ValueError):
            core.Fixture(avatar, **bad)
    assert 1 <= threads.default_threads(threads.OSTREL1) <= 4
    with pytest.raises(ValueError):
        threads.default_threads("ostrel9")
    levels = [loader._rms_loudness(np.full(SPT, a, np.float32)) for a in (0.0, 0.001, 0.05, 0.5, 1.0)]
    assert levels[0] == 0.0 and levels == sorted(levels) and levels[-1] == 1.0 and 0 < levels[2] < 1
