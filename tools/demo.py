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
import pwdesktop  # noqa: E402
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


def agentctl(bin_dir, *args, desktop=None):
    where = ("-desktop", desktop) if desktop else ()
    done = subprocess.run([WINERUN, os.path.join(bin_dir, "agentctl.exe"), *where,
                           *map(str, args)],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return done.returncode


def seen(text):
    """What a person at the computer would have seen at this step."""
    print(f"  [seen] {text}", flush=True)


# The status names of AGENT_CONF in the order of the menu: ids 1-4 have no item.
MENU_ITEMS = ["解除", "会議中", "外出"]
PICTURE = os.path.join(ROOT, "build", "demo", "tray-menu.png")


class TrayOnScreen:
    """The agent in Wine's virtual desktop, its menu opened and chosen from by real clicks."""

    def __init__(self, exe):
        self.desktop = pwdesktop.Desktop(exe)
        self.tray = pwdesktop.Tray(self.desktop)
        self.icon = None

    def find_icon(self):
        if self.desktop.wait_shown():
            _, self.icon = self.tray.find_icon()
        return self.icon

    def open_menu(self):
        screen, menu = self.tray.open_menu(self.icon)
        if menu is None or len(menu.rows) != len(MENU_ITEMS):
            return screen, None
        return screen, menu

    def choose(self, name):
        """Opens the menu and clicks the item; False when the menu did not show it."""
        _, menu = self.open_menu()
        if menu is None:
            return False
        pwdesktop.click(*menu.centre(MENU_ITEMS.index(name)))
        return True

    def picture(self, path):
        """Opens the menu, saves the corner of the screen with the menu and the taskbar, and
        closes the menu again. Returns the ticked items, or None without a menu."""
        screen, menu = self.open_menu()
        if menu is None:
            return None
        x0, y0, x1, y1 = menu.box
        desk = self.desktop
        box = (max(desk.x, x0 - 160), max(desk.y, y0 - 40), desk.x + desk.size[0],
               desk.y + desk.size[1])
        screen.save(path, box, scale=200)
        self.dismiss()
        return [name for i, name in enumerate(MENU_ITEMS) if menu.ticked(i)]

    def dismiss(self):
        pwdesktop.click(self.desktop.x + 5, self.desktop.y + 5)


def demo_agent(bin_dir):
    data = pwtest.agent_data_folder()
    for desktop in (None, "shell"):  # an agent left running, also in the virtual desktop
        if agentctl(bin_dir, "find", desktop=desktop) == 0:
            agentctl(bin_dir, "command", 32772, desktop=desktop)
            agentctl(bin_dir, "gone", desktop=desktop)
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data)
    with open(os.path.join(data, "conf.xml"), "wb") as f:
        f.write(AGENT_CONF)
    lacking = pwdesktop.missing()
    if os.path.exists(PICTURE):
        os.remove(PICTURE)  # a picture of an earlier run would tell the wrong story
    with PresenceServer(conf=AGENT_CONF, live=False) as srv, \
            pwtest.Install([os.path.join(bin_dir, "Pellwick.exe")],
                           prefix="pw_demo_agent_") as install:
        install.configure_agent(srv, host_id=12)
        banner("Pellwick.exe without argument: copies itself into the data folder and starts "
               "the copy, which reports its start-up status (live view)")
        srv.live = True
        tray = on_screen = desktop = None
        if lacking:
            print("  (no desktop and no picture: missing " + "; ".join(lacking) + ")")
            subprocess.run([WINERUN, install.exe("Pellwick.exe")], stdin=subprocess.DEVNULL,
                           timeout=60)
        else:
            tray = on_screen = TrayOnScreen(install.exe("Pellwick.exe"))
            desktop = on_screen.desktop.name
        srv.wait_for("status", timeout=20)
        time.sleep(0.2)
        if tray and tray.find_icon():
            seen("the icon appears at the right end of the taskbar; its tip reads ステータス")
        elif tray:
            print("  (the icon was not found on the taskbar: no clicks, no picture)")
            tray = None
        else:
            seen("the icon appears in the notification area; its tip reads ステータス")

        def pick(name, command):
            if tray and tray.choose(name):
                return
            if tray:
                print("  (the menu did not open: its command is sent to the agent instead)")
            agentctl(bin_dir, "command", command, desktop=desktop)

        def step(action, *args):
            return lambda: agentctl(bin_dir, action, *args, desktop=desktop)

        # (what happens, how, what a person sees, whether the picture is taken afterwards)
        steps = [("the session is locked", step("lock"), None, False),
                 ("the session is unlocked", step("unlock"), None, False),
                 ("the user right-clicks the icon and picks 会議中 (5)",
                  lambda: pick("会議中", 32804),
                  "the menu opens with " + ", ".join(MENU_ITEMS) + " (a line under 解除) and "
                  "no tick, as 在席 has no item; after the click the tick moves to 会議中", False),
                 ("the session is locked: 5 must stay", step("lock"),
                  "nothing changes: the tick stays on 会議中", True),
                 ("the user right-clicks the icon and picks 解除 (release)",
                  lambda: pick("解除", 32779),
                  "the menu opens again with the tick on 会議中; after 解除 no item is ticked",
                  False),
                 ("the computer suspends", step("suspend"), None, False),
                 ("it wakes and the session is unlocked", step("unlock"), None, False)]
        for text, action, person, picture in steps:
            count = len(srv.requests("status"))
            print(f"  -- {text}", flush=True)
            action()
            pwtest.wait_for(lambda: len(srv.requests("status")) > count, timeout=3)
            time.sleep(0.2)
            if person:
                seen(person)
            if picture and tray:
                ticked = tray.picture(PICTURE)
                if ticked is None:
                    print("  (the menu did not open for the picture)")
                else:
                    seen("the open menu, ticked: " + (", ".join(ticked) or "nothing") +
                         "; picture: " + PICTURE)
        banner("the user logs off: the end of the session waits for status 2")
        if desktop:
            # Windows asks the agent whether the session may end, as at a log-off.
            agentctl(bin_dir, "queryend", desktop=desktop)
        else:
            subprocess.run([WINERUN, "wineboot", "--end-session"], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        agentctl(bin_dir, "gone", desktop=desktop)
        seen("the icon disappears")
        time.sleep(0.3)
        srv.live = False
        if on_screen:
            on_screen.desktop.close()
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
