#!/usr/bin/env python3
"""The agent's downtime during an update: from the moment the updater's Terminator ends
the running program to the moment its Launcher has started it again, for 1, 10 and 50
replaced files, beside the fixed waits that bound it from below (two seconds after every
backup copy and two seconds after every copy into place).

Usage (after ./run build; tools/winerun supplies the Wine environment):
    python3 bench/update_downtime.py [COUNTS...]      default: 1 10 50
The stand-in for the agent is the tests' fixture program, waiting until it is ended; the
start list runs it once to write a marker file, as the agent's launcher mode hands over and
returns.
"""
import hashlib
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import pwtest  # noqa: E402
from presence_server import PresenceServer  # noqa: E402

FILE_SIZE = 256 << 10
COPY_WAIT = 2.0


def one_run(count):
    repo = tempfile.mkdtemp(prefix="pw_bench_repo_")
    install = pwtest.Install(prefix="pw_bench_upd_")
    srv = PresenceServer(repo=repo).start()
    try:
        os.makedirs(os.path.join(repo, "modules"))
        lines = []
        for i in range(count):
            name = f"f{i:03}.bin"
            new = hashlib.sha256(b"new%d" % i).digest() * (FILE_SIZE // 32)
            with open(os.path.join(repo, "modules", name), "wb") as f:
                f.write(new)
            with open(install.join(name), "wb") as f:
                f.write(b"old" * 1000)
            # Half the rows SHA-256, half MD5: both kinds cost the same waits.
            digest = (hashlib.sha256(new) if i % 2 else hashlib.md5(new)).hexdigest()
            lines.append(f"{name}|0|{digest}")
        with open(os.path.join(repo, "list.txt"), "wb") as f:
            f.write("".join(l + "\r\n" for l in lines).encode())
        agent = "pwbench_agent.exe"
        shutil.copy(os.path.join(pwtest.BIN, "fixtures", "fixture_proc.exe"), install.join(agent))
        config, update = pwtest.updater_ini(srv)
        update["Stop"] = {"1": agent}
        update["Start"] = {"1": f"[EXEPATH]\\{agent} marker [EXEPATH]\\started.txt"}
        install.write_ini("config.ini", config)
        install.write_ini("update.ini", update)

        running = pwtest.start(install.exe(agent), ("wait", "3600000"))
        time.sleep(1.0)  # let it come up before the updater looks for it
        marker = install.join("started.txt")
        updater = pwtest.start(install.exe(), ("tmp",))
        stopped = started = None
        while True:
            now = time.monotonic()
            if stopped is None and running.poll() is not None:
                stopped = now
            if started is None and os.path.exists(marker):
                started = now
            if started is not None or updater.poll() is not None:
                break
            time.sleep(0.002)
        updater.wait(60)
        log = pwtest.log_messages(install.path)
        if (stopped is None or started is None or "UpdateFiles: error" in log
                or log[-1] != "Launcher: "):
            raise RuntimeError("the update did not run through:\n" + "\n".join(log))
        return started - stopped
    finally:
        srv.stop()
        install.cleanup()
        shutil.rmtree(repo, True)


def main():
    counts = [int(a) for a in sys.argv[1:]] or [1, 10, 50]
    print(f"Agent downtime during an update ({FILE_SIZE >> 10} KiB files, each backed up and"
          " replaced):")
    print(f"  {'files':>5}  {'downtime':>9}  {'fixed waits':>11}  {'ratio':>6}")
    for count in counts:
        downtime = one_run(count)
        bound = 2 * COPY_WAIT * count
        print(f"  {count:>5}  {downtime:>8.2f}s  {bound:>10.1f}s  {downtime / bound:>6.3f}")


if __name__ == "__main__":
    main()
