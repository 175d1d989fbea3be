from collections.abc import AsyncIterator, Callable, Coroutine
import os
from typing import Any, Self

import numpy

import halvane._loader
import halvane._models


class NativeCoroutine:
    def __iter__(self, /):
        """Implement iter(self)."""

    def __next__(self, /):
        """Implement next(self)."""

    def __del__(*args, **kwargs) -> Any: ...

    def __await__(self, /):
        """Return an iterator to be used in await expression."""

    def send(self, value: object | None) -> object: ...

    def throw(self, typ: object | None, val: object | None = None, tb: object | None = None) -> object: ...

    def close(self) -> None: ...

    @property
    def cr_name(self) -> str: ...

    @property
    def cr_running(self) -> bool: ...

class NativeAsyncIterator:
    def __aiter__(self) -> object: ...

    def __anext__(self) -> object: ...

    def asend(self, value: object | None) -> object: ...

    def athrow(self, typ: object | None, val: object | None = None, tb: object | None = None) -> object: ...

    def aclose(self) -> object: ...

    @property
    def ag_name(self) -> str: ...

class AsyncAvatar(halvane._loader.NativeFixtureLoaderMixin):
    """
    One live session of one avatar model: audio pushed in pieces becomes frames, one tick each, yielded by run().

    Made by ``await AsyncAvatar.create(model_path=...)``; ended by ``await shutdown()``.
    """

    def __init__(self, *, input_buffer_size: int = 0, output_buffer_size: int = 6, output_size: tuple[int, int] | None = (1280, 720), num_threads: int = 0) -> None:
        """
        A session without a model; AsyncAvatar.create() makes one with its model loaded.
        """

    @classmethod
    def create(cls, *, model_path: str | os.PathLike[str] | None = None, input_buffer_size: int = 0, output_buffer_size: int = 6, num_threads: int = 0, verbose: bool | None = None, batch_workers: int = 1, quality: str = 'medium', identity: str | None = None, output_size: tuple[int, int] | None = (1280, 720)) -> Coroutine[Any, Any, Self]:
        """
        A new session with the model at model_path loaded (verbose, batch_workers, quality, identity: ignored).
        """

    def set_model(self, model_path: str | os.PathLike[str]) -> Coroutine[Any, Any, None]:
        """
        Stops the session and loads the model at model_path in place of the current one.
        """

    def push_audio(self, data: bytes | numpy.ndarray, sample_rate: int, last_chunk: bool = True) -> Coroutine[Any, Any, None]:
        """
        Queues a piece of 16-bit mono PCM at sample_rate Hz; last_chunk ends the utterance.
        """

    def push(self, control: halvane._models.VideoControl) -> Coroutine[Any, Any, None]:
        """Queues a control record as it is."""

    def flush(self) -> Coroutine[Any, Any, None]:
        """Ends the utterance pushed so far."""

    def run(self) -> AsyncIterator[halvane._models.VideoFrame]:
        """The session's frames; the first step starts the session."""

    def sync_to(self, sink: Callable[[], float] | object | None) -> None:
        """
        Releases each picture when its voice starts playing from sink (seconds queued; None: no sync).
        """

    def stop(self) -> Coroutine[Any, Any, None]:
        """Ends the session's tasks and keeps the model."""

    def shutdown(self) -> Coroutine[Any, Any, None]:
        """Stops the session and releases the engine."""

    def set_identity(self, identity: str) -> None:
        """Does nothing: an avatar's face is fixed when its model is packed."""

    @property
    def settings(self) -> Any:
        """
        The stream's settings (FPS, INPUT_SAMPLE_RATE, ...), a new object at each read.
        """

    def start(self, **kwargs: Any) -> Coroutine[Any, Any, None]:
        """Does nothing: create() loads the model and run() starts the session."""

    def interrupt(self) -> None:
        """Barge-in: drops the queued audio and frames; the session goes on."""

    @property
    def video_graph(self) -> None:
        """Always None: there is no video graph."""

    @property
    def transaction_id(self) -> str:
        """A random UUID naming this session in logs, made at first read."""

    def get_first_frame(self) -> numpy.ndarray | None:
        """
        A BGR picture of the stream's size before streaming starts, or None without one.
        """

    def cleanup(self) -> None:
        """Ends the consumer's stream at once, then releases the engine."""

    @property
    def frame_width(self) -> int | None:
        """Width of the session's pictures; None without a model."""

    @property
    def frame_height(self) -> int | None:
        """Height of the session's pictures; None without a model."""

    @property
    def sample_rate(self) -> int:
        """Sample rate of the frames' audio: 16000 Hz."""

    @property
    def fps(self) -> int:
        """The model's frame rate (25 without a model)."""

    @property
    def samples_per_tick(self) -> int:
        """Audio samples of each frame; RuntimeNotReadyError without a model."""

__all__: list = ['AsyncAvatar']
