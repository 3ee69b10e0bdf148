"""The demo behind scripts/demo: publishes a stand-in launcher and game, serves
them with nginx over HTTPS for the real host names inside a private
namespace, and runs the real setup under Wine, on the user's display (they
click through) or unattended under Xvfb with screenshots. Everything lives in
one temporary folder and Wine prefix, removed at the end; only the
screenshots stay."""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

INSTALL_DIR = "C:\\Ostrel"


def say(msg=""):
    print(msg, flush=True)


def shoot_while(session, proc, folder, prefix, interval=0.5):
    """Screenshots every `interval` s while proc runs; keeps the distinct ones."""
    kept = []
    last = None
    n = 0
    while True:
        done = proc.poll() is not None
        raw = session.screen_raw()
        digest = hashlib.sha256(raw).digest()
        blank = not raw or raw.count(raw[:3]) * 3 == len(raw)
        if not blank and digest != last:
            n += 1
            path = os.path.join(folder, "%s-%02d.png" % (prefix, n))
            trimmed_shot(session, path)
            kept.append(path)
            last = digest
        if done:
            return kept
        time.sleep(interval)


def trimmed_shot(session, path):
    """The screen without the empty desktop around the windows."""
    subprocess.run(["import", "-display", session.display, "-window", "root", "-trim", "+repage", path],
                   check=True, capture_output=True, timeout=30)


def show_install(m, install_dir):
    f = m.unix(install_dir)
    say("\nInstalled in %s  (Unix: %s)" % (install_dir, f))
    if os.path.isdir(f):
        for d, dirs, files in sorted(os.walk(f)):
            dirs.sort()
            rel = os.path.relpath(d, f)
            for name in sorted(files):
                p = os.path.join(d, name)
                shown = name if rel == "." else os.path.join(rel, name).replace("/", "\\")
                say("  %-48s %10d bytes" % (shown, os.path.getsize(p)))
    else:
        say("  (nothing: the folder does not exist)")
    for label, folder in (("Desktop", m.desktop), ("Start menu", m.programs)):
        link = os.path.join(folder, "Ostrel Launcher.lnk")
        say("%-11s shortcut: %s" % (label, "yes" if os.path.exists(link) else "no"))
    settings = os.path.join(m.data_dir, "settings.json")
    say("\n%s\\OstrelLauncher\\settings.json:" % (m.win_profile + "\\AppData\\Local"))
    say("  " + (open(settings, encoding="utf-8").read().replace("\n", "\n  ") if os.path.exists(settings)
                else "(none)"))
    say("\ninstaller.log:")
    say("  " + (m.installer_log().strip().replace("\n", "\n  ") or "(empty)"))
    for key in ("Software\\Ostrel\\Installer",
                "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OstrelGame"):
        say("\nHKEY_CURRENT_USER\\%s:" % key)
        values = m.reg(key)
        if values is None:
            say("  (no such key)")
        for name, value in (values or {}).items():
            say("  %-16s %s" % (name, value))


def main(argv):
    ap = argparse.ArgumentParser(prog="scripts/demo")
    ap.add_argument("setup_exe")
    ap.add_argument("--auto", action="store_true", help="unattended under Xvfb even when DISPLAY is set")
    ap.add_argument("--screens", help="folder for the screenshots (default: a new temporary folder)")
    a = ap.parse_args(argv)

    interactive = bool(os.environ.get("DISPLAY")) and not a.auto
    screens = a.screens or tempfile.mkdtemp(prefix="ostrel-demo-screens-")
    os.makedirs(screens, exist_ok=True)
    session = harness.Session(a.setup_exe, display=os.environ["DISPLAY"] if interactive else None)
    m = None
    try:
        say("Demo content: a stand-in launcher and a game archive with Ostrel/Playden.exe")
        tree = session.publish_demo()
        doc = harness.document(tree)
        say("Published to %s:" % tree)
        say("  " + json.dumps(doc, indent=1).replace("\n", "\n  "))
        if session.signing_key:
            say("Signed with the key made for this demo build (%s); the setup checks that signature\n"
                "before it reads the document." % session.signing_key)
        m = session.machine()
        setup = m.without_host_drive()
        m.serve_tree(tree)
        say("nginx serves it as https://%s and https://%s inside a private network namespace" % harness.HOSTS)

        if interactive:
            say("\nThe wizard opens on your display (%s). Click through it; the install folder and\n"
                "everything else stay inside a throw-away Wine prefix (%s)." % (session.display, m.prefix))
            p = m.start_setup(exe=setup)
            rc = p.wait()
            say("The setup ended with exit code %d." % rc)
            show_install(m, harness_install_dir(m))
            say("\nIf you left \"open the launcher\" ticked, the stand-in launcher shows the game folder it\n"
                "found in settings.json. Close its window (or press Ctrl-C) to end the demo.")
            try:
                subprocess.run(m.ns_prefix() + ["wineserver", "-w"], env=m.wine_env(), timeout=3600)
            except KeyboardInterrupt:
                pass
        else:
            say("\nNo DISPLAY (or --auto): running the setup unattended under Xvfb:")
            say("  Ostrel Setup.exe --auto --links --dir %s" % INSTALL_DIR)
            p = m.start_setup("--auto", "--links", "--dir", INSTALL_DIR, exe=setup)
            shots = shoot_while(session, p, screens, "setup", 0.1)
            rc = p.wait()
            say("The setup ended with exit code %d." % rc)
            show_install(m, INSTALL_DIR)
            # Open the installed launcher: it shows the game folder from settings.json.
            launcher = m.popen(["wine", INSTALL_DIR + "\\Ostrel Launcher.exe"])
            time.sleep(4)
            shot = os.path.join(screens, "launcher.png")
            trimmed_shot(session, shot)
            harness.stop_process(launcher)
            shots.append(shot)
            say("\nScreenshots (%d) in %s:" % (len(shots), screens))
            for s in shots:
                say("  " + os.path.basename(s))
            return 0 if rc == 0 else 1
        return 0 if rc == 0 else 1
    finally:
        if m is not None:
            m.close()
        session.close()


def harness_install_dir(m):
    """The folder the person chose, as the installer recorded it."""
    values = m.reg("Software\\Ostrel\\Installer") or {}
    return values.get("InstallDir") or INSTALL_DIR


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)
