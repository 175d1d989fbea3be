"""The PCM helpers against NumPy doing the same thing, bit for bit."""

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
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def test_i16_to_f32_matches_numpy():
    a = np.random.default_rng(1).integers(-32768, 32768, 4000, dtype=np.int16)
    a[:4] = [0, 16384, -32768, 32767]
    unaligned = np.frombuffer(b"\0" + a.tobytes(), np.int16, offset=1)
    for arr in (a, a.reshape(4, -1).T, a[::3], a.astype(">i2"), a.astype(np.float64) / 7, a[:0], unaligned):
        got = _avatar._i16_to_f32(arr)
        assert same_bits(got, arr.astype(np.float32) / float(INT16_MAX)) and not np.shares_memory(got, arr)
    assert _avatar._i16_to_f32(a)[:4].tolist() == pytest.approx([0.0, 0.500015, -1.0000305, 1.0], abs=1e-6)


@pytest.mark.parametrize("pcm, src, dst, want", [
    ([0.0, 1.0], 8000, 16000, [0.0, 0.5, 1.0, 1.0]),
    ([0.25], 8000, 16000, [0.25, 0.25]),
    ([0.5, -1.0, 1.0], 48000, 16000, [0.5]),
    ([1, 2, 3, 4, 5], 32000, 16000, [1.0, 3.5]),  # 2.5 samples round to 2
    ([1, 2, 3], 32000, 16000, [1.0, 2.5]),        # 1.5 rounds to 2
    ([1], 48000, 16000, []),
])
def test_resample_examples(pcm, src, dst, want):
    out = _avatar._resample_linear(np.array(pcm, np.float32), src, dst)
    assert out.dtype == np.float32 and out.tolist() == want
    assert _avatar._resample_linear(np.zeros(441, np.float32), src_sr=44100, dst_sr=16000).shape == (160,)


def test_resample_is_numpy_bit_for_bit():
    rng = np.random.default_rng(5)
    inf, nan = np.inf, np.nan
    odd = [np.array([inf, inf, 0.0, -inf, 1.0]), np.array([-inf, inf, nan, 0.5, 0.5, -0.0], np.float32),
           np.arange(10.0)[::2], np.arange(-50, 50, dtype=np.int16), np.arange(9) * (1 + 1j),
           np.frombuffer(b"\0" + np.arange(7.0).tobytes(), np.float64, offset=1)]
    for src, dst in [(48000, 16000), (44100, 16000), (22050, 16000), (11025, 16000), (16000, 44100),
                     (12345, 16000), (16000, 7), (3, 16000), (7, 3)]:
        for n in (1, 2, 3, 17, 441, 4801):
            for dtype in (np.float32, np.float64):
                pcm = rng.uniform(-1.0, 1.0, n).astype(dtype)
                assert same_bits(_avatar._resample_linear(pcm, src, dst), numpy_resample(pcm, src, dst))
        for pcm in odd:
            assert same_bits(_avatar._resample_linear(pcm, src, dst), numpy_resample(pcm, src, dst))


def test_resample_identity_and_errors():
    pcm, empty = np.ones(10, np.float32), np.zeros(0, np.float32)
    assert _avatar._resample_linear(pcm, 16000, 16000) is pcm
    assert _avatar._resample_linear(empty, 48000, 16000) is empty
    assert _avatar._resample_linear(empty, 0, 16000) is empty
    with pytest.raises(ZeroDivisionError):
        _avatar._resample_linear(pcm, 0, 16000)
    with pytest.raises(ValueError):
        _avatar._resample_linear(np.ones((2, 3), np.float32), 48000, 16000)
