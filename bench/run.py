#!/usr/bin/env python3
"""Runs the benchmarks under Wine and prints their figures with same-run baselines.

Usage (after ./run build; tools/winerun supplies the Wine environment):
    python3 bench/run.py [log|hash|check|http|status|signature|all]
(status starts the agent under Wine: it uses DISPLAY, or starts its own Xvfb.)
"""
import base64
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import pwtest  # noqa: E402
from agent_idle import ensure_display  # noqa: E402

# The build the tests run on this host.
BIN = pwtest.BIN
WINERUN = pwtest.WINERUN


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


def bench_status(changes=200):
    out = figures(subprocess.run([WINERUN, os.path.join(BIN, "status_bench.exe"),
                                  os.path.join(BIN, "Pellwick.exe"), str(changes)],
                                 capture_output=True, text=True, check=True).stdout)
    print(f"status change -> report at the server, {out['changes']} changes:")
    print(f"  agent p50 {out['agent_p50_ms']} ms, p99 {out['agent_p99_ms']} ms;"
          f" plain GET p50 {out['plain_get_p50_ms']} ms, p99 {out['plain_get_p99_ms']} ms;"
          f" ratio (p50) {out['ratio_p50']}")


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
        windows_folder = pwtest.win_path(folder)
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


def curl_times(url, count, close):
    """Per-request seconds of `count` fetches of `url` by one curl process."""
    args = ["curl", "-s", "-w", "%{time_total}\\n"]
    if close:
        args += ["-H", "Connection: close"]
    out = subprocess.run(args + ["-o", "/dev/null", url] * count, capture_output=True, text=True,
                         check=True)
    return sorted(float(t) * 1000 for t in out.stdout.split())


def bench_http(count=1000, big_mib=50):
    with tempfile.TemporaryDirectory(prefix="pw_bench_http_") as folder:
        root = os.path.join(folder, "www")
        os.makedirs(root)
        with open(os.path.join(root, "status.txt"), "wb") as f:
            f.write(b"1")
        with open(os.path.join(root, "big.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(big_mib):
                f.write(block)
        nginx = pwtest.Nginx(folder, root)
        port = nginx.port
        try:
            ours = figures(subprocess.run(
                [WINERUN, os.path.join(BIN, "http_bench.exe"), "127.0.0.1", str(port),
                 "/status.txt", str(count)], capture_output=True, text=True, check=True).stdout)
            url = f"http://127.0.0.1:{port}/status.txt"
            fresh = curl_times(url, count, close=True)
            kept = curl_times(url, count, close=False)
            big = figures(subprocess.run(
                [WINERUN, os.path.join(BIN, "http_bench.exe"), "127.0.0.1", str(port),
                 "/big.bin", "3"], capture_output=True, text=True, check=True).stdout)
            big_curl = curl_times(f"http://127.0.0.1:{port}/big.bin", 3, close=True)
        finally:
            nginx.stop()

    def p(values, q):
        return values[min(len(values) - 1, int(len(values) * q))]

    p50, p99 = float(ours["p50_ms"]), float(ours["p99_ms"])
    print(f"GET round trip, {count} requests of a 1-byte body from nginx on loopback:")
    print(f"  CHttpClient::Get   p50 {p50:.2f} ms  p99 {p99:.2f} ms"
          "  (new session and connection each)")
    print(f"  curl, new conn.    p50 {p(fresh, 0.5):.2f} ms  p99 {p(fresh, 0.99):.2f} ms"
          f"  ratio p50 {p50 / p(fresh, 0.5):.1f}, p99 {p99 / p(fresh, 0.99):.1f}")
    print(f"  curl, keep-alive   p50 {p(kept, 0.5):.2f} ms  p99 {p(kept, 0.99):.2f} ms")
    ours_mib_s = 3 * big_mib / float(big["seconds"])
    curl_mib_s = big_mib / statistics.median(big_curl) * 1000
    print(f"Download of a {big_mib} MiB body (median of 3 for curl, mean of 3 for Get):")
    print(f"  CHttpClient::Get {ours_mib_s:.0f} MiB/s, curl {curl_mib_s:.0f} MiB/s,"
          f" ratio {curl_mib_s / ours_mib_s:.1f}")


def bench_signature(count=50):
    """A signed list: its download beside the signature's request and verification."""
    print(f"signed list, median of {count} rounds against nginx on loopback:")
    with tempfile.TemporaryDirectory(prefix="pw_bench_sig_") as folder:
        root = os.path.join(folder, "www")
        os.makedirs(root)
        nginx = pwtest.Nginx(folder, root)
        try:
            for bits in (2048, 4096):
                key = os.path.join(folder, f"key{bits}.pem")
                subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                f"rsa_keygen_bits:{bits}", "-out", key], check=True,
                               capture_output=True)
                der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform",
                                      "DER"], check=True, capture_output=True).stdout
                key_file = os.path.join(folder, f"key{bits}.b64")
                with open(key_file, "w") as f:
                    f.write(base64.b64encode(der).decode("ascii"))
                for rows in (100, 1000, 10000):
                    listed = "".join(f"file{i:05d}.bin|1.0.0.{i}|sub|"
                                     f"{hashlib.sha256(str(i).encode()).hexdigest()}\r\n"
                                     for i in range(rows)).encode("ascii")
                    path = os.path.join(root, "list.txt")
                    with open(path, "wb") as f:
                        f.write(listed)
                    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out",
                                    os.path.join(root, "list.sig"), path], check=True)
                    out = figures(subprocess.run(
                        [WINERUN, os.path.join(BIN, "signature_bench.exe"), "127.0.0.1",
                         str(nginx.port), "/list.txt", "/list.sig", pwtest.win_path(key_file),
                         str(count)], capture_output=True, text=True, check=True).stdout)
                    print(f"  {bits}-bit key, {rows} rows ({int(out['list_bytes']) // 1024} KiB):"
                          f" list download {out['download_p50_ms']} ms;"
                          f" signature request {out['signature_fetch_p50_ms']} ms,"
                          f" provider and key {out['key_p50_ms']} ms,"
                          f" verification {out['verify_p50_ms']} ms;"
                          f" check / download {out['ratio_check']}")
        finally:
            nginx.stop()


def main():
    which = sys.argv[1] if len(sys.argv) > 1 else "all"
    if which in ("log", "all"):
        bench_log()
    if which in ("hash", "all"):
        bench_hash()
    if which in ("check", "all"):
        bench_check()
    if which in ("http", "all"):
        bench_http()
    if which in ("status", "all"):
        # The agent opens a window: it needs an X display, ./run's or one of its own.
        try:
            xvfb = ensure_display()
        except OSError as e:
            sys.exit(f"status: no DISPLAY and no Xvfb to start one ({e}); install xvfb")
        try:
            bench_status()
        finally:
            if xvfb is not None:
                xvfb.terminate()
                xvfb.wait(10)
    if which in ("signature", "all"):
        bench_signature()


if __name__ == "__main__":
    main()
