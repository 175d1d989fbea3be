"""Avatars of every engine kind, packed as IMX files, for tests that hold a
rule over all of them."""

import json

from support.hostproc import speech
from tools.imx import write_imx
from tools.make_demo_bundle import bundle_members
from tools.make_ostrel1_avatar import manifest as ostrel1_manifest

ENGINE_KINDS = ["ostrel1", "ostrel2-light", "ostrel2-golden", "ostrel2-unified", "zephan2"]


def imx_avatar(path, manifest=None, members=()):
    """An IMX avatar holding `manifest` (none: no manifest member) and `members`."""
    entries = list(members)
    if manifest is not None:
        entries.insert(0, ("manifest.json", json.dumps(manifest).encode()))
    write_imx(path, entries or [("readme.txt", b"no manifest")])
    return str(path)


def avatar_of(engine_id, folder, **manifest):
    """An avatar of `engine_id` in `folder`; `manifest` adds to its manifest
    (ostrel1: `samples_per_tick` and the like; session avatars: "latency"...)."""
    path = folder / f"{engine_id}.imx"
    if engine_id == "zephan2":
        return imx_avatar(path, members=bundle_members())
    if engine_id == "ostrel1":
        return imx_avatar(path, ostrel1_manifest(**manifest))
    return imx_avatar(path, {"engine": engine_id, "name": "test", **manifest})


def pcm(seconds, seed=0):
    """Speech-like 16 kHz int16 PCM bytes."""
    return (speech(int(16000 * seconds), seed) * 32767).astype("<i2").tobytes()
