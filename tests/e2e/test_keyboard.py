"""The wizard without a mouse: an install by key presses only (xdotool), and
a screen reader's view of every page from another process
(tests/accessibility/probe.cpp), against nginx serving a published tree."""
import os
import shutil
import subprocess

import checks
import harness

DIR = "C:\\Ostrel"


def test_install_by_keys_only(session, machines, demo_tree):
    m = machines()
    m.serve_tree(demo_tree)

    # Esc on the Welcome page is Cancel: the program ends, nothing written.
    p = m.start_setup("--dir", DIR)
    w = harness.Wizard(session)
    w.wait_step(0)
    w.keys("Escape")
    assert p.wait(30) == 0
    assert not os.path.exists(m.unix(DIR))
    assert not os.path.exists(m.data_dir)
    assert m.reg(checks.INSTALLER_KEY) is None and m.reg(checks.UNINSTALL_KEY) is None

    p = m.start_setup("--dir", DIR)
    w = harness.Wizard(session)
    w.key_until_step("Return", 1)          # Next, once the server has answered
    # The folder field has the focus: Tab to Browse..., Tab to the desktop
    # shortcut box, Space unticks it.
    w.keys("Tab", "Tab", "space")
    # Back and Next again by their access keys (Alt+B, Alt+N).
    w.alt("b")
    w.wait_step(0)
    w.alt("n")
    w.wait_step(1)
    w.keys("Return")                        # Next: Enter on a box is the default button's
    w.wait_step(2)
    w.keys("Return")                        # Install
    # Finished: the small demo game may pass the Installing page between two looks.
    w.wait_step(4, timeout=180)
    # Tab to "Open the Ostrel launcher now", Space unticks it, Enter finishes.
    w.keys("Tab", "space", "Return")
    assert p.wait(60) == 0
    checks.assert_installed(m, DIR, demo_tree, links=(False, True))


def probe_exe(setup_exe):
    """The probe built beside the setup; built on demand."""
    build = os.path.dirname(os.path.abspath(setup_exe))
    probe = os.path.join(build, "a11y-probe.exe")
    if not os.path.exists(probe):
        subprocess.run(["cmake", "--build", build, "--target", "ostrel_a11y_probe"], check=True,
                       stdout=subprocess.DEVNULL, timeout=600)
    return probe


def test_screen_reader_walks_every_page(session, machines, demo_tree):
    m = machines()
    m.serve_tree(demo_tree)
    # Both programs inside the prefix, so the probe starts the setup by a C: path.
    folder = m.unix("C:\\probe")
    os.makedirs(folder)
    shutil.copy(session.setup_exe, os.path.join(folder, "Ostrel Setup.exe"))
    shutil.copy(probe_exe(session.setup_exe), os.path.join(folder, "a11y-probe.exe"))
    r = m.run(["wine", "C:\\probe\\a11y-probe.exe", "C:\\probe\\Ostrel Setup.exe", DIR], timeout=420)
    print(r.output)
    assert r.rc == 0, r.output
    assert "FAILED" not in r.output
    # It installed without the desktop shortcut it unticked, then removed it all.
    assert "  install to C:\\Ostrel (launcher + game)" in m.installer_log()
    checks.assert_uninstalled(m, DIR)
