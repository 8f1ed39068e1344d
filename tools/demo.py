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


def banner(text):
    print("\n=== " + text)


def show_log(folder):
    path = os.path.join(folder, "updatelog", "log.txt")
    if not os.path.exists(path):
        print("  (no log written)")
        return
    with open(path, "rb") as f:
        for line in f.read().decode("latin-1").splitlines():
            print("  " + line)


def wait_for_file_text(path, text, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, "rb") as f:
                if text.encode("latin-1") in f.read():
                    return True
        time.sleep(0.1)
    return False


def demo_updater_spine(bin_dir):
    install = tempfile.mkdtemp(prefix="pw_demo_spine_")
    try:
        shutil.copy(os.path.join(bin_dir, "updater.exe"), install)
        banner("updater.exe without argument: copies itself to tmp_Updater.exe and starts it")
        rc = subprocess.run([WINERUN, os.path.join(install, "updater.exe")],
                            stdin=subprocess.DEVNULL).returncode
        print(f"  exit code {rc}")
        wait_for_file_text(os.path.join(install, "updatelog", "log.txt"), "server empty")
        print("  install folder: " + ", ".join(sorted(os.listdir(install))))
        banner("the copy's update run, with no server configured")
        show_log(install)
    finally:
        shutil.rmtree(install, ignore_errors=True)


def main():
    bin_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bin")
    demo_updater_spine(bin_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
