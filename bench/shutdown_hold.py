#!/usr/bin/env python3
"""How long the agent holds the end of the session when the server takes the status report
and never answers.

The agent runs in launcher mode against the presence test server, which is then scripted
to accept the report of status 2 and stay silent. The end-of-session query goes to the
agent's window (agentctl queryend); the figure is the time from that query to the agent's
window being gone, which is when Windows may end the session. The baseline is the time
Windows gives an application to answer the query before it offers the user to end it
(5 s). A run that is still held after the cap (default 120 s) is reported as "more than".

Usage (after ./run build, with Xvfb: DISPLAY set, or one is started here):
    python3 bench/shutdown_hold.py [CAP_SECONDS] [AGENT_EXE]
AGENT_EXE: another build of Pellwick.exe to measure (for a before-and-after comparison).
"""
import os
import shutil
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402
from agent_idle import ensure_display  # noqa: E402

WINDOWS_ALLOWS = 5.0


def agentctl(*args, timeout=60):
    done = pwtest.run("agentctl.exe", [str(a) for a in args], timeout=timeout)
    return done.returncode


def main():
    cap = float(sys.argv[1]) if len(sys.argv) > 1 else 120.0
    agent_exe = sys.argv[2] if len(sys.argv) > 2 else None
    xvfb = ensure_display()
    data = pwtest.agent_data_folder()
    pwtest.taskkill("tmp_Pellwick.exe")
    shutil.rmtree(data, ignore_errors=True)
    srv = PresenceServer().start()
    install = pwtest.Install(["Pellwick.exe"], prefix="pw_bench_shutdown_")
    try:
        if agent_exe:
            shutil.copy(agent_exe, install.exe("Pellwick.exe"))
        install.configure_agent(srv)
        status2 = "%s/%d/%d" % (srv.route("status"), 12, 2)
        pwtest.start(install.exe("Pellwick.exe")).wait(60)
        if srv.wait_for("status", timeout=30) is None:
            raise SystemExit("the agent did not report its start-up status")
        time.sleep(2)
        srv.script(status2, delay=24 * 3600, body="1")
        start = time.monotonic()
        agentctl("queryend")
        held = None
        while time.monotonic() - start < cap:
            if agentctl("find") != 0:
                held = time.monotonic() - start
                break
            time.sleep(0.2)
        reports = len(srv.requests(path=status2))
        if held is None:
            print(f"end of session held: more than {cap:.0f} s (still held; {reports} report"
                  f" attempt(s) sent, none ended)")
        else:
            print(f"end of session held: {held:.2f} s ({reports} report attempts);"
                  f" Windows allows {WINDOWS_ALLOWS:.0f} s, ratio {held / WINDOWS_ALLOWS:.2f}")
    finally:
        pwtest.taskkill("tmp_Pellwick.exe")
        srv.stop()
        install.cleanup()
        if xvfb is not None:
            xvfb.terminate()


if __name__ == "__main__":
    main()
