"""VerifyCertificate in config.ini: both programs against the presence test server's
self-signed, expired certificate for another host name. Refused with WinINet's certificate
error when the key is set; accepted, as always, when it is absent."""
import os
import shutil
import tempfile
import unittest

from agent_support import AgentTestCase, pwtest, stop_agent
from presence_server import PresenceServer

# WinINet's errors for a certificate that fails the platform's checks: date, name, unknown
# issuer, several of these, revocation, invalid certificate, revoked.
CERTIFICATE_ERRORS = {12037, 12038, 12045, 12055, 12057, 12169, 12170}


class TlsServer:
    """The presence test server over HTTPS with a certificate no one should trust."""

    def __init__(self, folder):
        self.srv = PresenceServer(tls=pwtest.make_cert(folder, "wrong-host.example")).start()

    def config(self, verify):
        config = pwtest.agent_config(self.srv, ssl=True)
        if verify is not None:
            config["Config"]["VerifyCertificate"] = verify
        return config


class StrictTlsUpdater(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pw_tls_")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.tls = TlsServer(self.folder)
        self.addCleanup(self.tls.srv.stop)

    def probe(self, verify, command, arg1, arg2=None):
        """The updater's HTTP client, its settings read by CUpdater from config.ini."""
        folder = tempfile.mkdtemp(dir=self.folder)
        arg2 = arg2 or pwtest.win_path(os.path.join(folder, "body.bin"))
        shutil.copy(os.path.join(pwtest.BIN, "http_probe.exe"), folder)
        pwtest.write_ini(os.path.join(folder, "config.ini"), self.tls.config(verify))
        result = pwtest.run(os.path.join(folder, "http_probe.exe"),
                            (command, pwtest.win_path(folder), arg1, arg2))
        line = result.stdout.decode("latin-1").strip().splitlines()[-1]
        return dict(item.split("=", 1) for item in line.split(" "))

    def test_get_and_upload_refused_with_the_key_accepted_without(self):
        upload = os.path.join(self.folder, "log.txt")
        with open(upload, "wb") as f:
            f.write(b"log line\r\n")
        for verify in (1, 7):
            with self.subTest(verify=verify):
                got = self.probe(verify, "get", "/pw/version/1/1.0")
                self.assertEqual((got["answered"], got["status"]), ("0", "0"), got)
                self.assertIn(int(got["error"]), CERTIFICATE_ERRORS, got)
                posted = self.probe(verify, "post", pwtest.win_path(upload), "/pw/log/12")
                self.assertEqual((posted["connect"], posted["post"]), ("0", "0"), posted)
                self.assertIn(int(posted["error"]), CERTIFICATE_ERRORS, posted)
        self.assertEqual(self.tls.srv.requests(), [])

        for verify in (None, 0):
            with self.subTest(verify=verify):
                got = self.probe(verify, "get", "/pw/version/1/1.0")
                self.assertEqual((got["answered"], got["error"]), ("1", "0"), got)
                posted = self.probe(verify, "post", pwtest.win_path(upload), "/pw/log/12")
                self.assertEqual((posted["connect"], posted["post"]), ("1", "1"), posted)
        self.assertEqual([r.kind for r in self.tls.srv.requests()],
                         ["version", "loghead", "logpost"] * 2)


class StrictTlsAgent(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.folder = tempfile.mkdtemp(prefix="pw_tls_")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.tls = TlsServer(self.folder)
        self.addCleanup(self.tls.srv.stop)

    def test_status_report_refused_with_the_key_install_report_accepted_without(self):
        self.install.write_ini("config.ini", self.tls.config(1))
        self.launch()
        sent = pwtest.wait_for(
            lambda: [line for line in self.log() if line.startswith("send error: 0[")], 30)
        stop_agent()
        self.assertTrue(sent, self.log())
        error = int(sent[0][len("send error: 0["):].split("]")[0])
        self.assertIn(error, CERTIFICATE_ERRORS, sent[0])
        self.assertEqual(self.tls.srv.requests(), [])

        self.install.write_ini("config.ini", self.tls.config(None))
        self.assertEqual(self.launch("installed"), 0)
        self.assertIsNotNone(self.tls.srv.wait_for("install", timeout=10))


if __name__ == "__main__":
    unittest.main()
