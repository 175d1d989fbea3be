"""The live interface's queue records: what goes into an AsyncAvatar
(`VideoControl`, carrying an `AudioChunk`) and what comes out (`VideoFrame`).

Samples are 16-bit: int16 values divided by `INT16_MAX` give float samples in
-1.0..1.0, and float samples times `INT16_MAX` give int16 values back.
"""

from __future__ import annotations

import operator
import uuid
from dataclasses import dataclass
from typing import Optional

import numpy as np

INT16_MAX = 32767

# The sample rates audio may come at. Below the lower bound the resampler
# would blow a second of bytes up into hundreds of millions of samples.
MIN_SAMPLE_RATE_HZ = 1000
MAX_SAMPLE_RATE_HZ = 384000

_BYTE_FORMATS = ("B", "b", "c")
# Buffer format prefixes as NumPy byte orders (no prefix and "@": native).
_BYTE_ORDERS = {"": "=", "@": "=", "=": "=", "<": "<", ">": ">", "!": ">"}


def _sample_rate(sample_rate) -> int:
    """`sample_rate` as an int of Hz, or ValueError: a whole number (a NumPy
    integer will do, a bool or a float will not) in the range audio comes at."""
    if not isinstance(sample_rate, (bool, np.bool_)):
        try:
            hz = operator.index(sample_rate)
        except TypeError:
            hz = None
        if hz is not None and MIN_SAMPLE_RATE_HZ <= hz <= MAX_SAMPLE_RATE_HZ:
            return hz
    raise ValueError(f"sample_rate must be a whole number of Hz from {MIN_SAMPLE_RATE_HZ} to "
                     f"{MAX_SAMPLE_RATE_HZ}, not {sample_rate!r}")


def _not_pcm(what: str) -> TypeError:
    return TypeError(f"audio must be 16-bit PCM bytes or an int16 array, not {what}")


def _mono(data: np.ndarray) -> np.ndarray:
    """An int16 array of channels mixed down to one (every intake's rule: the
    axis of at most 8 entries holds the channels), one of a single channel
    as it is; TypeError for a shape that does not tell."""
    if data.ndim < 2:
        return data
    from ._avatar import _mono as mix

    return mix(data)


def _int16_samples(data) -> np.ndarray:
    """A new one-dimensional native int16 array of the samples in `data`:
    16-bit little-endian PCM in any bytes-like object (bytes, bytearray, a
    memoryview of bytes), a buffer of int16 items, or an int16 NumPy array
    of either byte order and any layout, read in C order, its channels mixed
    down to one (`_mono`). Anything else is
    a TypeError naming what it is (a float32 array is not taken as bytes);
    bytes that end in half a sample are a ValueError."""
    if isinstance(data, np.ndarray):
        if data.dtype.kind != "i" or data.dtype.itemsize != 2:
            raise _not_pcm(f"an array of {data.dtype}")
        return np.array(_mono(data), dtype=np.int16, order="C").reshape(-1)
    try:
        view = memoryview(data)
    except TypeError:
        raise _not_pcm(type(data).__name__) from None
    order, kind = view.format[:-1], view.format[-1:]
    if order in _BYTE_ORDERS and kind in _BYTE_FORMATS and view.itemsize == 1:
        if view.nbytes % 2:
            raise ValueError(f"16-bit PCM comes in whole samples of two bytes, not {view.nbytes} bytes")
        dtype = np.dtype("<i2")
    elif order in _BYTE_ORDERS and kind == "h" and view.itemsize == 2:
        dtype = np.dtype(_BYTE_ORDERS[order] + "i2")
    else:
        raise _not_pcm(f"a buffer of format {view.format!r}")
    raw = view if view.c_contiguous else view.tobytes()
    return np.frombuffer(raw, dtype=dtype).astype(np.int16)


@dataclass
class AudioChunk:
    """Mono int16 samples at `sample_rate` Hz; `last_chunk` ends the utterance."""

    data: np.ndarray
    sample_rate: int
    last_chunk: bool = False

    def __post_init__(self):
        # A chunk with a rate of 0 or float samples would fail (or turn to
        # noise) only later, in the producer: it is refused here instead.
        self.sample_rate = _sample_rate(self.sample_rate)
        data = self.data
        if not isinstance(data, np.ndarray):
            raise TypeError(f"AudioChunk data must be an int16 array, not {type(data).__name__}")
        if data.dtype.kind != "i" or data.dtype.itemsize != 2:
            raise TypeError(f"AudioChunk data must be an int16 array, not an array of {data.dtype}")
        if data.ndim > 1:  # channels, as every intake takes them
            self.data = _mono(data).reshape(-1)


@dataclass
class VideoControl:
    """One input record: a piece of audio, the end of an utterance, or both."""

    audio: Optional[AudioChunk] = None
    end_of_speech: bool = False
    message_id: Optional[str] = None

    def __post_init__(self):
        if self.audio is not None and not isinstance(self.audio, AudioChunk):
            raise TypeError(f"VideoControl audio must be an AudioChunk or None, not {type(self.audio).__name__}")

    @classmethod
    def from_audio(cls, data, sample_rate, last_chunk):
        """A control carrying `data` (16-bit little-endian mono PCM bytes, or
        int16 samples, at `sample_rate` Hz). Each control gets a message id
        of its own; the one that opens an utterance names all its frames.

        Raises TypeError for audio in any other form and ValueError for a
        rate that is not a whole number from MIN_SAMPLE_RATE_HZ to
        MAX_SAMPLE_RATE_HZ, or bytes that end in half a sample."""
        rate = _sample_rate(sample_rate)
        samples = _int16_samples(data)
        return cls(audio=AudioChunk(data=samples, sample_rate=rate, last_chunk=bool(last_chunk)),
                   end_of_speech=False, message_id=uuid.uuid4().hex)


@dataclass
class VideoFrame:
    """One output record: a BGR uint8 picture (height x width x 3) and/or the
    tick of audio that goes with it. A frame with neither marks the end of
    an utterance (`end_of_speech`)."""

    bgr_image: Optional[np.ndarray] = None
    audio_chunk: Optional[AudioChunk] = None
    frame_index: int = 0
    source_message_id: Optional[str] = None
    end_of_speech: bool = False


__all__ = ["AudioChunk", "VideoControl", "VideoFrame", "INT16_MAX", "MIN_SAMPLE_RATE_HZ", "MAX_SAMPLE_RATE_HZ"]
