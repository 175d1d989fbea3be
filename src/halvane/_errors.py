"""Error kinds of the offline interface.

Every foreseen failure of ``open()`` and ``Avatar.render()`` reaches the caller
as one of these. Each carries a user-facing message (its text) and a detail
for whoever debugs it: a text, or the exception that caused it.
"""


class AvatarError(Exception):
    """Base of the offline interface's errors."""

    def __init__(self, message="", detail=None):
        super().__init__(message)
        self.message = message
        self.detail = detail


class InvalidAvatar(AvatarError):
    """The file is not an avatar this package can use."""


class NotSupported(AvatarError):
    """The avatar needs something this machine or installation lacks."""


class Failed(AvatarError):
    """A render or a preparation step failed."""


class _Outdated(InvalidAvatar):
    """The avatar was made in a format this version no longer reads; `code`
    names the format step it needs."""

    def __init__(self, message="", code=None):
        super().__init__(message)
        self.code = code


def refuse(kind, message, detail=None):
    """The `kind` error to raise, carrying `message` and `detail` (a text or
    the causing exception)."""
    return kind(message, detail)
