"""What an installation must look like from outside, checked on a machine."""
import os

import harness

INSTALLER_KEY = "Software\\Ostrel\\Installer"
TEST_KEY = "Software\\OstrelTest\\Installer"
UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OstrelGame"


def tree_files(tree):
    doc = harness.document(tree)
    api = os.path.join(tree, "api", "launcher", "v1")
    return doc, os.path.join(api, "app", doc["launcher"]["sha256"]), \
        os.path.join(api, "install", "game", doc["game"]["sha256"])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def assert_game_unpacked(game_dir_unix, archive, folder="Ostrel"):
    for name, data in harness.zip_contents(archive).items():
        rel = name[len(folder) + 1:] if name.startswith(folder + "/") else name
        p = os.path.join(game_dir_unix, *rel.split("/"))
        assert os.path.isfile(p), "missing after install: " + p
        assert read(p) == data, "wrong content: " + p


def assert_installed(m, install_dir, tree, data_dir=None, game=True, links=False, folder="Ostrel"):
    """The whole installation from the tree at the Windows folder install_dir;
    `folder` is the game's folder in the archive. links: both shortcuts or
    none, or (desktop, start menu)."""
    doc, launcher, archive = tree_files(tree)
    f = m.unix(install_dir)
    assert read(os.path.join(f, "Ostrel Launcher.exe")) == read(launcher)
    assert read(os.path.join(f, "Ostrel Setup.exe")) == read(m.s.setup_exe)
    assert not os.path.exists(os.path.join(f, "Ostrel Launcher.exe.part"))
    assert not os.path.exists(os.path.join(f, "Ostrel.download.zip"))
    data_unix = m.unix(data_dir) if data_dir else m.data_dir
    game_dir = install_dir + "\\Ostrel"
    if game:
        assert_game_unpacked(os.path.join(f, "Ostrel"), archive, folder)
        settings = m.settings(data_unix)
        assert settings["gameDir2024July"] == game_dir
        assert settings["channel"] == "2024july"
    else:
        assert not os.path.exists(os.path.join(f, "Ostrel"))
    key = m.reg(TEST_KEY if data_dir else INSTALLER_KEY)
    # The record the uninstall removes from: the game's executable, and whether
    # the setup made the game folder (it did not exist before).
    assert key == {"InstallDir": install_dir, "GameDir": game_dir if game else "",
                   "GameExe": "Playden.exe" if game else "", "GameDirCreated": 1 if game else 0}, key
    entry = m.reg(UNINSTALL_KEY)
    if data_dir:
        assert entry is None
    else:
        assert entry == {"DisplayName": "Ostrel", "Publisher": "Ostrel", "DisplayVersion": "1.0",
                         "InstallLocation": install_dir, "DisplayIcon": install_dir + "\\Ostrel Launcher.exe",
                         "UninstallString": '"%s\\Ostrel Setup.exe" --uninstall' % install_dir,
                         "NoModify": 1, "NoRepair": 1}, entry
    wanted = links if isinstance(links, tuple) else (links, links)
    for folder, want in zip((m.desktop, m.programs), wanted):
        assert os.path.exists(os.path.join(folder, "Ostrel Launcher.lnk")) == want, folder
    text = m.installer_log(data_unix)
    assert "  install to %s (%s)" % (install_dir, "launcher + game" if game else "launcher only") in text


def assert_uninstalled(m, install_dir, data_dir=None):
    f = m.unix(install_dir)
    assert not os.path.exists(f), "install folder still there: %s" % os.listdir(f)
    assert m.reg(TEST_KEY if data_dir else INSTALLER_KEY) is None
    assert m.reg(UNINSTALL_KEY) is None
    for folder in (m.desktop, m.programs):
        assert not os.path.exists(os.path.join(folder, "Ostrel Launcher.lnk"))


def failure_lines(m, data_dir=None):
    return [line.split("  ", 1)[1] for line in m.installer_log(data_dir).splitlines() if "  FAILED: " in line]
