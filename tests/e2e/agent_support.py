"""What the agent's end-to-end tests share: an installed agent started in launcher mode
against the presence test server, and the helper that plays Windows and the user."""
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

# Statuses 1-4 may be replaced by automatic events; 5 and 6 are chosen by the user and stay.
CONF = (
    '<?xml version="1.0" encoding="UTF-8"?>\r\n'
    "<config>\r\n"
    '  <grpattendconf threshold="600" cycle="600"/>\r\n'
    "  <status>\r\n"
    '    <workstatus id="1" name="在席" autoreset="1"/>\r\n'
    '    <workstatus id="2" name="退社" autoreset="1"/>\r\n'
    '    <workstatus id="3" name="離席" autoreset="1"/>\r\n'
    '    <workstatus id="4" name="ロック" autoreset="1"/>\r\n'
    '    <workstatus id="5" name="会議中" autoreset="0"/>\r\n'
    '    <workstatus id="6" name="外出" autoreset="0"/>\r\n'
    "  </status>\r\n"
    "</config>\r\n"
).encode("utf-8")


def agentctl(*args, timeout=60):
    """Runs the helper; returns (exit code, printed result)."""
    done = pwtest.run("agentctl.exe", [str(a) for a in args], timeout=timeout)
    return done.returncode, done.stdout.decode("latin-1").strip()


def agent_window_exists():
    return agentctl("find")[0] == 0


def stop_agent():
    """Closes a running agent through its exit command and waits until it is gone."""
    if agent_window_exists():
        agentctl("command", 32772)
    if agentctl("gone")[0] != 0:
        pwtest.taskkill("tmp_Pellwick.exe")


class AgentTestCase(unittest.TestCase):
    """One installed agent per test, with an empty data folder and its own server."""

    host_id = 12

    def setUp(self):
        stop_agent()
        self.data = pwtest.agent_data_folder()
        shutil.rmtree(self.data, ignore_errors=True)
        self.srv = PresenceServer().start()
        self.addCleanup(self.srv.stop)
        self.install = pwtest.Install(exes=("Pellwick.exe",), prefix="pw_agent_")
        self.addCleanup(self.install.cleanup)
        self.install.configure_agent(self.srv, host_id=self.host_id)
        self.addCleanup(stop_agent)

    def data_file(self, name):
        return os.path.join(self.data, name)

    def store(self, name, data):
        os.makedirs(self.data, exist_ok=True)
        with open(self.data_file(name), "wb") as f:
            f.write(data)

    def read(self, name):
        try:
            with open(self.data_file(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def launch(self, *args):
        """Starts the installed agent (launcher mode without arguments) and waits for that
        process to end; the copy it starts keeps running."""
        proc = pwtest.start(self.install.exe("Pellwick.exe"), args)
        proc.wait(60)
        return proc.returncode

    def start_agent(self, status=1):
        """Launcher mode; returns once the start-up status has reached the server."""
        self.launch()
        self.assertIsNotNone(self.srv.wait_for(self.status_is(status), timeout=20),
                             self.srv.requests())

    def status_path(self, status):
        return "%s/%d/%d" % (self.srv.route("status"), self.host_id, status)

    def status_is(self, status):
        path = self.status_path(status)
        return lambda r: r.kind == "status" and r.path == path

    def statuses(self):
        return [int(r.path.rsplit("/", 1)[1]) for r in self.srv.requests("status")]

    def expect_statuses(self, expected, timeout=10):
        pwtest.wait_for(lambda: len(self.statuses()) >= len(expected), timeout=timeout)
        time.sleep(0.3)
        self.assertEqual(self.statuses(), expected)

    def log(self):
        return pwtest.log_messages(self.data)
