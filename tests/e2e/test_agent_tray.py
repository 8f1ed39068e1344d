"""The tray as a person uses it: the agent in Wine's virtual desktop with its taskbar, its icon
found on a screenshot, right-clicked and its menu items clicked through the X server."""
import os
import sys
import tempfile
import unittest

from agent_support import CONF, AgentTestCase, agentctl, pwtest

import pwdesktop

# The menu of CONF: "解除", the separator (not a row of text), then the statuses above 4.
RELEASE, MEETING, OUT = 0, 1, 2


def shots_folder():
    """Beside ctest's log when ctest runs the test, else the temporary folder."""
    folder = os.path.join(pwtest.BIN, "..", "Testing", "Temporary")
    return os.path.abspath(folder) if os.path.isdir(folder) else tempfile.gettempdir()


class AgentTray(AgentTestCase):
    def setUp(self):
        lacking = pwdesktop.missing()
        if lacking:
            self.skipTest("no real clicks here, missing: " + "; ".join(lacking))
        # An agent left running in the virtual desktop would keep a new one from starting.
        if agentctl("-desktop", "shell", "find")[0] == 0:
            agentctl("-desktop", "shell", "command", 32772)
            agentctl("-desktop", "shell", "gone")
        super().setUp()
        self.store("conf.xml", CONF)

    def shot(self, screen, name):
        """Saves the screenshot for a person to look at; returns a message naming it."""
        path = screen.save(os.path.join(shots_folder(), f"tray-test-{name}.png"))
        return f"screenshot: {path}"

    def stop_on_desktop(self, desktop):
        # Escape from a menu left open, end the agent through its exit command, then the
        # desktop ends by itself; other tests share the prefix and its wineserver.
        pwdesktop.click(desktop.x + 5, desktop.y + 5)
        agentctl("-desktop", desktop.name, "command", 32772)
        if agentctl("-desktop", desktop.name, "gone")[0] != 0:
            pwtest.taskkill("tmp_Pellwick.exe")
        if not desktop.close():
            print("the virtual desktop did not end by itself: its explorer was ended",
                  file=sys.stderr)

    def open_menu(self, tray, icon, name):
        screen, menu = tray.open_menu(icon)
        self.assertIsNotNone(menu, "no menu opened; " + self.shot(screen, name))
        self.assertEqual(len(menu.rows), 3, "rows %s; %s" % (menu.rows, self.shot(screen, name)))
        return screen, menu

    def choose(self, menu, row, status):
        pwdesktop.click(*menu.centre(row))
        self.assertIsNotNone(self.srv.wait_for(self.status_is(status), timeout=15),
                             self.srv.requests())

    def test_right_click_choose_and_tick(self):
        desktop = pwdesktop.Desktop(self.install.exe("Pellwick.exe"))
        self.addCleanup(self.stop_on_desktop, desktop)
        self.assertIsNotNone(self.srv.wait_for(self.status_is(1), timeout=30),
                             self.srv.requests())
        self.assertTrue(desktop.wait_shown(), "no desktop with a taskbar; " +
                        self.shot(pwdesktop.Screen(), "desktop"))
        tray = pwdesktop.Tray(desktop)
        screen, icon = tray.find_icon()
        self.assertIsNotNone(icon, "no icon at the taskbar's right end; " +
                             self.shot(screen, "no-icon"))

        screen, menu = self.open_menu(tray, icon, "first-menu")
        ticks = [menu.ticked(row) for row in range(3)]
        self.assertEqual(ticks, [False] * 3, self.shot(screen, "first-menu"))
        self.choose(menu, MEETING, 5)

        # A second right click opens the menu again, with the tick on the chosen status.
        screen, menu = self.open_menu(tray, icon, "second-menu")
        ticks = [menu.ticked(row) for row in range(3)]
        self.assertEqual(ticks, [False, True, False], self.shot(screen, "second-menu"))
        self.choose(menu, OUT, 6)

        screen, menu = self.open_menu(tray, icon, "third-menu")
        ticks = [menu.ticked(row) for row in range(3)]
        self.assertEqual(ticks, [False, False, True], self.shot(screen, "third-menu"))
        self.choose(menu, RELEASE, 1)
        self.expect_statuses([1, 5, 6, 1])


if __name__ == "__main__":
    unittest.main()
