#!/usr/bin/env python3
"""Runs the benchmarks under Wine and prints their figures with same-run baselines.

Usage (after ./run build; tools/winerun supplies the Wine environment):
    python3 bench/run.py [log|hash|check|all]
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The build that runs here: the 64-bit one where ./run made it (no 32-bit Wine on this host).
BIN = os.environ.get("PW_BIN") or next(
    d for d in (os.path.join(ROOT, "build", "x64", "bin"), os.path.join(ROOT, "build", "bin"))
    if os.path.isdir(d))
WINERUN = os.path.join(ROOT, "tools", "winerun")


def figures(output):
    values = {}
    for line in output.splitlines():
        parts = line.split()
        if len(parts) == 2:
            values[parts[0]] = parts[1]
    return values


def bench_log():
    with tempfile.TemporaryDirectory(prefix="pw_bench_log_") as folder:
        out = subprocess.run([WINERUN, os.path.join(BIN, "log_bench.exe"), folder],
                             capture_output=True, text=True, check=True).stdout
    print("log writer:")
    print(out.rstrip())


def bench_hash(size_mib=512):
    with tempfile.TemporaryDirectory(prefix="pw_bench_hash_") as folder:
        path = os.path.join(folder, "big.bin")
        with open(path, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(size_mib):
                f.write(block)
        # Warm the page cache once so both sides read from memory.
        subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)
        start = time.monotonic()
        md5 = subprocess.run(["md5sum", path], capture_output=True, text=True, check=True)
        md5_seconds = time.monotonic() - start
        out = figures(subprocess.run([WINERUN, os.path.join(BIN, "hash_bench.exe"), path],
                                     capture_output=True, text=True, check=True).stdout)
    ours = float(out["seconds"])
    same = out["digest"] == md5.stdout.split()[0]
    print(f"HashFile on {size_mib} MiB:")
    print(f"  HashFile {ours:.2f} s ({size_mib / ours:.0f} MiB/s), md5sum {md5_seconds:.2f} s"
          f" ({size_mib / md5_seconds:.0f} MiB/s), ratio {ours / md5_seconds:.2f}")
    print(f"  digest matches md5sum: {same}")
    print(f"  peak working set {out['peak_working_set_kib']} KiB,"
          f" peak private bytes {out['peak_pagefile_kib']} KiB")


def bench_check(files=1000, total_bytes=1 << 30):
    """The check of an installation that is current: 1000 listed files, 1 GiB in all."""
    with tempfile.TemporaryDirectory(prefix="pw_bench_check_") as folder:
        os.makedirs(os.path.join(folder, "updatetmp"))
        os.makedirs(os.path.join(folder, "sub"))
        rows = []
        paths = []
        for i in range(files):
            data = os.urandom(total_bytes // files + (1 if i < total_bytes % files else 0))
            sub = "sub" if i % 2 else "."
            name = f"file{i:04d}.bin"
            path = os.path.join(folder, sub, name)
            with open(path, "wb") as f:
                f.write(data)
            paths.append(path)
            rows.append(f"{name}|0|{sub}|{hashlib.md5(data).hexdigest()}")
        with open(os.path.join(folder, "updatetmp", "list.txt"), "wb") as f:
            f.write("".join(r + "\r\n" for r in rows).encode("ascii"))
        for path in paths:  # both sides read from the page cache
            subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)
        start = time.monotonic()
        subprocess.run(["md5sum", *paths], stdout=subprocess.DEVNULL, check=True)
        md5_seconds = time.monotonic() - start
        windows_folder = "Z:" + folder.replace("/", "\\")
        out = figures(subprocess.run([WINERUN, os.path.join(BIN, "check_bench.exe"),
                                      windows_folder],
                                     capture_output=True, text=True, check=True).stdout)
    ours = float(out["seconds"])
    total = total_bytes / (1 << 20)
    print(f"CheckList over {files} current files ({total:.0f} MiB):")
    print(f"  ReadList + CheckList {ours:.2f} s ({total / ours:.0f} MiB/s), md5sum {md5_seconds:.2f} s"
          f" ({total / md5_seconds:.0f} MiB/s), ratio {ours / md5_seconds:.2f}")
    print(f"  rows {out['rows']}, chosen for update {out['to_update']}")
    print(f"  peak working set {out['peak_working_set_kib']} KiB,"
          f" peak private bytes {out['peak_pagefile_kib']} KiB")


def main():
    which = sys.argv[1] if len(sys.argv) > 1 else "all"
    if which in ("log", "all"):
        bench_log()
    if which in ("hash", "all"):
        bench_hash()
    if which in ("check", "all"):
        bench_check()


if __name__ == "__main__":
    main()
