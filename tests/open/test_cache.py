"""The avatar cache: its root and capacity settings, content keys and their
memo files, materialising and holding entries, and the eviction sweep."""

import errno
import fcntl
import hashlib
import json
import os
import pwd
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

import halvane._offline as offline
import halvane._open as op
from halvane._errors import Failed, InvalidAvatar
from tools.imx import imx_bytes, write_imx

NOW = 1_700_000_000.0
HOUR, DAY = 3600, 86400
PREPARE = "could not prepare that avatar"
UNUSABLE = "that is not a usable avatar"
MEMBERS = [("manifest.json", b'{"engine": "x"}'), ("a/canon.bin", b"\x01" * 3000), ("color.json", b"{}")]


def key_of(data):
    return "sha256-" + hashlib.sha256(data).hexdigest()[:32]


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """A cache root of its own and fresh module state; the avatars directory."""
    monkeypatch.setenv("HALVANE_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("HALVANE_AVATAR_CACHE_GB", raising=False)
    monkeypatch.setattr(op, "_HELD", {})
    monkeypatch.setattr(op, "_SWEPT", False)
    return str(tmp_path / "cache" / "avatars")


@pytest.fixture
def avatar(tmp_path):
    p = tmp_path / "avatar.imx"
    write_imx(p, MEMBERS)
    return str(p)


def memo_name(path, st):
    ident = "\0".join([os.path.abspath(path), str(st.st_size), str(st.st_mtime_ns), str(st.st_ino)])
    return hashlib.sha256(ident.encode()).hexdigest()[:32]


# ---- root, capacity, keys and memos ----

def test_cache_root(monkeypatch):
    home = os.environ.get("HOME") or pwd.getpwuid(os.getuid()).pw_dir
    root = pwd.getpwnam("root").pw_dir
    for value, want in [(None, os.path.join(home, ".cache/halvane")), ("", ""), ("~/x", os.path.join(home, "x")),
                        ("~", home), ("~root/y", root.rstrip("/") + "/y"), ("~no-such-user-9/z", "~no-such-user-9/z"),
                        ("rel/dir", "rel/dir"), ("/abs/~/d", "/abs/~/d")]:
        if value is None:
            monkeypatch.delenv("HALVANE_CACHE_DIR", raising=False)
        else:
            monkeypatch.setenv("HALVANE_CACHE_DIR", value)
        assert op._cache_root() == want, value


def test_cache_capacity(monkeypatch):
    for value, want in [(None, 10**10), ("", 10**10), ("lots", 10**10), ("0.5", 5 * 10**8), ("-3", 0), ("0", 0),
                        (" 2 ", 2 * 10**9), ("\t1e-9\n", 1), ("2.5E1", 25 * 10**9), ("1_0", 10**10),
                        ("1__0", 10**10), (".5", 5 * 10**8), ("5.", 5 * 10**9), ("+1e0", 10**9), ("-inf", 0),
                        ("0x10", 10**10), ("1e", 10**10), ("1.5e-10", 0)]:
        if value is None:
            monkeypatch.delenv("HALVANE_AVATAR_CACHE_GB", raising=False)
        else:
            monkeypatch.setenv("HALVANE_AVATAR_CACHE_GB", value)
        got = op._cache_cap_bytes()
        assert got == want and type(got) is int, value
    for value in ("inf", " Infinity", "nan", "-NaN", "1e400"):
        monkeypatch.setenv("HALVANE_AVATAR_CACHE_GB", value)
        with pytest.raises((OverflowError, ValueError)):
            op._cache_cap_bytes()


def test_content_keys_and_memos(cache, tmp_path):
    for data in (b"", b"abc", imx_bytes(MEMBERS)):
        p = tmp_path / "c.bin"
        p.write_bytes(data)
        st = os.stat(p)
        assert op._content_key(str(p), st, cache) == key_of(data)
        memo = os.path.join(cache, ".idx", memo_name(str(p), st))
        with open(memo, "rb") as f:
            assert f.read() == key_of(data)[7:].encode()
    assert key_of(b"abc") == "sha256-ba7816bf8f01cfea414140de5dae2223"

    # A memo is believed without reading the file: a planted one shows it.
    p = tmp_path / "planted.bin"
    p.write_bytes(b"real bytes")
    st = os.stat(p)
    memo = os.path.join(cache, ".idx", memo_name(str(p), st))
    fake = "0123456789abcdef" * 2
    for content, believed in [(fake + "\n", True), ("  " + fake + " \r\n", True), ("\u00a0" + fake, True),
                              (fake.upper(), False), (fake[:31], False), (fake + "0", False),
                              ("sha256-" + fake, False), (None, False)]:
        if content is None:
            with open(memo, "wb") as f:
                f.write(b"\xff\xfe" + fake.encode())  # not text
        else:
            with open(memo, "w", encoding="utf-8") as f:
                f.write(content)
        got = op._content_key(str(p), st, cache)
        assert got == ("sha256-" + fake if believed else key_of(b"real bytes")), content
        if not believed:
            with open(memo, "rb") as f:
                assert f.read() == key_of(b"real bytes")[7:].encode()


def test_memo_per_version_of_a_file(cache, tmp_path):
    a = tmp_path / "a.imx"
    a.write_bytes(b"same bytes")
    b = tmp_path / "sub" / ".." / "b.imx"
    (tmp_path / "sub").mkdir()
    (tmp_path / "b.imx").write_bytes(b"same bytes")
    idx = os.path.join(cache, ".idx")
    assert op._content_key(str(a), os.stat(a), cache) == op._content_key(str(b), os.stat(b), cache)
    assert sorted(os.listdir(idx)) == sorted([memo_name(str(a), os.stat(a)), memo_name(str(b), os.stat(b))])
    st = os.stat(a)
    os.utime(a, ns=(st.st_atime_ns, st.st_mtime_ns + 1000))
    op._content_key(str(a), os.stat(a), cache)
    assert len(os.listdir(idx)) == 3

    # Relative paths are keyed by their absolute, normalised form.
    cwd = os.getcwd()
    try:
        os.chdir(tmp_path / "sub")
        rel = os.path.join("..", ".", "a.imx")
        assert memo_name(rel, os.stat(rel)) == memo_name(str(a), os.stat(a))
        op._content_key(rel, os.stat(rel), cache)
        assert memo_name(str(a), os.stat(a)) in os.listdir(idx) and len(os.listdir(idx)) == 3
    finally:
        os.chdir(cwd)


def test_memo_not_written_for_a_changed_file(cache, tmp_path):
    p = tmp_path / "c.bin"
    p.write_bytes(b"before")
    st = os.stat(p)
    with open(p, "ab") as f:
        f.write(b" and after")
    assert op._content_key(str(p), st, cache) == key_of(b"before and after")
    assert not os.path.exists(os.path.join(cache, ".idx", memo_name(str(p), st)))


def test_non_utf8_names(cache, tmp_path):
    d = os.path.join(os.fsencode(tmp_path), b"\xff\xfe-dir")
    os.mkdir(d)
    src = os.path.join(d, b"av\xe9.imx")
    write_imx(src, MEMBERS)
    src_text = os.fsdecode(src)
    st = os.stat(src)
    assert op._content_key(src_text, st, cache) == key_of(imx_bytes(MEMBERS))
    assert op._content_key(src, st, cache) == key_of(imx_bytes(MEMBERS))
    ident = b"\0".join([os.path.abspath(src), str(st.st_size).encode(), str(st.st_mtime_ns).encode(),
                        str(st.st_ino).encode()])
    assert os.listdir(os.path.join(cache, ".idx")) == [hashlib.sha256(ident).hexdigest()[:32]]
    entry = op._materialise(src_text)
    assert sorted(os.listdir(entry)) == ["canon.bin", "color.json", "manifest.json"]


def test_unreadable_container_fails(cache, tmp_path):
    p = tmp_path / "secret.imx"
    write_imx(p, MEMBERS)
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    p.chmod(0)
    with pytest.raises(Failed) as ei:
        op._materialise(str(p))
    assert ei.value.message == PREPARE and isinstance(ei.value.detail, PermissionError)


class Stat:
    def __init__(self, **fields):
        self.__dict__.update(fields)


@pytest.mark.parametrize("fields, error, text", [
    ({"st_size": 3, "st_ino": 1}, TypeError, "a file status record needs st_mtime_ns; got a Stat without it"),
    ({"st_mtime_ns": 0, "st_ino": 1}, TypeError, "a file status record needs st_size; got a Stat without it"),
    ({"st_size": 3, "st_mtime_ns": 1.5, "st_ino": 1}, TypeError,
     "st_mtime_ns of a file status record must be an int, not float"),
    ({"st_size": 3, "st_mtime_ns": 0, "st_ino": "7"}, TypeError,
     "st_ino of a file status record must be an int, not str"),
    ({"st_size": 3, "st_mtime_ns": 2**64, "st_ino": 1}, OverflowError, None),
])
def test_status_record_fields(cache, tmp_path, fields, error, text):
    p = tmp_path / "c.bin"
    p.write_bytes(b"abc")
    with pytest.raises(error) as ei:
        op._content_key(str(p), Stat(**fields), cache)
    if text is not None:
        assert str(ei.value) == text
    assert op._content_key(str(p), Stat(st_size=3, st_mtime_ns=0, st_ino=1), cache) == key_of(b"abc")


def test_nothing_written_through_planted_links(cache, tmp_path, avatar):
    """A link standing where the memo's temporary goes, or under an entry's
    name, never leads a write or a touch outside the cache."""
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    p = tmp_path / "c.bin"
    p.write_bytes(b"abc")
    st = os.stat(p)
    memo = os.path.join(cache, ".idx", memo_name(str(p), st))
    os.makedirs(os.path.dirname(memo))
    for plant in (os.symlink, os.link):
        plant(victim, f"{memo}.{os.getpid()}")
        assert op._content_key(str(p), st, cache) == key_of(b"abc")
        assert victim.read_bytes() == b"precious"
        with open(memo, "rb") as f:
            assert f.read() == key_of(b"abc")[7:].encode()
        os.remove(memo)

    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "manifest.json").write_text("{}")
    os.utime(outside, (NOW, NOW))
    linked = os.path.join(cache, "sha256-" + "5" * 32)
    os.symlink(outside, linked)
    op._hold(linked)
    assert os.stat(outside).st_mtime == NOW


FORK_WHILE_MATERIALISING = r"""
import os, sys, threading, time
import halvane._offline as offline
import halvane._open as op

first, second = sys.argv[1:3]
op._materialise(second)  # cached: the child's open below is a hit
inside, release = threading.Event(), threading.Event()
unfold = offline.unfold_imx

def slow_unfold(src, dst):
    inside.set()
    release.wait()
    unfold(src, dst)

offline.unfold_imx = slow_unfold
t = threading.Thread(target=op._materialise, args=(first,))
t.start()
inside.wait()
pid = os.fork()
if pid == 0:
    try:
        code = 0 if op._materialise(second) else 1
    except BaseException:
        code = 2
    os._exit(code)
for _ in range(3000):  # a child that never returns is ended after 30 s
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    status = os.waitpid(pid, 0)[1]
release.set()
t.join()
print(os.waitstatus_to_exitcode(status))
"""


def test_fork_while_another_thread_materialises(cache, tmp_path):
    first, second = tmp_path / "first.imx", tmp_path / "second.imx"
    write_imx(first, MEMBERS)
    write_imx(second, MEMBERS + [("n", b"2")])
    r = subprocess.run([sys.executable, "-c", FORK_WHILE_MATERIALISING, str(first), str(second)],
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout) == (0, "0\n"), r.stderr


def imx_table(entries, tail):
    """An IMX container whose table is `entries` (name, offset, size) as given,
    followed by `tail`; offsets count from the start of the file."""
    import struct

    table = b"".join(struct.pack("<H", len(n)) + n.encode() + struct.pack("<QQ", off, size) for n, off, size in entries)
    return b"IMX\0" + struct.pack("<HH", 0, len(entries)) + table + tail


MANIFEST = b'{"engine": "x"}'


def data_at(names):
    """Where the data of a container with these names begins."""
    return 8 + sum(18 + len(n) for n in names)


@pytest.mark.parametrize("layout, refused", [
    # (name, offset from the data's start, size) per member
    ([("manifest.json", 0, 15), ("a", 15, 10), ("b", 25, 10)], None),
    ([("manifest.json", 0, 15), ("a", 15, 10), ("b", 15, 10)], "'a' and 'b'"),  # the same bytes twice
    ([("manifest.json", 0, 15), ("a", 15, 20), ("b", 30, 5)], "'a' and 'b'"),   # inside another
    ([("manifest.json", 0, 15), ("a", 10, 10)], "'manifest.json' and 'a'"),    # one shared byte
    ([("manifest.json", 0, 15), ("a", 15, 0), ("b", 15, 0)], None),             # empty members share nothing
    ([("manifest.json", 0, 15), ("x/a", 15, 10), ("y/a", 15, 10)], None),       # only the last "a" is unpacked
    ([("manifest.json", 0, 15)] + [(f"m{i}", 15, 20) for i in range(50)], "'m0' and 'm1'"),
])
def test_unpacking_is_bounded_by_the_container(cache, tmp_path, layout, refused):
    names = [n for n, _, _ in layout]
    tail = MANIFEST + bytes(range(20))
    p = tmp_path / "crafted.imx"
    p.write_bytes(imx_table([(n, data_at(names) + off, size) for n, off, size in layout], tail))
    if refused is None:
        entry = op._materialise(str(p))
        assert sum(os.path.getsize(os.path.join(entry, n)) for n in os.listdir(entry)) <= os.path.getsize(p)
        return
    with pytest.raises(InvalidAvatar) as ei:
        op._materialise(str(p))
    assert ei.value.message == UNUSABLE
    assert str(ei.value.detail) == f"IMX members {refused} share bytes of the container"
    assert entries(cache) == []


@pytest.mark.parametrize("size, refused", [(16 << 20, False), ((16 << 20) + 1, True)])
def test_manifest_read_is_bounded(tmp_path, size, refused):
    """A small zip whose manifest.json inflates beyond any real one."""
    import zipfile

    import halvane._imx_engine as reader

    p = tmp_path / "bomb.zip"
    with zipfile.ZipFile(p, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        with z.open("manifest.json", "w", force_zip64=True) as m:
            m.write(b'{"engine": "zephan2", "pad": "')
            block = b" " * (1 << 20)
            left = size - 32
            while left > 0:
                m.write(block[:left])
                left -= len(block)
            m.write(b'"}')
    if not refused:
        assert reader.read_manifest(str(p))["engine"] == "zephan2"
        return
    with pytest.raises(InvalidAvatar) as ei:
        reader.read_manifest(str(p))
    assert ei.value.message == UNUSABLE and ei.value.__cause__ is None
    assert str(ei.value.detail) == f"{str(p)!r}: member 'manifest.json' is larger than {16 << 20} bytes"
    import halvane

    with pytest.raises(InvalidAvatar):
        halvane.open(str(p))


# ---- materialise and hold ----

def entries(avatars):
    return sorted(n for n in os.listdir(avatars) if not n.startswith("."))


def test_materialise_miss_then_hit(cache, avatar, tmp_path, monkeypatch):
    d = tmp_path / "plain-dir"
    d.mkdir()
    assert op._materialise(str(d)) == str(d)
    assert not os.path.exists(os.path.dirname(cache))

    key = key_of(imx_bytes(MEMBERS))
    entry = op._materialise(avatar)
    assert entry == os.path.join(cache, key) and op._SWEPT is True
    assert sorted(os.listdir(entry)) == ["canon.bin", "color.json", "manifest.json"]
    with open(os.path.join(entry, "canon.bin"), "rb") as f:
        assert f.read() == b"\x01" * 3000
    for made in (cache, os.path.join(cache, ".idx")):  # nobody else may plant anything there
        assert os.stat(made).st_mode & 0o777 == 0o700
    fd = op._HELD[entry]
    assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
    assert os.fstat(fd).st_ino == os.stat(os.path.join(entry, "manifest.json")).st_ino
    assert op._in_use(entry, 0.0) is True
    assert entries(cache) == [key]

    os.utime(entry, (NOW, NOW))
    assert op._materialise(avatar) == entry
    assert op._HELD == {entry: fd} and os.stat(entry).st_mtime > NOW  # touched again


def test_first_hit_of_a_process_sweeps_once(cache, avatar, monkeypatch):
    entry = op._materialise(avatar)
    stale = os.path.join(cache, "sha256-" + "0" * 32 + ".tmp.4194304999")  # no such process
    for hit in range(3):
        os.makedirs(stale, exist_ok=True)
        os.utime(stale, (time.time() - 2 * HOUR,) * 2)
        if hit == 0:
            monkeypatch.setattr(op, "_SWEPT", False)  # as in a new process
        assert op._materialise(avatar) == entry
        assert os.path.exists(stale) == (hit > 0), hit


def test_materialise_outcomes(cache, tmp_path):
    key = key_of(imx_bytes(MEMBERS))
    entry = os.path.join(cache, key)
    staging = f"{entry}.tmp.{os.getpid()}"
    no_manifest = tmp_path / "no-manifest.imx"
    write_imx(no_manifest, [("canon.bin", b"x")])
    junk = tmp_path / "junk.imx"
    junk.write_bytes(b"not a container at all")
    damaged = tmp_path / "damaged.imx"
    damaged.write_bytes(imx_bytes(MEMBERS)[:12])
    dotted = tmp_path / "dotted.imx"
    write_imx(dotted, MEMBERS + [("x/..", b"")])
    fifo = tmp_path / "fifo.imx"
    os.mkfifo(fifo)

    def good():
        p = tmp_path / "good.imx"
        write_imx(p, MEMBERS)
        return p

    def leftover_staging():
        os.makedirs(staging)
        (open(os.path.join(staging, "old"), "w")).close()
        return good()

    def empty_entry():
        os.makedirs(entry)
        return good()

    def full_entry_without_marker():
        os.makedirs(entry)
        (open(os.path.join(entry, "canon.bin"), "w")).close()
        return good()

    def file_under_the_entry_name():
        os.makedirs(cache)
        (open(entry, "w")).close()
        return good()

    for make, kind, message, detail in [
            (leftover_staging, None, None, None),
            (empty_entry, None, None, None),
            (full_entry_without_marker, None, None, None),
            (file_under_the_entry_name, Failed, PREPARE, OSError),
            (lambda: no_manifest, InvalidAvatar, UNUSABLE, ValueError),
            (lambda: junk, InvalidAvatar, UNUSABLE, ValueError),
            (lambda: damaged, InvalidAvatar, UNUSABLE, ValueError),
            (lambda: dotted, InvalidAvatar, UNUSABLE, ValueError),
            (lambda: fifo, Failed, PREPARE, OSError)]:
        subprocess.run(["rm", "-rf", os.path.dirname(cache)], check=True)
        op._HELD.clear()
        src = str(make())
        if kind is None:
            assert op._materialise(src) == entry
            assert sorted(os.listdir(entry)) == ["canon.bin", "color.json", "manifest.json"]
        else:
            with pytest.raises(kind) as ei:
                op._materialise(src)
            e = ei.value
            assert (e.message, type(e)) == (message, kind) and isinstance(e.detail, detail), make
            assert e.__cause__ is None and e.__suppress_context__
            if kind is InvalidAvatar:
                assert not os.path.exists(entry)
        assert not os.path.exists(staging), make

    with pytest.raises(FileNotFoundError):
        op._materialise(str(tmp_path / "missing.imx"))


def test_lost_race_uses_the_winners_entry(cache, avatar, monkeypatch):
    entry = os.path.join(cache, key_of(imx_bytes(MEMBERS)))
    unfold = offline.unfold_imx

    def unfold_and_lose(src, dst):
        unfold(src, dst)
        other = entry + ".tmp.1"
        os.makedirs(other)
        unfold(src, other)
        os.rename(other, entry)

    monkeypatch.setattr(offline, "unfold_imx", unfold_and_lose)
    assert op._materialise(avatar) == entry
    assert entry in op._HELD and op._SWEPT is False  # a lost race does not sweep
    assert entries(cache) == [os.path.basename(entry)]


def test_unfold_errors_map_to_error_kinds(cache, avatar, monkeypatch):
    for raised, kind in [(PermissionError(13, "denied"), Failed), (RuntimeError("bad"), InvalidAvatar)]:
        def unfold(src, dst):
            open(os.path.join(dst, "manifest.json"), "w").close()
            raise raised
        monkeypatch.setattr(offline, "unfold_imx", unfold)
        with pytest.raises(kind) as ei:
            op._materialise(avatar)
        assert ei.value.detail is raised
        assert os.listdir(cache) == [".idx"]

    def interrupted(src, dst):
        raise KeyboardInterrupt
    monkeypatch.setattr(offline, "unfold_imx", interrupted)
    with pytest.raises(KeyboardInterrupt):
        op._materialise(avatar)
    assert os.path.isdir(os.path.join(cache, key_of(imx_bytes(MEMBERS)) + f".tmp.{os.getpid()}"))


def test_without_lock_facility(cache, avatar, monkeypatch):
    monkeypatch.setattr(op, "_fcntl", None)
    entry = op._materialise(avatar)
    os.utime(entry, (NOW, NOW))
    op._hold(entry)
    assert op._HELD == {} and os.stat(entry).st_mtime > NOW
    assert op._in_use(entry, 7 * DAY - 1) is True and op._in_use(entry, 7 * DAY) is False


def test_relative_cache_root(cache, avatar, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HALVANE_CACHE_DIR", "rel")
    assert op._materialise(avatar) == os.path.join("rel", "avatars", key_of(imx_bytes(MEMBERS)))
    monkeypatch.setenv("HALVANE_CACHE_DIR", "")
    assert op._materialise(avatar) == os.path.join("avatars", key_of(imx_bytes(MEMBERS)))


def test_entry_without_its_marker_heals(cache, avatar):
    """An entry whose manifest.json went missing is moved aside, whole, under a
    staging name of this process and the avatar published again; this process's
    hold moves to the new marker. The old directory is left to the sweep's
    rules for staging directories (a process may still read files through it)."""
    entry = op._materialise(avatar)
    os.remove(os.path.join(entry, "manifest.json"))
    aside = f"{entry}.incomplete.tmp.{os.getpid()}"
    os.makedirs(aside)  # a leftover of an earlier process with this id
    for _ in range(2):
        assert op._materialise(avatar) == entry
        assert sorted(os.listdir(entry)) == ["canon.bin", "color.json", "manifest.json"]
        assert os.fstat(op._HELD[entry]).st_ino == os.stat(os.path.join(entry, "manifest.json")).st_ino
        assert op._in_use(entry, 0.0) is True
        assert sorted(os.listdir(aside)) == ["canon.bin", "color.json"]
        assert int(op._TMP_RE.match(os.path.basename(aside)).group(1)) == os.getpid()
        os.remove(os.path.join(entry, "manifest.json"))  # and once more, over the first aside
    # Not a directory of the cache's making: a link standing under the entry's name is left alone.
    subprocess.run(["rm", "-rf", entry, aside], check=True)
    elsewhere = os.path.join(os.path.dirname(cache), "elsewhere")
    os.makedirs(os.path.join(elsewhere, "x"))
    os.symlink(elsewhere, entry)
    with pytest.raises(Failed) as ei:
        op._materialise(avatar)
    assert ei.value.message == PREPARE
    assert os.listdir(elsewhere) == ["x"] and os.path.islink(entry)


def test_threads_of_one_process_take_turns(cache, tmp_path):
    srcs = []
    for i in range(3):
        p = tmp_path / f"t{i}.imx"
        write_imx(p, MEMBERS + [("n", str(i).encode() * 200_000)])
        srcs.append(str(p))
    results, errors = [], []

    def run(src):
        try:
            results.append(op._materialise(src))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(srcs[i % 3],)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(set(results)) == 3
    assert len(entries(cache)) == 3 and not [n for n in os.listdir(cache) if ".tmp." in n]


HOLDER = r"""
import fcntl, os, sys, time
entry = sys.argv[1]
fd = os.open(os.path.join(entry, "manifest.json"), os.O_RDONLY)
fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
print("locked", flush=True)
sys.stdin.readline()
os.rename(entry, entry + ".tmp.%d" % os.getpid())
time.sleep(0.05)
os.close(fd)
"""


def test_hold_refused_while_a_sweep_moves_the_entry(cache, avatar, monkeypatch):
    # Another process's sweep has the exclusive lock and moves the entry away:
    # the open that meets it unpacks again instead of handing out the
    # vanished directory.
    monkeypatch.setattr(op, "_fcntl", None)
    entry = op._materialise(avatar)
    monkeypatch.setattr(op, "_fcntl", fcntl)
    sweeper = subprocess.Popen([sys.executable, "-c", HOLDER, entry], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert sweeper.stdout.readline() == "locked\n"
        got = []
        t = threading.Thread(target=lambda: got.append(op._materialise(avatar)))
        t.start()
        time.sleep(0.1)
        sweeper.stdin.write("go\n")
        sweeper.stdin.flush()
        t.join()
        assert sweeper.wait() == 0
    finally:
        sweeper.kill()
    assert got == [entry] and entry in op._HELD
    assert sorted(os.listdir(entry)) == ["canon.bin", "color.json", "manifest.json"]
    assert os.fstat(op._HELD[entry]).st_ino == os.stat(os.path.join(entry, "manifest.json")).st_ino


AGE_AND_SWEEP = """
import os, sys, time
import halvane._open as op
avatars = sys.argv[1]
old = time.time() - 7200
for name in os.listdir(avatars):
    if name.startswith("sha256-") and ".tmp." not in name:
        os.utime(os.path.join(avatars, name), (old, old))
op._sweep(avatars, "")
"""


class SweptOnLookup(dict):
    """_HELD that lets another process's sweep at capacity zero run each time
    a hold looks the entry up: right after the publish, before the hold."""

    def __init__(self, avatars):
        super().__init__()
        self.avatars, self.sweeps = avatars, 0

    def __contains__(self, key):
        env = dict(os.environ, HALVANE_AVATAR_CACHE_GB="0")
        subprocess.run([sys.executable, "-c", AGE_AND_SWEEP, self.avatars], env=env, check=True)
        self.sweeps += 1
        return super().__contains__(key)


def test_a_published_entry_is_held_before_a_sweep_can_see_it(cache, avatar, tmp_path, monkeypatch):
    # Every open that publishes meets a sweep between its rename and its
    # hold. The entry is held from the moment it stands under its name, so
    # the sweep passes it by (while it evicts an idle entry beside it) and
    # the open returns an entry that is there, held.
    idle = os.path.join(cache, key_of(b"idle"))
    os.makedirs(idle)
    with open(os.path.join(idle, "manifest.json"), "wb") as f:
        f.write(b"{}")
    held = SweptOnLookup(cache)
    monkeypatch.setattr(op, "_HELD", held)
    entry = op._materialise(avatar)
    assert held.sweeps == 1 and not os.path.exists(idle)
    assert sorted(os.listdir(entry)) == ["canon.bin", "color.json", "manifest.json"]
    assert os.fstat(held[entry]).st_ino == os.stat(os.path.join(entry, "manifest.json")).st_ino
    assert op._in_use(entry, 0.0) is True


# ---- sweep ----

def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


def make_dir(avatars, name, idle, size=0, marker=True):
    path = os.path.join(avatars, name)
    os.makedirs(path)
    if marker:
        with open(os.path.join(path, "manifest.json"), "wb") as f:
            f.write(b"x" * size)
    t = NOW - idle
    os.utime(path, (t, t))
    return path


def test_sweep(cache, monkeypatch):
    """(capacity in GB, [(name, idle, size)], names left). Sizes are bytes; a
    name given as None is `keep`."""
    monkeypatch.setattr(time, "time", lambda: NOW)
    me, gone = os.getpid(), dead_pid()
    e = ["sha256-" + c * 32 for c in "abcdefgh"]
    cases = [
        ("cap 0: idle entries go, young ones and keep stay",
         "0", [(e[0], HOUR, 10), (e[1], HOUR - 0.5, 10), (e[2], 5 * DAY, 10, "keep")], [e[1], e[2]]),
        ("within capacity: nothing goes, however old",
         "1e-7", [(e[0], 9 * DAY, 50), (e[1], 9 * DAY, 50)], [e[0], e[1]]),
        ("longest idle first, stop once within capacity",
         "1.5e-7", [(e[0], 2 * HOUR, 100), (e[1], 3 * HOUR, 100), (e[2], 4 * HOUR, 100)], [e[0]]),
        ("equal idle: the larger first",
         "1.5e-7", [(e[0], 2 * HOUR, 100), (e[1], 2 * HOUR, 60), (e[2], 2 * HOUR, 40)], [e[1], e[2]]),
        ("equal idle and size: the greater path first",
         "1e-7", [(e[0], 2 * HOUR, 100), (e[1], 2 * HOUR, 100)], [e[0]]),
        ("keep counts towards the total but stays",
         "1e-7", [(e[0], 9 * DAY, 100, "keep"), (e[1], 2 * HOUR, 10), (e[2], HOUR, 10)], [e[0]]),
        ("staging: by age and by owner",
         "10", [(e[0] + ".tmp.%d" % me, HOUR, 0), (e[1] + ".tmp.%d" % gone, HOUR, 0),
                (e[2] + ".tmp.%d" % me, 2 * HOUR, 0), (e[3] + ".tmp.%d" % gone, 2 * HOUR, 0),
                (e[4] + ".tmp.%d" % me, DAY, 0), (e[5] + ".tmp.%d" % me, DAY + 1, 0)],
         [e[0] + ".tmp.%d" % me, e[1] + ".tmp.%d" % gone, e[2] + ".tmp.%d" % me, e[4] + ".tmp.%d" % me]),
        ("staging with a process id no process can have",
         "0", [(e[0] + ".tmp.99999999999999999999999", 2 * HOUR, 0), (e[1] + ".tmp.4294967296", 2 * HOUR, 0),
               (e[2], 2 * HOUR, 10)], []),
        ("staging directories are never counted",
         "1e-7", [(e[0] + ".tmp.1", 0, 500), (e[1], 2 * HOUR, 100)], [e[0] + ".tmp.1", e[1]]),
        ("any directory not beginning with a dot is an entry",
         "0", [("my-stuff", 2 * HOUR, 5), (".hidden", 9 * DAY, 5), ("x.tmp.", 2 * HOUR, 5)], [".hidden"]),
    ]
    for label, cap, dirs, left in cases:
        subprocess.run(["rm", "-rf", cache], check=True)
        os.makedirs(cache)
        monkeypatch.setenv("HALVANE_AVATAR_CACHE_GB", cap)
        keep = os.path.join(cache, "none")
        for name, idle, size, *flag in dirs:
            p = make_dir(cache, name, idle, size)
            if flag:
                keep = p
        op._sweep(cache, keep)
        assert sorted(os.listdir(cache)) == sorted(left), label


def test_sweep_spares_what_it_must(cache, tmp_path, monkeypatch):
    monkeypatch.setattr(time, "time", lambda: NOW)
    monkeypatch.setenv("HALVANE_AVATAR_CACHE_GB", "0")
    os.makedirs(cache)
    held = make_dir(cache, "sha256-" + "1" * 32, 9 * DAY, 10)
    op._hold(held)
    os.utime(held, (NOW - 9 * DAY,) * 2)
    free = make_dir(cache, "sha256-" + "2" * 32, 9 * DAY, 10)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious").write_bytes(b"keep me")
    os.symlink(outside, os.path.join(free, "link"))
    os.symlink(held, os.path.join(cache, "sha256-" + "3" * 32))
    os.symlink(outside, os.path.join(cache, "sha256-" + "4" * 32 + ".tmp.1"))
    with open(os.path.join(cache, "plain-file"), "w") as f:
        f.write("x")
    os.utime(free, (NOW - 9 * DAY,) * 2)
    op._sweep(cache, "")
    assert sorted(os.listdir(cache)) == sorted([os.path.basename(held), "sha256-" + "3" * 32,
                                                "sha256-" + "4" * 32 + ".tmp.1", "plain-file"])
    assert (outside / "precious").read_bytes() == b"keep me"

    # Without the lock facility: in use for seven days after the last use,
    # locks or not.
    monkeypatch.setattr(op, "_fcntl", None)
    young = make_dir(cache, "sha256-" + "5" * 32, 7 * DAY - 1, 10)
    op._sweep(cache, "")
    assert not os.path.exists(held) and os.path.exists(young)
    os.utime(young, (NOW - 7 * DAY,) * 2)
    op._sweep(cache, "")
    assert not os.path.exists(young)


def test_sweep_without_a_finite_capacity_does_nothing(cache, monkeypatch):
    monkeypatch.setattr(time, "time", lambda: NOW)
    os.makedirs(cache)
    for value in ("inf", "nan", "1e400"):
        monkeypatch.setenv("HALVANE_AVATAR_CACHE_GB", value)
        names = [make_dir(cache, "sha256-" + "6" * 32 + value, 9 * DAY, 10),
                 make_dir(cache, "sha256-" + "7" * 32 + value + ".tmp.%d" % dead_pid(), 9 * DAY)]
        op._sweep(cache, "")
        assert all(os.path.exists(n) for n in names), value
    op._sweep(os.path.join(cache, "missing"), "")  # never fails


def test_du_in_use_pid_alive(cache, tmp_path):
    d = tmp_path / "tree"
    (d / "sub" / "deeper").mkdir(parents=True)
    (d / "a").write_bytes(b"x" * 100)
    (d / "sub" / "b").write_bytes(b"x" * 20)
    (d / "sub" / "deeper" / "c").write_bytes(b"x" * 3)
    big = tmp_path / "big"
    big.mkdir()
    (big / "huge").write_bytes(b"x" * 10_000)
    os.symlink(big, d / "dirlink")          # a link to a directory: not counted, not followed
    os.symlink("nowhere-at-all", d / "broken")  # a broken link: its own size
    os.symlink(big / "huge", d / "filelink")    # a link to a file: its own size, not the file's
    assert op._du(str(d)) == 123 + len("nowhere-at-all") + len(str(big / "huge"))
    assert op._du(str(tmp_path / "missing")) == 0

    entry = make_dir(str(tmp_path), "e", 0, 1)
    assert op._in_use(entry, 0.0) is False
    fd = os.open(os.path.join(entry, "manifest.json"), os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_SH)
    assert op._in_use(entry, 9e9) is True
    os.close(fd)
    assert op._in_use(str(tmp_path / "no-entry"), 9e9) is False

    for pid, alive in [(os.getpid(), True), (dead_pid(), False), (2**31, False), (2**80, False)]:
        assert op._pid_alive(pid) is alive, pid


# ---- hostile files and interrupts ----

NOBODY = 65534  # another user: root, running the tests, gives files away to it
OPEN_IN_CHILD = r"""
import json, sys
import halvane._open as op
try:
    print(json.dumps(["entry", op._materialise(sys.argv[1])]))
except Exception as e:
    print(json.dumps([type(e).__name__, e.message]))
"""


def plant_entry(path, owner=None, fifo=False):
    """A directory with an empty manifest.json (or a FIFO), of `owner` when set."""
    os.makedirs(path)
    marker = os.path.join(path, "manifest.json")
    os.mkfifo(marker) if fifo else open(marker, "wb").close()
    for p in (marker, path) if owner else ():
        os.chown(p, owner, owner)
    return path


def plant_memo(memo, key, owner):
    os.makedirs(os.path.dirname(memo))
    with open(memo, "w") as f:
        f.write(key[7:])
    os.chown(memo, owner, owner)


OWN = "belongs to another user; set HALVANE_CACHE_DIR to a folder of your own"
WRITE = "can be written by other users; make it writable by you alone (chmod go-w) or set HALVANE_CACHE_DIR to a " \
        "folder of your own"


# Each plants something in the cache (a, with the avatar av, its entry e and
# memo m); an open in a new process (whose first hit sweeps, at a capacity of
# one byte) must end in time, and get its own entry or the error given.
@pytest.mark.parametrize("plant, refused", [
    pytest.param(lambda a, av, e, m: (op._materialise(av), os.utime(plant_entry(a + "/sha256-i", fifo=True), (0, 0))),
                 None, id="idle entry whose marker is a FIFO, over capacity"),
    pytest.param(lambda a, av, e, m: plant_entry(e, owner=NOBODY), None, id="entry of another user"),
    pytest.param(lambda a, av, e, m: (plant_entry(a + "/sha256-" + "9" * 32), plant_memo(m, "sha256-" + "9" * 32, NOBODY)),
                 None, id="memo of another user, naming an entry"),
    pytest.param(lambda a, av, e, m: (os.makedirs(a), os.symlink(plant_entry(a + "-other", owner=NOBODY), e)),
                 PREPARE, id="entry a link to another user's folder"),
    pytest.param(lambda a, av, e, m: (os.makedirs(a), os.chown(a, NOBODY, NOBODY)), ("", OWN),
                 id="avatars folder of another user"),
    pytest.param(lambda a, av, e, m: (os.makedirs(a), os.chmod(a, 0o1777)), ("", WRITE),
                 id="avatars folder others can write"),
    pytest.param(lambda a, av, e, m: (os.makedirs(a + "/.idx"), os.chmod(a + "/.idx", 0o775)), ("/.idx", WRITE),
                 id="memo folder the group can write"),
])
def test_hostile_files_neither_block_nor_are_trusted(cache, avatar, monkeypatch, plant, refused):
    entry = os.path.join(cache, key_of(imx_bytes(MEMBERS)))
    try:
        plant(cache, avatar, entry, os.path.join(cache, ".idx", memo_name(avatar, os.stat(avatar))))
    except PermissionError:
        pytest.skip("giving a file to another user takes root")
    monkeypatch.setenv("HALVANE_AVATAR_CACHE_GB", "1e-9")
    r = subprocess.run([sys.executable, "-c", OPEN_IN_CHILD, avatar], capture_output=True, text=True, timeout=15)
    if isinstance(refused, tuple):
        refused = f"the avatar cache folder {cache}{refused[0]} {refused[1]}"
    assert json.loads(r.stdout) == (["Failed", refused] if refused else ["entry", entry]), r.stderr
    if not refused:  # a directory of this user's, not a link, with this avatar in it
        st = os.lstat(entry)
        assert stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid()
        with open(os.path.join(entry, "manifest.json"), "rb") as f:
            assert f.read() == MEMBERS[0][1]


# A link where the avatars folder or its memo folder should be is never
# followed: the avatars folder is refused as one the cache cannot prepare
# (the link's error as detail), a memo folder is passed over (the key is
# still right, no memo is written).
@pytest.mark.parametrize("linked", ["", "/.idx"], ids=["avatars folder", "memo folder"])
def test_links_in_place_of_the_cache_folders(cache, avatar, tmp_path, linked):
    target = tmp_path / "target"
    target.mkdir(mode=0o700)
    os.makedirs(os.path.dirname(cache + linked), exist_ok=True)
    os.symlink(target, cache + linked)
    key = key_of(imx_bytes(MEMBERS))
    if linked:
        assert op._materialise(avatar) == os.path.join(cache, key)
        assert op._content_key(avatar, os.stat(avatar), cache) == key
    else:
        with pytest.raises(Failed) as ei:
            op._materialise(avatar)
        e = ei.value
        assert (e.message, e.detail.errno, e.detail.filename) == (PREPARE, errno.ELOOP, cache)
    assert os.listdir(target) == [] and os.path.islink(cache + linked)


# Someone who can write the cache root gives the avatars folder's name to
# another folder while an open is under way (here, once the unpack is done):
# the open goes on in the folder it judged, and nothing lands in the other.
@pytest.mark.parametrize("swapped_in", ["link", "other user's folder"])
def test_a_folder_swapped_in_after_the_check_is_not_used(cache, avatar, tmp_path, monkeypatch, swapped_in):
    judged, planted = cache + ".judged", str(tmp_path / "planted")
    os.makedirs(planted)
    if swapped_in != "link":
        try:
            os.chown(planted, NOBODY, NOBODY)
        except PermissionError:
            pytest.skip("giving a file to another user takes root")
    unfold = offline.unfold_imx

    def unfold_then_swap(src, dst):
        unfold(src, dst)
        os.rename(cache, judged)
        os.symlink(planted, cache) if swapped_in == "link" else os.rename(planted, cache)
        monkeypatch.setattr(offline, "unfold_imx", unfold)

    monkeypatch.setattr(offline, "unfold_imx", unfold_then_swap)
    key = key_of(imx_bytes(MEMBERS))
    op._materialise(avatar)
    assert os.listdir(cache) == []
    assert sorted(os.listdir(judged)) == [".idx", key]
    marker = os.path.join(judged, key, "manifest.json")
    with open(marker, "rb") as f:
        assert f.read() == MEMBERS[0][1]
    assert os.fstat(op._HELD[os.path.join(cache, key)]).st_ino == os.stat(marker).st_ino


WAIT_FOR_THE_TURN = r"""
import os, signal, sys, threading
import halvane._offline as offline
import halvane._open as op

first, second, how = sys.argv[1:4]
if how == "SIGTERM":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(3))
elif how == "SIGUSR1":
    signal.signal(signal.SIGUSR1, lambda *a: None)
inside = threading.Event()
unfold = offline.unfold_imx

def slow_unfold(src, dst):
    inside.set()
    sys.stdin.readline()
    unfold(src, dst)

offline.unfold_imx = slow_unfold
threading.Thread(target=op._materialise, args=(first,), daemon=True).start()
inside.wait()
print("waiting", flush=True)
try:
    op._materialise(second)
    print("entry", flush=True)
except BaseException as e:
    print(type(e).__name__, flush=True)
os._exit(0)
"""


def sleeps(pid):
    """How often the main thread of process `pid` has gone to sleep so far."""
    with open(f"/proc/{pid}/task/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("voluntary_ctxt_switches")).split()[1])


@pytest.mark.parametrize("sig, ends", [("SIGINT", "KeyboardInterrupt"), ("SIGTERM", "SystemExit"),
                                       ("SIGUSR1", "entry")])
def test_signal_during_the_wait_for_another_threads_turn(cache, tmp_path, sig, ends):
    """The main thread, waiting while another thread materialises, sleeps
    until its turn; a signal whose handler raises ends the wait at once, one
    whose handler returns lets it go on."""
    if not os.path.exists(f"/proc/{os.getpid()}/task"):
        pytest.skip("counts sleeps in /proc")
    first, second = tmp_path / "first.imx", tmp_path / "second.imx"
    write_imx(first, MEMBERS)
    write_imx(second, MEMBERS + [("n", b"2")])
    child = subprocess.Popen([sys.executable, "-c", WAIT_FOR_THE_TURN, str(first), str(second), sig],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        before = sleeps(child.pid)
        time.sleep(0.3)
        assert sleeps(child.pid) - before <= 2  # asleep, not polling
        child.send_signal(getattr(signal, sig))
        if ends == "entry":  # still waiting: the other thread's unpack ends
            time.sleep(0.1)
            child.stdin.write("go\n")
            child.stdin.flush()
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
    assert out == ends + "\n", err


INTERRUPTED = r"""
import sys
import halvane._open as op
print("started", flush=True)
op._materialise(sys.argv[1])
"""


@pytest.mark.parametrize("phase", ["hashing", "unpacking"])
def test_interrupt_ends_a_large_unpack_at_once(cache, tmp_path, phase):
    """Ctrl-C while a large member is hashed or unpacked ends the open within a
    moment; an interrupted unpack leaves its staging directory to the sweep."""
    big, names = tmp_path / "big.imx", ["manifest.json", "big.bin"]
    # Sparse, so free to make; 16 GiB takes a fast machine many seconds to hash.
    size = (16 if phase == "hashing" else 2) << 30
    with open(big, "wb") as f:
        f.write(imx_table([(names[0], data_at(names), 15), (names[1], data_at(names) + 15, size)], MANIFEST))
        f.truncate(data_at(names) + 15 + size)
    entry = os.path.join(cache, "sha256-" + "0" * 32)
    if phase == "unpacking":  # a memo of this user is believed: no hash to wait for
        plant_memo(os.path.join(cache, ".idx", memo_name(str(big), os.stat(big))), entry[-39:], os.geteuid())
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(big)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    staging = f"{entry}.tmp.{child.pid}"
    staged = staging + "/big.bin"
    try:
        assert child.stdout.readline() == "started\n"
        while phase == "unpacking" and not (os.path.exists(staged) and os.path.getsize(staged)):
            assert child.poll() is None
            time.sleep(0.01)
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        child.wait(timeout=60)
        assert time.monotonic() - sent < 1.5
    finally:
        child.kill()
    assert "KeyboardInterrupt" in child.stderr.read()
    left = sorted(os.listdir(cache)) if os.path.exists(cache) else []
    assert left == ([".idx", os.path.basename(staging)] if phase == "unpacking" else [])
    subprocess.run(["rm", "-rf", staging], check=True)
