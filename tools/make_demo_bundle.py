"""Build the small demo avatar: the fixture models packed as a bundle directory,
an IMX container and a zip archive.

Usage: python tools/make_demo_bundle.py OUT_DIR
"""

from __future__ import annotations

import json
import sys
import zipfile
from pathlib import Path

if not __package__:  # run as a script: make the repository root importable
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tools.imx import write_imx  # noqa: E402
from tools.make_fixture_models import MODEL_FILES, build_model, canon_latent  # noqa: E402

MANIFEST = {"engine": "zephan2", "name": "demo-avatar"}


def bundle_members() -> list[tuple[str, bytes]]:
    return [
        ("manifest.json", json.dumps(MANIFEST, indent=1).encode()),
        ("canon.bin", canon_latent().astype("<f4").tobytes()),
        ("combined_litert.tflite", build_model(MODEL_FILES["combined_litert.tflite"])),
    ]


def write_demo_bundle(out_dir) -> dict[str, Path]:
    out = Path(out_dir)
    members = bundle_members()
    d = out / "demo-avatar"
    d.mkdir(parents=True, exist_ok=True)
    for name, blob in members:
        (d / name).write_bytes(blob)
    imx = out / "demo-avatar.imx"
    write_imx(imx, members)
    zpath = out / "demo-avatar.zip"
    with zipfile.ZipFile(zpath, "w", zipfile.ZIP_DEFLATED) as z:
        for name, blob in members:
            z.writestr(f"demo-avatar/{name}", blob)
    return {"dir": d, "imx": imx, "zip": zpath}


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_demo_bundle.py OUT_DIR")
    for kind, path in write_demo_bundle(sys.argv[1]).items():
        print(f"{kind}: {path}")
