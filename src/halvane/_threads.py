"""Default thread counts of the engine families: the processors this process
may run on (its CPU affinity), capped per family."""

from __future__ import annotations

import os

OSTREL1 = "ostrel1"

_CAPS = {OSTREL1: 4}


def default_threads(key):
    """Intra-operation threads for the engine family `key`: at least 1."""
    if key not in _CAPS:
        raise ValueError(f"no thread default for engine family {key!r}")
    try:
        usable = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        usable = os.cpu_count() or 1
    return max(1, min(usable, _CAPS[key]))
