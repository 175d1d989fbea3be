"""Avatar cache: cold and warm `_materialise` of a 50 MB and a 500 MB IMX
container, and content hashing against `sha256sum` on the same file.

    .venv/bin/python bench/bench_cache.py [ROUNDS]

cold: an empty cache root, so the file is hashed, unpacked and published
(the container itself is in the page cache: this is the CPU and write cost,
not a cold disk); warm: a memo hit and an entry already held (stat, memo read,
marker check, touch). hash: `_content_key` with no memo against the
`sha256sum` program, interleaved rounds, best and median of each. The
containers are written once to $TMPDIR/halvane-bench-cache.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import halvane._open as op  # noqa: E402
from tools.imx import write_imx  # noqa: E402


def make_container(d, mb):
    p = d / f"avatar-{mb}mb.imx"
    if not p.exists():
        block = os.urandom(1 << 20)
        big = b"".join(block[i:] + block[:i] for i in range(mb - 1))
        write_imx(p, [("manifest.json", b'{"engine": "bench"}'), ("models/combined_litert.tflite", big),
                      ("canon.bin", os.urandom(1 << 20))])
    return str(p)


def fresh_root(base):
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    os.environ["HALVANE_CACHE_DIR"] = str(base)
    op._HELD.clear()
    op._SWEPT = False


def ms(xs):
    return f"best {min(xs) * 1e3:9.3f} ms  median {statistics.median(xs) * 1e3:9.3f} ms"


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    d = Path(tempfile.gettempdir()) / "halvane-bench-cache"
    d.mkdir(exist_ok=True)
    root = d / "root"
    for mb in (50, 500):
        src = make_container(d, mb)
        size = os.path.getsize(src)
        cold, warm, ours, theirs = [], [], [], []
        for _ in range(rounds):
            fresh_root(root)
            t = time.perf_counter()
            entry = op._materialise(src)
            cold.append(time.perf_counter() - t)
            for _ in range(200):
                t = time.perf_counter()
                assert op._materialise(src) == entry
                warm.append(time.perf_counter() - t)

            avatars = str(root / "hash-only")
            shutil.rmtree(avatars, ignore_errors=True)
            st = os.stat(src)
            t = time.perf_counter()
            key = op._content_key(src, st, avatars)
            ours.append(time.perf_counter() - t)
            t = time.perf_counter()
            out = subprocess.run(["sha256sum", src], check=True, capture_output=True, text=True).stdout
            theirs.append(time.perf_counter() - t)
            assert out.startswith(key[7:])
        print(f"{mb:4d} MB   cold materialise  {ms(cold)}")
        print(f"{mb:4d} MB   warm materialise  {ms(warm)}")
        print(f"{mb:4d} MB   _content_key      {ms(ours)}  {size / min(ours) / 1e6:8.0f} MB/s")
        print(f"{mb:4d} MB   sha256sum         {ms(theirs)}  {size / min(theirs) / 1e6:8.0f} MB/s")
        print(f"{mb:4d} MB   hash time ratio (ours / sha256sum, best): {min(ours) / min(theirs):.3f}")
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
