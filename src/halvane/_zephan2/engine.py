"""The render engine of zephan-2 avatars for the offline interface.

`Zephan2Engine(source)` runs `tessel_render_host render-stream <source>` as a
child process and renders through its protocol: each 16 kHz int16 PCM chunk
is sent as float32 samples (divided by 32768.0), and after the last chunk the
stream is flushed. Frames come back as RGB uint8 arrays of 416 x 720 x 3.

Frames in flight are bounded, whatever the clip's length and however slowly
the frames are taken. A reader thread takes the host's records off its pipe
into a queue of at most `AHEAD` frames (two host chunks) and waits while the
queue is full; the host, whose output pipe then fills, stops rendering. The
render feeds the host on the caller's thread, a quarter of a host chunk of
audio at a time, and only while the audio fed stays within `AHEAD` frames of the frames
handed out. That keeps the two sides from waiting on each other: the host
never has more than `AHEAD` frames to write for the audio it was given before
a piece, so the queue has room for all of them and the host always goes on to
read the piece; and when the render may not feed, the audio fed covers more
than the host's look-ahead of a chunk, so a frame is always on its way.

Which frames are handed out: the host numbers the frames of a stream upward
from 3 and sends the first picture twice (indices 3 and 4), one frame period
apart. Counting the frames in the order the host sends them, repeat included,
frame k (from 0) is shown from k / 20 s on; it is covered by the audio when it
starts before the audio ends, k x 800 < samples. So a render hands out at most
ceil(samples / 800) frames; the rest of the flush (the host pads the end of a
stream by up to a second) is read and dropped.

A render that does not run to its end (an interruption, an error, a
generator closed or dropped early, a later render started while it was
unfinished) keeps the host warm: the reader drops what the host still writes
for it (the frames of the audio fed so far, as the host's own `Renderer`
counts them, or everything up to its flush marker once it has flushed) and
the stream is reset, so the next render starts as soon as the host has
rendered the audio already in its pipe. Whatever abandons a render only marks
it stale, without waiting for the engine's lock: a finaliser may run on any
thread, the reader's included, while another holds the lock in the middle of
host I/O. Whoever holds the lock next, outside host I/O, settles it (sets the
reader dropping and resets the stream). The child never outlives its use: `close()` ends and
reaps it; a host that died is started again at the next render. An engine
still open when the interpreter exits is closed by an exit hook, while its
threads can still run: once the interpreter finalises, a thread that waits
on the host's pipe could no longer let go of it. A forked child never
touches its parent's host: its engines start hosts of their own.
"""

from __future__ import annotations

import atexit
import collections
import os
import sys
import threading
import weakref

import numpy as np

from ._tessel_host import FPS, SPF, STEADY_PX, Renderer
from .client import HostError, HostProcess

__all__ = ["Zephan2Engine"]

# The host's geometry comes from the host module: FPS, SPF (samples per frame)
# and STEADY_PX (frames of a steady chunk).
# Samples fed at a time: a quarter of a host chunk, so that a render abandoned
# early leaves the host little audio it must still render.
PIECE = STEADY_PX * SPF // 4
# Frames the host may run ahead of the consumer: the reader's queue holds at
# most this many, and the audio fed covers at most this many frames (plus one
# piece) beyond those handed out. It has to exceed the host's look-ahead (a
# chunk is rendered once the audio of the next 23 frames has come too).
AHEAD = 2 * STEADY_PX

_FLUSHED = object()  # a flush marker in the record queue


def covered_frames(samples: int) -> int:
    """How many frames `samples` samples of audio cover at 20 frames per second."""
    return -(-samples // SPF)


class _Records:
    """The records the reader took off the pipe and the render has not taken yet:
    at most `capacity` of them (None: no bound), the reader waiting for room. After
    a failure the records before it are taken first, then every take raises it.

    The records of an abandoned render are dropped as they come (`discard`),
    counted or up to a flush marker, so that the host never waits on them."""

    def __init__(self, capacity: int | None):
        self._items: collections.deque = collections.deque()
        self._capacity = capacity
        self._cond = threading.Condition()
        self._failure: BaseException | None = None
        self._closed = False
        self._markers = 0  # flush markers the reader has put
        self._stale = 0    # records up to the end of this flush marker's segment are dropped
        self._drop = 0     # records still to drop, counted

    def put(self, item) -> None:
        with self._cond:
            if item is _FLUSHED:
                self._markers += 1
            segment = self._markers - (item is _FLUSHED)  # the flush markers before it
            # checked again after every wait: an abandon meanwhile may have made it stale
            while not self._closed:
                if segment < self._stale:
                    return
                if self._drop > 0:
                    self._drop -= 1
                    return
                if self._capacity is None or len(self._items) < self._capacity:
                    self._items.append(item)
                    self._cond.notify_all()
                    return
                self._cond.wait()

    def discard(self, *, records: int = 0, through: int = 0) -> None:
        """Drops what is queued, then the next `records` records less those, or
        every record up to and including flush marker number `through`."""
        with self._cond:
            if through:
                self._stale, self._drop = through, 0
            else:
                self._drop += records - len(self._items)
            self._items.clear()
            self._cond.notify_all()

    @property
    def failed(self) -> bool:
        return self._failure is not None

    def fail(self, e: BaseException) -> None:
        with self._cond:
            if self._failure is None:
                self._failure = e
            self._cond.notify_all()

    def take(self, block: bool):
        """The next record; None when `block` is false and none is there."""
        with self._cond:
            while not self._items:
                if self._failure is not None:
                    raise self._failure
                if not block:
                    return None
                self._cond.wait()
            item = self._items.popleft()
            self._cond.notify_all()
            return item

    def close(self, failure: BaseException) -> None:
        """Drops what is queued and lets the reader go on without waiting for room."""
        with self._cond:
            self._closed = True
            self._items.clear()
            if self._failure is None:
                self._failure = failure
            self._cond.notify_all()


class _Stream:
    """One running host and the thread that takes its records off the pipe."""

    def __init__(self, source: str, threads: int | None = None, ahead: int | None = AHEAD):
        self.host = HostProcess(source, threads=threads)
        self.records = _Records(ahead)
        self.flushes = 0  # flush words written
        self.reader = threading.Thread(target=self._read, name="tessel-host-reader", daemon=True)
        self.reader.start()

    def _read(self) -> None:
        try:
            while True:
                rec = self.host.read()
                self.records.put(_FLUSHED if rec is None else rec[1])
        except BaseException as e:  # the host ended or broke the protocol: the render sees why
            self.records.fail(e)

    def next_record(self, block: bool):
        """The next frame, `_FLUSHED`, or None when `block` is false and nothing is there."""
        return self.records.take(block)

    def flush(self) -> None:
        self.host.flush()
        self.flushes += 1

    def drop(self, render: _Render) -> None:
        """Drops the rest of an abandoned `render` and keeps the host: what the
        host still writes for it is dropped as it comes (the frames its samples
        fed make, less the ones taken, or everything up to its flush marker), and
        its buffered audio is reset."""
        if self.records.failed:  # the reader is gone: nothing would drop the rest
            raise HostError("stopped reading", None, [])
        if render.flushed:
            self.records.discard(through=self.flushes)
        else:
            self.records.discard(records=Renderer._ready_items(render.fed) - render.taken)
        self.host.reset()

    def close(self, at_once: bool) -> None:
        """Ends the host: at once (it may still be rendering audio nobody wants), or
        by closing its input, on which an idle host exits by itself."""
        self.records.close(HostError("was closed", None, []))
        self.host.close(timeout=0 if at_once else 10.0)
        self.reader.join()


# Engines not closed yet, for the exit hook and the fork hook.
_open_engines: weakref.WeakSet = weakref.WeakSet()


@atexit.register
def _close_at_exit() -> None:
    offline = sys.modules.get(__package__.rpartition(".")[0] + "._open")
    if offline is not None:  # the renders in flight end first, while their hosts still answer
        offline._run_down()
    for engine in list(_open_engines):
        try:
            engine.close()
        except Exception:
            pass  # the interpreter is leaving; nobody is left to tell


def _forget_hosts_in_child() -> None:
    # A forked child shares the parent's host pipes; its engines start hosts of
    # their own when they next render and never touch the parent's.
    for engine in list(_open_engines):
        engine._lock = threading.Lock()
        engine._stream = engine._current = None
    _open_engines.clear()


os.register_at_fork(after_in_child=_forget_hosts_in_child)

_END = object()  # the render's records ran out


class _Render:
    """One render of an engine: what it has fed and taken, and how it stands.

    running  the host's stream is this render's;
    stale    abandoned (by a finaliser, an interrupt or a later render, none of
             which waits for the lock): the rest the host writes for it is still
             to drop;
    dropped  that rest is dropped by the reader, or went with the host when the
             host was ended;
    ended    it ran to its end: the host's stream is clean.
    Only a running or stale render is its engine's current one."""

    RUNNING, STALE, DROPPED, ENDED = "running", "stale", "dropped", "ended"

    __slots__ = ("state", "fed", "taken", "flushed")

    def __init__(self):
        self.state = _Render.RUNNING
        self.fed = 0          # samples fed to the host
        self.taken = 0        # records taken before the flush
        self.flushed = False  # its flush is written

    def abandon(self) -> None:
        """Marks it stale if it is still running; takes no lock, so that a
        finaliser on any thread may call it."""
        if self.state == _Render.RUNNING:
            self.state = _Render.STALE


class Zephan2Engine:
    """The render engine of one zephan-2 avatar (a bundle the host reads).

    One render at a time: a render that starts while an earlier one of this
    engine is unfinished (its generator held, or iterated on another thread)
    abandons the earlier one, whose generator then ends at its next step. An
    abandoned render keeps the host: its stream is reset and what the host
    still writes for it is dropped. A render left by anything but an ordinary
    error or its generator's close (a KeyboardInterrupt, maybe in the middle of
    a write) ends the host, which may be left in the middle of a step; the next
    render starts another. In a forked child the engine starts a host of its
    own at its next render."""

    frames_per_second = FPS

    def __init__(self, source):
        self._source = os.fspath(source)
        # The stream and the render it is on. Only renders stepping, starting or
        # settling take the lock; nothing that abandons a render waits for it.
        self._lock = threading.Lock()
        self._current: _Render | None = None
        self.stop_reason = "not rendered yet"
        self._stream: _Stream | None = None
        self._stream = self._start()
        _open_engines.add(self)

    def _start(self) -> _Stream:
        try:
            return _Stream(self._source)
        except HostError as e:
            from .._session import EngineFailed

            raise EngineFailed("the zephan-2 renderer could not open that avatar", str(e)) from None

    def _end_stream(self, at_once: bool = True) -> None:
        stream, self._stream = self._stream, None
        if stream is not None:
            stream.close(at_once)

    def _runs(self, render: _Render) -> bool:
        return self._current is render and render.state == _Render.RUNNING

    def _settle(self) -> None:
        """Under the lock, outside host I/O: when the current render is stale,
        the reader drops its rest and the stream is reset; the host stays unless
        it failed or the reset was cut short."""
        render = self._current
        if render is None or render.state != _Render.STALE:
            return
        self._current, render.state = None, _Render.DROPPED
        try:
            if self._stream is not None:
                self._stream.drop(render)
        except BaseException as e:
            self._end_stream()
            if not isinstance(e, HostError):
                raise

    def _cut(self) -> None:
        """Ends the host wherever it was; the current render's rest goes with it."""
        render, self._current = self._current, None
        if render is not None:
            render.state = _Render.DROPPED
        self._end_stream()

    def _host_io(self, io):
        """Runs `io` (host I/O under the lock), then settles a render made stale
        meanwhile. Cut short by anything but an ordinary error, the host is
        ended: it may be left in the middle of a step."""
        try:
            return io()
        except BaseException as e:
            if not isinstance(e, Exception):
                self._cut()
            raise
        finally:
            self._settle()

    def frames(self, chunks):
        """A generator of the frames that the audio of `chunks` covers."""
        render = _Render()
        records = self._records(render, chunks)
        try:
            with self._lock:
                if self._current is not None:  # unfinished: it ends at its next step
                    self._current.abandon()
                self._settle()
                if self._stream is None:
                    self._stream = self._start()
                    _open_engines.add(self)
                self._current = render
                self.stop_reason = "unfinished"
            while True:
                with self._lock:
                    self._settle()
                    if not self._runs(render):
                        return
                    rec = self._host_io(lambda: next(records, _END))
                    if not self._runs(render):  # abandoned during the step
                        return
                    if rec is _END:
                        self._current, render.state = None, _Render.ENDED
                        self.stop_reason = "end of the audio"
                        return
                yield rec
        except GeneratorExit:  # closed between steps: marked stale below
            raise
        except BaseException as e:
            if not isinstance(e, Exception):  # left anywhere, maybe in the middle of a write
                with self._lock:
                    if self._current is render:
                        self._cut()
            raise
        finally:
            # Maybe the collector's doing, on any thread: only marks it, and
            # whoever holds the lock next drops the rest.
            records.close()
            render.abandon()

    def _records(self, render: _Render, chunks):
        """The frames of `render`, each step taken under the engine's lock."""
        stream = self._stream
        stream.host.reset()
        for chunk in chunks:
            pcm = np.frombuffer(chunk, dtype="<i2")  # converted a piece at a time: a long clip is held once
            start = 0
            while True:
                if start < pcm.size and render.fed < (render.taken + AHEAD) * SPF:
                    piece = pcm[start:start + PIECE].astype(np.float32)
                    piece /= np.float32(32768.0)
                    stream.host.feed(piece)
                    render.fed += piece.size
                    start += piece.size
                    continue
                # audio of this chunk left: wait for a frame, which the audio fed so far is sure to bring
                rec = None
                if render.taken < covered_frames(render.fed):
                    rec = stream.next_record(start < pcm.size)
                if rec is None:
                    break
                render.taken += 1
                yield rec
        stream.flush()
        render.flushed = True
        handed, limit = render.taken, covered_frames(render.fed)
        while (rec := stream.next_record(True)) is not _FLUSHED:
            if handed < limit:
                handed += 1
                yield rec

    def interrupt(self) -> None:
        """Abandons the current render; the next one starts on a clean stream.
        Waits for nothing (the collector may call it on any thread, in the
        middle of host I/O): the rest is dropped now if the lock is free, else
        by whoever holds it next."""
        render = self._current
        if render is None:
            return
        render.abandon()
        # Settled now when that waits for nothing: an idle lock, and never on the
        # reader's thread, whose host I/O could wait on the records it takes.
        stream = self._stream
        if stream is not None and threading.current_thread() is not stream.reader and \
                self._lock.acquire(blocking=False):
            try:
                self._settle()
            finally:
                self._lock.release()

    def close(self) -> None:
        """Ends and reaps the host. Not under the lock: a render blocked on a host
        that stopped answering is woken by the host's end."""
        render, self._current = self._current, None
        if render is not None:
            render.state = _Render.DROPPED  # its rest goes with the host
        _open_engines.discard(self)
        self._end_stream(render is not None)
