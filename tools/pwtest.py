"""Shared helpers of the end-to-end tests (tests/e2e/test_*.py).

    import os, sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
    import pwtest
    from presence_server import PresenceServer, Answer

    BIN, SOURCE, WINERUN          built executables (PW_BIN), source root (PW_SOURCE), tools/winerun
    wait_for(pred, timeout)       polls pred() until true; returns its last value
    Install(exes)                 temporary install folder holding copies of PW_BIN executables;
                                  .path, .join(*parts), .write_ini(name, sections),
                                  .configure_updater(srv, ...), .configure_agent(srv, ...),
                                  .log(), .cleanup(); also a context manager
    write_ini(path, sections)     {section: {key: value}} as a CR LF INI file (ANSI by default)
    make_repo(folder, files, rows) update repository folder: list.txt + modules/
    make_cert(folder, host)       self-signed, expired certificate for another host: (cert, key)
    free_port()                   a free loopback port for a peer (proxy, web server)
    updater_ini(srv) / agent_config(srv)   INI sections pointing a program at srv
    run(exe, args, timeout)       runs a program to its end under tools/winerun
    start(exe, args)              starts one (Popen); stop it with stop(proc)
    taskkill(image)               ends a Windows process by image name (a relaunched copy)
    wineprefix(), agent_data_folder()   the prefix of winerun and the agent's data folder
    read_log(folder_or_file)      log lines (latin-1, split at CR LF); log_text() for the text
"""
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

def ia32_works():
    """Whether this kernel starts 32-bit Linux programs (so a 32-bit Wine can run)."""
    try:
        return subprocess.run(["/usr/lib/wine/wineserver32", "--version"],
                              capture_output=True, timeout=10).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


SOURCE = os.path.abspath(os.environ.get(
    "PW_SOURCE", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")))
# ctest passes PW_BIN; by hand, the build that runs here (64-bit where 32-bit Wine can't).
BIN = os.path.abspath(os.environ.get("PW_BIN") or os.path.join(
    SOURCE, "build", *(() if ia32_works() else ("x64",)), "bin"))
WINERUN = os.path.join(SOURCE, "tools", "winerun")

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from presence_server import PresenceServer, Answer, ROUTES  # noqa: E402,F401


def wait_for(predicate, timeout=30.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    """Writes a whole file, making its folder first."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def write_ini(path, sections, encoding="cp1252"):
    """Writes {section: {key: value}} as an INI file with CR LF line ends.

    The programs read it with the private-profile functions: a file without byte-order mark
    is taken in the ANSI code page; encoding="utf-16" writes one with a byte-order mark.
    """
    lines = []
    for section, keys in sections.items():
        lines.append(f"[{section}]")
        for key, value in keys.items():
            if isinstance(value, bool):
                value = int(value)
            lines.append(f"{key}={value}")
        lines.append("")
    with open(path, "wb") as f:
        f.write("\r\n".join(lines).encode(encoding))


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


def make_repo(folder, files=None, rows=None, list_bytes=None):
    """Fills an update repository folder as the presence server serves it.

    files: {name: bytes} written to modules/. rows: list.txt lines given as strings or tuples
    (name, version[, folder[, download_only]]) whose digest is taken from files[name]; by
    default one row "name|0|digest" per file. list_bytes overrides list.txt entirely.
    Returns list.txt's bytes.
    """
    files = files or {}
    os.makedirs(os.path.join(folder, "modules"), exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, "modules", name), "wb") as f:
            f.write(data)
    if list_bytes is None:
        if rows is None:
            rows = [(name, "0") for name in files]
        lines = []
        for row in rows:
            if isinstance(row, str):
                lines.append(row)
                continue
            name, version, *rest = row
            cols = [name, version]
            if rest:
                cols.append(rest[0] or ".")
            cols.append(md5_hex(files[name]))
            if len(rest) > 1:
                cols.append("1" if rest[1] else "0")
            lines.append("|".join(cols))
        list_bytes = "".join(line + "\r\n" for line in lines).encode("ascii")
    with open(os.path.join(folder, "list.txt"), "wb") as f:
        f.write(list_bytes)
    return list_bytes


def free_port():
    """A loopback port that was free a moment ago (for peers that need a fixed one)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


_CA_CONFIG = """[ca]
default_ca = pw
[pw]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
[any]
commonName = supplied
"""


def make_cert(folder, host="elsewhere.example", expired=True):
    """A self-signed certificate for `host` (expired in 2020 by default): (cert, key) paths."""
    os.makedirs(folder, exist_ok=True)
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    ca = tempfile.mkdtemp(prefix="pw_ca_", dir=folder)
    with open(os.path.join(ca, "ca.cnf"), "w") as f:
        f.write(_CA_CONFIG)
    open(os.path.join(ca, "index.txt"), "w").close()
    with open(os.path.join(ca, "serial"), "w") as f:
        f.write("01\n")
    csr = os.path.join(ca, "req.csr")
    subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", csr, "-subj", "/CN=" + host], check=True, capture_output=True)
    start, end = ("20200101000000Z", "20200201000000Z") if expired else (
        time.strftime("%Y%m%d000000Z", time.gmtime(time.time() - 86400)),
        time.strftime("%Y%m%d000000Z", time.gmtime(time.time() + 30 * 86400)))
    subprocess.run(["openssl", "ca", "-batch", "-notext", "-config", "ca.cnf", "-selfsign",
                    "-keyfile", key, "-in", csr, "-out", cert, "-startdate", start,
                    "-enddate", end], check=True, capture_output=True, cwd=ca)
    shutil.rmtree(ca, ignore_errors=True)
    return cert, key


def updater_ini(srv, host_id=12, ssl=False, server="127.0.0.1"):
    """(config.ini, update.ini) sections that point the updater at srv."""
    sections = srv.ini_sections()
    config = {"Config": {"Server": server, "Port": srv.port, "SSL": int(ssl),
                         "HostID": host_id}}
    return config, {"Update": sections["Update"]}


def agent_config(srv, host_id=12, ssl=False, server="127.0.0.1"):
    """config.ini sections that point the agent at srv."""
    return {"Config": {"Server": server, "Port": srv.port, "SSL": int(ssl), "HostID": host_id},
            "Server": srv.ini_sections()["Server"]}


def win_path(path):
    """The Wine view (Z: drive) of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def _exe_path(exe):
    if os.path.isabs(exe) or os.sep in exe:
        return exe
    return os.path.join(BIN, exe)


def wine_arch():
    """"win64" or "win32": the Wine that runs the executables of BIN."""
    arch = os.environ.get("PW_WINE_ARCH")
    if arch:
        return arch
    try:
        with open(os.path.join(BIN, "updater.exe"), "rb") as f:
            head = f.read(4096)
        offset = int.from_bytes(head[0x3C:0x40], "little")
        return "win64" if head[offset + 4:offset + 6] == b"\x64\x86" else "win32"
    except (OSError, ValueError):
        return "win32" if ia32_works() else "win64"


def wineprefix():
    """The Wine prefix that tools/winerun uses."""
    if os.environ.get("WINEPREFIX"):
        return os.environ["WINEPREFIX"]
    if wine_arch() == "win64":
        return os.path.join(SOURCE, "build", "x64", "wineprefix")
    return os.path.join(SOURCE, "build", "wineprefix")


def wine_user():
    return os.environ.get("USER") or os.environ.get("LOGNAME") or "root"


def agent_data_folder():
    """The agent's per-user data folder inside the prefix (Linux path)."""
    return os.path.join(wineprefix(), "drive_c", "users", wine_user(), "AppData", "Local",
                        "TAVRIK", "Brenlo")


def taskkill(image_name, timeout=30):
    """Ends every Windows process of that image name in the prefix (exit code of taskkill)."""
    return subprocess.run([WINERUN, "taskkill", "/F", "/IM", image_name],
                          stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout).returncode


def run(exe, args=(), timeout=120, cwd=None, env=None):
    """Runs a program under Wine to its end: CompletedProcess (stdout/stderr bytes)."""
    return subprocess.run([WINERUN, _exe_path(exe), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, cwd=cwd,
                          env=None if env is None else {**os.environ, **env})


def start(exe, args=(), cwd=None, env=None, output=None):
    """Starts a program under Wine; output: None (discarded) or a file path."""
    out = subprocess.DEVNULL if output is None else open(output, "wb")
    try:
        return subprocess.Popen([WINERUN, _exe_path(exe), *args], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, cwd=cwd,
                                env=None if env is None else {**os.environ, **env})
    finally:
        if output is not None:
            out.close()


def stop(proc, timeout=10):
    """Ends a process started by start() (the wine launcher and what it waits for)."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
    return proc.returncode


LOG_PLACES = (("updatelog", "log.txt"), ("logs", "log.txt"), ("log.txt",))


def log_file(folder_or_file):
    if os.path.isfile(folder_or_file):
        return folder_or_file
    for parts in LOG_PLACES:
        path = os.path.join(folder_or_file, *parts)
        if os.path.isfile(path):
            return path
    return os.path.join(folder_or_file, *LOG_PLACES[0])


def log_text(folder_or_file):
    """The log's text, its bytes taken as latin-1 ("" when there is none yet)."""
    try:
        with open(log_file(folder_or_file), "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def read_log(folder_or_file):
    """The log's lines without their CR LF (a folder: its updatelog/ or logs/ log.txt)."""
    text = log_text(folder_or_file)
    lines = text.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def log_messages(folder_or_file):
    """The message part of each log line (after "time|code|")."""
    return [line.split("|", 2)[2] if line.count("|") >= 2 else line
            for line in read_log(folder_or_file)]


class Install:
    """A temporary install folder with copies of the chosen executables."""

    def __init__(self, exes=("updater.exe",), prefix="pw_e2e_"):
        self.path = tempfile.mkdtemp(prefix=prefix)
        for exe in exes:
            shutil.copy(_exe_path(exe), self.path)

    def join(self, *parts):
        return os.path.join(self.path, *parts)

    def exe(self, name="updater.exe"):
        return self.join(name)

    def write_ini(self, name, sections, encoding="cp1252"):
        write_ini(self.join(name), sections, encoding)

    def configure_updater(self, srv, host_id=12, ssl=False, server="127.0.0.1", proxy=None):
        config, update = updater_ini(srv, host_id, ssl, server)
        self.write_ini("config.ini", config)
        self.write_ini("update.ini", update)
        if proxy is not None:
            self.write_ini("proxy.ini", {"Proxy": proxy})

    def configure_agent(self, srv, host_id=12, ssl=False, server="127.0.0.1"):
        self.write_ini("config.ini", agent_config(srv, host_id, ssl, server))

    def run(self, exe="updater.exe", args=(), timeout=120):
        return run(self.exe(exe), args, timeout)

    def log(self):
        return read_log(self.path)

    def log_text(self):
        return log_text(self.path)

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()


def wait_for_port(port, process=None, timeout=15.0):
    """True once something accepts on the loopback port; False at once if `process` ended."""
    def accepts():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False
    return wait_for(lambda: accepts() or (process is not None and process.poll() is not None),
                    timeout) and (process is None or process.poll() is None)


class Nginx:
    """nginx on a free loopback port with a private configuration, serving `root`."""

    def __init__(self, folder, root):
        self.port = free_port()
        prefix = os.path.join(folder, "nginx")
        os.makedirs(os.path.join(prefix, "logs"))
        config = os.path.join(prefix, "nginx.conf")
        with open(config, "w") as f:
            f.write("""daemon off;
master_process off;
pid %(p)s/nginx.pid;
error_log %(p)s/logs/error.log;
events { worker_connections 64; }
http {
    access_log %(p)s/logs/access.log;
    client_body_temp_path %(p)s/body;
    proxy_temp_path %(p)s/proxy;
    fastcgi_temp_path %(p)s/fastcgi;
    uwsgi_temp_path %(p)s/uwsgi;
    scgi_temp_path %(p)s/scgi;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
    }
}
""" % {"p": prefix, "port": self.port, "root": root})
        self.process = subprocess.Popen(["nginx", "-c", config, "-p", prefix],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for_port(self.port, self.process):
            self.stop()
            raise RuntimeError("nginx did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
