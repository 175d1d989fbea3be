"""The zephan-2 model family: its host program lives in ``_tessel_host``, the
parent side of the program's render-stream protocol in ``client``, and the host's
base-verification policy in ``shared_enc_dep``, and the engine that renders
zephan-2 avatars for the offline interface, `Zephan2Engine`, in ``engine``."""

__all__ = ["Zephan2Engine"]


def __getattr__(name):
    # The engine is loaded on first use, so that starting the host program does
    # not load the parent side of its protocol.
    if name == "Zephan2Engine":
        from .engine import Zephan2Engine

        return Zephan2Engine
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
