"""Engine ids that the live interface tells apart.

`ENGINE_ZEPHAN2` names the zephan-2 family. `is_v2_engine(engine_id)` is true
for the engines of the second generation, whose runtimes hold back the last
ticks of an utterance until they are told that it ended: zephan-2 and the
"ostrel2-*" family. It is false for "ostrel1", for None and for anything else.
"""

from __future__ import annotations

ENGINE_OSTREL1 = "ostrel1"
ENGINE_ZEPHAN2 = "zephan2"
_OSTREL2_PREFIX = "ostrel2-"


def is_v2_engine(engine_id) -> bool:
    if not isinstance(engine_id, str):
        return False
    return engine_id == ENGINE_ZEPHAN2 or (engine_id.startswith(_OSTREL2_PREFIX) and len(engine_id) > len(_OSTREL2_PREFIX))
