"""halvane: speech to talking-head video for prepared avatars.

What the package offers today:

- the zephan-2 host program, the command ``tessel_render_host render-stream
  <bundle> [--engine <dir|.engine>] [--threads N]``, which serves one avatar
  bundle over its standard streams (audio in, RGB888 frames out);
- its module ``halvane._zephan2._tessel_host``, which also exposes the host's
  pieces (model chain, streaming renderer, WSOLA, colour correction, bundle
  loading) to Python;
- ``halvane._zephan2.client``, the parent side of the host's render-stream
  protocol (``HostProcess``).

The offline interface ``open()`` and the live interface ``AsyncAvatar`` are not
built yet; their names are exported here once they are.
"""

from importlib.metadata import version as _version

__version__ = _version("halvane")
__all__ = ["__version__"]
