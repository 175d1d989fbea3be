"""The int8-decoder variant of a combined bundle ("combined_litert_q8gd.tflite")
and whether the host serves it instead of the combined member.

The variant is served only when all of these hold, tested in this order
(cheapest first, the variant hashed last): the bundle is a directory holding
the variant as a file; ZEPHAN2_Q8GD does not turn it off; the processor has an
int8 dot product; the manifest binds the variant to this very combined member;
the running LiteRT runtime is the one the variant was gated on (or no gate is
recorded); the variant's bytes hash to the declared digest.

Every answer but "does not apply" carries one "[q8gd]" report line. Nothing
here fails: any ordinary error ends in serving the combined member, reported
as "{kind}: {message}" in Python's own words, which is why the selection is
written in Python. The host module exposes these functions and calls
_select_q8gd while it loads a bundle.
"""

import hashlib
import importlib.metadata
import json
import os

from ._tessel_host import (COMBINED_MEMBER, INT8_DOT_FLAGS, Q8GD_ENV, Q8GD_HEADER_KEY, Q8GD_LOG, Q8GD_MEMBER,
                           _read_regular_file)

MANIFEST = "manifest.json"
# Far beyond any real manifest; a larger one is refused as unreadable.
MANIFEST_MAX_BYTES = 16 * 1024 * 1024
HASH_BLOCK = 4 * 1024 * 1024

SERVING = f" — serving {COMBINED_MEMBER}"
OFF_WORDS = ("0", "off", "false", "no")
NO_INT8_DOT = "this CPU has no int8 dot product (no avx512_vnni / avx_vnni; int8 measured 0.88-0.93x on AVX2)"
NOT_BOUND = "the header does not bind it (no members_sha256 entry / litert_q8gd block)"
NO_GATE = "gate runtime not recorded (published before 2026-10-05)"


def _select_q8gd(bundle, cpuinfo="/proc/cpuinfo"):
    """(path of the variant to serve or None, report text; empty when the selection does not apply)."""
    try:
        return _checks(bundle, cpuinfo)
    except Exception as e:  # an interruption or exit request passes
        return None, _fallback(f"{type(e).__name__}: {e}")


def int8_dot_isa(cpuinfo="/proc/cpuinfo"):
    """The first of INT8_DOT_FLAGS on the first "flags" line of `cpuinfo`, or None.

    A file that cannot be opened or read gives None; a "flags" line without ":"
    raises IndexError."""
    try:
        # Bytes outside ASCII stay apart from every flag and from white space.
        with open(cpuinfo, encoding="ascii", errors="surrogateescape") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    return next((name for name in INT8_DOT_FLAGS if name in flags), None)
    except OSError:
        pass
    return None


def _q8gd_bound(manifest):
    """(declared variant digest, "bound") when `manifest` binds the variant to this combined member, else
    (None, reason)."""
    decl = (manifest or {}).get("members_sha256") or {}
    blk = (manifest or {}).get(Q8GD_HEADER_KEY)
    want = decl.get(Q8GD_MEMBER)
    if not isinstance(blk, dict) or not want:
        return None, NOT_BOUND
    if blk.get("sha256") != want:
        return None, "litert_q8gd.sha256 disagrees with members_sha256"
    base = decl.get(COMBINED_MEMBER)
    cut = blk.get("base_sha256")
    if blk.get("base_member") != COMBINED_MEMBER or not base or cut != base:
        return None, f"STALE: cut from {COMBINED_MEMBER} {str(cut)[:12]}, the header declares {str(base)[:12]}"
    return want, "bound"


def _q8gd_runtime_ok(manifest, running):
    """(whether the running LiteRT runtime `running` passes the variant's gate, reason)."""
    gate = ((manifest or {}).get(Q8GD_HEADER_KEY) or {}).get("gate") or {}
    want = gate.get("runtime") if isinstance(gate, dict) else None
    if not want:
        return True, NO_GATE
    if running is None:
        return False, f"gated on ai-edge-litert {want}, this process's runtime is unreadable"
    if running != want:
        return False, f"gated on ai-edge-litert {want}, this process runs {running} — re-gate it"
    return True, f"gated on this runtime (ai-edge-litert {running})"


def litert_runtime_version():
    """Version text of the installed ai-edge-litert distribution, or None."""
    try:
        return str(importlib.metadata.version("ai-edge-litert"))
    except Exception:
        return None


def _checks(bundle, cpuinfo):
    if not os.path.isdir(bundle):
        return None, ""  # a container bundle
    p = os.path.join(bundle, Q8GD_MEMBER)
    if not os.path.isfile(p):
        return None, ""

    mode = (os.environ.get(Q8GD_ENV) or "auto").strip().lower()
    if mode in OFF_WORDS:
        return None, f"{Q8GD_LOG} off ({Q8GD_ENV}={mode}){SERVING}"
    isa = int8_dot_isa(cpuinfo)
    if isa is None:
        return None, _fallback(NO_INT8_DOT)

    raw = _read_regular_file(os.path.join(bundle, MANIFEST), MANIFEST_MAX_BYTES)
    manifest = json.loads(raw.decode("utf-8"))
    want, why = _q8gd_bound(manifest)
    if want is None:
        return None, _fallback(why)
    rt_ok, rt_why = _q8gd_runtime_ok(manifest, litert_runtime_version())
    if not rt_ok:
        return None, _fallback(rt_why)

    digest = _file_sha256(p)
    if digest != want:
        return None, _fallback(f"bytes {digest[:12]} != declared {want[:12]}")
    return p, f"{Q8GD_LOG} SELECTED {Q8GD_MEMBER} (int8 decoder; cpu {isa}; sha {want[:12]} bound; {rt_why})"


def _fallback(why):
    return f"{Q8GD_LOG} FALLBACK: {why}{SERVING}"


def _file_sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(HASH_BLOCK):
            h.update(block)
    return h.hexdigest()
