#!/usr/bin/env python3
"""The agent's cost while nobody touches the computer, against five baseline programs.

All run side by side under the same Wine over the same window of time: the agent in run
mode (its idle detector polling 20 times a second, the other monitors waiting);
idle_window.exe, which creates one hidden window and waits in its message loop;
"poll_baseline.exe full", which makes every call of one idle-detector poll as specified
(last input time, four pads, every joystick id, the debugger mark) every 50 ms;
"poll_baseline.exe lastinput", which only reads the last input time every 50 ms; and two
variants of the last one that add one part of the agent's poll each: "numdevs"
(joyGetNumDevs in every poll) and "turns" (every 2 s the four pads and one joystick id, the
ids taking turns, as the agent reads absent devices). Figures are
read from Linux (/proc): CPU time of all threads over the window (schedstat), resident and anonymous
memory at its end, and the wineserver's CPU time over the same window (shared by both).

Usage (after ./run build, with Xvfb: DISPLAY set, or one is started here):
    python3 bench/agent_idle.py [SECONDS] [AGENT_EXE]    (default 60)
AGENT_EXE: another build of Pellwick.exe to measure (for a before-and-after comparison).
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

CONF = ('<?xml version="1.0" encoding="UTF-8"?>\r\n<config>\r\n'
        '  <grpattendconf threshold="600" cycle="600"/>\r\n</config>\r\n').encode("ascii")


def cpu_seconds(pid):
    # Time on the CPU of every thread, in nanoseconds (finer than the clock ticks of stat).
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def memory_kib(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                values[key] = int(rest.split()[0])
    return values


def wineserver_pid():
    # The prefix's wineserver: the one whose working directory is the prefix's server dir.
    out = subprocess.run(["pgrep", "-f", "wineserver"], capture_output=True, text=True).stdout
    prefix = os.path.realpath(pwtest.wineprefix())
    for pid in out.split():
        try:
            environ = open(f"/proc/{pid}/environ", "rb").read().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={prefix}".encode() in environ or \
                f"WINEPREFIX={pwtest.wineprefix()}".encode() in environ:
            return int(pid)
    return None


def ensure_display():
    if os.environ.get("DISPLAY"):
        return None
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        os.environ["DISPLAY"] = ":" + f.readline().strip()
    return xvfb


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    agent_exe = sys.argv[2] if len(sys.argv) > 2 else None
    xvfb = ensure_display()
    data = pwtest.agent_data_folder()
    pwtest.taskkill("Pellwick.exe")
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data)
    with open(os.path.join(data, "conf.xml"), "wb") as f:
        f.write(CONF)
    srv = PresenceServer().start()
    install = pwtest.Install(["Pellwick.exe"], prefix="pw_bench_idle_")
    agent = baseline = full = lastinput = numdevs = turns = None
    try:
        if agent_exe:
            shutil.copy(agent_exe, install.exe("Pellwick.exe"))
        install.configure_agent(srv)
        agent = pwtest.start(install.exe("Pellwick.exe"), ["tmp"])
        baseline = pwtest.start("idle_window.exe")
        full = pwtest.start("poll_baseline.exe", ["full"])
        lastinput = pwtest.start("poll_baseline.exe", ["lastinput"])
        numdevs = pwtest.start("poll_baseline.exe", ["numdevs"])
        turns = pwtest.start("poll_baseline.exe", ["turns"])
        if srv.wait_for("status", timeout=30) is None:
            raise SystemExit("the agent did not report its start-up status")
        time.sleep(2)  # start-up settles: version report, first settings check

        procs = (agent, baseline, full, lastinput, numdevs, turns)
        server = wineserver_pid()
        start = {p.pid: cpu_seconds(p.pid) for p in procs}
        server_start = cpu_seconds(server) if server else None
        requests_before = len(srv.requests())
        time.sleep(seconds)
        used = {p.pid: cpu_seconds(p.pid) - start[p.pid] for p in procs}
        memory = {p.pid: memory_kib(p.pid) for p in (agent, baseline)}
        server_used = cpu_seconds(server) - server_start if server else None
        requests = len(srv.requests()) - requests_before

        a, b = agent.pid, baseline.pid
        print(f"idle for {seconds:.0f} s (agent threshold 600 s, cycle 600 s):")
        ratio = (f"ratio {used[a] / used[b]:.0f}" if used[b] > 0
                 else "no ratio: the baseline was never on the CPU")
        print(f"  CPU time      agent {used[a]:.3f} s ({100 * used[a] / seconds:.2f} %),"
              f" idle_window {used[b] * 1000:.3f} ms, {ratio}")
        for name, proc in (("every call of a poll", full), ("last input only", lastinput)):
            u = used[proc.pid]
            print(f"  baseline      {name}: {u:.3f} s; agent / baseline"
                  f" {used[a] / u:.2f}" if u > 0 else f"  baseline      {name}: 0 s")
        for name, proc in (("last input + joyGetNumDevs", numdevs),
                           ("last input + absent devices every 2 s", turns)):
            u = used[proc.pid]
            print(f"  variant       {name}: {u:.3f} s; / last input only"
                  f" {u / used[lastinput.pid]:.2f}" if used[lastinput.pid] > 0 else "")
        print(f"  per poll      {used[a] / (seconds * 20) * 1e6:.0f} µs of agent CPU"
              f" (20 polls a second)")
        print(f"  resident      agent {memory[a]['VmRSS']} KiB, idle_window"
              f" {memory[b]['VmRSS']} KiB, ratio {memory[a]['VmRSS'] / memory[b]['VmRSS']:.2f}")
        print(f"  anonymous     agent {memory[a]['RssAnon']} KiB, idle_window"
              f" {memory[b]['RssAnon']} KiB, ratio"
              f" {memory[a]['RssAnon'] / memory[b]['RssAnon']:.2f}")
        if server_used is not None:
            print(f"  wineserver    {server_used:.2f} s over the same time (all programs)")
        print(f"  requests to the server meanwhile: {requests}")
    finally:
        for proc in (agent, baseline, full, lastinput, numdevs, turns):
            if proc is not None:
                pwtest.stop(proc)
        pwtest.taskkill("Pellwick.exe")
        srv.stop()
        install.cleanup()
        if xvfb is not None:
            xvfb.terminate()


if __name__ == "__main__":
    main()
