#!/usr/bin/python3
"""Debian's squid as a test proxy on loopback, inside a private namespace.

    tests/server/proxy.py up STATE_DIR [--map IP=NAME,NAME...] [--user NAME:PASSWORD]
    tests/server/proxy.py down STATE_DIR

Two ports: OPEN_PORT lets everything through, SIGN_IN_PORT asks for Basic
authentication (the users given with --user). The proxy resolves the names in
--map itself (its own hosts file), so a test can close every direct route to
them. Its access log, one line per request with the user name, is
STATE_DIR/access.log. Import it from pytest for `Proxy`.
"""
import os
import signal
import subprocess
import sys
import time

OPEN_PORT = 3128
SIGN_IN_PORT = 3129

CONF = """
http_port 127.0.0.1:%(open)d name=open
http_port 127.0.0.1:%(sign_in)d name=sign_in
visible_hostname ostrel-test-proxy
pid_filename %(dir)s/squid.pid
cache_log %(dir)s/cache.log
logformat requests %%rm %%ru %%>Hs %%[un
access_log stdio:%(dir)s/access.log requests
cache deny all
cache_mem 8 MB
coredump_dir %(dir)s
hosts_file %(dir)s/hosts
dns_timeout 5 seconds
shutdown_lifetime 0 seconds
auth_param basic program /usr/lib/squid/basic_ncsa_auth %(dir)s/passwd
auth_param basic realm Ostrel test proxy
acl sign_in_port myportname sign_in
acl signed_in proxy_auth REQUIRED
http_access allow !sign_in_port
http_access allow signed_in
http_access deny all
"""


def mapped_user_namespace():
    try:
        with open("/proc/self/uid_map") as f:
            return f.read().split() != ["0", "0", "4294967295"]
    except OSError:
        return False


def start(command, output_path):
    with open(output_path, "ab") as out:
        return subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True)


class Proxy:
    def __init__(self, state_dir, mapping=None, users=(), popen=None):
        """mapping: {name: ip} the proxy resolves by itself; users: [(name, password)]
        for the sign-in port; popen(command, output_path): how to start squid
        (inside a namespace), by default a process of its own."""
        self.dir = os.path.abspath(state_dir)
        os.makedirs(self.dir, exist_ok=True)
        # Squid started as root works as its own user: it must write here.
        os.chmod(self.dir, 0o777)
        with open(os.path.join(self.dir, "hosts"), "w") as f:
            for name, ip in (mapping or {}).items():
                f.write("%s %s\n" % (ip, name))
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            for name, password in users:
                digest = subprocess.run(["openssl", "passwd", "-apr1", password], capture_output=True, text=True,
                                        check=True, timeout=30).stdout.strip()
                f.write("%s:%s\n" % (name, digest))
        os.chmod(os.path.join(self.dir, "passwd"), 0o644)
        self.access_log = os.path.join(self.dir, "access.log")
        conf = os.path.join(self.dir, "squid.conf")
        with open(conf, "w") as f:
            f.write(CONF % {"dir": self.dir, "open": OPEN_PORT, "sign_in": SIGN_IN_PORT})

        command = ["squid", "-N", "-f", conf]
        # In the user namespace of a normal user (the one this runs in, or
        # the one a test makes) only root is mapped, and squid refuses to run
        # as root: there it runs as a user of a namespace of its own inside
        # (the network stays the same).
        if os.geteuid() != 0 or mapped_user_namespace():
            command = ["unshare", "--user", "--map-user=1", "--map-group=1"] + command
        self.proc = (popen or start)(command, os.path.join(self.dir, "squid.out"))
        end = time.monotonic() + 20
        while not self._listening():
            if self.proc.poll() is not None or time.monotonic() > end:
                self.close()
                raise RuntimeError("squid did not start: " + self._tail())
            time.sleep(0.1)

    def _listening(self):
        # Squid opens its ports once it is ready, after its helpers started.
        try:
            with open(os.path.join(self.dir, "cache.log")) as f:
                return f.read().count("Accepting HTTP Socket connections") >= 2
        except OSError:
            return False

    def _tail(self):
        for name in ("cache.log", "squid.out"):
            try:
                with open(os.path.join(self.dir, name), errors="replace") as f:
                    text = f.read()[-2000:]
                if text:
                    return text
            except OSError:
                pass
        return ""

    def requests(self):
        """[(method, url, status, user)] in order; user is "-" when none."""
        if not os.path.exists(self.access_log):
            return []
        with open(self.access_log) as f:
            return [tuple(line.split()) for line in f if line.strip()]

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


def main(argv):
    import argparse
    ap = argparse.ArgumentParser(description="A test proxy on loopback (squid).")
    ap.add_argument("cmd", choices=("up", "down"))
    ap.add_argument("state_dir")
    ap.add_argument("--map", action="append", default=[], help="IP=NAME,NAME... resolved by the proxy itself")
    ap.add_argument("--user", action="append", default=[], help="NAME:PASSWORD for the sign-in port")
    a = ap.parse_args(argv)
    pid_file = os.path.join(a.state_dir, "proxy.pid")
    if a.cmd == "down":
        try:
            with open(pid_file) as f:
                pid = int(f.read())
            # Only our own squid: the pid must still be running it with this folder's config.
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if os.path.join(os.path.abspath(a.state_dir), "squid.conf").encode() in f.read():
                    os.kill(pid, signal.SIGTERM)
                    for _ in range(100):    # bounded: 10 s
                        if not os.path.exists("/proc/%d" % pid):
                            break
                        time.sleep(0.1)
        except (OSError, ValueError):
            pass
        return 0
    mapping = {}
    for item in a.map:
        ip, names = item.split("=", 1)
        for name in names.split(","):
            mapping[name] = ip
    users = [tuple(u.split(":", 1)) for u in a.user]
    p = Proxy(a.state_dir, mapping, users)
    with open(pid_file, "w") as f:
        f.write(str(p.proc.pid))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
