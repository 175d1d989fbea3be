"""LitertChain over the real LiteRT runtime with the fixture models."""

import functools
from pathlib import Path

import numpy as np
import pytest

import halvane._zephan2._tessel_host as h
import tools.make_fixture_models as fixture_gen

NEED = "need combined_litert.tflite OR shared-enc.tflite + identity.tflite"


def canon():
    return fixture_gen.canon_latent().reshape(-1)


def test_missing_signatures_are_named_exactly(tmp_path):
    with pytest.raises(RuntimeError) as e:
        h.LitertChain([], canon(), 1)
    assert str(e.value) == ("LiteRT chain missing signature(s) ['enc', 'tok14', 'step', 'dec16', 'dec8'] "
                            f"across [] (have []); {NEED}")
    model = tmp_path / "no-dec8.tflite"
    model.write_bytes(fixture_gen.build_model(["tok14", "enc", "step", "dec16", ("zeta", fixture_gen.build_enc)]))
    with pytest.raises(RuntimeError) as e:
        h.LitertChain(model, canon(), 1)  # a single path object counts as a list of one
    assert str(e.value) == (f"LiteRT chain missing signature(s) ['dec8'] across ['{model}'] "
                            f"(have ['dec16', 'enc', 'step', 'tok14', 'zeta']); {NEED}")


def test_staged_models_are_released_once_loaded(models, tmp_path, monkeypatch):
    monkeypatch.setenv("ZEPHAN2_STAGE_DIR", str(tmp_path / "stage"))
    data = Path(models["combined_litert.tflite"]).read_bytes()
    staged = h._stage_tflite(str(tmp_path / "bundle.imx"), "combined_litert.tflite", data)
    assert staged in h._STAGED
    chain = h.LitertChain(staged, canon(), 1)
    assert not Path(staged).exists() and staged not in h._STAGED
    assert chain.run_tok(chain.run_enc(np.zeros(35200, np.float32))).shape == (14, 16, 384)


def test_step_input_names_follow_the_history_rank(tmp_path, models):
    assert h.LitertChain(str(models["combined_litert.tflite"]), canon(), 1)._hist_key == "args_0"
    swapped = tmp_path / "swapped.tflite"
    swapped.write_bytes(fixture_gen.build_model(
        ["enc", "tok14", ("step", functools.partial(fixture_gen.build_step, swap_inputs=True)), "dec16", "dec8"]))
    chain = h.LitertChain([str(swapped)], canon(), 1)
    assert (chain._hist_key, chain._atok_key) == ("args_1", "args_0")
    lat = chain.run_step(chain.new_hist(), np.zeros((16, 384), np.float32))
    assert lat.shape == (16, 90, 52)
    assert np.array_equal(lat[3:], fixture_gen.canon_latent()[3:])  # carried channels come through


def test_history_and_canon_copy(models):
    c = canon()
    chain = h.LitertChain([str(models["combined_litert.tflite"])], c, 1)
    c[:] = -1  # the chain keeps its own copy
    hist = chain.new_hist()
    assert hist.shape == (1, 16, 16, 90, 52) and hist.dtype == np.float32
    assert np.array_equal(hist[0, :, 7], fixture_gen.canon_latent())
    assert chain.new_hist() is not hist
    lats = [np.full((16, 90, 52), i, np.float32) for i in range(1, 17)]
    for lat in lats:
        h.LitertChain.shift_hist(hist, lat)
    assert all((hist[0, :, t] == t + 1).all() for t in range(16))
    with pytest.raises(ValueError):
        h.LitertChain.shift_hist(hist[:, :, ::2], lats[0])  # not contiguous: would shift a copy


def test_split_pair_decodes_like_the_combined_model(models):
    combined = h.LitertChain([str(models["combined_litert.tflite"])], canon(), 2)
    split = h.LitertChain([str(models["shared-enc.tflite"]), str(models["identity.tflite"])], canon(), 2)
    rng = np.random.default_rng(4)
    tempo = rng.uniform(-0.5, 0.5, 35200).astype(np.float32)
    tok_a, tok_b = (c.run_tok(c.run_enc(tempo)) for c in (combined, split))
    assert np.array_equal(tok_a, tok_b)
    lat = combined.run_step(combined.new_hist(), tok_a[3])
    assert np.array_equal(lat, split.run_step(split.new_hist(), tok_b[3]))
    xs, n = h.build_dec_inputs([lat] * 6, 6, None)
    frames = combined.run_dec_frames(xs, n)
    assert len(frames) == 21 and all(f.shape == (3, 720, 416) and f.dtype == np.float32 for f in frames)
    assert frames[0].flags.writeable and not frames[0].flags.owndata  # views into the batch output
    batch = split.run_dec_batch(xs, n)
    assert batch.shape == (21, 3, 720, 416)
    assert np.array_equal(np.stack(frames), batch)
    assert combined.run_dec_frames(xs, 0) == [] and combined.run_dec_batch(xs, 0).shape == (0, 3, 720, 416)


def test_wrong_sizes_raise_clear_errors(models):
    with pytest.raises(ValueError, match="cannot reshape array of size 10"):
        h.LitertChain([str(models["combined_litert.tflite"])], np.zeros(10, np.float32), 1)
    chain = h.LitertChain([str(models["combined_litert.tflite"])], canon(), 1)
    with pytest.raises(ValueError, match="cannot reshape"):
        chain.run_enc(np.zeros(100, np.float32))
    with pytest.raises(ValueError, match="2 rows, 3 requested"):
        chain.run_dec_frames(np.zeros((2, 36, 90, 52), np.float32), 3)
