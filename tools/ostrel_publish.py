"""Publishing a launcher build and a game archive as a static tree.

The tree is what the setup fetches: the install document and two
content-addressed files. Any web server that honours Range requests can serve
it (see README, "Publishing").

    api/launcher/v1/install/index.json      the install document
    api/launcher/v1/install/signature       its signature (with --sign)
    api/launcher/v1/app/<sha256>            the launcher executable
    api/launcher/v1/install/game/<sha256>   the game's zip archive

The document answers GET /api/launcher/v1/install. A file cannot be both
"install" and the folder that holds "install/game/...", so the document lives
in that folder as index.json and the server maps the address onto it. The
signature's address, the document's + "/signature", needs no mapping.

The signature is ECDSA P-256 over SHA-256 of the document's exact bytes, as
the standard base64 of the raw 64-byte r||s and one line end. The curve
arithmetic is Python's `cryptography` (Debian's python3-cryptography).
"""
import base64
import hashlib
import json
import os
import shutil
import stat
import struct
import sys
import tempfile
import zipfile
import zlib

try:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, utils
except ImportError:     # only signing needs it
    ec = None

API = "api/launcher/v1"
DOC_PATH = API + "/install/index.json"
SIGNATURE_PATH = API + "/install/signature"
GAME_FOLDER = "Ostrel"
DEFAULT_EXE = "Playden.exe"
CHUNK = 1 << 20

# Compression methods the setup's unpacker reads.
READABLE_METHODS = {zipfile.ZIP_STORED: "stored", zipfile.ZIP_DEFLATED: "deflate"}


class PublishError(Exception):
    """Input the setup could not install; the text is for the publisher."""


# ------------------------------------------------------------ entry names
# The same rule as the setup's IsSafeEntryName (src/package/unpack.cpp): the
# setup skips entries this rejects, so an archive holding one would install
# incomplete.

_DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}


def _is_device_name(component):
    base = component.split(".", 1)[0].rstrip(" ")
    upper = "".join(c.upper() if "a" <= c <= "z" else c for c in base)
    if upper in _DEVICE_NAMES:
        return True
    if len(upper) < 4 or upper[:3] not in ("COM", "LPT"):
        return False
    rest = upper[3:]
    return (len(rest) == 1 and "0" <= rest <= "9") or rest in ("\u00b9", "\u00b2", "\u00b3")


def _is_safe_component(c):
    if c in ("", "."):
        return True
    if c == "..":
        return False
    if any(ord(ch) < 0x20 or ch in '<>"|?*' for ch in c):
        return False
    if c[-1] in ". ":
        return False
    return not _is_device_name(c)


def is_safe_entry_name(name):
    """True when the setup writes an entry of this name below the install folder."""
    if not name or name[0] in "/\\" or ":" in name:
        return False
    return all(_is_safe_component(c) for c in name.replace("\\", "/").split("/"))


def _unicode_path(raw, extra):
    """The name an Info-ZIP Unicode path field (0x7075) gives, when the extra
    field holds one whose CRC-32 is that of the raw name; else None."""
    at = 0
    while len(extra) - at >= 4:
        kind, size = struct.unpack_from("<HH", extra, at)
        if size > len(extra) - at - 4:
            return None
        field = extra[at + 4:at + 4 + size]
        at += 4 + size
        if kind != 0x7075 or len(field) < 5 or field[0] != 1:
            continue
        if struct.unpack_from("<I", field, 1)[0] != zlib.crc32(raw) or len(field) == 5:
            return None
        try:
            return field[5:].decode("utf-8")
        except UnicodeDecodeError:
            return None
    return None


def setup_entry_name(info):
    """The name the setup reads for an entry (ZipEntryName in
    src/package/entry_name.cpp): the UTF-8 mark, else a Unicode path field
    that matches, else valid UTF-8, else code page 437."""
    if info.flag_bits & 0x800:
        return info.orig_filename
    raw = info.orig_filename.encode("cp437")    # how zipfile read it
    name = _unicode_path(raw, info.extra)
    if name is not None:
        return name
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return info.orig_filename


def unmarked_name(info):
    """True when zip tools may read the entry's name differently: not marked
    as UTF-8, and outside ASCII (or renamed by a Unicode path field)."""
    if info.flag_bits & 0x800:
        return False
    return any(ord(c) > 0x7F for c in info.orig_filename) or setup_entry_name(info) != info.orig_filename


# ------------------------------------------------------------ archive checks

def _split_name(name):
    cut = max(name.rfind("/"), name.rfind("\\"))
    return (name[:cut], name[cut + 1:]) if cut >= 0 else ("", name)


def _is_dir(info):
    return info.orig_filename.endswith(("/", "\\")) or bool(info.external_attr & 0x10)


def find_game_prefix(infos, exe):
    """The folder (inside the archive) the setup takes as the game's folder,
    chosen as the setup chooses it; None when no entry is the executable."""
    prefix = None
    for info in infos:
        name = info.orig_filename
        folder, final = _split_name(name)
        if final.lower() != exe.lower() or _is_dir(info) or not is_safe_entry_name(name):
            continue
        if prefix is None or prefix == "" or len(name) < len(prefix):
            prefix = folder
    return prefix


class ArchiveReport:
    def __init__(self):
        self.unpacked = 0
        self.prefix = ""
        self.entries = 0


def check_archive(path, exe=DEFAULT_EXE):
    """Reads the whole archive the way the setup will; raises PublishError."""
    try:
        zf = zipfile.ZipFile(path)
    except FileNotFoundError:
        raise PublishError("%s: no such file." % path)
    except (zipfile.BadZipFile, OSError) as e:
        raise PublishError("%s isn't a readable zip archive (%s)." % (path, e))
    report = ArchiveReport()
    with zf:
        infos = zf.infolist()
        if not infos:
            raise PublishError("%s is an empty archive." % path)
        unsafe = [setup_entry_name(i) for i in infos if not is_safe_entry_name(setup_entry_name(i))]
        if unsafe:
            shown = ", ".join(repr(n) for n in unsafe[:5]) + (" ..." if len(unsafe) > 5 else "")
            raise PublishError("%s has entry names the setup refuses to write (it would skip them and install an "
                               "incomplete game): %s." % (path, shown))
        for info in infos:
            name = info.orig_filename
            if info.flag_bits & 0x1:
                raise PublishError("%s: entry %r is encrypted; the setup can't unpack it." % (path, name))
            if info.compress_type not in READABLE_METHODS:
                raise PublishError("%s: entry %r uses compression method %d; the setup reads only stored and "
                                   "deflate entries." % (path, name, info.compress_type))
            if unmarked_name(info):
                raise PublishError("%s: entry %r has a name outside ASCII that isn't marked as UTF-8 (written in "
                                   "a DOS code page by an older Windows tool, or by Info-ZIP's zip on Linux), which "
                                   "zip tools and older setups read in different ways. Make the archive again with "
                                   "a tool that marks such names as UTF-8 (7-Zip does, and so does python3 -m "
                                   "zipfile -c GAME.zip FOLDER/)." % (path, setup_entry_name(info)))
        prefix = find_game_prefix(infos, exe)
        if prefix is None:
            raise PublishError("%s has no %s in it: the setup needs the game's executable." % (path, exe))
        report.prefix = prefix
        for info in infos:
            report.unpacked += info.file_size
            report.entries += 1
            if _is_dir(info):
                continue
            try:
                with zf.open(info) as f:
                    while f.read(CHUNK):    # the reader checks the CRC at the end
                        pass
            except (zipfile.BadZipFile, OSError, EOFError, ValueError) as e:
                raise PublishError("%s: entry %r is damaged (%s)." % (path, info.orig_filename, e))
    return report


def layout_warning(prefix):
    """A sentence when the game's folder would not be named "Ostrel", else None.

    The setup renames the game's folder to "Ostrel" only when that name is free
    (or is the game folder it made itself): where a folder of that name belongs
    to someone else, an archive with another folder name unpacks beside it
    under its own name, which a player finds hard to tell apart."""
    if prefix == "" or _split_name(prefix)[1] == GAME_FOLDER:
        return None
    return ("the game's executable sits in %r, not in a folder named %r: where the install folder already holds "
            "an %r of someone else's, the game is unpacked beside it as %r. Publish with --fix-layout to move "
            "the game's files into %r." % (prefix, GAME_FOLDER, GAME_FOLDER, prefix, GAME_FOLDER + "/"))


def fix_layout(src, dst, exe=DEFAULT_EXE):
    """Writes a copy of `src` whose game folder is "Ostrel" at the top."""
    with zipfile.ZipFile(src) as zf:
        infos = zf.infolist()
        prefix = find_game_prefix(infos, exe)
        if prefix is None:
            raise PublishError("%s has no %s in it: the setup needs the game's executable." % (src, exe))
        norm = prefix.replace("\\", "/").rstrip("/") + "/"
        outside = [i.orig_filename for i in infos
                   if not i.orig_filename.replace("\\", "/").startswith(norm) and not _is_dir(i)]
        if outside:
            raise PublishError("can't fix the layout of %s: %r lies outside the game's folder %r, and moving "
                               "only part of the game would break it." % (src, outside[0], prefix))
        with zipfile.ZipFile(dst, "w", allowZip64=True) as out:
            for info in infos:
                name = info.orig_filename.replace("\\", "/")
                if not name.startswith(norm):
                    continue    # a folder entry above the game's folder
                new = zipfile.ZipInfo(GAME_FOLDER + "/" + name[len(norm):], info.date_time)
                new.external_attr = info.external_attr
                new.compress_type = info.compress_type
                new.create_system = info.create_system
                if new.filename == GAME_FOLDER + "/":
                    continue
                if _is_dir(info):
                    out.writestr(new, b"")
                    continue
                with zf.open(info) as f, out.open(new, "w", force_zip64=info.file_size > 0x7FFFFFFF) as w:
                    shutil.copyfileobj(f, w, CHUNK)


# ------------------------------------------------------------ signing

def _need_cryptography():
    if ec is None:
        raise PublishError("signing needs Python's cryptography package (Debian: python3-cryptography).")


def public_key_text(public_key):
    """The form OSTREL_SIGNING_KEYS takes: base64 of the 65-byte uncompressed point."""
    _need_cryptography()
    point = public_key.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
    return base64.b64encode(point).decode("ascii")


def keygen(path):
    """Writes a new private key as PEM, readable by its owner only, and returns
    the public key's text. Never replaces an existing file."""
    _need_cryptography()
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise PublishError("%s already exists; keygen never replaces a key." % path)
    except OSError as e:
        raise PublishError("can't create %s (%s)." % (path, e.strerror or e))
    try:
        with os.fdopen(fd, "wb") as f:
            os.fchmod(f.fileno(), 0o600)
            f.write(pem)
            f.flush()
            os.fsync(f.fileno())
    except OSError as e:
        os.remove(path)
        raise PublishError("can't write %s (%s)." % (path, e.strerror or e))
    return public_key_text(key.public_key())


def load_signing_key(path):
    """The private key of a keygen file; refuses one others may read."""
    _need_cryptography()
    try:
        st = os.stat(path)
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise PublishError("can't read the signing key %s (%s)." % (path, e.strerror or e))
    if st.st_mode & 0o077:
        raise PublishError("the signing key %s can be read by others (mode %o); make it the owner's only "
                           "(chmod 600) and keep it off the server." % (path, st.st_mode & 0o777))
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except (ValueError, TypeError) as e:
        raise PublishError("%s isn't an unencrypted PEM private key (%s)." % (path, e))
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise PublishError("%s isn't a P-256 key; make one with tools/publish keygen." % path)
    return key


def sign(key, data):
    """The signature file's bytes for `data`."""
    _need_cryptography()
    r, s = utils.decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
    return base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")) + b"\n"


def verify(public_key, data, signature_file):
    """Whether a signature file signs `data`, read as strictly as the setup
    reads it: base64 of 64 bytes, then at most one line end."""
    _need_cryptography()
    text = signature_file
    if text.endswith(b"\r\n"):
        text = text[:-2]
    elif text.endswith(b"\n"):
        text = text[:-1]
    try:
        raw = base64.b64decode(text, validate=True)
    except ValueError:
        return False
    if len(raw) != 64 or base64.b64encode(raw) != text:
        return False
    der = utils.encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    try:
        public_key.verify(der, data, ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        return False
    return True


# ------------------------------------------------------------ the tree

def _copy_hashing(src, dst):
    h = hashlib.sha256()
    size = 0
    with open(src, "rb") as f, open(dst, "wb") as out:
        for chunk in iter(lambda: f.read(CHUNK), b""):
            h.update(chunk)
            out.write(chunk)
            size += len(chunk)
        out.flush()
        os.fsync(out.fileno())
    return h.hexdigest(), size


def check_launcher(path):
    try:
        with open(path, "rb") as f:
            head = f.read(2)
    except OSError as e:
        raise PublishError("can't read the launcher %s (%s)." % (path, e.strerror or e))
    if head != b"MZ":
        raise PublishError("%s isn't a Windows executable." % path)


def publish(launcher, archive, out_dir, exe=DEFAULT_EXE, fix=False, warn=print, sign_key=None):
    """Checks the input and writes (or updates) the tree at `out_dir`; with
    `sign_key` (a keygen file) the document's signature too.

    Everything is written into a temporary folder first: a new tree is renamed
    into place whole; into an existing tree the content files go first, then
    the install document and its signature last, so a server never announces a
    file it lacks nor a document without its signature. Returns the install
    document."""
    key = load_signing_key(sign_key) if sign_key else None
    check_launcher(launcher)
    report = check_archive(archive, exe)
    out_dir = os.path.abspath(out_dir)
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise PublishError("%s exists and isn't a folder." % out_dir)
    parent = os.path.dirname(out_dir)
    if not os.path.isdir(parent):
        raise PublishError("the folder %s doesn't exist." % parent)
    existing = os.path.isdir(out_dir)
    if existing and key is None and os.path.exists(os.path.join(out_dir, SIGNATURE_PATH)):
        # Its signature would then name the old document, and every setup
        # that checks signatures would refuse the new one.
        raise PublishError("%s is signed (%s); publish into it with --sign KEYFILE, or delete that file to "
                           "publish unsigned." % (out_dir, SIGNATURE_PATH))
    work = tempfile.mkdtemp(prefix=".publish-", dir=out_dir if existing else parent)
    try:
        os.chmod(work, 0o755)   # readable by a web server's own user
        game_src = archive
        warning = layout_warning(report.prefix)
        if warning and fix:
            game_src = os.path.join(work, "fixed.zip")
            fix_layout(archive, game_src, exe)
            report = check_archive(game_src, exe)
            warning = layout_warning(report.prefix)
        if warning:
            warn("warning: " + warning)

        stage = {}
        os.makedirs(os.path.join(work, "tree"))
        launcher_tmp = os.path.join(work, "launcher")
        launcher_sha, launcher_size = _copy_hashing(launcher, launcher_tmp)
        game_tmp = os.path.join(work, "game")
        game_sha, game_size = _copy_hashing(game_src, game_tmp)
        stage[API + "/app/" + launcher_sha] = launcher_tmp
        stage[API + "/install/game/" + game_sha] = game_tmp

        folder = GAME_FOLDER if report.prefix == "" else _split_name(report.prefix)[1]
        doc = {"launcher": {"sha256": launcher_sha, "size": launcher_size},
               "game": {"sha256": game_sha, "size": game_size, "unpacked": report.unpacked,
                        "folder": folder, "exe": exe}}
        doc_tmp = os.path.join(work, "install.json")
        with open(doc_tmp, "w") as f:
            json.dump(doc, f, indent=1, sort_keys=True)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        stage[DOC_PATH] = doc_tmp   # after the content: dicts keep insertion order
        if key is not None:
            with open(doc_tmp, "rb") as f:
                doc_bytes = f.read()    # exactly what the server will send
            signature = sign(key, doc_bytes)
            if not verify(key.public_key(), doc_bytes, signature):
                raise PublishError("the signature just made doesn't verify.")
            sig_tmp = os.path.join(work, "signature")
            with open(sig_tmp, "wb") as f:
                f.write(signature)
                f.flush()
                os.fsync(f.fileno())
            stage[SIGNATURE_PATH] = sig_tmp     # the very last

        root = out_dir if existing else os.path.join(work, "tree")
        for rel, src in stage.items():
            dst = os.path.join(root, rel)
            os.makedirs(os.path.dirname(dst), mode=0o755, exist_ok=True)
            os.chmod(src, 0o644)
            os.replace(src, dst)
        if not existing:
            for d, dirs, _ in os.walk(root):
                for x in dirs:
                    os.chmod(os.path.join(d, x), 0o755)
            os.chmod(root, 0o755)
            os.rename(root, out_dir)
        return doc
    finally:
        shutil.rmtree(work, ignore_errors=True)


def keygen_main(argv):
    import argparse
    ap = argparse.ArgumentParser(
        prog="publish keygen",
        description="Makes a signing key: writes the private key (PEM, owner-only) and prints the public key "
                    "in the form OSTREL_SIGNING_KEYS takes.")
    ap.add_argument("key_file", help="the private key file to create (never replaced)")
    a = ap.parse_args(argv)
    try:
        public = keygen(a.key_file)
    except PublishError as e:
        print("publish keygen: " + str(e), file=sys.stderr)
        return 1
    print("private key written to %s: keep it offline, never on the server. The public key, for "
          "-DOSTREL_SIGNING_KEYS=:" % os.path.abspath(a.key_file), file=sys.stderr)
    print(public)
    return 0


def main(argv):
    if argv[:1] == ["keygen"]:
        return keygen_main(argv[1:])
    import argparse
    ap = argparse.ArgumentParser(
        prog="publish",
        description="Checks a launcher and a game archive and writes the static tree the setup downloads from. "
                    "'publish keygen KEYFILE' makes a signing key.")
    ap.add_argument("launcher", help="the launcher executable (Ostrel Launcher.exe)")
    ap.add_argument("archive", help="the game's zip archive")
    ap.add_argument("out_dir", help="the tree to write or update")
    ap.add_argument("--exe", default=DEFAULT_EXE, help="the game's executable (default %(default)s)")
    ap.add_argument("--fix-layout", action="store_true",
                    help="rewrite the archive so the game's folder is named Ostrel")
    ap.add_argument("--sign", metavar="KEYFILE", help="sign the install document with this key (from keygen)")
    a = ap.parse_args(argv)
    try:
        doc = publish(a.launcher, a.archive, a.out_dir, a.exe, a.fix_layout,
                      warn=lambda s: print(s, file=sys.stderr), sign_key=a.sign)
    except PublishError as e:
        print("publish: " + str(e) + " Nothing was written.", file=sys.stderr)
        return 1
    except OSError as e:
        print("publish: %s (%s). Nothing was written." % (e.strerror or e, e.filename or ""), file=sys.stderr)
        return 1
    g = doc["game"]
    print("published to %s" % os.path.abspath(a.out_dir))
    print("  launcher %s  %d bytes" % (doc["launcher"]["sha256"], doc["launcher"]["size"]))
    print("  game     %s  %d bytes, %d unpacked" % (g["sha256"], g["size"], g["unpacked"]))
    if a.sign:
        print("  signed   %s" % SIGNATURE_PATH)
    return 0
