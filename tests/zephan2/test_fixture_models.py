import functools

import numpy as np
import pytest
from ai_edge_litert.interpreter import Interpreter

import tools.make_fixture_models as fx

EXPECTED = {
    "enc": ({"args_0": (1, 35200)}, (1, 14)),
    "tok14": ({"args_0": (1, 14)}, (14, 16, 384)),
    "step": ({"args_0": (1, 16, 16, 90, 52), "args_1": (1, 16, 384)}, (1, 16, 90, 52)),
    "dec16": ({"args_0": (16, 36, 90, 52)}, (16, 3, 720, 416)),
    "dec8": ({"args_0": (8, 36, 90, 52)}, (8, 3, 720, 416)),
}


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    return fx.write_fixture_models(tmp_path_factory.mktemp("fixtures"))


def _load(path):
    interp = Interpreter(model_path=str(path), num_threads=2)
    interp.allocate_tensors()
    return interp


@pytest.fixture(scope="module")
def combined(paths):
    return _load(paths["combined_litert.tflite"])


def _run(interp, key, **inputs):
    return interp.get_signature_runner(key)(**inputs)["output_0"]


def _upsample8(pic):
    """Half-pixel-centre bilinear 8x upsample of (..., H, W) with edge clamping."""
    def axis_weights(n):
        src = np.clip((np.arange(n * 8) + 0.5) / 8 - 0.5, 0, n - 1)
        lo = np.floor(src).astype(int)
        return lo, np.minimum(lo + 1, n - 1), (src - lo).astype(np.float32)
    y0, y1, fy = axis_weights(pic.shape[-2])
    x0, x1, fx_ = axis_weights(pic.shape[-1])
    rows = pic[..., y0, :] * (1 - fy)[:, None] + pic[..., y1, :] * fy[:, None]
    return rows[..., x0] * (1 - fx_) + rows[..., x1] * fx_


def test_files_signatures_shapes_and_determinism(paths, tmp_path):
    for name, sigs in fx.MODEL_FILES.items():
        interp = _load(paths[name])
        assert list(interp.get_signature_list()) == sigs
        for key in sigs:
            ins, out_shape = EXPECTED[key]
            runner = interp.get_signature_runner(key)
            details = runner.get_input_details()
            assert {n: (tuple(d["shape"]), d["dtype"]) for n, d in details.items()} == {
                n: (shape, np.float32) for n, shape in ins.items()}
            out = runner(**{n: np.zeros(s, np.float32) for n, s in ins.items()})
            assert list(out) == ["output_0"] and out["output_0"].shape == out_shape

    again = fx.write_fixture_models(tmp_path)
    for name, path in paths.items():
        assert path.read_bytes() == again[name].read_bytes(), name

    canon = np.fromfile(paths["canon.bin"], "<f4")
    assert canon.size == 16 * 90 * 52
    canon = canon.reshape(16, 90, 52)
    np.testing.assert_array_equal(canon, fx.canon_latent())
    np.testing.assert_array_equal(canon[0:3], canon[3:6])
    assert canon.min() >= 0 and canon.max() <= 1 and canon[0:3].std() > 0.1

    variant = tmp_path / "variant.tflite"
    variant.write_bytes(fx.build_model(
        [("step", functools.partial(fx.build_step, swap_inputs=True)), ("extra", fx.build_enc)]))
    swapped = _load(variant)
    assert list(swapped.get_signature_list()) == ["step", "extra"]
    details = swapped.get_signature_runner("step").get_input_details()
    assert [tuple(details[n]["shape"]) for n in ("args_0", "args_1")] == [(1, 16, 384), (1, 16, 16, 90, 52)]


def test_enc_measures_row_loudness_and_tok14_broadcasts_it(combined):
    silence = np.zeros((1, 35200), np.float32)
    np.testing.assert_array_equal(_run(combined, "enc", args_0=silence), np.zeros((1, 14)))

    audio = silence.copy()
    t = np.arange(2 * 2560)
    audio[0, 3 * 2560:5 * 2560] = 0.9 * np.sin(2 * np.pi * t / 64)
    audio[0, 13 * 2560:] = 2.0  # beyond +-1 must not be clipped; the row is part padding
    feats = _run(combined, "enc", args_0=audio)
    expected = np.zeros(14, np.float32)
    expected[3:5] = 0.9 / np.sqrt(2)
    expected[13] = 2.0 * np.sqrt((35200 - 13 * 2560) / 2560)
    np.testing.assert_allclose(feats[0], expected, atol=1e-4)

    tokens = _run(combined, "tok14", args_0=feats)
    np.testing.assert_allclose(tokens, np.broadcast_to(feats[0][:, None, None], (14, 16, 384)))


def test_step_opens_mouth_with_loudness_and_closes_in_silence(combined):
    canon = fx.canon_latent()
    rng = np.random.default_rng(0)
    hist = rng.random((1, 16, 16, 90, 52), dtype=np.float32)
    hist[0, :, 15] = canon
    hist[0, 0:3, 15] = 0.0  # a previously shown frame that differs from the rest picture

    def step(loudness):
        tok = np.full((1, 16, 384), loudness, np.float32)
        out = _run(combined, "step", args_0=hist, args_1=tok)[0]
        np.testing.assert_array_equal(out[3:], canon[3:])  # rest picture and extras carried
        return out[0:3]

    np.testing.assert_array_equal(step(0.0), canon[3:6])

    rest = canon[3:6]
    y, x = np.mgrid[0:90, 0:52]
    in_face = ((y - 45) / 38) ** 2 + ((x - 26) / 22) ** 2 <= 1  # face oval, with a margin
    areas = []
    for loud in (0.4 / fx.MOUTH_GAIN, 1.5 / fx.MOUTH_GAIN, 10 / fx.MOUTH_GAIN):  # part open, open, open
        shown = step(loud)
        changed = np.any(shown != rest, axis=0)
        assert changed.any() and np.all(in_face[changed]) and y[changed].min() >= 60
        assert np.all(shown[:, changed].sum(0) < rest[:, changed].sum(0))  # darker, never lighter
        areas.append(changed.sum())
    assert areas[0] < areas[1] == areas[2]  # grows with loudness, saturates once fully open
    np.testing.assert_allclose(shown[:, 66, 26], fx.MOUTH_DARK, atol=1e-6)


@pytest.mark.parametrize("key,batch", [("dec16", 16), ("dec8", 8)])
def test_dec_blends_by_phase_and_upsamples(combined, key, batch):
    canon = fx.canon_latent()
    other = 1.0 - canon
    rows = np.zeros((batch, 36, 90, 52), np.float32)
    expected_small = np.empty((batch, 3, 90, 52), np.float32)
    for b in range(batch):  # every phase, once blending towards a new latent, once holding still
        phase = b % 4
        zt, zp = (canon, canon) if (b // 4) % 2 else (canon, other)
        rows[b, 0:16], rows[b, 16:32], rows[b, 32 + phase] = zt, zp, 1.0
        w = (phase + 1) / 4
        expected_small[b] = zp[0:3] + (zt[0:3] - zp[0:3]) * w

    out = _run(combined, key, args_0=rows)
    np.testing.assert_allclose(out, _upsample8(expected_small), atol=1e-5)


def test_split_files_match_combined(paths, combined):
    rng = np.random.default_rng(1)
    for name in ("shared-enc.tflite", "identity.tflite"):
        part = _load(paths[name])
        for key in part.get_signature_list():
            ins = {n: rng.random(s, dtype=np.float32) for n, s in EXPECTED[key][0].items()}
            np.testing.assert_array_equal(_run(part, key, **ins), _run(combined, key, **ins))


@pytest.fixture(scope="module")
def q8gd(tmp_path_factory):
    return _load(fx.write_q8gd_bundle(tmp_path_factory.mktemp("q8gd"))[fx.Q8GD_MEMBER])


def test_q8gd_variant_matches_combined_but_for_int8_decoding(q8gd, combined):
    assert list(q8gd.get_signature_list()) == fx.MODEL_FILES["combined_litert.tflite"]
    rng = np.random.default_rng(2)
    for key in ("enc", "tok14", "step"):
        ins = {n: rng.random(s, dtype=np.float32) for n, s in EXPECTED[key][0].items()}
        np.testing.assert_array_equal(_run(q8gd, key, **ins), _run(combined, key, **ins))
    for key, batch in (("dec16", 16), ("dec8", 8)):
        rows = np.zeros((batch, 36, 90, 52), np.float32)
        rows[:, 0:32] = rng.random((batch, 32, 90, 52), dtype=np.float32)
        rows[np.arange(batch), 32 + np.arange(batch) % 4] = 1.0
        w = ((np.arange(batch) % 4 + 1) / 4).astype(np.float32)[:, None, None, None]
        small = rows[:, 16:19] + (rows[:, 0:3] - rows[:, 16:19]) * w
        out, ref = _run(q8gd, key, args_0=rows), _run(combined, key, args_0=rows)
        # the small picture on the int8 grid of 1/255 steps, then the same upsample
        np.testing.assert_allclose(out, _upsample8(np.round(small / np.float32(fx.Q8_SCALE)) / 255), atol=1e-5)
        assert not np.array_equal(out, ref) and np.abs(out - ref).max() <= 0.5 / 255 + 1e-6
