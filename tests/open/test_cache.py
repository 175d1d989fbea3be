"""The avatar cache: its root and capacity settings, content keys and their
memo files, materialising and holding entries, and the eviction sweep."""

import fcntl
import hashlib
import os
import pwd
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
