"""The host program through its pipes: READY, frame records, flush, reset,
desync, end of input, usage and FATAL exits, staged files."""

import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from hostproc import FLUSH, HOST, READY_NULL, RESET, data, log_lines, parse_output, run_host, speech, word

PREFIX = "[tessel-render-host] "



def test_empty_and_truncated_input_end_cleanly(bundle_dir):
    for stdin in (b"", b"\x01", b"\x01\x02\x03", data(np.zeros(1000))[:4 + 3999], word(16777216) + b"\0" * 64):
        rc, out, err = run_host(["render-stream", bundle_dir], stdin)
        assert (rc, out) == (0, READY_NULL), stdin[:8]
        logs = log_lines(err)
        assert logs[0] == f"{PREFIX}warming up identity={bundle_dir} threads={logs[0].split('threads=')[1]}"
        assert logs[0].endswith(" ...")
        assert f"{PREFIX}ready 416x720 @20fps  model=combined_litert.tflite" in logs
        assert logs[-1] == f"{PREFIX}stdin closed — exiting"
    assert "colour-correct: NOT APPLIED — this container carries no color.json." in err


def test_records_flush_and_reset(bundle_dir):
    audio = speech(44000)
    stdin = (data(audio) + word(0) + word(FLUSH) + word(FLUSH) + word(RESET) + word(RESET) + word(FLUSH))
    rc, out, err = run_host([bundle_dir, "--threads", "2"], stdin)
    assert rc == 0, err
    ready, events, pixels = parse_output(out)
    assert ready == READY_NULL
    first = list(range(3, 57))                        # chunks 0 and 1 from the data step
    flushed = list(range(57, 89)) + [-1]             # the rest of the stream, then the marker
    after_reset = list(range(3, 25)) + [-1]           # chunk 0 of a fresh stream (all zeros)
    assert events == first + flushed + [-1] + after_reset
    assert pixels[0] == pixels[1]                     # first picture twice
    silent = pixels[-1]
    assert all(p == silent for p in pixels[-22:])     # silence after the reset: a still face


def test_desync_word_ends_with_status_1(bundle_dir):
    rc, out, err = run_host([bundle_dir], word(16777217) + data(np.zeros(10)))
    assert (rc, out) == (1, READY_NULL)
    assert log_lines(err)[-1] == f"{PREFIX}bad step size 16777217 — protocol desync"
    rc, out, err = run_host([bundle_dir], data(speech(30000)) + word(0xFFFFFFFD))
    _, events, _ = parse_output(out)
    assert rc == 1 and events == list(range(3, 25))  # what was written stays written
    assert log_lines(err)[-1] == f"{PREFIX}bad step size 4294967293 — protocol desync"


@pytest.mark.parametrize("args,status", [
    ([], 2), (["render-stream"], 2), (["--threads", "4"], 2), (["", "--engine"], 2),
    (["--threads", "-" + "9" * 30], 2),
    (["--threads", "x", "bundle"], 1), (["--threads", "abc"], 1), (["--threads", "9" * 30, "b"], 1),
])
def test_command_line(args, status):
    rc, out, err = run_host(args)
    assert (rc, out) == (status, b"")
    if status == 2:
        assert err == (f"{PREFIX}usage: tessel_render_host render-stream <bundle> "
                       "[--engine <dir|.engine>] [--threads N]\n")
    else:
        assert "ValueError" in err


def make_bundle(root, members):
    root.mkdir()
    for name, blob in members.items():
        (root / name).write_bytes(blob)
    return root


def test_fatal_lines(tmp_path, models):
    canon = Path(models["canon.bin"]).read_bytes()
    cases = {
        "missing": (None, "FATAL: no canon.bin in {b} (per-identity canon latent required)"),
        "nocanon": ({"combined_litert.tflite": b"x"}, "FATAL: no canon.bin in {b} (per-identity canon latent required)"),
        "empty": ({"canon.f32": b""}, "FATAL: canon.bin has 0 floats, expected 74880"),
        "long": ({"canon.bin": canon + b"\0" * 4}, "FATAL: canon.bin has 74881 floats, expected 74880"),
        "nomodel": ({"canon.bin": canon, "shared-enc.tflite": b"x", "model.TFLITE": b"x"},
                    "FATAL: no LiteRT tflite member in {b} (expected combined_litert.tflite, OR identity.tflite "
                    "+ an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired in v1)"),
        "odd": ({"canon.bin": canon, "b.tflite": b"", "a.tflite": b"", "identity-old.tflite": b"",
                 "combined_litert_q8gd.tflite": b""},
                "FATAL: {b} carries UNEXPECTED tflite member(s) ['a.tflite', 'b.tflite', "
                "'combined_litert_q8gd.tflite', 'identity-old.tflite'] and none of the contract renderers. zephan-2 "
                "names exactly two renderer shapes: combined_litert.tflite, OR identity.tflite + an engine "
                "shared-enc.tflite. Other .tflite names are not loaded: re-pack the member under its contract name."),
    }
    for name, (members, text) in cases.items():
        b = tmp_path / name if members is None else make_bundle(tmp_path / name, members)
        rc, out, err = run_host([b], data(np.zeros(10)))
        assert (rc, out) == (3, b""), (name, err)
        assert log_lines(err)[-1] == PREFIX + text.format(b=b), name


def test_split_bundle_without_policy_is_refused(tmp_path, models, fake_install):
    b = make_bundle(tmp_path / "split", {n: Path(models[n]).read_bytes()
                                         for n in ("canon.bin", "identity.tflite", "shared-enc.tflite")})
    code = ("import sys; import halvane._zephan2._tessel_host as h; "
            f"sys.argv = ['tessel_render_host', {str(b)!r}]; sys.exit(h._program())")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120,
                       env={**os.environ, "PYTHONPATH": str(fake_install / "site")})
    rc, out, err = r.returncode, r.stdout, r.stderr.decode()
    assert (rc, out) == (3, b"")
    line = log_lines(err)[-1]
    assert line.startswith(f"{PREFIX}FATAL: {b} is a two-artifact split, but this engine has no shared_enc_dep "
                           "(the base-verification policy) — searched the repo tools/ dir and this host's own "
                           "directory (No module named 'shared_enc_dep'). Without it")


def test_control_characters_never_split_a_log_line(tmp_path):
    b = tmp_path / "evil\nFATAL: forged"
    rc, _, err = run_host([b])
    assert rc == 3
    assert log_lines(err)[-1] == f"{PREFIX}FATAL: no canon.bin in {tmp_path}/evil\\nFATAL: forged (per-identity canon latent required)"
    assert not any(line.startswith("FATAL") for line in err.splitlines())


def test_stdout_carries_only_the_protocol(bundle_dir, tmp_path):
    """A stray print anywhere in the process lands on standard error."""
    script = tmp_path / "host.py"
    script.write_text(
        "import atexit, sys\n"
        "import halvane._zephan2._tessel_host as h\n"
        "atexit.register(lambda: print('stray print', flush=True))\n"
        f"sys.argv = ['tessel_render_host', {str(bundle_dir)!r}]\n"
        "sys.exit(h._program())\n")
    r = subprocess.run([sys.executable, str(script)], input=b"", capture_output=True, timeout=120)
    assert r.returncode == 0
    assert r.stdout == READY_NULL
    assert b"stray print" in r.stderr


def test_staged_files_never_survive(tmp_path, models):
    """A container bundle whose model cannot be loaded: status 1, staged copy removed at exit."""
    import zipfile
    stage = tmp_path / "stage"
    bad = tmp_path / "bad.zip"
    with zipfile.ZipFile(bad, "w") as z:
        z.writestr("bundle/canon.bin", Path(models["canon.bin"]).read_bytes())
        z.writestr("bundle/combined_litert.tflite", b"not a model")
    rc, out, err = run_host([bad], env={"ZEPHAN2_STAGE_DIR": str(stage)})
    assert rc == 1 and out == b""
    assert stage.is_dir() and list(stage.iterdir()) == []


@pytest.mark.parametrize("stage, limit, closed_out, line", [
    ("/proc/self", None, False, "cannot stage combined_litert.tflite in '/proc/self': [Errno 2] No such file or directory"),
    ("/sys", None, False, "cannot stage combined_litert.tflite in '/sys': [Errno 13] Permission denied"),  # root's too
    ("{tmp}", 16384, False, "cannot stage combined_litert.tflite in '{tmp}': [Errno 27] File too large"),  # a full disk
    ("{tmp}", None, True, "cannot write standard output: [Errno 32] Broken pipe"),  # its reader has closed it
], ids=["proc", "unwritable", "no room", "stdout closed"])
def test_an_os_failure_ends_with_one_line_and_status_1(tmp_path, bundle_dir, stage, limit, closed_out, line):
    bundle = shutil.make_archive(str(tmp_path / "avatar"), "zip", bundle_dir)  # its model is staged
    rd, wr = os.pipe()
    os.close(rd)
    with os.fdopen(wr, "wb") as closed:
        r = subprocess.run([*HOST, bundle], input=b"", stdout=closed if closed_out else subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=120,
                           env={**os.environ, "ZEPHAN2_STAGE_DIR": stage.format(tmp=tmp_path)},
                           preexec_fn=limit and (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))))
    err = r.stderr.decode()
    assert (r.returncode, r.stdout or b"") == (1, b"") and "Traceback" not in err, err
    assert err.splitlines()[-1] == PREFIX + line.format(tmp=tmp_path)
    assert not list(tmp_path.glob("tessel-stage-*"))


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_stop_signals_end_in_order(bundle_dir, sig):
    p = subprocess.Popen([*HOST, str(bundle_dir)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    assert p.stdout.readline() == READY_NULL
    p.stdin.write(data(np.zeros(100)))  # a data step that completes no chunk, then idle
    p.stdin.flush()
    p.send_signal(sig)
    try:
        err = p.stderr.read()  # stdin stays open: only the signal can end it
        p.wait(timeout=60)
    finally:
        p.kill()
    assert p.returncode == 128 + sig
    assert f"{PREFIX}stopping on signal {int(sig)}" in err.decode()


def test_write_frame_and_emit_write_any_bytes(tmp_path):
    code = ("import halvane._zephan2._tessel_host as h\n"
            "h.write_frame(7, b'abc')\n"
            "h.emit([(1, b'x'), (2, bytearray(b'yz')), (-3, memoryview(b'w'))])\n"
            "h.emit([])\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout == (word(7) + b"abc" + word(1) + b"x" + word(2) + b"yz" + struct.pack("<i", -3) + b"w")


def test_colour_table_is_announced_and_applied(tmp_path, bundle_dir):
    import hashlib
    import json
    plain = tmp_path / "plain"
    shutil.copytree(bundle_dir, plain)
    inverted = tmp_path / "inverted"
    shutil.copytree(bundle_dir, inverted)
    lut = [[255 - v for v in range(256)]] * 3
    (inverted / "color.json").write_text(json.dumps({"lut": lut, "kind": "ignored"}))
    gained = tmp_path / "gained"
    shutil.copytree(bundle_dir, gained)
    (gained / "color.json").write_text(json.dumps({"gain": [1.0, 1.0, 1.0], "bias": [0, 0, 0]}))

    stdin = data(speech(25600))
    _, out_plain, _ = run_host([plain], stdin)
    rc, out_inv, err = run_host([inverted], stdin)
    assert rc == 0
    ready, events, pixels = parse_output(out_inv)
    sha = hashlib.sha256(bytes(sum(lut, []))).hexdigest()
    assert ready == b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":{"kind":"lut","sha256":"%s"}}\n' % sha.encode()
    assert len(ready) == 161
    assert any(line.startswith(f"{PREFIX}colour-correct: APPLIED — per-channel LUT (model->driver), deviation "
                               "from identity: R max 255 mean 128.0") for line in log_lines(err))
    _, _, plain_pixels = parse_output(out_plain)
    for p, q in zip(plain_pixels, pixels):
        assert bytes(255 - b for b in p[:3000]) == q[:3000]

    rc, out_gain, err = run_host([gained], stdin, env={"ZEPHAN2_COLOR_CORRECT": " OFF "})
    assert parse_output(out_gain)[0] == READY_NULL  # switched off: not even read
    assert f"{PREFIX}colour-correct: DISABLED by ZEPHAN2_COLOR_CORRECT=0 — the frames" in err
    rc, out_gain, err = run_host([gained], stdin)
    assert len(parse_output(out_gain)[0]) == 167
    assert parse_output(out_gain)[2] == plain_pixels  # unit gain, zero bias: the same bytes


def test_directory_imx_and_zip_serve_the_same_bytes(tmp_path, bundle_dir):
    import zipfile
    from tools.imx import write_imx
    members = [(p.name, p.read_bytes()) for p in sorted(Path(bundle_dir).iterdir())]
    imx = tmp_path / "b.imx"
    write_imx(imx, [(f"avatar/{n}", b) for n, b in members])
    zpath = tmp_path / "b.zip"
    with zipfile.ZipFile(zpath, "w", zipfile.ZIP_DEFLATED) as z:
        for n, b in members:
            z.writestr(f"avatar/{n}", b)
    stdin = data(speech(30000)) + word(FLUSH)
    outs = []
    for b in (bundle_dir, imx, zpath):
        rc, out, err = run_host([b], stdin, env={"ZEPHAN2_STAGE_DIR": str(tmp_path / "stage")})
        assert rc == 0, err
        outs.append(out)
    assert outs[0] == outs[1] == outs[2]
    assert parse_output(outs[0])[1] == list(range(3, 57)) + [-1]
    assert list((tmp_path / "stage").iterdir()) == []  # staged models released once loaded


# ---- hostile starts: closed standard streams, command lines that are not
# UTF-8, a standard error that cannot be written ----

def parent_env(**extra):
    """The environment a parent gives the host, with Python's own stream
    buffering (a developer's shell may set unbuffered mode, which hides what
    the interpreter does with unflushed text at exit)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    return {**env, **extra}


def sh_exec(redirect, argv):
    """argv run by a shell that first applies `redirect` (such as `<&-`)."""
    return ["/bin/sh", "-c", f'exec "$0" "$@" {redirect}', *argv]


def test_closed_standard_streams_are_opened_on_dev_null(bundle_dir):
    for redirect, want_out in (("<&-", READY_NULL), (">&-", b""), ("2>&-", READY_NULL)):
        r = subprocess.run(sh_exec(redirect, [*HOST, str(bundle_dir)]), input=b"", capture_output=True,
                           timeout=120, env=parent_env())
        assert (r.returncode, r.stdout) == (0, want_out), redirect
        logs = log_lines(r.stderr.decode())
        if redirect == "2>&-":
            assert r.stderr == b""
        else:  # standard input reads as empty: no signal pipe behind descriptor 0
            assert logs[-1] == f"{PREFIX}stdin closed — exiting", redirect


def test_arguments_that_are_not_utf8_are_file_system_bytes(tmp_path, bundle_dir):
    root = os.fsencode(tmp_path)
    b = root + b"/avatar-\xff\xfe"
    shutil.copytree(bundle_dir, os.fsdecode(b))
    r = subprocess.run([*HOST, b"render-stream", b, b"extra-\xfa", b"--threads", b"1"], input=word(FLUSH),
                       capture_output=True, timeout=120, env=parent_env())
    assert r.returncode == 0, r.stderr
    ready, events, _ = parse_output(r.stdout)
    assert (ready, events) == (READY_NULL, list(range(3, 25)) + [-1])
    assert b"[tessel-render-host] warming up identity=" + b + b" threads=1 ...\n" in r.stderr

    missing = root + b"/gone-\xff\nFATAL: forged"
    r = subprocess.run([*HOST, missing], capture_output=True, timeout=120, env=parent_env())
    assert (r.returncode, r.stdout) == (3, b"")
    assert r.stderr.splitlines()[-1] == (b"[tessel-render-host] FATAL: no canon.bin in " + root +
                                         b"/gone-\xff\\nFATAL: forged (per-identity canon latent required)")


def unwritable_stderr(kind, argv):
    """(argv, stderr argument) for a host whose standard error cannot be written:
    a full device, a pipe whose reader is gone, or a closed descriptor."""
    if kind == "full":
        return argv, open("/dev/full", "wb")
    if kind == "closed pipe":
        rd, wr = os.pipe()
        os.close(rd)
        return argv, os.fdopen(wr, "wb")
    return sh_exec("2>&-", argv), open(os.devnull, "wb")


@pytest.mark.parametrize("kind", ["full", "closed pipe", "closed"])
def test_unwritable_stderr_keeps_the_documented_statuses(tmp_path, bundle_dir, models, kind):
    import zipfile
    bad = tmp_path / "bad.zip"  # staged, then its model fails to load: an error with a trace
    with zipfile.ZipFile(bad, "w") as z:
        z.writestr("canon.bin", Path(models["canon.bin"]).read_bytes())
        z.writestr("combined_litert.tflite", b"not a model")
    stage = tmp_path / "stage"
    env = parent_env(ZEPHAN2_STAGE_DIR=str(stage))
    cases = [([bundle_dir], 0, READY_NULL), ([bad], 1, b""), (["--threads", "x", "b"], 1, b""),
             ([], 2, b""), ([tmp_path / "missing"], 3, b"")]
    for args, status, out in cases:
        argv, err = unwritable_stderr(kind, [*HOST, *map(str, args)])
        with err:
            r = subprocess.run(argv, input=b"", stdout=subprocess.PIPE, stderr=err, timeout=120, env=env)
        assert (r.returncode, r.stdout) == (status, out), args
    assert list(stage.iterdir()) == []

    # A stop signal while serving.
    argv, err = unwritable_stderr(kind, [*HOST, str(bundle_dir)])
    with err:
        p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, env=env)
    try:
        assert p.stdout.readline() == READY_NULL
        p.send_signal(signal.SIGTERM)
        assert p.wait(timeout=60) == 128 + signal.SIGTERM
    finally:
        p.kill()
        p.stdin.close()
        p.stdout.close()


@pytest.mark.parametrize("kind", ["full", "closed pipe"])
def test_text_left_in_python_streams_does_not_change_the_status(tmp_path, bundle_dir, kind):
    """Text the interpreter cannot flush at exit (here a stray print, which the
    host sends to standard error) leaves the program's status as it is."""
    script = tmp_path / "host.py"
    script.write_text(
        "import sys\n"
        "import halvane._zephan2._tessel_host as h\n"
        "print('stray print')\n"
        "sys.argv = ['tessel_render_host'] + sys.argv[1:]\n"
        "sys.exit(h._program())\n")
    for args, status in (([bundle_dir], 0), ([tmp_path / "missing"], 3), (["--threads", "x"], 1)):
        argv, err = unwritable_stderr(kind, [sys.executable, str(script), *map(str, args)])
        with err:
            r = subprocess.run(argv, input=b"", stdout=subprocess.PIPE, stderr=err, timeout=120, env=parent_env())
        assert r.returncode == status, args


def test_protocol_pipe_holds_a_whole_frame_record(bundle_dir):
    """Frames leave in one write each: the host grows its standard-output pipe
    (where the system allows it) to hold a whole frame record."""
    import fcntl
    f_getpipe_sz = getattr(fcntl, "F_GETPIPE_SZ", 1032)
    p = subprocess.Popen([*HOST, str(bundle_dir)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    try:
        assert p.stdout.readline() == READY_NULL
        size = fcntl.fcntl(p.stdout.fileno(), f_getpipe_sz)
        with open("/proc/sys/fs/pipe-max-size") as f:
            limit = int(f.read())
        assert size >= min(4 + 720 * 416 * 3, limit)
    finally:
        p.stdin.close()
        p.wait(timeout=60)
    assert p.returncode == 0
