"""Writes the seed corpora under fuzz/corpus/ (checked in; rerun after changing
this file). Small, valid inputs of each kind so the fuzzer starts from real
structure: IMX containers for imx_toc_fuzz, stored, deflated and zip64
archives for zip_member_fuzz."""

import io
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from tools.imx import imx_bytes  # noqa: E402

MEMBERS = [("x/canon.bin", b"\x00\x00\x80?" * 4), ("manifest.json", b'{"k": 1}'), ("identity.tflite", b"TFL3")]


def zip_bytes(members, method, zip64=False):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for nm, data in members:
            info = zipfile.ZipInfo(nm, (2024, 1, 1, 0, 0, 0))
            info.compress_type = method
            with z.open(info, "w", force_zip64=zip64) as f:
                f.write(data)
    return buf.getvalue()


def main():
    seeds = {
        "imx_toc_fuzz": {
            "bundle.imx": imx_bytes(MEMBERS),
            "empty.imx": imx_bytes([]),
            "duplicates.imx": imx_bytes([("a/canon.bin", b"first"), ("b/canon.bin", b"second")]),
            "imx_then_zip.imx": imx_bytes([("m", b"x")]) + zip_bytes(MEMBERS[:1], zipfile.ZIP_STORED),
            "not_imx.zip": zip_bytes(MEMBERS[:2], zipfile.ZIP_STORED),
        },
        "zip_member_fuzz": {
            "stored.zip": zip_bytes(MEMBERS, zipfile.ZIP_STORED),
            "deflated.zip": zip_bytes(MEMBERS + [("canon.bin", bytes(300))], zipfile.ZIP_DEFLATED),
            "zip64.zip": zip_bytes(MEMBERS[:2], zipfile.ZIP_DEFLATED, zip64=True),
        },
    }
    for target, files in seeds.items():
        d = HERE / "corpus" / target
        d.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (d / name).write_bytes(data)


if __name__ == "__main__":
    main()
