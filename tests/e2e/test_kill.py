"""The setup killed at many moments of an install and of an uninstall, then run
again with the same command: every time the result is one byte-exact copy of
the game where the naming rules put it, the user's own file untouched, a
launcher settings file that is the old or the new document, and nothing
else; an uninstall after it leaves only the user's file.

One machine and one slowed tree for all the moments. Each kill waits for what
is on disk (a file appearing, the journal's state), never for a time. The
instants between two steps are too short to hit from outside, so for those
the setup is asked to wait there (OSTREL_TEST_PAUSE, src/util/test_pause.h)."""
import json
import os
import signal
import zipfile

import checks
import harness

DIR = "C:\\Games\\Ostrel"
FOLDER = "Playden-2024-07"      # renamed to Ostrel when it is moved into place
USER_FILE = "my notes.txt"
USER_BYTES = b"the user's own file, beside the game\r\n"
PAUSE_MS = 4000


def kill(p):
    os.kill(p.pid, signal.SIGKILL)      # the wine launcher execs: this is the setup itself
    p.wait(30)


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def journal_state(folder):
    try:
        with open(os.path.join(folder, "Ostrel.journal"), "rb") as f:
            return json.loads(f.read().decode("utf-8")).get("state")
    except (OSError, ValueError):
        return None


def files_below(folder):
    n = 0
    for _, _, files in os.walk(folder):
        n += len(files)
    return n


def settings_text(m):
    try:
        return checks.read(os.path.join(m.data_dir, "settings.json"))
    except OSError:
        return None


def linked(m):
    try:
        return json.loads(settings_text(m).decode("utf-8")).get("gameDir2024July") == DIR + "\\Ostrel"
    except (AttributeError, ValueError):
        return False


def make_tree(session):
    """Enough files for the stream to be caught at work on a slowed line, in a
    folder that is not called Ostrel, so the move into place renames it."""
    zpath = os.path.join(session.root, "kill-game.zip")
    if not os.path.exists(zpath):
        with zipfile.ZipFile(zpath, "w", zipfile.ZIP_DEFLATED) as z:
            z.write(session.game_exe, FOLDER + "/Playden.exe")
            for i in range(400):
                z.writestr("%s/data/%02d/%04d.bin" % (FOLDER, i % 8, i), os.urandom(1500) + bytes(2500))
            z.writestr(FOLDER + "/README.txt", "Playden, July 2024\r\n")
    tree = os.path.join(session.root, "kill-tree")
    if not os.path.exists(tree):
        session.publish(session.launcher_exe, zpath, tree)
    return tree, zpath


class Moments:
    """The machine, its server and the checks, for one kill after another."""

    def __init__(self, m, srv, tree, archive):
        self.m, self.srv, self.tree, self.archive = m, srv, tree, archive
        self.doc = harness.document(tree)
        self.folder = m.unix(DIR)
        self.settings_before = None

    def start(self, *args, pause=None, slow=False):
        if slow:
            self.srv.set_fault(harness.launcher_url(self.doc), slow_ms=60, slow_chunk=32768)
            self.srv.set_fault(harness.game_url(self.doc), slow_ms=60, slow_chunk=16384)
        env = self.m.wine_env({"OSTREL_TEST_PAUSE": pause} if pause else None)
        return self.m.popen(["wine", self.m.s.setup_exe, *args], env=env)

    def calm(self):
        self.srv.clear_fault(harness.launcher_url(self.doc))
        self.srv.clear_fault(harness.game_url(self.doc))

    def killed_install(self, what, until, **kw):
        self.settings_before = settings_text(self.m)
        p = self.start("--auto", "--dir", DIR, **kw)
        harness.wait_for(lambda: until() or p.poll() is not None, 120, 0.01, what)
        assert p.poll() is None, "the setup ended before " + what
        kill(p)
        self.calm()

    def killed_uninstall(self, what, pause):
        p = self.start("--uninstall", "--auto", pause=pause)
        harness.wait_for(lambda: p.poll() is not None or self.uninstall_reached(pause), 120, 0.01, what)
        assert p.poll() is None, "the uninstall ended before " + what
        kill(p)

    def uninstall_reached(self, pause):
        game_gone = not os.path.exists(os.path.join(self.folder, "Ostrel"))
        if pause.startswith("game-removed"):
            return game_gone
        return game_gone and not os.path.exists(os.path.join(self.folder, "Ostrel Launcher.exe"))

    def check_installed(self):
        """One copy of the game, the user's file, and nothing else."""
        assert self.m.run_setup("--auto", "--dir", DIR) == 0
        checks.assert_installed(self.m, DIR, self.tree, folder=FOLDER)
        expected = {"Ostrel", "Ostrel Launcher.exe", "Ostrel Setup.exe", USER_FILE}
        left = set(os.listdir(self.folder))
        # The run again downloads the launcher once more and keeps the one it replaces.
        assert left - {"Ostrel Launcher.old.exe"} == expected, sorted(left)
        if "Ostrel Launcher.old.exe" in left:
            assert checks.read(os.path.join(self.folder, "Ostrel Launcher.old.exe")) == \
                checks.read(os.path.join(self.folder, "Ostrel Launcher.exe"))
        game = os.path.join(self.folder, "Ostrel")
        assert files_below(game) == len(harness.zip_contents(self.archive))
        assert checks.read(os.path.join(self.folder, USER_FILE)) == USER_BYTES

    def check_settings_whole(self):
        """After a kill: settings.json is the old document or the new one."""
        now = settings_text(self.m)
        if now is not None and now != self.settings_before:
            json.loads(now.decode("utf-8"))

    def check_uninstalled(self):
        """Only the user's file is left of the installation."""
        assert os.listdir(self.folder) == [USER_FILE]
        assert self.m.reg(checks.INSTALLER_KEY) is None
        assert self.m.reg(checks.UNINSTALL_KEY) is None

    def uninstall(self):
        assert self.m.run_setup("--uninstall", "--auto") == 0
        self.check_uninstalled()


def test_killed_at_every_moment_then_run_again(session, machines):
    tree, archive = make_tree(session)
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(tree)
    t = Moments(m, srv, tree, archive)
    os.makedirs(t.folder)
    with open(os.path.join(t.folder, USER_FILE), "wb") as f:
        f.write(USER_BYTES)
    arc = os.path.join(t.folder, "Ostrel.download.zip")
    staging = os.path.join(t.folder, "Ostrel.unpacking")
    game = os.path.join(t.folder, "Ostrel")

    # Each moment of an install, then the same command again, then an uninstall.
    install_moments = [
        ("the launcher download", dict(slow=True),
         lambda: size_of(os.path.join(t.folder, "Ostrel Launcher.exe.part")) >= 65536),
        ("the game download, while the stream unpacks", dict(slow=True),
         lambda: files_below(staging) >= 40 and size_of(arc) < t.doc["game"]["size"]),
        ("just before the staged game moves into place", dict(pause="placing=%d" % PAUSE_MS),
         lambda: journal_state(t.folder) == "placing"),
        ("just after the staged game moved into place", dict(pause="moved=%d" % PAUSE_MS),
         lambda: journal_state(t.folder) == "placing" and os.path.exists(os.path.join(game, "Playden.exe"))),
        ("once the journal says the game is in place", dict(pause="placed=%d" % PAUSE_MS),
         lambda: journal_state(t.folder) == "placed"),
        ("after the settings link", dict(pause="linked=%d" % PAUSE_MS), lambda: linked(m)),
        ("during the setup copy", dict(pause="setup-copy=%d" % PAUSE_MS),
         lambda: os.path.exists(os.path.join(t.folder, "Ostrel Setup.exe.tmp"))),
    ]
    for what, kw, until in install_moments:
        harness.log("kill during " + what)
        t.killed_install(what, until, **kw)
        t.check_settings_whole()
        t.check_installed()
        t.uninstall()

    # Killed during an install, then uninstalled straight away: what the
    # killed run made goes, and only the user's file stays.
    for what, kw, until in (install_moments[1], install_moments[3]):
        harness.log("kill during %s, then uninstall" % what)
        t.killed_install(what, until, **kw)
        t.uninstall()

    # Each moment of an uninstall, then the uninstall again.
    for pause in ("game-removed=%d" % PAUSE_MS, "cleaned-up=%d" % PAUSE_MS):
        harness.log("kill the uninstall at " + pause)
        assert m.run_setup("--auto", "--dir", DIR) == 0
        t.killed_uninstall(pause, pause)
        t.uninstall()
