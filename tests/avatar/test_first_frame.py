"""get_first_frame and its polling loop: the picture returned in each case
and the warning that explains every fallback."""

import logging

import numpy as np
import pytest

from halvane import _avatar
from scripted import ScriptedFixture, ScriptedRuntime

NO_MODEL = "halvane: no first frame \u2014 no model is loaded (await AsyncHalvane.create(model_path=...))"
NO_SIZE = "halvane: no first frame \u2014 this model cannot say how big a frame is (%s: %s)"
BLANK = ("halvane: the engine produced no resting frame in %.1fs; reporting this model's own %dx%d geometry "
         "with a blank frame so the session can still start")
BAD_SIZE = "halvane: no first frame \u2014 this model reports a %dx%d frame size"
POLL_FAILED = "halvane: the engine had no resting frame after %.1fs (%s: %s)"


class Polled:
    """A runtime whose get_source_frame answers from a script: a value, or
    an exception to raise; the last entry repeats."""

    def __init__(self, *script):
        self.script = list(script)
        self.polls = 0

    def get_source_frame(self, i):
        assert i == 0
        self.polls += 1
        answer = self.script[min(self.polls, len(self.script)) - 1]
        if isinstance(answer, Exception):
            raise answer
        return answer


class Sized:
    def __init__(self, size):
        self.size = size


@pytest.fixture
def quick(monkeypatch):
    monkeypatch.setattr(_avatar, "_FIRST_FRAME_WAIT_S", 0.2)
    monkeypatch.setattr(_avatar, "_FIRST_FRAME_POLL_S", 0.01)


def avatar(runtime, fixture=None, output_size=None):
    av = _avatar.AsyncAvatar(output_size=output_size)
    av._fixture = fixture if fixture is not None else ScriptedFixture(width=8, height=6)
    av._runtime = runtime
    return av


def warnings_of(caplog):
    return [(r.name, r.levelno, r.msg, r.args) for r in caplog.records]


def test_no_model(caplog):
    caplog.set_level(logging.WARNING, "halvane")
    for size in ((1280, 720), None):
        av = _avatar.AsyncAvatar(output_size=size)
        assert av.get_first_frame() is None
    av = avatar(None)  # a fixture without a runtime is no model either
    assert av.get_first_frame() is None
    assert warnings_of(caplog) == [("halvane", logging.WARNING, NO_MODEL, ())] * 3


def test_composed_sessions_answer_at_once(caplog):
    caplog.set_level(logging.WARNING, "halvane")
    for size, shape in [((1280, 720), (720, 1280, 3)), (("64", 32.5), (32, 64, 3))]:
        runtime = Polled(None)
        frame = avatar(runtime, output_size=size).get_first_frame()
        assert frame.shape == shape and frame.dtype == np.uint8 and not frame.any()
        assert runtime.polls == 0
    assert caplog.records == []


def test_native_size_returns_the_resting_picture(caplog, quick):
    caplog.set_level(logging.WARNING, "halvane")
    fx = ScriptedFixture(width=8, height=6)
    runtime = ScriptedRuntime(fx)
    frame = avatar(runtime, fx).get_first_frame()
    assert frame[0, 0, 2] == 200 and runtime.names() == ["get_source_frame"]
    # one that comes on a later poll, after empty answers and a failure
    picture = np.ones((2, 2, 3), np.uint8)
    runtime = Polled(None, np.zeros((0, 3), np.uint8), Sized(0), object(), RuntimeError("warming"), picture)
    assert avatar(runtime).get_first_frame() is picture and runtime.polls == 6
    assert caplog.records == []


@pytest.mark.parametrize("runtime, fixture, frame_shape, expected", [
    # nothing comes: a blank frame of the model's size
    (Polled(None), ScriptedFixture(width=416, height=720), (720, 416, 3), [(BLANK, (0.2, 416, 720))]),
    (Polled(np.zeros(0, np.uint8)), ScriptedFixture(width="8", height=6.5), (6, 8, 3), [(BLANK, (0.2, 8, 6))]),
    # a model that reports no usable size
    (Polled(None), ScriptedFixture(width=0, height=0), None, [(BAD_SIZE, (0, 0))]),
    (Polled(None), ScriptedFixture(width=8, height=-1), None, [(BAD_SIZE, (8, -1))]),
    # every poll fails: its warning, then the fallback's
    (Polled(RuntimeError("boom")), ScriptedFixture(width=8, height=6), (6, 8, 3),
     [(POLL_FAILED, (0.2, "RuntimeError", "boom")), (BLANK, (0.2, 8, 6))]),
    # a failure and then only empty answers still reports the failure
    (Polled(KeyError("k"), None), ScriptedFixture(width=0, height=5), None,
     [(POLL_FAILED, (0.2, "KeyError", "'k'")), (BAD_SIZE, (0, 5))]),
])
def test_fallbacks(caplog, quick, runtime, fixture, frame_shape, expected):
    caplog.set_level(logging.WARNING, "halvane")
    frame = avatar(runtime, fixture).get_first_frame()
    if frame_shape is None:
        assert frame is None
    else:
        assert frame.shape == frame_shape and frame.dtype == np.uint8 and not frame.any()
    got = [(r.msg, tuple(str(a) if isinstance(a, BaseException) else a for a in r.args)) for r in caplog.records]
    assert got == expected
    assert all(r.name == "halvane" and r.levelno == logging.WARNING for r in caplog.records)
    assert runtime.polls >= 2  # it kept polling until the deadline


def test_model_without_a_size(caplog, quick):
    caplog.set_level(logging.WARNING, "halvane")

    class NoSize:
        frame_width = 8

    assert avatar(Polled(None), NoSize()).get_first_frame() is None
    (record,) = caplog.records
    assert record.msg == NO_SIZE and record.args[0] == "AttributeError"
    assert record.getMessage().startswith("halvane: no first frame \u2014 this model cannot say how big a frame is "
                                          "(AttributeError: ")


def test_rendered_texts(caplog, quick):
    caplog.set_level(logging.WARNING, "halvane")
    avatar(Polled(ValueError("no picture yet"), None), ScriptedFixture(width=416, height=720)).get_first_frame()
    assert [r.getMessage() for r in caplog.records] == [
        "halvane: the engine had no resting frame after 0.2s (ValueError: no picture yet)",
        "halvane: the engine produced no resting frame in 0.2s; reporting this model's own 416x720 geometry with "
        "a blank frame so the session can still start",
    ]


@pytest.mark.parametrize("timeout", [0, 0.0, -5, float("nan")])
def test_wait_polls_at_least_once(timeout):
    runtime = Polled(None)
    assert avatar(runtime)._wait_source_frame(timeout) is None
    assert runtime.polls == 1
    picture = np.ones(3, np.uint8)
    assert avatar(Polled(picture))._wait_source_frame(timeout) is picture


def test_wait_reads_the_runtime_afresh_at_each_poll(monkeypatch):
    monkeypatch.setattr(_avatar, "_FIRST_FRAME_POLL_S", 0.0)
    picture = np.ones(3, np.uint8)
    av = avatar(None)

    class Swapping:
        def get_source_frame(self, i):
            av._runtime = Polled(picture)
            return None

    av._runtime = Swapping()
    assert av._wait_source_frame(5.0) is picture
