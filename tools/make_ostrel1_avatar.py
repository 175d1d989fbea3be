"""Writes small ostrel1 avatars for the engine runtime `halvane._core`, and
reads back what its pictures carry.

An avatar is a "manifest.json" ({"engine": "ostrel1", the picture size, the
samples per tick and the face colours in blue, green, red order}) packed as an
IMX container, a zip archive or a directory.

Usage: python tools/make_ostrel1_avatar.py OUT_PATH [imx|zip|dir]
"""

from __future__ import annotations

import json
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from imx import write_imx  # noqa: E402

FACE = {"background": [255, 0, 0], "skin": [140, 180, 230], "eye": [40, 30, 30], "mouth": [30, 30, 160]}


def manifest(width=160, height=96, samples_per_tick=640, **overrides) -> dict:
    m = {"engine": "ostrel1", "name": "ostrel1-test-face", "frame_width": width, "frame_height": height,
         "audio_sample_rate": 16000, "audio_samples_per_tick": samples_per_tick, "face": dict(FACE)}
    m.update(overrides)
    return m


def write_avatar(path, container="imx", man=None, raw_manifest=None) -> Path:
    """Writes an avatar at `path` as `container` ("imx", "zip" or "dir").
    `raw_manifest` (bytes) replaces the JSON of `man` (default `manifest()`)."""
    path = Path(path)
    blob = raw_manifest if raw_manifest is not None else json.dumps(man or manifest(), indent=1).encode()
    members = [("manifest.json", blob)]
    if container == "imx":
        write_imx(path, members)
    elif container == "zip":
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in members:
                z.writestr(name, data)
    elif container == "dir":
        path.mkdir(parents=True, exist_ok=True)
        for name, data in members:
            (path / name).write_bytes(data)
    else:
        raise ValueError(f"unknown container {container!r}")
    return path


def tick_of(picture) -> int:
    """The tick number carried by the first row of a picture (BGR or RGB)."""
    row = picture[0, :32, 0]
    return sum(1 << i for i, v in enumerate(row) if v >= 128)


def mouth_height(picture, rgb=True) -> int:
    """Rows of mouth colour in the picture's centre column."""
    colour = FACE["mouth"][::-1] if rgb else FACE["mouth"]
    column = picture[:, (picture.shape[1] - 1) // 2]
    return int(sum(1 for px in column if list(px) == colour))


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    print(write_avatar(sys.argv[1], sys.argv[2] if len(sys.argv) == 3 else "imx"))
