#!/usr/bin/env python3
"""Time and size of the Windows Installer package.

Usage (after ./run build): python3 bench/package_bench.py [BUILD]
Times `./run package` on an up-to-date build (set-up check, build check, package) and the
package step alone (installer/package.py, median of 5), and prints the package's size beside
the baseline measured here: the sum of the two programs' sizes.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def timed(args):
    started = time.monotonic()
    subprocess.run(args, check=True, capture_output=True, cwd=ROOT)
    return time.monotonic() - started


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    whole = timed([os.path.join(ROOT, "run"), "package", build])
    with tempfile.TemporaryDirectory(prefix="pw_bench_msi_") as tmp:
        output = os.path.join(tmp, "Pellwick.msi")
        alone = statistics.median(
            timed(["python3", os.path.join(ROOT, "installer", "package.py"), build,
                   "--output", output]) for _ in range(5))
        size = os.path.getsize(output)
    programs = {name: os.path.getsize(os.path.join(build, "bin", name))
                for name in ("updater.exe", "Pellwick.exe", "pwsetup.dll")}
    baseline = programs["updater.exe"] + programs["Pellwick.exe"]
    print("package of %s:" % build)
    print("  ./run package, build up to date   %.2f s" % whole)
    print("  package step alone (median of 5)  %.2f s" % alone)
    print("  package size                      %d bytes (%.2f MiB)" % (size, size / 2**20))
    print("  updater.exe + Pellwick.exe        %d bytes (%.2f MiB)" % (baseline, baseline / 2**20))
    print("  ratio package / programs          %.2f" % (size / baseline))
    print("  custom-action DLL (in the package) %d bytes" % programs["pwsetup.dll"])


if __name__ == "__main__":
    main()
