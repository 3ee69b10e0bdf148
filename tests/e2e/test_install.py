"""The real setup under Wine against nginx serving a published tree over HTTPS
for the real host names: a person's clicks, unattended installs, re-install,
launcher-only, uninstall, non-ASCII folders, running programs."""
import os
import shutil
import subprocess
import time

import checks
import harness

DIR = "C:\\Ostrel"


def test_person_clicks_through_the_wizard(session, machines, demo_tree):
    m = machines()
    srv = m.serve_tree(demo_tree)
    p = m.start_setup("--dir", DIR)
    w = harness.Wizard(session)
    assert abs(w.w / w.h - 736 / 540.5) < 0.01, (w.w, w.h)
    w.click("middle")     # Welcome -> Install location (once the server has answered)
    w.click("middle")     # -> Ready to install
    w.click("middle")     # Install
    f = m.unix(DIR)
    # The registry values are the install's last step; the Finished page follows.
    harness.wait_for(lambda: os.path.exists(os.path.join(f, "Ostrel Setup.exe")) and
                     m.reg(checks.UNINSTALL_KEY), 120, 0.5, "the install to finish")
    time.sleep(1.5)
    w.click("right", expect_change=False)   # Finish, with "open the launcher" ticked
    assert p.wait(60) == 0
    checks.assert_installed(m, DIR, demo_tree, links=True)
    if session.signing_key:
        # The tree is signed: the server check and the install each fetched the signature.
        asked = [row[2] for row in srv.requests() if row[0] == "GET %s HTTP/1.1" % harness.SIGNATURE_URL]
        assert asked == ["200", "200"], srv.requests()
    # The launcher was opened and found the game through its settings.
    env = dict(os.environ, DISPLAY=session.display)
    found = harness.wait_for(lambda: subprocess.run(
        ["xdotool", "search", "--name", "Ostrel Launcher \\(demo\\)"], env=env, capture_output=True,
        text=True).stdout.split(), 60, 0.5, "the launcher's window")
    assert found


def republish_with_new_launcher(session, tree, tmp_path):
    """The same tree with a newer launcher build (a different file)."""
    new = tmp_path / "Ostrel Launcher.exe"
    shutil.copy(session.launcher_exe, new)
    with open(new, "ab") as f:
        f.write(b"\0build 2" * 64)
    old_doc = harness.document(tree)
    session.publish(str(new), os.path.join(session.root, os.path.basename(tree) + "-game.zip"), tree)
    return old_doc


def test_unattended_install_then_reinstall_then_uninstall(session, machines, tmp_path):
    tree = session.publish_demo("reinstall")
    m = machines()
    m.serve_tree(tree)
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, tree, links=False)
    f = m.unix(DIR)
    first = checks.read(os.path.join(f, "Ostrel Launcher.exe"))

    # A newer launcher is published; the re-install keeps the old one aside.
    republish_with_new_launcher(session, tree, tmp_path)
    assert m.run_setup("--auto", "--links", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, tree, links=True)
    assert checks.read(os.path.join(f, "Ostrel Launcher.old.exe")) == first
    assert os.listdir(m.unix(DIR + "\\Ostrel")).count("Ostrel") == 0     # no game beside the old copy
    assert m.installer_log().count("install to C:\\Ostrel (launcher + game)") == 2

    assert m.run_setup("--uninstall", "--auto") == 0
    checks.assert_uninstalled(m, DIR)
    settings = m.settings()
    assert settings["gameDir2024July"] == "" and settings["channel"] == "2024july"


def test_launcher_only_with_links(machines, demo_tree):
    m = machines()
    m.serve_tree(demo_tree)
    assert m.run_setup("--auto", "--launcher-only", "--links", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree, game=False, links=True)
    assert not os.path.exists(os.path.join(m.data_dir, "settings.json"))
    assert m.run_setup("--uninstall", "--auto") == 0
    checks.assert_uninstalled(m, DIR)


def test_non_ascii_install_and_data_folders(machines, demo_tree):
    install = "C:\\Jeux d\u2019\u00e9t\u00e9\\Ostrel \u6e38\u620f"
    data = "C:\\Donn\u00e9es\\Lanceur \u00e9"
    m = machines()
    m.serve_tree(demo_tree)
    assert m.run_setup("--auto", "--dir", install, "--data", data) == 0
    checks.assert_installed(m, install, demo_tree, data_dir=data)
    # A normal installation's records are untouched by a --data run.
    assert m.reg(checks.INSTALLER_KEY) is None
    assert m.run_setup("--uninstall", "--auto", "--data", data) == 0
    checks.assert_uninstalled(m, install, data_dir=data)
    assert m.settings(m.unix(data))["gameDir2024July"] == ""


def test_running_launcher_or_game_blocks_uninstall(machines, demo_tree):
    m = machines()
    m.serve_tree(demo_tree)
    assert m.run_setup("--auto", "--dir", DIR) == 0
    f = m.unix(DIR)
    for exe in (DIR + "\\Ostrel Launcher.exe", DIR + "\\Ostrel\\Playden.exe"):
        running = m.popen(["wine", exe])
        harness.wait_for(lambda: _running(m, os.path.basename(exe)), 60, 0.3, exe + " to run")
        assert m.run_setup("--uninstall", "--auto") == 2
        # Nothing was touched.
        checks.assert_installed(m, DIR, demo_tree)
        harness.stop_process(running)
        harness.wait_for(lambda: not _running(m, os.path.basename(exe)), 30, 0.3, exe + " to end")
    assert m.run_setup("--uninstall", "--auto") == 0
    checks.assert_uninstalled(m, DIR)
    assert not os.path.exists(f)


def _running(m, exe_name):
    """Whether a Windows program of that name runs in the machine's prefix."""
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as fh:
                cmd = fh.read().decode(errors="replace")
            with open("/proc/%s/environ" % pid, "rb") as fh:
                env = fh.read().decode(errors="replace")
        except OSError:
            continue
        if exe_name in cmd and ("WINEPREFIX=" + m.prefix) in env:
            return True
    return False
