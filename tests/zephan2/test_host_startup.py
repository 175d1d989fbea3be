"""Host module start-up: log line bytes, policy loading, staging and its exit hook, entry."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import halvane._zephan2._tessel_host as h

PY = sys.executable


def run_py(code, env=None, **kw):
    return subprocess.run([PY, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=120, **kw)


def test_elog_writes_exact_lines(capfdbinary):
    h._elog()
    h._elog("warming up", 3, 1.5, None)
    h._elog(os.fsdecode(b"/a\xff\x01"), "\ud800")  # a file name's own bytes; a lone surrogate escaped
    out, err = capfdbinary.readouterr()
    assert out == b""
    assert err == (b"[tessel-render-host]\n[tessel-render-host] warming up 3 1.5 None\n"
                   b"[tessel-render-host] /a\xff\\x01 \\ud800\n")


def test_elog_from_python_reports_a_failed_write():
    with open("/dev/full", "wb") as full:
        r = subprocess.run([PY, "-c", "import halvane._zephan2._tessel_host as h\n"
                                      "try:\n    h._elog('x')\nexcept OSError as e:\n    print(e.errno)"],
                           stderr=full, stdout=subprocess.PIPE, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, "28\n")


def test_bundle_violation_ends_only_the_program(tmp_path, bundle_dir, capfd):
    """load_bundle raises; the program's own entry points end with status 3."""
    missing = str(tmp_path / "missing")
    text = f"FATAL: no canon.bin in {missing} (per-identity canon latent required)"
    with pytest.raises(RuntimeError) as e:
        h.load_bundle(missing)
    assert str(e.value) == text
    assert capfd.readouterr().err == f"[tessel-render-host] {text}\n"
    with pytest.raises(SystemExit) as e:
        h._run(missing, None, 1)
    assert e.value.code == 3
    assert h.main(["tessel_render_host", missing]) == 3
    assert capfd.readouterr().err.splitlines()[-1] == f"[tessel-render-host] {text}"

    # a path that is not UTF-8 goes to the file system as its bytes and comes back as os.fsdecode() gives it
    odd = os.fsdecode(os.fsencode(tmp_path) + b"/avatar-\xff")
    shutil.copytree(bundle_dir, odd)
    paths, nm, canon = h.load_bundle(odd)
    assert (paths, nm, canon.size) == ([os.path.join(odd, "combined_litert.tflite")], "combined_litert.tflite", 74880)
    assert h.load_bundle(os.fsencode(odd))[0] == paths


def load_report(root, pre=""):
    code = f"""
        import sys
        {pre}
        before = list(sys.path)
        import halvane._zephan2._tessel_host as h
        print(h.__file__)
        print(h._SED.__name__ + ':' + h._SED.ORIGIN if h._SED else None)
        print(h._SED_WHY)
        print(sys.path == before)
    """
    r = run_py(code, env={"PYTHONPATH": str(root / "site")})
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines()


def policy(path, origin):
    path.write_text(f"ORIGIN = {origin!r}\n")


def test_policy_prefers_tools_directory(fake_install):
    policy(fake_install / "tools" / "shared_enc_dep.py", "tools")
    policy(fake_install / "site" / "halvane" / "_zephan2" / "shared_enc_dep.py", "beside")
    so, sed, why, path_unchanged = load_report(fake_install)
    assert so.startswith(str(fake_install))
    assert sed == "shared_enc_dep:tools"
    assert why == str(fake_install / "tools")
    assert path_unchanged == "True"  # no candidate left on the search path


def test_policy_falls_back_to_module_directory(fake_install):
    policy(fake_install / "site" / "halvane" / "_zephan2" / "shared_enc_dep.py", "beside")
    _, sed, why, _ = load_report(fake_install)
    assert sed == "shared_enc_dep:beside"
    assert why == str(fake_install / "site" / "halvane" / "_zephan2")


def test_policy_absent_leaves_error_text(fake_install):
    _, sed, why, path_unchanged = load_report(fake_install)
    assert sed == "None"
    assert why == "No module named 'shared_enc_dep'"
    assert path_unchanged == "True"


def test_policy_candidate_already_on_path_keeps_its_place(fake_install):
    tools = fake_install / "tools"
    policy(tools / "shared_enc_dep.py", "tools")
    pre = f"sys.path.append({str(tools)!r})"
    _, sed, why, path_unchanged = load_report(fake_install, pre)
    assert (sed, why, path_unchanged) == ("shared_enc_dep:tools", str(tools), "True")


def test_policy_that_fails_otherwise_stops_startup(fake_install):
    (fake_install / "tools" / "shared_enc_dep.py").write_text("raise RuntimeError('broken policy')\n")
    r = run_py("import halvane._zephan2._tessel_host", env={"PYTHONPATH": str(fake_install / "site")})
    assert r.returncode == 1 and "RuntimeError: broken policy" in r.stderr


def test_staging_in_place_and_as_files(tmp_path, monkeypatch):
    bundle = tmp_path / "bundle"
    bundle.mkdir()
    (bundle / "identity.tflite").write_bytes(b"in place")
    in_place = h._stage_tflite(str(bundle), "identity.tflite", b"ignored")
    assert in_place == str(bundle / "identity.tflite")
    assert in_place not in h._STAGED
    h._release_staged([in_place])
    assert (bundle / "identity.tflite").exists()

    stage = tmp_path / "a" / "b"
    monkeypatch.setenv("ZEPHAN2_STAGE_DIR", f"  {stage}  ")
    container = str(tmp_path / "bundle.imx")
    first = h._stage_tflite(container, "models/../../etc/identity.tflite", b"\x00model")
    second = h._stage_tflite(str(bundle), "missing/shared-enc.tflite", b"enc")
    for p in (first, second):
        assert Path(p).parent == stage  # member names never pick the directory
    assert first.endswith("_identity.tflite") and second.endswith("_shared-enc.tflite")
    assert Path(first).read_bytes() == b"\x00model"
    assert list(h._STAGED)[-2:] == [first, second]

    h._release_staged(first)  # a single path counts as a list of one
    assert not Path(first).exists() and first not in h._STAGED
    h._release_staged([first])  # second release finds nothing listed
    os.unlink(second)  # deleted behind our back: stays listed until the exit hook
    h._release_staged([second])
    assert second in h._STAGED
    h._drop_staged()
    assert len(h._STAGED) == 0


def test_unusable_stage_dir_logs_and_uses_default(tmp_path, monkeypatch, capfd):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    monkeypatch.setenv("ZEPHAN2_STAGE_DIR", str(blocker))
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    p = h._stage_tflite(str(tmp_path / "x.zip"), "identity.tflite", b"m")
    try:
        assert Path(p).parent == tmp_path
        err = capfd.readouterr().err
        assert err == (f"[tessel-render-host] ZEPHAN2_STAGE_DIR='{blocker}' unusable ([Errno 17] File exists: "
                       f"'{blocker}') — staging in the default temp dir instead\n")
    finally:
        h._drop_staged()
    monkeypatch.setenv("ZEPHAN2_STAGE_DIR", "   ")
    assert h._stage_dir() is None


@pytest.mark.parametrize("ending", ["sys.exit(0)", "sys.exit(1)", "sys.exit(2)", "sys.exit(3)",
                                    "raise RuntimeError('boom')"])
def test_exit_hook_removes_staged_files_at_every_orderly_exit(tmp_path, ending):
    r = run_py(f"""
        import sys
        import halvane._zephan2._tessel_host as h
        print(h._stage_tflite({str(tmp_path / 'b.imx')!r}, 'identity.tflite', b'x'))
        print(h._stage_tflite({str(tmp_path / 'b.imx')!r}, 'shared-enc.tflite', b'y'), flush=True)
        {ending}
    """, env={"ZEPHAN2_STAGE_DIR": str(tmp_path / "stage")})
    staged = r.stdout.split()
    assert len(staged) == 2
    assert not any(Path(p).exists() for p in staged)
    assert list((tmp_path / "stage").iterdir()) == []


def test_program_without_bundle_prints_usage():
    exe = Path(PY).parent / "tessel_render_host"
    r = subprocess.run([str(exe)], capture_output=True, timeout=60)
    assert r.returncode == 2
    assert r.stdout == b""
    assert r.stderr == (b"[tessel-render-host] usage: tessel_render_host render-stream <bundle> "
                        b"[--engine <dir|.engine>] [--threads N]\n")
