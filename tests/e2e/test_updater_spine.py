"""The updater's two modes, run for real under Wine from a temporary install folder."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("PW_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
SOURCE = os.environ.get("PW_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
WINERUN = os.path.join(SOURCE, "tools", "winerun")


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def read_log(folder):
    path = os.path.join(folder, "updatelog", "log.txt")
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


class UpdaterSpine(unittest.TestCase):
    def setUp(self):
        self.install = tempfile.mkdtemp(prefix="pw_spine_")
        shutil.copy(os.path.join(BIN, "updater.exe"), self.install)

    def tearDown(self):
        shutil.rmtree(self.install, ignore_errors=True)

    def run_updater(self, *args, exe="updater.exe"):
        return subprocess.run([WINERUN, os.path.join(self.install, exe), *args],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)

    def test_relaunch_leaves_only_the_copy_which_runs_the_update(self):
        stale = os.path.join(self.install, "tmp_Updater.exe")
        with open(stale, "wb") as f:
            f.write(b"stale copy")
        result = self.run_updater()
        self.assertEqual(result.returncode, 0)
        with open(os.path.join(self.install, "updater.exe"), "rb") as a, open(stale, "rb") as b:
            self.assertEqual(a.read(), b.read(), "the copy replaces a stale one")

        # The copy runs on its own; its log shows a whole run ending at the empty server.
        self.assertTrue(wait_for(lambda: "DownloadList: server empty" in read_log(self.install)))
        log = read_log(self.install)
        lines = log.split("\r\n")
        self.assertRegex(lines[0], r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\|-\|updater: boot$")
        self.assertRegex(lines[1], r"\|-\|DownloadList: server empty$")
        self.assertEqual(sorted(os.listdir(self.install)),
                         ["tmp_Updater.exe", "updatelog", "updater.exe"])

    def test_any_argument_runs_one_update_with_exit_code_zero(self):
        for arg in ("tmp", "whatever"):
            shutil.rmtree(os.path.join(self.install, "updatelog"), ignore_errors=True)
            result = self.run_updater(arg)
            self.assertEqual(result.returncode, 0, arg)
            log = read_log(self.install)
            self.assertIn("|-|updater: boot\r\n", log)
            self.assertIn("|-|DownloadList: server empty\r\n", log)
            self.assertFalse(os.path.exists(os.path.join(self.install, "tmp_Updater.exe")))


if __name__ == "__main__":
    unittest.main()
