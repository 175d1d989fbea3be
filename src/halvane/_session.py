"""The session engine's module: its timing constants, utterance states and
error kinds.

A session renders at `FPS` frames per second from 16 kHz mono 16-bit PCM, so
`BYTES_PER_FRAME` x `FPS` bytes are one second of audio. Every frame it
produces carries an utterance state: `LO_UTT_SPEECH` while the avatar speaks,
`LO_UTT_IDLE` once it is back at rest (other values are transitions).
"""

FPS = 25
BYTES_PER_FRAME = 16000 * 2 // FPS

LO_UTT_IDLE = 0
LO_UTT_SPEECH = 1
LO_UTT_TRANSITION = 2


class _EngineError(Exception):
    """A session engine failure: the user-facing message is ``args[0]`` and
    `detail` says more for whoever debugs it."""

    def __init__(self, message, detail=None):
        super().__init__(message)
        self.detail = detail


class EngineUnavailable(_EngineError):
    """The engine cannot run on this machine or installation."""


class EngineFailed(_EngineError):
    """The engine failed while preparing or rendering."""


class AvatarOutdated(_EngineError):
    """The avatar's format is older than this engine reads; `code` names the
    conversion it needs."""

    def __init__(self, message, detail=None, code=None):
        super().__init__(message, detail)
        self.code = code
