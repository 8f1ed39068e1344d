"""Whole update runs of the real updater under Wine against the presence test server."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

FIXTURES = os.path.join(pwtest.BIN, "fixtures")
HOST_ID = 12


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


read = pwtest.read_bytes
write = pwtest.write_bytes


class UpdaterRun(unittest.TestCase):
    def setUp(self):
        self.repo = tempfile.mkdtemp(prefix="pw_repo_")
        self.install = pwtest.Install()
        self.addCleanup(self.install.cleanup)
        self.addCleanup(shutil.rmtree, self.repo, True)
        self.srv = PresenceServer(repo=self.repo).start()
        self.addCleanup(self.srv.stop)
        # A program of this test, under a name no other test uses.
        self.program = f"pwrun_{os.getpid()}.exe"
        shutil.copy(os.path.join(FIXTURES, "fixture_proc.exe"), self.install.join(self.program))

    def configure(self, stop=(), start=()):
        config, update = pwtest.updater_ini(self.srv, host_id=HOST_ID)
        update["Stop"] = {str(i + 1): v for i, v in enumerate(stop)}
        update["Start"] = {str(i + 1): v for i, v in enumerate(start)}
        self.install.write_ini("config.ini", config)
        self.install.write_ini("update.ini", update)

    def run_updater(self, timeout=180):
        result = self.install.run(args=("tmp",), timeout=timeout)
        self.assertEqual(result.returncode, 0, result.stdout)
        return pwtest.log_messages(self.install.path)

    def start_program(self, *args):
        """Starts the test program and returns once it has done `args` up to its wait."""
        ready = self.install.join("ready.txt")
        verbs = list(args)
        verbs[verbs.index("wait"):verbs.index("wait")] = ["marker", pwtest.win_path(ready)]
        proc = pwtest.start(self.install.exe(self.program), verbs)
        self.addCleanup(pwtest.stop, proc)
        self.assertTrue(pwtest.wait_for(lambda: os.path.exists(ready), 30), "program not up")
        os.remove(ready)
        return proc

    def uploaded_log(self):
        posts = self.srv.requests("logpost")
        self.assertEqual(len(posts), 1)
        return posts[0]

    def test_full_update(self):
        new_dll, old_dll = fixture("ver_two.dll"), fixture("ver_comma.dll")  # 2.0.0.7, 1,0,0,1
        files = {"lib.dll": new_dll, "data.txt": b"new data\r\n", "new.txt": b"brand new",
                 "extra.bin": b"fetched only"}
        pwtest.make_repo(self.repo, files, rows=[("lib.dll", "2.0.0.7"), ("data.txt", "0"),
                                                  ("new.txt", "0", "sub"),
                                                  ("extra.bin", "0", "", True)])
        write(self.install.join("lib.dll"), old_dll)
        write(self.install.join("data.txt"), b"old data\r\n")
        write(self.install.join("extra.bin"), b"installed extra")
        running = self.start_program("wait", "120000")
        self.configure(stop=[self.program],
                       start=[f"[EXEPATH]\\{self.program} marker [EXEPATH]\\started.txt"])

        log = self.run_updater()

        # Installed, backed up, cleaned.
        self.assertEqual(read(self.install.join("lib.dll")), new_dll)
        self.assertEqual(read(self.install.join("data.txt")), b"new data\r\n")
        self.assertEqual(read(self.install.join("sub", "new.txt")), b"brand new")
        self.assertEqual(read(self.install.join("extra.bin")), b"installed extra")
        self.assertEqual(read(self.install.join("backup", "1,0,0,1_lib.dll")), old_dll)
        self.assertEqual(read(self.install.join("backup", "_data.txt")), b"old data\r\n")
        self.assertEqual(sorted(os.listdir(self.install.join("backup"))),
                         ["1,0,0,1_lib.dll", "_data.txt"])
        self.assertEqual(sorted(os.listdir(self.install.join("updatetmp"))),
                         ["extra.bin", "list.txt"])
        # Stopped, then started again.
        self.assertTrue(pwtest.wait_for(lambda: running.poll() is not None, 10))
        self.assertTrue(os.path.exists(self.install.join("started.txt")))

        md5 = pwtest.md5_hex
        expected = [
            "updater: boot",
            f"DownloadList: from:127.0.0.1 port:{self.srv.port} ssl:0",
            "DownloadList: hash:" + md5(read(os.path.join(self.repo, "list.txt"))),
            "DownloadList Hash: " + md5(read(os.path.join(self.repo, "list.txt"))),
            "CheckList: 4",
            "CheckList: 1,0,0,1 -> 2.0.0.7 [lib.dll]",
            "CheckList: overwrite [data.txt]" + md5(b"old data\r\n"),
            "CheckList: new file [new.txt]",
            "CheckList: overwrite [extra.bin]" + md5(b"installed extra"),
            "DownloadFiles: 4 file(s)",
            "DownloadFiles: [lib.dll]", "DownloadFiles: [data.txt]",
            "DownloadFiles: [new.txt]", "DownloadFiles: [extra.bin]",
            "Terminator: ",
            "BackupFiles: org hash:" + md5(old_dll), "BackupFiles: dst hash:" + md5(old_dll),
            "BackupFiles: versionerror:", "BackupFiles: org hash:" + md5(b"old data\r\n"),
            "BackupFiles: dst hash:" + md5(b"old data\r\n"),
            "UpdateFiles: start 4 file(s)",
            "UpdateFiles: [lib.dll]", "UpdateFiles: [data.txt]", "UpdateFiles: [new.txt]",
            "Launcher: ",
            "Complete: ok",
        ]
        self.assertEqual(len(log), len(expected), "\n".join(log))
        for got, want in zip(log, expected):
            if want.endswith(":"):
                self.assertTrue(got.startswith(want), got)
            else:
                self.assertEqual(got, want)

        # Completion report with the highest version, then the log upload.
        complete = self.srv.requests("complete")
        self.assertEqual([r.path for r in complete], [f"/pw/complete/{HOST_ID}/2.0.0.7"])
        heads = self.srv.requests("loghead")
        post = self.uploaded_log()
        self.assertEqual(len(heads), 1)
        self.assertLess(heads[0].index, post.index)
        self.assertEqual(post.path, f"/pw/log/{HOST_ID}")
        self.assertIsNone(post.multipart_error)
        self.assertEqual([f["name"] for f in post.fields], ["impfile", "submitToUpload"])
        impfile = post.field("impfile")
        self.assertEqual(impfile["filename"], pwtest.win_path(self.install.join("logtmp.txt")))
        self.assertEqual(post.field("submitToUpload")["data"], b"1")
        # The uploaded text is the run's log, line for line, with CR LF.
        self.assertEqual(impfile["data"], read(self.install.join("logtmp.txt")))
        self.assertEqual(impfile["data"].decode("latin-1"), self.install.log_text())

    def test_nothing_to_update_uploads_nothing(self):
        pwtest.make_repo(self.repo, {"same.txt": b"same"})
        write(self.install.join("same.txt"), b"same")
        write(self.install.join("logtmp.txt"), b"earlier run")
        self.configure()
        log = self.run_updater()
        self.assertEqual(log[-2:], ["CheckList: 0", "no update"])
        self.assertEqual(self.srv.requests("logpost"), [])
        self.assertEqual(self.srv.requests("loghead"), [])
        self.assertEqual(read(self.install.join("logtmp.txt")), b"earlier run")

    def test_digest_mismatch_and_missing_module(self):
        pwtest.make_repo(self.repo, {"a.txt": b"a"})
        self.srv.script("/pw/list.md5", body=b"0" * 32)
        self.configure()
        log = self.run_updater()
        self.assertEqual(len(self.srv.requests("listhash")), 5)
        self.assertEqual(log[-1], "DownloadList Hash: unmatch")
        self.assertIn(b"DownloadList Hash: unmatch", self.uploaded_log().field("impfile")["data"])

        # The list is right now, but its only file is missing on the server.
        self.srv.unscript()
        self.srv.clear()
        os.remove(os.path.join(self.repo, "modules", "a.txt"))
        log = self.run_updater()
        self.assertEqual(log[-3:], ["DownloadFiles: 1 file(s)", "DownloadFiles: [a.txt]",
                                    "DownloadFiles: not found"])
        self.assertEqual(len(self.srv.requests("module")), 1)
        self.assertNotIn("Terminator: ", log)
        self.assertEqual(len(self.srv.requests("logpost")), 1)

    def test_failed_backup_replaces_nothing(self):
        # A program that the stop list doesn't know holds locked.dll open exclusively: its
        # version can't be read, so the check takes it for old, and it can't be backed up.
        files = {"locked.dll": fixture("ver_two.dll"), "other.txt": b"new other"}
        pwtest.make_repo(self.repo, files, rows=[("locked.dll", "2.0.0.7"), ("other.txt", "0")])
        write(self.install.join("locked.dll"), b"old locked")
        write(self.install.join("other.txt"), b"old other")
        holder = self.start_program("lock", pwtest.win_path(self.install.join("locked.dll")),
                                    "wait", "120000")
        self.configure(start=[f"[EXEPATH]\\{self.program} marker [EXEPATH]\\started.txt"])

        log = self.run_updater()

        pwtest.stop(holder)
        self.assertEqual(read(self.install.join("locked.dll")), b"old locked")
        self.assertEqual(read(self.install.join("other.txt")), b"old other")
        self.assertFalse(os.path.exists(self.install.join("backup", "_other.txt")))
        tail = log[log.index("BackupFiles: error"):]
        self.assertEqual(tail, ["BackupFiles: error", "Launcher: "])
        self.assertTrue(os.path.exists(self.install.join("started.txt")))
        self.assertEqual(self.srv.requests("complete"), [])
        self.assertFalse(os.path.exists(self.install.join("updatetmp", "journal.txt")))
        self.assertIn(b"BackupFiles: error", self.uploaded_log().field("impfile")["data"])

    def test_killed_run_is_repaired_by_the_next(self):
        files = {"a.txt": b"new a", "b.txt": b"new b"}
        pwtest.make_repo(self.repo, files)
        write(self.install.join("a.txt"), b"old a")
        write(self.install.join("b.txt"), b"old b")
        self.configure()
        proc = pwtest.start(self.install.exe(), ("tmp",))
        self.addCleanup(pwtest.stop, proc)
        # Killed while the first file is being put in place: b.txt is in the backup only.
        self.assertTrue(pwtest.wait_for(
            lambda: "UpdateFiles: [a.txt]" in self.install.log_text(), 60))
        proc.kill()
        proc.wait(10)
        time.sleep(2.5)  # a run that survived would have gone on to b.txt by now
        self.assertNotIn("UpdateFiles: [b.txt]", self.install.log_text())
        self.assertFalse(os.path.exists(self.install.join("b.txt")))
        self.assertEqual(read(self.install.join("backup", "_b.txt")), b"old b")

        log = self.run_updater()
        log = log[len(log) - log[::-1].index("updater: boot") - 1:]  # the second run's lines
        # The next run first puts the old files back, then updates them again.
        self.assertIn("Recover: rollback [b.txt]", log)
        self.assertLess(log.index("Recover: done"), log.index("CheckList: 2"))
        self.assertEqual(read(self.install.join("a.txt")), b"new a")
        self.assertEqual(read(self.install.join("b.txt")), b"new b")
        self.assertNotIn("b.txt", os.listdir(self.install.join("updatetmp")))


if __name__ == "__main__":
    unittest.main()
