"""The agent's start: launcher mode, run mode, install report, restored start-up status."""
import os
import time
import unittest

from agent_support import CONF, AgentTestCase, agentctl, pwtest


class AgentStart(AgentTestCase):
    def test_launcher_mode_starts_the_copy_which_reports_status_1(self):
        self.store("config.ini", b"[Config]\r\nServer=stale\r\n")
        self.start_agent(1)
        with open(self.install.join("config.ini"), "rb") as f:
            self.assertEqual(self.read("config.ini"), f.read())
        self.assertTrue(os.path.isfile(self.data_file("tmp_Pellwick.exe")))
        pwtest.wait_for(lambda: self.read("status.ini"), timeout=5)
        self.assertEqual(self.read("status.ini"), b"[Status]\r\nCurrent=1\r\n")
        pwtest.wait_for(lambda: "change status: 1" in self.log(), timeout=5)
        log = self.log()
        for line in ("boot", "start: status monitor", "change status: 1", "start: icon Register"):
            self.assertIn(line, log)
        self.assertLess(log.index("boot"), log.index("change status: 1"))

        # A second agent in run mode ends at once and reports nothing.
        started = time.monotonic()
        self.assertEqual(pwtest.run(self.install.exe("Pellwick.exe"), ["tmp"], timeout=60)
                         .returncode, 0)
        self.assertLess(time.monotonic() - started, 15)
        time.sleep(0.5)
        self.assertEqual(self.statuses(), [1])
        self.assertEqual(self.log().count("boot"), 1)

    def test_install_report(self):
        self.assertEqual(self.launch("installed"), 0)
        request = self.srv.wait_for("install", timeout=10)
        self.assertIsNotNone(request)
        # No session is attached to the console under Wine: the user segment is empty.
        computer = request.path.split("/")[3]
        self.assertRegex(computer, r"^[A-Za-z0-9._~%-]+$")
        self.assertEqual(request.path, "/pw/install/%s/" % computer)
        self.assertEqual(self.srv.requests("status"), [])
        self.assertFalse(agentctl("find")[0] == 0)

    def test_start_up_status_restored_only_when_it_must_stay(self):
        self.store("conf.xml", CONF)
        for stored, expected in ((5, 5), (4, 1)):
            self.store("status.ini", b"[Status]\r\nCurrent=%d\r\n" % stored)
            self.srv.clear()
            self.start_agent(expected)
            self.assertEqual(self.statuses(), [expected])
            agentctl("command", 32772)
            self.assertEqual(agentctl("gone")[0], 0)


if __name__ == "__main__":
    unittest.main()
