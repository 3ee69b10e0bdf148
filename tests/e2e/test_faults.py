"""Faults seen from outside: each run ends with nothing lost and, where the
install fails, one clear sentence in the installer's log and exit code 2."""
import hashlib
import json
import os
import signal
import zipfile

import pytest

import checks
import harness
import ostrel_publish

DIR = "C:\\Ostrel"


def part_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def kill_setup(p):
    os.kill(p.pid, signal.SIGKILL)   # the wine launcher execs: this is the setup itself
    p.wait(30)


def ranged(requests, url):
    return [e for e in requests if e["path"] == url and e["range"]]


def test_killed_during_launcher_download_then_resumed(machines, demo_tree):
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    doc = harness.document(demo_tree)
    srv.set_fault(harness.launcher_url(doc), slow_ms=250, slow_chunk=16384)
    p = m.start_setup("--auto", "--dir", DIR)
    part = os.path.join(m.unix(DIR), "Ostrel Launcher.exe.part")
    harness.wait_for(lambda: part_size(part) >= 32768, 120, 0.05, "the launcher download to start")
    kill_setup(p)
    kept = part_size(part)
    assert 0 < kept < doc["launcher"]["size"]

    srv.clear_fault(harness.launcher_url(doc))
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    resumed = ranged(srv.log(harness.launcher_url(doc)), harness.launcher_url(doc))
    assert resumed and resumed[0]["range"].startswith("bytes=%d-" % kept)


def test_killed_during_game_download_then_resumed(machines, demo_tree):
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    doc = harness.document(demo_tree)
    srv.set_fault(harness.game_url(doc), slow_ms=300, slow_chunk=8192)
    p = m.start_setup("--auto", "--dir", DIR)
    archive = os.path.join(m.unix(DIR), "Ostrel.download.zip")
    harness.wait_for(lambda: part_size(archive) >= 16384, 120, 0.05, "the game download to start")
    kill_setup(p)
    kept = part_size(archive)
    assert 0 < kept < doc["game"]["size"]

    srv.clear_fault(harness.game_url(doc))
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    resumed = ranged(srv.log(harness.game_url(doc)), harness.game_url(doc))
    assert resumed and resumed[0]["range"].startswith("bytes=%d-" % kept)


def test_killed_while_unpacking_then_run_again(session, machines):
    # Many files take a while to unpack; the executable comes last.
    zpath = os.path.join(session.root, "many-files.zip")
    if not os.path.exists(zpath):
        with zipfile.ZipFile(zpath, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(2500):
                z.writestr("Ostrel/data/%04d.bin" % i, os.urandom(2048) + bytes(6000))
            z.write(session.game_exe, "Ostrel/Playden.exe")
    tree = os.path.join(session.root, "many-files")
    if not os.path.exists(tree):
        session.publish(session.launcher_exe, zpath, tree)
    doc = harness.document(tree)
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(tree)
    p = m.start_setup("--auto", "--dir", DIR)
    # The game is unpacked into the staging folder while it downloads; the
    # kill comes after the last byte, with the unpack still at work.
    staged = os.path.join(m.unix(DIR), "Ostrel.unpacking", "Ostrel", "data")
    archive = os.path.join(m.unix(DIR), "Ostrel.download.zip")
    harness.wait_for(lambda: os.path.isdir(staged) and len(os.listdir(staged)) >= 5 and
                     part_size(archive) == doc["game"]["size"], 180, 0.01, "unpacking after the download")
    kill_setup(p)
    assert not os.path.exists(os.path.join(m.unix(DIR), "Ostrel"))
    assert part_size(archive) == doc["game"]["size"]

    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, tree)
    # The complete archive was kept and not fetched again.
    again = srv.log(harness.game_url(doc))
    assert [e["status"] for e in again if e["range"]] == [416]


def test_corrupted_archive_once_then_twice(machines, demo_tree):
    doc = harness.document(demo_tree)
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    srv.set_fault(harness.game_url(doc), corrupt=1)
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    assert len(srv.log(harness.game_url(doc))) == 2

    # Twice: the install fails, the damaged download is gone, the installed
    # launcher and game are still there.
    srv.set_fault(harness.game_url(doc), corrupt=2)
    assert m.run_setup("--auto", "--dir", DIR) == 2
    assert checks.failure_lines(m) == [
        "FAILED: The download was damaged twice - check your connection and try again."]
    f = m.unix(DIR)
    assert not os.path.exists(os.path.join(f, "Ostrel.download.zip"))
    checks.assert_game_unpacked(os.path.join(f, "Ostrel"), checks.tree_files(demo_tree)[2])
    assert checks.read(os.path.join(f, "Ostrel Launcher.exe")) == checks.read(checks.tree_files(demo_tree)[1])


def test_wrong_digest_after_a_fully_streamed_archive(session, machines, demo_tree):
    # Another good zip at the game's address: the stream unpacks all of it
    # before the digest says it is not the announced archive.
    doc, _, archive = checks.tree_files(demo_tree)
    other = harness.make_game_zip(os.path.join(session.root, "other-game.zip"), session.game_exe,
                                  extra=[("Ostrel/only-in-the-other.txt", "not this build")])
    with open(other, "rb") as f:
        other_bytes = f.read()
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    srv.set_fault(harness.game_url(doc), other_bytes, status=200, times=2)
    f = m.unix(DIR)
    staging = os.path.join(f, "Ostrel.unpacking")
    p = m.popen(["wine", m.s.setup_exe, "--auto", "--dir", DIR],
                env=m.wine_env({"OSTREL_TEST_PAUSE": "attempt-failed=3000"}))
    staged = os.path.join(staging, "Ostrel", "only-in-the-other.txt")
    harness.wait_for(lambda: os.path.exists(staged) or p.poll() is not None, 120, 0.02, "the other archive staged")
    assert p.wait(120) == 2
    assert checks.failure_lines(m) == [
        "FAILED: The download was damaged twice - check your connection and try again."]
    # Nothing of either archive outside the staging folder, and that is gone too.
    assert sorted(os.listdir(f)) == ["Ostrel Launcher.exe"]

    # The second attempt gets the announced archive and installs it.
    srv.set_fault(harness.game_url(doc), other_bytes, status=200, times=1)
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    assert not os.path.exists(os.path.join(f, "Ostrel", "only-in-the-other.txt"))
    assert [e["status"] for e in srv.log(harness.game_url(doc))][-2:] == [200, 200]


def test_install_server_answers_500_with_json_error(machines, demo_tree):
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    # The wizard's check gets the document; the install's own fetch gets the error.
    srv.set_fault("/api/launcher/v1/install", json.dumps({"error": "Down for maintenance until 14:00."}).encode(),
                  status=500, after=1)
    assert m.run_setup("--auto", "--dir", DIR) == 2
    assert checks.failure_lines(m) == ["FAILED: Down for maintenance until 14:00."]
    assert not os.path.exists(os.path.join(m.unix(DIR), "Ostrel Launcher.exe"))
    assert m.reg(checks.INSTALLER_KEY) is None


def test_install_information_not_signed_with_the_built_in_key(session, machines, demo_tree):
    if session.signing_key is None:
        pytest.skip("this setup was built without signing keys")
    with open(os.path.join(demo_tree, ostrel_publish.DOC_PATH), "rb") as f:
        signed = f.read()
    # What someone who took over the server would announce: their own launcher,
    # served right there.
    evil = b"MZ" + b"evil launcher " * 100
    lying = json.loads(signed)
    lying["launcher"] = {"sha256": hashlib.sha256(evil).hexdigest(), "size": len(evil)}
    lying = json.dumps(lying).encode()
    doc_url = "/api/launcher/v1/install"
    bad = "FAILED: The install information doesn't match Ostrel's signature - Setup stopped to protect this PC."
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    srv.serve_bytes(harness.launcher_url(json.loads(lying)), evil)

    # The document changed after signing: the server check refuses it.
    srv.serve_bytes(doc_url, lying)
    assert m.run_setup("--auto", "--dir", DIR) == 2
    assert checks.failure_lines(m) == [bad]
    # The check gets the signed document, the install's own fetch the other one.
    srv.serve_bytes(doc_url, signed)
    srv.set_fault(doc_url, lying, status=200, after=1)
    assert m.run_setup("--auto", "--dir", DIR) == 2
    assert checks.failure_lines(m)[1:] == [bad]
    # No signature at all.
    srv.clear_fault(doc_url)
    srv.remove(harness.SIGNATURE_URL)
    assert m.run_setup("--auto", "--dir", DIR) == 2
    assert checks.failure_lines(m)[2:] == [
        "FAILED: The install information isn't signed by Ostrel - Setup stopped to protect this PC."]

    assert srv.log("/api/launcher/v1/app/") == [] and srv.log("/api/launcher/v1/install/game/") == []
    assert not os.path.exists(m.unix(DIR)) or os.listdir(m.unix(DIR)) == []
    assert m.reg(checks.INSTALLER_KEY) is None


def test_untrusted_certificate_on_the_download_host(session, machines, demo_tree):
    # The install information comes from a trusted server; the download host
    # presents a certificate from an unknown authority.
    m = machines(hosts={harness.API_HOST: "127.0.0.2", harness.CDN_HOST: "127.0.0.1"})
    m.serve_tree(demo_tree, ip="127.0.0.2")
    m.serve_tree(demo_tree, ip="127.0.0.1", cert=session.rogue)
    assert m.run_setup("--auto", "--dir", DIR) == 2
    lines = checks.failure_lines(m)
    assert len(lines) == 1 and len(lines[0]) > len("FAILED: ") + 10, lines
    assert not os.listdir(m.unix(DIR)) or not os.path.exists(os.path.join(m.unix(DIR), "Ostrel Launcher.exe"))


def test_drive_too_small(session, machines):
    # 80 MiB that do not compress: more than the second drive holds.
    zpath = os.path.join(session.root, "big-game.zip")
    if not os.path.exists(zpath):
        with zipfile.ZipFile(zpath, "w", zipfile.ZIP_STORED) as z:
            z.write(session.game_exe, "Ostrel/Playden.exe")
            for i in range(10):
                z.writestr("Ostrel/data/pack%d.bin" % i, os.urandom(8 << 20))
    honest = harness.honest_document(session.launcher_exe, zpath)
    tree = harness.write_tree(session, os.path.join(session.root, "big-tree"), session.launcher_exe, zpath, honest)
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(tree)
    m.small_drive("T", 24)

    assert m.run_setup("--auto", "--dir", "T:\\Ostrel") == 2
    [line] = checks.failure_lines(m)
    assert line.startswith("FAILED: Not enough free space on that drive: Ostrel needs ")
    assert line.endswith(" is free.") and " while installing, " in line
    assert m.ls_inside(os.path.join(m.dir, "drive-T")) == []     # nothing was downloaded

    # A document that understates the sizes passes the check; the download
    # then runs out of room.
    lying = json.loads(json.dumps(honest))
    lying["game"]["size"] = lying["game"]["unpacked"] = 1000
    srv.serve_document(json.dumps(lying).encode())
    big = m.small_drive("U", 64 + 8)
    assert m.run_setup("--auto", "--dir", "U:\\Ostrel") == 2
    assert checks.failure_lines(m)[1:] == ["FAILED: Couldn't save the download - is the disk full?"]
    # The launcher is in place; the partial archive waits for a resume.
    left = [os.path.basename(p) for p in m.ls_inside(big)]
    assert "Ostrel Launcher.exe" in left


def set_method(zpath, name, method):
    """Marks one entry as compressed with another method (local header and
    central directory alike), as 7-Zip's -mm=Deflate64 would have written it."""
    with open(zpath, "rb") as f:
        data = bytearray(f.read())
    for sig, name_at, method_at in ((b"PK\x03\x04", 30, 8), (b"PK\x01\x02", 46, 10)):
        at = data.find(sig)
        while at >= 0:
            if data[at + name_at:at + name_at + len(name)] == name.encode():
                data[at + method_at:at + method_at + 2] = method.to_bytes(2, "little")
            at = data.find(sig, at + 1)
    with open(zpath, "wb") as f:
        f.write(data)


def test_archives_that_cannot_be_unpacked_leave_no_game_behind(session, machines):
    m = machines()
    srv = m.fault_server()

    # A method Setup can't unpack, in the middle of the archive.
    zpath = os.path.join(session.root, "deflate64.zip")
    with zipfile.ZipFile(zpath, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(session.game_exe, "Ostrel/Playden.exe")
        z.writestr("Ostrel/data/music.pak", os.urandom(300000))
        z.writestr("Ostrel/readme.txt", b"last")
    set_method(zpath, "Ostrel/data/music.pak", 9)
    srv.serve_tree(harness.write_tree(session, os.path.join(session.root, "deflate64-tree"), session.launcher_exe,
                                      zpath, harness.honest_document(session.launcher_exe, zpath)))
    assert m.run_setup("--auto", "--dir", "C:\\Games\\A") == 2
    assert checks.failure_lines(m) == ["FAILED: The game archive uses a compression method Setup can't unpack "
                                       "(Deflate64) - please report this to Ostrel."]
    # The launcher is in place and the verified archive waits; of the game
    # nothing is there, not even the hidden folder it was unpacked into.
    left = sorted(os.listdir(m.unix("C:\\Games\\A")))
    assert left == ["Ostrel Launcher.exe", "Ostrel.download.zip"]

    # A disk that fills up while the game unpacks (the document understates
    # the unpacked size, so the space check lets it start).
    zpath = os.path.join(session.root, "zeros.zip")
    with zipfile.ZipFile(zpath, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(session.game_exe, "Ostrel/Playden.exe")
        z.writestr("Ostrel/data/zeros.bin", bytes(160 << 20))
    lying = harness.honest_document(session.launcher_exe, zpath)
    lying["game"]["unpacked"] = 1000
    srv.serve_tree(harness.write_tree(session, os.path.join(session.root, "zeros-tree"), session.launcher_exe,
                                      zpath, lying))
    drive = m.small_drive("U", 64 + 8)
    assert m.run_setup("--auto", "--dir", "U:\\Ostrel") == 2
    assert checks.failure_lines(m)[1:] == ["FAILED: The disk is full: Setup couldn't unpack Ostrel/data/zeros.bin - "
                                           "free some space and try again."]
    assert [os.path.basename(p) for p in m.ls_inside(drive)] == ["Ostrel Launcher.exe", "Ostrel.download.zip"]


def test_unsafe_entry_names_are_never_written(session, machines):
    zpath = os.path.join(session.root, "unsafe.zip")
    with zipfile.ZipFile(zpath, "w") as z:
        z.write(session.game_exe, "Ostrel/Playden.exe")
        z.writestr("Ostrel/ok.txt", b"fine")
        for bad in ("../evil1.txt", "Ostrel/../../evil2.txt", "C:/evil3.txt", "/evil4.txt", "\\evil5.txt",
                    "Ostrel/NUL.txt", "Ostrel/evil6.txt.", "Ostrel/a<b.txt"):
            z.writestr(bad, b"evil")
    tree = harness.write_tree(session, os.path.join(session.root, "unsafe-tree"), session.launcher_exe, zpath,
                              harness.honest_document(session.launcher_exe, zpath))
    m = machines()
    m.serve_tree(tree)
    assert m.run_setup("--auto", "--dir", "C:\\Games\\Ostrel") == 0
    game = m.unix("C:\\Games\\Ostrel\\Ostrel")
    assert sorted(os.listdir(game)) == ["Playden.exe", "ok.txt"]
    evil = []
    for d, _, files in os.walk(os.path.join(m.prefix, "drive_c")):
        evil += [os.path.join(d, f) for f in files if f.startswith("evil")]
    assert evil == []
    assert not os.path.exists("/evil4.txt")
