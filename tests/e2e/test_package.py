"""The Windows Installer package, installed and removed by Wine's msiexec /qn: settings from
properties and prepared files, the Run value, the update task, the install report, upgrade,
downgrade, removal; the shipped 32-bit package read with msiinfo; signing."""
import configparser
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from agent_support import agent_window_exists, agentctl, pwtest, stop_agent
from presence_server import PresenceServer

import pwdesktop

PACKAGE_SCRIPT = os.path.join(pwtest.SOURCE, "installer", "package.py")
TEST_BUILD = os.path.dirname(pwtest.BIN)
SHIPPED_BUILD = os.path.join(pwtest.SOURCE, "build")
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
TASK_NAME = "Pellwick updater"
TASK_NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
UPGRADE_CODE = "{3F6B8E21-5A0C-4D7B-9E42-7C1D2A9B5E63}"
LEFTOVERS = ("updatetmp", "backup", "updatelog", "logtmp.txt", "tmp_Updater.exe")


def project_version(build):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.+)$", f.read(), re.M).group(1).strip()


def older_version(version):
    """A version that Windows Installer orders below `version` (it compares three fields)."""
    parts = [int(p) for p in version.split(".")]
    for i in (2, 1, 0):
        if parts[i] > 0:
            parts[i] -= 1
            return ".".join(map(str, parts[:3])) + ".0"
    raise ValueError(version)


def build_package(build, folder, version=None, env=None):
    os.makedirs(folder, exist_ok=True)
    name = "Pellwick-%s.msi" % (version or project_version(build))
    args = ["python3", PACKAGE_SCRIPT, build, "--output", os.path.join(folder, name)]
    if version:
        args += ["--version", version]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120,
                          env=None if env is None else {**os.environ, **env})
    if done.returncode != 0:
        raise AssertionError("package.py failed: " + done.stderr + done.stdout)
    return os.path.join(folder, name), done.stdout


def msiexec(verb, package, log, *properties):
    """Runs msiexec /qn with a verbose log; returns (exit code & 0xFF, log text)."""
    # The agent that the installation starts inherits the handles: no pipes here.
    code = subprocess.run([pwtest.WINERUN, "msiexec", verb, pwtest.win_path(package), "/qn",
                           "/l*v", pwtest.win_path(log), *properties],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=300).returncode
    with open(log, "rb") as f:
        data = f.read()
    text = data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("latin-1")
    return code, text


def failure(log):
    """What a failed installation's log says: the action that failed and the end."""
    at = log.find("Return value 3.")
    head = log[max(0, at - 2500):at + 20] + "\n...\n" if at >= 0 else ""
    return head + log[-1500:]


def run_value():
    done = subprocess.run([pwtest.WINERUN, "reg", "query", RUN_KEY, "/v", "Pellwick", "/reg:32"],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    match = re.search(rb"Pellwick\s+REG_SZ\s+(.*?)\r?\n", done.stdout)
    return match.group(1).decode("latin-1") if match else None


def task_file():
    return os.path.join(pwtest.wineprefix(), "drive_c", "windows", "system32", "tasks",
                        TASK_NAME)


def task_definition(log):
    """The task XML that the installation gave to schtasks (it is in the log)."""
    match = re.search(r"CreateUpdateTask: task definition\s*(<\?xml.*?</Task>)", log, re.S)
    if not match:
        return None
    return ET.fromstring(re.sub(r"^<\?xml[^>]*>", "", match.group(1)))


def read_ini(path):
    parser = configparser.RawConfigParser(strict=False, interpolation=None)
    parser.optionxform = str
    with open(path, encoding="latin-1") as f:
        parser.read_file(f)
    return {section: dict(parser[section]) for section in parser.sections()}


read = pwtest.read_bytes


def windows_processes(image_name):
    """Command lines of the running Windows processes of this prefix whose image is named so
    (Wine shows a Windows process's own command line in /proc)."""
    prefix = ("WINEPREFIX=" + pwtest.wineprefix()).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                args = f.read().decode("latin-1").split("\0")
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        image = args[0].replace("/", "\\").rsplit("\\", 1)[-1]
        if prefix in environ and image.lower() == image_name.lower():
            found.append(" ".join(args).strip())
    return found


class PackageTestCase(unittest.TestCase):
    """Packages of the tested build in a temporary folder; each test removes what it
    installed, so the shared prefix keeps no product, Run value or task."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="pw_msi_")
        cls.version = project_version(TEST_BUILD)
        cls.package, _ = build_package(TEST_BUILD, os.path.join(cls.tmp, "new"))
        cls.old, _ = build_package(TEST_BUILD, os.path.join(cls.tmp, "old"),
                                   older_version(cls.version))
        # One product code per version: a run that broke off left nothing these can't remove.
        for package in (cls.package, cls.old):
            msiexec("/x", package, os.path.join(cls.tmp, "stale.log"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        stop_agent()
        self.srv = PresenceServer().start()
        self.addCleanup(self.srv.stop)
        self.target = tempfile.mkdtemp(prefix="pw_msi_dir_")
        self.addCleanup(shutil.rmtree, self.target, True)
        self.folder = os.path.join(self.target, "TAVRIK", "Brenlo")
        self.installed = []
        self.addCleanup(self.remove_everything)

    def remove_everything(self):
        for package in self.installed:
            msiexec("/x", package, os.path.join(self.tmp, "cleanup.log"))
        stop_agent()
        shutil.rmtree(pwtest.agent_data_folder(), ignore_errors=True)

    def install(self, package, name, *properties, folder=True):
        if package not in self.installed:
            self.installed.append(package)
        args = (["INSTALLDIR=" + pwtest.win_path(self.folder) + "\\"] if folder else [])
        return msiexec("/i", package, os.path.join(self.tmp, name + ".log"), *args, *properties)

    def file(self, *parts):
        return os.path.join(self.folder, *parts)

    def status_1(self):
        path = "%s/12/1" % self.srv.route("status")
        return lambda r: r.kind == "status" and r.path == path


class PackageLifecycle(PackageTestCase):
    def test_install_upgrade_downgrade_remove(self):
        old = self.old
        routes = self.srv.ini_sections()
        code, log = self.install(
            old, "install", "SERVER=127.0.0.1", "PORT=%d" % self.srv.port, "SSL=yes",
            "HOSTID=12", "STATUSPATH=" + routes["Server"]["Status"],
            "INSTALLPATH=" + routes["Server"]["Install"], "LISTPATH=/pw/list.txt",
            "PROXYPORT=8080", "UPDATETIME=5:30", "UPDATEDELAY=15")
        self.assertEqual(code, 0, failure(log))

        # Files, and exactly the keys that were given, written as given.
        self.assertEqual(sorted(os.listdir(self.folder)),
                         ["Pellwick.exe", "config.ini", "proxy.ini", "update.ini", "updater.exe"])
        self.assertEqual(read(self.file("updater.exe")), read(os.path.join(pwtest.BIN,
                                                                         "updater.exe")))
        self.assertEqual(read_ini(self.file("config.ini")), {
            "Config": {"Server": "127.0.0.1", "Port": str(self.srv.port), "SSL": "yes",
                       "HostID": "12"},
            "Server": {"Status": routes["Server"]["Status"],
                       "Install": routes["Server"]["Install"]}})
        self.assertEqual(read_ini(self.file("update.ini")), {"Update": {"List": "/pw/list.txt"}})
        self.assertEqual(read_ini(self.file("proxy.ini")), {"Proxy": {"Port": "8080"}})

        self.assertEqual(run_value(), '"%s\\Pellwick.exe"' % pwtest.win_path(self.folder))
        self.assertTrue(os.path.isfile(task_file()))
        task = task_definition(log)
        self.assertIsNotNone(task, "no task definition in the log")
        triggers = task.find("t:Triggers", TASK_NS)
        self.assertEqual([t.tag.split("}")[1] for t in triggers],
                         ["BootTrigger", "CalendarTrigger"])
        daily = triggers.find("t:CalendarTrigger", TASK_NS)
        self.assertTrue(daily.findtext("t:StartBoundary", namespaces=TASK_NS).endswith("T05:30:00"))
        self.assertEqual(daily.findtext("t:RandomDelay", namespaces=TASK_NS), "PT15M")
        self.assertEqual(daily.findtext("t:ScheduleByDay/t:DaysInterval", namespaces=TASK_NS), "1")
        principal = task.find("t:Principals/t:Principal", TASK_NS)
        self.assertEqual(principal.findtext("t:UserId", namespaces=TASK_NS), "S-1-5-18")
        self.assertEqual(principal.findtext("t:RunLevel", namespaces=TASK_NS), "HighestAvailable")
        self.assertEqual(task.findtext("t:Actions/t:Exec/t:Command", namespaces=TASK_NS),
                         pwtest.win_path(self.folder) + "\\updater.exe")

        # One install report; the agent started for this user reports its status
        # (SSL=yes reads as 0: plain HTTP).
        self.assertRegex(log, r"Action start [\d:]+: InstallReport\.")
        self.assertIsNotNone(self.srv.wait_for("install", timeout=20))
        self.assertIsNotNone(self.srv.wait_for(self.status_1(), timeout=30), self.srv.requests())
        self.assertEqual(len(self.srv.requests("install")), 1)

        # Upgrade without properties: every installed file kept whole, also what the
        # administrator added by hand; the schedule too; no second report.
        with open(self.file("update.ini"), "ab") as f:
            f.write(b"[Stop]\r\n1=other.exe\r\n")
        settings = {name: read(self.file(name))
                    for name in ("config.ini", "update.ini", "proxy.ini")}
        code, log = self.install(self.package, "upgrade", folder=False)
        self.assertEqual(code, 0, failure(log))
        self.assertIn("RemoveExistingProducts", log)
        for name, data in settings.items():
            self.assertEqual(read(self.file(name)), data, name)
        self.assertEqual(run_value(), '"%s\\Pellwick.exe"' % pwtest.win_path(self.folder))
        self.assertTrue(os.path.isfile(task_file()))
        daily = task_definition(log).find("t:Triggers/t:CalendarTrigger", TASK_NS)
        self.assertEqual(daily.findtext("t:RandomDelay", namespaces=TASK_NS), "PT15M")
        self.assertIsNotNone(self.srv.wait_for(self.status_1(), timeout=30, count=2))
        self.assertEqual(len(self.srv.requests("install")), 1)

        # A repair that names the server again: still no second report, nothing lost.
        code, log = self.install(self.package, "repair", "REINSTALL=ALL", "REINSTALLMODE=omus",
                                 "SERVER=127.0.0.1", folder=False)
        self.assertEqual(code, 0, failure(log))
        self.assertNotRegex(log, r"Action start [\d:]+: InstallReport\.")
        for name, data in settings.items():
            self.assertEqual(read(self.file(name)), data, name)
        self.assertEqual(len(self.srv.requests("install")), 1)

        # The older package refuses, says why, and changes nothing.
        before = {name: read(self.file(name)) for name in os.listdir(self.folder)}
        code, log = self.install(old, "downgrade", "SERVER=elsewhere", folder=False)
        self.assertNotEqual(code, 0)
        self.assertIn("RefuseDowngrade: a newer version of Pellwick is installed", log)
        self.assertEqual({name: read(self.file(name)) for name in os.listdir(self.folder)},
                         before)

        # Removal: the running agent closes, and nothing but the users' data stays.
        self.assertTrue(agent_window_exists())
        for name in LEFTOVERS:
            if "." in name:
                path = self.file(name)
            else:  # a folder of the updater's, with a subfolder as a list row makes them
                os.makedirs(self.file(name, "sub"))
                path = self.file(name, "sub", "x.exe")
            with open(path, "wb") as f:
                f.write(b"x")
        code, log = msiexec("/x", self.package, os.path.join(self.tmp, "remove.log"))
        self.assertEqual(code, 0, failure(log))
        self.assertIn("CloseAgents: asked 1 agent(s) to close; 0 still running", log)
        self.assertIn("EndAgents: no agent left running", log)
        self.assertFalse(agent_window_exists())
        self.assertFalse(os.path.exists(self.folder), os.listdir(self.folder)
                         if os.path.isdir(self.folder) else None)
        self.assertIsNone(run_value())
        self.assertFalse(os.path.exists(task_file()))
        self.assertTrue(os.path.isfile(os.path.join(pwtest.agent_data_folder(), "logs",
                                                    "log.txt")))
        self.installed.clear()


class RemovalOutOfReach(PackageTestCase):
    """Agents that the tray's exit command can't reach (another desktop here; another user's
    session or a removal as LocalSystem on Windows) are ended by the removal; programs of the
    same names elsewhere are not touched."""

    DESKTOP = "pwremoval"

    def test_agent_on_another_desktop_ended_and_namesakes_left_alone(self):
        lacking = pwdesktop.missing()
        if lacking:
            self.skipTest("no virtual desktop here, missing: " + "; ".join(lacking))
        code, log = self.install(self.package, "reach", "SERVER=127.0.0.1",
                                 "PORT=%d" % self.srv.port, "HOSTID=12",
                                 "STATUSPATH=" + self.srv.ini_sections()["Server"]["Status"])
        self.assertEqual(code, 0, log[-3000:])
        # The agent that the installation started is reachable; this test wants one that isn't.
        self.assertIsNotNone(self.srv.wait_for(self.status_1(), timeout=30), self.srv.requests())
        stop_agent()
        self.assertEqual(windows_processes("tmp_Pellwick.exe"), [])

        # Namesakes of both agent images, outside the agents' folders.
        namesakes = []
        for parts in (("Brenlo", "tmp_Pellwick.exe"), ("TAVRIK", "Pellwick.exe")):
            path = os.path.join(self.target, "other", *parts)
            os.makedirs(os.path.dirname(path))
            shutil.copy(os.path.join(pwtest.BIN, "fixtures", "fixture_proc.exe"), path)
            proc = pwtest.start(path, ["wait", "600000"])
            self.addCleanup(pwtest.stop, proc)
            namesakes.append(proc)

        # The installed program in launcher mode on its own desktop: the user's running copy.
        reported = len([r for r in self.srv.requests() if self.status_1()(r)])
        desktop = pwdesktop.Desktop(self.file("Pellwick.exe"), name=self.DESKTOP, size=(640, 480))
        self.addCleanup(self.close_desktop, desktop)
        self.assertIsNotNone(self.srv.wait_for(self.status_1(), timeout=30, count=reported + 1),
                             self.srv.requests())
        self.assertEqual(agentctl("-desktop", self.DESKTOP, "find")[0], 0)
        self.assertFalse(agent_window_exists())
        copies = [c for c in windows_processes("tmp_Pellwick.exe") if "\\TAVRIK\\Brenlo\\" in c]
        self.assertEqual(len(copies), 1, windows_processes("tmp_Pellwick.exe"))

        code, log = msiexec("/x", self.package, os.path.join(self.tmp, "reach-remove.log"))
        self.assertEqual(code, 0, log[-3000:])
        self.installed.clear()
        self.assertIn("CloseAgents: asked 0 agent(s) to close", log)
        self.assertRegex(log, r"(?i)EndAgents: ended process \d+, C:\\users\\.+"
                              r"\\TAVRIK\\Brenlo\\tmp_Pellwick\.exe")
        self.assertEqual(len(re.findall("EndAgents: ended process", log)), 1, log[-3000:])
        self.assertNotEqual(agentctl("-desktop", self.DESKTOP, "find")[0], 0)
        self.assertEqual([c for c in windows_processes("tmp_Pellwick.exe")
                          if "\\TAVRIK\\Brenlo\\" in c], [])
        self.assertFalse(os.path.exists(self.folder))
        for proc in namesakes:
            self.assertIsNone(proc.poll())
        # With its last program gone the desktop ends by itself.
        self.assertTrue(desktop.close(), "the virtual desktop did not end")

    def close_desktop(self, desktop):
        if agentctl("-desktop", self.DESKTOP, "find")[0] == 0:
            agentctl("-desktop", self.DESKTOP, "command", 32772)
            agentctl("-desktop", self.DESKTOP, "gone")
        desktop.close()


class PreparedFiles(PackageTestCase):
    def test_prepared_files_installed_as_they_are_and_a_property_overrides_one_key(self):
        beside = os.path.join(self.tmp, "prepared")
        os.makedirs(beside)
        package = shutil.copy(self.package, beside)
        update = (b"[Update]\r\nList=/a/list.txt\r\nLog=/a/log\r\n"
                  b"[Start]\r\n1=[EXEPATH]\\x.exe\r\n")
        junk = b"\x00\xff not an INI file \r\n[[[\x01"
        for name, data in (("update.ini", update), ("proxy.ini", junk)):
            with open(os.path.join(beside, name), "wb") as f:
                f.write(data)
        # No SERVER: the installation succeeds and reports nothing.
        code, log = self.install(package, "prepared", "LOGPATH=/b/log")
        self.assertEqual(code, 0, failure(log))
        self.assertEqual(read_ini(self.file("update.ini")), {
            "Update": {"List": "/a/list.txt", "Log": "/b/log"},
            "Start": {"1": "[EXEPATH]\\x.exe"}})
        self.assertEqual(read(self.file("proxy.ini")), junk)
        self.assertEqual(read(self.file("config.ini")), b"")
        self.assertEqual(self.srv.requests("install"), [])
        self.assertNotRegex(log, r"Action start [\d:]+: InstallReport\.")

        code, log = msiexec("/x", package, os.path.join(self.tmp, "prepared-remove.log"))
        self.assertEqual(code, 0, failure(log))
        self.assertFalse(os.path.exists(self.folder))
        self.installed.clear()


class FailedInstallation(PackageTestCase):
    def test_a_failure_after_the_settings_rolls_everything_back(self):
        # A folder where proxy.ini should be: the settings step fails half-way.
        os.makedirs(self.file("proxy.ini"))
        code, log = self.install(self.package, "failed", "SERVER=127.0.0.1",
                                 "PORT=%d" % self.srv.port, "PROXYPORT=8080")
        self.assertNotEqual(code, 0)
        self.assertIn("WriteSettings: cannot write", log)
        self.assertRegex(log, r"Action start [\d:]+: RollbackSettings\.")
        self.assertEqual(os.listdir(self.folder), ["proxy.ini"])
        self.assertIsNone(run_value())
        self.assertFalse(os.path.exists(task_file()))
        self.assertEqual(self.srv.requests("install"), [])
        self.installed.clear()


    def test_a_schedule_windows_cannot_use_stops_before_anything_changes(self):
        for value, reason in (("UPDATETIME=25:00", "UPDATETIME must be a time of day"),
                              ("UPDATETIME=3", "UPDATETIME must be a time of day"),
                              ("UPDATEDELAY=1h", "UPDATEDELAY must be a number of minutes")):
            with self.subTest(value):
                code, log = self.install(self.package, "schedule", "SERVER=127.0.0.1", value)
                self.assertNotEqual(code, 0)
                self.assertIn("PrepareUpdateTask: " + reason, log)
                self.assertFalse(os.path.exists(self.folder))
                self.assertIsNone(run_value())
        self.installed.clear()


class ShippedPackage(unittest.TestCase):
    """The 32-bit package of build/bin, read with msiinfo (no 32-bit Wine needed)."""

    def test_tables_properties_and_file_versions(self):
        tmp = tempfile.mkdtemp(prefix="pw_msi_shipped_")
        self.addCleanup(shutil.rmtree, tmp, True)
        version = project_version(SHIPPED_BUILD)
        package, output = build_package(SHIPPED_BUILD, tmp)
        self.assertIn("unsigned", output)

        def export(table):
            text = subprocess.run(["msiinfo", "export", package, table], capture_output=True,
                                  text=True, check=True).stdout
            return [line.split("\t") for line in text.splitlines()[3:]]

        info = subprocess.run(["msiinfo", "suminfo", package], capture_output=True, text=True,
                              check=True).stdout
        self.assertRegex(info, r"Template: Intel;\d+")
        properties = dict((row[0], row[1]) for row in export("Property"))
        self.assertEqual(properties["ProductVersion"], version)
        self.assertEqual(properties["UpgradeCode"].upper(), UPGRADE_CODE)
        self.assertEqual(properties["ALLUSERS"], "1")
        for name in ("SERVER", "PROXYPASSWORD", "UPDATETIME", "INSTALLDIR"):
            self.assertIn(name, properties["SecureCustomProperties"].split(";"))
        self.assertEqual({row[2]: row[4] for row in export("File")},
                         {"updater.exe": version, "Pellwick.exe": version})
        directories = {row[0]: row[2] for row in export("Directory")}
        self.assertEqual((directories["TAVRIKDIR"], directories["INSTALLDIR"]),
                         ("TAVRIK", "Brenlo"))
        registry = {(row[2], row[3]): row[4] for row in export("Registry")}
        self.assertEqual(registry[(r"Software\Microsoft\Windows\CurrentVersion\Run", "Pellwick")],
                         '"[INSTALLDIR]Pellwick.exe"')
        upgrade = export("Upgrade")
        self.assertEqual(len(upgrade), 2)
        actions = {row[0]: (row[1], int(row[2])) for row in export("InstallExecuteSequence")}
        self.assertLess(actions["RefuseDowngrade"][1], actions["InstallInitialize"][1])
        self.assertLess(actions["InstallFiles"][1], actions["WriteSettings"][1])
        self.assertLess(actions["WriteSettings"][1], actions["InstallReport"][1])
        self.assertGreater(actions["StartAgent"][1], actions["InstallFinalize"][1])
        self.assertIn("NOT WIX_UPGRADE_DETECTED", actions["InstallReport"][0])
        custom = {row[0]: int(row[1]) for row in export("CustomAction")}
        # Deferred (0x400) without impersonation (0x800): the system changes run with the
        # rights they need; the agent's start is immediate, in the installing user's context.
        for name in ("WriteSettings", "CreateUpdateTask", "DeleteUpdateTask", "RemoveLeftovers",
                     "EndAgents"):
            self.assertEqual(custom[name] & 0xC00, 0xC00, name)
        # Agents are asked to close before the removal starts, and what still runs is ended
        # before the files go; neither can fail the removal (0x40).
        self.assertLess(actions["CloseAgents"][1], actions["InstallInitialize"][1])
        self.assertLess(actions["InstallInitialize"][1], actions["EndAgents"][1])
        self.assertLess(actions["EndAgents"][1], actions["RemoveFiles"][1])
        for name in ("CloseAgents", "EndAgents"):
            self.assertEqual(custom[name] & 0x40, 0x40, name)
            self.assertIn("NOT UPGRADINGPRODUCTCODE", actions[name][0])
        self.assertEqual(custom["StartAgent"] & 0xC00, 0)
        # The settings' data may hold the proxy password: kept out of the log (0x2000).
        for name in ("WriteSettings", "RollbackSettings"):
            self.assertEqual(custom[name] & 0x2000, 0x2000, name)
            self.assertIn(name, properties["MsiHiddenProperties"].split(";"))
        self.assertEqual(custom["InstallReport"] & 0x40, 0x40)


class Signing(unittest.TestCase):
    def test_package_signed_with_a_test_certificate(self):
        tmp = tempfile.mkdtemp(prefix="pw_msi_sign_")
        self.addCleanup(shutil.rmtree, tmp, True)
        key, cert, pfx = (os.path.join(tmp, n) for n in ("key.pem", "cert.pem", "sign.pfx"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=Pellwick test signer",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True,
                       capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                        "-passout", "pass:test pass"], check=True, capture_output=True)
        package, output = build_package(TEST_BUILD, os.path.join(tmp, "out"),
                                        env={"PW_SIGN_PFX": pfx, "PW_SIGN_PASSWORD": "test pass"})
        self.assertIn("signed", output)
        self.assertNotIn("unsigned", output)
        files = os.path.join(tmp, "files")
        subprocess.run(["msiextract", "-C", files, package], check=True, capture_output=True)
        signed = [package]
        for root, _, names in os.walk(files):
            signed += [os.path.join(root, n) for n in names if n.endswith(".exe")]
        self.assertEqual(len(signed), 3, signed)
        for path in signed:
            done = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, path + "\n" + done.stdout + done.stderr)
        # The build's own programs stay as the linker wrote them.
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in",
                               os.path.join(pwtest.BIN, "updater.exe")], capture_output=True)
        self.assertNotEqual(done.returncode, 0)


if __name__ == "__main__":
    unittest.main()
