"""Colour correction: color.json reports byte for byte, the record, apply, describe and descriptor."""

import hashlib
import json
import struct
import warnings

import numpy as np
import pytest

import halvane._zephan2._tessel_host as h

M2_HEAD = "color.json is present but is not parsable json ("
M2_TAIL = ") — refusing to invent an identity LUT"
M4_HEAD = "color.json: 'lut' is not a uint8 array ("
M7_HEAD = "color.json: 'gain'/'bias' are not float arrays ("
IDENT = [list(range(256))] * 3
GB = {"gain": [1.05, 1.0, 0.95], "bias": [2.0, 0.0, -1.5]}


def m3(t):
    return f"color.json is present but is not a json object (got {t})"


def m5(shape):
    return f"color.json: 'lut' has shape {shape}, the contract is (3, 256) — refusing to apply a mis-shaped table"


def m10(keys):
    return f"color.json is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: {keys})"


def lut_with(**cells):
    rows = [list(range(256)) for _ in range(3)]
    for name, v in cells.items():
        c, i = name[0], int(name[1:])
        rows["rgb".index(c)][i] = v
    return rows


@pytest.mark.parametrize("raw,message", [
    (None, "this container carries no color.json"),
    ("[1]", m3("list")), (b"3", m3("int")), ("3.0", m3("float")), ("1e2", m3("float")), (b"null", m3("NoneType")),
    ('"x"', m3("str")), ("true", m3("bool")), ([1, 2], m3("list")), (3, m3("int")), (3.0, m3("float")),
    (False, m3("bool")), ({1, 2}, m3("set")),
    ({"lut": [0] * 768}, m5("(768,)")),
    ({"lut": [list(range(255))] * 3}, m5("(3, 255)")),
    ({"lut": [[0] * 256] * 2}, m5("(2, 256)")),
    ({"lut": [[], [], []]}, m5("(3, 0)")),
    ({"lut": 7}, m5("()")),
    ({"gain": 1.0, "bias": [0, 0, 0]}, "color.json: gain()/bias(3,), the contract is (3,)/(3,)"),
    ({"gain": [1, 1, 1, 1], "bias": [[0, 0, 0]]}, "color.json: gain(4,)/bias(1, 3), the contract is (3,)/(3,)"),
    ({"gain": [1, 1, 1]}, m10("['gain']")),
    ({"bias": [1, 1, 1], "scale": 2}, m10("['bias', 'scale']")),
    ({}, m10("[]")),
    ('{"kind": "lut", "Lut": 1, "\u00e9": 0, "it\'s": 0, "B": 0}', m10("['B', 'Lut', \"it's\", 'kind', '\u00e9']")),
])
def test_refusal_reports(raw, message):
    if isinstance(raw, dict):
        raw = json.dumps(raw).encode()  # the member as it is stored
    assert h.parse_color_correct(raw) == (None, message)


@pytest.mark.parametrize("raw", [
    b"", b"   ", b"\xef\xbb\xbf{}", "\ufeff{}", b'{"a": "\xff"}', b'{"a": "\xc0\x80"}', b'{"\xed\xa0\x80": 1}',
    "{\"a\": \"\ud800\"}", b"{'lut': 1}", b'{"a": 1,}', b"{} {}", b"[" * 100000, b"[" * 5000 + b"]" * 5000,
    b'{"lut": ' + b'{"a":' * 3000 + b"1" + b"}" * 3001, bytearray(b"{"), memoryview(b"nope"),
    b"\xff", b'{"a": "\xf4\x90\x80\x80"}', b'{"a": "\xe2\x82', b"{} []",
    b'{"lut": ' + b'{"a":' * 50000 + b"1" + b"}" * 50001,
    # no member carries a non-finite number
    b'{"lut": 1e400}', b'{"gain": [NaN, 1, 1], "bias": [0, 0, 0]}', b'{"gain": [1, 1, 1], "bias": [-Infinity, 0, 0]}',
])
def test_unreadable_members_are_m2_never_an_error(raw):
    cc, message = h.parse_color_correct(raw)
    assert cc is None
    assert message.startswith(M2_HEAD) and message.endswith(M2_TAIL)
    assert "\n" not in message


def test_lut_record_and_precedence():
    member = {"lut": IDENT, "gain": "not even an array"}
    for raw in (json.dumps(member).encode(), json.dumps(member), bytearray(json.dumps(member).encode()), member):
        cc, message = h.parse_color_correct(raw, source="/b/a.zip!color.json")
        assert message == "per-channel LUT (model->driver) from /b/a.zip!color.json"
        assert (cc.kind, cc.gain, cc.bias, cc.source) == ("lut", None, None, "/b/a.zip!color.json")
        assert cc.lut.dtype == np.uint8 and cc.lut.shape == (3, 256) and cc.lut.flags.c_contiguous
        assert not cc.lut.flags.writeable
        assert np.array_equal(cc.lut, np.array(IDENT, np.uint8))
    assert h.parse_color_correct(json.dumps({"lut": IDENT}))[1] == "per-channel LUT (model->driver) from color.json"
    # element rules: truncation toward zero, booleans as 0/1
    cc, _ = h.parse_color_correct(json.dumps({"lut": lut_with(r0=12.7, r1=255.9, g5=True, b9=-0.5)}))
    assert (cc.lut[0, 0], cc.lut[0, 1], cc.lut[1, 5], cc.lut[2, 9]) == (12, 255, 1, 0)
    # duplicate keys: the last occurrence counts
    text = '{"lut": null, "lut": %s}' % json.dumps(IDENT)
    assert h.parse_color_correct(text)[0].kind == "lut"


@pytest.mark.parametrize("lut", [
    None, "abc", lut_with(r3=256), lut_with(b255=-1), lut_with(g0=None), lut_with(g0="7"), lut_with(r0=float("nan")),
    [list(range(256)), list(range(256)), list(range(255))], [0, [1]], [{1}],
])
def test_bad_lut_is_m4_without_fallback(lut):
    raw = {"lut": lut, **GB}
    cc, message = h.parse_color_correct(raw)
    assert cc is None and message.startswith(M4_HEAD) and message.endswith(")"), message


def test_gain_bias_record_describe_and_descriptor():
    cc, message = h.parse_color_correct(json.dumps(GB).encode())
    assert message == "per-channel gain/bias from color.json"
    assert (cc.kind, cc.lut, cc.source) == ("gain_bias", None, "")
    assert cc.gain.dtype == np.float32 and cc.gain.shape == (3,) and not cc.gain.flags.writeable
    assert cc.gain.tolist() == [np.float32(v) for v in GB["gain"]]
    assert cc.describe() == "per-channel gain=[1.05, 1.0, 0.95] bias=[2.0, 0.0, -1.5]"
    digest = hashlib.sha256(struct.pack("<6f", *GB["gain"], *GB["bias"])).hexdigest()
    d = h.color_descriptor(cc)
    assert list(d.items()) == [("kind", "gain_bias"), ("sha256", digest)]
    unit, _ = h.parse_color_correct({"gain": [1, True, 1.0], "bias": [0, False, 0.0]})
    assert h.color_descriptor(unit)["sha256"] == hashlib.sha256(b"\x00\x00\x80\x3f" * 3 + bytes(12)).hexdigest()
    assert h.color_descriptor(None) is None


@pytest.mark.parametrize("gb", [
    {"gain": [1, None, 1], "bias": [0, 0, 0]}, {"gain": [1, 1, 1], "bias": [0, "0", 0]},
    {"gain": [[1], [1, 2], 1], "bias": [0, 0, 0]}, {"gain": [1, 1, 1], "bias": {"r": 0}},
])
def test_bad_gain_or_bias_is_m7(gb):
    cc, message = h.parse_color_correct(gb)
    assert cc is None and message.startswith(M7_HEAD), message


def test_gain_bias_beyond_float32_range_is_infinite_and_applies_defined_bytes():
    big = 10 ** 400  # beyond the double range too
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing may reach the host's standard error
        cc, _ = h.parse_color_correct(b'{"gain": [1e39, -1e39, 3.4028235e38], "bias": [1e-50, -3e38, 1e300]}')
        wide, _ = h.parse_color_correct({"gain": [big, -big, 1], "bias": [0, 0, 0]})
    f32 = np.finfo(np.float32)
    assert cc.gain.tolist() == [np.inf, -np.inf, f32.max]
    assert cc.bias.tolist() == [0.0, np.float32(-3e38), np.inf]
    assert wide.gain.tolist() == [np.inf, -np.inf, 1.0]
    px = np.array([[0, 0, 0], [1, 1, 200]], np.uint8)
    assert cc.apply(px).tolist() == [[0, 0, 255], [255, 0, 255]]  # inf * 0 is NaN: 0


def test_apply_lut_and_gain_bias():
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, (720, 416, 3), dtype=np.uint8)
    ident, _ = h.parse_color_correct({"lut": IDENT})
    out = ident.apply(img)
    assert out.tobytes() == img.tobytes() and out is not img
    table = rng.integers(0, 256, (3, 256), dtype=np.uint8)
    cc = h.ColorCorrect("lut", lut=table)
    snapshot = img.copy()
    got = cc.apply(img[:, ::-1])  # any layout in, a new contiguous array out
    assert np.array_equal(img, snapshot)
    assert got.flags.c_contiguous and got.shape == (720, 416, 3)
    assert np.array_equal(got, np.stack([table[c][img[:, ::-1, c]] for c in range(3)], axis=-1))

    unit, _ = h.parse_color_correct({"gain": [1, 1, 1], "bias": [0, 0, 0]})
    assert unit.apply(img).tobytes() == img.tobytes()
    cc, _ = h.parse_color_correct({"gain": [1.5, 1.0, 1.0], "bias": [0.0, -20.0, 0.7]})
    px = np.array([[200, 10, 100], [100, 30, 0]], np.uint8)
    assert cc.apply(px).tolist() == [[255, 0, 100], [150, 10, 0]]
    # product rounded to float32 before the bias: 9 * 0.7f + 0.7f = 6.9999995
    cc, _ = h.parse_color_correct({"gain": [0.7] * 3, "bias": [0.7] * 3})
    assert cc.apply(np.array([9, 99, 10], np.uint8)).tolist() == [6, 69, 7]
    assert cc.apply(np.zeros((0, 3), np.uint8)).shape == (0, 3)


@pytest.mark.parametrize("bad", [np.zeros((4, 3), np.float32), np.zeros((4, 4), np.uint8), np.uint8(3),
                                 np.zeros((3, 0), np.uint8), [1, 2, 3]])
def test_apply_refuses_what_is_not_rgb_bytes(bad):
    cc, _ = h.parse_color_correct({"lut": IDENT})
    with pytest.raises(ValueError):
        cc.apply(bad)


def test_describe_lut_means():
    def line(cc):
        return cc.describe().removeprefix("per-channel LUT (model->driver), deviation from identity: ")

    assert line(h.ColorCorrect("lut", lut=np.array(IDENT, np.uint8))) == \
        "R max 0 mean 0.0/G max 0 mean 0.0/B max 0 mean 0.0"
    t = np.array(IDENT, np.int64)
    t[0] = np.minimum(np.arange(256) + 1, 255)     # 255/256 -> 1.0
    t[1, ::4] ^= 1                                 # 64/256 = 0.25 -> 0.2 (tie to even)
    t[2, :192] ^= 1                                # 192/256 = 0.75 -> 0.8 (tie to even)
    assert line(h.ColorCorrect("lut", lut=t)) == "R max 1 mean 1.0/G max 1 mean 0.2/B max 1 mean 0.8"
    t = np.array(IDENT, np.int64)
    t[0, 10] += 3
    t[0, 20:115] += 1                              # 98/256 = 0.383 -> 0.4
    t[2, 250] -= 5
    t[2, :61] = np.arange(61) + 5                  # 310/256 = 1.21 -> 1.2
    assert line(h.ColorCorrect("lut", lut=t)) == "R max 3 mean 0.4/G max 0 mean 0.0/B max 5 mean 1.2"
    assert h.color_descriptor(h.ColorCorrect("lut", lut=np.array(IDENT, np.uint8))) == {
        "kind": "lut", "sha256": hashlib.sha256(bytes(range(256)) * 3).hexdigest()}


def test_record_construction():
    cc = h.ColorCorrect("gain_bias", gain=[2, 2, 2], bias=np.zeros(3), source="here")
    assert (cc.kind, cc.source, cc.lut) == ("gain_bias", "here", None)
    assert cc.gain.tolist() == [2.0, 2.0, 2.0]
    with pytest.raises(TypeError):
        h.ColorCorrect("lut", np.zeros((3, 256), np.uint8))  # everything but kind is by name
    with pytest.raises(ValueError):
        h.ColorCorrect("lut", lut=np.zeros(767, np.uint8))
    with pytest.raises(ValueError):
        h.ColorCorrect("gain_bias", gain=[1, 1], bias=[0, 0, 0])
    with pytest.raises(AttributeError):
        cc.kind = "lut"
    # a record without the arrays its kind needs refuses instead of reading them
    with pytest.raises(ValueError):
        h.ColorCorrect("lut").apply(np.zeros((1, 3), np.uint8))
    with pytest.raises(ValueError):
        h.color_descriptor(h.ColorCorrect("gain_bias", gain=[1, 1, 1]))
    # any kind but "lut" is gain/bias; far-off magnitudes are written as NumPy writes float32
    odd = h.ColorCorrect("other", gain=[1e6, 1234567.0, 1e-5], bias=[999999.0, 0.00011, -0.0])
    assert odd.describe() == "per-channel gain=[1e+06, 1.234567e+06, 1e-05] bias=[999999.0, 0.00011, -0.0]"


@pytest.mark.parametrize("value,enabled", [
    (None, True), ("", True), ("1", True), ("yes", True), ("00", True), ("disabled", True),
    (" OFF ", False), ("False", False), ("no", False), ("0", False), ("\toff\n", False),
])
def test_color_switch(monkeypatch, value, enabled):
    if value is None:
        monkeypatch.delenv("ZEPHAN2_COLOR_CORRECT", raising=False)
    else:
        monkeypatch.setenv("ZEPHAN2_COLOR_CORRECT", value)
    assert h._color_enabled() is enabled
