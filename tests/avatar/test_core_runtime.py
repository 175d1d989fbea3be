"""The engine runtime as the live interface drives it: ostrel1 ticks one per
`spt` samples, zephan-2 ticks in the real host's chunks, the end of an
utterance, resets, composing with a cursor, the resting picture while
another thread pushes, closing once, and the loader that builds them."""

import json
import threading
from pathlib import Path

import numpy as np
import pytest

import halvane._core as core
from halvane._loader import NativeFixtureLoaderMixin
from halvane.unified_header import ENGINE_ZEPHAN2, is_v2_engine
from tools.make_demo_bundle import write_demo_bundle
from tools.make_ostrel1_avatar import FACE, manifest, tick_of, write_avatar

SPT = 640


@pytest.fixture(scope="module")
def ostrel1(tmp_path_factory):
    NativeFixtureLoaderMixin._register_default_audio_encoder()
    return str(write_avatar(tmp_path_factory.mktemp("o1") / "face.imx"))


@pytest.fixture(scope="module")
def z2_fixture(tmp_path_factory):
    NativeFixtureLoaderMixin._register_default_audio_encoder()
    return core.Fixture(str(write_demo_bundle(tmp_path_factory.mktemp("z2"))["imx"]))


def tone(n, seed=0):
    t = np.arange(n) / 16000.0
    return (0.4 * np.sin(2 * np.pi * (180 + 40 * seed) * t)).astype(np.float32)


def test_engine_ids():
    cases = {"zephan2": True, "ostrel2-light": True, "ostrel2-golden": True, "ostrel2-unified": True,
             "ostrel1": False, None: False, "ostrel2-": False, "zephan": False, "": False, 2: False}
    assert {k: is_v2_engine(k) for k in cases} == cases and ENGINE_ZEPHAN2 == "zephan2"


def test_ostrel1_ticks_and_compose_cursor(ostrel1):
    rt = core.Runtime(core.Fixture(ostrel1))
    rt.push_audio(tone(SPT * 2 + 100))
    assert rt.ticks_available() == 2
    rt.push_audio(tone(SPT - 100))
    assert [tick_of(rt.pull_frame(-1)[1]) for _ in range(3)] == [0, 1, 2] and rt.ticks_available() == 0

    buf = tone(3 * SPT + 5)
    got = [rt.tick_compose_to_size(buf, -1, 160, 96) for _ in range(3)]
    assert [k for k, _ in got] == [0, 1, 2] and [tick_of(p) for _, p in got] == [0, 1, 2]
    with pytest.raises(ValueError, match="cursor past end"):
        rt.tick_compose_to_size(buf, -1, 160, 96)
    grown = np.concatenate([buf, tone(SPT, 1)])  # the same utterance, longer
    k, pic = rt.tick_compose_to_size(grown, -1, 320, 48)
    assert k == 3 and pic.shape == (48, 320, 3) and pic.dtype == np.uint8
    # a buffer that does not continue the utterance starts a new one; so does a reset
    assert rt.tick_compose_to_size(tone(4 * SPT, 2), -1, 8, 8)[0] == 0
    assert rt.tick_compose_to_size(tone(4 * SPT, 2), -1, 8, 8)[0] == 1
    rt.reset_stream()
    assert rt.tick_compose_to_size(tone(4 * SPT, 2), -1, 8, 8)[0] == 0
    for bad in [(0, 8), (8, -1), (8.0, 8)]:
        with pytest.raises(ValueError):
            rt.tick_compose_to_size(tone(4 * SPT, 2), -1, *bad)


@pytest.mark.parametrize("size, box", [
    ((480, 480), (0, 96, 3)),    # 480 x 288 at y 96: margins above and below
    ((640, 192), (160, 0, 2)),   # 320 x 192 at x 160: margins left and right
    ((160, 96), (0, 0, 1)),      # the native size: the picture as it is
], ids=["letterbox", "pillarbox", "native"])
def test_ostrel1_compose_fits_the_picture_with_its_aspect(ostrel1, size, box):
    buf = tone(2 * SPT)
    native = core.Runtime(core.Fixture(ostrel1))
    native.push_audio(buf)
    want = native.pull_frame(-1)[1]
    k, pic = core.Runtime(core.Fixture(ostrel1)).tick_compose_to_size(buf, -1, *size)
    x, y, scale = box
    h, w = want.shape[0] * scale, want.shape[1] * scale
    assert k == 0 and pic.shape == (size[1], size[0], 3)
    np.testing.assert_array_equal(pic[y:y + h, x:x + w], want.repeat(scale, 0).repeat(scale, 1))
    margin = np.ones(pic.shape[:2], bool)
    margin[y:y + h, x:x + w] = False
    assert (pic[margin] == FACE["background"]).all()


def test_zephan2_chunks_end_and_reset(z2_fixture):
    fx = z2_fixture
    assert (fx.audio_sample_rate, fx.audio_samples_per_tick, fx.frame_width, fx.frame_height) == (16000, 800, 416, 720)
    rt = core.Runtime(fx)
    try:
        assert isinstance(rt, core.HostRuntime)
        assert [rt.samples_for_chunk(n) for n in range(4)] == [25600, 44000, 69600, 95200]
        counts = []
        for n in (25599, 1, 18399, 1, 25600):  # chunk 0 at 25600 samples, chunk 1 at 44000, chunk 2 at 69600
            rt.push_audio(tone(n))
            counts.append(rt.ticks_available())
        assert counts == [0, 22, 22, 54, 86]
        ticks = [rt.pull_frame(-1) for _ in range(30)]
        assert [t for t, _ in ticks] == list(range(30))
        assert all(p.shape == (720, 416, 3) and p.dtype == np.uint8 and p.flags.c_contiguous for _, p in ticks)
        assert np.array_equal(ticks[0][1], ticks[1][1])  # the host's first picture comes twice
        rt.end_utterance()  # 69600 samples end at frame 87: the flush renders chunk 3
        assert rt.ticks_available() == 56 + 32
        rt.push_audio(tone(25600, 1))  # a new utterance: the tail left over is dropped
        assert rt.ticks_available() == 22 and rt.pull_frame(-1)[0] == 0
        rt.reset_stream()
        assert rt.ticks_available() == 0
        rt.push_audio(tone(25600, 1))
        assert rt.ticks_available() == 22 and rt.pull_frame(-1)[0] == 0
        with pytest.raises(ValueError):
            rt.samples_for_chunk(-1)
    finally:
        rt.close()


def test_zephan2_compose_then_push_whole(z2_fixture):
    rt = core.Runtime(z2_fixture)
    try:
        buf = tone(30000)
        with pytest.raises(ValueError, match="cursor past end"):  # the host renders whole chunks
            rt.tick_compose_to_size(buf[:20000], -1, 208, 360)
        got = [rt.tick_compose_to_size(buf, -1, 208, 360) for _ in range(22)]
        assert [k for k, _ in got] == list(range(22)) and got[0][1].shape == (360, 208, 3)
        with pytest.raises(ValueError, match="cursor past end"):
            rt.tick_compose_to_size(buf, -1, 208, 360)
        # pushed whole from its first sample, the utterance goes on after the composed ticks
        rt.push_audio(np.concatenate([buf, tone(14000, 3)]))
        assert rt.ticks_available() == 32 and rt.pull_frame(-1)[0] == 22
    finally:
        rt.close()


def test_zephan2_compose_short_then_push_whole_feeds_each_sample_once(z2_fixture):
    def frames(rt):
        rt.end_utterance()
        return [rt.pull_frame(-1)[1] for _ in range(rt.ticks_available())]

    buf = tone(20000)  # shorter than chunk 0: composing feeds part of it and renders nothing
    rt = core.Runtime(z2_fixture)
    try:
        with pytest.raises(ValueError, match="cursor past end"):
            rt.tick_compose_to_size(buf[:10000], -1, 208, 360)
        rt.push_audio(buf)
        got = frames(rt)
        rt.push_audio(buf)  # the same utterance pushed whole from the start
        want = frames(rt)
    finally:
        rt.close()
    assert len(got) == len(want) and all(np.array_equal(g, w) for g, w in zip(got, want))


def test_zephan2_compose_renders_a_long_buffer_a_chunk_at_a_time(z2_fixture):
    rt = core.Runtime(z2_fixture)
    try:
        buf = tone(16000 * 20)  # a long reply pushed at once
        ready = []
        for k in range(56):
            assert rt.tick_compose_to_size(buf, -1, 208, 360)[0] == k
            ready.append(rt.ticks_available())
        # rendered and not composed yet: chunk 0 (22 ticks) for tick 0, chunk 1 (32) for tick 22, chunk 2 for tick 54
        assert ready == list(range(21, -1, -1)) + list(range(31, -1, -1)) + [31, 30]
    finally:
        rt.close()


def test_resting_picture_while_pushing_and_close_once(z2_fixture, monkeypatch):
    rt = core.Runtime(z2_fixture)
    pid = rt._stream.host.pid
    inside, release, seen = threading.Event(), threading.Event(), []
    spend = core._spend

    def held_render(fx, n):  # the push holds here, inside push_audio, until the main thread looked
        inside.set()
        assert release.wait(60)
        spend(fx, n)

    monkeypatch.setattr(core, "_spend", held_render)
    pusher = threading.Thread(target=rt.push_audio, args=(tone(25600),))
    pusher.start()
    try:
        assert inside.wait(60)
        seen += [rt.get_source_frame(-1), rt.get_source_frame(0), rt.get_source_frame(3), rt.ticks_available()]
    finally:
        release.set()
        pusher.join()
    rest, probe, other, during = seen
    assert rest.shape == (720, 416, 3) and np.array_equal(rest, probe) and other is None and during == 0
    assert rt.ticks_available() == 22
    rest[:] = 0  # a copy: the cached picture stays
    assert rt.get_source_frame(-1).any()
    rt.close()
    rt.close()
    assert not Path(f"/proc/{pid}").exists()
    for call in (rt.ticks_available, lambda: rt.push_audio(tone(10)), rt.reset_stream, rt.end_utterance):
        with pytest.raises(RuntimeError, match="closed"):
            call()


def test_tick_cost(ostrel1, monkeypatch):
    slept = []
    monkeypatch.setattr(core.time, "sleep", slept.append)
    for raw, cost in [("", 0.0), (" 25 ", 0.025), ("0", 0.0)]:
        monkeypatch.setenv("HALVANE_TICK_COST_MS", raw)
        assert core.Fixture(ostrel1).tick_cost_s == cost
    monkeypatch.setenv("HALVANE_TICK_COST_MS", "40")
    fx = core.Fixture(ostrel1)
    rt = core.Runtime(fx)
    rt.push_audio(tone(SPT * 2))
    rt.pull_frame(-1)
    rt.tick_compose_to_size(tone(SPT), -1, 16, 16)
    assert slept == [0.04, 0.04]
    for raw in ["-1", "fast", "nan", "inf"]:
        monkeypatch.setenv("HALVANE_TICK_COST_MS", raw)
        with pytest.raises(ValueError, match="HALVANE_TICK_COST_MS"):
            core.Fixture(ostrel1)


def test_loader(ostrel1, z2_fixture, tmp_path):
    class Loader(NativeFixtureLoaderMixin):
        def __init__(self, n):
            self._num_threads = n

    av = Loader(3)
    av._load_fixture_blocking(ostrel1)
    assert av._fixture.intra_op_threads == 3 and type(av._runtime) is core.Runtime
    av = Loader(0)
    av._load_fixture_blocking(z2_fixture.source)
    try:
        assert isinstance(av._runtime, core.HostRuntime) and av._fixture.intra_op_threads is None
    finally:
        av._runtime.close()
    o2 = write_avatar(tmp_path / "o2.imx", raw_manifest=json.dumps(manifest(engine="ostrel2-light")).encode())
    with pytest.raises(ValueError, match="'ostrel2-light'.*cannot run"):
        Loader(0)._load_fixture_blocking(str(o2))
