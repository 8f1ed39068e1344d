#!/usr/bin/env python3
"""Builds the Windows Installer package of both programs from one build folder.

    installer/package.py [BUILD] [--version V] [--output FILE]

BUILD defaults to build/ (the shipped 32-bit programs in BUILD/bin); the package lands in
BUILD/Pellwick-VERSION.msi. The version is the project's (BUILD/CMakeCache.txt), which the
programs' version resources carry too; --version gives another one to the package only
(the tests build an older package that way). With PW_SIGN_PFX (a PFX file) and
PW_SIGN_PASSWORD (its password) set, both programs, the custom-action DLL and the package
are signed with osslsigncode; without them the package is built unsigned.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PROGRAMS = {"UpdaterExe": "updater.exe", "PellwickExe": "Pellwick.exe"}
# Public properties that must reach the installation's server side (elevated or managed
# installations pass only these on).
SECURE = ("SERVER PORT SSL HOSTID STATUSPATH CHECKPATH CONFPATH VERSIONPATH INSTALLPATH "
          "LISTPATH LISTHASHPATH MODULESPATH COMPLETEPATH LOGPATH PROXYSERVER PROXYPORT "
          "PROXYUSER PROXYPASSWORD UPDATETIME UPDATEDELAY INSTALLDIR").split()


UPGRADE_CODE = "3F6B8E21-5A0C-4D7B-9E42-7C1D2A9B5E63"


class Failure(Exception):
    pass


def run(*args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise Failure("%s failed (%d): %s" % (args[0], done.returncode,
                                               (done.stderr or done.stdout).strip()))
    return done.stdout


def project_version(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("CMAKE_PROJECT_VERSION:"):
                    return line.split("=", 1)[1].strip()
    except FileNotFoundError:
        pass
    raise Failure("no project version in %s/CMakeCache.txt: build first" % build)


def file_version(path):
    """The product version of a PE file's version resource, as "a.b.c.d"."""
    with open(path, "rb") as f:
        data = f.read()
    # VS_FIXEDFILEINFO starts with its signature; the product version follows the file's.
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        raise Failure("%s has no version resource" % path)
    ms, ls = struct.unpack_from("<II", data, at + 16)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def sign(path, pfx, password_file):
    signed = path + ".signed"
    run("osslsigncode", "sign", "-pkcs12", pfx, "-readpass", password_file, "-h", "sha256",
        "-n", "Pellwick", "-in", path, "-out", signed)
    os.replace(signed, path)


def idt_rows(text):
    lines = text.replace("\r\n", "\n").rstrip("\n").split("\n")
    return lines[:3], lines[3:]


def merge_sequence(msi, fragment, work):
    """InstallExecuteSequence of wixl with the fragment's rows in place of its own."""
    head, rows = idt_rows(run("msiinfo", "export", msi, "InstallExecuteSequence"))
    with open(fragment, encoding="utf-8") as f:
        _, extra = idt_rows(f.read())
    names = {row.split("\t", 1)[0] for row in extra}
    merged = [row for row in rows if row.split("\t", 1)[0] not in names] + extra
    path = os.path.join(work, "InstallExecuteSequence.idt")
    with open(path, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(head + merged) + "\n")
    run("msibuild", msi, "-i", path)


def package(build, version, output, own_version):
    bin_dir = os.path.join(build, "bin")
    pfx = os.environ.get("PW_SIGN_PFX", "")
    password = os.environ.get("PW_SIGN_PASSWORD", "")
    work = tempfile.mkdtemp(prefix="pw_package_")
    try:
        stage = os.path.join(work, "bin")
        os.makedirs(stage)
        for name in list(PROGRAMS.values()) + ["pwsetup.dll"]:
            source = os.path.join(bin_dir, name)
            if not os.path.isfile(source):
                raise Failure("%s is missing: build first" % source)
            shutil.copy(source, stage)
        versions = {key: file_version(os.path.join(stage, name))
                    for key, name in PROGRAMS.items()}
        for key, found in versions.items():
            if own_version and found != version:
                raise Failure("%s carries %s, the project %s: rebuild %s"
                              % (PROGRAMS[key], found, version, build))
        password_file = None
        if pfx:
            password_file = os.path.join(work, "password")
            fd = os.open(password_file, os.O_WRONLY | os.O_CREAT, 0o600)
            with os.fdopen(fd, "w") as f:
                f.write(password)
            for name in list(PROGRAMS.values()) + ["pwsetup.dll"]:
                sign(os.path.join(stage, name), pfx, password_file)

        msi = os.path.join(work, "package.msi")
        # wixl takes only relative sources, from the folder of the .wxs.
        shutil.copy(os.path.join(HERE, "Pellwick.wxs"), work)
        # One product code per version, whoever builds it: "msiexec /x" of any build of a
        # version removes that version.
        product = str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), version)).upper()
        run("wixl", "-a", "x86", "-D", "Version=" + version, "-D", "ProductCode=" + product,
            "-D", "UpgradeCode=" + UPGRADE_CODE, "-D", "BinDir=bin",
            "-o", msi, "Pellwick.wxs", cwd=work)
        run("msibuild", msi, "-i", os.path.join(HERE, "CustomAction.idt"))
        merge_sequence(msi, os.path.join(HERE, "InstallExecuteSequence.idt"), work)
        # wixl leaves files unversioned; with versions a repair keeps a newer file that the
        # updater installed.
        queries = ["UPDATE `File` SET `Version`='%s', `Language`='1041' WHERE `File`='%s'"
                   % (v, key) for key, v in versions.items()]
        # wixl puts every RemoveFolder in the component's own folder.
        queries.append("UPDATE `RemoveFile` SET `DirProperty`='TAVRIKDIR' WHERE "
                       "`FileKey`='RemoveTavrikDir'")
        secure = run("msiinfo", "export", msi, "Property")
        current = re.search(r"^SecureCustomProperties\t(.*)$", secure, re.M)
        names = (current.group(1).strip().split(";") if current else []) + SECURE
        queries.append("UPDATE `Property` SET `Value`='%s' WHERE `Property`="
                       "'SecureCustomProperties'" % ";".join(names))
        for query in queries:
            run("msibuild", msi, "-q", query)

        if pfx:
            sign(msi, pfx, password_file)
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        shutil.move(msi, output)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("package: %s (%s, %s)" % (output, version,
                                    "signed" if pfx else
                                    "unsigned: set PW_SIGN_PFX and PW_SIGN_PASSWORD to sign"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build"))
    parser.add_argument("--version", help="the package's version (default: the project's)")
    parser.add_argument("--output", help="the .msi to write")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    try:
        version = args.version or project_version(build)
        if not re.fullmatch(r"\d+\.\d+\.\d+(\.\d+)?", version):
            raise Failure("version %r is not a.b.c.d" % version)
        output = args.output or os.path.join(build, "Pellwick-%s.msi" % version)
        package(build, version, os.path.abspath(output), own_version=not args.version)
    except Failure as e:
        print("package: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
