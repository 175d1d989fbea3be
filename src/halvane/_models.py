"""The live interface's queue records: what goes into an AsyncAvatar
(`VideoControl`, carrying an `AudioChunk`) and what comes out (`VideoFrame`).

Samples are 16-bit: int16 values divided by `INT16_MAX` give float samples in
-1.0..1.0, and float samples times `INT16_MAX` give int16 values back.
"""

from __future__ import annotations

import uuid
from dataclasses import dataclass
from typing import Optional

import numpy as np

INT16_MAX = 32767


@dataclass
class AudioChunk:
    """Mono int16 samples at `sample_rate` Hz; `last_chunk` ends the utterance."""

    data: np.ndarray
    sample_rate: int
    last_chunk: bool = False


@dataclass
class VideoControl:
    """One input record: a piece of audio, the end of an utterance, or both."""

    audio: Optional[AudioChunk] = None
    end_of_speech: bool = False
    message_id: Optional[str] = None

    @classmethod
    def from_audio(cls, data, sample_rate, last_chunk):
        """A control carrying `data` (int16 little-endian mono PCM bytes at
        `sample_rate` Hz). Each control gets a message id of its own; the one
        that opens an utterance names all its frames."""
        samples = np.frombuffer(data, dtype="<i2").astype(np.int16)
        return cls(audio=AudioChunk(data=samples, sample_rate=int(sample_rate), last_chunk=bool(last_chunk)),
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


__all__ = ["AudioChunk", "VideoControl", "VideoFrame", "INT16_MAX"]
