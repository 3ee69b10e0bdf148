"""Downloads that break off or stall resume by themselves: `--auto` still
succeeds, the server sees the Range requests, and installer.log has one line
per resume."""
import checks
import harness

DIR = "C:\\Ostrel"


def resume_lines(m, what):
    return [line.split("  ", 1)[1] for line in m.installer_log(None).splitlines()
            if "  resuming %s from byte " % what in line]


def test_game_and_launcher_downloads_dropped_mid_body_resume_by_themselves(machines, demo_tree):
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    doc = harness.document(demo_tree)
    game, launcher = harness.game_url(doc), harness.launcher_url(doc)
    game_drops = [doc["game"]["size"] // 3, 2 * doc["game"]["size"] // 3]
    srv.set_fault(game, drop_at=game_drops)
    srv.set_fault(launcher, drop_at=[doc["launcher"]["size"] // 2])
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    assert checks.failure_lines(m) == []
    assert [e["range"] for e in srv.log(game)] == [""] + ["bytes=%d-" % o for o in game_drops]
    assert [e["range"] for e in srv.log(launcher)] == ["", "bytes=%d-" % (doc["launcher"]["size"] // 2)]
    lines = resume_lines(m, "the game download")
    assert len(lines) == 2
    assert lines[0].startswith("resuming the game download from byte %d in 1 s: " % game_drops[0])
    assert len(resume_lines(m, "the launcher download")) == 1


def test_busy_download_host_then_good_answer(machines, demo_tree):
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    doc = harness.document(demo_tree)
    srv.set_fault(harness.game_url(doc), b"busy", status=503, times=2)
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    assert [e["status"] for e in srv.log(harness.game_url(doc))] == [503, 503, 200]
    assert [l.split(": ", 1)[1] for l in resume_lines(m, "the game download")] == \
        ["the server answered 503", "the server answered 503"]


def test_game_download_sent_on_by_308_to_another_host_resumes_through_it(machines, demo_tree):
    m = machines()
    srv = m.fault_server()
    srv.serve_tree(demo_tree)
    doc = harness.document(demo_tree)
    game = harness.game_url(doc)
    moved = "/moved" + game
    srv.serve_file(moved, checks.tree_files(demo_tree)[2])
    srv.set_fault(game, status=308, location="https://%s%s" % (harness.API_HOST, moved))
    half = doc["game"]["size"] // 2
    srv.set_fault(moved, drop_at=[half])
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    # Each attempt asks the first address again and follows the 308 with its Range.
    assert [e["range"] for e in srv.log(game)] == ["", "bytes=%d-" % half]
    assert [(e["host"], e["range"]) for e in srv.log(moved)] == [(harness.API_HOST, ""),
                                                                 (harness.API_HOST, "bytes=%d-" % half)]
    assert len(resume_lines(m, "the game download")) == 1
