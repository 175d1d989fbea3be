"""halvane._offline.unfold_imx: IMX members written by basename."""

import os

import pytest

import halvane._offline as offline
from tools.imx import imx_bytes, write_imx


def test_unfold_writes_members_by_basename(tmp_path):
    src = tmp_path / "a.imx"
    big = bytes(range(256)) * 9000  # more than one 1 MiB block
    write_imx(src, [("manifest.json", b"{}"), ("x/canon.bin", b"old"), ("deep/er/big", big),
                    ("y/canon.bin", b"new"), ("empty", b"")])
    dst = tmp_path / "out"
    dst.mkdir()
    offline.unfold_imx(str(src), str(dst))
    got = {n: (dst / n).read_bytes() for n in os.listdir(dst)}
    assert got == {"manifest.json": b"{}", "canon.bin": b"new", "big": big, "empty": b""}

    # A member range past the end of the file gives what is there.
    data = bytearray(imx_bytes([("m", b"abcdef")]))
    data[-6 - 8:-6] = (100).to_bytes(8, "little")
    src.write_bytes(bytes(data))
    offline.unfold_imx(os.fsencode(src), os.fsencode(dst))
    assert (dst / "m").read_bytes() == b"abcdef"


def test_unfold_refusals(tmp_path):
    dst = tmp_path / "out"
    dst.mkdir()
    damaged = imx_bytes([("manifest.json", b"{}")])[:-5]
    bad_utf8 = b"IMX\0\0\0\1\0\2\0\xff\xfe" + bytes(16)
    cases = [("", ValueError), ("dir/", ValueError), (".", ValueError), ("x/..", ValueError), ("a\0b", ValueError)]
    for name, kind in cases:
        src = tmp_path / "bad.imx"
        write_imx(src, [("manifest.json", b"{}"), (name, b"data")])
        with pytest.raises(kind):
            offline.unfold_imx(str(src), str(dst))
        assert os.listdir(dst) == [], name  # refused before anything is written
    for content in (damaged[: len(damaged) - 20], bad_utf8, b"PK\5\6" + bytes(18), b"short"):
        (tmp_path / "bad.imx").write_bytes(content)
        with pytest.raises(ValueError):
            offline.unfold_imx(str(tmp_path / "bad.imx"), str(dst))
    write_imx(tmp_path / "ok.imx", [("m", b"1")])
    for src, out, kind in [(tmp_path / "missing.imx", dst, FileNotFoundError),
                           (tmp_path / "ok.imx", tmp_path / "no-dir", FileNotFoundError),
                           (tmp_path, dst, IsADirectoryError)]:
        with pytest.raises(kind):
            offline.unfold_imx(str(src), str(out))
    # An existing link under a member's name is not followed.
    target = tmp_path / "target"
    target.write_bytes(b"untouched")
    os.symlink(target, dst / "m")
    with pytest.raises(OSError):
        offline.unfold_imx(str(tmp_path / "ok.imx"), str(dst))
    assert target.read_bytes() == b"untouched"
