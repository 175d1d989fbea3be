"""The streaming renderer with the real fixture models: chunk schedule, numbering,
flush and reset, and frames equal to the chain's pieces composed by hand."""

import numpy as np
import pytest

import halvane._zephan2._tessel_host as h
import tools.make_fixture_models as fixture_gen

FRAME = 720 * 416 * 3


@pytest.fixture(scope="module")
def chain(models):
    return h.LitertChain([str(models["combined_litert.tflite"])], fixture_gen.canon_latent().reshape(-1), 2)


def speech(n, seed=0):
    t = np.arange(n) / 16000.0
    env = 0.5 + 0.5 * np.sin(2 * np.pi * 2.5 * t)
    noise = np.random.default_rng(seed).standard_normal(n)
    return (0.3 * env * np.sin(2 * np.pi * 220 * t) + 0.02 * noise).astype(np.float32)


def indices(items):
    return [i for i, _ in items]


def test_blocks_of_800_follow_the_chunk_schedule(chain):
    r = h.Renderer(chain)
    audio = speech(200 * 800)
    got, written = {}, 0
    for b in range(200):
        r.feed(audio[b * 800:(b + 1) * 800])
        items = r.ready_chunks()
        if items:
            got[(b + 1) * 800] = items
        written += len(items)
        assert h.Renderer._ready_items((b + 1) * 800) == written  # what a parent that abandons the stream reads
    assert sorted(got) == [25600, 44000, 69600, 95200, 120800, 146400]
    first = got[25600]
    assert indices(first) == list(range(3, 25))
    assert first[0].pixels is first[1].pixels  # the first frame goes out twice, as one view
    assert indices(got[44000]) == list(range(25, 57))
    assert indices(got[69600]) == list(range(57, 89))
    assert indices(got[146400]) == list(range(153, 185))
    for items in got.values():
        for it in items:
            assert it.pixels.shape == (FRAME,) and it.pixels.dtype == np.uint8
            assert not it.pixels.flags.writeable
    assert r._c_n == 6 and r._c_wall > 0
    assert r.rtf() == pytest.approx(r._c_wall / 6 / 1.6)
    assert r.buf_base == 25600 * 5 and r.fed_samples == 160000


def test_flush_renders_the_rest_once(chain):
    r = h.Renderer(chain)
    assert r.rtf() is None
    assert indices(r.flush_chunks()) == list(range(3, 25))  # a window of zeros
    assert r.flush_chunks() == []
    r.reset()
    r.feed(np.zeros(16800, np.float32))
    assert len(r.flush_chunks()) == 22
    r.reset()
    r.feed(np.zeros(16801, np.float32))
    assert indices(r.flush_chunks()) == list(range(3, 57))
    r.reset()
    r.feed(speech(25600))
    assert len(r.ready_chunks()) == 22
    assert indices(r.flush_chunks()) == list(range(25, 57))
    assert r.flush_chunks() == []


def test_one_big_feed_and_trimmed_context(chain):
    r = h.Renderer(chain)
    r.feed(speech(44000))
    assert indices(r.ready_chunks()) == list(range(3, 57))
    r.reset()
    assert r.px_frame == 3 and r.ci == 0 and r.fed_samples == 0 and r.prev_lat is None
    r.feed(speech(69600))
    assert len(r.ready_chunks()) == 22 + 32 + 32
    with pytest.raises(RuntimeError, match="^consumed audio context requested$"):
        r._window(1)
    r.feed(np.zeros((0, 3), np.float32))  # an empty block of any shape is nothing
    with pytest.raises(ValueError, match="one-dimensional PCM required"):
        r.feed(np.zeros((2, 3), np.float32))
    assert r.fed_samples == 69600


def test_frames_equal_the_chain_composed_by_hand(chain):
    """Chunks 0 and 1, rebuilt from the public pieces: window, WSOLA, x3, models, RGB."""
    audio = speech(44000, seed=3)
    r = h.Renderer(chain)
    r.feed(audio)
    items = r.ready_chunks()

    hist = chain.new_hist()
    prev = None
    want = []
    for ci, (window, blk, row_base) in enumerate([
            (np.concatenate([audio[:25600], np.zeros(18400, np.float32)]), 6, 0), (audio, 8, 6)]):
        tempo = h.tempo_wsola(window) * np.float32(3.0)
        tok = chain.run_tok(chain.run_enc(tempo))
        lats = []
        for j in range(blk):
            lat = chain.run_step(hist, tok[row_base + j])
            h.LitertChain.shift_hist(hist, lat)
            lats.append(lat)
        xs, n = h.build_dec_inputs(lats, blk, prev)
        prev = lats[-1]
        frames = [h.px_to_rgb888(f) for f in chain.run_dec_frames(xs, n)]
        want += ([frames[0]] if ci == 0 else []) + frames
    assert len(items) == len(want) == 54
    for (_, got), exp in zip(items, want):
        assert got.tobytes() == exp
    assert np.array_equal(r.hist, hist)
    assert np.array_equal(r.prev_lat, prev)


def test_mouth_follows_the_audio(chain):
    """Silence shows the rest face; speech darkens only the mouth region."""
    quiet, loud = h.Renderer(chain), h.Renderer(chain)
    quiet.feed(np.zeros(44000, np.float32))
    loud.feed(speech(44000) * 2)
    q = np.stack([p for _, p in quiet.ready_chunks()]).reshape(-1, 720, 416, 3).astype(int)
    s = np.stack([p for _, p in loud.ready_chunks()]).reshape(-1, 720, 416, 3).astype(int)
    assert (q == q[0]).all()  # a still face
    diff = np.abs(s - q).sum(axis=(0, 3))
    ys, xs = np.nonzero(diff)
    assert ys.size > 0
    assert ys.min() >= 720 * 0.6 and 416 * 0.25 < xs.mean() < 416 * 0.75  # lower face, centred
    assert (s <= q).all()  # the mouth only ever opens darker
