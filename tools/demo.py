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


def main():
    bin_dir = sys.argv[1] if len(sys.argv) > 1 else pwtest.BIN
    demo_updater_spine(bin_dir)
    demo_update_run(bin_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
