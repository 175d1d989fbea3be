"""The manifest reader: which engine an avatar needs.

An avatar is a directory, an IMX container or a zip archive whose member
"manifest.json" is a JSON object naming its engine under "engine". An avatar
without that member is an ostrel1 avatar of the first kind, which carried no
manifest.
"""

import json
import os

MANIFEST = "manifest.json"
_NO_MANIFEST_ENGINE = "ostrel1"
# Far beyond any real manifest: a member that inflates to gigabytes is
# refused before it is read, as the zephan-2 host bounds its own.
MANIFEST_MAX_BYTES = 16 << 20


def read_manifest(path):
    """The parsed manifest of the avatar at `path`, or None when it has none.
    OSError when the avatar cannot be read; InvalidAvatar when the manifest is
    larger than MANIFEST_MAX_BYTES; ValueError when it is not JSON or the
    container is damaged."""
    from . import _offline
    from ._errors import InvalidAvatar, refuse

    try:
        raw = _offline.member_bytes(os.fspath(path), MANIFEST, MANIFEST_MAX_BYTES)
    except _offline.MemberTooLarge as e:
        raise refuse(InvalidAvatar, "that is not a usable avatar", e) from None
    if raw is None:
        return None
    return json.loads(raw)


def resolve_engine(manifest):
    """The engine id that `manifest` names. ValueError when it names none."""
    engine = manifest.get("engine") if isinstance(manifest, dict) else None
    if not isinstance(engine, str) or not engine:
        raise ValueError(f"the avatar's {MANIFEST} names no engine")
    return engine


def engine_id_for_path(path):
    """The engine id of the avatar at `path`."""
    manifest = read_manifest(path)
    return _NO_MANIFEST_ENGINE if manifest is None else resolve_engine(manifest)
