"""The real updater under Wine killed at each point of the replacement, then run again with
the server reachable and with it down: the install folder always ends with the complete old
or the complete new set, byte for byte, never a mix."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from replace_support import BIG, Scenario, wait_file  # noqa: E402


def last_run(log):
    """The lines of the last run in a log that several runs wrote."""
    return log[len(log) - log[::-1].index("updater: boot") - 1:]


class KilledRun(unittest.TestCase):
    """The updater killed at each point of the replacement, then run again."""

    def kill_at(self, point, scenario, proc):
        s = scenario
        backup_a = s.install.join("backup", "_a.txt")
        if point == "after the first backup copy":
            ok = wait_file(backup_a, lambda d: d == s.old["a.txt"])
            self.assertTrue(ok, "no backup")
            self.assertEqual(s.content("a.txt"), s.old["a.txt"])
        elif point == "after the first installed file was removed":
            ok = wait_file(backup_a, lambda d: d == s.old["a.txt"]) and \
                wait_file(s.install.join("a.txt"), lambda d: d is None)
            self.assertTrue(ok, "a.txt never removed")
        elif point == "after the first replacement":
            ok = wait_file(s.install.join("a.txt"), lambda d: d == s.new["a.txt"])
            self.assertTrue(ok, "a.txt never replaced")
        elif point == "while a larger file is being copied":
            # The copy into place of the new big.bin (UpdateFiles is past n.txt), caught as
            # soon as it has begun.
            path = s.install.join("big.bin")
            end = time.monotonic() + 120
            ok = False
            while time.monotonic() < end and not ok and proc.poll() is None:
                ok = os.path.exists(s.install.join("n.txt")) and os.path.exists(path)
                time.sleep(0.001)
            self.assertTrue(ok, "big.bin never copied")
        proc.kill()
        proc.wait(10)

    def scenario_for(self, point, reachable):
        large = point == "while a larger file is being copied"
        s = Scenario(self, big=BIG if large else 1 << 20)
        proc = s.start()
        self.kill_at(point, s, proc)
        if large:
            # Killed half-way through the copy, not after it.
            self.assertLess(len(s.content("big.bin") or b""), BIG)
        if point != "after the first backup copy":
            # The dead run left a mix or a gap behind: that is what the next run repairs.
            self.assertNotEqual(s.installed(), s.old)
        self.assertTrue(os.path.exists(s.install.join("updatetmp", "journal.txt")))
        if os.path.exists(s.install.join("started.txt")):
            os.remove(s.install.join("started.txt"))

        if reachable:
            s.run()
            log = last_run(s.log())
            s.assert_set("new", f"{point}, next run with the server")
            self.assertEqual(log[-2:], ["UpdateFiles: [c.txt]", "Launcher: "])
        else:
            s.srv.stop()
            proc = s.start()
            # The repair comes before any request; once the first request is logged it is
            # done, and the rest of the run only waits for a server that isn't there.
            # (The killed run may have died before its log writer wrote anything.)
            def repaired():
                log = s.log()
                return "Recover: done" in log and any(
                    l.startswith("DownloadList: from:")
                    for l in log[log.index("Recover: done"):])
            self.assertTrue(pwtest.wait_for(repaired, 60), "\n".join(s.log()))
            proc.kill()
            proc.wait(10)
            s.assert_set("old", f"{point}, next run without the server")
            log = last_run(s.log())
        self.assertEqual(log[0], "updater: boot")
        self.assertIn("Recover: done", log)
        self.assertLess(log.index("Recover: done"), log.index(next(
            l for l in log if l.startswith("DownloadList: from:"))))
        recover = [l for l in log if l.startswith("Recover:")]
        self.assertFalse([l for l in recover if "error" in l], recover)
        # What the dead run had stopped was started again by the repair.
        self.assertTrue(os.path.exists(s.install.join("started.txt")))
        self.assertFalse(os.path.exists(s.install.join("updatetmp", "journal.txt")))
        return log

    def test_each_kill_point_then_a_run_with_and_without_the_server(self):
        for point in ("after the first backup copy", "after the first installed file was removed",
                      "after the first replacement", "while a larger file is being copied"):
            for reachable in (True, False):
                with self.subTest(point=point, reachable=reachable):
                    self.scenario_for(point, reachable)



if __name__ == "__main__":
    unittest.main()
