"""The removal as a person does it, and the launcher's settings when their
drive runs full: nothing of the user's is lost, nothing of ours is left."""
import os
import time

import checks
import harness

DIR = "C:\\Ostrel"


def test_person_uninstalls_from_the_copy_and_everything_goes(session, machines, demo_tree):
    m = machines()
    m.serve_tree(demo_tree)
    assert m.run_setup("--auto", "--dir", DIR) == 0
    f = m.unix(DIR)
    assert os.path.exists(os.path.join(f, "Ostrel Setup.exe"))

    # As the uninstall entry starts it: the copy in the install folder.
    p = m.start_setup("--uninstall", exe=DIR + "\\Ostrel Setup.exe")
    w = harness.Wizard(session)
    w.click("middle", expect_change=False)      # Uninstall
    harness.wait_for(lambda: not os.path.exists(os.path.join(f, "Ostrel Launcher.exe")) and
                     m.reg(checks.INSTALLER_KEY) is None, 120, 0.5, "the removal to finish")
    # A person reads the Removed page before clicking Finish.
    time.sleep(10)
    assert os.path.exists(os.path.join(f, "Ostrel Setup.exe"))   # still running from it
    w.click("right", expect_change=False)       # Finish
    assert p.wait(60) == 0
    ended = time.monotonic()
    harness.wait_for(lambda: not os.path.exists(f), 30, 0.5, "the copy and the install folder to go")
    harness.log("install folder gone %.1f s after the exit" % (time.monotonic() - ended))
    checks.assert_uninstalled(m, DIR)


def test_a_full_drive_leaves_the_launchers_settings_as_they_were(session, machines, demo_tree):
    m = machines()
    m.serve_tree(demo_tree)
    drive = m.small_drive("S", 1)
    data = "S:\\data"
    before = b'{"gameDir2024July": "", "signIn": "' + b"t" * 200 + b'"}'
    # Written and the drive filled from inside the namespace, where the tmpfs is.
    r = m.run(["sh", "-c", "mkdir -p %s/data && printf '%%s' %s > %s/data/settings.json && "
               "(cat /dev/zero > %s/fill 2>/dev/null; true)"
               % (harness.sh_quote(drive), harness.sh_quote(before.decode()), harness.sh_quote(drive),
                  harness.sh_quote(drive))])
    assert r.rc == 0, r.output

    assert m.run_setup("--auto", "--dir", DIR, "--data", data) == 2
    # It failed at the link: launcher and game are in place on C:.
    assert os.path.exists(os.path.join(m.unix(DIR), "Ostrel Launcher.exe"))
    assert os.path.isdir(os.path.join(m.unix(DIR), "Ostrel"))
    r = m.run(["cat", os.path.join(drive, "data", "settings.json")])
    assert r.output.encode() == before
    # No temporary file is left on the full drive either.
    assert "settings.json.tmp" not in [os.path.basename(x) for x in m.ls_inside(os.path.join(drive, "data"))]
    # The install is recorded as unfinished, so that an uninstall removes
    # what it made; it has no uninstall entry.
    key = m.reg(checks.TEST_KEY)
    assert key["InstallDir"] == DIR and key["Unfinished"] == 1, key
    assert m.reg(checks.UNINSTALL_KEY) is None
