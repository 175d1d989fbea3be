"""Base-verification policy of the zephan-2 host.

A two-artifact avatar bundle (identity.tflite plus a shared encoder
shared-enc.tflite kept elsewhere) names the shared encoder it was cut against
in its manifest.json, under "dependencies":

    "dependencies": [
        {"id": "zephan2/shared-enc", "sha256": "<64 lower-case hex digits>"}
    ]

The content store keeps such bases by content address: $HALVANE_DEPS_DIR (when
set) and ~/.halvane/deps, each holding a base as <store>/<sha256> or
<store>/<sha256[:2]>/<sha256>. A file is the base when its bytes hash to the
declared SHA-256.

The host loads this module by name at start-up and calls only what is below.
"""

import hashlib
import os
import re

SHARED_ENC_ID = "zephan2/shared-enc"

_DIGEST = re.compile(r"[0-9a-f]{64}\Z")
_BLOCK = 4 * 1024 * 1024


def base_sha256_of(dependencies):
    """The declared SHA-256 of the shared encoder, or None."""
    if not isinstance(dependencies, list):
        return None
    for dep in dependencies:
        if isinstance(dep, dict) and dep.get("id") == SHARED_ENC_ID:
            sha = dep.get("sha256")
            return sha if isinstance(sha, str) else None
    return None


def dependency_store_dirs():
    dirs = []
    env = os.environ.get("HALVANE_DEPS_DIR", "").strip()
    if env:
        dirs.append(env)
    dirs.append(os.path.expanduser("~/.halvane/deps"))
    return dirs


def store_candidates(sha256, dirs):
    """Where the store would hold that base; none for anything but a digest."""
    if not isinstance(sha256, str) or not _DIGEST.match(sha256):
        return []
    out = []
    for d in dirs:
        out += [os.path.join(d, sha256), os.path.join(d, sha256[:2], sha256)]
    return out


def verify_base(path, sha256):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(_BLOCK):
            h.update(block)
    return h.hexdigest() == sha256
