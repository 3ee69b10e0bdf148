import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def _setup_exe():
    exe = os.environ.get("OSTREL_SETUP_EXE")
    if exe:
        return exe
    out = subprocess.run([os.path.join(harness.ROOT, "scripts", "build")], capture_output=True, text=True,
                         timeout=1800)
    if out.returncode != 0:
        raise RuntimeError("scripts/build failed:\n" + out.stderr[-3000:])
    return out.stdout.strip().splitlines()[-1]


@pytest.fixture(scope="session")
def session():
    probe = subprocess.run(["unshare", "-mn", "true"] if harness.IS_ROOT else ["unshare", "-rmn", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip("private namespaces are not available here: " + probe.stderr.decode(errors="replace"))
    s = harness.Session(_setup_exe())
    yield s
    s.close()


@pytest.fixture
def machines(session, request):
    """Makes machines for one test and tears them all down afterwards
    (kept on disk with OSTREL_E2E_KEEP=1)."""
    made = []

    def make(**kw):
        m = session.machine(**kw)
        made.append(m)
        return m

    yield make
    keep = bool(os.environ.get("OSTREL_E2E_KEEP"))
    for m in made:
        if keep:
            harness.log("kept " + m.dir)
        m.close(keep=keep)


@pytest.fixture(scope="session")
def demo_tree(session):
    return session.publish_demo()
