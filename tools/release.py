#!/usr/bin/env python3
"""Publishes an update repository: the list, its digest and, with a key, its signature.

    python3 tools/release.py REPO [--sha256] [--key KEY.pem [--expires-in DAYS | --expires T]]
                             [--folder NAME=SUBFOLDER ...] [--download-only NAME ...]

REPO/modules holds the files to publish (served as Modules/<name>). The tool writes
    REPO/list.txt   one row per file: name|version|digest, or name|version|folder|digest
                    when --folder names an install subfolder (plus |1 for --download-only);
                    the version is the ProductVersion that the updater reads from the file's
                    version resource, "0" for a file without one
    REPO/list.md5   the 32 lower-case hexadecimal digits of list.txt's MD5, nothing else
    REPO/list.sig   with --key: RSA PKCS #1 v1.5 signature with SHA-256 of list.txt's exact
                    bytes, as "openssl dgst -sha256 -sign" writes it
Row digests are MD5 unless --sha256 asks for SHA-256 (updaters that know SHA-256 rows
only). --expires (YYYY-MM-DDTHH:MM:SSZ) or --expires-in puts the line "expires=..." first in
a signed list: updaters that check signatures refuse the list after that time.

    python3 tools/release.py --public-key KEY.pem

prints the key's PublicKey value for update.ini (base64 of its DER SubjectPublicKeyInfo).
Needs Python 3 and openssl on the PATH; python3-pefile reads the version resources.
"""
import argparse
import base64
import datetime
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile

MIN_KEY_BITS = 2048
# The updater's choice when a file has no single translation: Japanese, Unicode.
FALLBACK_TRANSLATION = "041104b0"


class ReleaseError(Exception):
    pass


def load_pefile():
    try:
        import pefile
    except ImportError:
        # Debian's python3-pefile is pure Python: an interpreter of its own (a virtual
        # environment, a version manager) can use it from the system's package folder.
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import pefile
        except ImportError as e:
            raise ReleaseError("python3-pefile is needed to read version resources") from e
        finally:
            sys.path.remove("/usr/lib/python3/dist-packages")
    return pefile


def version_resource(path):
    """The raw VS_VERSIONINFO block of a PE file, None when it has none."""
    pefile = load_pefile()
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError:
        return None
    try:
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for kind in resources.entries if resources else []:
            if kind.id != pefile.RESOURCE_TYPE["RT_VERSION"]:
                continue
            for name in kind.directory.entries:
                for lang in name.directory.entries:
                    data = lang.data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
        return None
    finally:
        pe.close()


def version_nodes(block, offset=0, end=None):
    """The children of a version-resource node: (key, value bytes, children offset, end)."""
    end = len(block) if end is None else end
    while offset + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        if length == 0:
            break
        key_end = offset + 6
        while key_end + 1 < len(block) and block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[offset + 6:key_end].decode("utf-16-le", "replace")
        value_start = (key_end + 2 + 3) & ~3
        # Text values count characters, binary ones bytes.
        value_size = value_length * 2 if kind == 1 else value_length
        value = block[value_start:value_start + value_size]
        children = (value_start + value_size + 3) & ~3
        yield key, value, children, offset + length
        offset = (offset + length + 3) & ~3


def product_version(path):
    """The ProductVersion the updater reads from the file, or None without one."""
    block = version_resource(path)
    if not block:
        return None
    root = next(version_nodes(block), None)
    if root is None or root[0] != "VS_VERSION_INFO":
        return None
    translations, tables = [], {}
    for key, _, children, end in version_nodes(block, root[2], root[3]):
        for sub_key, value, sub_children, sub_end in version_nodes(block, children, end):
            if key == "VarFileInfo" and sub_key == "Translation":
                translations = [value[i:i + 4] for i in range(0, len(value) - 3, 4)]
            elif key == "StringFileInfo":
                tables[sub_key.lower()] = {
                    k: v.decode("utf-16-le", "replace").rstrip("\0")
                    for k, v, _, _ in version_nodes(block, sub_children, sub_end)}
    # As the updater does: the single translation named, or the fixed fallback.
    chosen = FALLBACK_TRANSLATION
    if len(translations) == 1:
        lang, codepage = struct.unpack("<HH", translations[0])
        chosen = f"{lang:04x}{codepage:04x}"
    return tables.get(chosen, {}).get("ProductVersion")


def list_field(text, what, name):
    """A column of list.txt: plain ASCII without the separator or line ends."""
    if not text or re.search(r"[|\r\n]", text) or not text.isascii():
        raise ReleaseError(f"{name}: {what} {text!r} can't be a list column "
                           "(empty, not ASCII, or holds '|' or a line end)")
    return text


def utc_time(text):
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", text):
        raise ReleaseError(f"expiry {text!r} is not YYYY-MM-DDTHH:MM:SSZ")
    try:
        datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")
    except ValueError as e:
        raise ReleaseError(f"expiry {text!r}: {e}") from e
    return text


def openssl(*args, data=None):
    try:
        done = subprocess.run(["openssl", *args], input=data, capture_output=True)
    except FileNotFoundError as e:
        raise ReleaseError("openssl is not on the PATH") from e
    if done.returncode != 0:
        raise ReleaseError(f"openssl {args[0]}: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout


def public_key(key_file):
    """PublicKey value for update.ini: base64 of the key's DER SubjectPublicKeyInfo."""
    der = openssl("pkey", "-in", key_file, "-pubout", "-outform", "DER")
    return base64.b64encode(der).decode("ascii")


def sign(key_file, data):
    """The signature of `data`, checked against the key's own public half."""
    with tempfile.TemporaryDirectory(prefix="release_") as tmp:
        listed = os.path.join(tmp, "list.txt")
        with open(listed, "wb") as f:
            f.write(data)
        signature = openssl("dgst", "-sha256", "-sign", key_file, listed)
        if len(signature) * 8 < MIN_KEY_BITS:
            raise ReleaseError(f"{key_file}: key shorter than {MIN_KEY_BITS} bits; "
                               "updaters refuse it")
        pub, sig = os.path.join(tmp, "pub.pem"), os.path.join(tmp, "list.sig")
        with open(pub, "wb") as f:
            f.write(openssl("pkey", "-in", key_file, "-pubout"))
        with open(sig, "wb") as f:
            f.write(signature)
        openssl("dgst", "-sha256", "-verify", pub, "-signature", sig, listed)
    return signature


def build_list(modules, sha256=False, folders=None, download_only=(), expires=None):
    """list.txt's bytes for the files directly inside `modules`."""
    folders = folders or {}
    names = sorted(n for n in os.listdir(modules) if os.path.isfile(os.path.join(modules, n)))
    if not names:
        raise ReleaseError(f"{modules}: no files to publish")
    for name in list(folders) + list(download_only):
        if name not in names:
            raise ReleaseError(f"{name}: not a file in {modules}")
    lines = [f"expires={expires}"] if expires else []
    for name in names:
        path = os.path.join(modules, name)
        with open(path, "rb") as f:
            data = f.read()
        digest = (hashlib.sha256 if sha256 else hashlib.md5)(data).hexdigest()
        version = product_version(path) or "0"
        columns = [list_field(name, "name", name), list_field(version, "version", name)]
        folder = folders.get(name)
        if folder is not None or name in download_only:
            columns.append(list_field(folder or ".", "folder", name))
        columns.append(digest)
        if name in download_only:
            columns.append("1")
        lines.append("|".join(columns))
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def write(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def release(repo, sha256=False, key=None, expires=None, folders=None, download_only=()):
    """Writes list.txt, list.md5 and, with a key, list.sig into `repo`; returns the list."""
    if expires and not key:
        raise ReleaseError("an expiry only counts in a signed list: give --key")
    listed = build_list(os.path.join(repo, "modules"), sha256, folders, download_only, expires)
    signature = sign(key, listed) if key else None
    write(os.path.join(repo, "list.txt"), listed)
    write(os.path.join(repo, "list.md5"), hashlib.md5(listed).hexdigest().encode("ascii"))
    sig_path = os.path.join(repo, "list.sig")
    if signature is not None:
        write(sig_path, signature)
    elif os.path.exists(sig_path):
        # A signature of an earlier list would only make signed updaters refuse this one.
        os.remove(sig_path)
    return listed


def main(argv=None):
    parser = argparse.ArgumentParser(description="Publishes an update repository.")
    parser.add_argument("repo", nargs="?", help="folder holding modules/; receives the list")
    parser.add_argument("--sha256", action="store_true", help="SHA-256 row digests")
    parser.add_argument("--key", help="private key (PEM) that signs the list")
    parser.add_argument("--expires", help="expiry of the signed list, YYYY-MM-DDTHH:MM:SSZ")
    parser.add_argument("--expires-in", type=float, metavar="DAYS",
                        help="expiry of the signed list, in days from now")
    parser.add_argument("--folder", action="append", default=[], metavar="NAME=SUBFOLDER",
                        help="install the file in a subfolder of the program folder")
    parser.add_argument("--download-only", action="append", default=[], metavar="NAME",
                        help="fetch and verify the file, but leave the installed one")
    parser.add_argument("--public-key", metavar="KEY.pem",
                        help="print the key's PublicKey value for update.ini and end")
    args = parser.parse_args(argv)
    try:
        if args.public_key:
            print(public_key(args.public_key))
            return 0
        if not args.repo:
            parser.error("the repository folder is missing")
        if args.expires and args.expires_in is not None:
            parser.error("give --expires or --expires-in, not both")
        expires = utc_time(args.expires) if args.expires else None
        if args.expires_in is not None:
            when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(
                days=args.expires_in)
            expires = when.strftime("%Y-%m-%dT%H:%M:%SZ")
        folders = {}
        for item in args.folder:
            name, sep, folder = item.partition("=")
            if not sep:
                parser.error(f"--folder {item!r}: expected NAME=SUBFOLDER")
            folders[name] = folder
        listed = release(args.repo, args.sha256, args.key, expires, folders, args.download_only)
    except (ReleaseError, OSError) as e:
        print(f"release: {e}", file=sys.stderr)
        return 1
    rows = listed.count(b"\r\n") - (1 if expires else 0)
    print(f"release: {rows} file(s), {'SHA-256' if args.sha256 else 'MD5'} digests"
          + (", signed" if args.key else "") + (f", expires {expires}" if expires else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
