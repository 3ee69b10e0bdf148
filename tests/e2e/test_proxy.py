"""The setup behind a proxy, set the way a person sets it in Internet Options:
a manual proxy with its bypass list, a proxy script, and a proxy that asks
for a sign-in (typed on the page; refused in --auto). The host names lead
nowhere on the machine itself: only the proxy, Debian's squid inside the
namespace, knows where the server is."""
import os
import time

import checks
import harness
import proxy

DIR = "C:\\Ostrel"
NOWHERE = "127.0.0.9"
OPEN = "127.0.0.1:%d" % proxy.OPEN_PORT
SIGN_IN = "127.0.0.1:%d" % proxy.SIGN_IN_PORT
USER, PASSWORD = "player", "Pr0xy-Pa55word"
# Plain http (the install information, with --server http://...) through the
# proxy that asks for a sign-in, https through the open one: Wine's WinHTTP
# cannot answer a 407 to the tunnel of an https address.
SCRIPT = b"""function FindProxyForURL(url, host) {
  if (url.substring(0, 5) == "http:") return "PROXY %s";
  return "PROXY %s";
}
""" % (SIGN_IN.encode(), OPEN.encode())


def proxied_machine(machines, tree):
    m = machines(hosts={h: NOWHERE for h in harness.HOSTS})
    srv = m.fault_server(http_port=80)
    srv.serve_tree(tree)
    squid = m.proxy({h: "127.0.0.1" for h in harness.HOSTS}, users=[(USER, PASSWORD)])
    return m, srv, squid


def proxy_saw(squid, method, target, timeout=10):
    """Squid's lines for one method and target; a tunnel's line comes when it closes."""
    def seen():
        return [r for r in squid.requests() if r[0] == method and r[1] == target]
    try:
        return harness.wait_for(seen, timeout, 0.2, "%s %s at the proxy" % (method, target))
    except TimeoutError:
        return []


def files_holding(folder, since, secret):
    """Files below folder written since `since` that hold the text, in UTF-8 or UTF-16."""
    forms = (secret.encode(), secret.encode("utf-16-le"))
    found = []
    for d, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(d, name)
            try:
                if os.path.islink(path) or os.path.getmtime(path) < since:
                    continue
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            if any(form in data for form in forms):
                found.append(path)
    return found


def test_auto_through_a_manual_proxy_and_its_bypass_list_then_a_sign_in_refused(machines, demo_tree):
    m, srv, squid = proxied_machine(machines, demo_tree)
    # The install information straight from its server, the downloads only
    # through the proxy.
    m.set_hosts({harness.API_HOST: "127.0.0.1", harness.CDN_HOST: NOWHERE})
    m.set_user_proxy(OPEN, bypass=harness.API_HOST + ";<local>")
    assert m.run_setup("--auto", "--dir", DIR) == 0
    checks.assert_installed(m, DIR, demo_tree)
    assert proxy_saw(squid, "CONNECT", harness.CDN_HOST + ":443")
    assert not [r for r in squid.requests() if harness.API_HOST in r[1]]
    assert {e["host"] for e in srv.log("/api/")} == {harness.API_HOST, harness.CDN_HOST}

    # A proxy that asks for a sign-in: unattended, nobody can give one.
    m.set_hosts({h: NOWHERE for h in harness.HOSTS})
    m.set_user_proxy("http=%s;https=%s" % (SIGN_IN, OPEN))
    assert m.run_setup("--auto", "--server", "http://" + harness.API_HOST, "--dir", DIR) == 2
    assert checks.failure_lines(m) == [
        "FAILED: The proxy needs a sign-in - run Setup without --auto to enter your user name and password."]
    assert [r[2] for r in squid.requests() if r[1].startswith("http://" + harness.API_HOST)][-1] == "407"


def test_proxy_script_and_a_sign_in_typed_on_the_page(session, machines, demo_tree):
    m, srv, squid = proxied_machine(machines, demo_tree)
    srv.serve_bytes("/proxy.pac", SCRIPT)
    m.set_user_proxy(script="http://127.0.0.1/proxy.pac")
    info = "http://%s/api/launcher/v1/install" % harness.API_HOST
    started = time.time() - 1
    p = m.start_setup("--server", "http://" + harness.API_HOST, "--dir", DIR)
    w = harness.Wizard(session)
    harness.wait_for(lambda: [r for r in squid.requests() if r[1] == info and r[2] == "407"], 60, 0.2,
                     "the proxy's sign-in")
    signed_in = lambda: [r for r in squid.requests() if r[1] == info and r[3] == USER and r[2] == "200"]
    for attempt in range(3):
        time.sleep(1)   # the page draws the fields
        for x, text in ((278, USER), (430, PASSWORD)):     # user name, password
            w.click_at(x, 269)
            w.select_all()
            w.type(text)
        w.click_at(556, 270)    # Try again
        try:
            harness.wait_for(signed_in, 20, 0.2, "the check through the sign-in")
            break
        except TimeoutError:
            if attempt == 2:
                raise
    w.click("middle")     # Welcome -> Install location
    w.click("middle")     # -> Ready to install
    w.click("middle")     # Install
    f = m.unix(DIR)
    harness.wait_for(lambda: os.path.exists(os.path.join(f, "Ostrel Setup.exe")) and
                     m.reg(checks.UNINSTALL_KEY), 120, 0.5, "the install to finish")
    time.sleep(1.5)
    w.click("right", expect_change=False)   # Finish
    assert p.wait(60) == 0
    checks.assert_installed(m, DIR, demo_tree, links=True)

    # The install's own fetch of the information signed in too; the
    # downloads went through the script's other proxy.
    signed = [r for r in squid.requests() if r[1] == info and r[3] == USER]
    assert [r[2] for r in signed] == ["200", "200"]
    assert proxy_saw(squid, "CONNECT", harness.CDN_HOST + ":443")
    # What was typed went to the proxy only, and nowhere on disk.
    assert all(not e["authorization"] for e in srv.log("/"))
    assert PASSWORD not in m.installer_log()
    assert files_holding(m.prefix, started, PASSWORD) == []
