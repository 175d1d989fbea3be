import numpy as np
import pytest

from halvane._zephan2._tessel_host import build_dec_inputs

LAT = (16, 90, 52)


def latents(k, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal(LAT).astype(np.float32) for _ in range(k)]


def reference(lats, blk, prev):
    rows = []
    for j in range(blk):
        zp = lats[j - 1] if j else (lats[0] if prev is None else prev)
        for p in range(3 if j == 0 and prev is None else 0, 4):
            phase = np.zeros((4,) + LAT[1:], np.float32)
            phase[p] = 1
            rows.append(np.concatenate([lats[j], zp, phase]))
    return np.array(rows, np.float32).reshape(-1, 36, 90, 52)


@pytest.mark.parametrize("with_prev", [False, True])
@pytest.mark.parametrize("blk", [0, 1, 6, 8])
def test_rows_match_reference(blk, with_prev):
    lats = latents(9)  # one more than used: the extra latent is ignored
    prev = latents(1, seed=1)[0] if with_prev else None
    xs, n = build_dec_inputs(lats, blk, prev)
    expected_n = 4 * blk - 3 if blk and not with_prev else 4 * blk
    assert n == expected_n and xs.shape == (n, 36, 90, 52)
    assert xs.dtype == np.float32 and xs.flags.c_contiguous
    np.testing.assert_array_equal(xs, reference(lats, blk, prev))
    phases = xs[:, 32:]
    assert np.all((phases == 0) | (phases == 1))
    assert np.all(phases.sum(axis=1) == 1)  # one phase plane per row, over the whole plane
    first = 3 if blk and not with_prev else 0
    np.testing.assert_array_equal(phases[:, :, 0, 0].argmax(axis=1), (np.arange(n) + first) % 4)


def test_first_row_of_stream_and_input_forms():
    lat = latents(1)[0]
    xs, n = build_dec_inputs([lat.astype(np.float64).reshape(16, 4680)], 1, None)
    assert n == 1
    np.testing.assert_array_equal(xs[0, :16], lat)
    np.testing.assert_array_equal(xs[0, 16:32], lat)
    assert xs[0, 35].min() == 1 and not xs[0, 32:35].any()
    stacked = np.stack(latents(3))
    xs2, n2 = build_dec_inputs(stacked, 2, stacked[2])
    np.testing.assert_array_equal(xs2, reference(list(stacked), 2, stacked[2]))
    assert n2 == 8
    xs2[0] = 0  # a fresh array, not a view of the inputs
    assert stacked[0].any()


@pytest.mark.parametrize("lats,blk,prev,error", [
    ([np.zeros(16 * 4680 - 1, np.float32)], 1, None, ValueError),
    ([np.zeros((17, 90, 52), np.float32)], 1, None, ValueError),
    (latents(2), 2, np.zeros((16, 90, 51), np.float32), ValueError),
    (latents(2), 3, None, IndexError),
])
def test_malformed_inputs_raise(lats, blk, prev, error):
    with pytest.raises(error):
        build_dec_inputs(lats, blk, prev)
