"""The presence test server itself, over real loopback HTTP (no Wine needed)."""
import hashlib
import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from presence_server import Answer, PresenceServer  # noqa: E402


def raw_exchange(port, request, read_all=True):
    """Sends raw request bytes; returns everything the server sent before closing."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(request)
        if not read_all:
            return b""
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk


def get(srv, path, method="GET", body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.getheaders(), resp.read()
    finally:
        conn.close()


class PresenceServerTest(unittest.TestCase):
    def setUp(self):
        self.repo = tempfile.mkdtemp(prefix="pw_repo_")
        self.addCleanup(shutil.rmtree, self.repo, True)
        self.list_bytes = pwtest.make_repo(
            self.repo, {"a.dll": b"\x00MZ module a", "b.exe": b"b" * 3000},
            rows=[("a.dll", "1.0.0.2"), ("b.exe", "0", "sub", True)])
        self.srv = PresenceServer(repo=self.repo).start()
        self.addCleanup(self.srv.stop)

    def test_default_answers_of_every_route(self):
        cases = [
            ("GET", "/pw/list.txt", 200, self.list_bytes, "list"),
            ("GET", "/pw/list.md5", 200, hashlib.md5(self.list_bytes).hexdigest().encode(),
             "listhash"),
            ("GET", "/pw/list.sig", 404, b"", "listsig"),
            ("GET", "/pw/modules/a.dll", 200, b"\x00MZ module a", "module"),
            ("GET", "/pw/modules/missing.dll", 404, b"", "module"),
            ("GET", "/pw/modules/../list.txt", 404, b"", "module"),
            ("GET", "/pw/complete/12/1.0.0.2", 200, b"ok", "complete"),
            ("HEAD", "/", 200, b"", "loghead"),
            ("GET", "/pw/install/HOST/user", 200, b"1", "install"),
            ("GET", "/pw/version/12/1.0.2.0", 200, b"ok", "version"),
            ("GET", "/pw/check/12", 200, b"0", "check"),
            ("GET", "/pw/conf/0/HOST", 200, self.srv.conf, "conf"),
            ("GET", "/pw/status/12/3", 200, b"1", "status"),
            ("GET", "/elsewhere", 404, b"", "other"),
        ]
        for method, path, status, body, kind in cases:
            with self.subTest(path=path):
                got_status, headers, got_body = get(self.srv, path, method)
                self.assertEqual((got_status, got_body), (status, body))
                self.assertEqual(dict(headers)["Content-Length"], str(len(body)))
                self.assertEqual(self.srv.requests()[-1].kind, kind)
        self.assertEqual(self.srv.requests(kind="status")[0].segments, ["12", "3"])

    def test_digest_follows_the_list_bytes_and_a_missing_list_is_404(self):
        with open(os.path.join(self.repo, "list.txt"), "wb") as f:
            f.write(b"x.dll|0|abc\n")
        self.assertEqual(get(self.srv, "/pw/list.md5")[2],
                         hashlib.md5(b"x.dll|0|abc\n").hexdigest().encode())
        os.remove(os.path.join(self.repo, "list.txt"))
        self.assertEqual(get(self.srv, "/pw/list.txt")[0], 404)
        self.assertEqual(get(self.srv, "/pw/list.md5")[0], 404)

    def test_new_conf_makes_the_check_answer_1_once(self):
        self.srv.set_conf(b"<config/>")
        self.srv.script("/pw/check/12", fail=1, fail_with=503, once=True)
        self.assertEqual([get(self.srv, "/pw/check/12")[::2] for _ in range(3)],
                         [(503, b""), (200, b"1"), (200, b"0")])
        self.assertEqual(get(self.srv, "/pw/conf/12")[2], b"<config/>")

    def test_fail_n_times_then_answer(self):
        self.srv.script("/pw/list.md5", fail=2, fail_with=503, body="0123")
        self.srv.script("/pw/complete", prefix=True, fail=1, fail_with="drop")
        answers = [get(self.srv, "/pw/list.md5")[::2] for _ in range(4)]
        self.assertEqual(answers, [(503, b""), (503, b""), (200, b"0123"), (200, b"0123")])
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            get(self.srv, "/pw/complete/12/1.0.0.1")
        self.assertEqual(get(self.srv, "/pw/complete/12/1.0.0.1")[::2], (200, b"ok"))
        self.assertEqual([r.answer for r in self.srv.requests(kind="complete")], ["drop", 200])

    def test_sequence_once_and_unscript(self):
        self.srv.script("/pw/status/12/3", sequence=[Answer(body="-1"), Answer(empty=True)],
                        once=True)
        bodies = [get(self.srv, "/pw/status/12/3")[::2] for _ in range(3)]
        self.assertEqual(bodies, [(200, b"-1"), (200, b""), (200, b"1")])
        self.srv.script("/pw/status/12/3", status=500)
        self.assertEqual(get(self.srv, "/pw/status/12/3")[0], 500)
        self.srv.unscript("/pw/status/12/3")
        self.assertEqual(get(self.srv, "/pw/status/12/3")[2], b"1")

    def test_answer_framing_on_the_wire(self):
        self.srv.script("/pw/version/12/1.0.2.0", chunked=True, body=b"ok")
        reply = raw_exchange(self.srv.port, b"GET /pw/version/12/1.0.2.0 HTTP/1.1\r\n"
                                            b"Host: x\r\nConnection: close\r\n\r\n")
        head, _, body = reply.partition(b"\r\n\r\n")
        self.assertIn(b"Transfer-Encoding: chunked", head)
        self.assertNotIn(b"Content-Length", head)
        self.assertEqual(body, b"1\r\no\r\n1\r\nk\r\n0\r\n\r\n")

        self.srv.script("/pw/modules/a.dll", length=100)
        reply = raw_exchange(self.srv.port, b"GET /pw/modules/a.dll HTTP/1.1\r\nHost: x\r\n\r\n")
        head, _, body = reply.partition(b"\r\n\r\n")
        self.assertIn(b"Content-Length: 100\r\n", head)
        self.assertEqual(body, b"\x00MZ module a", "the connection closes after the short body")

        self.srv.script("/pw/check/12", no_length=True, body=b"1")
        reply = raw_exchange(self.srv.port, b"GET /pw/check/12 HTTP/1.1\r\nHost: x\r\n\r\n")
        head, _, body = reply.partition(b"\r\n\r\n")
        self.assertNotIn(b"Content-Length", head)
        self.assertEqual(body, b"1")

        self.srv.script("/pw/conf/12", raw=b"HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nab")
        reply = raw_exchange(self.srv.port, b"GET /pw/conf/12 HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(reply, b"HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nab")
        self.assertEqual([r.answer for r in self.srv.requests()[-2:]], [200, "raw"])

    def test_raw_path_and_headers_are_recorded_as_sent(self):
        raw_exchange(self.srv.port, b"GET /pw/status/0/3/PC%E3%81%82/\xe9%20x HTTP/1.1\r\n"
                                    b"Host: h\r\nUser-Agent: kqbvtnzr\r\nX-Odd-CASE: v\r\n"
                                    b"Connection: close\r\n\r\n")
        r = self.srv.wait_for("status", timeout=5)
        self.assertEqual(r.path, "/pw/status/0/3/PC%E3%81%82/\xe9%20x")
        self.assertEqual(r.segments, ["0", "3", "PC%E3%81%82", "\xe9%20x"])
        self.assertEqual([k for k, _ in r.headers], ["Host", "User-Agent", "X-Odd-CASE",
                                                     "Connection"])
        self.assertEqual(r.header("user-agent"), "kqbvtnzr")

    def test_multipart_upload_is_parsed_and_kept_whole(self):
        boundary = "-----AJHFOUEIHDJISO"
        content = b"line 1\r\n--not a boundary\r\n\x00\xff"
        body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"impfile\"; "
                f"filename=\"C:\\pw\\logtmp.txt\"\r\nContent-Transfer-Encoding: binary\r\n\r\n"
                ).encode() + content + (
                f"\r\n--{boundary}\r\nContent-Disposition: form-data; "
                f"name=\"submitToUpload\"\r\n\r\n1\r\n--{boundary}--\r\n").encode()
        status, _, answer = get(self.srv, "/pw/log/12", "POST", body, {
            "Content-Type": f"multipart/form-data; boundary={boundary}"})
        self.assertEqual((status, answer), (200, b"ok"))
        r = self.srv.requests(kind="logpost")[0]
        self.assertEqual(r.body, body)
        self.assertIsNone(r.multipart_error)
        self.assertEqual([(f["name"], f["filename"], f["data"]) for f in r.fields],
                         [("impfile", "C:\\pw\\logtmp.txt", content),
                          ("submitToUpload", None, b"1")])
        self.assertEqual(r.fields[0]["headers"][1], ("Content-Transfer-Encoding", "binary"))

        get(self.srv, "/pw/log/12", "POST", body[:-4], {
            "Content-Type": f"multipart/form-data; boundary={boundary}"})
        self.assertIsNotNone(self.srv.requests(kind="logpost")[1].multipart_error)

    def test_delay_holds_the_answer(self):
        self.srv.script("/pw/check/12", delay=0.3)
        started = time.monotonic()
        self.assertEqual(get(self.srv, "/pw/check/12")[2], b"0")
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        self.assertEqual(self.srv.requests(kind="check")[0].answer, 200)

    def test_https_with_a_generated_certificate(self):
        if not shutil.which("openssl"):
            self.skipTest("openssl is not installed")
        folder = tempfile.mkdtemp(prefix="pw_tls_")
        self.addCleanup(shutil.rmtree, folder, True)
        cert, key = pwtest.make_cert(folder, "elsewhere.example", expired=True)
        with PresenceServer(tls=(cert, key)) as tls_srv:
            # A client that checks the certificate refuses it; the server carries on.
            with self.assertRaises(ssl.SSLError):
                conn = http.client.HTTPSConnection("127.0.0.1", tls_srv.port, timeout=5,
                                                   context=ssl.create_default_context())
                conn.request("GET", "/pw/status/12/1")
            conn = http.client.HTTPSConnection("127.0.0.1", tls_srv.port, timeout=5,
                                               context=ssl._create_unverified_context())
            conn.request("GET", "/pw/status/12/1")
            self.assertEqual(conn.getresponse().read(), b"1")
            cert_der = conn.sock.getpeercert(binary_form=True)
            conn.close()
            self.assertEqual(tls_srv.url, f"https://127.0.0.1:{tls_srv.port}")
            self.assertEqual([r.path for r in tls_srv.requests()], ["/pw/status/12/1"])
        with open(cert) as f:
            self.assertEqual(ssl.PEM_cert_to_DER_cert(f.read()), cert_der)
        dates = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-enddate",
                                "-subject"], capture_output=True, text=True).stdout
        self.assertIn("2020", dates)
        self.assertIn("elsewhere.example", dates)

    def test_connections_are_numbered_and_closed_on_stop(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.srv.port, timeout=5)
        self.addCleanup(conn.close)
        conn.request("HEAD", "/")
        conn.getresponse().read()
        conn.request("GET", "/pw/status/12/1")
        self.assertEqual(conn.getresponse().read(), b"1")
        get(self.srv, "/pw/status/12/1")
        self.assertEqual([r.connection for r in self.srv.requests()], [1, 1, 2])
        self.srv.stop()
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            conn.request("GET", "/pw/status/12/1")
            conn.getresponse()
        self.assertEqual(len(self.srv.requests()), 3)

    def test_command_line_prints_the_port_and_serves_records_and_scripts(self):
        proc = subprocess.Popen([sys.executable, os.path.join(pwtest.SOURCE, "tools",
                                                              "presence_server.py"),
                                 "--repo", self.repo], stdout=subprocess.PIPE)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.wait, 5)
        self.addCleanup(proc.terminate)
        port = int(proc.stdout.readline())

        def call(method, path, body=None):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            conn.request(method, path, body=body)
            resp = conn.getresponse()
            data = resp.read()
            conn.close()
            return resp.status, data

        self.assertEqual(call("POST", "/__script", json.dumps(
            {"path": "/pw/list.txt", "fail": 1, "fail_with": 404}))[0], 200)
        self.assertEqual(call("GET", "/pw/list.txt")[0], 404)
        self.assertEqual(call("GET", "/pw/list.txt"), (200, self.list_bytes))
        records = json.loads(call("GET", "/__records?kind=list")[1])
        self.assertEqual([(r["path"], r["answer"]) for r in records],
                         [("/pw/list.txt", 404), ("/pw/list.txt", 200)])
        live = proc.stdout.readline().decode()
        self.assertIn("GET  /pw/list.txt  [list]  -> 404", live)


if __name__ == "__main__":
    unittest.main()
