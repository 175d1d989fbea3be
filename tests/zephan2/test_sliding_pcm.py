import numpy as np
import pytest

from halvane._zephan2._tessel_host import _SlidingPCM

KEYS = ["live_samples", "backing_bytes", "peak_backing_bytes", "input_samples_copied",
        "retained_samples_moved", "aliased_samples_snapshotted", "allocations",
        "absolute_base", "absolute_fed"]


def ramp(lo, hi):
    return np.arange(lo, hi, dtype=np.float32)


def counts(pcm):
    c = pcm.counters()
    assert list(c) == KEYS
    return c


def test_renderer_worked_example():
    pcm = _SlidingPCM()
    pcm.append(ramp(0, 800))
    assert counts(pcm) == dict(zip(KEYS, [800, 204800, 204800, 800, 0, 0, 1, 0, 800]))
    for k in range(1, 55):
        pcm.append(ramp(800 * k, 800 * (k + 1)))
    pcm.discard_before(25600)
    assert (pcm.start, pcm.end, pcm.base, pcm.fed) == (25600, 44000, 25600, 44000)
    assert counts(pcm)["backing_bytes"] == 204800
    for k in range(55, 64):
        pcm.append(ramp(800 * k, 800 * (k + 1)))
    assert pcm.end == 51200 and pcm.moved_samples == 0
    pcm.append(ramp(51200, 52000))  # no room after the kept samples: compaction in place
    assert (pcm.start, pcm.end, pcm.moved_samples, pcm.allocations) == (0, 26400, 25600, 1)
    np.testing.assert_array_equal(pcm.live, ramp(25600, 52000))
    pcm.append(ramp(52000, 112000))  # 26400 kept + 60000 > 51200: grow
    c = counts(pcm)
    assert c["backing_bytes"] == c["peak_backing_bytes"] == 4 * 102400
    assert (c["allocations"], c["retained_samples_moved"]) == (2, 25600 + 26400)
    np.testing.assert_array_equal(pcm.live, ramp(25600, 112000))
    pcm.discard_before(112000 - 25600)  # a quarter in use: halve
    assert (pcm.storage.size, pcm.allocations, pcm.peak_capacity) == (51200, 3, 102400)
    np.testing.assert_array_equal(pcm.live, ramp(86400, 112000))


@pytest.mark.parametrize("kept,capacity", [(51200, 102400), (51201, 204800), (0, 51200)])
def test_shrink_threshold(kept, capacity):
    pcm = _SlidingPCM()
    pcm.append(ramp(0, 204800))
    assert pcm.storage.size == 204800
    pcm.discard_before(204800 - kept)
    assert pcm.storage.size == capacity
    assert pcm.allocations == (1 if capacity == 204800 else 2)
    np.testing.assert_array_equal(pcm.live, ramp(204800 - kept, 204800))


def test_minimum_capacity_never_shrinks_and_is_floor():
    pcm = _SlidingPCM(1000)
    pcm.append(ramp(0, 1000))
    pcm.discard_before(10**30)  # beyond fed and the 64-bit range: drops everything
    pcm.discard_before(0)
    assert (pcm.base, pcm.fed, pcm.live.size, pcm.storage.size, pcm.allocations) == (1000, 1000, 0, 1000, 1)
    pcm.append(ramp(0, 5000))
    assert pcm.storage.size == 5000
    pcm.discard_before(5500)
    assert pcm.storage.size == 1000 and pcm.live.size == 500


@pytest.mark.parametrize("bad", [0, -5, 2.5, 51200.0, "51200", None])
def test_constructor_rejects(bad):
    with pytest.raises(ValueError, match="positive capacity required"):
        _SlidingPCM(bad)


def test_rejected_and_empty_blocks_change_nothing():
    pcm = _SlidingPCM()
    for empty in ([], np.zeros((0,)), np.zeros((3, 0), np.float32), np.zeros((0, 4, 2))):
        pcm.append(empty)
    assert pcm.allocations == 0 and pcm.storage.size == 0
    pcm.append(np.array([1, 2, 3], np.int16))
    pcm.append([4.5, 5.5])
    before = counts(pcm)
    with pytest.raises(ValueError, match="one-dimensional PCM required"):
        pcm.append(np.ones((2, 3), np.float32))
    with pytest.raises(ValueError, match="one-dimensional PCM required"):
        pcm.append(np.float32(7))
    for bad in (-1, 2.0, "3", None, -(2**70)):
        with pytest.raises(ValueError, match="nonnegative absolute sample offset required"):
            pcm.discard_before(bad)
    assert counts(pcm) == before
    np.testing.assert_array_equal(pcm.live, [1, 2, 3, 4.5, 5.5])
    assert pcm.live.dtype == np.float32 and not pcm.live.flags.writeable
    pcm.discard_before(1)
    pcm.discard_before(0)  # below base: nothing
    np.testing.assert_array_equal(pcm.live, [2, 3, 4.5, 5.5])


@pytest.mark.parametrize("kept,cut,grows", [
    (10, slice(None), True), (10, slice(None, None, -1), True),
    (10, slice(0, 3), False),  # compaction moves the kept samples over the block
    (6, slice(None), False)])
def test_append_own_live_view(kept, cut, grows):
    pcm = _SlidingPCM(16)
    pcm.append(ramp(0, 16))
    pcm.discard_before(16 - kept)
    block = pcm.live[cut]
    expected = np.concatenate([pcm.live, pcm.live[cut]])
    pcm.append(block)
    np.testing.assert_array_equal(pcm.live, expected)
    assert pcm.aliased_samples_snapshotted == block.size
    assert (pcm.allocations, pcm.start) == (1 + grows, 0)


def test_old_live_view_survives_reallocation():
    pcm = _SlidingPCM(8)
    pcm.append(ramp(0, 8))
    old = pcm.live
    old_storage = pcm.storage
    pcm.append(ramp(8, 100))
    pcm.discard_before(99)
    pcm.append(np.full(1000, -1, np.float32))
    assert pcm.allocations >= 3
    assert not np.shares_memory(old, pcm.storage)
    np.testing.assert_array_equal(old, ramp(0, 8))
    np.testing.assert_array_equal(old_storage, ramp(0, 8))


@pytest.mark.parametrize("seed", range(6))
def test_random_operations_keep_invariants(seed):
    rng = np.random.default_rng(seed)
    minimum = int(rng.integers(1, 300))
    pcm, model, peak = _SlidingPCM(minimum), [], 0
    for _ in range(400):
        cap, live, end, before = pcm.storage.size, pcm.live.size, pcm.end, counts(pcm)
        moved, allocs = pcm.moved_samples, pcm.allocations
        op = rng.integers(0, 10)
        if op < 6:
            own = op == 5 and live > 0
            block = (pcm.live[rng.integers(0, live):] if own else
                     rng.standard_normal(int(rng.choice([0, 1, rng.integers(1, 2000)]))).astype(np.float32))
            n = block.size
            model.extend(block.tolist())
            pcm.append(block)
            assert pcm.aliased_samples_snapshotted == before["aliased_samples_snapshotted"] + (n if own else 0)
            if n == 0 or cap - end >= n:  # fits after the kept samples
                assert (pcm.moved_samples, pcm.allocations, pcm.end) == (moved, allocs, end + n)
            elif cap >= live + n:  # compaction
                assert (pcm.moved_samples, pcm.allocations, pcm.start) == (moved + live, allocs, 0)
            else:  # growth
                assert (pcm.moved_samples, pcm.allocations) == (moved + live, allocs + 1)
                assert pcm.storage.size == max(live + n, 2 * cap, minimum)
        elif op < 9:
            a = int(rng.integers(max(0, pcm.base - 50), pcm.fed + 50))
            pcm.discard_before(a)
            assert pcm.base == min(max(a, before["absolute_base"]), pcm.fed)
            assert not (pcm.storage.size > minimum and pcm.live.size <= pcm.storage.size // 4)
        else:
            pcm._allocate(live + int(rng.integers(0, 500)))
            assert (pcm.moved_samples, pcm.allocations) == (moved + live, allocs + 1)
        peak = max(peak, pcm.storage.size)
        fed, base = len(model), pcm.base
        assert 0 <= pcm.start <= pcm.end <= pcm.storage.size
        assert counts(pcm) == dict(zip(KEYS, [
            fed - base, 4 * pcm.storage.size, 4 * peak, fed, pcm.moved_samples,
            pcm.aliased_samples_snapshotted, pcm.allocations, base, fed]))
        np.testing.assert_array_equal(pcm.live, np.array(model[base:fed], np.float32))
        if pcm.live.size:
            assert np.shares_memory(pcm.live, pcm.storage[pcm.start:pcm.end])
