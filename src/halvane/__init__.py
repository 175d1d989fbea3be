"""halvane: speech to talking-head video for prepared avatars.

What the package offers today:

- ``open(source)``, the offline interface: the `Avatar` of an avatar on this
  machine, whose ``render(audio)`` yields RGB frames and whose
  ``render(audio, out_mp4=path)`` writes an MP4 file; the same from the
  command line: ``python -m halvane render <avatar> <audio> [<out.mp4>]``;
- the zephan-2 host program, the command ``tessel_render_host render-stream
  <bundle> [--engine <dir|.engine>] [--threads N]``, which serves one avatar
  bundle over its standard streams (audio in, RGB888 frames out);
- its module ``halvane._zephan2._tessel_host``, which also exposes the host's
  pieces (model chain, streaming renderer, WSOLA, colour correction, bundle
  loading) to Python;
- ``halvane._zephan2.client``, the parent side of the host's render-stream
  protocol (``HostProcess``);
- ``halvane._avatar.AsyncAvatar``, the live interface: audio pushed in pieces
  on the caller's asyncio event loop becomes frames handed out by an
  asynchronous iterator (``AsyncAvatar.create(model_path=...)``, ``push_audio``,
  ``flush``, ``run()``, ``interrupt()``, ``shutdown()``).
"""

TYPE_CHECKING = False  # true for type checkers; `typing` itself is not imported, to keep the import quick
if TYPE_CHECKING:  # what type checkers read; at run time open is loaded on first use (below)
    from ._open import open

__all__ = ["__version__", "open"]


def __getattr__(name):
    # The offline interface is loaded on first use, so that the host program,
    # which lives in this package, does not load it; the version is read on
    # first use too, so that importing the package (as `python -m halvane`
    # does before its command can take its signals) takes almost no time.
    if name == "open":
        from ._open import open

        return open
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = v = version("halvane")
        return v
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
