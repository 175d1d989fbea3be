"""The session engine over the session layer: which frames a render hands out,
why it ends (each stop_reason), the quiet deadline and its variable, the
session's failures and the error kinds they reach the caller as."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import halvane
import halvane._open as hopen
from halvane import _session
from halvane._errors import Failed, InvalidAvatar
from halvane._open import Avatar, _SessionEngine
from halvane._session import LO_UTT_IDLE as IDLE, LO_UTT_SPEECH as SPEECH, LO_UTT_TRANSITION as MOVE
from tools.make_ostrel1_avatar import manifest, write_avatar

SPF = _session.BYTES_PER_FRAME // 2  # samples per frame


def audio(*parts):
    """PCM of (frames, amplitude) parts: a 200 Hz tone, 0 for silence."""
    t = np.arange(sum(n for n, _ in parts) * SPF) / 16000
    amp = np.concatenate([np.full(n * SPF, a, np.float64) for n, a in parts])
    return (amp * np.sin(2 * np.pi * 200 * t) * 32767).astype(np.int16).tobytes()


def number(frame):
    """The frame number the session writes into the first row (RGB)."""
    bits = frame[0, :32, 0] > 127
    return int(sum(1 << i for i, b in enumerate(bits) if b))


@pytest.fixture
def avatar_dir(tmp_path, monkeypatch):
    """An unpacked session avatar with the given manifest knobs, opened through the cache hook."""
    def make(**knobs):
        d = tmp_path / f"av{len(list(tmp_path.iterdir()))}"
        d.mkdir()
        (d / "manifest.json").write_text(json.dumps({"engine": "ostrel2-light", **knobs}), encoding="utf-8")
        return d
    monkeypatch.setattr(hopen, "_materialise", lambda source: str(source), raising=False)
    return make


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(hopen, "_QUIET", 0.3)


@pytest.mark.parametrize("knobs, clip, take, reason, numbers", [
    ({}, audio((4, 0), (10, 0.5), (3, 0)), None, "idle-frame (avatar returned to rest)", list(range(4, 20))),
    ({}, audio((20, 0)), None, "no-speech-in-utterance", []),
    ({}, b"", None, "no-speech-in-utterance", []),
    ({"latency": 5}, audio((10, 0.5)), None, "quiet-deadline (0s with no frame)", []),
    ({}, audio((10, 0.5)), 3, "unfinished", [0, 1, 2]),
])
def test_stop_reasons(avatar_dir, quiet, knobs, clip, take, reason, numbers):
    e = _SessionEngine(str(avatar_dir(**knobs)))
    assert not hasattr(e, "stop_reason") and e.frames_per_second == 25
    gen = e.frames([clip[:1000], clip[1000:]] if clip else [])
    got = [number(f) for f, _ in zip(gen, range(take or 10**6))]
    assert e.stop_reason == reason and got == numbers
    e.close()


def test_render_failures_reach_the_caller_as_error_kinds(avatar_dir, quiet):
    with Avatar(_SessionEngine(str(avatar_dir(fail_after=3))), "ostrel2-light") as av:
        with pytest.raises(Failed) as e:
            list(av.render(audio((10, 0.5))))
        assert e.value.args[0] == "rendering stopped after frame 3" and e.value.detail == "fail_after=3"
        assert av._engine.stop_reason == "unfinished"
    with Avatar(_SessionEngine(str(avatar_dir())), "ostrel2-light") as av:
        with pytest.raises(Failed) as e:
            list(av.render(audio((25, 0))))
        assert e.value.detail == "engine=ostrel2-light delivered 0 frames"
        frames = list(av.render(audio((25, 0.5))))
        assert len(frames) == 28 and frames[0].shape == (96, 160, 3) and frames[0].dtype == np.uint8
        assert av._render_stats.frames == 28


@pytest.mark.parametrize("knobs, kind, message, attrs", [
    ({"format": 1}, _session.AvatarOutdated,
     "this avatar was made in an older format; convert it, then open it again",
     {"code": "format-1-to-2", "detail": "format 1, this engine reads 2"}),
    ({"requires": ["halvane_no_such_part"]}, _session.EngineUnavailable,
     "this avatar needs parts of the session engine that are not installed",
     {"detail": "missing: ['halvane_no_such_part']"}),
    ({"fail": "open"}, _session.EngineFailed, "the session engine could not load that avatar", {}),
    ({"latency": -1}, _session.EngineFailed, "that avatar's manifest is damaged",
     {"detail": "latency must be a number >= 0, not -1"}),
])
def test_construction_errors(avatar_dir, knobs, kind, message, attrs):
    with pytest.raises(kind) as e:
        _SessionEngine(str(avatar_dir(**knobs)))
    assert type(e.value) is kind and e.value.args[0] == message
    assert {k: getattr(e.value, k) for k in attrs} == attrs


@pytest.mark.parametrize("engine, requires, bad", [
    ("ostrel2-light", [5], "5"), ("ostrel2-light", [".rel"], "'.rel'"), ("ostrel2-light", ["this.x"], "'this.x'"),
    ("ostrel2-light", "json", "'json'"), ("ostrel2-light", ["this", "json"], None),
    ("ostrel2-unified", ["this.x"], "'this.x'"), ("ostrel2-unified", ["this", "json"], None)])
def test_required_modules_are_plain_names_never_imported(tmp_path, monkeypatch, capfd, engine, requires, bad):
    """Finding "this.x" would import the module "this", which prints a poem."""
    monkeypatch.setenv("HALVANE_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delitem(sys.modules, "this", raising=False)
    avatar = write_avatar(tmp_path / "face.imx", man=manifest(engine=engine, requires=requires))
    if bad is None:
        with halvane.open(avatar):
            pass
    else:
        with pytest.raises(InvalidAvatar) as e:
            halvane.open(avatar)
        assert e.value.message == "that avatar's manifest is damaged"
        assert f"requires must be a list of plain module names, not {bad}" in e.value.detail
    assert capfd.readouterr().out == "" and "this" not in sys.modules


class Scripted:
    """A session whose pulls follow a script: after each push the given items, then None; after end() the rest."""

    def __init__(self, pushes, drain):
        self.pushes, self.drain, self.calls = list(pushes), list(drain), []

    def reset(self):
        self.calls.append("reset")

    def push(self, chunk):
        self.calls.append("push")
        self.queue = list(self.pushes.pop(0)) + [None]

    def end(self):
        self.calls.append("end")
        self.queue = list(self.drain)

    def pull(self):
        return self.queue.pop(0) if self.queue else None

    def check_render(self):
        self.calls.append("check")

    def close(self):
        raise OSError("close failed")


def test_gating_of_push_and_drain(quiet):
    s = Scripted([[("a", IDLE), ("b", SPEECH), ("c", IDLE)], [("d", MOVE)]],
                 [("e", MOVE), ("f", SPEECH), ("g", IDLE), ("h", SPEECH)])
    e = _SessionEngine("unused", s)
    assert list(e.frames([b"1", b"2"])) == ["b", "c", "d", "e", "f"]
    assert e.stop_reason == "idle-frame (avatar returned to rest)"
    assert s.calls == ["reset", "push", "check", "push", "check", "end"]
    # an item that is not a pair fails the render as unpacking does
    for item, error, text in [(("x", 1, 2), ValueError, "too many values to unpack (expected 2)"),
                              (("x",), ValueError, "not enough values to unpack (expected 2, got 1)"),
                              (7, TypeError, "cannot unpack non-iterable int object")]:
        with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
            list(_SessionEngine("unused", Scripted([[item]], [])).frames([b"1"]))
    # interrupt swallows the session's errors, close passes them on
    s.reset = lambda: (_ for _ in ()).throw(RuntimeError("reset failed"))
    e.interrupt()
    with pytest.raises(OSError, match="close failed"):
        e.close()


@pytest.mark.parametrize("value, quiet_value, error", [
    ("2.5", 2.5, None),
    (" 7 ", 7.0, None),
    ("nan", None, "could not convert string to float: 'nan'"),
    ("-NaN", None, "could not convert string to float: '-NaN'"),
    ("inf", None, "could not convert string to float: 'inf'"),  # a silent render would wait for ever
    ("-Infinity", None, "could not convert string to float: '-Infinity'"),
    ("ten", None, "could not convert string to float: 'ten'"),
])
def test_quiet_variable(value, quiet_value, error):
    code = ("import halvane._open as o\n"
            "print(o._QUIET)\n")
    code_err = ("try:\n    import halvane._open\nexcept Exception as e:\n"
                "    print(type(e).__name__, e)\n")
    r = subprocess.run([sys.executable, "-c", code if error is None else code_err], capture_output=True, text=True,
                       env={**os.environ, "HALVANE_RENDER_QUIET": value})
    assert r.stdout.strip() == (str(quiet_value) if error is None else f"ValueError {error}"), r.stderr


def test_a_lazily_consumed_render_holds_few_frames(avatar_dir, quiet, monkeypatch):
    # one chunk of 4 s: the session renders frames as they are pulled, not the
    # whole clip at its push; the frames handed out stay the same
    rendered = []
    real = _session.Session._render
    monkeypatch.setattr(_session.Session, "_render", lambda self, *a: (rendered.append(1), real(self, *a))[1])
    e = _SessionEngine(str(avatar_dir()))
    lead = []
    got = []
    for f in e.frames([audio((2, 0), (100, 0.5), (1, 0))]):
        lead.append(len(rendered) - 2 - len(got))  # the two silent frames before speech are dropped
        got.append(number(f))
    assert max(lead) <= 2
    assert got == list(range(2, 106)) and e.stop_reason == "idle-frame (avatar returned to rest)"
    e.close()
