"""The publisher's release tool (tools/release.py) on real files and real openssl keys, and
the presence test server serving what it wrote."""
import base64
import hashlib
import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

TOOL = os.path.join(pwtest.SOURCE, "tools", "release.py")
FIXTURES = os.path.join(pwtest.BIN, "fixtures")


read = pwtest.read_bytes


def openssl(*args):
    return subprocess.run(["openssl", *args], check=True, capture_output=True).stdout


class ReleaseTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="pw_keys_")
        for name, bits in (("publisher", 2048), ("weak", 1024)):
            openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", f"rsa_keygen_bits:{bits}",
                    "-out", os.path.join(cls.keys, name + ".pem"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        self.repo = tempfile.mkdtemp(prefix="pw_release_")
        self.addCleanup(shutil.rmtree, self.repo, True)
        self.modules = os.path.join(self.repo, "modules")
        os.makedirs(self.modules)
        self.files = {}
        # Versions as the updater reads them: the single translation's block, the fixed
        # block when there are two, none without a version resource.
        for name in ("ver_two.dll", "ver_0409.dll", "ver_none.dll"):
            shutil.copy(os.path.join(FIXTURES, name), self.modules)
            self.files[name] = read(os.path.join(FIXTURES, name))
        self.files["notes.txt"] = b"plain text, no version\r\n"
        with open(os.path.join(self.modules, "notes.txt"), "wb") as f:
            f.write(self.files["notes.txt"])

    def tool(self, *args):
        return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True)

    def key(self, name):
        return os.path.join(self.keys, name + ".pem")

    def out(self, name):
        return os.path.join(self.repo, name)

    def test_unsigned_list_with_md5_rows(self):
        with open(self.out("list.sig"), "wb") as f:
            f.write(b"signature of an earlier list")
        done = self.tool(self.repo)
        self.assertEqual(done.returncode, 0, done.stderr)

        md5 = {name: hashlib.md5(data).hexdigest() for name, data in self.files.items()}
        self.assertEqual(read(self.out("list.txt")), (
            f"notes.txt|0|{md5['notes.txt']}\r\n"
            f"ver_0409.dll|0409.2.3.4|{md5['ver_0409.dll']}\r\n"
            f"ver_none.dll|0|{md5['ver_none.dll']}\r\n"
            f"ver_two.dll|2.0.0.7|{md5['ver_two.dll']}\r\n").encode("ascii"))
        self.assertEqual(read(self.out("list.md5")),
                         hashlib.md5(read(self.out("list.txt"))).hexdigest().encode("ascii"))
        self.assertFalse(os.path.exists(self.out("list.sig")))

    def test_signed_list_with_sha256_rows_expiry_folders(self):
        done = self.tool(self.repo, "--sha256", "--key", self.key("publisher"),
                         "--expires", "2031-05-06T07:08:09Z", "--folder", "notes.txt=docs",
                         "--download-only", "ver_none.dll")
        self.assertEqual(done.returncode, 0, done.stderr)

        sha = {name: hashlib.sha256(data).hexdigest() for name, data in self.files.items()}
        listed = read(self.out("list.txt"))
        self.assertEqual(listed, (
            "expires=2031-05-06T07:08:09Z\r\n"
            f"notes.txt|0|docs|{sha['notes.txt']}\r\n"
            f"ver_0409.dll|0409.2.3.4|{sha['ver_0409.dll']}\r\n"
            f"ver_none.dll|0|.|{sha['ver_none.dll']}|1\r\n"
            f"ver_two.dll|2.0.0.7|{sha['ver_two.dll']}\r\n").encode("ascii"))
        self.assertEqual(read(self.out("list.md5")),
                         hashlib.md5(listed).hexdigest().encode("ascii"))

        # openssl agrees that the signature covers exactly these bytes with this key.
        public = self.out("public.pem")
        with open(public, "wb") as f:
            f.write(openssl("pkey", "-in", self.key("publisher"), "-pubout"))
        self.assertEqual(len(read(self.out("list.sig"))), 256)
        verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature",
                                   self.out("list.sig"), self.out("list.txt")],
                                  capture_output=True)
        self.assertEqual(verified.returncode, 0, verified.stdout)

        # The value for update.ini is the key's DER SubjectPublicKeyInfo in base64.
        printed = self.tool("--public-key", self.key("publisher"))
        self.assertEqual(printed.returncode, 0, printed.stderr)
        self.assertEqual(base64.b64decode(printed.stdout.strip()),
                         openssl("pkey", "-in", self.key("publisher"), "-pubout",
                                 "-outform", "DER"))
        self.assertLess(len(printed.stdout.strip()), 1024)

        # The presence test server serves the signature as it is.
        with PresenceServer(repo=self.repo) as srv:
            conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10)
            conn.request("GET", srv.route("listsig"))
            answer = conn.getresponse()
            self.assertEqual((answer.status, answer.read()), (200, read(self.out("list.sig"))))
            conn.close()
            self.assertEqual([r.kind for r in srv.requests()], ["listsig"])

    def test_refusals_write_nothing(self):
        cases = [
            ("expiry without a key", ("--expires", "2031-01-01T00:00:00Z"), "--key"),
            ("a key under 2048 bits", ("--key", self.key("weak")), "2048"),
            ("an expiry in another form", ("--key", self.key("publisher"), "--expires",
                                           "2031-01-01 00:00:00"), "YYYY-MM-DD"),
            ("no such day", ("--key", self.key("publisher"), "--expires",
                             "2031-02-29T00:00:00Z"), "2031-02-29"),
            ("a folder for a file that is not there", ("--folder", "absent.dll=sub"),
             "absent.dll"),
        ]
        for what, args, message in cases:
            with self.subTest(what):
                done = self.tool(self.repo, *args)
                self.assertEqual(done.returncode, 1, done.stdout)
                self.assertIn(message, done.stderr)
                self.assertEqual(sorted(os.listdir(self.repo)), ["modules"])

        with open(os.path.join(self.modules, "bad|name.txt"), "wb") as f:
            f.write(b"x")
        done = self.tool(self.repo)
        self.assertEqual(done.returncode, 1)
        self.assertIn("bad|name.txt", done.stderr)
        self.assertEqual(sorted(os.listdir(self.repo)), ["modules"])


if __name__ == "__main__":
    unittest.main()
