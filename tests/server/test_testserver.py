"""The test server's own behaviour: ranges, faults, the log and the control API.
Run: /usr/bin/python3 -m pytest -q tests/server"""
import http.client
import os
import ssl
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import testserver  # noqa: E402


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    state = str(tmp_path_factory.mktemp("server"))
    subprocess.run([os.path.join(HERE, "ctl"), "up", state, "--lifetime", "300"], check=True, timeout=60)
    try:
        yield testserver.Client(state)
    finally:
        subprocess.run([os.path.join(HERE, "ctl"), "down", state], check=True, timeout=60)


def get(client, path, headers=None):
    port = int(client.base.rsplit(":", 1)[1])
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        try:
            body = r.read()
        except http.client.IncompleteRead as e:
            body = e.partial
        return r.status, dict(r.getheaders()), body
    finally:
        conn.close()


@pytest.mark.parametrize("rng, status, expect", [
    (None, 200, slice(0, 1000)),
    ("bytes=400-", 206, slice(400, 1000)),
    ("bytes=10-19", 206, slice(10, 20)),
    ("bytes=999-", 206, slice(999, 1000)),
    ("bytes=1000-", 416, slice(0, 0)),
    ("bytes=5000-", 416, slice(0, 0)),
])
def test_ranges(server, rng, status, expect):
    server.serve_pattern("/r/file", 1000)
    data = testserver.pattern_bytes(0, 1000)
    got_status, headers, body = get(server, "/r/file", {"Range": rng} if rng else {})
    assert got_status == status
    assert body == data[expect]
    assert int(headers["Content-Length"]) == len(body)
    if status == 416:
        assert headers["Content-Range"] == "bytes */1000"


def test_missing_file_is_404_and_everything_is_logged(server):
    server.reset("/l/")
    assert get(server, "/l/none", {"Range": "bytes=5-", "Authorization": "Bearer x"})[0] == 404
    log = server.log("/l/")
    assert [(e["method"], e["path"], e["range"], e["status"], e["authorization"]) for e in log] == \
        [("GET", "/l/none", "bytes=5-", 404, "Bearer x")]


def test_faults(server):
    data = b"0123456789" * 1000
    server.serve_bytes("/f/a", data)

    server.set_fault("/f/a", b'{"error": "busy"}', status=503, times=1)
    assert get(server, "/f/a")[0::2] == (503, b'{"error": "busy"}')
    assert get(server, "/f/a")[0::2] == (200, data)      # `times` used up

    server.set_fault("/f/a", corrupt=2)
    bodies = [get(server, "/f/a")[2] for _ in range(3)]
    assert [b == data for b in bodies] == [False, False, True]
    assert all(len(b) == len(data) for b in bodies)

    server.set_fault("/f/a", drop_after=1234)
    status, headers, body = get(server, "/f/a")
    assert (status, headers["Content-Length"], body) == (200, str(len(data)), data[:1234])

    server.set_fault("/f/a", no_length=1)
    status, headers, body = get(server, "/f/a")
    assert "Content-Length" not in headers and body == data

    server.set_fault("/f/a", ignore_range=1)
    assert get(server, "/f/a", {"Range": "bytes=10-"})[0::2] == (200, data)

    server.set_fault("/f/a", slow_ms=100, slow_chunk=4000)
    start = time.monotonic()
    assert get(server, "/f/a")[2] == data
    assert time.monotonic() - start >= 0.2

    server.set_fault("/f/a", stall_after=3000, stall_ms=400)
    start = time.monotonic()
    assert get(server, "/f/a")[2] == data
    assert time.monotonic() - start >= 0.4

    server.set_fault("/f/a", status=308, location="http://localhost/f/b?x=1", times=1)
    status, headers, body = get(server, "/f/a", {"Range": "bytes=10-"})
    assert (status, headers["Location"], body) == (308, "http://localhost/f/b?x=1", b"")
    assert get(server, "/f/a", {"Range": "bytes=10-"})[0::2] == (206, data[10:])
    server.clear_fault("/f/a")


def test_drops_at_file_offsets_are_used_once_each(server):
    data = b"abcdefghij" * 1000
    server.serve_bytes("/d/a", data)
    server.set_fault("/d/a", drop_at=[2000, 7000, 500])
    assert get(server, "/d/a")[2] == data[:500]
    assert get(server, "/d/a", {"Range": "bytes=500-"})[2] == data[500:2000]
    assert get(server, "/d/a", {"Range": "bytes=2000-"})[2] == data[2000:7000]
    assert get(server, "/d/a", {"Range": "bytes=7000-"})[2] == data[7000:]
    assert get(server, "/d/a")[2] == data
    server.clear_fault("/d/a")


def test_reset_is_per_prefix(server):
    server.serve_bytes("/p1/x", b"1")
    server.serve_bytes("/p2/x", b"2")
    get(server, "/p1/x")
    get(server, "/p2/x")
    server.reset("/p1/")
    assert get(server, "/p1/x")[0] == 404
    assert get(server, "/p2/x")[0::2] == (200, b"2")
    assert [e["status"] for e in server.log("/p1/")] == [404]


def test_https_with_the_test_ca(server):
    server.serve_bytes("/s/x", b"secret")
    ctx = ssl.create_default_context(cafile=os.path.join(server.state_dir, "ca.pem"))
    for name in ("cdn.ostrel.example", "api.ostrel.example", "localhost"):
        conn = http.client.HTTPSConnection("127.0.0.1", server.https_port, context=ctx, timeout=30)
        conn._tunnel_host = None
        conn.sock = ctx.wrap_socket(__import__("socket").create_connection(("127.0.0.1", server.https_port)),
                                    server_hostname=name)
        conn.request("GET", "/s/x", headers={"Host": name})
        assert conn.getresponse().read() == b"secret"
        conn.close()
    assert {e["scheme"] for e in server.log("/s/")} == {"https"}
