"""Engine ids as the live interface tells them apart."""

ENGINE_ZEPHAN2 = "zephan2"

# Engines whose runtime holds back an utterance's last ticks until it is told
# that the utterance ended (`end_utterance`), and which are reset, not
# replaced, between utterances.
_V2_ENGINES = frozenset({ENGINE_ZEPHAN2, "ostrel2-light", "ostrel2-golden", "ostrel2-unified"})


def is_v2_engine(engine_id) -> bool:
    """True when `engine_id` names a v2 engine."""
    return isinstance(engine_id, str) and engine_id in _V2_ENGINES
