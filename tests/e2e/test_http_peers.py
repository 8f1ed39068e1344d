"""The HTTP client against real peers: an HTTPS server with a certificate no one should
trust, tinyproxy with and without basic authentication, and nginx serving a folder.

The client runs inside small probe programs (tests/e2e/probe) under Wine; the updater's
probe takes its connection and proxy.ini from a folder exactly as the updater does."""
import http.server
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from pwtest import Nginx, free_port, wait_for_port, win_path, write_ini  # noqa: E402


class Origin(http.server.ThreadingHTTPServer):
    """Loopback origin server that records what it received."""
    daemon_threads = True

    def __init__(self, certificate=None):
        super().__init__(("127.0.0.1", 0), OriginHandler)
        self.requests = []
        self.files = {"/hello": b"hello from origin\r\n", "/": b""}
        if certificate:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.socket = context.wrap_socket(self.socket, server_side=True)
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def port(self):
        return self.server_address[1]

    def stop(self):
        self.shutdown()
        self.server_close()


class OriginHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, body=b""):
        self.server.requests.append(
            {"method": self.command, "path": self.path, "headers": dict(self.headers),
             "body": body})

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_GET(self):
        self.record()
        body = self.server.files.get(self.path)
        self.answer(200 if body is not None else 404, body or b"")

    def do_HEAD(self):
        self.do_GET()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.record(body)
        self.answer(200, b"stored")


class Tinyproxy:
    def __init__(self, folder, auth=None):
        self.port = free_port()
        self.log = os.path.join(folder, "tinyproxy.log")
        config = os.path.join(folder, "tinyproxy.conf")
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Timeout 30",
                 'LogFile "%s"' % self.log, "LogLevel Info", "MaxClients 20",
                 "Allow 127.0.0.1"]
        if auth:
            lines.append("BasicAuth %s %s" % auth)
        with open(config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for_port(self.port, self.process):
            self.stop()
            raise RuntimeError("tinyproxy did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class HttpPeers(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pw_http_")
        self.stops = []

    def tearDown(self):
        for stop in reversed(self.stops):
            stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, peer):
        self.stops.append(peer.stop)
        return peer

    def install(self, server, port, ssl_on=False, proxy=None, exe="http_probe.exe"):
        """A program folder with the probe, config.ini and, when given, proxy.ini."""
        folder = tempfile.mkdtemp(dir=self.folder)
        shutil.copy(os.path.join(pwtest.BIN, "http_probe.exe"), os.path.join(folder, exe))
        shutil.copy(os.path.join(pwtest.BIN, "http_probe_agent.exe"), folder)
        write_ini(os.path.join(folder, "config.ini"),
                  {"Config": {"Server": server, "Port": port, "SSL": 1 if ssl_on else 0}})
        if proxy is not None:
            write_ini(os.path.join(folder, "proxy.ini"), {"Proxy": proxy})
        return folder

    def probe(self, folder, command, arg1, arg2, exe="http_probe.exe"):
        result = pwtest.run(os.path.join(folder, exe), (command, win_path(folder), arg1, arg2))
        line = result.stdout.decode("latin-1").strip().splitlines()[-1]
        return dict(item.split("=", 1) for item in line.split(" "))

    def get(self, folder, path, exe="http_probe.exe"):
        out = os.path.join(folder, "body.bin")
        if os.path.exists(out):
            os.remove(out)
        result = self.probe(folder, "get", path, win_path(out), exe)
        if os.path.exists(out):
            with open(out, "rb") as f:
                result["body"] = f.read()
        return result

    def post(self, folder, path):
        log = os.path.join(folder, "run log.txt")
        content = bytes(range(256)) * 9
        with open(log, "wb") as f:
            f.write(content)
        result = self.probe(folder, "post", win_path(log), path)
        return result, win_path(log), content

    def assert_upload(self, request, local_path, content):
        boundary = b"-----AJHFOUEIHDJISO"
        expected = (b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"impfile\"; "
                    b"filename=\"" + local_path.encode("latin-1") + b"\"\r\n"
                    b"Content-Transfer-Encoding: binary\r\n\r\n" + content + b"\r\n--" +
                    boundary + b"\r\nContent-Disposition: form-data; name=\"submitToUpload\""
                    b"\r\n\r\n1\r\n--" + boundary + b"--\r\n")
        self.assertEqual(request["method"], "POST")
        self.assertEqual(request["body"], expected)

    def test_https_accepts_an_expired_self_signed_certificate_for_another_name(self):
        origin = self.start(Origin(pwtest.make_cert(self.folder, "wrong-host.example")))
        folder = self.install("127.0.0.1", origin.port, ssl_on=True)
        for exe in ("http_probe.exe", "http_probe_agent.exe"):
            result = self.get(folder, "/hello", exe)
            self.assertEqual(result["answered"], "1", (exe, result))
            self.assertEqual(result["body"], b"hello from origin\r\n")
        self.assertEqual([r["headers"]["User-Agent"] for r in origin.requests],
                         ["http_probe", "kqbvtnzr"])

        result, local, content = self.post(folder, "/wz/log/80")
        self.assertEqual((result["connect"], result["post"], result["response"]),
                         ("1", "1", "stored"), result)
        self.assertEqual([r["method"] for r in origin.requests[2:]], ["HEAD", "POST"])
        self.assert_upload(origin.requests[-1], local, content)

    def test_the_updater_working_copy_names_itself_as_user_agent(self):
        origin = self.start(Origin())
        folder = self.install("127.0.0.1", origin.port, exe="tmp_Updater.exe")
        result = self.get(folder, "/hello", "tmp_Updater.exe")
        self.assertEqual(result["answered"], "1", result)
        self.assertEqual(origin.requests[0]["headers"]["User-Agent"], "tmp_Updater")

    def test_requests_go_through_the_proxy_exactly_when_proxy_ini_names_one(self):
        origin = self.start(Origin())
        proxy = self.start(Tinyproxy(self.folder))

        direct = self.install("127.0.0.1", origin.port,
                              proxy={"Server": "", "Port": proxy.port, "UserName": "someone"})
        self.assertEqual(self.get(direct, "/hello")["answered"], "1")
        result, _, _ = self.post(direct, "/log")
        self.assertEqual(result["post"], "1", result)
        for request in origin.requests:
            self.assertNotIn("Via", request["headers"], request)
        origin.requests.clear()

        proxied = self.install("127.0.0.1", origin.port,
                               proxy={"Server": "127.0.0.1", "Port": proxy.port})
        result = self.get(proxied, "/hello")
        self.assertEqual(result["answered"], "1", result)
        self.assertEqual(result["body"], b"hello from origin\r\n")
        result, local, content = self.post(proxied, "/log")
        self.assertEqual((result["connect"], result["post"]), ("1", "1"), result)
        self.assertEqual([r["method"] for r in origin.requests], ["GET", "HEAD", "POST"])
        for request in origin.requests:
            self.assertIn("tinyproxy", request["headers"].get("Via", ""), request)
        self.assert_upload(origin.requests[-1], local, content)

    def test_https_goes_through_the_proxy_in_a_tunnel(self):
        origin = self.start(Origin(pwtest.make_cert(self.folder, "wrong-host.example")))
        proxy = self.start(Tinyproxy(self.folder, auth=("pwuser", "s3cret")))
        folder = self.install("127.0.0.1", origin.port, ssl_on=True,
                              proxy={"Server": "127.0.0.1", "Port": proxy.port,
                                     "UserName": "pwuser", "Password": "s3cret"})
        result = self.get(folder, "/hello")
        self.assertEqual(result["answered"], "1", result)
        self.assertEqual(result["body"], b"hello from origin\r\n")
        with open(proxy.log) as f:
            self.assertIn("CONNECT 127.0.0.1:%d " % origin.port, f.read())

    def test_proxy_credentials_are_sent_when_a_user_name_is_set(self):
        origin = self.start(Origin())
        proxy = self.start(Tinyproxy(self.folder, auth=("pwuser", "s3cret")))

        anonymous = self.install("127.0.0.1", origin.port,
                                 proxy={"Server": "127.0.0.1", "Port": proxy.port})
        result = self.get(anonymous, "/hello")
        self.assertEqual((result["answered"], result["status"]), ("0", "407"), result)
        wrong = self.install("127.0.0.1", origin.port,
                             proxy={"Server": "127.0.0.1", "Port": proxy.port,
                                    "UserName": "pwuser", "Password": "wrong"})
        result = self.get(wrong, "/hello")
        # tinyproxy answers a wrong password with 401 rather than 407.
        self.assertEqual(result["answered"], "0", result)
        self.assertIn(result["status"], ("401", "407"), result)
        self.assertEqual(origin.requests, [])

        known = self.install("127.0.0.1", origin.port,
                             proxy={"Server": "127.0.0.1", "Port": proxy.port,
                                    "UserName": "pwuser", "Password": "s3cret"})
        result = self.get(known, "/hello")
        self.assertEqual(result["answered"], "1", result)
        result, local, content = self.post(known, "/log")
        self.assertEqual((result["connect"], result["post"]), ("1", "1"), result)
        self.assertEqual([r["method"] for r in origin.requests], ["GET", "HEAD", "POST"])
        self.assert_upload(origin.requests[-1], local, content)

    def test_downloads_from_nginx(self):
        root = os.path.join(self.folder, "repository")
        os.makedirs(os.path.join(root, "modules"))
        listing = b"Pellwick.exe,1.0.2.0,0123456789abcdef0123456789abcdef,,0\r\n"
        module = bytes((i * 37 + i // 251) & 0xFF for i in range(300000))
        with open(os.path.join(root, "list.txt"), "wb") as f:
            f.write(listing)
        with open(os.path.join(root, "modules", "Pellwick.exe"), "wb") as f:
            f.write(module)
        with open(os.path.join(root, "empty.txt"), "wb") as f:
            pass
        nginx = self.start(Nginx(self.folder, root))
        folder = self.install("127.0.0.1", nginx.port)

        result = self.get(folder, "/list.txt")
        self.assertEqual((result["answered"], result["result"]), ("1", str(len(listing))))
        self.assertEqual(result["body"], listing)
        result = self.get(folder, "/modules/Pellwick.exe")
        self.assertEqual(result["answered"], "1", result)
        self.assertTrue(result["body"] == module)
        result = self.get(folder, "/missing.txt")
        self.assertEqual((result["result"], result["error"], result["status"]), ("0", "0", "404"))
        result = self.get(folder, "/empty.txt")
        self.assertEqual((result["result"], result["status"], result["answered"]),
                         ("0", "200", "0"))

        target = os.path.join(folder, "conf.xml")
        result = self.probe(folder, "getfile", "/modules/Pellwick.exe", win_path(target),
                            "http_probe_agent.exe")
        self.assertEqual(result["stored"], "1", result)
        with open(target, "rb") as f:
            self.assertTrue(f.read() == module)


if __name__ == "__main__":
    unittest.main()
