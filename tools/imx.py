"""Writes IMX avatar containers.

Layout: the magic b"IMX\\0", two zero bytes, the 16-bit member count, then the
member table (per member: 16-bit name length, UTF-8 name, 64-bit offset,
64-bit size; all little-endian) and after it the member data, back to back in
the order given. The output depends only on the arguments.
"""

from __future__ import annotations

import os
import struct

MAGIC = b"IMX\0"


def imx_bytes(members: list[tuple[str, bytes]]) -> bytes:
    """The whole container for `members` (name, data), in that order."""
    if len(members) > 0xFFFF:
        raise ValueError(f"an IMX container holds at most 65535 members, not {len(members)}")
    names = [nm.encode("utf-8") for nm, _ in members]
    for nm in names:
        if len(nm) > 0xFFFF:
            raise ValueError(f"member name of {len(nm)} bytes is longer than 65535")
    off = 8 + sum(18 + len(nm) for nm in names)
    table = [MAGIC, struct.pack("<HH", 0, len(members))]
    for nm, (_, data) in zip(names, members):
        table.append(struct.pack("<H", len(nm)) + nm + struct.pack("<QQ", off, len(data)))
        off += len(data)
    return b"".join(table) + b"".join(bytes(data) for _, data in members)


def write_imx(path: str | os.PathLike, members: list[tuple[str, bytes]]) -> None:
    """Writes `members` (name, data) as an IMX container at `path`."""
    with open(path, "wb") as f:
        f.write(imx_bytes(members))
