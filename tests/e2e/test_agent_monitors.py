"""The agent's monitors under Wine: idle and back, the version report, new settings."""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402


def conf_xml(threshold=600, cycle=600, start_day="00:00:00", statuses=()):
    rows = "".join(f'    <workstatus id="{i}" name="{name}" autoreset="{reset}"/>\r\n'
                   for i, name, reset in statuses)
    return ('<?xml version="1.0" encoding="UTF-8"?>\r\n<config>\r\n'
            f'  <timecontrol start_day="{start_day}"/>\r\n'
            f'  <grpattendconf threshold="{threshold}" cycle="{cycle}"/>\r\n'
            f"  <status>\r\n{rows}  </status>\r\n</config>\r\n").encode("utf-8")


class AgentMonitors(unittest.TestCase):
    def setUp(self):
        self.data = pwtest.agent_data_folder()
        pwtest.taskkill("Pellwick.exe")
        shutil.rmtree(self.data, ignore_errors=True)
        os.makedirs(self.data)
        self.install = pwtest.Install(["Pellwick.exe"], prefix="pw_monitors_")
        self.addCleanup(self.install.cleanup)
        self.srv = PresenceServer().start()
        self.addCleanup(self.srv.stop)
        self.agent = None

    def tearDown(self):
        if self.agent is not None:
            pwtest.stop(self.agent)
        pwtest.taskkill("Pellwick.exe")

    def start_agent(self, conf, host_id=12):
        if conf is not None:
            with open(os.path.join(self.data, "conf.xml"), "wb") as f:
                f.write(conf)
        self.install.configure_agent(self.srv, host_id=host_id)
        # Run mode straight from the install folder: the launcher's copy is another test's.
        self.agent = pwtest.start(self.install.exe("Pellwick.exe"), ["tmp"])

    def log(self):
        return pwtest.log_messages(self.data)

    def wait_logged(self, message, timeout=10):
        return pwtest.wait_for(lambda: message in self.log(), timeout)

    def wait_status(self, status, after=-1, timeout=15):
        path = f"/pw/status/12/{status}"
        return self.srv.wait_for(lambda r: r.path == path and r.index > after, timeout)

    def test_idle_beyond_the_threshold_is_status_3_and_input_brings_back_1(self):
        self.start_agent(conf_xml(threshold=2))
        first = self.wait_status(1)
        self.assertIsNotNone(first, "start-up status")
        idle = self.wait_status(3, first.index)
        self.assertIsNotNone(idle, "idle for longer than 2 s")
        self.assertLess(idle.time - first.time, 12)
        self.assertTrue(self.wait_logged("start: input monitor"))

        # A user who works for a while: longer than the input monitor's pause.
        result = pwtest.run("send_input.exe", ["7"])
        self.assertEqual(result.returncode, 0)
        back = self.wait_status(1, idle.index, timeout=5)
        self.assertIsNotNone(back, "input seen again")
        self.assertLess(back.time - idle.time, 15)
        self.assertEqual([r.path for r in self.srv.requests("status")],
                         ["/pw/status/12/1", "/pw/status/12/3", "/pw/status/12/1"])

    def test_version_report_at_start(self):
        self.start_agent(conf_xml())
        report = self.srv.wait_for("version")
        self.assertIsNotNone(report)
        self.assertEqual(report.path, "/pw/version/12/1.0.2.0")
        self.assertTrue(self.wait_logged("start: setting monitor"), self.log())
        self.assertEqual(len(self.srv.requests("version")), 1)

    def test_version_report_names_the_computer_without_a_host_id(self):
        self.start_agent(conf_xml(), host_id=0)
        report = self.srv.wait_for("version")
        self.assertIsNotNone(report)
        computer = subprocess.run([pwtest.WINERUN, "cmd", "/c", "echo %COMPUTERNAME%"],
                                  stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=60).stdout.decode().strip()
        self.assertTrue(computer)
        self.assertEqual(report.path, f"/pw/version/0/1.0.2.0/{computer}")

    def test_new_settings_are_fetched_applied_and_reach_the_menu(self):
        self.start_agent(conf_xml(cycle=1, statuses=[(1, "在席", 1), (5, "会議中", 0)]))
        self.assertIsNotNone(self.wait_status(1))
        new = conf_xml(threshold=2, cycle=1,
                       statuses=[(1, "在席", 1), (3, "離席", 1), (7, "外出", 0)])
        self.srv.set_conf(new)
        self.assertIsNotNone(self.srv.wait_answered("conf"))
        self.assertTrue(self.wait_logged("new setting"))
        with open(os.path.join(self.data, "conf.xml"), "rb") as f:
            self.assertEqual(f.read(), new)

        # The new threshold reached the idle detector: the user goes idle.
        idle = self.wait_status(3)
        self.assertIsNotNone(idle)
        # The third status of the new list is the menu's third status item.
        result = pwtest.run("agentctl.exe", ["command", str(32800 + 2)])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIsNotNone(self.wait_status(7, idle.index, timeout=10))

    def test_a_missing_conf_xml_is_downloaded_and_its_statuses_apply(self):
        self.start_agent(None)
        self.assertIsNotNone(self.srv.wait_answered("conf"))
        self.assertEqual(self.srv.requests("check"), [], "nothing stored: no need to ask")
        stored = os.path.join(self.data, "conf.xml")
        self.assertTrue(pwtest.wait_for(lambda: os.path.isfile(stored), 5))
        with open(stored, "rb") as f:
            self.assertEqual(f.read(), self.srv.conf)
        self.assertIsNotNone(self.wait_status(1))
        time.sleep(1)  # the document is applied right after it is stored

        # The server's list holds 1, 5 and 6: 9 is refused, 5 accepted.
        for status in (9, 5):
            result = pwtest.run("agentctl.exe", ["set", str(status)])
            self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIsNotNone(self.wait_status(5))
        self.assertEqual([r.path for r in self.srv.requests("status")],
                         ["/pw/status/12/1", "/pw/status/12/5"])

    def test_download_failure_is_logged(self):
        self.srv.script("/pw/conf/12", status=404)
        self.start_agent(conf_xml(cycle=1))
        self.srv.set_conf(conf_xml(threshold=5))
        self.assertTrue(self.wait_logged("recv error: 404[0]"), self.log())
        self.assertIn("new setting", self.log())


if __name__ == "__main__":
    unittest.main()
