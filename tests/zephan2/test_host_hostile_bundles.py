"""Bundles built to hurt the host: members that are not regular files, members
far larger than any real one, a host stopped or killed while it stages, and
paths that are not UTF-8. The host must stay bounded in memory, act on stop
signals, leave nothing behind and never hang."""

import json
import os
import signal
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest

from hostproc import HOST, READY_NULL, run_host

GIB = 1 << 30


def peak_rss_mib(args, env=None, stdin=b""):
    """Runs the host and returns (status, stderr, its peak resident size in MiB)."""
    probe = ("import resource, subprocess, sys; r = subprocess.run(sys.argv[1:], input=sys.stdin.buffer.read(), "
             "stdout=subprocess.DEVNULL, stderr=subprocess.PIPE); sys.stderr.buffer.write(r.stderr); "
             "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    r = subprocess.run([sys.executable, "-c", probe, *HOST, *map(str, args)], input=stdin, capture_output=True,
                       env={**os.environ, **(env or {})}, timeout=300)
    status, kib = map(int, r.stdout.split())
    return status, r.stderr.decode("utf-8", "replace"), kib / 1024


@pytest.fixture(scope="module")
def huge_zip(models, tmp_path_factory):
    """A zip of a few MiB whose combined model inflates to 1 GiB of zeros."""
    p = tmp_path_factory.mktemp("huge") / "huge.zip"
    with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        z.writestr("canon.bin", Path(models["canon.bin"]).read_bytes())
        with z.open("combined_litert.tflite", "w", force_zip64=True) as m:
            block = bytes(16 << 20)
            for _ in range(GIB // len(block)):
                m.write(block)
    return p


def test_member_memory_does_not_follow_its_size(huge_zip, tmp_path):
    stage = tmp_path / "stage"
    status, err, peak = peak_rss_mib(["render-stream", huge_zip], {"ZEPHAN2_STAGE_DIR": str(stage)})
    assert status == 1, err  # zeros are no model: the interpreter refuses them after staging
    assert peak < 600, f"peak {peak:.0f} MiB for a 1 GiB member"
    assert list(stage.iterdir()) == []  # the staged copy is removed at exit

    # A canon far too large is refused by its size, before a byte is read.
    big = tmp_path / "canon"
    big.mkdir()
    with open(big / "canon.bin", "wb") as f:
        f.truncate(GIB)
    status, err, peak = peak_rss_mib(["render-stream", big])
    assert status == 3
    assert f"FATAL: canon.bin has {GIB // 4} floats, expected 74880" in err
    assert peak < 600, f"peak {peak:.0f} MiB for a 1 GiB canon"


def start_staging(bundle, stage):
    """Starts the host and returns it once its staged copy of the big member exists."""
    p = subprocess.Popen([*HOST, "render-stream", str(bundle)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env={**os.environ, "ZEPHAN2_STAGE_DIR": str(stage)})
    deadline = time.monotonic() + 120
    while not (stage.is_dir() and any(f.stat().st_size > 0 for f in stage.iterdir())):
        assert p.poll() is None and time.monotonic() < deadline, p.stderr.read()
        time.sleep(0.005)
    return p


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_stop_signal_acts_while_a_member_is_staged(huge_zip, tmp_path, sig):
    stage = tmp_path / "stage"
    p = start_staging(huge_zip, stage)
    p.send_signal(sig)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 128 + sig, err
    assert f"stopping on signal {int(sig)}".encode() in err
    assert out == b"" and list(stage.iterdir()) == []


def test_leftovers_of_a_killed_host_are_removed_by_the_next(huge_zip, bundle_dir, models, tmp_path):
    stage = tmp_path / "stage"
    p = start_staging(huge_zip, stage)
    p.kill()
    p.wait()
    leftovers = list(stage.iterdir())
    assert len(leftovers) == 1

    # The next host that stages there removes it; a directory bundle stages nothing.
    zipped = tmp_path / "small.zip"
    with zipfile.ZipFile(zipped, "w") as z:
        for name in ("canon.bin", "combined_litert.tflite"):
            z.write(models[name], name)
    status, out, err = run_host(["render-stream", zipped], env={"ZEPHAN2_STAGE_DIR": str(stage)})
    assert status == 0 and out == READY_NULL, err
    assert list(stage.iterdir()) == []


def test_members_that_are_not_regular_files_are_not_members(models, tmp_path):
    """A FIFO or a link to /dev/zero as manifest.json or color.json: never opened,
    so the host neither blocks nor reads without end."""
    b = tmp_path / "b"
    b.mkdir()
    for name in ("canon.bin", "identity.tflite", "shared-enc.tflite"):
        (b / name).write_bytes(Path(models[name]).read_bytes())
    os.mkfifo(b / "manifest.json")
    os.symlink("/dev/zero", b / "color.json")
    status, out, err = run_host(["render-stream", b], timeout=120)
    assert status == 0 and out == READY_NULL, err
    assert "base UNVERIFIED" in err

    # The same through a link in a directory bundle that declares its base.
    os.unlink(b / "manifest.json")
    os.symlink("/dev/zero", b / "manifest.json")
    status, out, err = run_host(["render-stream", b], timeout=120)
    assert status == 0 and out == READY_NULL, err


def test_stage_dir_that_is_not_utf8(models, tmp_path):
    zipped = tmp_path / "b.zip"
    with zipfile.ZipFile(zipped, "w") as z:
        for name in ("canon.bin", "combined_litert.tflite"):
            z.write(models[name], name)
    stage = os.fsencode(tmp_path) + b"/st\xffage"
    env = {**os.environ, "ZEPHAN2_STAGE_DIR": os.fsdecode(stage)}
    r = subprocess.run([*HOST, "render-stream", str(zipped)], capture_output=True, env=env, timeout=300)
    assert r.returncode == 0 and r.stdout == READY_NULL, r.stderr
    assert os.path.isdir(stage) and os.listdir(stage) == []

    # Unusable (a file stands there): its log line, then the default temp dir.
    blocked = os.fsencode(tmp_path) + b"/fi\xfele"
    open(blocked, "wb").close()
    env["ZEPHAN2_STAGE_DIR"] = os.fsdecode(blocked + b"/sub")
    r = subprocess.run([*HOST, "render-stream", str(zipped)], capture_output=True, env=env, timeout=300)
    assert r.returncode == 0 and r.stdout == READY_NULL, r.stderr
    assert b"ZEPHAN2_STAGE_DIR='" + blocked + b"/sub' unusable ([Errno 20] Not a directory" in r.stderr


@pytest.fixture(scope="module")
def whole_imx(models):
    from tools.imx import imx_bytes

    return imx_bytes([(name, Path(models[name]).read_bytes()) for name in ("canon.bin", "combined_litert.tflite")])


def canon_end(data):
    """The offset one past canon.bin's bytes (the first member of `whole_imx`)."""
    nl = int.from_bytes(data[8:10], "little")
    off, size = (int.from_bytes(data[10 + nl + i:18 + nl + i], "little") for i in (0, 8))
    return off + size


# A container cut short anywhere after its header: one FATAL line naming what
# is damaged, status 3, and no traceback.
@pytest.mark.parametrize("cut, why", [
    (lambda d: 12, "IMX member table ends inside entry 1 of 2"),
    (lambda d: 40, "IMX member table ends inside entry 2 of 2"),
    (lambda d: canon_end(d) - 1, "member 'canon.bin' declares 299520 bytes at offset"),
    (lambda d: canon_end(d), "member 'combined_litert.tflite' declares"),
    (lambda d: len(d) - 1, "member 'combined_litert.tflite' declares"),
], ids=["table-1", "table-2", "canon-1", "model-none", "model-1"])
def test_truncated_container_is_a_contract_violation(whole_imx, tmp_path, cut, why):
    b = tmp_path / "cut.imx"
    b.write_bytes(whole_imx[:cut(whole_imx)])
    status, out, err = run_host(["render-stream", b])
    assert (status, out) == (3, b""), err
    assert "Traceback" not in err
    line = err.splitlines()[-1]
    assert line.startswith(f"[tessel-render-host] FATAL: {b} is a damaged container ({why}"), line
    assert line.endswith("); re-emit it with tools/imx_from_bundle")
