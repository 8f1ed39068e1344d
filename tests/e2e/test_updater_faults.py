"""Faults during the replacement, caused for real against the real updater under Wine: a
locked target, a staging file changed after its download, a full disk. After every run the
install folder holds the complete old set, byte for byte."""
import os
import subprocess
import sys
import shutil
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from replace_support import Scenario, read, wait_file, write  # noqa: E402


class FailedReplacement(unittest.TestCase):
    def test_target_held_open_rolls_everything_back(self):
        s = Scenario(self, big=1 << 20)
        proc = s.start()
        c = s.install.join("sub", "c.txt")
        # Once BackupFiles has moved c.txt away, another program takes its place with an
        # exclusive open: all five copies fail.
        self.assertTrue(wait_file(s.install.join("backup", "_c.txt"),
                                  lambda d: d == s.old[os.path.join("sub", "c.txt")]))
        self.assertTrue(wait_file(c, lambda d: d is None, 30))
        holder = pwtest.start(s.install.exe(s.program), ("lock", pwtest.win_path(c), "wait",
                                                         "120000"))
        self.addCleanup(pwtest.stop, holder)
        # Released once the rollback has begun: the restore of c.txt then goes through.
        self.assertTrue(pwtest.wait_for(lambda: "UpdateFiles: error" in s.log(), 120, 0.02))
        pwtest.stop(holder)
        proc.wait(120)
        log = s.log()
        s.assert_set("old", "locked target")
        tail = log[log.index("UpdateFiles: error"):]
        self.assertEqual(sorted(tail[1:5]), ["UpdateFiles: rollback [a.txt]",
                                             "UpdateFiles: rollback [big.bin]",
                                             "UpdateFiles: rollback [c.txt]",
                                             "UpdateFiles: rollback [n.txt]"])
        self.assertEqual(tail[5], "Launcher: ")
        self.assertTrue(os.path.exists(s.install.join("started.txt")))
        self.assertEqual(s.srv.requests("complete"), [])
        self.assertFalse(os.path.exists(s.install.join("updatetmp", "journal.txt")))

    def test_staging_file_changed_after_its_download(self):
        s = Scenario(self, big=1 << 20)
        proc = s.start()
        # Downloads are verified by now: BackupFiles is at work.
        self.assertTrue(wait_file(s.install.join("backup", "_a.txt"), lambda d: d is not None))
        write(s.install.join("updatetmp", "c.txt"), b"not what was published\r\n")
        proc.wait(180)
        log = s.log()
        s.assert_set("old", "changed staging file")
        error = log.index("UpdateFiles: error")
        self.assertEqual(log[error - 1], "UpdateFiles: [c.txt]")
        self.assertIn("UpdateFiles: rollback [a.txt]", log)
        self.assertNotIn("Complete: ok", log)


class UnreadableJournal(unittest.TestCase):
    def test_journal_that_cannot_be_read_is_kept_and_nothing_is_touched(self):
        s = Scenario(self, big=1 << 20)
        journal = s.install.join("updatetmp", "journal.txt")
        write(journal, b"pwjournal 1\r\nfile\t1\ta.txt\r\n")  # torn, as no run writes it
        write(s.install.join("a.txt"), b"half new")
        log = s.run()
        self.assertEqual(log, ["updater: boot", "Recover: journal unreadable"])
        self.assertEqual(read(journal), b"pwjournal 1\r\nfile\t1\ta.txt\r\n")
        self.assertEqual(read(s.install.join("a.txt")), b"half new")
        self.assertFalse(os.path.exists(s.install.join("backup")))
        # No request but the log upload, so that the server side learns of it.
        self.assertEqual([r.kind for r in s.srv.requests()], ["loghead", "logpost"])


class FullDisk(unittest.TestCase):
    def test_disk_full_during_a_copy_rolls_back(self):
        mount = tempfile.mkdtemp(prefix="pw_tmpfs_")
        self.addCleanup(shutil.rmtree, mount, True)
        size_mb = 24
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_mb}m", "tmpfs", mount],
                                capture_output=True)
        if result.returncode != 0:
            self.skipTest("a small tmpfs can't be mounted here (needs root): "
                          + result.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", "-l", mount])
        # The tmpfs becomes a drive of its own in the prefix, as a small disk would be.
        dosdevices = os.path.join(pwtest.wineprefix(), "dosdevices")
        letter = next(l for l in "pqrstuvw" if not os.path.lexists(os.path.join(dosdevices,
                                                                                f"{l}:")))
        os.symlink(mount, os.path.join(dosdevices, f"{letter}:"))
        self.addCleanup(os.remove, os.path.join(dosdevices, f"{letter}:"))

        install = os.path.join(mount, "app")
        os.makedirs(install)
        s = Scenario(self, install_path=install, big=8 << 20,
                     exe_for_wine=f"{letter.upper()}:\\app\\updater.exe")
        st = os.statvfs(mount)
        free = st.f_bavail * st.f_frsize
        staged = sum(len(v) for v in s.new.values()) + (256 << 10)  # downloads, list, log
        # Room for the downloads and one backup, but not for the new big.bin beside them.
        room = staged + len(s.new["big.bin"]) // 2
        self.assertGreater(free, room)
        write(os.path.join(mount, "filler"), b"\0" * (free - room))

        log = s.run()
        s.assert_set("old", "full disk")
        # The small files went in; the big one found the disk full.
        error = log.index("UpdateFiles: error")
        self.assertEqual(log[error - 1], "UpdateFiles: [big.bin]")
        self.assertIn("UpdateFiles: rollback [big.bin]", log)
        self.assertFalse([l for l in log if "rollback error" in l], log)


if __name__ == "__main__":
    unittest.main()
