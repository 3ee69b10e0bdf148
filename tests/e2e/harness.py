"""Runs the real setup under Wine against local HTTPS servers that answer for the
real host names, inside private namespaces. Used by the end-to-end tests, by
scripts/demo and by bench/install.

A `Session` holds what is made once: certificates, a prepared Wine prefix used
as a template, the stand-in programs, demo content and an X display. A
`Machine` is one private mount+network namespace with its own hosts file and
CA bundle, a fresh copy of the template prefix (so its wineserver starts inside
the namespace), and whatever servers a test starts in it.
"""
import ctypes
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, os.path.join(ROOT, "tests", "server"))
import ostrel_publish  # noqa: E402
import proxy  # noqa: E402
import testserver  # noqa: E402

API_HOST = "api.ostrel.example"
CDN_HOST = "cdn.ostrel.example"
HOSTS = (API_HOST, CDN_HOST)
WINE_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
CLONE_NEWNET = 0x40000000
IS_ROOT = os.geteuid() == 0


def log(msg):
    print("[e2e] " + msg, file=sys.stderr, flush=True)


def wait_for(pred, timeout, step=0.05, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    raise TimeoutError("timed out after %.0f s waiting for %s" % (timeout, what))


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def stop_process(p, timeout=5):
    """Ends one process we started, by its id."""
    if p is None or p.poll() is not None:
        return
    try:
        p.terminate()
        p.wait(timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait(timeout)
    except ProcessLookupError:
        pass


# ------------------------------------------------------------ content

def make_rogue_certificate(folder):
    """A certificate for the real host names from a CA nobody trusts."""
    os.makedirs(folder, exist_ok=True)
    key, pem = os.path.join(folder, "server.key"), os.path.join(folder, "server.pem")
    if not os.path.exists(pem):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-keyout", key, "-out", pem, "-subj", "/CN=" + CDN_HOST,
                        "-addext", "subjectAltName=" + ",".join("DNS:" + h for h in HOSTS),
                        "-addext", "extendedKeyUsage=serverAuth"],
                       check=True, capture_output=True, timeout=60)
    return pem, key


def make_game_zip(path, game_exe, extra=(), folder="Ostrel"):
    """A stand-in game: the game executable plus a few files, one with a
    non-ASCII name."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(folder + "/", b"")
        z.write(game_exe, folder + "/Playden.exe")
        z.writestr(folder + "/README.txt", "Playden, July 2024 (demo build)\r\n")
        z.writestr(folder + "/data/levels/level1.dat", bytes(range(256)) * 64)
        z.writestr(folder + "/data/levels/level2.dat", os.urandom(20000), zipfile.ZIP_STORED)
        z.writestr(folder + "/data/Carte d\u2019\u00e9t\u00e9.txt", "\u00e9t\u00e9 2024\n")
        for name, data in extra:
            z.writestr(name, data)
    return path


def zip_contents(path):
    """{name: bytes} of the files (not folders) in an archive."""
    with zipfile.ZipFile(path) as z:
        return {i.filename: z.read(i) for i in z.infolist() if not i.filename.endswith("/")}


def compiled_signing_keys(build):
    """The OSTREL_SIGNING_KEYS a build folder was configured with."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("OSTREL_SIGNING_KEYS:"):
                    value = line.rstrip("\n").split("=", 1)[1]
                    return [k.strip() for k in value.split(";") if k.strip()]
    except OSError:
        pass
    return []


def find_signing_key(setup_exe):
    """The private key the setup's build checks signatures against: the one
    tools/test-signing-key made in its build folder, or OSTREL_SIGNING_KEY_FILE.
    None for a build without keys (trees are then published unsigned)."""
    build = os.path.dirname(os.path.abspath(setup_exe))
    keys = compiled_signing_keys(build)
    path = os.environ.get("OSTREL_SIGNING_KEY_FILE") or os.path.join(build, "test-signing-key.pem")
    if not keys and not os.environ.get("OSTREL_SIGNING_KEY_FILE"):
        return None
    if not os.path.exists(path):
        raise RuntimeError("%s checks signatures, but there is no private key to sign the test trees with at %s "
                           "(tools/test-signing-key makes one)" % (setup_exe, path))
    public = ostrel_publish.public_key_text(ostrel_publish.load_signing_key(path).public_key())
    if keys and public not in keys:
        raise RuntimeError("%s isn't the private key of any of the keys %s was built with" % (path, setup_exe))
    return path


def find_demo_programs(setup_exe):
    """The stand-in launcher and game built beside the setup; built on demand."""
    build = os.path.dirname(os.path.abspath(setup_exe))
    progs = [os.path.join(build, "demo-launcher.exe"), os.path.join(build, "demo-game.exe")]
    if not all(os.path.exists(p) for p in progs):
        subprocess.run(["cmake", "--build", build, "--target", "demo_launcher", "demo_game"], check=True,
                       stdout=subprocess.DEVNULL, timeout=600)
    return progs


# ------------------------------------------------------------ session

class Display:
    """An Xvfb display shared by the machines (its socket is a file, so Wine
    reaches it from inside any network namespace)."""

    def __init__(self, size="1280x1024x24"):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", size, "-nolisten", "tcp"],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        os.close(w)
        with os.fdopen(r) as f:
            num = f.readline().strip()
        if not num:
            stop_process(self.proc)
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + num

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.name, "-window", "root", path], check=True,
                       capture_output=True, timeout=30)

    def raw(self):
        return subprocess.run(["import", "-display", self.name, "-window", "root", "-depth", "8", "rgb:-"],
                              capture_output=True, timeout=30).stdout

    def close(self):
        stop_process(self.proc)


class Session:
    def __init__(self, setup_exe, root=None, display=None):
        self.setup_exe = os.path.abspath(setup_exe)
        self.own_root = root is None
        self.root = root or tempfile.mkdtemp(prefix="ostrel-e2e-")
        os.chmod(self.root, 0o755)
        self.certs = os.path.join(self.root, "certs")
        os.makedirs(self.certs, exist_ok=True)
        testserver.make_certificates(self.certs)
        self.rogue = make_rogue_certificate(os.path.join(self.root, "rogue"))
        self.launcher_exe, self.game_exe = find_demo_programs(self.setup_exe)
        # Every tree and document served is signed with it when the build checks signatures.
        self.signing_key = find_signing_key(self.setup_exe)
        self.template = os.path.join(self.root, "template")
        self._display = display
        self._own_display = None
        self.counter = 0

    @property
    def display(self):
        if self._display is None:
            self._own_display = Display()
            self._display = self._own_display.name
        return self._display

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path], check=True,
                       capture_output=True, timeout=30)

    def screen_raw(self):
        return subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8", "rgb:-"],
                              capture_output=True, timeout=30).stdout

    def prepare_template(self):
        """A Wine prefix made once and copied for every machine (a copy costs
        ~1.5 s, a new prefix ~13 s)."""
        if os.path.exists(os.path.join(self.template, ".ostrel-ready")):
            return
        env = dict(os.environ, WINEPREFIX=self.template, WINEDEBUG="-all", WINEDLLOVERRIDES=WINE_OVERRIDES)
        env.pop("DISPLAY", None)
        shutil.rmtree(self.template, ignore_errors=True)
        os.makedirs(self.template)
        log("preparing a Wine prefix")
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                        "/t", "REG_DWORD", "/d", "0", "/f"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        # Desktop, Documents... are links into the Unix home: make them folders.
        users = os.path.join(self.template, "drive_c", "users")
        for user in os.listdir(users):
            for name in os.listdir(os.path.join(users, user)):
                p = os.path.join(users, user, name)
                if os.path.islink(p):
                    os.remove(p)
                    os.makedirs(p)
        # A CJK font in the prefix's fonts folder, as tools/wine-prefix does.
        noto = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"
        if os.path.exists(noto):
            shutil.copy(noto, os.path.join(self.template, "drive_c", "windows", "Fonts"))
        open(os.path.join(self.template, ".ostrel-ready"), "w").close()

    def publish(self, launcher, game_zip, out, fix=False):
        """tools/publish, signing with the build's key."""
        return ostrel_publish.publish(launcher, game_zip, out, fix=fix, warn=log, sign_key=self.signing_key)

    def publish_demo(self, name="demo", game_zip=None, fix=False):
        """The demo tree: the stand-in launcher and game, published."""
        out = os.path.join(self.root, name)
        if not os.path.exists(out):
            zip_path = game_zip or make_game_zip(os.path.join(self.root, name + "-game.zip"), self.game_exe)
            self.publish(self.launcher_exe, zip_path, out, fix=fix)
        return out

    def sign(self, data):
        """The signature file for a document's bytes; None without a key."""
        if self.signing_key is None:
            return None
        return ostrel_publish.sign(ostrel_publish.load_signing_key(self.signing_key), data)

    def machine(self, **kw):
        self.prepare_template()
        self.counter += 1
        return Machine(self, tempfile.mkdtemp(prefix="m%03d-" % self.counter, dir=self.root), **kw)

    def close(self):
        if self._own_display:
            self._own_display.close()
        if self.own_root:
            shutil.rmtree(self.root, ignore_errors=True)


# ------------------------------------------------------------ one machine

class Result:
    def __init__(self, rc, output):
        self.rc = rc
        self.output = output


class Machine:
    """One private namespace with a fresh Wine prefix."""

    def __init__(self, session, folder, hosts=None, trust=True):
        self.s = session
        self.dir = folder
        os.makedirs(folder, exist_ok=True)
        self.servers = []
        self.procs = []
        self.set_hosts(hosts or {h: "127.0.0.1" for h in HOSTS})
        bundle = os.path.join(session.certs, "ca-bundle.crt") if trust else "/etc/ssl/certs/ca-certificates.crt"
        script = ("ip link set lo up && mount --bind %s /etc/hosts && mount --bind %s "
                  "/etc/ssl/certs/ca-certificates.crt && echo ready && exec sleep 86400"
                  % (sh_quote(os.path.join(folder, "hosts")), sh_quote(bundle)))
        cmd = ["unshare", "-mn"] if IS_ROOT else ["unshare", "-rmn"]
        self.holder = subprocess.Popen(cmd + ["sh", "-c", script], stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, start_new_session=True)
        line = self.holder.stdout.readline()
        if line.strip() != b"ready":
            err = self.holder.stderr.read().decode(errors="replace")
            raise RuntimeError("could not make a private namespace: " + err)
        self.prefix = os.path.join(folder, "prefix")
        subprocess.run(["cp", "-a", session.template, self.prefix], check=True, timeout=120)
        users = os.path.join(self.prefix, "drive_c", "users")
        user = [u for u in os.listdir(users) if u != "Public"][0]
        self.profile = os.path.join(users, user)
        self.win_profile = "C:\\users\\" + user
        self.localappdata = os.path.join(self.profile, "AppData", "Local")
        self.desktop = os.path.join(self.profile, "Desktop")
        self.programs = os.path.join(self.profile, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                                     "Programs")
        self.data_dir = os.path.join(self.localappdata, "OstrelLauncher")
        # One Wine server for the machine's whole life, started inside its
        # namespace: a server that lingers and exits between programs could
        # race the next program's start while it saves the registry.
        subprocess.run(self.ns_prefix() + ["wineserver", "-p"], env=self.wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def set_hosts(self, hosts):
        """What the names lead to inside the namespace ({name: ip}); also
        later: the file is rewritten in place under its bind mount."""
        self.hosts = dict(hosts)
        with open(os.path.join(self.dir, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n::1 localhost\n")
            for name, ip in self.hosts.items():
                f.write("%s %s\n" % (ip, name))

    def set_user_proxy(self, proxy_list="", bypass="", script="", detect=False):
        """The user's proxy settings, as the Internet Options dialog stores
        them (the only place Wine's WinHTTP reads them from)."""
        flags = 1 | (2 if proxy_list else 0) | (4 if script else 0) | (8 if detect else 0)
        blob = b"".join([(0x46).to_bytes(4, "little"), (1).to_bytes(4, "little"), flags.to_bytes(4, "little")] +
                        [len(t.encode()).to_bytes(4, "little") + t.encode() for t in (proxy_list, bypass, script)]) + \
            bytes(32)
        r = self.wine("reg", "add", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections",
                      "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", blob.hex(), "/f")
        assert r.rc == 0, r.output

    # -- running things inside
    def ns_prefix(self):
        cmd = ["nsenter", "-t", str(self.holder.pid), "-m", "-n"]
        if not IS_ROOT:
            cmd += ["-U", "--preserve-credentials"]
        return cmd + ["--"]

    def wine_env(self, extra=None):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES=WINE_OVERRIDES,
                   LANG="C.UTF-8", DISPLAY=self.s.display)
        env.pop("WINESERVER", None)
        env.update(extra or {})
        return env

    def popen(self, cmd, out=None, env=None, **kw):
        """Starts a program inside the namespace. Output goes to a file: Wine's
        helpers inherit handles and outlive the program."""
        out = out or os.path.join(self.dir, "out-%d.txt" % len(self.procs))
        f = open(out, "ab")
        p = subprocess.Popen(self.ns_prefix() + list(cmd), stdout=f, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, env=env or self.wine_env(), **kw)
        f.close()
        p.out_path = out
        self.procs.append(p)
        return p

    def run(self, cmd, timeout=120, env=None):
        p = self.popen(cmd, env=env)
        try:
            rc = p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            raise
        with open(p.out_path, "rb") as f:
            return Result(rc, f.read().decode(errors="replace"))

    def wine(self, *args, timeout=120):
        return self.run(["wine", *args], timeout=timeout)

    def start_setup(self, *args, exe=None):
        return self.popen(["wine", exe or self.s.setup_exe, *args])

    def run_setup(self, *args, timeout=180, exe=None):
        p = self.start_setup(*args, exe=exe)
        try:
            rc = p.wait(timeout)
        except subprocess.TimeoutExpired:
            self.s.screenshot(os.path.join(self.dir, "timeout.png"))
            p.kill()
            p.wait()
            raise AssertionError("the setup did not end within %d s (screen: %s/timeout.png)" % (timeout, self.dir))
        return rc

    def wineserver_stop(self):
        subprocess.run(self.ns_prefix() + ["wineserver", "-k"], env=self.wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def call(self, fn, *args, **kw):
        """Runs fn in a thread inside the namespace's network (for talking to a
        server's control port that only exists in there)."""
        box = {}

        def body():
            try:
                libc = ctypes.CDLL(None, use_errno=True)
                fd = os.open("/proc/%d/ns/net" % self.holder.pid, os.O_RDONLY)
                try:
                    if libc.setns(fd, CLONE_NEWNET) != 0:
                        raise OSError(ctypes.get_errno(), "setns")
                finally:
                    os.close(fd)
                box["v"] = fn(*args, **kw)
            except BaseException as e:  # handed to the caller
                box["e"] = e

        t = threading.Thread(target=body)
        t.start()
        t.join()
        if "e" in box:
            raise box["e"]
        return box.get("v")

    # -- servers
    def serve_tree(self, tree, ip="127.0.0.1", cert=None, rate=None):
        """nginx serving the tree; `rate` limits each answer (nginx's limit_rate, such as "25m")."""
        srv = Nginx(self, tree, ip, cert or (os.path.join(self.s.certs, "server.pem"),
                                             os.path.join(self.s.certs, "server.key")), rate)
        self.servers.append(srv)
        return srv

    def fault_server(self, ip="127.0.0.1", http_port=0):
        srv = FaultServer(self, ip, http_port)
        self.servers.append(srv)
        return srv

    def proxy(self, mapping=None, users=()):
        """Debian's squid inside the namespace (tests/server/proxy.py): it
        resolves the names in `mapping` itself, whatever the hosts file says."""
        os.chmod(self.dir, 0o711)   # squid works as a user of its own: its folder is in here
        p = proxy.Proxy(tempfile.mkdtemp(prefix="proxy-", dir=self.dir), mapping, users,
                        popen=lambda cmd, out: self.popen(cmd, out=out, env=dict(os.environ)))
        self.servers.append(p)
        return p

    def small_drive(self, letter, size_mb):
        """A tmpfs of size_mb mounted inside the namespace, as Wine drive letter:."""
        mnt = os.path.join(self.dir, "drive-" + letter)
        os.makedirs(mnt)
        r = subprocess.run(self.ns_prefix() + ["mount", "-t", "tmpfs", "-o", "size=%dm" % size_mb, "tmpfs", mnt],
                           capture_output=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError("tmpfs: " + r.stderr.decode(errors="replace"))
        os.symlink(mnt, os.path.join(self.prefix, "dosdevices", letter.lower() + ":"))
        return mnt

    def ls_inside(self, path):
        """Files below path as the namespace sees them (a tmpfs is only there)."""
        r = subprocess.run(self.ns_prefix() + ["find", path, "-type", "f"], capture_output=True, timeout=30)
        return sorted(r.stdout.decode().split("\n")[:-1])

    # -- looking at the result
    def unix(self, win_path):
        """Unix path of a C: path in the prefix."""
        assert win_path[:3].upper() == "C:\\", win_path
        return os.path.join(self.prefix, "drive_c", *[p for p in win_path[3:].split("\\") if p])

    def installer_log(self, data_dir=None):
        p = os.path.join(data_dir or self.data_dir, "installer.log")
        if not os.path.exists(p):
            return ""
        with open(p, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def settings(self, data_dir=None):
        with open(os.path.join(data_dir or self.data_dir, "settings.json"), "rb") as f:
            return json.loads(f.read().decode("utf-8"))

    def reg(self, key):
        """Values of a key under HKCU as {name: value}; None when the key is absent."""
        out = os.path.join(self.prefix, "drive_c", "reg-export.reg")
        if os.path.exists(out):
            os.remove(out)
        r = self.wine("reg", "export", "HKCU\\" + key, "C:\\reg-export.reg", "/y")
        if r.rc != 0 or not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            text = f.read().decode("utf-16")
        os.remove(out)
        return parse_reg(text)

    def without_host_drive(self):
        """Takes away Z: (the whole Unix file system) and puts a copy of the
        setup into the user's Downloads: whatever folder someone picks in the
        wizard then lies inside the prefix. Returns the copy's Windows path."""
        os.remove(os.path.join(self.prefix, "dosdevices", "z:"))
        downloads = os.path.join(self.profile, "Downloads")
        os.makedirs(downloads, exist_ok=True)
        shutil.copy(self.s.setup_exe, os.path.join(downloads, "Ostrel Setup.exe"))
        return self.win_profile + "\\Downloads\\Ostrel Setup.exe"

    def close(self, keep=False):
        for srv in self.servers:
            srv.close()
        try:
            self.wineserver_stop()
        except subprocess.TimeoutExpired:
            pass
        for p in self.procs:
            stop_process(p, 5)
        stop_process(self.holder)
        if self.holder.stdout:
            self.holder.stdout.close()
        if self.holder.stderr:
            self.holder.stderr.close()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)


def sh_quote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def parse_reg(text):
    """The values of the first key in a .reg export."""
    values = {}
    for line in text.splitlines():
        line = line.strip()
        if not line.startswith('"'):
            continue
        i = 1
        name = ""
        while line[i] != '"':
            if line[i] == "\\":
                i += 1
            name += line[i]
            i += 1
        rest = line[i + 2:]
        if rest.startswith('"'):
            v, j = "", 1
            while rest[j] != '"':
                if rest[j] == "\\":
                    j += 1
                v += rest[j]
                j += 1
            values[name] = v
        elif rest.startswith("dword:"):
            values[name] = int(rest[6:], 16)
        else:
            values[name] = rest
    return values


# ------------------------------------------------------------ servers

class Nginx:
    """Debian's nginx serving a published tree over TLS for both host names."""

    def __init__(self, machine, tree, ip, cert, rate=None):
        self.m = machine
        self.dir = tempfile.mkdtemp(prefix="nginx-", dir=machine.dir)
        for d in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(self.dir, d))
        self.access_log = os.path.join(self.dir, "access.log")
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF % {"dir": self.dir, "ip": ip, "cert": cert[0], "key": cert[1],
                                  "root": os.path.abspath(tree), "names": " ".join(HOSTS),
                                  "doc": "/" + ostrel_publish.DOC_PATH,
                                  "rate": ("limit_rate %s;" % rate) if rate else ""})
        self.proc = machine.popen(["nginx", "-e", os.path.join(self.dir, "error.log"), "-p", self.dir, "-c", conf],
                                  out=os.path.join(self.dir, "out.txt"), env=dict(os.environ))
        wait_for(lambda: self.listening(ip) or self.proc.poll() is not None, 20, what="nginx")
        if self.proc.poll() is not None:
            raise RuntimeError("nginx did not start: " + open(os.path.join(self.dir, "error.log")).read())

    def listening(self, ip):
        r = subprocess.run(self.m.ns_prefix() + ["ss", "-Hltn", "src", ip + ":443"], capture_output=True,
                           timeout=10)
        return bool(r.stdout.strip())

    def requests(self):
        """[(method path, range, status, bytes, msec)] from the access log; msec is
        the time (seconds since the epoch) the answer's last byte went out."""
        if not os.path.exists(self.access_log):
            return []
        rows = []
        with open(self.access_log) as f:
            for line in f:
                rows.append(tuple(line.rstrip("\n").split("\t")))
        return rows

    def close(self):
        stop_process(self.proc)


NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log;
events { worker_connections 256; }
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    log_format ranges '$request\\t$http_range\\t$status\\t$body_bytes_sent\\t$msec';
    access_log %(dir)s/access.log ranges;
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    sendfile on;
    server {
        listen %(ip)s:443 ssl;
        server_name %(names)s;
        ssl_certificate %(cert)s;
        ssl_certificate_key %(key)s;
        root %(root)s;
        %(rate)s
        # The install document is a file inside the folder that also holds the
        # game downloads (see tools/ostrel_publish.py).
        location = /api/launcher/v1/install { try_files %(doc)s =404; }
    }
}
"""


class FaultServer:
    """The fault-injecting test server on ip:443 inside the namespace."""

    def __init__(self, machine, ip, http_port=0):
        self.m = machine
        self.state = tempfile.mkdtemp(prefix="faultserver-", dir=machine.dir)
        for name in ("ca.key", "ca.pem", "server.key", "server.pem", "ca-bundle.crt"):
            shutil.copy(os.path.join(machine.s.certs, name), self.state)
        self.proc = machine.popen(["/usr/bin/python3", os.path.join(ROOT, "tests", "server", "testserver.py"),
                                   self.state, "--host", ip, "--https-port", "443", "--http-port", str(http_port),
                                   "--lifetime", "900"],
                                  out=os.path.join(self.state, "server.log"), env=dict(os.environ))
        wait_for(lambda: os.path.exists(os.path.join(self.state, "https_port")) or self.proc.poll() is not None,
                 30, what="the test server")
        if self.proc.poll() is not None:
            raise RuntimeError("test server did not start: " + open(os.path.join(self.state, "server.log")).read())
        self.client = testserver.Client(self.state)

    def __getattr__(self, name):
        """Client calls (serve_file, set_fault, log...) made inside the namespace."""
        fn = getattr(self.client, name)
        return lambda *a, **kw: self.m.call(fn, *a, **kw)

    def serve_tree(self, tree):
        """Serves every file of a published tree at its address."""
        for d, _, files in os.walk(tree):
            for name in files:
                full = os.path.join(d, name)
                rel = "/" + os.path.relpath(full, tree).replace(os.sep, "/")
                if rel == "/" + ostrel_publish.DOC_PATH:
                    rel = "/api/launcher/v1/install"
                self.serve_file(rel, full)

    def serve_document(self, data):
        """Serves install-document bytes, with their signature when the build checks one."""
        self.serve_bytes("/api/launcher/v1/install", data)
        signature = self.m.s.sign(data)
        if signature is not None:
            self.serve_bytes(SIGNATURE_URL, signature)

    def close(self):
        stop_process(self.proc)


SIGNATURE_URL = "/api/launcher/v1/install/signature"


def document(tree):
    with open(os.path.join(tree, ostrel_publish.DOC_PATH)) as f:
        return json.load(f)


def launcher_url(doc):
    return "/api/launcher/v1/app/" + doc["launcher"]["sha256"]


def game_url(doc):
    return "/api/launcher/v1/install/game/" + doc["game"]["sha256"]


def write_tree(session, out, launcher_path, game_path, doc):
    """A hand-made tree (for lying documents and archives publish refuses),
    signed with the session's key when it has one."""
    api = os.path.join(out, "api", "launcher", "v1")
    os.makedirs(os.path.join(api, "app"), exist_ok=True)
    os.makedirs(os.path.join(api, "install", "game"), exist_ok=True)
    shutil.copy(launcher_path, os.path.join(api, "app", doc["launcher"]["sha256"]))
    shutil.copy(game_path, os.path.join(api, "install", "game", doc["game"]["sha256"]))
    data = json.dumps(doc).encode()
    with open(os.path.join(out, ostrel_publish.DOC_PATH), "wb") as f:
        f.write(data)
    signature = session.sign(data)
    if signature is not None:
        with open(os.path.join(out, ostrel_publish.SIGNATURE_PATH), "wb") as f:
            f.write(signature)
    return out


def unpacked_size(game_path):
    """What the entries' records say they unpack to (without unpacking them:
    some archives of the tests use methods Python cannot read)."""
    with zipfile.ZipFile(game_path) as z:
        return sum(i.file_size for i in z.infolist() if not i.filename.endswith("/"))


def honest_document(launcher_path, game_path):
    return {"launcher": {"sha256": sha256_file(launcher_path), "size": os.path.getsize(launcher_path)},
            "game": {"sha256": sha256_file(game_path), "size": os.path.getsize(game_path),
                     "unpacked": unpacked_size(game_path),
                     "folder": "Ostrel", "exe": "Playden.exe"}}


# ------------------------------------------------------------ the wizard by mouse

class Wizard:
    """Clicks the setup's wizard buttons with xdotool. Without a window manager
    the window has no frame: client coordinates are screen coordinates at the
    window's position. Buttons are 88x28 layout units in the bottom bar; one
    layout unit is (client width / 640) pixels."""

    def __init__(self, session, timeout=60):
        self.s = session
        env = dict(os.environ, DISPLAY=session.display)
        self.env = env
        wid = wait_for(lambda: self._search(), timeout, 0.2, "the setup's window")
        self.wid = wid
        geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=env, capture_output=True,
                             text=True, timeout=10).stdout
        g = dict(line.split("=", 1) for line in geo.split())
        self.x, self.y, self.w, self.h = int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])
        self.scale = self.w / 640.0

    def _search(self):
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "Ostrel"],
                           env=self.env, capture_output=True, text=True, timeout=10)
        ids = r.stdout.split()
        return ids[-1] if ids else None

    def slot(self, which):
        s = self.scale
        right = self.w - 14 * s
        x = {"right": right - 88 * s, "middle": right - 2 * 88 * s - 8 * s,
             "left": right - 3 * 88 * s - 26 * s}[which]
        y = self.h - 58 * s + 15 * s
        return int(self.x + x + 44 * s), int(self.y + y + 14 * s)

    def _xdo(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, capture_output=True, timeout=10)

    def click_at(self, ux, uy):
        """One click at a point of the page, in layout units."""
        s = self.scale
        self._xdo("mousemove", "--sync", str(int(self.x + ux * s)), str(int(self.y + uy * s)))
        time.sleep(0.2)
        self._xdo("click", "1")
        time.sleep(0.3)

    def type(self, text):
        self._xdo("type", "--delay", "40", text)
        time.sleep(0.3)

    def select_all(self):
        """Ctrl+A in the field that has the focus (the modifier held: a
        one-burst ctrl+a arrives as a plain a)."""
        self._xdo("keydown", "ctrl", "key", "a", "keyup", "ctrl")
        time.sleep(0.2)

    def step(self):
        """Index of the current step in the side list (its white marker), or None."""
        raw = self.s.screen_raw()
        width = int(subprocess.run(["xdotool", "getdisplaygeometry"], env=self.env, capture_output=True,
                                   text=True, timeout=10).stdout.split()[0])
        s = self.scale
        for i in range(5):
            px, py = int(self.x + 20 * s), int(self.y + (136 + 26 * i + 7) * s)
            o = (py * width + px) * 3
            if raw[o:o + 3] == b"\xff\xff\xff":
                return i
        return None

    def keys(self, *words):
        """Key presses through xdotool into the window, which gets the X focus
        first (without a window manager nothing gives it). A held modifier
        takes keydown/keyup: `keys("keydown", "alt", "key", "n", "keyup", "alt")`;
        plain names are pressed one after the other."""
        self._xdo("windowfocus", "--sync", self.wid)
        args = list(words) if words[0] in ("key", "keydown", "keyup") else ["key", *words]
        self._xdo(*args)
        time.sleep(0.3)

    def alt(self, letter):
        self.keys("keydown", "alt", "key", letter, "keyup", "alt")

    def wait_step(self, index, timeout=60):
        wait_for(lambda: self.step() == index, timeout, 0.2, "step %d of the side list" % index)

    def key_until_step(self, key, index, timeout=60):
        """Presses a key until the side list shows the step (Next is dead
        while the server check runs)."""
        end = time.monotonic() + timeout
        while self.step() != index:
            if time.monotonic() > end:
                raise AssertionError("pressing %s never reached step %d" % (key, index))
            self.keys(key)
            t = time.monotonic() + 1.5
            while time.monotonic() < t and self.step() != index:
                time.sleep(0.2)

    def click(self, which, expect_change=True, timeout=60):
        """Clicks a slot until the side list moves on (a disabled button, for
        instance while the server check runs, does nothing)."""
        x, y = self.slot(which)
        self._xdo("mousemove", str(x), str(y))
        time.sleep(0.3)
        end = time.monotonic() + timeout
        while True:
            before = self.step()
            self._xdo("click", "1")
            if not expect_change:
                return
            t = time.monotonic() + 1.5
            while time.monotonic() < t:
                time.sleep(0.2)
                if self.step() != before:
                    return
            if time.monotonic() > end:
                raise AssertionError("clicking the %s button changed nothing" % which)
