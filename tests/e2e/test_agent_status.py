"""Status changes of a running agent: set-status message, menu commands, lock, unlock,
suspend, repeats, refusals and the end of the session."""
import subprocess
import time
import unittest

from agent_support import CONF, AgentTestCase, agentctl, pwtest


class AgentStatus(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.store("conf.xml", CONF)

    def test_status_sources(self):
        self.start_agent(1)
        agentctl("set", 7)          # not listed: ignored
        agentctl("lock")            # 1 may be replaced: 4
        agentctl("unlock")          # back to 1
        agentctl("unlock")          # neither 4 nor 2: nothing
        agentctl("suspend")         # 2
        agentctl("unlock")          # 1
        agentctl("command", 32804)  # fifth position of the list: 5
        agentctl("lock")            # 5 must stay: nothing
        agentctl("suspend")         # nothing
        agentctl("command", 32779)  # release: 1
        agentctl("set", 6)
        self.expect_statuses([1, 4, 1, 2, 1, 5, 1, 6])
        self.assertEqual(self.read("status.ini"), b"[Status]\r\nCurrent=6\r\n")
        # The tray menu opens and closes without disturbing the agent.
        agentctl("menu", 300)
        agentctl("set", 1)
        self.expect_statuses([1, 4, 1, 2, 1, 5, 1, 6, 1])
        # A restarted shell gets the icon again.
        pwtest.wait_for(lambda: "Added NotifyIcon" in self.log(), timeout=20)
        agentctl("taskbar")
        pwtest.wait_for(lambda: self.log().count("Added NotifyIcon") == 2, timeout=5)
        log = self.log()
        self.assertEqual(log.count("Added NotifyIcon"), 2)
        added = [i for i, line in enumerate(log) if line == "Added NotifyIcon"]
        self.assertLess(log.index("TaskbarCreated"), added[-1])

    def test_report_repeated_until_accepted_and_refusals_not_repeated(self):
        self.srv.script(self.status_path(1), status=500)
        self.start_agent(1)
        self.srv.script(self.status_path(1), fail=1, fail_with=500, body="1")
        self.assertIsNotNone(self.srv.wait_answered(
            lambda r: r.path == self.status_path(1) and r.answer == 200, timeout=10))
        first, last = self.srv.requests("status")[0], self.srv.requests("status")[-1]
        count = len(self.srv.requests("status"))
        self.assertGreaterEqual(count, 3)
        # About a second apart.
        self.assertGreater((last.time - first.time) / (count - 1), 0.7)
        time.sleep(1.5)
        self.assertEqual(len(self.srv.requests("status")), count)

        self.srv.script(self.status_path(5), body="-2")
        agentctl("set", 5)
        self.assertIsNotNone(self.srv.wait_for(self.status_is(5), timeout=10))
        time.sleep(2)
        self.assertEqual(len(self.srv.requests(path=self.status_path(5))), 1)
        self.assertIn("send error: 200[0] -2", self.log())
        self.assertEqual(self.read("status.ini"), b"[Status]\r\nCurrent=5\r\n")

    def test_end_of_session(self):
        self.start_agent(1)
        # A status that must stay lets the session end without a report.
        agentctl("set", 5)
        self.assertIsNotNone(self.srv.wait_for(self.status_is(5), timeout=10))
        self.assertEqual(agentctl("queryend"), (0, "1"))
        time.sleep(0.5)
        self.assertEqual(self.srv.requests(path=self.status_path(2)), [])
        self.assertTrue(agentctl("find")[0] == 0)

        agentctl("set", 1)
        self.assertIsNotNone(self.srv.wait_for(self.status_is(1), timeout=10, count=2))
        self.assertTrue(
            pwtest.wait_for(lambda: self.read("status.ini") == b"[Status]\r\nCurrent=1\r\n", 5))
        subprocess.run([pwtest.WINERUN, "wineboot", "--end-session"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
        self.assertIsNotNone(self.srv.wait_for(self.status_is(2), timeout=10))
        self.assertEqual(agentctl("gone")[0], 0)
        self.assertTrue(pwtest.wait_for(lambda: "end: shutdown thread" in self.log(), timeout=5))
        log = self.log()
        self.assertIn("send success", log)
        self.assertLess(log.index("start: shutdown thread"), log.index("end: shutdown thread"))
        self.assertEqual(self.statuses(), [1, 5, 1, 2])
        self.assertEqual(self.read("status.ini"), b"[Status]\r\nCurrent=1\r\n")

    def test_end_of_session_with_a_silent_server(self):
        # The server takes the report and never answers: each of the five attempts ends at
        # the report's short time-outs, and the agent lets the session end within the few
        # seconds Windows allows, instead of holding it while WinINet waits.
        self.start_agent(1)
        self.srv.script(self.status_path(2), delay=3600, body="1")
        start = time.monotonic()
        self.assertEqual(agentctl("queryend"), (0, "0"))
        self.assertEqual(agentctl("gone")[0], 0)
        held = time.monotonic() - start
        self.assertTrue(pwtest.wait_for(lambda: "end: shutdown thread" in self.log(), timeout=5))
        log = self.log()
        errors = [line for line in log if line.startswith("send error: 0[")]
        self.assertEqual(len(errors), 5, log)
        self.assertNotIn("send error: 0[0]", errors)
        self.assertEqual(len(self.srv.requests(path=self.status_path(2))), 5)
        # Five time-outs of 0.9 s and the pauses, with room for a loaded machine.
        self.assertGreater(held, 4.0)
        self.assertLess(held, 20.0)


if __name__ == "__main__":
    unittest.main()
