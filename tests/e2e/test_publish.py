"""The publishing tool: what it accepts, what it refuses, the tree it writes,
and the keys and signatures it makes."""
import base64
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import zipfile
import zlib

import pytest
from cryptography.hazmat.primitives.asymmetric import utils

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import ostrel_publish as pub  # noqa: E402

PUBLISH = os.path.join(ROOT, "tools", "publish")


@pytest.mark.parametrize("name,safe", [
    ("Ostrel/Playden.exe", True), ("./a.txt", True), ("a//b", True), ("dir/", True),
    ("Ostrel/données/é.txt", True), ("com10.txt", True), ("CONSOLE.txt", True), ("a.b/c", True),
    ("", False), ("/abs", False), ("\\abs", False), ("C:/x.dll", False), ("a:stream", False),
    ("../evil.dll", False), ("a/../b", False), ("a\\..\\b", False),
    ("NUL", False), ("nul.txt", False), ("x/Com1.dll", False), ("LPT9", False), ("aux .log", False),
    ("CONIN$", False), ("COM\u00b9", False),
    ("a.", False), ("a /b", False), ("a<b", False), ("a>b", False), ('a"b', False), ("a|b", False),
    ("a?b", False), ("a*b", False), ("a\x01b", False), ("tab\there", False),
])
def test_entry_name_rule(name, safe):
    assert pub.is_safe_entry_name(name) is safe


def make_zip(path, entries, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as z:
        for name, data in entries:
            z.writestr(name, data)
    return path


@pytest.fixture
def launcher(tmp_path):
    p = tmp_path / "Ostrel Launcher.exe"
    p.write_bytes(b"MZ" + os.urandom(300))
    return str(p)


def run_publish(*args):
    return subprocess.run([PUBLISH, *map(str, args)], capture_output=True, text=True, timeout=120)


def test_tree_matches_inputs(tmp_path, launcher):
    game = make_zip(tmp_path / "g.zip", [("Ostrel/Playden.exe", b"MZ" * 500), ("Ostrel/data/a.bin", os.urandom(4000))])
    out = tmp_path / "site"
    r = run_publish(launcher, game, out)
    assert r.returncode == 0, r.stderr
    assert "warning" not in r.stderr
    doc = json.loads((out / "api/launcher/v1/install/index.json").read_text())
    lsha = hashlib.sha256(open(launcher, "rb").read()).hexdigest()
    gsha = hashlib.sha256(open(game, "rb").read()).hexdigest()
    assert doc == {"launcher": {"sha256": lsha, "size": os.path.getsize(launcher)},
                   "game": {"sha256": gsha, "size": os.path.getsize(game), "unpacked": 1000 + 4000,
                            "folder": "Ostrel", "exe": "Playden.exe"}}
    assert (out / "api/launcher/v1/app" / lsha).read_bytes() == open(launcher, "rb").read()
    assert (out / "api/launcher/v1/install/game" / gsha).read_bytes() == open(game, "rb").read()
    assert sorted(os.listdir(tmp_path)) == sorted(["Ostrel Launcher.exe", "g.zip", "site"])  # no leftovers

    # Publishing a new game into the same tree keeps the old files (a setup may
    # be resuming one) and announces the new one.
    game2 = make_zip(tmp_path / "g2.zip", [("Playden.exe", b"MZ2")])
    assert run_publish(launcher, game2, out).returncode == 0
    doc2 = json.loads((out / "api/launcher/v1/install/index.json").read_text())
    assert doc2["game"]["sha256"] != gsha
    assert (out / "api/launcher/v1/install/game" / gsha).exists()
    assert (out / "api/launcher/v1/install/game" / doc2["game"]["sha256"]).exists()
    assert not [n for n in os.listdir(out) if n.startswith(".publish-")]


def raw_name_zip(path, raw, extra=b""):
    """The game plus one entry whose name is stored as the bytes `raw`,
    without the UTF-8 mark (as older Windows tools wrote them)."""
    stand_in = "q" * len(raw)
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("Ostrel/Playden.exe", b"MZ")
        info = zipfile.ZipInfo(stand_in)
        info.extra = extra
        z.writestr(info, b"data")
    data = open(path, "rb").read()
    open(path, "wb").write(data.replace(stand_in.encode(), raw))
    return path


def unicode_path_field(raw, name):
    field = b"\x01" + struct.pack("<I", zlib.crc32(raw)) + name.encode()
    return struct.pack("<HH", 0x7075, len(field)) + field


def corrupt_crc(path):
    data = bytearray(open(path, "rb").read())
    i = data.index(b"PAYLOAD-PAYLOAD")
    data[i] ^= 0xFF
    open(path, "wb").write(bytes(data))
    return path


@pytest.mark.parametrize("case,expect", [
    ("not_zip", "isn't a readable zip"),
    ("empty", "empty archive"),
    ("no_exe", "has no Playden.exe"),
    ("exe_is_folder", "has no Playden.exe"),
    ("unsafe", "refuses to write"),
    ("bad_crc", "is damaged"),
    ("lzma", "compression method"),
    ("cp437_name", "(7-Zip does, and so does python3 -m zipfile -c GAME.zip FOLDER/)."),
    ("unmarked_utf8_name", "entry 'Ostrel/Caf\u00e9.txt' has a name outside ASCII that isn't marked as UTF-8"),
    ("unicode_path_field", "entry 'Ostrel/\u00e9t\u00e9.txt' has a name outside ASCII"),
    ("unsafe_unicode_path_field", "refuses to write (it would skip them and install an incomplete game): '../evil.dll'"),
    ("bad_launcher", "isn't a Windows executable"),
])
def test_refusals_write_nothing(tmp_path, launcher, case, expect):
    z = tmp_path / "g.zip"
    ok = [("Ostrel/Playden.exe", b"MZ")]
    if case == "not_zip":
        z.write_bytes(b"PK\x03\x04 but not really a zip")
    elif case == "empty":
        make_zip(z, [])
    elif case == "no_exe":
        make_zip(z, [("Ostrel/Other.exe", b"x")])
    elif case == "exe_is_folder":
        make_zip(z, [("Ostrel/Playden.exe/", b"")])
    elif case == "unsafe":
        make_zip(z, ok + [("../evil.dll", b"x")])
    elif case == "bad_crc":
        corrupt_crc(make_zip(z, ok + [("Ostrel/a.txt", b"PAYLOAD-PAYLOAD")], zipfile.ZIP_STORED))
    elif case == "lzma":
        make_zip(z, ok, zipfile.ZIP_LZMA)
    elif case == "cp437_name":
        raw_name_zip(z, b"Ostrel/Caf\x82.txt")
    elif case == "unmarked_utf8_name":
        raw_name_zip(z, "Ostrel/Caf\u00e9.txt".encode())
    elif case == "unicode_path_field":
        raw_name_zip(z, b"Ostrel/_t_.txt", unicode_path_field(b"Ostrel/_t_.txt", "Ostrel/\u00e9t\u00e9.txt"))
    elif case == "unsafe_unicode_path_field":
        raw_name_zip(z, b"Ostrel/ok.dll", unicode_path_field(b"Ostrel/ok.dll", "../evil.dll"))
    else:
        make_zip(z, ok)
        open(launcher, "wb").write(b"#!/bin/sh\n")
    out = tmp_path / "site"
    r = run_publish(launcher, z, out)
    assert r.returncode == 1
    assert expect in r.stderr and "Nothing was written." in r.stderr, r.stderr
    assert not out.exists()
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".publish-")]


def test_the_archive_the_name_refusal_suggests_is_accepted(tmp_path, launcher):
    game = tmp_path / "Ostrel"
    (game / "donn\u00e9es").mkdir(parents=True)
    (game / "Playden.exe").write_bytes(b"MZ")
    (game / "donn\u00e9es" / "\u00e9t\u00e9.txt").write_bytes(b"x")
    made = subprocess.run([sys.executable, "-m", "zipfile", "-c", str(tmp_path / "g.zip"), "Ostrel/"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    r = run_publish(launcher, tmp_path / "g.zip", tmp_path / "site")
    assert r.returncode == 0, r.stderr


def test_layout_warning_and_fix(tmp_path, launcher):
    game = make_zip(tmp_path / "g.zip", [("Build/", b""), ("Build/Playden.exe", b"MZgame"),
                                         ("Build/data/a.txt", b"hello")])
    r = run_publish(launcher, game, tmp_path / "plain")
    assert r.returncode == 0 and "--fix-layout" in r.stderr

    r = run_publish(launcher, game, tmp_path / "fixed", "--fix-layout")
    assert r.returncode == 0 and "warning" not in r.stderr
    doc = json.loads((tmp_path / "fixed/api/launcher/v1/install/index.json").read_text())
    blob = tmp_path / "fixed/api/launcher/v1/install/game" / doc["game"]["sha256"]
    with zipfile.ZipFile(blob) as z:
        assert sorted(n for n in z.namelist() if not n.endswith("/")) == ["Ostrel/Playden.exe", "Ostrel/data/a.txt"]
        assert z.read("Ostrel/Playden.exe") == b"MZgame" and z.read("Ostrel/data/a.txt") == b"hello"
        assert not [n for n in z.namelist() if n.startswith("Build")]
    assert doc["game"]["folder"] == "Ostrel"
    # The publisher's own archive is left as it was.
    with zipfile.ZipFile(game) as z:
        assert "Build/Playden.exe" in z.namelist()


def test_fix_refuses_files_outside_the_game_folder(tmp_path, launcher):
    game = make_zip(tmp_path / "g.zip", [("Game/bin/Playden.exe", b"MZ"), ("Game/data/a.txt", b"x")])
    r = run_publish(launcher, game, tmp_path / "site", "--fix-layout")
    assert r.returncode == 1 and "outside the game's folder" in r.stderr
    assert not (tmp_path / "site").exists()


def test_root_layout_is_accepted_quietly(tmp_path, launcher):
    game = make_zip(tmp_path / "g.zip", [("playden.EXE", b"MZ"), ("data/a.txt", b"x")])
    r = run_publish(launcher, game, tmp_path / "site")
    assert r.returncode == 0 and "warning" not in r.stderr


def openssl(*args, **kw):
    return subprocess.run(["openssl", *map(str, args)], capture_output=True, timeout=60, **kw)


def test_keygen_sign_and_verify(tmp_path, launcher, monkeypatch):
    key = tmp_path / "keys" / "ostrel-signing.pem"
    key.parent.mkdir()
    r = run_publish("keygen", key)
    assert r.returncode == 0, r.stderr
    assert os.stat(key).st_mode & 0o777 == 0o600
    # stdout is the public key alone, in the form OSTREL_SIGNING_KEYS takes,
    # and it is the key openssl reads from the file.
    public = r.stdout.strip()
    assert r.stdout == public + "\n"
    point = base64.b64decode(public, validate=True)
    assert len(point) == 65 and point[0] == 4 and base64.b64encode(point).decode() == public
    der = openssl("pkey", "-in", key, "-pubout", "-outform", "DER")
    assert der.returncode == 0 and der.stdout.endswith(point)
    # A key is never replaced.
    before = key.read_bytes()
    r = run_publish("keygen", key)
    assert r.returncode == 1 and "never replaces" in r.stderr
    assert key.read_bytes() == before

    game = make_zip(tmp_path / "g.zip", [("Ostrel/Playden.exe", b"MZ")])
    out = tmp_path / "site"
    r = run_publish(launcher, game, out, "--sign", key)
    assert r.returncode == 0, r.stderr
    doc = (out / pub.DOC_PATH).read_bytes()
    signature = (out / pub.SIGNATURE_PATH).read_bytes()
    assert re.fullmatch(rb"[A-Za-z0-9+/]{86}==\n", signature)
    # Checked by openssl on its own: the raw r||s as DER, over the exact bytes served.
    raw = base64.b64decode(signature)
    sig_der = tmp_path / "sig.der"
    sig_der.write_bytes(utils.encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big")))
    pem = tmp_path / "public.pem"
    assert openssl("pkey", "-in", key, "-pubout", "-out", pem).returncode == 0
    ok = openssl("dgst", "-sha256", "-verify", pem, "-signature", sig_der, out / pub.DOC_PATH)
    assert ok.returncode == 0 and b"Verified OK" in ok.stdout
    (tmp_path / "changed.json").write_bytes(doc.replace(b'"size"', b' "size"', 1))
    assert openssl("dgst", "-sha256", "-verify", pem, "-signature", sig_der, tmp_path / "changed.json").returncode == 1

    # Into the existing tree: the signature goes last, after the document.
    game2 = make_zip(tmp_path / "g2.zip", [("Ostrel/Playden.exe", b"MZ2")])
    moved = []
    real_replace = os.replace
    monkeypatch.setattr(pub.os, "replace", lambda a, b: (moved.append(os.path.relpath(b, out)), real_replace(a, b)))
    pub.publish(launcher, str(game2), str(out), sign_key=str(key), warn=lambda s: None)
    monkeypatch.undo()
    assert moved[-2:] == [pub.DOC_PATH, pub.SIGNATURE_PATH]
    doc2 = (out / pub.DOC_PATH).read_bytes()
    assert doc2 != doc
    public_key = pub.load_signing_key(str(key)).public_key()
    assert pub.verify(public_key, doc2, (out / pub.SIGNATURE_PATH).read_bytes())
    assert not pub.verify(public_key, doc, (out / pub.SIGNATURE_PATH).read_bytes())

    # Without --sign, a signed tree is left alone: its signature would name the old document.
    r = run_publish(launcher, game, out)
    assert r.returncode == 1 and "--sign" in r.stderr and "Nothing was written." in r.stderr
    assert (out / pub.DOC_PATH).read_bytes() == doc2


@pytest.mark.parametrize("case", ["group_readable", "world_readable", "not_a_key", "rsa_key", "missing"])
def test_sign_refuses_unsafe_or_wrong_keys(tmp_path, launcher, case):
    key = tmp_path / "k.pem"
    if case in ("group_readable", "world_readable"):
        assert run_publish("keygen", key).returncode == 0
        os.chmod(key, 0o640 if case == "group_readable" else 0o604)
        expect = "can be read by others"
    elif case == "not_a_key":
        fd = os.open(key, os.O_WRONLY | os.O_CREAT, 0o600)
        os.write(fd, b"not a key\n")
        os.close(fd)
        expect = "isn't an unencrypted PEM private key"
    elif case == "rsa_key":
        assert openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", key).returncode == 0
        os.chmod(key, 0o600)
        expect = "isn't a P-256 key"
    else:
        expect = "can't read the signing key"
    game = make_zip(tmp_path / "g.zip", [("Ostrel/Playden.exe", b"MZ")])
    out = tmp_path / "site"
    r = run_publish(launcher, game, out, "--sign", key)
    assert r.returncode == 1 and expect in r.stderr and "Nothing was written." in r.stderr
    assert not out.exists()
