#!/usr/bin/python3
"""Local HTTP and HTTPS server for the tests (loopback only).

Run as a program by tests/server/ctl; import it from pytest for the `Client`
class and the certificate helpers. See tests/server/README.md.
"""
import hashlib
import http.server
import json
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

CTL = "/_ctl/"
MAX_LOG = 200000           # entries kept; older ones are dropped
CHUNK = 256 * 1024
PATTERN_PERIOD = 251       # generated files: byte i is i % 251


# ---------------------------------------------------------------- certificates

HOST_NAMES = ["api.ostrel.example", "cdn.ostrel.example", "localhost"]


def make_certificates(state_dir):
    """Test CA and a server certificate signed by it, made once per folder.
    Also a CA bundle (the system's plus the test CA) for private namespaces."""
    ca_key = os.path.join(state_dir, "ca.key")
    ca_pem = os.path.join(state_dir, "ca.pem")
    key = os.path.join(state_dir, "server.key")
    pem = os.path.join(state_dir, "server.pem")
    bundle = os.path.join(state_dir, "ca-bundle.crt")
    if all(os.path.exists(p) for p in (ca_key, ca_pem, key, pem, bundle)):
        return
    run = lambda *args: subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-keyout", ca_key, "-out", ca_pem,
        "-subj", "/CN=Ostrel Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    csr = os.path.join(state_dir, "server.csr")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=cdn.ostrel.example")
    ext = os.path.join(state_dir, "server.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\n")
        f.write("keyUsage=critical,digitalSignature,keyEncipherment\n")
        f.write("extendedKeyUsage=serverAuth\n")
        f.write("subjectAltName=" + ",".join(["DNS:" + h for h in HOST_NAMES] + ["IP:127.0.0.1"]) + "\n")
    run("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial", "-days", "3650",
        "-sha256", "-extfile", ext, "-out", pem)
    system = "/etc/ssl/certs/ca-certificates.crt"
    with open(bundle + ".tmp", "wb") as out:
        if os.path.exists(system):
            with open(system, "rb") as f:
                out.write(f.read())
        out.write(b"\n")
        with open(ca_pem, "rb") as f:
            out.write(f.read())
    os.replace(bundle + ".tmp", bundle)


# ---------------------------------------------------------------- server state

class Fault:
    def __init__(self, q, body):
        g = lambda name, default: int(q.get(name, [default])[0])
        self.status = g("status", 0)           # answer this status with `body`
        self.body = body
        self.corrupt = g("corrupt", 0)         # corrupt the first K deliveries
        self.drop_after = g("drop_after", -1)  # close the connection after M body bytes
        self.reset = g("reset", 0)             # ...with a reset instead of a clean close
        self.slow_ms = g("slow_ms", 0)         # pause after every slow_chunk body bytes
        self.slow_chunk = max(1, g("slow_chunk", 16384))
        self.no_length = g("no_length", 0)     # no Content-Length; the close ends the body
        self.ignore_range = g("ignore_range", 0)
        self.times = g("times", 0)             # applies to this many requests, 0 = all
        self.after = g("after", 0)             # lets this many requests through first
        # Absolute file offsets at which a delivery breaks off, each used once,
        # in order: the first answer that covers one drops there.
        self.drop_at = sorted(int(v) for v in q.get("drop_at", [""])[0].split(",") if v.strip())
        self.stall_after = g("stall_after", -1)  # go silent after M body bytes...
        self.stall_ms = g("stall_ms", 0)         # ...for T ms (connection kept open), then go on
        # With a 3xx status: where the answer sends the client (absolute, or
        # relative to this server).
        self.location = q.get("location", [""])[0]


class State:
    def __init__(self, state_dir):
        self.dir = state_dir
        self.blobs = os.path.join(state_dir, "blobs")
        os.makedirs(self.blobs, exist_ok=True)
        self.lock = threading.Lock()
        self.files = {}     # url path -> file on disk
        self.faults = {}    # url path -> Fault
        self.log = []

    def blob_path(self, url_path):
        return os.path.join(self.blobs, hashlib.sha1(url_path.encode()).hexdigest())

    def record(self, entry):
        with self.lock:
            self.log.append(entry)
            if len(self.log) > MAX_LOG:
                del self.log[: len(self.log) - MAX_LOG]

    def take_fault(self, path):
        """The fault for this request, counting it against `times` and `corrupt`."""
        with self.lock:
            f = self.faults.get(path)
            if f is None:
                return None, False
            if f.after > 0:
                f.after -= 1
                return None, False
            corrupt = f.corrupt > 0
            if corrupt:
                f.corrupt -= 1
            if f.times > 0:
                f.times -= 1
                if f.times == 0:
                    del self.faults[path]
            return f, corrupt

    def reset(self, prefix):
        with self.lock:
            for p in [p for p in self.files if p.startswith(prefix)]:
                try:
                    if self.files[p].startswith(self.blobs):
                        os.remove(self.files[p])
                except OSError:
                    pass
                del self.files[p]
            for p in [p for p in self.faults if p.startswith(prefix)]:
                del self.faults[p]
            self.log = [e for e in self.log if not e["path"].startswith(prefix)]


def write_pattern(path, size):
    block = bytes(range(PATTERN_PERIOD)) * (CHUNK // PATTERN_PERIOD + 2)
    with open(path + ".tmp", "wb") as f:
        done = 0
        while done < size:   # bounded by size
            offset = done % PATTERN_PERIOD
            n = min(CHUNK, size - done)
            f.write(block[offset:offset + n])
            done += n
    os.replace(path + ".tmp", path)


def pattern_bytes(offset, n):
    block = bytes(range(PATTERN_PERIOD)) * (n // PATTERN_PERIOD + 2)
    start = offset % PATTERN_PERIOD
    return block[start:start + n]


# ---------------------------------------------------------------- request handler

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OstrelTestServer/1.0"
    timeout = 60

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def do_PUT(self):
        self.dispatch()

    def do_DELETE(self):
        self.dispatch()

    # -- helpers
    def read_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        data = bytearray()
        while len(data) < n:    # bounded by the declared length
            chunk = self.rfile.read(min(CHUNK, n - len(data)))
            if not chunk:
                break
            data += chunk
        return bytes(data)

    def simple(self, status, body=b"", ctype="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        return status

    def dispatch(self):
        state = self.server.state
        parsed = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(parsed.path)
        if path.startswith(CTL):
            self.control(state, path[len(CTL):], urllib.parse.parse_qs(parsed.query))
            return
        # Logged in origin form: a client may send the absolute form (Wine
        # does inside a proxy's tunnel).
        target = self.path if self.path.startswith("/") else parsed.path + ("?" + parsed.query if parsed.query else "")
        entry = {
            "method": self.command, "path": target, "range": self.headers.get("Range", ""),
            "status": 0, "authorization": self.headers.get("Authorization", ""),
            "content_type": self.headers.get("Content-Type", ""), "body_size": 0,
            "host": self.headers.get("Host", ""), "scheme": self.server.scheme,
        }
        state.record(entry)     # logged on arrival: status 0 while the answer is on its way
        entry["status"] = self.serve(state, path, entry)

    def serve(self, state, path, entry):
        body = b""
        if self.command in ("POST", "PUT"):
            body = self.read_body()
            entry["body_size"] = len(body)
        fault, corrupt = state.take_fault(path)
        if fault is not None and fault.status:
            return self.send_bytes(fault.status, fault.body, fault, False)
        if self.command in ("POST", "PUT"):
            answer = json.dumps({"size": len(body), "sha256": hashlib.sha256(body).hexdigest()}).encode()
            return self.send_bytes(200, answer, fault, False, ctype="application/json")
        with state.lock:
            file = state.files.get(path)
        if file is None or not os.path.isfile(file):
            return self.simple(404, b'{"error": "Not found."}', "application/json")
        size = os.path.getsize(file)
        start = 0
        end = size
        status = 200
        rng = self.headers.get("Range", "")
        if rng and not (fault and fault.ignore_range):
            try:
                unit, ranges = rng.split("=", 1)
                first, last = ranges.split("-", 1)
                if unit.strip() != "bytes" or "," in ranges or first == "":
                    raise ValueError
                first = int(first)
                last = int(last) if last else size - 1
            except ValueError:
                return self.simple(400, b"bad range")
            if first >= size or last < first:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return 416
            start, end, status = first, min(last + 1, size), 206
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, size))
        if fault and fault.no_length:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(end - start))
        self.end_headers()
        if self.command == "HEAD":
            return status
        self.send_file(file, start, end, fault, corrupt)
        return status

    def send_bytes(self, status, data, fault, corrupt, ctype="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if fault and fault.location:
            self.send_header("Location", fault.location)
        if fault and fault.no_length:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.stream(data, 0, fault)
        return status

    def take_drop_offset(self, fault, start, end):
        """The next drop_at offset inside [start, end), used up; None when there is none."""
        if fault is None or not fault.drop_at:
            return None
        with self.server.state.lock:
            for i, offset in enumerate(fault.drop_at):
                if start <= offset < end:
                    del fault.drop_at[i]
                    return offset
        return None

    def send_file(self, file, start, end, fault, corrupt):
        drop = self.take_drop_offset(fault, start, end)
        if drop is not None:
            # A one-off fault of its own: the delivery breaks off at that offset.
            fault = Fault({"drop_after": [str(drop - start)], "stall_after": [str(fault.stall_after)],
                           "stall_ms": [str(fault.stall_ms)], "reset": [str(fault.reset)],
                           "slow_ms": [str(fault.slow_ms)], "slow_chunk": [str(fault.slow_chunk)]}, b"")
        plain = fault is None and not corrupt and self.server.scheme == "http"
        with open(file, "rb") as f:
            if plain:
                # Fast path: zero-copy from the file.
                self.wfile.flush()
                self.connection.sendfile(f, start, end - start)
                return
            f.seek(start)
            sent = 0
            total = end - start
            while sent < total:     # bounded by the body size
                data = f.read(min(CHUNK, total - sent))
                if not data:
                    break
                if corrupt and sent <= total // 2 < sent + len(data):
                    i = total // 2 - sent
                    data = data[:i] + bytes([data[i] ^ 0xFF]) + data[i + 1:]
                if not self.stream(data, sent, fault):
                    return
                sent += len(data)

    def stream(self, data, sent_before, fault):
        """Writes body bytes honouring the drop and slow faults; False once dropped."""
        if fault is None or (fault.drop_after < 0 and not fault.slow_ms and fault.stall_after < 0):
            self.wfile.write(data)
            return True
        pos = 0
        while pos < len(data):      # bounded by len(data)
            n = len(data) - pos
            if fault.stall_after >= 0:
                if sent_before + pos == fault.stall_after:
                    self.wfile.flush()
                    time.sleep(fault.stall_ms / 1000.0)     # once: the offset is passed afterwards
                elif sent_before + pos < fault.stall_after:
                    n = min(n, fault.stall_after - (sent_before + pos))
            if fault.slow_ms:
                n = min(n, fault.slow_chunk - (sent_before + pos) % fault.slow_chunk)
            if fault.drop_after >= 0:
                left = fault.drop_after - (sent_before + pos)
                if left <= 0:
                    self.drop(fault)
                    return False
                n = min(n, left)
            self.wfile.write(data[pos:pos + n])
            pos += n
            if fault.slow_ms and (sent_before + pos) % fault.slow_chunk == 0:
                self.wfile.flush()
                time.sleep(fault.slow_ms / 1000.0)
        if fault.drop_after >= 0 and sent_before + pos >= fault.drop_after:
            self.drop(fault)
            return False
        return True

    def drop(self, fault):
        self.wfile.flush()
        self.close_connection = True
        sock = self.connection
        try:
            if fault.reset:
                import struct
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        sock.close()

    # -- control API
    def control(self, state, what, q):
        arg = lambda name, default="": q.get(name, [default])[0]
        kind, _, url_path = what.partition("/")
        url_path = "/" + url_path
        if kind == "ping":
            self.simple(200, b"pong")
        elif kind == "files" and self.command == "PUT":
            blob = state.blob_path(url_path)
            if arg("gen"):
                write_pattern(blob, int(arg("gen")))
            elif arg("from"):
                blob = arg("from")
                if not os.path.isfile(blob):
                    self.simple(400, b"no such file")
                    return
            else:
                data = self.read_body()
                with open(blob + ".tmp", "wb") as f:
                    f.write(data)
                os.replace(blob + ".tmp", blob)
            with state.lock:
                state.files[url_path] = blob
            self.simple(200, b"ok")
        elif kind == "files" and self.command == "DELETE":
            with state.lock:
                state.files.pop(url_path, None)
            self.simple(200, b"ok")
        elif kind == "sha256":
            with state.lock:
                file = state.files.get(url_path)
            if file is None:
                self.simple(404, b"")
                return
            h = hashlib.sha256()
            with open(file, "rb") as f:
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    h.update(chunk)
            self.simple(200, h.hexdigest().encode())
        elif kind == "fault" and self.command == "PUT":
            fault = Fault(q, self.read_body())
            with state.lock:
                state.faults[url_path] = fault
            self.simple(200, b"ok")
        elif kind == "fault" and self.command == "DELETE":
            with state.lock:
                state.faults.pop(url_path, None)
            self.simple(200, b"ok")
        elif kind == "log":
            prefix = arg("prefix", "/")
            with state.lock:
                entries = [e for e in state.log if e["path"].startswith(prefix)]
            if arg("format") == "json":
                self.simple(200, json.dumps(entries).encode(), "application/json")
            else:
                # One request a line, tab-separated, for the C++ side.
                keys = ("method", "path", "range", "status", "authorization", "content_type", "body_size",
                        "host", "scheme")
                text = "".join("\t".join(str(e[k]) for k in keys) + "\n" for e in entries)
                self.simple(200, text.encode())
        elif kind == "reset":
            state.reset(arg("prefix", "/"))
            self.simple(200, b"ok")
        else:
            self.simple(404, b"unknown control request")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, state, scheme, ssl_context=None):
        self.state = state
        self.scheme = scheme
        self.ssl_context = ssl_context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the request's own thread, never blocking accept.
        if self.ssl_context is not None:
            request.settimeout(60)
            try:
                request = self.ssl_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        self.RequestHandlerClass(request, client_address, self)

    def handle_error(self, request, client_address):
        pass    # dropped connections and the like are part of the tests


def serve(state_dir, host="127.0.0.1", http_port=0, https_port=0, lifetime=1800):
    if not (host.startswith("127.") or host == "::1"):
        raise SystemExit("the test server listens on loopback only")
    os.makedirs(state_dir, exist_ok=True)
    make_certificates(state_dir)
    state = State(state_dir)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(state_dir, "server.pem"), os.path.join(state_dir, "server.key"))
    servers = [Server((host, http_port), state, "http"), Server((host, https_port), state, "https", ctx)]
    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
               for s in servers]
    for t in threads:
        t.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stop.set())
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    for name, s in (("http_port", servers[0]), ("https_port", servers[1])):
        with open(os.path.join(state_dir, name + ".tmp"), "w") as f:
            f.write(str(s.server_address[1]))
        os.replace(os.path.join(state_dir, name + ".tmp"), os.path.join(state_dir, name))
    stop.wait(lifetime)   # stops by itself at the latest after `lifetime` seconds
    for s in servers:
        s.shutdown()
        s.server_close()
    for name in ("http_port", "https_port"):
        try:
            os.remove(os.path.join(state_dir, name))
        except OSError:
            pass


# ---------------------------------------------------------------- client (pytest, scripts)

class Client:
    """Drives a running server through its control API."""

    def __init__(self, state_dir=None, base=None):
        if base is None:
            with open(os.path.join(state_dir, "http_port")) as f:
                base = "http://127.0.0.1:" + f.read().strip()
        self.base = base
        self.state_dir = state_dir

    @property
    def https_port(self):
        with open(os.path.join(self.state_dir, "https_port")) as f:
            return int(f.read().strip())

    def _call(self, method, path, data=None, query=None):
        url = self.base + CTL + path.lstrip("/") if not path.startswith(CTL) else self.base + path
        if query:
            url += "?" + urllib.parse.urlencode(query)
        req = urllib.request.Request(url, data=data, method=method)
        with urllib.request.urlopen(req, timeout=120) as r:
            return r.read()

    def serve_bytes(self, url_path, data):
        self._call("PUT", "files" + url_path, data)

    def serve_file(self, url_path, unix_path):
        self._call("PUT", "files" + url_path, b"", {"from": os.path.abspath(unix_path)})

    def serve_pattern(self, url_path, size):
        self._call("PUT", "files" + url_path, b"", {"gen": size})

    def remove(self, url_path):
        self._call("DELETE", "files" + url_path)

    def set_fault(self, url_path, body=b"", **fault):
        # drop_at takes a list of offsets, location a text; every other field is a number.
        q = {k: ",".join(str(int(o)) for o in v) if isinstance(v, (list, tuple)) else v if isinstance(v, str)
             else int(v) for k, v in fault.items()}
        self._call("PUT", "fault" + url_path, body, q)

    def clear_fault(self, url_path):
        self._call("DELETE", "fault" + url_path)

    def log(self, prefix="/"):
        return json.loads(self._call("GET", "log", None, {"prefix": prefix, "format": "json"}))

    def reset(self, prefix="/"):
        self._call("POST", "reset", b"", {"prefix": prefix})

    def sha256(self, url_path):
        return self._call("GET", "sha256" + url_path).decode()


def main(argv):
    import argparse
    ap = argparse.ArgumentParser(description="Local test server (loopback only).")
    ap.add_argument("state_dir")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--http-port", type=int, default=0)
    ap.add_argument("--https-port", type=int, default=0)
    ap.add_argument("--lifetime", type=int, default=1800, help="seconds before it stops by itself")
    a = ap.parse_args(argv)
    serve(a.state_dir, a.host, a.http_port, a.https_port, a.lifetime)


if __name__ == "__main__":
    main(sys.argv[1:])
