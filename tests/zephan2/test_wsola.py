"""WSOLA time compression: bit-exact against a plain NumPy transcription."""

import math

import numpy as np
import pytest

import halvane._zephan2._tessel_host as h

SEG, OV, SEARCH = 1312, 192, 235


def np_to_buf(d):
    d = np.asarray(d, dtype=np.float64)
    t = np.clip(np.trunc(d * 2147483648.0), -2147483648.0, 2147483647.0)
    return np.floor((t + 64.0) / 128.0).astype(np.float32)


def np_from_buf(v):
    t = np.clip(np.floor(np.asarray(v, dtype=np.float64) + 0.5) * 128.0, -2147483648.0, 2147483647.0)
    return (t / 2147483648.0).astype(np.float32)


def np_tempo_wsola(x, factor=1.25):
    """The reference algorithm, written for clarity rather than speed."""
    ov = OV
    hop = SEG - ov
    half = (SEARCH - 1) // 2
    skip = factor * hop
    buf = np_to_buf(x)
    n = buf.size
    n_out = max(0, int(math.floor(n / factor + 0.5)))
    inv = np.float32(1.0) / np.float32(ov)
    w = np.arange(ov, dtype=np.float32) * inv
    u = np.float32(1.0) - w
    out = np.zeros(n_out, dtype=np.float32)
    pad = half + SEG + 1
    pbuf = np.zeros(n + 2 * pad, dtype=np.float32)
    pbuf[pad:pad + n] = buf
    win = np.lib.stride_tricks.sliding_window_view(pbuf, ov)
    offsets = np.arange(-half, half + 1)

    def take(a, cnt):
        a = int(a)
        if a >= n or a + cnt <= 0:
            return np.zeros(cnt, dtype=np.float32)
        lo = max(a, 0)
        s = buf[lo:min(a + cnt, n)]
        return np.concatenate([np.zeros(lo - a, np.float32), s,
                               np.zeros(cnt - (lo - a) - s.size, np.float32)])

    q, blk = 0, 0
    while q * hop < n_out:
        o0 = q * hop
        emit = min(hop, n_out - o0)
        if q == 0:
            seg = take(0, hop)
        else:
            tail = take(blk + hop, ov)
            nom = int(math.floor(q * skip + 0.5))
            cands = win[nom - half + pad: nom - half + pad + offsets.size].astype(np.float64)
            diff = cands - tail.astype(np.float64)
            ssd = np.cumsum(diff * diff, axis=1)[:, -1]  # running sum, sample by sample
            qj = nom + offsets[int(np.argmin(ssd))]
            head = take(qj, ov)
            mix = (tail * u).astype(np.float32) + (head * w).astype(np.float32)
            seg = np.concatenate([mix.astype(np.float32), take(qj + ov, hop - ov)])
            blk = qj
        out[o0:o0 + emit] = seg[:emit]
        q += 1
    return np_from_buf(out)


def _signals():
    rng = np.random.default_rng(7)
    t = np.arange(44000) / 16000.0
    yield "random", rng.uniform(-1, 1, 44000).astype(np.float32)
    yield "speechlike", (0.3 * np.sin(2 * np.pi * 180 * t) * (1 + np.sin(2 * np.pi * 3 * t))
                         + 0.05 * rng.standard_normal(44000)).astype(np.float32)
    yield "sine", (0.8 * np.sin(2 * np.pi * 440 * t)).astype(np.float32)
    yield "ramp", np.linspace(-1.2, 1.2, 44000, dtype=np.float32)
    yield "loud_noise", (3.0 * rng.standard_normal(44000)).astype(np.float32)


@pytest.mark.parametrize("name,x", list(_signals()), ids=lambda v: v if isinstance(v, str) else "")
def test_matches_reference_bit_for_bit(name, x):
    got = h.tempo_wsola(x)
    assert got.dtype == np.float32 and got.shape == (35200,)
    want = np_tempo_wsola(x)
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))
    assert np.array_equal(x, next(v for k, v in _signals() if k == name))  # input untouched


@pytest.mark.parametrize("n,factor", [(100, 1.25), (1, 1.25), (11, 2.0), (5000, 0.8), (9001, 1.7), (44000, 1.0)])
def test_other_lengths_and_factors_match_reference(n, factor):
    x = np.random.default_rng(n).uniform(-1, 1, n)  # float64 input takes the double path
    got = h.tempo_wsola(x, factor)
    assert np.array_equal(got, np_tempo_wsola(x, factor))


def test_short_and_degenerate_inputs():
    assert h.tempo_wsola(np.zeros(0, np.float32)).shape == (0,)
    assert not h.tempo_wsola(np.zeros(44000, np.float32)).any()
    x = np.random.default_rng(1).uniform(-1, 1, 100).astype(np.float32)
    short = h.tempo_wsola(x)
    assert short.shape == (80,)
    assert np.array_equal(short, np_from_buf(np_to_buf(x[:80])))
    assert h.tempo_wsola(np.ones(11), 2.0).shape == (6,)  # n_out rounds half up
    assert h.tempo_wsola(np.ones(50), -1.0).shape == (0,)
    with pytest.raises(ZeroDivisionError):
        h.tempo_wsola(np.ones(10), 0.0)


def test_tie_takes_leftmost_candidate():
    # A periodic signal whose period divides the search span has many equal
    # sums; the first one must win, as in the reference.
    x = np.tile(np.array([0.5, -0.5, 0.25, -0.25], np.float32), 11000)
    assert np.array_equal(h.tempo_wsola(x), np_tempo_wsola(x))


def test_fixed_point_view_examples():
    samples = np.array([1.0, -1.0, 0.5, 1.5, 2.0 ** -25, -2.0 ** -25, -1.5 * 2.0 ** -24])
    view = h._wsola_to_buf(samples)
    assert view.tolist() == [16777216, -16777216, 8388608, 16777216, 1, 0, -1]
    assert h._wsola_from_buf(view).tolist() == [1.0, -1.0, 0.5, 1.0, 2.0 ** -24, 0.0, -2.0 ** -24]
    assert h._wsola_from_buf(np.array([0.5, -0.5, 2.5], np.float32)).tolist() == [2.0 ** -24, 0.0, 3 * 2.0 ** -24]
    grid = h._wsola_to_buf(np.zeros((2, 3)))
    assert grid.shape == (2, 3) and grid.dtype == np.float32


def test_non_finite_samples_are_defined():
    view = h._wsola_to_buf(np.array([np.nan, np.inf, -np.inf], np.float32))
    assert view.tolist() == [0.0, 16777216.0, -16777216.0]
    x = np.random.default_rng(3).uniform(-1, 1, 44000).astype(np.float32)
    x[::997] = np.nan
    x[5::1231] = np.inf
    got = h.tempo_wsola(x)
    clean = np.nan_to_num(x, nan=0.0, posinf=1.0)
    assert np.isfinite(got).all()
    assert np.array_equal(got, np_tempo_wsola(clean))
