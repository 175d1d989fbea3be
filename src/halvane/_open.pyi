from collections.abc import Generator, Iterable
import os
from typing import Any, NamedTuple

import numpy


class RenderStats(NamedTuple):
    """Statistics of one render: frames, render_seconds, render_fps."""
    frames: int
    render_seconds: float
    render_fps: float

class Avatar:
    """One avatar bound to its render engine: Avatar(engine, engine_id)"""

    def __init__(self, engine: object | None, engine_id: object | None) -> None: ...

    def render(self, audio: bytes | numpy.ndarray | str | os.PathLike[str] | Iterable[bytes | numpy.ndarray | str | os.PathLike[str]], out_mp4: str | os.PathLike[str] | None = None) -> Generator[numpy.ndarray, None, None] | Any:
        """
        A lazy generator of RGB frames, or with out_mp4 an MP4 file written now (its path returned).
        """

    def __enter__(self) -> Avatar:
        """The avatar itself, closed when the with block ends."""

    def __exit__(self, *exc: object) -> bool:
        """Closes the engine; an error of the block goes on."""

    def __del__(self) -> None: ...

def open(source: str | os.PathLike[str]) -> Avatar:
    """The Avatar of the avatar at `source` (a path), its engine built."""
