#!/usr/bin/env python3
"""./run demo: runs the programs' main job under Wine and prints what happened.

Called by ./run with the Wine environment already up (Xvfb, persistent wineserver).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINERUN = os.path.join(ROOT, "tools", "winerun")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402


def banner(text):
    print("\n=== " + text, flush=True)


def show_log(folder):
    lines = pwtest.read_log(folder)
    if not lines:
        print("  (no log written)")
    for line in lines:
        print("  " + line)


def demo_updater_spine(bin_dir):
    install = tempfile.mkdtemp(prefix="pw_demo_spine_")
    try:
        shutil.copy(os.path.join(bin_dir, "updater.exe"), install)
        banner("updater.exe without argument: copies itself to tmp_Updater.exe and starts it")
        rc = subprocess.run([WINERUN, os.path.join(install, "updater.exe")],
                            stdin=subprocess.DEVNULL).returncode
        print(f"  exit code {rc}")
        pwtest.wait_for(lambda: "server empty" in pwtest.log_text(install), timeout=30)
        print("  install folder: " + ", ".join(sorted(os.listdir(install))))
        banner("the copy's update run, with no server configured")
        show_log(install)
    finally:
        shutil.rmtree(install, ignore_errors=True)


def demo_repository(folder, bin_dir):
    """The freshly built agent and a config.ini for it; the agent's row carries its version."""
    with open(os.path.join(bin_dir, "Pellwick.exe"), "rb") as f:
        agent = f.read()
    config = ("[Config]\r\nServer=127.0.0.1\r\nPort=80\r\nSSL=0\r\nHostID=12\r\n"
              "[Server]\r\nStatus=/pw/status\r\n").encode("ascii")
    return pwtest.make_repo(folder, {"Pellwick.exe": agent, "config.ini": config},
                            rows=[("Pellwick.exe", "1.0.2.0"), ("config.ini", "0")])


def demo_update_run(bin_dir):
    work = tempfile.mkdtemp(prefix="pw_demo_update_")
    repo = os.path.join(work, "repo")
    try:
        list_bytes = demo_repository(repo, bin_dir)
        banner("update repository served by the presence test server")
        for line in list_bytes.decode("ascii").splitlines():
            print("  list.txt: " + line)
        with PresenceServer(repo=repo, live=False) as srv, \
                pwtest.Install([os.path.join(bin_dir, "updater.exe")],
                               prefix="pw_demo_install_") as install:
            install.configure_updater(srv, host_id=12)
            print(f"  server {srv.url}, install folder {install.path}")
            banner("updater.exe tmp: one update run against the server (live view)")
            srv.live = True
            started = time.monotonic()
            result = install.run("updater.exe", ["tmp"], timeout=300)
            # The log writer flushes every half second; the run's end is in the log.
            time.sleep(0.6)
            srv.live = False
            print(f"  exit code {result.returncode} after {time.monotonic() - started:.1f} s")
            banner("what the server saw")
            if not srv.requests():
                print("  (no request)")
            for r in srv.requests():
                print(f"  {r.method:<4} {r.path:<28} {r.kind:<9} -> {r.answer}"
                      f"  User-Agent: {r.header('User-Agent', '-')}")
                for f in r.fields:
                    print(f"       field {f['name']!r} filename={f['filename']!r}"
                          f" {len(f['data'])} bytes")
            uploads = srv.requests(kind="logpost")
            if uploads and uploads[-1].field("impfile"):
                banner("uploaded log (field impfile)")
                for line in uploads[-1].field("impfile")["data"].decode("latin-1").splitlines():
                    print("  " + line)
            banner("the updater's own log")
            show_log(install.path)
            banner("install folder after the run")
            for dirpath, _, files in sorted(os.walk(install.path)):
                rel = os.path.relpath(dirpath, install.path)
                for name in sorted(files):
                    print("  " + os.path.normpath(os.path.join(rel, name)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


# The statuses a group might have: 1-4 are set by the agent itself, 5 and 6 by the user.
AGENT_CONF = (
    '<?xml version="1.0" encoding="UTF-8"?>\r\n<config>\r\n'
    '  <grpattendconf threshold="600" cycle="600"/>\r\n  <status>\r\n'
    '    <workstatus id="1" name="在席" autoreset="1"/>\r\n'
    '    <workstatus id="2" name="退社" autoreset="1"/>\r\n'
    '    <workstatus id="3" name="離席" autoreset="1"/>\r\n'
    '    <workstatus id="4" name="ロック中" autoreset="1"/>\r\n'
    '    <workstatus id="5" name="会議中" autoreset="0"/>\r\n'
    '    <workstatus id="6" name="外出" autoreset="0"/>\r\n'
    '  </status>\r\n</config>\r\n').encode("utf-8")


def agentctl(bin_dir, *args):
    done = subprocess.run([WINERUN, os.path.join(bin_dir, "agentctl.exe"), *map(str, args)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return done.returncode


def demo_agent(bin_dir):
    data = pwtest.agent_data_folder()
    if agentctl(bin_dir, "find") == 0:
        agentctl(bin_dir, "command", 32772)
        agentctl(bin_dir, "gone")
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data)
    with open(os.path.join(data, "conf.xml"), "wb") as f:
        f.write(AGENT_CONF)
    with PresenceServer(conf=AGENT_CONF, live=False) as srv, \
            pwtest.Install([os.path.join(bin_dir, "Pellwick.exe")],
                           prefix="pw_demo_agent_") as install:
        install.configure_agent(srv, host_id=12)
        banner("Pellwick.exe without argument: copies itself into the data folder and starts "
               "the copy, which reports its start-up status (live view)")
        srv.live = True
        subprocess.run([WINERUN, install.exe("Pellwick.exe")], stdin=subprocess.DEVNULL,
                       timeout=60)
        srv.wait_for("status", timeout=20)
        time.sleep(0.2)
        steps = [("the session is locked", ("lock",)),
                 ("the session is unlocked", ("unlock",)),
                 ("the user picks 会議中 (5) from the tray menu", ("command", 32804)),
                 ("the session is locked: 5 must stay", ("lock",)),
                 ("the user picks 解除 (release) from the tray menu", ("command", 32779)),
                 ("the computer suspends", ("suspend",)),
                 ("it wakes and the session is unlocked", ("unlock",))]
        for text, args in steps:
            count = len(srv.requests("status"))
            print(f"  -- {text}", flush=True)
            agentctl(bin_dir, *args)
            pwtest.wait_for(lambda: len(srv.requests("status")) > count, timeout=3)
            time.sleep(0.2)
        banner("the user logs off: the end of the session waits for status 2")
        subprocess.run([WINERUN, "wineboot", "--end-session"], stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
        agentctl(bin_dir, "gone")
        time.sleep(0.3)
        srv.live = False
        banner("statuses the server received, in order")
        print("  " + " ".join(r.path.rsplit("/", 1)[1] for r in srv.requests("status")))
        banner("the agent's log")
        show_log(data)


def main():
    bin_dir = sys.argv[1] if len(sys.argv) > 1 else pwtest.BIN
    demo_updater_spine(bin_dir)
    demo_update_run(bin_dir)
    demo_agent(bin_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
