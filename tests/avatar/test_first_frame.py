"""get_first_frame and its polling: the picture in each case and the warning
that explains every fallback."""

import logging

import numpy as np
import pytest

from halvane import _avatar
from scripted import ScriptedFixture, ScriptedRuntime

NO_MODEL = "halvane: no first frame \u2014 no model is loaded (await AsyncAvatar.create(model_path=...))"
NO_SIZE = "halvane: no first frame \u2014 this model cannot say how big a frame is (%s: %s)"
BLANK = ("halvane: the engine produced no resting frame in %.1fs; reporting this model's own %dx%d geometry "
         "with a blank frame so the session can still start")
BAD_SIZE = "halvane: no first frame \u2014 this model reports a %dx%d frame size"
POLL_FAILED = "halvane: the engine had no resting frame after %.1fs (%s: %s)"


class Polled:
    """get_source_frame answers from a script (a value, or an exception to
    raise); the last answer repeats."""

    def __init__(self, *script):
        self.script, self.polls = script, 0

    def get_source_frame(self, i):
        self.polls += 1
        answer = self.script[min(self.polls, len(self.script)) - 1]
        if isinstance(answer, Exception):
            raise answer
        return answer


def avatar(runtime, fixture=None, output_size=None):
    av = _avatar.AsyncAvatar(output_size=output_size)
    av._fixture, av._runtime = fixture or ScriptedFixture(width=8, height=6), runtime
    return av


@pytest.fixture
def logged(caplog, monkeypatch):
    monkeypatch.setattr(_avatar, "_FIRST_FRAME_WAIT_S", 0.2)
    caplog.set_level(logging.WARNING, "halvane")
    return lambda: [(r.name, r.levelno, r.msg, r.args) for r in caplog.records]


def test_answers_without_waiting(logged):
    assert _avatar.AsyncAvatar().get_first_frame() is None
    assert avatar(None).get_first_frame() is None  # a fixture without a runtime is no model either
    assert logged() == [("halvane", logging.WARNING, NO_MODEL, ())] * 2
    for size, shape in [((1280, 720), (720, 1280, 3)), ((np.int64(64), np.uint8(32)), (32, 64, 3))]:
        runtime = Polled(None)
        frame = avatar(runtime, output_size=size).get_first_frame()
        assert frame.shape == shape and frame.dtype == np.uint8 and not frame.any() and runtime.polls == 0
    fx = ScriptedFixture(width=8, height=6)
    runtime = ScriptedRuntime(fx)
    assert avatar(runtime, fx).get_first_frame()[0, 0, 2] == 200 and runtime.names() == ["get_source_frame"]
    picture = np.ones((2, 2, 3), np.uint8)

    class Sized:
        size = 0

    runtime = Polled(None, np.zeros((0, 3), np.uint8), Sized(), object(), RuntimeError("warming"), picture)
    assert avatar(runtime).get_first_frame() is picture and runtime.polls == 6
    assert len(logged()) == 2


class NoHeight:
    frame_width = 8


@pytest.mark.parametrize("runtime, fixture, shape, expected", [
    (Polled(None), ScriptedFixture(width=416, height=720), (720, 416, 3), [(BLANK, (0.2, 416, 720))]),
    (Polled(np.zeros(0)), ScriptedFixture(width="8", height=6.5), (6, 8, 3), [(BLANK, (0.2, 8, 6))]),
    (Polled(None), ScriptedFixture(width=0, height=0), None, [(BAD_SIZE, (0, 0))]),
    (Polled(None), ScriptedFixture(width=8, height=-1), None, [(BAD_SIZE, (8, -1))]),
    (Polled(None), NoHeight(), None, [(NO_SIZE, ("AttributeError", "'NoHeight' object has no attribute 'frame_height'"))]),
    (Polled(RuntimeError("boom")), ScriptedFixture(width=8, height=6), (6, 8, 3),
     [(POLL_FAILED, (0.2, "RuntimeError", "boom")), (BLANK, (0.2, 8, 6))]),
    # a failure followed by empty answers is still reported
    (Polled(KeyError("k"), None), ScriptedFixture(width=0, height=5), None,
     [(POLL_FAILED, (0.2, "KeyError", "'k'")), (BAD_SIZE, (0, 5))]),
])
def test_fallbacks(logged, runtime, fixture, shape, expected):
    frame = avatar(runtime, fixture).get_first_frame()
    assert frame is None if shape is None else (frame.shape == shape and frame.dtype == np.uint8 and not frame.any())
    got = [(msg, tuple(str(a) if isinstance(a, BaseException) else a for a in args)) for _, _, msg, args in logged()]
    assert got == expected and runtime.polls >= 2


def test_rendered_texts(logged, caplog):
    avatar(Polled(ValueError("no picture yet"), None), ScriptedFixture(width=416, height=720)).get_first_frame()
    assert [r.getMessage() for r in caplog.records] == [
        "halvane: the engine had no resting frame after 0.2s (ValueError: no picture yet)",
        "halvane: the engine produced no resting frame in 0.2s; reporting this model's own 416x720 geometry with "
        "a blank frame so the session can still start"]


def test_wait_polls_at_least_once_and_reads_the_runtime_afresh():
    for timeout in (0, -5, float("nan")):
        runtime = Polled(None)
        assert avatar(runtime)._wait_source_frame(timeout) is None and runtime.polls == 1
    picture = np.ones(3, np.uint8)
    av = avatar(None)

    class Swapping:
        def get_source_frame(self, i):
            av._runtime = Polled(picture)

    av._runtime = Swapping()
    assert av._wait_source_frame(5.0) is picture
