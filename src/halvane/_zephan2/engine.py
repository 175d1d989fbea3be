"""The render engine of zephan-2 avatars for the offline interface.

`Zephan2Engine(source)` runs `tessel_render_host render-stream <source>` as a
child process and renders through its protocol: each 16 kHz int16 PCM chunk
is sent as float32 samples (divided by 32768.0), and after the last chunk the
stream is flushed. Frames come back as RGB uint8 arrays of 416 x 720 x 3.

The host reads its input only while its output pipe has room, so a reader
thread takes every record off the pipe as it comes; the render feeds each
chunk whole (in steps of at most 16777216 samples) and hands out the frames
that arrived, chunk after chunk.

Which frames are handed out: the host numbers the frames of a stream upward
from 3 and sends the first picture twice (indices 3 and 4), one frame period
apart. Counting the frames in the order the host sends them, repeat included,
frame k (from 0) is shown from k / 20 s on; it is covered by the audio when it
starts before the audio ends, k x 800 < samples. So a render hands out at most
ceil(samples / 800) frames; the rest of the flush (the host pads the end of a
stream by up to a second) is read and dropped.

The child never outlives its use: `close()` ends and reaps it, and so does an
interruption in the middle of a render, a render that ends by an error and a
render generator dropped before its end; the next render then starts a new
child. An interruption between renders only resets the host's stream.
"""

from __future__ import annotations

import os
import queue
import threading

import numpy as np

from .client import MAX_STEP, HostError, HostProcess

__all__ = ["Zephan2Engine"]

FPS = 20
SAMPLE_RATE = 16000
SAMPLES_PER_FRAME = SAMPLE_RATE // FPS  # 800
# Samples fed at a time. The host reads a whole data step before it renders
# any of it, so a chunk goes in as few steps as the protocol allows and the
# host never waits for the caller between its chunks.
PIECE = MAX_STEP

_FLUSHED = object()  # a flush marker in the record queue


def covered_frames(samples: int) -> int:
    """How many frames `samples` samples of audio cover at 20 frames per second."""
    return -(-samples // SAMPLES_PER_FRAME)


class _Stream:
    """One running host and the thread that takes its records off the pipe."""

    def __init__(self, source: str, threads: int | None = None):
        self.host = HostProcess(source, threads=threads)
        self.records: queue.Queue = queue.Queue()
        self.reader = threading.Thread(target=self._read, name="tessel-host-reader", daemon=True)
        self.reader.start()

    def _read(self) -> None:
        try:
            while True:
                rec = self.host.read()
                self.records.put(_FLUSHED if rec is None else rec[1])
        except BaseException as e:  # the host ended or broke the protocol: the render sees why
            self.records.put(e)

    def next_record(self, block: bool):
        """The next frame, `_FLUSHED`, or None when `block` is false and nothing is there."""
        try:
            rec = self.records.get(block=block)
        except queue.Empty:
            return None
        if isinstance(rec, BaseException):
            self.records.put(rec)  # every later read fails the same way
            raise rec
        return rec

    def close(self, at_once: bool) -> None:
        """Ends the host: at once (it may still be rendering audio nobody wants), or
        by closing its input, on which an idle host exits by itself."""
        self.host.close(timeout=0 if at_once else 10.0)
        self.reader.join()


class Zephan2Engine:
    """The render engine of one zephan-2 avatar (a bundle the host reads)."""

    frames_per_second = FPS

    def __init__(self, source):
        self._source = os.fspath(source)
        self._render = None  # the token of the render in progress, None between renders
        self._stream: _Stream | None = None
        self._stream = self._start()

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

    def frames(self, chunks):
        """A generator of the frames that the audio of `chunks` covers."""
        token = object()
        done = False
        try:
            self._render = token
            if self._stream is None:
                self._stream = self._start()
            stream = self._stream
            stream.host.reset()
            samples = handed = 0
            for chunk in chunks:
                pcm = np.frombuffer(chunk, dtype="<i2").astype(np.float32) / np.float32(32768.0)
                for start in range(0, pcm.size, PIECE):
                    piece = pcm[start:start + PIECE]
                    stream.host.feed(piece)
                    samples += piece.size
                    while handed < covered_frames(samples) and (rec := stream.next_record(False)) is not None:
                        if rec is _FLUSHED:
                            continue
                        handed += 1
                        yield rec
            stream.host.flush()
            limit = covered_frames(samples)
            while (rec := stream.next_record(True)) is not _FLUSHED:
                if handed < limit:
                    handed += 1
                    yield rec
            done = True
        finally:
            if self._render is token:
                self._render = None
                if not done:  # the host may still be writing this render's frames
                    self._end_stream()

    def interrupt(self) -> None:
        """Abandons the current render; the next one starts on a clean stream."""
        if self._render is not None:
            self._render = None
            self._end_stream()
        elif self._stream is not None:
            try:
                self._stream.host.reset()
            except HostError:
                self._end_stream()

    def close(self) -> None:
        """Ends and reaps the host."""
        at_once, self._render = self._render is not None, None
        self._end_stream(at_once)
