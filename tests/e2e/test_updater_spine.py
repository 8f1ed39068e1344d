"""The updater's two modes, run for real under Wine from a temporary install folder."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402


class UpdaterSpine(unittest.TestCase):
    def setUp(self):
        self.install = pwtest.Install(["updater.exe"], prefix="pw_spine_")
        self.addCleanup(self.install.cleanup)

    def test_relaunch_leaves_only_the_copy_which_runs_the_update(self):
        stale = self.install.join("tmp_Updater.exe")
        with open(stale, "wb") as f:
            f.write(b"stale copy")
        result = self.install.run("updater.exe")
        self.assertEqual(result.returncode, 0)
        with open(self.install.exe(), "rb") as a, open(stale, "rb") as b:
            self.assertEqual(a.read(), b.read(), "the copy replaces a stale one")

        # The copy runs on its own; its log shows a whole run ending at the empty server.
        self.assertTrue(pwtest.wait_for(
            lambda: "DownloadList: server empty" in self.install.log_text()))
        lines = self.install.log()
        self.assertRegex(lines[0], r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\|-\|updater: boot$")
        self.assertRegex(lines[1], r"\|-\|DownloadList: server empty$")
        self.assertEqual(sorted(os.listdir(self.install.path)),
                         ["tmp_Updater.exe", "updatelog", "updater.exe"])

    def test_any_argument_runs_one_update_with_exit_code_zero(self):
        for arg in ("tmp", "whatever"):
            shutil.rmtree(self.install.join("updatelog"), ignore_errors=True)
            result = self.install.run("updater.exe", [arg])
            self.assertEqual(result.returncode, 0, arg)
            log = self.install.log_text()
            self.assertIn("|-|updater: boot\r\n", log)
            self.assertIn("|-|DownloadList: server empty\r\n", log)
            self.assertFalse(os.path.exists(self.install.join("tmp_Updater.exe")))


if __name__ == "__main__":
    unittest.main()
