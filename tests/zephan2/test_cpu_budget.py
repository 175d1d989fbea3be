import os
import shutil
import subprocess
import sys

import pytest

from halvane._zephan2._tessel_host import (
    _effective_cpu_count_at, default_threads, effective_cpu_count)


def probe(tmp_path, membership, limits, v1=None, cpus=8):
    """membership: bytes of the fake /proc/self/cgroup (None: no file);
    limits: {relative dir: cpu.max text}; v1: (quota text, period text)."""
    root = os.path.join(os.fsencode(tmp_path), b"cg")
    os.makedirs(root, exist_ok=True)
    proc = tmp_path / "cgroup"
    if membership is not None:
        proc.write_bytes(membership)
    for rel, text in limits.items():
        d = os.path.join(root, os.fsencode(rel)) if rel else root
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, b"cpu.max"), "w") as f:
            f.write(text)
    for name, text in zip(("quota", "period"), v1 or ()):
        (tmp_path / name).write_text(text)
    return _effective_cpu_count_at(str(proc), os.fsdecode(root), str(tmp_path / "quota"),
                                   str(tmp_path / "period"), cpus)


V1_ONE = ("100000\n", "100000\n")


@pytest.mark.parametrize("membership,limits,v1,expected", [
    # tightest level wins, whichever level it is
    (b"0::/a/b\n", {"a/b": "200000 100000\n", "a": "100000 100000\n"}, None, 1),
    (b"0::/a/b\n", {"a/b": "50000 100000", "a": "400000 100000"}, None, 1),
    (b"0::/a/b\n", {"a/b": "max 100000", "": "150000 100000"}, None, 2),
    # "max" does not stop the walk; every level "max" means no quota and no v1 read
    (b"0::/a/b\n", {"a/b": "max 100000", "a": "50000 100000"}, None, 1),
    (b"0::/a/b\n", {"a/b": "max 100000", "a": "max 100000", "": "max 100000"}, V1_ONE, 8),
    # a period of 0 or an unparsable field still counts as read
    (b"0::/a\n", {"a": "100000 0"}, V1_ONE, 8),
    (b"0::/a\n", {"a": "lots 100000"}, V1_ONE, 8),
    # a level with fewer than two fields is skipped; nothing read -> v1 decides
    (b"0::/a\n", {"a": "100000\n"}, V1_ONE, 1),
    (b"0::/a\n", {"a": "100000\n", "": "300000 100000"}, V1_ONE, 3),
    # membership parsing: trailing slashes, first 0:: line, no 0:: line, no file
    (b"1:cpu:/x\n  0::/c\n0::/a/b// \t\n0::/c\n", {"a/b": "250000 100000", "c": "1 100000"}, None, 3),
    (b"12:cpu,cpuacct:/a\n", {"a": "100000 100000"}, ("150000", "100000"), 2),
    (b"12:cpu,cpuacct:/a\n", {"": "300000 100000"}, V1_ONE, 3),
    (None, {}, (" 50000 \n", "100000"), 1),
    (b"0::/\n", {"": "max 100000", "x": "1 100000"}, V1_ONE, 8),
    # v1: -1, zero period, garbage mean no quota
    (b"", {}, ("-1", "100000"), 8),
    (b"", {}, ("100000", "0"), 8),
    (b"", {}, ("1.5", "1"), 8),
    (b"", {}, None, 8),
    # quota rounds up; a quota above the processor count changes nothing
    (b"0::/a\n", {"a": "1 100000"}, None, 1),
    (b"0::/a\n", {"a": "2000000 100000"}, None, 8),
    (b"0::/a\n", {"a": "9223372036854775807 1"}, None, 8),
    (b"0::/\xff\xfe/a\n", {b"\xff\xfe/a": "max 100000", b"\xff\xfe": "100000 100000"}, None, 1),
])
def test_cgroup_probe(tmp_path, membership, limits, v1, expected):
    limits = {os.fsdecode(k) if isinstance(k, bytes) else k: v for k, v in limits.items()}
    assert probe(tmp_path, membership, limits, v1) == expected


def test_processor_count_source(tmp_path):
    assert probe(tmp_path, b"", {}, cpus=0) == 8
    assert probe(tmp_path, b"", {}, cpus=3) == 3
    assert probe(tmp_path, b"0::/a\n", {"a": "150000 100000"}, cpus=64) == 2
    n = effective_cpu_count()
    assert 1 <= n <= len(os.sched_getaffinity(0)) <= os.cpu_count()


@pytest.mark.skipif(shutil.which("taskset") is None, reason="taskset not installed")
def test_affinity_mask_limits_count():
    code = ("from halvane._zephan2._tessel_host import *;"
            "print(effective_cpu_count(), default_threads(1, 0), default_threads(2, 8))")
    out = subprocess.run(["taskset", "-c", "0", sys.executable, "-c", code],
                         capture_output=True, text=True, check=True,
                         env={**os.environ, "LIBSTREAM_THREADS": ""}).stdout
    assert out.split() == ["1", "1", "1"]


@pytest.mark.parametrize("env,n_interp,requested,expected", [
    (None, 1, 0, lambda c: min(c, 24)),
    ("", 1, None, lambda c: min(c, 24)),
    ("  ", 1, -4, lambda c: min(c, 24)),
    ("0", 1, 0, lambda c: min(c, 24)),
    ("-3", 1, 0, lambda c: min(c, 24)),
    (" 37\n", 1, 0, lambda c: 37),
    ("1_0", 1, 0, lambda c: 10),
    ("abc", 1, 40, lambda c: 40),
    (None, 1, 3.9, lambda c: 3),
    ("9223372036854775807", 1, 0, lambda c: 9223372036854775807),
    (None, 2, 0, lambda c: max(1, c // 2)),
    ("40", 2, 0, lambda c: max(1, c // 2)),
    (None, 2, 40, lambda c: max(1, c // 2)),
    ("1", 3, 0, lambda c: 1),
])
def test_default_threads(monkeypatch, env, n_interp, requested, expected):
    if env is None:
        monkeypatch.delenv("LIBSTREAM_THREADS", raising=False)
    else:
        monkeypatch.setenv("LIBSTREAM_THREADS", env)
    assert default_threads(n_interp, requested) == expected(effective_cpu_count())
    if n_interp == 1 and requested == 0:
        assert default_threads() == expected(effective_cpu_count())


@pytest.mark.parametrize("env", ["abc", "5.0", "0x10", "1__0", "_1", "+",
                                 "9223372036854775808", "99999999999999999999999"])
def test_bad_thread_env_raises(monkeypatch, env):
    monkeypatch.setenv("LIBSTREAM_THREADS", env)
    with pytest.raises(ValueError):
        default_threads(1, 0)
    with pytest.raises(ValueError):
        default_threads(2, None)


def test_hugely_negative_thread_env_counts_as_unset(monkeypatch):
    monkeypatch.setenv("LIBSTREAM_THREADS", "-9223372036854775809")
    assert default_threads(1, 0) == min(effective_cpu_count(), 24)
