"""Choice of the int8-decoder variant of a combined bundle: every answer of
_select_q8gd, in the order its checks run, and the readers behind it; manifests
that once crashed, hung or exhausted the host, through _select_q8gd and the
host program."""

import ast
import errno
import hashlib
import importlib.metadata
import json
import os
import subprocess
import sys

import pytest

import tools.make_fixture_models as fixture_gen
from halvane._zephan2._tessel_host import _q8gd_bound, _q8gd_runtime_ok, _select_q8gd, int8_dot_isa
from hostproc import READY_NULL, log_lines, run_host

VARIANT = "combined_litert_q8gd.tflite"
SERVING = " — serving combined_litert.tflite"
NO_INT8 = ("[q8gd] FALLBACK: this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured "
           "0.88-0.93x on AVX2)" + SERVING)
NOT_BOUND = "the header does not bind it (no members_sha256 entry / litert_q8gd block)"
NO_GATE = "gate runtime not recorded (published before 2026-10-05)"
RUNNING = importlib.metadata.version("ai-edge-litert")
VNNI = "processor\t: 0\nflags\t\t: fpu sse2 avx2 avx512_vnni\n"


@pytest.fixture(scope="module")
def models():
    return fixture_gen.build_model(fixture_gen.MODEL_FILES["combined_litert.tflite"]), fixture_gen.build_q8gd_model()


@pytest.fixture
def cpu(tmp_path):
    path = tmp_path / "cpuinfo"
    path.write_text(VNNI)
    return str(path)


@pytest.fixture
def make(tmp_path, models, monkeypatch):
    """make(runtime=None, edit=None, variant=None) -> bundle dir; `edit` changes the bound manifest in
    place or returns a replacement."""
    monkeypatch.delenv("ZEPHAN2_Q8GD", raising=False)

    def make(runtime=None, edit=None, variant=None):
        combined, q8 = models
        q8 = q8 if variant is None else variant
        d = tmp_path / "bundle"
        d.mkdir(exist_ok=True)
        (d / "combined_litert.tflite").write_bytes(combined)
        (d / VARIANT).write_bytes(q8)
        manifest = fixture_gen.q8gd_manifest(combined, q8, runtime)
        if edit and (new := edit(manifest)) is not None:
            manifest = new
        (d / "manifest.json").write_text(json.dumps(manifest))
        return d
    return make


def selected(bundle, runtime_why):
    sha = hashlib.sha256((bundle / VARIANT).read_bytes()).hexdigest()
    return (str(bundle / VARIANT), f"[q8gd] SELECTED {VARIANT} (int8 decoder; cpu avx512_vnni; sha {sha[:12]} "
                                   f"bound; {runtime_why})")


def fallback(why):
    return None, f"[q8gd] FALLBACK: {why}{SERVING}"


def python_error(fn):
    try:
        fn()
    except Exception as e:
        return f"{type(e).__name__}: {e}"
    raise AssertionError("no error")


@pytest.mark.parametrize("runtime", [None, RUNNING])
def test_selected_with_and_without_gate(make, cpu, runtime):
    b = make(runtime=runtime)
    why = NO_GATE if runtime is None else f"gated on this runtime (ai-edge-litert {RUNNING})"
    assert _select_q8gd(b, cpu) == selected(b, why)
    assert _select_q8gd(str(b) + "/", cpu)[0] == str(b / VARIANT)  # no doubled separator


def test_relative_bundle_gives_relative_path_and_empty_variant_is_served(make, cpu, monkeypatch):
    b = make(variant=b"")
    monkeypatch.chdir(b.parent)
    path, report = _select_q8gd("bundle", cpu)
    assert path == os.path.join("bundle", VARIANT)
    assert f"sha {hashlib.sha256(b'').hexdigest()[:12]} bound" in report


@pytest.mark.parametrize("switch", [None, "off"])
def test_does_not_apply(make, cpu, tmp_path, monkeypatch, switch):
    b = make()
    if switch:
        monkeypatch.setenv("ZEPHAN2_Q8GD", switch)
    (tmp_path / "bundle.imx").write_bytes(b"IMX\0")
    bare = tmp_path / "bare"
    (bare / VARIANT).mkdir(parents=True)  # a directory, not a file
    for bundle in (tmp_path / "bundle.imx", tmp_path / "missing", bare, tmp_path):
        assert _select_q8gd(bundle, cpu) == (None, "")
    assert _select_q8gd(b, cpu)[1] != ""


@pytest.mark.parametrize("value,mode", [(" OFF ", "off"), ("0", "0"), ("False", "false"), ("\tno\n", "no"),
                                        ("\u3000off\u00a0", "off")])
def test_switched_off(make, monkeypatch, value, mode):
    b = make()
    monkeypatch.setenv("ZEPHAN2_Q8GD", value)
    # checked before the processor: a missing cpuinfo does not matter
    assert _select_q8gd(b, "/nonexistent") == (None, f"[q8gd] off (ZEPHAN2_Q8GD={mode}){SERVING}")


@pytest.mark.parametrize("value", ["", "  ", "auto", "1", "on", "YES", "force", "of f"])
def test_other_switch_values_act_as_auto(make, cpu, monkeypatch, value):
    b = make()
    monkeypatch.setenv("ZEPHAN2_Q8GD", value)
    assert _select_q8gd(b, cpu) == selected(b, NO_GATE)


@pytest.mark.parametrize("text,isa", [
    ("flags\t: avx_vnni avx512_vnni\n", "avx512_vnni"),
    ("model\t: x\nflags : fpu avx_vnni\r\nflags : avx512_vnni\n", "avx_vnni"),
    ("flags\t: fpu sse\nflags\t: avx512_vnni\n", None),  # only the first flags line counts
    ("flags\t: avx512_vnni_x xavx_vnni avx512\n", None),  # whole tokens only
    ("Features\t: avx512_vnni\n", None),
    ("Flags\t: avx512_vnni\n", None),
    ("flagset: avx512_vnni\n", "avx512_vnni"),  # begins with "flags"
    ("vendor\t: v\rflags\t:avx512_vnni", "avx512_vnni"),
    (None, None),  # missing file
    ("<dir>", None),
])
def test_int8_dot_product_flag(make, tmp_path, text, isa):
    path = tmp_path / "cpuinfo"
    if text == "<dir>":
        path.mkdir()
    elif text is not None:
        path.write_text(text, newline="")
    assert int8_dot_isa(path) == isa
    b = make()
    if isa is None:
        assert _select_q8gd(b, path) == (None, NO_INT8)
    else:
        assert f"cpu {isa};" in _select_q8gd(b, path)[1]


def test_flags_line_without_colon(make, tmp_path):
    path = tmp_path / "cpuinfo"
    path.write_text("flags avx512_vnni\nflags: avx512_vnni\n")
    with pytest.raises(IndexError, match="list index out of range"):
        int8_dot_isa(path)
    assert _select_q8gd(make(), path) == fallback("IndexError: list index out of range")


@pytest.mark.parametrize("raw", [
    b"\xff{}", b'{"a": "\xe2\x82"}', b'{"a": "\xed\xa0\x80"}', b"{}\xf0\x9f\x98", b'{"a": 1}\xc3',
    b"\xef\xbb\xbf{}",
])
def test_manifest_text_errors_match_python(make, cpu, raw):
    b = make()
    (b / "manifest.json").write_bytes(raw)
    assert _select_q8gd(b, cpu) == fallback(python_error(lambda: json.loads(raw.decode("utf-8"))))


def test_manifest_file_errors(make, cpu):
    b = make()
    mp = b / "manifest.json"
    mp.unlink()
    assert _select_q8gd(b, cpu) == fallback(f"FileNotFoundError: [Errno 2] No such file or directory: '{mp}'")
    mp.mkdir()
    assert _select_q8gd(b, cpu) == fallback(f"IsADirectoryError: [Errno 21] Is a directory: '{mp}'")
    mp.rmdir()
    mp.write_text('{"members_sha256": ')
    _, report = _select_q8gd(b, cpu)
    assert report.startswith("[q8gd] FALLBACK: JSONDecodeError: ") and report.endswith(SERVING)


@pytest.mark.parametrize("manifest,kind", [
    ([1], "list"), ("x", "str"), (5, "int"), (0.5, "float"), (True, "bool"),
    ({"members_sha256": ["a"]}, "list"), ({"members_sha256": "a", "litert_q8gd": {}}, "str"),
])
def test_values_without_keys_raise_attribute_error(make, cpu, manifest, kind):
    with pytest.raises(AttributeError, match=f"^'{kind}' object has no attribute 'get'$"):
        _q8gd_bound(manifest)
    b = make()
    (b / "manifest.json").write_text(json.dumps(manifest))
    assert _select_q8gd(b, cpu) == fallback(f"AttributeError: '{kind}' object has no attribute 'get'")


def _edits(*edits):
    def edit(m):
        for e in edits:
            e(m)
    return edit


def _set(path, value):
    def edit(m):
        *keys, last = path
        d = m
        for k in keys:
            d = d[k]
        if value is KeyError:
            del d[last]
        else:
            d[last] = value
    return edit


SHA = "litert_q8gd", "sha256"
DECL = "members_sha256", VARIANT
BASE = "litert_q8gd", "base_sha256"
DECL_BASE = "members_sha256", "combined_litert.tflite"
MEMBER = "litert_q8gd", "base_member"


@pytest.mark.parametrize("edit,why", [
    (lambda m: {}, NOT_BOUND),
    (lambda m: [], NOT_BOUND),
    (lambda m: {"members_sha256": m["members_sha256"]}, NOT_BOUND),
    (_set(["members_sha256"], {}), NOT_BOUND),
    (_set(["members_sha256"], 0), NOT_BOUND),
    (_set(DECL, ""), NOT_BOUND),
    (_set(DECL, KeyError), NOT_BOUND),
    (_set(["litert_q8gd"], "bound"), NOT_BOUND),
    (_set(["litert_q8gd"], {}), "litert_q8gd.sha256 disagrees with members_sha256"),
    (lambda m: _set(SHA, m["litert_q8gd"]["sha256"].upper())(m), "litert_q8gd.sha256 disagrees with members_sha256"),
    (_edits(_set(DECL, "1"), _set(SHA, 1)), "litert_q8gd.sha256 disagrees with members_sha256"),
    (_set(MEMBER, "other.tflite"), "STALE: cut from combined_litert.tflite {b12}, the header declares {b12}"),
    (_set(MEMBER, KeyError), "STALE: cut from combined_litert.tflite {b12}, the header declares {b12}"),
    (_set(BASE, KeyError), "STALE: cut from combined_litert.tflite None, the header declares {b12}"),
    (_set(BASE, "ab" * 40), "STALE: cut from combined_litert.tflite abababababab, the header declares {b12}"),
    (_edits(_set(BASE, 1.5e16), _set(DECL_BASE, [1.5e16, None])),
     "STALE: cut from combined_litert.tflite 1.5e+16, the header declares [1.5e+16, No"),
    (_edits(_set(BASE, KeyError), _set(DECL_BASE, KeyError)),
     "STALE: cut from combined_litert.tflite None, the header declares None"),
])
def test_not_bound(make, cpu, models, edit, why):
    b12 = hashlib.sha256(models[0]).hexdigest()[:12]
    b = make(edit=edit)
    manifest = json.loads((b / "manifest.json").read_text())
    assert _q8gd_bound(manifest) == (None, why.format(b12=b12))
    assert _select_q8gd(b, cpu) == fallback(why.format(b12=b12))


def test_bound_returns_the_declared_digest(models):
    manifest = fixture_gen.q8gd_manifest(*models, None)
    assert _q8gd_bound(manifest) == (hashlib.sha256(models[1]).hexdigest(), "bound")
    manifest["members_sha256"][VARIANT] = manifest["litert_q8gd"]["sha256"] = 7
    assert _q8gd_bound(manifest) == (7, "bound")


@pytest.mark.parametrize("gate,running,answer", [
    (None, None, (True, NO_GATE)),
    ("2.3.0", "2.3.0", (True, NO_GATE)),  # a gate that is not an object
    ({}, "2.3.0", (True, NO_GATE)),
    ({"runtime": ""}, None, (True, NO_GATE)),
    ({"runtime": None}, None, (True, NO_GATE)),
    ({"runtime": "2.3.0"}, "2.3.0", (True, "gated on this runtime (ai-edge-litert 2.3.0)")),
    ({"runtime": "2.3.0"}, None, (False, "gated on ai-edge-litert 2.3.0, this process's runtime is unreadable")),
    ({"runtime": "2.3"}, "2.3.0", (False, "gated on ai-edge-litert 2.3, this process runs 2.3.0 — re-gate it")),
    ({"runtime": "2.3.0 "}, "2.3.0", (False, "gated on ai-edge-litert 2.3.0 , this process runs 2.3.0 — re-gate it")),
    ({"runtime": 2.3}, "2.3", (False, "gated on ai-edge-litert 2.3, this process runs 2.3 — re-gate it")),
    ({"runtime": True}, None, (False, "gated on ai-edge-litert True, this process's runtime is unreadable")),
])
def test_runtime_gate(gate, running, answer):
    manifest = {"litert_q8gd": {} if gate is None else {"gate": gate}}
    assert _q8gd_runtime_ok(manifest, running) == answer


def test_runtime_gate_needs_an_object_block():
    assert _q8gd_runtime_ok([], "x") == (True, NO_GATE)
    with pytest.raises(AttributeError, match="'list' object has no attribute 'get'"):
        _q8gd_runtime_ok({"litert_q8gd": [1]}, "x")


@pytest.mark.parametrize("runtime", [RUNNING[:-1], RUNNING + " ", RUNNING + ".1"])
def test_runtime_mismatch_falls_back(make, cpu, runtime):
    b = make(runtime=runtime)
    why = f"gated on ai-edge-litert {runtime}, this process runs {RUNNING} — re-gate it"
    assert _select_q8gd(b, cpu) == fallback(why)


def test_unreadable_runtime_matters_only_with_a_gate(make, cpu, monkeypatch):
    calls = []

    def version(name):
        calls.append(name)
        raise importlib.metadata.PackageNotFoundError(name)
    monkeypatch.setattr(importlib.metadata, "version", version)
    b = make(runtime=RUNNING)
    assert _select_q8gd(b, cpu) == fallback(f"gated on ai-edge-litert {RUNNING}, this process's runtime is unreadable")
    b = make(runtime=None)
    assert _select_q8gd(b, cpu) == selected(b, NO_GATE)
    assert calls == ["ai-edge-litert"] * 2

    def interrupted(name):
        raise KeyboardInterrupt
    monkeypatch.setattr(importlib.metadata, "version", interrupted)
    with pytest.raises(KeyboardInterrupt):
        _select_q8gd(b, cpu)


def _declare(value):
    return _edits(_set(DECL, value), _set(SHA, value))


@pytest.mark.parametrize("edit,why", [
    (_declare("0" * 64), "bytes {d12} != declared 000000000000"),
    (lambda m: _declare(m["litert_q8gd"]["sha256"].upper())(m), "bytes {d12} != declared {D12}"),
    (_declare("\u00e9" * 20), "bytes {d12} != declared " + "\u00e9" * 12),
    (_declare(12345), "TypeError: 'int' object is not subscriptable"),
])
def test_digest_mismatch(make, cpu, models, edit, why):
    d12 = hashlib.sha256(models[1]).hexdigest()[:12]
    assert _select_q8gd(make(edit=edit), cpu) == fallback(why.format(d12=d12, D12=d12.upper()))


def test_checks_run_in_order(make, cpu, tmp_path):
    """Every check fails at first; each answer names the earliest failing one."""
    b = make(runtime="0.0", edit=_edits(_declare("0" * 64), _set(MEMBER, "x")))
    mp = b / "manifest.json"
    manifest = json.loads(mp.read_text())
    mp.write_text("{")
    (tmp_path / "plain").write_text("flags\t: fpu sse2\n")
    assert _select_q8gd(b, tmp_path / "plain") == (None, NO_INT8)
    assert _select_q8gd(b, cpu)[1].startswith("[q8gd] FALLBACK: JSONDecodeError: ")
    mp.write_text(json.dumps(manifest))
    assert _select_q8gd(b, cpu)[1].startswith("[q8gd] FALLBACK: STALE: ")
    manifest["litert_q8gd"]["base_member"] = "combined_litert.tflite"
    mp.write_text(json.dumps(manifest))
    assert _select_q8gd(b, cpu)[1].endswith("re-gate it" + SERVING)
    del manifest["litert_q8gd"]["gate"]
    mp.write_text(json.dumps(manifest))
    assert _select_q8gd(b, cpu)[1].endswith("!= declared 000000000000" + SERVING)


DEEP = 90000


def _deep(mp):
    mp.write_text('{"x":' + "[" * DEEP + "]" * DEEP + ',"y":1}')
    return python_error(lambda: json.loads(mp.read_text()))


def _fifo(mp):
    mp.unlink()
    os.mkfifo(mp)
    return f"ValueError: not a regular file: '{mp}'"


def _dev_zero(mp):
    mp.unlink()
    mp.symlink_to("/dev/zero")
    return f"ValueError: not a regular file: '{mp}'"


def _oversized(mp):
    os.truncate(mp, 16 * 1024 * 1024 + 1)  # sparse: nothing is written
    return f"OSError: [Errno {errno.EFBIG}] {os.strerror(errno.EFBIG)}: '{mp}'"


HOSTILE = [_deep, _fifo, _dev_zero, _oversized]


def select_in_child(bundle, cpu):
    """_select_q8gd in a child interpreter: a crash or a hang there fails the test, not the test run."""
    code = "import sys; from halvane._zephan2._tessel_host import _select_q8gd; print(repr(_select_q8gd(*sys.argv[1:])))"
    r = subprocess.run([sys.executable, "-c", code, str(bundle), cpu], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return ast.literal_eval(r.stdout)


@pytest.mark.parametrize("prepare", HOSTILE)
def test_hostile_manifest_falls_back(make, cpu, prepare):
    b = make()
    why = prepare(b / "manifest.json")
    assert select_in_child(b, cpu) == fallback(why)


def _surrogate_digest(mp):
    """A declared digest that JSON escapes can spell but UTF-8 cannot: the log shows its escape text."""
    manifest = json.loads(mp.read_text())
    manifest["members_sha256"][VARIANT] = manifest["litert_q8gd"]["sha256"] = "\ud800" * 12
    mp.write_text(json.dumps(manifest))
    d12 = hashlib.sha256((mp.parent / VARIANT).read_bytes()).hexdigest()[:12]
    return f"bytes {d12} != declared " + "\ud800" * 12


@pytest.mark.skipif(int8_dot_isa() is None, reason="the host program reads this processor's flags")
@pytest.mark.parametrize("prepare", [*HOSTILE, _surrogate_digest, None])
def test_host_program_serves_combined_member_after_hostile_manifest(make, prepare):
    b = make()
    (b / "canon.bin").write_bytes(fixture_gen.canon_latent().astype("<f4").tobytes())
    if prepare is None:
        _, report = selected(b, NO_GATE)
        report = report.replace("cpu avx512_vnni", f"cpu {int8_dot_isa()}")
        model = VARIANT
    else:
        report, model = fallback(prepare(b / "manifest.json"))[1], "combined_litert.tflite"
    rc, out, err = run_host(["render-stream", b])
    assert (rc, out) == (0, READY_NULL), err
    logs = [line.removeprefix("[tessel-render-host] ") for line in log_lines(err)]
    assert logs[1] == report.encode("utf-8", "backslashreplace").decode()
    assert f"ready 416x720 @20fps  model={model}" in logs
