"""Shared by the fault tests of the replacement: an install folder holding an old set of
files, a repository with the new set (MD5 and SHA-256 rows), and fast file watches."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

FIXTURES = os.path.join(pwtest.BIN, "fixtures")
BIG = 48 << 20  # large enough that its copy can be caught half-way


read = pwtest.read_bytes
write = pwtest.write_bytes


def pattern(size, salt):
    block = hashlib.sha256(salt).digest() * 2048  # 64 KiB
    return (block * (size // len(block) + 1))[:size]


def make_list(repo, rows):
    """rows: (name, data, sha256?, folder). Writes the modules and list.txt with digests
    computed here: SHA-256 rows carry 64 digits, the others MD5's 32."""
    os.makedirs(os.path.join(repo, "modules"), exist_ok=True)
    lines = []
    for name, data, sha, folder in rows:
        write(os.path.join(repo, "modules", name), data)
        digest = hashlib.sha256(data).hexdigest() if sha else hashlib.md5(data).hexdigest()
        lines.append(f"{name}|0|{folder or '.'}|{digest}")
    write(os.path.join(repo, "list.txt"), "".join(l + "\r\n" for l in lines).encode())


class Scenario:
    """An install folder with an old set of files and a repository with the new set."""

    def __init__(self, test, install_path=None, big=BIG, exe_for_wine=None):
        self.test = test
        self.repo = tempfile.mkdtemp(prefix="pw_repo_")
        test.addCleanup(shutil.rmtree, self.repo, True)
        if install_path is None:
            self.install = pwtest.Install()
            test.addCleanup(self.install.cleanup)
        else:
            self.install = pwtest.Install(exes=())
            shutil.rmtree(self.install.path, True)
            self.install.path = install_path
            shutil.copy(os.path.join(pwtest.BIN, "updater.exe"), install_path)
        self.exe_for_wine = exe_for_wine
        self.srv = PresenceServer(repo=self.repo).start()
        test.addCleanup(self.srv.stop)
        self.old = {"a.txt": b"old a\r\n", "big.bin": pattern(big // 4, b"old big"),
                    os.path.join("sub", "c.txt"): b"old c\r\n"}
        self.new = {"a.txt": b"new a\r\n", "n.txt": b"brand new\r\n",
                    "big.bin": pattern(big, b"new big"), os.path.join("sub", "c.txt"): b"new c\r\n"}
        for rel, data in self.old.items():
            write(self.install.join(rel), data)
        make_list(self.repo, [("a.txt", self.new["a.txt"], True, ""),
                              ("n.txt", self.new["n.txt"], False, ""),
                              ("big.bin", self.new["big.bin"], True, ""),
                              ("c.txt", self.new[os.path.join("sub", "c.txt")], False, "sub")])
        self.program = f"pwflt_{os.getpid()}.exe"
        shutil.copy(os.path.join(FIXTURES, "fixture_proc.exe"), self.install.join(self.program))
        config, update = pwtest.updater_ini(self.srv, host_id=12)
        update["Stop"] = {"1": self.program}
        update["Start"] = {"1": f"[EXEPATH]\\{self.program} marker [EXEPATH]\\started.txt"}
        self.install.write_ini("config.ini", config)
        self.install.write_ini("update.ini", update)

    def start(self):
        if self.exe_for_wine is None:
            proc = pwtest.start(self.install.exe(), ("tmp",))
        else:
            proc = subprocess.Popen([pwtest.WINERUN, self.exe_for_wine, "tmp"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.STDOUT,
                                    env={**os.environ, "PW_WINE_ARCH": pwtest.wine_arch()})
        self.test.addCleanup(pwtest.stop, proc)
        return proc

    def run(self, timeout=300):
        proc = self.start()
        proc.wait(timeout)
        return pwtest.log_messages(self.install.path)

    def log(self):
        return pwtest.log_messages(self.install.path)

    def installed(self):
        """The files of the old or new set that are present, with their bytes."""
        found = {}
        for rel in set(self.old) | set(self.new):
            path = self.install.join(rel)
            if os.path.exists(path):
                found[rel] = read(path)
        return found

    def content(self, rel):
        try:
            return read(self.install.join(rel))
        except OSError:
            return None

    def assert_set(self, which, context=""):
        expected = self.old if which == "old" else self.new
        got = self.installed()
        if got != expected:
            summary = {k: (v[:12], len(v)) for k, v in got.items()}
            self.test.fail(f"{context}: not the complete {which} set: {summary}\n"
                           + "\n".join(self.log()))


def wait_file(path, predicate, timeout=120.0):
    """Polls fast: the updater pauses two seconds after every copy, and that is when the
    test acts."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with open(path, "rb") as f:
                if predicate(f.read()):
                    return True
        except OSError:
            if predicate(None):
                return True
        time.sleep(0.005)
    return False
