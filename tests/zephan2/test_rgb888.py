"""RGB888 conversion: fast path against the reference, in-place scaling, the worker pool, thread count."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import halvane._zephan2._tessel_host as h

FH, FW = 720, 416
RNG = np.random.default_rng(7)


def frames(n, seed=0):
    rng = np.random.default_rng(seed)
    px = rng.uniform(-0.2, 1.2, (n, 3, FH, FW)).astype(np.float32)
    flat = px.reshape(n, -1)
    flat[:, :6] = [np.nan, np.inf, -np.inf, 1.0, 0.5, 0.999]
    return px


def corrections():
    lut = RNG.integers(0, 256, (3, 256), dtype=np.uint8)
    return [None, h.parse_color_correct({"lut": lut.tolist()})[0],
            h.parse_color_correct({"gain": [1.05, 0.7, -2.0], "bias": [2.0, 0.7, 300.0]})[0]]


def np_reference(f):
    """The reference conversion, in plain NumPy (NaN pinned to 0)."""
    v = np.nan_to_num(np.clip(f * np.float32(255.0), 0.0, 255.0), nan=0.0)
    return v.astype(np.uint8).transpose(1, 2, 0)


def run_py(code, env=None):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       env={**os.environ, **(env or {})}, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_reference_values_and_input_untouched():
    f = np.zeros((3, FH, FW), np.float32)
    values = [1.0, 0.5, 0.999, -0.01, -7.0, 1.001, 40.0, np.nan, np.inf, -np.inf, 0.0]
    f[0, 0, :len(values)] = values
    before = f.copy()
    out = h.px_to_rgb888(f)
    assert isinstance(out, bytes) and len(out) == 898560
    assert list(out[:3 * len(values):3]) == [255, 127, 254, 0, 0, 255, 255, 0, 255, 0, 0]
    assert np.array_equal(f, before, equal_nan=True)
    assert out == np_reference(f).tobytes()
    assert h.px_to_rgb888(f.astype(np.float64)) == out  # exact in both precisions for these values
    with pytest.raises(ValueError):
        h.px_to_rgb888(np.zeros((3, FH, FW - 1), np.float32))
    with pytest.raises(ValueError):
        h.px_to_rgb888(np.zeros((4, FH, FW), np.float32))


@pytest.mark.parametrize("threads", [1, 2])
def test_fast_path_equals_reference_and_scales_in_place(threads):
    for cc in corrections():
        px = frames(3, seed=threads)
        pristine = px.copy()
        out = h.px_to_rgb888_chunk(list(px), cc, threads=threads)
        assert out.shape == (3, FH, FW, 3) and out.dtype == np.uint8
        for i in range(3):
            ref = h.px_to_rgb888(pristine[i], cc)
            assert out[i].tobytes() == ref
            if cc is None:
                assert ref == np_reference(pristine[i]).tobytes()
        # the caller's frames hold the scaled, clipped values (NaN clipped to 0)
        want = np.nan_to_num(np.clip(pristine * np.float32(255.0), 0.0, 255.0), nan=0.0)
        assert np.array_equal(px, want)


def test_frames_that_take_the_reference_path():
    cc = corrections()[1]
    base = frames(1)[0]
    ro = base.copy()
    ro.flags.writeable = False
    f64 = base.astype(np.float64)
    strided = np.repeat(base, 2, axis=2)[:, :, ::2]  # writeable float32, not contiguous
    ints = (base > 0.5).astype(np.int32)
    nested = np.full((3, FH, FW), 0.25).tolist()
    out = h.px_to_rgb888_chunk([ro, f64, strided, ints, nested], cc)
    assert np.array_equal(ro, base, equal_nan=True)
    assert np.array_equal(f64, base.astype(np.float64), equal_nan=True)
    ref = h.px_to_rgb888(base, cc)
    assert out[0].tobytes() == ref and out[2].tobytes() == ref
    # float64 differs from float32 only where 255 * x rounds across an integer
    assert np.count_nonzero(out[1] != out[0]) < 100
    # a non-contiguous writeable float32 frame is scaled like any other
    assert np.array_equal(strided, np.nan_to_num(np.clip(base * np.float32(255.0), 0, 255), nan=0.0))
    assert np.array_equal(out[3], cc.apply(np.where(ints.transpose(1, 2, 0) > 0, 255, 0).astype(np.uint8)))
    assert np.array_equal(out[4], cc.apply(np.full((FH, FW, 3), 63, np.uint8)))


def test_chunk_of_a_4d_array_scales_the_array_itself():
    px = frames(2)
    pristine = px.copy()
    h.px_to_rgb888_chunk(px, None, threads=2)
    assert px.max() == 255.0 and np.array_equal(px, np.nan_to_num(np.clip(pristine * np.float32(255), 0, 255)))


def test_convert_range_fills_only_its_rows():
    px = frames(4)
    u8 = np.zeros((5, FH, FW, 3), np.uint8)
    h._rgb_convert_range(px, u8, 1, 3, None)
    assert not u8[0].any() and not u8[3:].any()
    assert u8[1].any() and np.array_equal(px[0], frames(4)[0], equal_nan=True)
    with pytest.raises(ValueError):
        h._rgb_convert_range(px, np.zeros((5, FH, FW, 4), np.uint8), 0, 1, None)
    with pytest.raises(IndexError):
        h._rgb_convert_range(px, u8, 3, 5, None)


def test_pool_lifecycle_names_and_failure_order():
    out = run_py("""
        import glob
        import numpy as np
        import halvane._zephan2._tessel_host as h
        FH, FW = 720, 416
        f = lambda: np.full((3, FH, FW), 0.5, np.float32)
        assert h.px_to_rgb888_chunk([], None, threads=4).shape == (0, FH, FW, 3)
        h.px_to_rgb888_chunk([f()], None, threads=4)
        h.px_to_rgb888_chunk([f(), f()], None, threads=1)
        h.px_to_rgb888_chunk([f(), f()], None, threads=0.9)
        print(h._rgb_pool_size())
        h.px_to_rgb888_chunk([f(), f(), f()], None, threads=2.7)
        print(h._rgb_pool_size())
        names = sorted(open(p).read().strip() for p in glob.glob("/proc/self/task/*/comm"))
        print(",".join(n for n in names if n.startswith("z2-rgb")))
        h.px_to_rgb888_chunk([f() for _ in range(9)], None, threads=8)
        print(h._rgb_pool_size())
        # ranges [0, 6) and [6, 12): frame 1 fails at once, the second range
        # converts five frames before frame 11 fails; the call must wait for it
        px = [f(), np.zeros((3, 10, 10), np.float32)] + [f() for _ in range(9)] + [np.zeros((3, 20, 20), np.float32)]
        try:
            h.px_to_rgb888_chunk(px, None, threads=2)
        except ValueError as e:
            last = float(px[10][2, -1, -1])  # the second range's last write, read first
            print(e)
        print(last, [float(px[i].max()) for i in (0, 2, 5, 6, 10)])
    """)
    assert out.splitlines() == ["0", "2", "z2-rgb_0,z2-rgb_1", "2",
                                "cannot reshape array of size 300 into shape (720, 416, 3)",
                                "127.5 [127.5, 0.5, 0.5, 127.5, 127.5]"]


@pytest.mark.parametrize("value,want,logged", [
    ("0", 1, False), ("-3", 1, False), ("16", 16, False), (" 4 ", 4, False), ("1_2", 12, False),
    ("abc", None, True), ("2.5", None, True), ("", None, False), ("  ", None, False), (None, None, False),
])
def test_rgb_threads(monkeypatch, capfd, value, want, logged):
    if value is None:
        monkeypatch.delenv("ZEPHAN2_RGB_THREADS", raising=False)
    else:
        monkeypatch.setenv("ZEPHAN2_RGB_THREADS", value)
    default = max(1, min(8, h.effective_cpu_count() // 3))
    assert h.rgb_threads() == (default if want is None else want)
    err = capfd.readouterr().err
    if logged:
        assert err == f"[tessel-render-host] ZEPHAN2_RGB_THREADS={value!r} is not an integer — using the default\n"
    else:
        assert err == ""


def test_rgb_threads_log_quotes_like_python(monkeypatch, capfd):
    monkeypatch.setenv("ZEPHAN2_RGB_THREADS", " it's\t")
    h.rgb_threads()
    assert capfd.readouterr().err == \
        "[tessel-render-host] ZEPHAN2_RGB_THREADS=\"it's\" is not an integer — using the default\n"
