"""The live module's PCM helpers against NumPy doing the same thing: the
scaling of int16 samples and linear resampling on the two linspace grids,
bit for bit."""

import numpy as np
import pytest

from halvane import _avatar
from halvane._models import INT16_MAX


def numpy_resample(pcm, src_sr, dst_sr):
    if src_sr == dst_sr or pcm.size == 0:
        return pcm
    n_out = int(round(pcm.size * dst_sr / src_sr))
    if n_out <= 0:
        return np.empty(0, dtype=pcm.dtype)
    x_old = np.linspace(0.0, 1.0, pcm.size, endpoint=False)
    x_new = np.linspace(0.0, 1.0, n_out, endpoint=False)
    return np.interp(x_new, x_old, pcm).astype(pcm.dtype, copy=False)


def same_bits(a, b):
    assert a.dtype == b.dtype and a.shape == b.shape
    if a.dtype.kind == "f":
        width = {2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
        return np.array_equal(a.view(width), b.view(width))
    return np.array_equal(a, b)


def test_i16_to_f32_scales_without_clipping():
    out = _avatar._i16_to_f32(np.array([0, 16384, -32768, 32767], np.int16))
    assert out.dtype == np.float32
    assert out[0] == 0.0 and out[3] == 1.0
    assert out[1] == pytest.approx(0.500015, abs=1e-6)
    assert out[2] < -1.0 and out[2] == pytest.approx(-1.0000305, abs=1e-7)


@pytest.mark.parametrize("make", [
    lambda a: a,                                   # contiguous 1-D
    lambda a: a.reshape(4, -1),                    # 2-D keeps its shape
    lambda a: a[::3],                              # strided view
    lambda a: a.reshape(4, -1).T,                  # Fortran order
    lambda a: a.astype(">i2"),                     # byte-swapped int16
    lambda a: a.astype(np.int32) * 2,              # another integer type
    lambda a: a.astype(np.float64) / 7,            # floats are scaled too
    lambda a: a[:0],                               # empty
])
def test_i16_to_f32_matches_numpy(make):
    rng = np.random.default_rng(1)
    arr = make(rng.integers(-32768, 32768, 4000, dtype=np.int16))
    got = _avatar._i16_to_f32(arr)
    want = arr.astype(np.float32) / float(INT16_MAX)
    assert same_bits(got, want)
    assert got is not arr and not np.shares_memory(got, arr)


@pytest.mark.parametrize("n, src, dst, want", [
    (3, 48000, 16000, 1),
    (5, 32000, 16000, 2),
    (3, 32000, 16000, 2),
    (1, 8000, 16000, 2),
    (441, 44100, 16000, 160),
    (1, 48000, 16000, 0),
    (7, 32000, 16000, 4),
])
def test_resample_lengths(n, src, dst, want):
    pcm = np.arange(1, n + 1, dtype=np.float32) / 8
    out = _avatar._resample_linear(pcm, src, dst)
    assert out.shape == (want,) and out.dtype == np.float32
    assert same_bits(out, numpy_resample(pcm, src, dst))
    if want:
        assert out[0] == pcm[0]


def test_resample_examples():
    up = _avatar._resample_linear(np.array([0.0, 1.0], np.float32), 8000, 16000)
    assert up.tolist() == [0.0, 0.5, 1.0, 1.0]
    one = _avatar._resample_linear(np.array([0.25], np.float32), src_sr=8000, dst_sr=16000)
    assert one.tolist() == [0.25, 0.25]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("src, dst", [
    (48000, 16000), (44100, 16000), (22050, 16000), (8000, 16000), (11025, 16000), (24000, 16000),
    (16000, 44100), (12345, 16000), (16000, 7), (3, 16000),
])
def test_resample_is_numpy_bit_for_bit(dtype, src, dst):
    rng = np.random.default_rng(src * 31 + dst)
    for n in (1, 2, 3, 17, 160, 441, 4801):
        pcm = rng.uniform(-1.0, 1.0, n).astype(dtype)
        got = _avatar._resample_linear(pcm, src, dst)
        assert same_bits(got, numpy_resample(pcm, src, dst)), (n, src, dst)


def test_resample_non_finite_and_odd_inputs_match_numpy():
    inf, nan = np.inf, np.nan
    cases = [
        np.array([inf, inf, 0.0, -inf, 1.0], np.float64),
        np.array([-inf, inf, nan, 0.5, 0.5, -0.0], np.float32),
        np.arange(10, dtype=np.float64)[::2],            # strided
        np.arange(-50, 50, dtype=np.int16),               # an integer dtype
        (np.arange(9) + 1j * np.arange(9)).astype(np.complex64),
    ]
    for pcm in cases:
        for src, dst in ((3, 7), (7, 3), (48000, 16000)):
            assert same_bits(_avatar._resample_linear(pcm, src, dst), numpy_resample(pcm, src, dst)), (pcm, src, dst)


def test_resample_identity_empty_and_errors():
    pcm = np.ones(10, np.float32)
    assert _avatar._resample_linear(pcm, 16000, 16000) is pcm
    empty = np.zeros(0, np.float32)
    assert _avatar._resample_linear(empty, 48000, 16000) is empty
    short = _avatar._resample_linear(np.ones(1, np.float64), 48000, 16000)
    assert short.shape == (0,) and short.dtype == np.float64
    with pytest.raises(ZeroDivisionError):
        _avatar._resample_linear(pcm, 0, 16000)
    assert _avatar._resample_linear(empty, 0, 16000) is empty
    with pytest.raises(ValueError):
        _avatar._resample_linear(np.ones((2, 3), np.float32), 48000, 16000)


def test_resample_leaves_its_input_alone():
    # The result is a new array; the input is left as it was.
    pcm = np.linspace(-1, 1, 999, dtype=np.float32)
    before = pcm.copy()
    out = _avatar._resample_linear(pcm, 44100, 16000)
    assert not np.shares_memory(out, pcm)
    assert np.array_equal(pcm, before)
