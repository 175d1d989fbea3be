"""Two-artifact bundles: the declared base, the search for it in its five
places, verification by digest, refusals, and frames equal to the combined model's."""

import hashlib
import json
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import halvane._zephan2._tessel_host as h
from hostproc import FLUSH, HOST, data, log_lines, parse_output, run_host, word
from tools.imx import write_imx

PREFIX = "[tessel-render-host] "


@pytest.fixture
def env(tmp_path, monkeypatch):
    """An empty home and content store, and no engine variables."""
    home, store = tmp_path / "home", tmp_path / "store"
    home.mkdir()
    store.mkdir()
    for var in ("ZEPHAN2_SHARED_ENC", "ZEPHAN2_ENGINE_DIR", "ZEPHAN2_ANE_ENGINE"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("HALVANE_DEPS_DIR", str(store))
    monkeypatch.setenv("ZEPHAN2_STAGE_DIR", str(tmp_path / "stage"))
    return {"HOME": str(home), "HALVANE_DEPS_DIR": str(store), "ZEPHAN2_STAGE_DIR": str(tmp_path / "stage")}


@pytest.fixture(scope="module")
def parts(models):
    enc = Path(models["shared-enc.tflite"]).read_bytes()
    return {"enc": enc, "sha": hashlib.sha256(enc).hexdigest(),
            "identity": Path(models["identity.tflite"]).read_bytes(),
            "canon": Path(models["canon.bin"]).read_bytes()}


def split_bundle(root, parts, declare=True, colocated=None, sha=None):
    root.mkdir(parents=True)
    (root / "canon.bin").write_bytes(parts["canon"])
    (root / "identity.tflite").write_bytes(parts["identity"])
    if colocated is not None:
        (root / "shared-enc.tflite").write_bytes(colocated)
    deps = [{"id": "zephan2/shared-enc", "sha256": parts["sha"] if sha is None else sha}] if declare else []
    (root / "manifest.json").write_text(json.dumps({"engine": "zephan2", "dependencies": deps}))
    return str(root)


def test_declared_base(tmp_path, parts):
    b = split_bundle(tmp_path / "b", parts)
    assert h._declared_base_sha(b) == parts["sha"]
    deep = b'{"dependencies": ' + b"[" * 300000 + b"]" * 300000 + b"}"
    for manifest in (b"\xff\xfe", b"[1, 2]", b"{", b'{"dependencies": 3}', deep, b"\xef\xbb\xbf{}"):
        (tmp_path / "b" / "manifest.json").write_bytes(manifest)
        assert h._declared_base_sha(b) is None
    assert h._declared_base_sha(str(tmp_path / "missing")) is None
    # read as Python reads JSON: NaN elsewhere in the manifest is no reason to lose the base
    (tmp_path / "b" / "manifest.json").write_text(
        '{"gain": NaN, "dependencies": [{"id": "zephan2/shared-enc", "sha256": "%s"}]}' % parts["sha"])
    assert h._declared_base_sha(b) == parts["sha"]


def test_base_found_in_each_place_in_order(tmp_path, parts, env):
    sha, enc = parts["sha"], parts["enc"]
    b = split_bundle(tmp_path / "b", parts, colocated=enc)
    wrong = b"x" * 100

    # 1. the content store wins over everything, unverified
    (Path(env["HALVANE_DEPS_DIR"]) / sha[:2]).mkdir()
    stored = Path(env["HALVANE_DEPS_DIR"]) / sha[:2] / sha
    stored.write_bytes(wrong)  # name-trusted: its bytes are not hashed
    assert h._resolve_shared_enc(b, None, sha) == (str(stored), f"name-trusted content store {stored}")
    stored.unlink()

    # 2. the bundle's own member, verified
    assert h._resolve_shared_enc(b, None, sha) == (f"{b}/shared-enc.tflite", f"co-located in {b}")

    # 3. --engine directory, after a co-located copy with the wrong bytes
    b2 = split_bundle(tmp_path / "b2", parts, colocated=wrong)
    eng = tmp_path / "engine"
    eng.mkdir()
    (eng / "shared-enc.tflite").write_bytes(enc)
    assert h._resolve_shared_enc(b2, str(eng), sha) == (f"{eng}/shared-enc.tflite", f"engine dir {eng}")

    # 4. an engine container named by the environment, staged
    imx = tmp_path / "linux.engine"
    write_imx(imx, [("engine/shared-enc.tflite", enc)])
    os.environ["ZEPHAN2_ENGINE_DIR"] = str(imx)
    path, how = h._resolve_shared_enc(b2, str(tmp_path / "nowhere"), sha)
    assert how == f"container {imx}" and Path(path).read_bytes() == enc and path in h._STAGED
    del os.environ["ZEPHAN2_ENGINE_DIR"]

    # 5. ~/.halvane/engines/<name>/shared-enc.tflite, names in order
    engines = Path(env["HOME"]) / ".halvane" / "engines"
    for name, blob in (("b", enc), ("a", wrong), ("c", enc)):
        (engines / name).mkdir(parents=True)
        (engines / name / "shared-enc.tflite").write_bytes(blob)
    (engines / "0-empty").mkdir()
    path, how = h._resolve_shared_enc(b2, None, sha)
    assert (path, how) == (str(engines / "b" / "shared-enc.tflite"), f"explicit file {engines}/b/shared-enc.tflite")

    # nothing acceptable: every rejection, in search order
    (engines / "b" / "shared-enc.tflite").write_bytes(wrong)
    (engines / "c" / "shared-enc.tflite").write_bytes(wrong)
    path, how = h._resolve_shared_enc(b2, None, sha)
    assert path is None
    rejections = how.split("; ")
    assert rejections[0] == f"{b2}/shared-enc.tflite (co-located in the bundle): sha mismatch"  # used in place
    assert rejections[1:] == [f"{engines}/{n}/shared-enc.tflite (explicit file): sha mismatch" for n in "abc"]
    shutil.rmtree(engines)
    assert h._resolve_shared_enc(split_bundle(tmp_path / "b3", parts), None, sha) == (None, "no candidate found")


def test_manifest_text_never_reaches_outside_the_store(tmp_path, parts, env):
    victim = tmp_path / "etc" / "x"
    victim.parent.mkdir()
    victim.write_bytes(parts["enc"])
    for evil in ("../etc/x", "../../etc/x", str(victim), parts["sha"].upper()):
        b = split_bundle(tmp_path / f"evil{abs(hash(evil))}", parts, sha=evil)
        assert h._declared_base_sha(b) == evil
        path, how = h._resolve_shared_enc(b, None, evil)
        assert (path, how) == (None, "no candidate found")


@pytest.mark.parametrize("place", ["store", "bundle", "engine", "env", "engines"])
def test_program_finds_the_base_in_each_place(tmp_path, parts, env, place):
    enc, sha = parts["enc"], parts["sha"]
    args, extra = [], {}
    b = split_bundle(tmp_path / "b", parts, colocated=enc if place == "bundle" else None)
    where = tmp_path / "base"
    where.mkdir()
    if place == "store":
        where = Path(env["HALVANE_DEPS_DIR"]) / sha
        where.write_bytes(enc)
        how = f"resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via name-trusted content store {where}"
    elif place == "bundle":
        how = f"VERIFIED (bytes hashed) via co-located in {b}"
    elif place == "engine":
        (where / "shared-enc.tflite").write_bytes(enc)
        args = ["--engine", where]
        how = f"VERIFIED (bytes hashed) via engine dir {where}"
    elif place == "env":
        (where / "shared-enc.tflite").write_bytes(enc)
        extra = {"ZEPHAN2_SHARED_ENC": str(where / "shared-enc.tflite")}
        how = f"VERIFIED (bytes hashed) via explicit file {where}/shared-enc.tflite"
    else:
        eng = Path(env["HOME"]) / ".halvane" / "engines" / "linux"
        eng.mkdir(parents=True)
        (eng / "shared-enc.tflite").write_bytes(enc)
        how = f"VERIFIED (bytes hashed) via explicit file {eng}/shared-enc.tflite"
    rc, out, err = run_host(["render-stream", b, *args], data(np.zeros(25600)), env={**env, **extra})
    assert rc == 0, err
    assert f"{PREFIX}two-artifact split: base sha256={sha[:12]}… {how}" in log_lines(err)
    assert parse_output(out)[1] == list(range(3, 25))


def test_program_serves_split_bundles_and_refuses_wrong_bases(tmp_path, parts, env, bundle_dir):
    audio = np.sin(np.arange(30000) / 16000 * 2 * np.pi * 200).astype(np.float32) * 0.3
    stdin = data(audio) + word(FLUSH)
    rc, combined_out, err = run_host([bundle_dir], stdin, env=env)
    assert rc == 0, err

    b = split_bundle(tmp_path / "declared", parts, colocated=parts["enc"])
    rc, out, err = run_host([b], stdin, env=env)
    assert rc == 0, err
    assert out == combined_out  # the split pair renders exactly what the combined model renders
    logs = log_lines(err)
    assert f"{PREFIX}two-artifact split: base sha256={parts['sha'][:12]}… VERIFIED (bytes hashed) via co-located in {b}" in logs
    assert f"{PREFIX}two-artifact split: enc={b}/shared-enc.tflite + id={b}/identity.tflite" in logs

    undeclared = split_bundle(tmp_path / "undeclared", parts, declare=False, colocated=parts["enc"])
    rc, out, err = run_host([undeclared, "--threads", "2"], b"", env=env)
    assert rc == 0
    cap = max(1, h.effective_cpu_count() // 2)
    assert (f"{PREFIX}2-interpreter split: threads 2 -> {cap} (<= cores/2)" in log_lines(err)) == (cap != 2)
    assert (f"{PREFIX}two-artifact split: base UNVERIFIED (artifact declares no 'zephan2/shared-enc' dependency; "
            "using the bundle's own copy) — re-emit with tools/imx_from_bundle to bind it") in log_lines(err)

    store = Path(env["HALVANE_DEPS_DIR"]) / parts["sha"]
    store.write_bytes(parts["enc"])
    rc, out, err = run_host([split_bundle(tmp_path / "stored", parts)], b"", env=env)
    assert rc == 0
    assert (f"{PREFIX}two-artifact split: base sha256={parts['sha'][:12]}… resolved by CONTENT ADDRESS "
            f"(name-trusted, NOT re-hashed, per dependency_resolver) via name-trusted content store {store}") in log_lines(err)
    store.unlink()

    # A base with the right name and the wrong bytes, inside an IMX bundle: refused,
    # and the staged copy it was checked from is gone at exit.
    wrong = tmp_path / "wrong.imx"
    write_imx(wrong, [("canon.bin", parts["canon"]), ("identity.tflite", parts["identity"]),
                      ("shared-enc.tflite", b"not the base"),
                      ("manifest.json", json.dumps({"dependencies": [{"id": "zephan2/shared-enc",
                                                                      "sha256": parts["sha"]}]}).encode())])
    rc, out, err = run_host([wrong], b"", env=env)
    assert (rc, out) == (3, b"")
    line = log_lines(err)[-1]
    assert line.startswith(f"{PREFIX}FATAL: {wrong} was cut against shared-enc.tflite sha256={parts['sha']} and that "
                           "base is NOT on this machine. Resolution: ")
    assert "_shared-enc.tflite (co-located in the bundle): sha mismatch. Put it in the content store" in line
    assert f"as <store>/{parts['sha']} or <store>/{parts['sha'][:2]}/{parts['sha']})" in line
    assert list(Path(env["ZEPHAN2_STAGE_DIR"]).iterdir()) == []

    empty = split_bundle(tmp_path / "empty-sha", parts, sha="", colocated=b"x")
    rc, out, err = run_host([empty], b"", env=env)
    assert rc == 3 and log_lines(err)[-1] == (
        f"{PREFIX}FATAL: {empty} carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was "
        "found. Provide it via --engine <dir|.engine>, ZEPHAN2_SHARED_ENC=<file>, or install the linux engine "
        "(`halvane engine install linux`) into ~/.halvane/engines/.")

    lone = split_bundle(tmp_path / "lone", parts, declare=False)
    rc, out, err = run_host([lone], b"", env=env)
    assert rc == 3 and log_lines(err)[-1].startswith(
        f"{PREFIX}FATAL: {lone} carries identity.tflite (the two-artifact split's DELTA half) and declares no "
        "'zephan2/shared-enc' base in its manifest dependencies[], and carries no shared-enc.tflite of its own.")


def test_split_bundle_and_engine_under_paths_that_are_not_utf8(tmp_path, parts, env):
    root = os.fsencode(tmp_path)
    b = split_bundle(Path(os.fsdecode(root + b"/bundle-\xff")), parts, colocated=parts["enc"])
    eng = Path(os.fsdecode(root + b"/engine-\xfe"))
    eng.mkdir()
    (eng / "shared-enc.tflite").write_bytes(parts["enc"])
    b2 = split_bundle(Path(os.fsdecode(root + b"/bundle2-\xfd")), parts)
    for argv, how in (([b], b"co-located in " + os.fsencode(b)),
                      ([b2, "--engine", eng], b"engine dir " + os.fsencode(eng))):
        r = subprocess.run([*HOST, *map(os.fsencode, argv)], input=data(np.zeros(25600)), capture_output=True,
                           timeout=300)
        assert r.returncode == 0, r.stderr
        assert b"VERIFIED (bytes hashed) via " + how + b"\n" in r.stderr
        assert parse_output(r.stdout)[1] == list(range(3, 25))
