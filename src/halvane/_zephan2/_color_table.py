"""The colour member "color.json" of an avatar bundle, judged into a
ColorCorrect record or one refusal message.

The member is one JSON object; only "lut" (3 rows of 256 integers 0..255, the
driver value for each model value) or "gain" and "bias" together (3 numbers
each) are read, "lut" taking precedence. Nothing about the member's content
makes the judging fail: every defect is a message. It is written in Python
because those messages quote Python's own UTF-8 decoder and JSON reader and
name JSON values by their Python types. The host module exposes
parse_color_correct and calls it while it loads a bundle.
"""

import json
import math

import numpy as np

from ._tessel_host import COLOR_MEMBER, ColorCorrect

# Deeper than any table; the walk over a decoded value stops there.
MAX_DEPTH = 512


class _Refused(Exception):
    """An element or the nesting of an array that cannot be converted; its text is the reason."""


def parse_color_correct(raw, source=""):
    """(ColorCorrect or None, message) for `raw`: None (the member is absent), the member's bytes, its text,
    or an already decoded JSON value. `source` names where it came from."""
    if raw is None:
        return None, f"this container carries no {COLOR_MEMBER}"
    if isinstance(raw, (bytes, bytearray, memoryview, str)):
        try:
            value = _decode(raw)
        except (ValueError, RecursionError) as e:
            return None, (f"{COLOR_MEMBER} is present but is not parsable json ({e}) — refusing to invent an "
                          "identity LUT")
    else:
        value = raw
    if not isinstance(value, dict):
        return None, f"{COLOR_MEMBER} is present but is not a json object (got {type(value).__name__})"
    src = source or COLOR_MEMBER
    if "lut" in value:
        return _lut(value["lut"], source, src)
    if "gain" in value and "bias" in value:
        return _gain_bias(value["gain"], value["bias"], source, src)
    keys = sorted(str(k) for k in value)
    return None, f"{COLOR_MEMBER} is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: {keys})"


def _decode(raw):
    if isinstance(raw, str):
        raw.encode("utf-8")  # lone surrogates are no UTF-8 text
        text = raw
    else:
        text = bytes(raw).decode("utf-8")
    # A member never carries a non-finite number: NaN, Infinity and numbers
    # beyond the double range are refused like any other unreadable text.
    return json.loads(text, parse_float=_finite, parse_constant=_no_constant)


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"number {text} is out of range")
    return value


def _no_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def _lut(value, source, src):
    try:
        shape, leaves = _leaves(value)
        table = [_byte(i, v) for i, v in enumerate(leaves)]
    except _Refused as e:
        return None, f"{COLOR_MEMBER}: 'lut' is not a uint8 array ({e})"
    if shape != (3, 256):
        return None, (f"{COLOR_MEMBER}: 'lut' has shape {shape}, the contract is (3, 256) — refusing to apply a "
                      "mis-shaped table")
    lut = np.array(table, np.uint8).reshape(3, 256)
    return ColorCorrect("lut", lut=lut, source=source), f"per-channel LUT (model->driver) from {src}"


def _gain_bias(gain, bias, source, src):
    try:
        g = _floats("gain", gain)
        b = _floats("bias", bias)
    except _Refused as e:
        return None, f"{COLOR_MEMBER}: 'gain'/'bias' are not float arrays ({e})"
    if g.shape != (3,) or b.shape != (3,):
        return None, f"{COLOR_MEMBER}: gain{g.shape}/bias{b.shape}, the contract is (3,)/(3,)"
    return ColorCorrect("gain_bias", gain=g, bias=b, source=source), f"per-channel gain/bias from {src}"


def _leaves(value):
    """(shape, elements in row-major order) of a nested array, walked level by level; every array at one
    depth must have the same length, every element must be a number or true/false."""
    shape, level = [], [value]
    while level and isinstance(level[0], (list, tuple)):
        n = len(level[0])
        if any(not isinstance(v, (list, tuple)) or len(v) != n for v in level):
            raise _Refused(_not_rectangular(shape))
        shape.append(n)
        if len(shape) > MAX_DEPTH:
            raise _Refused(f"nesting deeper than {MAX_DEPTH} levels")
        level = [e for v in level for e in v]
    for i, v in enumerate(level):
        if isinstance(v, (list, tuple)):
            raise _Refused(_not_rectangular(shape))
        if not isinstance(v, (int, float)):  # bool is an int
            raise _Refused(f"element {i} is {'null' if v is None else 'a ' + type(v).__name__}, not a number")
    return tuple(shape), level


def _not_rectangular(shape):
    return f"the nesting is not rectangular: rows of different lengths or depths at depth {len(shape) + 1}"


def _byte(i, v):
    """A table entry: an integer 0..255, true/false as 1/0, a fraction truncated toward zero."""
    ok = -1.0 < v < 256.0 if isinstance(v, float) else 0 <= v <= 255  # NaN is never ok
    if not ok:
        raise _Refused(f"element {i} is {v!r}, outside 0..255")
    return int(v)


def _floats(name, value):
    """float32 array of `value`: each element as the nearest double, then the nearest float32 (beyond the
    float32 range: infinity)."""
    try:
        shape, leaves = _leaves(value)
    except _Refused as e:
        raise _Refused(f"{name}: {e}") from None
    doubles = np.array([_double(v) for v in leaves], np.float64)
    with np.errstate(over="ignore"):
        return doubles.astype(np.float32).reshape(shape)


def _double(v):
    try:
        return float(v)
    except OverflowError:  # an integer beyond the double range
        return math.inf if v > 0 else -math.inf
