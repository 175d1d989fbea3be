"""Bundle containers: form selection, member lookup and listings over
directory, IMX and ZIP bundles. Hostile tables and archives: containers_test.cc."""

import os
import struct
import zipfile
from pathlib import Path

import pytest

import tools.imx as imx_tool
from halvane._zephan2._tessel_host import _imx_toc, _listing, _member_bytes

CANON = ["canon.bin", "canon.f32"]


def raw_imx(path, table, data=b"", count=None, b45=0):
    """An IMX file with table entries (name, off, size) exactly as given, then `data`."""
    out = b"IMX\0" + struct.pack("<HH", b45, len(table) if count is None else count)
    for nm, off, size in table:
        nb = nm.encode() if isinstance(nm, str) else nm
        out += struct.pack("<H", len(nb)) + nb + struct.pack("<QQ", off, size)
    Path(path).write_bytes(out + data)
    return str(path)


def write_zip(path, members, method=zipfile.ZIP_STORED):
    with zipfile.ZipFile(path, "w", method) as z:
        for nm, data in members:
            z.writestr(zipfile.ZipInfo(nm, (2024, 1, 1, 0, 0, 0)), data, compress_type=method)
    return str(path)


def write_dir(path, members):
    for nm, data in members:
        (path / nm).parent.mkdir(parents=True, exist_ok=True)
        (path / nm).write_bytes(data)
    return str(path)


def test_imx_writer_layout_is_table_then_data(tmp_path):
    p = tmp_path / "b.imx"
    imx_tool.write_imx(p, [("a/canon.bin", b"0123"), ("é.json", b""), ("m", b"xyz")])
    table_end = 8 + 3 * 18 + len("a/canon.bin") + len("é".encode()) + len(".json") + 1
    assert _imx_toc(str(p)) == [("a/canon.bin", table_end, 4), ("é.json", table_end + 4, 0),
                                ("m", table_end + 4, 3)]
    assert p.read_bytes()[table_end:] == b"0123xyz"
    imx_tool.write_imx(tmp_path / "again.imx", [("a/canon.bin", b"0123"), ("é.json", b""), ("m", b"xyz")])
    assert (tmp_path / "again.imx").read_bytes() == p.read_bytes()


@pytest.mark.parametrize("b45", [0, 0x1234, 0xFFFF])
def test_imx_table_ignores_bytes_4_and_5(tmp_path, b45):
    p = raw_imx(tmp_path / "b", [("x/canon.bin", 37, 4)], b"DATA", b45=b45)
    assert _imx_toc(p) == [("x/canon.bin", 37, 4)]
    assert _member_bytes(p, CANON) == ("canon.bin", b"DATA")


@pytest.mark.parametrize("table", [[], [("m", 0, 1)]])
def test_imx_form_stops_the_zip_test(tmp_path, table):
    # An IMX container followed by a complete zip archive is read as IMX only,
    # even when it lacks the member; the same bytes behind another magic are a
    # zip bundle.
    p = Path(raw_imx(tmp_path / "b", table))
    with zipfile.ZipFile(p, "a") as zf:
        zf.writestr("canon.bin", b"zipped")
    assert _imx_toc(str(p)) == table
    assert _listing(str(p)) == [nm for nm, _, _ in table]
    assert _member_bytes(str(p), CANON) == (None, None)
    p.write_bytes(b"IMY" + p.read_bytes()[3:])
    assert _listing(str(p)) == ["canon.bin"]
    assert _member_bytes(str(p), CANON) == ("canon.bin", b"zipped")


def test_not_a_bundle(tmp_path):
    seven = tmp_path / "seven"
    seven.write_bytes(b"IMX\0\0\0\0")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert _imx_toc(str(seven)) is None
    for p in [seven, fifo, tmp_path / "missing"]:
        assert _listing(str(p)) == []
        assert _member_bytes(str(p), CANON) == (None, None)
    with pytest.raises(FileNotFoundError) as e:
        _imx_toc(str(tmp_path / "missing"))
    assert e.value.filename == str(tmp_path / "missing")


def test_imx_lookup_by_basename_last_duplicate_wins(tmp_path):
    at = 8 + (18 + 11) + (18 + 9) + (18 + 11) + (18 + 4)  # data follows the table
    p = raw_imx(tmp_path / "b", [("a/canon.bin", at, 4), ("canon.f32", 0, 4), ("b/canon.bin", at + 4, 100),
                                 ("gone", 1 << 40, 5)], b"AAAABBBBCC")
    assert _listing(p) == ["canon.bin", "canon.f32", "canon.bin", "gone"]
    assert _member_bytes(p, CANON) == ("canon.bin", b"BBBBCC")  # b/canon.bin, clipped at the end
    assert _member_bytes(p, ["canon.f32", "canon.bin"]) == ("canon.f32", b"IMX\0")
    assert _member_bytes(p, ["a/canon.bin", "gone"]) == ("gone", b"")  # offset past the end
    assert _member_bytes(p, ["CANON.BIN", "x"]) == (None, None)


def test_zip_lookup_by_basename_last_duplicate_wins(tmp_path):
    p = write_zip(tmp_path / "b.zip", [("a/canon.bin", b"first"), ("sub/", b""), ("b/canon.bin", b"second"),
                                       ("canon.f32", b"f32")])
    assert _listing(p) == ["canon.bin", "", "canon.bin", "canon.f32"]
    assert _member_bytes(p, CANON) == ("canon.bin", b"second")
    assert _member_bytes(p, ["canon.f32"]) == ("canon.f32", b"f32")
    assert _member_bytes(p, ["b/canon.bin"]) == (None, None)


def test_directory_members_are_regular_files_directly_inside(tmp_path):
    b = tmp_path / "bundle"
    write_dir(b, [("x/canon.bin", b"nested"), ("canon.f32", b"f32"), (".hidden", b"h")])
    (b / "identity.tflite").mkdir()
    (b / "shared-enc.tflite").symlink_to(b / "canon.f32")
    (b / "dangling.json").symlink_to(b / "nowhere")
    assert _listing(str(b)) == os.listdir(b)  # file-system order, not sorted
    assert _member_bytes(str(b), CANON) == ("canon.f32", b"f32")
    assert _member_bytes(str(b), ["identity.tflite", "dangling.json", "x"]) == (None, None)
    assert _member_bytes(str(b), ["shared-enc.tflite"]) == ("shared-enc.tflite", b"f32")
    assert _member_bytes(str(b), ["x/canon.bin"]) == ("x/canon.bin", b"nested")  # names are used literally
    assert _member_bytes(str(b), ["/" + str(b / "canon.f32")]) == (None, None)  # never leaves the bundle
    assert _member_bytes(str(b) + "/", ["canon.f32"]) == ("canon.f32", b"f32")


MEMBERS = [("manifest.json", b'{"k": 1}'), ("x/canon.bin", bytes(range(256)) * 300),
           ("canon.f32", b"\0" * 4096), ("identity.tflite", os.urandom(5000)), ("empty", b"")]


@pytest.mark.parametrize("form", ["dir", "imx", "stored", "deflated", "zip64"])
def test_every_form_gives_the_same_members(tmp_path, form):
    p = tmp_path / "bundle"
    if form == "dir":
        write_dir(p, MEMBERS)
    elif form == "imx":
        imx_tool.write_imx(p, MEMBERS)
    elif form == "zip64":
        with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED) as z:
            for nm, data in MEMBERS:
                with z.open(nm, "w", force_zip64=True) as f:
                    f.write(data)
    else:
        write_zip(p, MEMBERS, zipfile.ZIP_STORED if form == "stored" else zipfile.ZIP_DEFLATED)
    p = str(p)
    want = {os.path.basename(nm): data for nm, data in MEMBERS}
    for nm, data in want.items():
        if form == "dir" and nm == "canon.bin":
            assert _member_bytes(p, [nm]) == (None, None)
        else:
            assert _member_bytes(p, [nm]) == (nm, data)
    if form == "dir":
        assert sorted(_listing(p)) == ["canon.f32", "empty", "identity.tflite", "manifest.json", "x"]
    else:
        assert _listing(p) == [os.path.basename(nm) for nm, _ in MEMBERS]


def test_damaged_imx_table_raises(tmp_path):
    whole = Path(raw_imx(tmp_path / "b", [("canon.bin", 0, 4), ("identity.tflite", 0, 4)]))
    whole.write_bytes(whole.read_bytes()[:-1])
    bad_name = raw_imx(tmp_path / "n", [(b"\xff.bin", 0, 4)])
    for p in [str(whole), bad_name]:
        for call in [lambda: _imx_toc(p), lambda: _listing(p), lambda: _member_bytes(p, ["nothing"])]:
            with pytest.raises(ValueError):
                call()
    huge = raw_imx(tmp_path / "h", [("canon.bin", 1 << 63, 1), ("canon.f32", 0, 1 << 63)])
    assert _listing(huge) == ["canon.bin", "canon.f32"]
    for nm in CANON:
        with pytest.raises(ValueError):
            _member_bytes(huge, [nm])


def test_corrupt_zip_member_raises(tmp_path):
    body = bytes(range(200))
    stored = Path(write_zip(tmp_path / "s.zip", [("canon.bin", body)]))
    raw = bytearray(stored.read_bytes())
    raw[raw.index(body) + 100] ^= 1  # CRC no longer matches
    stored.write_bytes(raw)
    deflated = Path(write_zip(tmp_path / "d.zip", [("canon.bin", body * 50)], zipfile.ZIP_DEFLATED))
    raw = bytearray(deflated.read_bytes())
    raw[30 + len("canon.bin") + 3:30 + len("canon.bin") + 13] = b"\xff" * 10  # invalid deflate data
    deflated.write_bytes(raw)
    for p in [stored, deflated]:
        assert _listing(str(p)) == ["canon.bin"]
        with pytest.raises(ValueError):
            _member_bytes(str(p), CANON)


def test_damaged_zip_directory_raises(tmp_path):
    p = Path(write_zip(tmp_path / "b.zip", [("canon.bin", b"x" * 100)]))
    raw = bytearray(p.read_bytes())
    raw[-6:-2] = struct.pack("<I", 0x7FFFFFFF)  # central directory offset beyond the file
    p.write_bytes(raw)
    with pytest.raises(ValueError):
        _listing(str(p))
