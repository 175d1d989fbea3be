"""The avatar cache under real processes: openers racing each other and a
sweeper at capacity 0, and an unpack killed half-way."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from tools.imx import write_imx

WORKERS = 4
OPENS = 20

COMMON = textwrap.dedent("""
    import hashlib, os, sys, time
    import halvane._open as op

    def complete(entry, members):
        # every member there with the SHA-256 given, nothing else
        for name, digest in members.items():
            with open(os.path.join(entry, name), "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() != digest:
                    return False
        return sorted(os.listdir(entry)) == sorted(members)
""")

WORKER = COMMON + textwrap.dedent("""
    import json
    paths, expected = json.loads(sys.argv[1]), json.loads(sys.argv[2])
    members = expected
    me = int(sys.argv[3])
    failures = 0
    for i in range(%d):
        src, content = paths[(me + i) %% len(paths)]
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                entry = op._materialise(src)
                if not complete(entry, members[content]):
                    code = 2
                time.sleep(0.01)
                if not complete(entry, members[content]):
                    code = 3  # removed or changed while held
            except BaseException as e:
                print("open failed:", repr(e), getattr(e, "detail", None), flush=True)
                code = 1
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        if status:
            print("child", i, "status", status, flush=True)
            failures += 1
    sys.exit(1 if failures else 0)
""" % OPENS)

SWEEPER = COMMON + textwrap.dedent("""
    avatars, stop = sys.argv[1], sys.argv[2]
    passes = removed = 0
    while not os.path.exists(stop) or passes < 5:
        old = time.time() - 7200
        before = set()
        for name in os.listdir(avatars) if os.path.isdir(avatars) else []:
            if name.startswith("sha256-") and ".tmp." not in name:
                try:
                    os.utime(os.path.join(avatars, name), (old, old))
                    before.add(name)
                except OSError:
                    pass
        op._sweep(avatars, "")
        removed += len(before - set(os.listdir(avatars) if before else []))
        passes += 1
    print(passes, removed)
""")


def contents(tmp_path):
    """Three avatar contents, one of them at two paths: [(path, content)],
    {content: {member: SHA-256}}."""
    paths, expected = [], {}
    for c in range(3):
        members = [("manifest.json", b'{"n": %d}' % c), ("a/canon.bin", bytes([c]) * 1_500_000),
                   ("combined_litert.tflite", os.urandom(200_000)), ("color.json", b"{}")]
        for copy in range(2 if c == 0 else 1):
            p = tmp_path / f"avatar{c}-{copy}.imx"
            write_imx(p, members)
            paths.append((str(p), str(c)))
        expected[str(c)] = {n.rsplit("/", 1)[-1]: hashlib.sha256(d).hexdigest() for n, d in members}
    return paths, expected


def run_py(code, *args, env):
    return subprocess.Popen([sys.executable, "-c", code, *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)


@pytest.fixture
def env(tmp_path):
    e = dict(os.environ, HALVANE_CACHE_DIR=str(tmp_path / "cache"), HALVANE_AVATAR_CACHE_GB="0")
    e["PYTHONPATH"] = os.pathsep.join(filter(None, [os.getcwd(), e.get("PYTHONPATH")]))
    return e


def test_openers_and_a_sweeper_at_capacity_zero(tmp_path, env):
    paths, expected = contents(tmp_path)
    avatars = str(tmp_path / "cache" / "avatars")
    stop = str(tmp_path / "stop")
    sweeper = run_py(SWEEPER, avatars, stop, env=env)
    workers = [run_py(WORKER, json.dumps(paths), json.dumps(expected), str(w), env=env) for w in range(WORKERS)]
    outs = [(w.communicate(timeout=120)[0], w.returncode) for w in workers]
    open(stop, "w").close()
    sweeper_out = sweeper.communicate(timeout=60)[0]
    assert sweeper.returncode == 0, sweeper_out
    assert int(sweeper_out.split()[1]) > 0, sweeper_out  # entries were evicted meanwhile
    for out, code in outs:
        assert code == 0, out

    # Every content once more, each in a fresh process: one complete entry
    # each, and nothing else left behind.
    check = COMMON + textwrap.dedent("""
        import json
        members = json.loads(sys.argv[2])
        sys.exit(0 if complete(op._materialise(sys.argv[1]), members) else 1)
    """)
    for src, content in paths:
        p = run_py(check, src, json.dumps(expected[content]), env=env)
        assert p.communicate(timeout=60)[0] == "" and p.returncode == 0
    names = sorted(os.listdir(avatars))
    assert names[0] == ".idx" and len(names) == 4 and all(n.startswith("sha256-") and len(n) == 39
                                                          for n in names[1:]), names


KILLED = COMMON + textwrap.dedent("""
    import halvane._offline as offline
    real = offline.unfold_imx
    mode = sys.argv[2]

    def unfold(src, dst):
        if mode == "half":
            with open(os.path.join(dst, "manifest.json"), "wb") as f:
                f.write(b'{"n"')
        else:
            real(src, dst)
        print("unpacking", flush=True)
        time.sleep(60)

    offline.unfold_imx = unfold
    op._materialise(sys.argv[1])
""")


def test_unpack_killed_leaves_no_entry(tmp_path, env):
    paths, expected = contents(tmp_path)
    src = paths[0][0]
    avatars = tmp_path / "cache" / "avatars"
    for mode in ("half", "whole"):
        p = run_py(KILLED, src, mode, env=env)
        assert p.stdout.readline() == "unpacking\n"
        os.kill(p.pid, signal.SIGKILL)
        p.wait()
        staging = [n for n in os.listdir(avatars) if ".tmp." in n]
        assert staging == [n for n in os.listdir(avatars) if n.startswith("sha256-")] and len(staging) == 1
        # An entry name without its marker is never used; a later open
        # unpacks again, and a later sweep removes the dead staging.
        old = time.time() - 7200
        os.utime(avatars / staging[0], (old, old))
        opener = COMMON + textwrap.dedent("""
            import json
            members = json.loads(sys.argv[2])
            entry = op._materialise(sys.argv[1])
            print(os.path.basename(entry))
            sys.exit(0 if complete(entry, members) else 1)
        """)
        o = run_py(opener, src, json.dumps(expected[paths[0][1]]), env=env)
        out = o.communicate(timeout=60)[0]
        assert o.returncode == 0, out
        assert sorted(os.listdir(avatars)) == [".idx", out.strip()], mode
        subprocess.run(["rm", "-rf", str(avatars / out.strip())], check=True)
