"""One unattended install under a French and under a Japanese Wine: Wine takes
the ANSI code page and the language of system messages from LANG, so text that
passed through the ANSI code page, or a system message handled as if it were
UTF-8, shows up here as bytes that are not UTF-8."""
import os

import pytest

import checks

LOCALES = ["fr_FR.UTF-8", "ja_JP.UTF-8"]


def _available(lang):
    import subprocess
    names = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    return lang.replace("UTF-8", "utf8") in names


@pytest.mark.parametrize("lang", LOCALES)
def test_install_under_locale(machines, demo_tree, lang):
    if not _available(lang):
        pytest.skip(lang + " is not generated (scripts/deps makes it)")
    install = "C:\\Jeux d\u2019\u00e9t\u00e9\\\u30b2\u30fc\u30e0 Ostrel"
    data = "C:\\Donn\u00e9es \u30c7\u30fc\u30bf\\Lanceur"
    m = machines()
    m.serve_tree(demo_tree)
    p = m.popen(["wine", m.s.setup_exe, "--auto", "--dir", install, "--data", data],
                env=m.wine_env({"LANG": lang, "LC_ALL": lang}))
    rc = p.wait(240)
    log_path = os.path.join(m.unix(data), "installer.log")
    raw = open(log_path, "rb").read() if os.path.exists(log_path) else b""
    assert rc == 0, raw.decode("utf-8", errors="replace")
    checks.assert_installed(m, install, demo_tree, data_dir=data)
    # The whole log is UTF-8 (a strict decode), the folder named as it was typed.
    text = raw.decode("utf-8")
    assert "install to " + install in text
