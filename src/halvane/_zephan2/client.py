"""The parent side of the render-stream protocol: `tessel_render_host` as a child process.

`HostProcess` starts the host on one bundle, waits for its READY line, sends step
words and audio, reads frame records and flush markers, and ends and reaps the
child. Writes (`feed`, `reset`, `flush`) and reads (`read`, `frames`) hold
separate locks, so one thread may push audio while another pulls frames. The
host stops reading its input while its output pipe is full, so a caller that
feeds more than a chunk of audio must read on another thread; `render` does
that for a whole clip.

    with HostProcess(bundle) as host:
        for index, rgb in host.render(audio):   # rgb: uint8 (720, 416, 3)
            ...
"""

from __future__ import annotations

import collections
import json
import os
import struct
import subprocess
import sys
import threading
import weakref
from pathlib import Path

import numpy as np

__all__ = ["FLUSH", "FLUSH_MARKER", "MAX_STEP", "RESET", "HostError", "HostProcess", "data_steps", "host_command",
           "read_record"]

FLUSH = 0xFFFFFFFF  # step word: render what remains, then a flush marker
RESET = 0xFFFFFFFE  # step word: start a new stream
MAX_STEP = 1 << 24  # most samples in one data step
FLUSH_MARKER = -1   # frame index position holding FF FF FF FF

_U32 = struct.Struct("<I")
_I32 = struct.Struct("<i")
_STDERR_LINES = 200   # recent standard-error lines kept
_ERROR_LINES = 20     # of them, how many an error message quotes
_KILL_AFTER = 5.0     # seconds between SIGTERM and SIGKILL


class HostError(RuntimeError):
    """The host died, refused its bundle or broke the protocol.

    `returncode` is its exit status (None while it still runs) and `stderr_tail`
    the last lines of its standard error (empty when the caller took them)."""

    def __init__(self, what: str, returncode: int | None, stderr_tail: list[str]):
        self.returncode = returncode
        self.stderr_tail = stderr_tail
        status = "still running" if returncode is None else f"exit status {returncode}"
        msg = f"tessel_render_host {what} ({status})"
        if stderr_tail:
            msg += "; last lines of its standard error:\n" + "\n".join(stderr_tail)
        super().__init__(msg)


def host_command() -> list[str]:
    """The command that starts the host: the `tessel_render_host` installed beside
    this interpreter, else the host module run by this interpreter (user and system
    installs put commands elsewhere)."""
    exe = Path(sys.executable).parent / "tessel_render_host"
    if exe.is_file() and os.access(exe, os.X_OK):
        return [str(exe)]
    return [sys.executable, "-c",
            "from halvane._zephan2._tessel_host import _program; raise SystemExit(_program())"]


def data_steps(samples) -> list[bytes | memoryview]:
    """The wire bytes of `samples` (one-dimensional, any real dtype) as data steps of
    at most MAX_STEP float32 samples each; one empty step for no samples."""
    pcm = np.ascontiguousarray(samples, dtype="<f4")
    if pcm.ndim != 1:
        raise ValueError(f"samples must be one-dimensional, not of shape {pcm.shape}")
    out = []
    for start in range(0, max(pcm.size, 1), MAX_STEP):
        block = pcm[start:start + MAX_STEP]
        out += [_U32.pack(block.size), memoryview(block).cast("B")]
    return out


def read_record(stream, shape: tuple[int, int, int]) -> tuple[int, np.ndarray | None] | None:
    """One message of the host's output from a binary stream: (index, frame) for a
    frame record, (FLUSH_MARKER, None) for a flush marker, None at the end of the
    stream. The frame is a uint8 array of `shape` over its own buffer. Raises
    ValueError on a record cut short or an index that is neither."""
    head = _read_into(stream, bytearray(4))
    if head is None:
        return None
    if len(head) < 4:
        raise ValueError("output ended inside a frame index")
    (idx,) = _I32.unpack(head)
    if idx == FLUSH_MARKER:
        return idx, None
    if idx < 0:
        raise ValueError(f"frame index {idx} is neither a frame nor the flush marker: protocol desync")
    buf = _read_into(stream, bytearray(shape[0] * shape[1] * shape[2]))
    if buf is None or len(buf) < shape[0] * shape[1] * shape[2]:
        raise ValueError(f"output ended inside frame record {idx}")
    return idx, np.frombuffer(buf, np.uint8).reshape(shape)


def _read_into(stream, buf: bytearray) -> bytearray | memoryview | None:
    """Fills `buf` from `stream`; None when nothing came, a shorter view when it ended early."""
    view, got = memoryview(buf), 0
    while got < len(buf):
        n = stream.readinto(view[got:])
        if not n:
            break
        got += n
    if got == 0 and len(buf):
        return None
    return buf if got == len(buf) else view[:got]


class HostProcess:
    """One `tessel_render_host render-stream` child serving `bundle`.

    Starting it waits for READY; `ready` holds the line's JSON object. `stderr`
    takes anything subprocess accepts (a file, a descriptor, DEVNULL); by default
    the child's standard error is read on a thread and its recent lines are kept
    for error messages (`stderr_tail`). Every failure of the child surfaces as
    HostError. `close` (also on leaving a `with` block) ends and reaps it."""

    def __init__(self, bundle: str | os.PathLike, *, engine: str | os.PathLike | None = None,
                 threads: int | None = None, stderr=None):
        # Absolute paths: a name such as "-x.imx" or "--threads" is never read as an option.
        args = ["render-stream", os.path.abspath(bundle)]
        if engine is not None:
            args += ["--engine", os.path.abspath(engine)]
        if threads is not None:
            args += ["--threads", str(threads)]
        self._owner = os.getpid()
        self._cut = False  # a write was cut short: the protocol cannot go on
        self._write_lock = threading.Lock()
        self._read_lock = threading.Lock()
        self._lines: collections.deque[str] = collections.deque(maxlen=_STDERR_LINES)
        self._proc = subprocess.Popen(host_command() + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE if stderr is None else stderr)
        self._drain = None
        if stderr is None:
            self._drain = threading.Thread(target=self._drain_stderr, name="tessel-host-stderr", daemon=True)
            self._drain.start()
        try:
            line = self._proc.stdout.readline()
            if not line:
                raise self._failure("exited before READY")
            if not line.startswith(b"READY ") or not line.endswith(b"\n"):
                raise self._failure(f"wrote {line[:80]!r} instead of its READY line", stop=True)
            try:
                self.ready: dict = json.loads(line[6:])
                self._shape = (int(self.ready["height"]), int(self.ready["width"]), 3)
            except (ValueError, KeyError, TypeError):
                raise self._failure(f"wrote an unreadable READY line {line!r}", stop=True) from None
        except BaseException:
            self.close(timeout=0)
            raise
        _hosts.add(self)

    @property
    def pid(self) -> int:
        return self._proc.pid

    @property
    def returncode(self) -> int | None:
        """The exit status once the child has ended and been reaped, else None."""
        return self._proc.poll()

    def stderr_tail(self, n: int = _ERROR_LINES) -> list[str]:
        """The last `n` lines the child wrote to its standard error (when it is drained here)."""
        return list(self._lines)[-n:] if n > 0 else []

    # -- writing: one thread at a time, independent of reading -------------------

    def feed(self, samples) -> None:
        """Sends `samples` (mono, 16 kHz, one-dimensional) as data steps."""
        self._send(data_steps(samples))

    def reset(self) -> None:
        """Starts a new stream: buffered audio is dropped, frame numbering restarts."""
        self._send([_U32.pack(RESET)])

    def flush(self) -> None:
        """Asks for the frames of all audio fed so far, followed by a flush marker."""
        self._send([_U32.pack(FLUSH)])

    def _send(self, parts) -> None:
        with self._write_lock:
            if self._owner != os.getpid():
                raise self._not_ours()
            if self._proc.stdin.closed:
                raise self._failure("was closed")
            if self._cut:
                raise self._failure("was left in the middle of a step", stop=True)
            try:
                for p in parts:
                    self._proc.stdin.write(p)
                self._proc.stdin.flush()
            except BrokenPipeError:
                raise self._failure("is no longer reading its input") from None
            except BaseException:
                self._cut = True  # the host would read whatever follows as the rest of the step
                raise

    # -- reading: one thread at a time, independent of writing -------------------

    def read(self) -> tuple[int, np.ndarray] | None:
        """The next frame as (index, uint8 array of shape (height, width, 3)), or None
        for a flush marker. Blocks until one arrives."""
        with self._read_lock:
            if self._owner != os.getpid():
                raise self._not_ours()
            try:
                rec = read_record(self._proc.stdout, self._shape)
            except ValueError as e:
                if self._proc.stdout.closed:
                    raise self._failure("was closed") from None
                raise self._failure(f"broke the protocol: {e}", stop=True) from None
        if rec is None:
            raise self._failure("ended its output")
        return None if rec[1] is None else rec

    def frames(self):
        """Yields frames as `read` returns them, up to the next flush marker."""
        while (frame := self.read()) is not None:
            yield frame

    def render(self, audio):
        """Renders `audio` as a stream of its own: a reset, the samples and a flush are
        written from a writer thread while this generator yields the frames up to the
        flush marker. Leaving the loop early ends the child (closes this HostProcess)."""
        steps = [_U32.pack(RESET), *data_steps(audio), _U32.pack(FLUSH)]
        failed: list[BaseException] = []

        def write():
            try:
                self._send(steps)
            except BaseException as e:
                failed.append(e)
                self.close(timeout=0)  # the reader then sees the end of the output instead of waiting

        writer = threading.Thread(target=write, name="tessel-host-feed", daemon=True)
        writer.start()
        done = False
        try:
            yield from self.frames()
            done = True
        finally:
            if not done:
                self.close(timeout=0)  # a writer may be blocked on a pipe nobody drains
            writer.join()
        if failed:
            raise failed[0]

    # -- ending -------------------------------------------------------------------

    def close(self, timeout: float = 10.0) -> int:
        """Ends the child and returns its exit status. Its input is closed so that it
        exits by itself; when a write is still blocked after `timeout` seconds, or the
        child has not exited by then, it is terminated, and killed if it outlives
        that too. Always reaps it; safe to call again."""
        p = self._proc
        if self._owner != os.getpid():
            return None  # the parent's child: its pipes here lead to /dev/null since the fork
        if p.poll() is None:
            if self._write_lock.acquire(timeout=timeout):
                try:
                    p.stdin.close()
                except OSError:
                    pass  # it stopped reading: bytes left in our buffer are of no use
                finally:
                    self._write_lock.release()
            try:
                p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                p.terminate()
                try:
                    p.wait(timeout=_KILL_AFTER)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for f in (p.stdin, p.stdout):
            try:
                f.close()
            except OSError:
                pass
        if self._drain is not None:
            self._drain.join(timeout=_KILL_AFTER)
        return p.returncode

    def __enter__(self) -> HostProcess:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _drain_stderr(self) -> None:
        with self._proc.stderr as err:
            for line in err:
                self._lines.append(line.decode("utf-8", "replace").rstrip("\r\n"))

    def _not_ours(self) -> HostError:
        return HostError(f"was started by process {self._owner}; open the avatar again in this process", None, [])

    def _failure(self, what: str, stop: bool = False) -> HostError:
        """The error for the child's failure, once it has ended (ended by us when `stop`)."""
        if stop:
            self.close(timeout=0)
        else:
            try:
                self._proc.wait(timeout=_KILL_AFTER)
            except subprocess.TimeoutExpired:
                pass
        if self._drain is not None and self._proc.returncode is not None:
            self._drain.join(timeout=_KILL_AFTER)
        return HostError(what, self._proc.returncode, self.stderr_tail())


# Hosts of this process, for the fork hook.
_hosts: weakref.WeakSet = weakref.WeakSet()


# In a forked child, the parent's hosts, kept and never closed: their buffered
# files may be locked by a reader thread that did not come along.
_inherited: list = []


def _detach_in_child() -> None:
    # A forked child holds copies of its parent's host pipes. Pointed at /dev/null
    # they can neither steal the parent's frames nor keep its host from seeing
    # the end of its input; the locks may have been held by a thread that is gone.
    _inherited.extend(_hosts)
    null = os.open(os.devnull, os.O_RDWR)
    try:
        for host in _inherited:
            host._write_lock, host._read_lock = threading.Lock(), threading.Lock()
            for f in (host._proc.stdin, host._proc.stdout, host._proc.stderr):
                if f is not None and not f.closed:
                    os.dup2(null, f.fileno())
    finally:
        os.close(null)
    _hosts.clear()


os.register_at_fork(after_in_child=_detach_in_child)
