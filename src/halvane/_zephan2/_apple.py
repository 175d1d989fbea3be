"""The prebuilt zephan-2 host that the package ships for Apple Silicon macOS."""

from __future__ import annotations

import platform
import sys
from pathlib import Path


def bundled_host() -> str | None:
    """The path of the prebuilt host on Apple Silicon macOS when the package carries
    one; None elsewhere (on Linux the host is built with the package)."""
    if sys.platform != "darwin" or platform.machine() != "arm64":
        return None
    exe = Path(__file__).with_name("tessel_render_host")
    return str(exe) if exe.is_file() else None
