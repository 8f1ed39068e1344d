"""Signed lists end to end: the publisher's release tool, the presence test server and the
real updater under Wine with the publisher's key in update.ini."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
import release  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

OLD, NEW = b"old content\r\n", b"new content, signed\r\n"
FIXTURES = os.path.join(pwtest.BIN, "fixtures")


read = pwtest.read_bytes


class SignedList(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="pw_keys_")
        for name in ("publisher", "stranger"):
            subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                            "rsa_keygen_bits:2048", "-out", os.path.join(cls.keys, name + ".pem")],
                           check=True, capture_output=True)
        cls.public_key = release.public_key(cls.key("publisher"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    @classmethod
    def key(cls, name):
        return os.path.join(cls.keys, name + ".pem")

    def setUp(self):
        self.repo = tempfile.mkdtemp(prefix="pw_repo_")
        self.addCleanup(shutil.rmtree, self.repo, True)
        os.makedirs(os.path.join(self.repo, "modules"))
        with open(os.path.join(self.repo, "modules", "data.txt"), "wb") as f:
            f.write(NEW)
        # A library whose version the release tool reads: 2.0.0.7 replaces 1,0,0,1.
        shutil.copy(os.path.join(FIXTURES, "ver_two.dll"),
                    os.path.join(self.repo, "modules", "lib.dll"))
        self.install = pwtest.Install()
        self.addCleanup(self.install.cleanup)
        with open(self.install.join("data.txt"), "wb") as f:
            f.write(OLD)
        shutil.copy(os.path.join(FIXTURES, "ver_comma.dll"), self.install.join("lib.dll"))
        self.srv = PresenceServer(repo=self.repo).start()
        self.addCleanup(self.srv.stop)

    def run_updater(self, public_key=None, signature_path=None):
        config, update = pwtest.updater_ini(self.srv)
        if public_key is not None:
            update["Update"]["PublicKey"] = public_key
        if signature_path is not None:
            update["Update"]["ListSignature"] = signature_path
        self.install.write_ini("config.ini", config)
        self.install.write_ini("update.ini", update)
        result = self.install.run(args=("tmp",), timeout=180)
        self.assertEqual(result.returncode, 0, result.stdout)
        return pwtest.log_messages(self.install.path)

    def assert_installed(self, new):
        self.assertEqual(read(self.install.join("data.txt")), NEW if new else OLD)
        self.assertEqual(read(self.install.join("lib.dll")),
                         read(os.path.join(FIXTURES, "ver_two.dll" if new else "ver_comma.dll")))

    def after_digest(self, log):
        """The lines that follow "DownloadList Hash: <digest>"."""
        listed = read(os.path.join(self.repo, "list.txt"))
        index = log.index("DownloadList Hash: " + pwtest.md5_hex(listed))
        return log[index + 1:]

    def test_valid_signature_updates(self):
        # MD5 rows, and SHA-256 rows: with those every installed byte traces to the key.
        for sha256 in (False, True):
            with self.subTest(sha256=sha256):
                self.srv.clear()
                shutil.rmtree(self.install.join("updatelog"), ignore_errors=True)
                with open(self.install.join("data.txt"), "wb") as f:
                    f.write(OLD)
                shutil.copy(os.path.join(FIXTURES, "ver_comma.dll"), self.install.join("lib.dll"))
                listed = release.release(self.repo, sha256=sha256, key=self.key("publisher"),
                                         expires="2099-12-31T23:59:59Z")
                self.assertEqual(len(listed.split(b"|")[2].split(b"\r\n")[0]),
                                 64 if sha256 else 32)
                log = self.run_updater(self.public_key, self.srv.route("listsig"))

                self.assert_installed(True)
                following = self.after_digest(log)
                self.assertEqual(following[:2], ["DownloadList: signature ok", "CheckList: 2"])
                self.assertIn("CheckList: 1,0,0,1 -> 2.0.0.7 [lib.dll]", following)
                self.assertEqual(log[-1], "Complete: ok")
                self.assertEqual([r.path for r in self.srv.requests("complete")],
                                 ["/pw/complete/12/2.0.0.7"])
                kinds = [r.kind for r in self.srv.requests()]
                self.assertEqual(kinds[:3], ["list", "listhash", "listsig"])
                self.assertEqual(kinds.count("listsig"), 1)
                self.assertEqual(self.srv.requests("listsig")[0].answer, 200)

    def test_refused_lists_download_nothing(self):
        def change_one_byte():
            release.release(self.repo, key=self.key("publisher"))
            path = os.path.join(self.repo, "list.txt")
            data = bytearray(read(path))
            data[-3] ^= 0x01  # a digit of the row's digest; the list digest follows the bytes
            with open(path, "wb") as f:
                f.write(bytes(data))

        cases = [
            ("one changed byte", change_one_byte, self.public_key,
             ["DownloadList: signature unmatch"], 1),
            ("signed with another key",
             lambda: release.release(self.repo, key=self.key("stranger")), self.public_key,
             ["DownloadList: signature unmatch"], 1),
            ("no signature on the server", lambda: release.release(self.repo), self.public_key,
             ["DownloadList Signature: not found"], 1),
            ("a key that does not parse",
             lambda: release.release(self.repo, key=self.key("publisher")),
             self.public_key[:40] + "%%%" + self.public_key[43:],
             ["DownloadList: public key error"], 0),
            ("an expired list",
             lambda: release.release(self.repo, key=self.key("publisher"),
                                     expires="2020-01-01T00:00:00Z"), self.public_key,
             ["DownloadList: signature ok", "DownloadList: list expired"], 1),
        ]
        for what, publish, public_key, lines, signature_requests in cases:
            with self.subTest(what):
                self.srv.clear()
                shutil.rmtree(self.install.join("updatelog"), ignore_errors=True)
                publish()
                log = self.run_updater(public_key, self.srv.route("listsig"))
                self.assertEqual(self.after_digest(log), lines, log)
                self.assert_installed(False)
                self.assertEqual(self.srv.requests("module"), [])
                self.assertEqual(len(self.srv.requests("listsig")), signature_requests)
                self.assertFalse(os.path.exists(self.install.join("updatetmp", "data.txt")))
                # Stopped like any failed list download: the log still goes up.
                posts = self.srv.requests("logpost")
                self.assertEqual(len(posts), 1)
                self.assertIn(lines[-1].encode(), posts[0].field("impfile")["data"])

    def test_without_a_key_nothing_changes(self):
        # Even a signed, long expired list with its signature path configured: no key, no
        # signature request, no expiry.
        listed = release.release(self.repo, key=self.key("publisher"),
                                 expires="2020-01-01T00:00:00Z")
        log = self.run_updater(signature_path=self.srv.route("listsig"))

        self.assert_installed(True)
        digest = pwtest.md5_hex(listed)
        self.assertEqual(log[:5], [
            "updater: boot",
            f"DownloadList: from:127.0.0.1 port:{self.srv.port} ssl:0",
            "DownloadList: hash:" + digest,
            "DownloadList Hash: " + digest,
            "CheckList: 2",
        ])
        self.assertEqual(self.srv.requests("listsig"), [])
        self.assertEqual([r.kind for r in self.srv.requests()][:3],
                         ["list", "listhash", "module"])
        self.assertEqual(log[-1], "Complete: ok")


if __name__ == "__main__":
    unittest.main()
