"""Avatar and its render loop, driven through the public surface with small
recording engines: laziness, the one interrupt of an abandoned render, the
error mapping, the short-render check, statistics and their log line, the
avatar's release, and the generator protocol."""

import collections
import collections.abc
import gc
import logging
import pathlib
import sys
import time

import pytest

from halvane import _open
from halvane._errors import AvatarError, Failed, InvalidAvatar, NotSupported
from halvane._session import EngineFailed, EngineUnavailable

SECOND = 32000  # PCM bytes of one second
STATS_FORMAT = ("halvane: render %d frames in %.2f s = %.1f fps steady state "
                "(first audio push -> last frame; model load excluded)")
NO_FRAMES = "no frames came out of that render — check that the audio has speech in it, then try again"


class Engine:
    """Yields `n` frames after drawing every chunk; fails at frame `fail_at`."""

    def __init__(self, n=3, fail_at=None, error=None, interrupt_error=None, close_error=None, **attrs):
        self.n, self.fail_at, self.error = n, fail_at, error
        self.interrupt_error, self.close_error = interrupt_error, close_error
        self.calls, self.chunks = [], []
        self.__dict__.update(attrs)  # frames_per_second, stop_reason

    def frames(self, chunks):
        self.calls.append("frames")
        return self._frames(chunks)

    def _frames(self, chunks):
        box = self.__dict__.pop("box", None)  # noqa: F841 -- held by this frame while it is suspended
        for c in chunks:
            self.chunks.append(c)
        for i in range(self.n):
            if i == self.fail_at:
                raise self.error
            yield ("frame", i)

    def interrupt(self):
        self.calls.append("interrupt")
        if self.interrupt_error:
            raise self.interrupt_error

    def close(self):
        self.calls.append("close")
        if self.close_error:
            raise self.close_error


def avatar(engine_id="ostrel1", **kw):
    e = Engine(**kw)
    return _open.Avatar(e, engine_id), e


def test_render_is_lazy_and_refuses_at_the_first_request_when_closed():
    a, e = avatar()
    g = a.render(b"\0" * SECOND)
    assert isinstance(g, collections.abc.Generator) and iter(g) is g
    assert e.calls == []
    g.close()  # an unstarted generator never interrupts
    dropped = a.render(b"\0" * SECOND)
    del dropped
    gc.collect()
    assert e.calls == []

    a._release()
    g = a.render(7)  # not even the audio is looked at before the first request
    with pytest.raises(Failed) as info:
        next(g)
    assert str(info.value) == "this avatar is closed" and info.value.detail is None
    assert e.calls == ["close"]
    with pytest.raises(StopIteration):
        next(g)


def test_intake_errors_of_a_whole_clip_and_of_frames_pass_unmapped_without_interrupt():
    a, e = avatar()
    with pytest.raises(TypeError, match="got int$"):
        next(a.render(5))
    assert e.calls == []

    def broken(chunks):
        raise ValueError("frames broke")

    e.frames = broken
    with pytest.raises(ValueError, match="frames broke"):
        next(a.render(b"\0"))
    assert e.calls == []


def close_after_two(g, e):
    next(g), next(g)
    g.close()
    g.close()


def drop_after_two(g, e):
    next(g), next(g)
    del g
    gc.collect()


def drop_in_a_cycle(g, e):
    e.box = box = []
    next(g)
    box.append(g)  # render -> engine's frame generator -> box -> render: only the collector frees it
    del g, box
    gc.collect()


@pytest.mark.parametrize("leave,interrupts", [
    (close_after_two, 1),
    (drop_after_two, 1),
    (drop_in_a_cycle, 1),
    (lambda g, e: list(g), 0),
    (lambda g, e: g.close(), 0),
])
def test_an_abandoned_render_interrupts_the_engine_exactly_once(leave, interrupts, caplog):
    a, e = avatar(n=5)
    list(a.render(b"\0" * SECOND))
    before = a._render_stats
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="halvane"):
        leave(a.render(b"\0" * SECOND), e)
    gc.collect()
    assert e.calls.count("interrupt") == interrupts
    if interrupts:
        assert a._render_stats is before and caplog.records == []


class NoDetail(EngineUnavailable):
    def __init__(self, message):
        Exception.__init__(self, message)


class Bare(EngineFailed):
    def __init__(self):
        pass

    def __str__(self):
        return "engine said nothing"


@pytest.mark.parametrize("error,kind,message,detail", [
    (EngineUnavailable("no accelerator here", detail="cuda missing"), NotSupported, "no accelerator here", "cuda missing"),
    (EngineFailed("the session died", detail="status 7"), Failed, "the session died", "status 7"),
    (NoDetail("no detail here"), NotSupported, "no detail here", None),
    (Bare(), Failed, "engine said nothing", None),
    (ValueError("bad frame"), Failed, "the render stopped", "same"),
])
def test_engine_errors_are_mapped_with_their_cause_suppressed(error, kind, message, detail):
    a, e = avatar(n=5, fail_at=2, error=error)
    g = a.render(b"\0" * SECOND)
    assert [next(g), next(g)] == [("frame", 0), ("frame", 1)]
    with pytest.raises(AvatarError) as info:
        next(g)
    got = info.value
    assert type(got) is kind and str(got) == message
    assert (got.detail is error) if detail == "same" else (got.detail == detail)
    assert got.__cause__ is None and got.__suppress_context__ and got.__context__ is error
    assert e.calls == ["frames", "interrupt"]
    with pytest.raises(StopIteration):
        next(g)


@pytest.mark.parametrize("error,interrupt_error,expected", [
    (InvalidAvatar("own kind", "d"), None, "same"),
    (KeyboardInterrupt(), None, "same"),
    (ValueError("first"), EngineFailed("reset failed", detail="x"), Failed),
])
def test_own_kinds_and_base_exceptions_pass_and_an_interrupt_error_takes_over(error, interrupt_error, expected):
    a, e = avatar(fail_at=0, error=error, interrupt_error=interrupt_error)
    with pytest.raises(BaseException) as info:
        next(a.render(b""))
    if expected == "same":
        assert info.value is error
    else:
        assert type(info.value) is expected and str(info.value) == "reset failed"
        assert info.value.__context__ is interrupt_error and interrupt_error.__context__ is error
    assert e.calls == ["frames", "interrupt"]


def test_a_bad_piece_ends_the_render_after_the_frames_of_the_good_one():
    class PerChunk(Engine):
        def _frames(self, chunks):
            for c in chunks:
                yield ("frame", len(c))

    e = PerChunk()
    a = _open.Avatar(e, "ostrel1")
    g = a.render([b"\0" * 10, 3.5])
    assert next(g) == ("frame", 10)
    with pytest.raises(Failed, match="^the render stopped$") as info:
        next(g)
    assert isinstance(info.value.detail, TypeError) and str(info.value.detail).endswith("got float")
    assert e.calls == ["frames", "interrupt"]


def seconds_for(expected, fps=25):
    return bytes(int(expected / fps * SECOND))


@pytest.mark.parametrize("expected,fails,passes", [
    (100, 97, 98), (150, 146, 147), (149, 146, 147), (250, 244, 245), (1449, 1420, 1421)])
def test_short_render_floor(expected, fails, passes):
    for delivered, short in ((fails, True), (passes, False)):
        a, e = avatar("ostrel2-light", n=delivered, frames_per_second=25, stop_reason="idle-frame (avatar returned to rest)")
        g = a.render(seconds_for(expected))
        if not short:
            assert len(list(g)) == delivered
            continue
        with pytest.raises(Failed) as info:
            list(g)
        assert str(info.value) == (
            f"that render stopped early — {delivered} frames came out of the {expected} this audio should produce, "
            "so the video would be short. Render it again.")
        assert info.value.detail == (
            f"engine=ostrel2-light delivered {delivered} frames, expected >= {passes} (audio implies {expected} at 25 "
            "fps); the render ended on: idle-frame (avatar returned to rest)")
        assert a._render_stats.frames == delivered  # stored before the check
        assert "interrupt" not in e.calls


@pytest.mark.parametrize("audio,attrs,delivered,detail", [
    (seconds_for(100), {"frames_per_second": 25.0}, 10,
     "engine=x delivered 10 frames, expected >= 98 (audio implies 100 at 25.0 fps); the render ended on: not recorded"),
    (seconds_for(100), {"frames_per_second": 25, "stop_reason": "cut \udcff"}, 90,
     "engine=x delivered 90 frames, expected >= 98 (audio implies 100 at 25 fps); the render ended on: cut \udcff"),
    (seconds_for(25), {"frames_per_second": 25}, 0, "engine=x delivered 0 frames"),
    (seconds_for(100), {}, 0, "engine=x delivered 0 frames"),  # no rate: only nothing is short
    (seconds_for(100), {"frames_per_second": 0}, 0, "engine=x delivered 0 frames"),
    ([seconds_for(100)], {"frames_per_second": 25}, 0, "engine=x delivered 0 frames"),  # pieces
    (seconds_for(100), {}, 1, None),
    ([seconds_for(100)], {"frames_per_second": 25}, 1, None),
    (seconds_for(2), {"frames_per_second": 25}, 0, None),  # floor 0
    (seconds_for(1), {"frames_per_second": 25}, 0, None),  # floor -1
])
def test_short_render_cases(audio, attrs, delivered, detail, caplog):
    a, _ = avatar("x", n=delivered, **attrs)
    with caplog.at_level(logging.INFO, logger="halvane"):
        if detail is None:
            assert len(list(a.render(audio))) == delivered
            return
        with pytest.raises(Failed) as info:
            list(a.render(audio))
    assert info.value.detail == detail
    if delivered == 0:
        assert str(info.value) == NO_FRAMES
        assert a._render_stats is None and caplog.records == []  # no frame: no statistics, no log line
    assert info.value.__cause__ is None


def test_a_rate_that_is_no_number_is_named_in_the_refusal():
    a, e = avatar("x", n=3, frames_per_second="25")
    with pytest.raises(Failed, match="^the render stopped$") as info:
        list(a.render(seconds_for(3)))
    detail = info.value.detail
    assert type(detail) is TypeError and str(detail) == "frames_per_second must be a number, not str"
    assert a._render_stats.frames == 3 and "interrupt" not in e.calls


def test_statistics_and_their_log_line(caplog):
    class Timed(Engine):
        def _frames(self, chunks):
            for c in chunks:
                self.drawn = time.perf_counter()
            for i in range(self.n):
                self.last = time.perf_counter()
                yield i

    e = Timed(n=4)
    a = _open.Avatar(e, "ostrel1")
    with caplog.at_level(logging.INFO, logger="halvane"):
        assert list(a.render(b"\0" * SECOND)) == [0, 1, 2, 3]
    st = a._render_stats
    assert isinstance(st, _open.RenderStats) and isinstance(st, tuple) and hasattr(_open.RenderStats, "_make")
    assert _open.RenderStats._fields == ("frames", "render_seconds", "render_fps")
    assert _open.RenderStats.__module__ == "halvane._open"
    assert st.frames == st[0] == 4
    assert st.render_seconds >= e.last - e.drawn  # first chunk drawn -> last frame received
    assert st.render_fps == 4 / st.render_seconds
    with pytest.raises(AttributeError):
        st.frames = 5
    [rec] = caplog.records
    assert (rec.name, rec.levelno, rec.msg, rec.args) == ("halvane", logging.INFO, STATS_FORMAT, tuple(st))
    assert rec.getMessage() == STATS_FORMAT % tuple(st)


def test_render_clock():
    c = _open._RenderClock()
    assert (c._t0, c._t1, c._n, c.stats()) == (None, None, 0, None)
    with pytest.raises(AttributeError):
        c.other = 1
    items = [b"a", b"b"]
    timed = c.chunks(iter(items))
    assert isinstance(timed, collections.abc.Generator) and c._t0 is None  # lazy
    assert next(timed) is items[0]
    t0 = c._t0
    assert t0 is not None and next(timed) is items[1] and c._t0 == t0
    assert list(timed) == []
    c.frame()
    assert c._n == 1 and c._t1 >= t0
    c._t0 = c._t1 = 5.0
    assert c.stats() == (1, 1e-9, 1 / 1e-9) and c.stats().render_fps < 1e9


def test_avatar_attributes_and_release():
    a, e = avatar("ostrel1")
    assert (a._engine, a._engine_id, a._closed, a._render_stats) == (e, "ostrel1", False, None)
    with pytest.raises(AttributeError):
        a.anything = 1
    assert not hasattr(a, "__dict__")

    with pytest.raises(ValueError):
        with a as entered:
            assert entered is a
            raise ValueError("from the block")
    a.__del__()
    a._release()
    assert e.calls == ["close"] and a._closed is True

    a, e = avatar(close_error=RuntimeError("close failed"))
    g = a.render(b"\0" * SECOND)
    next(g)
    with pytest.raises(RuntimeError, match="close failed"):
        with a:
            pass
    a._release()  # not retried
    with pytest.raises(Failed, match="stopped early") as stopped:  # a running render ends: its engine is closed
        next(g)
    assert "the avatar was closed" in stopped.value.detail
    assert a._closed is True and e.calls == ["frames", "close"]  # and never reaches the closed engine

    unraisable = []
    a, e = avatar(close_error=RuntimeError("close failed"))
    old, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        del a
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert e.calls == ["close"] and unraisable == []


def test_send_throw_and_close_behave_as_a_generators():
    a, e = avatar(n=4)
    g = a.render(b"\0")
    with pytest.raises(TypeError, match="just-started"):
        g.send(1)
    with pytest.raises(TypeError):
        g.throw(5)  # names no exception: the generator is untouched
    assert g.send(None) == ("frame", 0) and g.send("ignored") == ("frame", 1)
    with pytest.raises(Failed) as info:
        g.throw(ValueError, "thrown")
    assert type(info.value.detail) is ValueError and str(info.value.detail) == "thrown"
    with pytest.raises(StopIteration):
        g.send(None)
    assert g.close() is None

    unstarted = a.render(b"\0")
    err = KeyError("k")
    with pytest.raises(KeyError) as info:
        unstarted.throw(err)
    assert info.value is err
    for how in (lambda g: g.throw(KeyboardInterrupt), lambda g: g.throw(GeneratorExit())):
        g = a.render(b"\0")
        next(g)
        with pytest.raises((KeyboardInterrupt, GeneratorExit)):
            how(g)
    assert e.calls.count("interrupt") == 3 and e.calls.count("frames") == 3

    class Reentrant(Engine):
        def _frames(self, chunks):
            yield 0
            next(self.outer)

    r = Reentrant()
    a = _open.Avatar(r, "x")
    r.outer = a.render(b"\0")
    next(r.outer)
    with pytest.raises(Failed) as info:
        next(r.outer)
    assert isinstance(info.value.detail, ValueError) and "already executing" in str(info.value.detail)
    assert r.calls == ["frames", "interrupt"]


@pytest.mark.parametrize("out,path", [
    (b"out.mp4", "out.mp4"),
    (b"\xffx.mp4", "\udcffx.mp4"),
    (pathlib.PurePosixPath("dir/o.mp4"), "dir/o.mp4"),
    ("plain.mp4", "plain.mp4"),
])
def test_out_mp4_is_written_through_the_command_module(out, path, monkeypatch):
    import halvane.__main__ as cmd

    seen = []
    monkeypatch.setattr(cmd, "_write", lambda avatar, audio, p: seen.append((avatar, audio, p)) or "result")
    a, e = avatar()
    assert a.render(b"pcm", out_mp4=out) == "result"
    assert seen == [(a, b"pcm", path)] and type(seen[0][2]) is str
    assert e.calls == []
