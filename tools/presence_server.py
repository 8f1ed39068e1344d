#!/usr/bin/env python3
"""Presence test server: the fixture of every end-to-end test and of ./run demo.

A small HTTP/1.1 server on loopback (Python standard library only) that answers every
request of common/server_contract.md, serves an update repository folder, records each
request and lets a test script its answers per path.

In-process use (tests)
----------------------
    from presence_server import PresenceServer, Answer
    srv = PresenceServer(repo="/tmp/repo", tls=None, live=False).start()
    srv.port, srv.url, srv.host                 # "http://127.0.0.1:PORT" ("https" with tls)
    srv.script("/pw/list.txt", status=500)                  # every answer of that path
    srv.script("/pw/list.txt", fail=2, fail_with=503)       # 503 twice, then the default answer
    srv.script("/pw/list.md5", fail=1, fail_with="drop", body="...")   # drop once, then body
    srv.script("/pw/status", prefix=True, body="-2")        # every path under /pw/status/
    srv.script("/pw/check/12", sequence=[Answer(body="1"), Answer(body="0")])  # last repeats
    srv.script("/x", chunked=True, body=b"hello")           # also: empty=True, delay=1.5,
                                                            # drop=True, length=N, headers=[..]
    srv.unscript(path=None)                     # remove one script or all
    srv.requests(kind=None, path=None)          # list of Request, oldest first
    srv.wait_for("list", timeout=10, count=1)   # kind name or predicate(Request) -> Request
    srv.set_conf(b"<config>...</config>")       # new conf.xml; the next check answers "1" once
    srv.repo = other_folder                     # the repository is read at request time
    srv.clear(); srv.stop()                     # or use "with PresenceServer(...) as srv:"

TLS: tls=(certfile, keyfile) or an ssl.SSLContext; the handshake runs in the request thread.

Answer fields (all optional): status (default 200, or the route's own when no body is
given), body (bytes or str; None = the route's own body), empty (Content-Length 0),
chunked (Transfer-Encoding chunked, no Content-Length), delay (seconds before answering),
drop (close the connection without answering), length (announced Content-Length; a larger
value than the body gives a truncated answer, then the connection is closed), no_length
(no Content-Length: the body ends with the connection), raw (bytes sent as they are instead
of an answer, then the connection is closed), headers (extra (name, value) pairs). A script holds a list of answers used in order; the last one
repeats unless once=True, after which the route's own answers return.

Request records: method, path (raw, exactly as on the request line), query-less route path
(`route_path`), version, headers (ordered (name, value) pairs as sent; `header(name)`
looks up without regard to case), body (bytes), fields (multipart parts: name, filename,
headers, data), multipart_error (text or None), kind, segments (path segments after the
route prefix), time (time.monotonic() at arrival), wall (time.time()), answer (status code,
"drop", or None while pending), connection (number of the TCP connection, counted from 1:
equal numbers mean a kept-alive connection), client ((address, port)). `to_json()` gives a JSON-ready dict (bytes as latin-1 text
plus base64).

Kinds: status, version, install, check, conf, list, listhash, listsig, module, complete,
loghead, logpost, other. Default routes (an INI file of a test names the same paths):
    List /pw/list.txt   ListHash /pw/list.md5   ListSignature /pw/list.sig
    Modules /pw/modules   Complete /pw/complete
    Log /pw/log   Install /pw/install   Version /pw/version   Check /pw/check
    Conf /pw/conf   Status /pw/status        (HEAD / is the log upload's connection test)

Default answers: status "1", version "ok", install "1", check "0" ("1" once after set_conf),
conf the current conf.xml, complete "ok", log POST 200 "ok", HEAD / 200, list the bytes of
<repo>/list.txt, listhash the 32 lower-case hex digits of their MD5 (computed per request),
listsig the bytes of <repo>/list.sig (the list's detached signature, as tools/release.py
writes it), module <repo>/modules/<name>; anything missing or unknown is 404. Content-Length is always
sent unless an answer asks for chunking.

Command line (demo, manual use, out-of-process callers)
-------------------------------------------------------
    python3 tools/presence_server.py --repo DIR [--port 0] [--json FILE] [--conf FILE]
                                     [--tls-cert F --tls-key F] [--quiet]
The first line printed is the port; then one live line per request. --json rewrites FILE
with every record after each request. Control paths (never recorded):
    GET  /__records[?kind=K&since=N]   JSON list of records (since = index of the first one)
    POST /__script   JSON {"path", "prefix", "once", "fail", "fail_with", "sequence": [..]}
                     plus answer fields; bytes (body, raw) may be given as text (latin-1)
                     or base64 in "body_b64", "raw_b64"; fail_with is a status number, "drop" or an answer object
    POST /__unscript JSON {"path": P} or {} for all
    POST /__clear    forget the records
    POST /__conf     the request body becomes conf.xml
"""
import argparse
import base64
import hashlib
import http.server
import io
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

ROUTES = {
    "list": "/pw/list.txt",
    "listhash": "/pw/list.md5",
    "listsig": "/pw/list.sig",
    "module": "/pw/modules",
    "complete": "/pw/complete",
    "logpost": "/pw/log",
    "install": "/pw/install",
    "version": "/pw/version",
    "check": "/pw/check",
    "conf": "/pw/conf",
    "status": "/pw/status",
}

# INI key of each route, for tests that write config.ini / update.ini.
INI_KEYS = {
    "list": ("Update", "List"),
    "listhash": ("Update", "ListHash"),
    "listsig": ("Update", "ListSignature"),
    "module": ("Update", "Modules"),
    "complete": ("Update", "Complete"),
    "logpost": ("Update", "Log"),
    "install": ("Server", "Install"),
    "version": ("Server", "Version"),
    "check": ("Server", "Check"),
    "conf": ("Server", "Conf"),
    "status": ("Server", "Status"),
}

DEFAULT_CONF = (
    '<?xml version="1.0" encoding="UTF-8"?>\r\n'
    "<config>\r\n"
    '  <timecontrol start_day="00:00:00"/>\r\n'
    '  <grpattendconf threshold="600" cycle="600"/>\r\n'
    "  <status>\r\n"
    '    <workstatus id="1" name="在席" autoreset="1"/>\r\n'
    '    <workstatus id="5" name="会議中" autoreset="0"/>\r\n'
    '    <workstatus id="6" name="外出" autoreset="0"/>\r\n'
    "  </status>\r\n"
    "</config>\r\n"
).encode("utf-8")


def _bytes(value):
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, bytearray):
        return bytes(value)
    return str(value).encode("latin-1")


def _decode_b64_keys(order):
    """JSON callers give bytes as "<field>_b64" in base64."""
    out = {}
    for key, value in order.items():
        if key.endswith("_b64"):
            out[key[:-4]] = base64.b64decode(value)
        else:
            out[key] = value
    return out


class Answer:
    """One scripted answer; see the module description for the fields."""

    def __init__(self, status=None, body=None, empty=False, chunked=False, delay=0.0,
                 drop=False, length=None, headers=None, no_length=False, raw=None):
        self.status = status
        self.no_length = no_length
        self.raw = _bytes(raw)
        self.body = _bytes(body)
        self.empty = empty
        self.chunked = chunked
        self.delay = float(delay or 0)
        self.drop = drop
        self.length = length
        self.headers = list(headers or [])

    @classmethod
    def coerce(cls, value):
        if isinstance(value, Answer):
            return value
        if value == "drop":
            return cls(drop=True)
        if isinstance(value, int):
            return cls(status=value)
        if isinstance(value, dict):
            value = _decode_b64_keys(value)
            if "headers" in value:
                value["headers"] = [tuple(h) for h in value["headers"]]
            return cls(**value)
        raise TypeError(f"not an answer: {value!r}")

    def __repr__(self):
        return f"Answer({self.__dict__!r})"


class _Script:
    def __init__(self, answers, once):
        self.answers = answers
        self.once = once
        self.used = 0
        self.lock = threading.Lock()

    def next(self):
        """The next answer, or None when a once-script is used up."""
        with self.lock:
            if self.used < len(self.answers):
                answer = self.answers[self.used]
                self.used += 1
                return answer
            if self.once or not self.answers:
                return None
            return self.answers[-1]


class Request:
    """What the server saw of one request."""

    def __init__(self, method, path, version, headers, kind, segments, route_path):
        self.method = method
        self.path = path
        self.route_path = route_path
        self.version = version
        self.headers = headers
        self.body = b""
        self.body_complete = True
        self.fields = []
        self.multipart_error = None
        self.kind = kind
        self.segments = segments
        self.time = time.monotonic()
        self.wall = time.time()
        self.answer = None
        self.answer_length = None
        self.index = -1
        self.connection = None
        self.client = None

    def header(self, name, default=None):
        lname = name.lower()
        for key, value in self.headers:
            if key.lower() == lname:
                return value
        return default

    def field(self, name):
        for f in self.fields:
            if f["name"] == name:
                return f
        return None

    def to_json(self):
        return {
            "index": self.index,
            "method": self.method,
            "path": self.path,
            "route_path": self.route_path,
            "version": self.version,
            "headers": [[k, v] for k, v in self.headers],
            "body": self.body.decode("latin-1"),
            "body_b64": base64.b64encode(self.body).decode("ascii"),
            "body_complete": self.body_complete,
            "fields": [{
                "name": f["name"],
                "filename": f["filename"],
                "headers": [[k, v] for k, v in f["headers"]],
                "data": f["data"].decode("latin-1"),
                "data_b64": base64.b64encode(f["data"]).decode("ascii"),
            } for f in self.fields],
            "multipart_error": self.multipart_error,
            "kind": self.kind,
            "segments": self.segments,
            "time": self.time,
            "wall": self.wall,
            "answer": self.answer,
            "answer_length": self.answer_length,
            "connection": self.connection,
            "client": list(self.client) if self.client else None,
        }

    def __repr__(self):
        return f"<{self.method} {self.path} {self.kind} -> {self.answer}>"


def parse_multipart(content_type, body):
    """Parses a multipart/form-data body strictly: (fields, error text or None)."""
    m = re.search(r'boundary=("?)([^";]+)\1', content_type or "", re.I)
    if not m:
        return [], "no boundary in Content-Type"
    delim = b"--" + m.group(2).encode("latin-1")
    if not body.startswith(delim + b"\r\n"):
        return [], "body does not start with the boundary line"
    fields = []
    pos = len(delim) + 2
    while True:
        head_end = body.find(b"\r\n\r\n", pos)
        if head_end < 0:
            return fields, "part headers not ended"
        headers = []
        for line in body[pos:head_end].split(b"\r\n"):
            name, sep, value = line.decode("latin-1").partition(":")
            if not sep:
                return fields, f"bad part header line {line!r}"
            headers.append((name, value.strip()))
        data_start = head_end + 4
        nxt = body.find(b"\r\n" + delim, data_start)
        if nxt < 0:
            return fields, "part not closed by a boundary"
        disposition = next((v for k, v in headers if k.lower() == "content-disposition"), "")
        name = re.search(r'(?:^|;)\s*name="([^"]*)"', disposition)
        filename = re.search(r'(?:^|;)\s*filename="([^"]*)"', disposition)
        fields.append({
            "name": name.group(1) if name else None,
            "filename": filename.group(1) if filename else None,
            "headers": headers,
            "data": body[data_start:nxt],
        })
        pos = nxt + 2 + len(delim)
        if body[pos:pos + 4] == b"--\r\n" and pos + 4 == len(body):
            return fields, None
        if body[pos:pos + 2] != b"\r\n":
            return fields, "bad bytes after a boundary"
        pos += 2


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PresenceTestServer/1.0"
    sys_version = ""
    timeout = 60

    def log_message(self, format, *args):
        pass

    def setup(self):
        super().setup()
        self.connection_id = self.server.owner._track(self.connection, True)
        if isinstance(self.connection, ssl.SSLSocket):
            try:
                self.connection.do_handshake()
            except (OSError, ssl.SSLError):
                # A client that refuses the certificate is not an error of the server.
                self.close_connection = True
                self.rfile = io.BytesIO()

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.owner._track(self.connection, False)

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (ConnectionError, ssl.SSLError, socket.timeout):
            self.close_connection = True

    def _read_body(self, record):
        te = self.headers.get("Transfer-Encoding", "")
        if "chunked" in te.lower():
            data = bytearray()
            while True:
                size_line = self.rfile.readline(65537)
                if not size_line:
                    record.body_complete = False
                    break
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(65537) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                chunk = self.rfile.read(size)
                data += chunk
                self.rfile.readline(3)
                if len(chunk) < size:
                    record.body_complete = False
                    break
            return bytes(data)
        length = self.headers.get("Content-Length")
        if not length:
            return b""
        try:
            want = int(length)
        except ValueError:
            self.close_connection = True
            return b""
        data = bytearray()
        try:
            while len(data) < want:
                chunk = self.rfile.read(min(65536, want - len(data)))
                if not chunk:
                    break
                data += chunk
        except socket.timeout:
            pass
        record.body_complete = len(data) == want
        if not record.body_complete:
            self.close_connection = True
        return bytes(data)

    def _serve(self):
        srv = self.server.owner
        raw_path = self.path
        if raw_path.startswith("/__"):
            return self._control(srv, raw_path)
        route_path = raw_path.split("?", 1)[0]
        kind, segments = srv.classify(self.command, route_path)
        record = Request(self.command, raw_path, self.request_version,
                         list(self.headers.items()), kind, segments, route_path)
        record.body = self._read_body(record)
        if self.command == "POST" and "multipart/" in self.headers.get("Content-Type", ""):
            record.fields, record.multipart_error = parse_multipart(
                self.headers.get("Content-Type"), record.body)
        record.connection = self.connection_id
        record.client = self.client_address[:2]
        srv._add(record)
        answer = srv._scripted(route_path) or Answer()
        if answer.delay:
            time.sleep(answer.delay)
        if answer.raw is not None:
            # Recorded before the client can see any byte, so a test never reads a blank answer.
            record.answer = "raw"
            record.answer_length = len(answer.raw)
            self.wfile.write(answer.raw)
            self.wfile.flush()
            srv._answered(record)
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            return
        if answer.drop:
            record.answer = "drop"
            srv._answered(record)
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if answer.body is not None or answer.empty:
            status = answer.status or 200
            body = b"" if answer.empty else answer.body
            ctype = "text/plain"
        else:
            default_status, default_body, ctype = srv.default_answer(record)
            status = answer.status or default_status
            body = default_body if answer.status in (None, default_status) else b""
            if kind == "check" and body == b"1" and status == 200:
                # Only a check answered with the route's own "1" takes the new conf.xml.
                srv._conf_taken()
        self._answer(record, srv, status, body, ctype, answer)

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_OPTIONS = _serve

    def _answer(self, record, srv, status, body, ctype, answer):
        self.send_response_only(status)
        self.send_header("Date", self.date_time_string())
        self.send_header("Content-Type", ctype)
        for name, value in answer.headers:
            self.send_header(name, value)
        truncated = False
        if answer.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif answer.no_length:
            # The body then ends where the connection does.
            self.close_connection = True
        else:
            length = len(body) if answer.length is None else int(answer.length)
            truncated = length > len(body)
            self.send_header("Content-Length", str(length))
        if truncated or self.close_connection:
            self.send_header("Connection", "close")
            self.close_connection = True
        # Recorded before the headers leave: a client may have the whole answer before
        # this thread runs again.
        record.answer = status
        record.answer_length = len(body)
        self.end_headers()
        if self.command != "HEAD":
            if answer.chunked:
                half = max(1, len(body) // 2)
                for part in (body[:half], body[half:]):
                    if part:
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
                self.wfile.write(b"0\r\n\r\n")
            else:
                self.wfile.write(body)
        self.wfile.flush()
        srv._answered(record)

    def _control(self, srv, raw_path):
        parsed = urllib.parse.urlsplit(raw_path)
        query = urllib.parse.parse_qs(parsed.query)
        body = self._read_body(Request("", "", "", [], "", [], ""))
        status, out = 200, {"ok": True}
        try:
            if parsed.path == "/__records":
                since = int(query.get("since", ["0"])[0])
                kind = query.get("kind", [None])[0]
                out = [r.to_json() for r in srv.requests(kind=kind) if r.index >= since]
            elif parsed.path == "/__script":
                order = json.loads(body or b"{}")
                path = order.pop("path")
                if "sequence" in order:
                    order["sequence"] = [Answer.coerce(a) for a in order["sequence"]]
                if "fail_with" in order and isinstance(order["fail_with"], dict):
                    order["fail_with"] = Answer.coerce(order["fail_with"])
                order = _decode_b64_keys(order)
                srv.script(path, **order)
            elif parsed.path == "/__unscript":
                order = json.loads(body or b"{}")
                srv.unscript(order.get("path"))
            elif parsed.path == "/__clear":
                srv.clear()
            elif parsed.path == "/__conf":
                srv.set_conf(body)
            else:
                status, out = 404, {"ok": False, "error": "unknown control path"}
        except (ValueError, TypeError, KeyError) as e:
            status, out = 400, {"ok": False, "error": str(e)}
        data = json.dumps(out).encode("utf-8")
        self.send_response_only(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = False

    def handle_error(self, request, client_address):
        # Clients that vanish mid-request are part of the scenarios, not server faults.
        pass


class PresenceServer:
    def __init__(self, repo=None, tls=None, live=False, routes=None, conf=None,
                 host="127.0.0.1", port=0, out=None, json_file=None):
        self.repo = repo
        self.routes = dict(ROUTES)
        self.routes.update(routes or {})
        self.live = live
        self.out = out or sys.stdout
        self.json_file = json_file
        self._conf = DEFAULT_CONF if conf is None else _bytes(conf)
        self._conf_pending = False
        self._records = []
        self._scripts = {}
        self._prefix_scripts = {}
        self._lock = threading.Condition()
        self._connections = set()
        self._connection_count = 0
        self._httpd = _HTTPServer((host, port), _Handler, bind_and_activate=True)
        self._httpd.owner = self
        self.scheme = "http"
        if tls is not None:
            if isinstance(tls, ssl.SSLContext):
                context = tls
            else:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(tls[0], tls[1])
            self._httpd.socket = context.wrap_socket(
                self._httpd.socket, server_side=True, do_handshake_on_connect=False)
            self.scheme = "https"
        self.host = host
        self.port = self._httpd.server_address[1]
        self.url = f"{self.scheme}://{host}:{self.port}"
        self._thread = None

    # -- life cycle
    def start(self):
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops listening and closes open connections, so no kept-alive one answers later."""
        if self._thread:
            self._httpd.shutdown()
            self._thread.join(5)
            self._thread = None
        self._httpd.server_close()
        with self._lock:
            connections, self._connections = list(self._connections), set()
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _track(self, conn, opened):
        with self._lock:
            if opened:
                self._connections.add(conn)
                self._connection_count += 1
                return self._connection_count
            self._connections.discard(conn)
            return None

    def __enter__(self):
        return self.start() if self._thread is None else self

    def __exit__(self, *exc):
        self.stop()

    # -- configuration
    def route(self, kind):
        return self.routes[kind]

    def ini_sections(self):
        """{section: {key: path}} of every route, for config.ini and update.ini."""
        out = {}
        for kind, (section, key) in INI_KEYS.items():
            out.setdefault(section, {})[key] = self.routes[kind]
        return out

    def set_conf(self, data):
        with self._lock:
            self._conf = _bytes(data)
            self._conf_pending = True

    def _conf_taken(self):
        with self._lock:
            self._conf_pending = False

    @property
    def conf(self):
        return self._conf

    def script(self, path, answer=None, *, prefix=False, once=False, fail=0, fail_with=404,
               sequence=None, **fields):
        """Scripts the answers of one path (or, with prefix=True, of every path under it)."""
        answers = [Answer.coerce(fail_with) for _ in range(int(fail))]
        if sequence is not None:
            answers += [Answer.coerce(a) for a in sequence]
        elif answer is not None:
            answers.append(Answer.coerce(answer))
        else:
            answers.append(Answer(**fields))
        table = self._prefix_scripts if prefix else self._scripts
        with self._lock:
            table[path.rstrip("/") if prefix else path] = _Script(answers, once)

    def unscript(self, path=None):
        with self._lock:
            if path is None:
                self._scripts.clear()
                self._prefix_scripts.clear()
            else:
                self._scripts.pop(path, None)
                self._prefix_scripts.pop(path.rstrip("/"), None)

    def clear(self):
        with self._lock:
            self._records = []

    # -- records
    def requests(self, kind=None, path=None):
        with self._lock:
            return [r for r in self._records
                    if (kind is None or r.kind == kind) and (path is None or r.path == path)]

    def wait_for(self, what, timeout=10.0, count=1):
        """Waits until `count` requests match; returns the last match (None on time-out)."""
        match = what if callable(what) else (lambda r: r.kind == what)
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                found = [r for r in self._records if match(r)]
                if len(found) >= count:
                    return found[count - 1]
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._lock.wait(min(left, 0.2))

    def wait_answered(self, what, timeout=10.0, count=1):
        """As wait_for, but also waits until that request has been answered (or dropped)."""
        r = self.wait_for(what, timeout, count)
        if r is None:
            return None
        deadline = time.monotonic() + timeout
        with self._lock:
            while r.answer is None and time.monotonic() < deadline:
                self._lock.wait(0.05)
        return r

    def _add(self, record):
        with self._lock:
            record.index = len(self._records)
            self._records.append(record)
            self._lock.notify_all()

    def _answered(self, record):
        with self._lock:
            self._lock.notify_all()
        if self.live:
            stamp = time.strftime("%H:%M:%S", time.localtime(record.wall))
            stamp += f".{int(record.wall * 1000) % 1000:03d}"
            extra = ""
            if record.fields:
                extra = "  fields: " + ", ".join(
                    f"{f['name']}({len(f['data'])} bytes)" for f in record.fields)
            length = "" if record.answer_length is None else f" ({record.answer_length} bytes)"
            print(f"{stamp}  {record.method:<4} {record.path}  [{record.kind}]"
                  f"  -> {record.answer}{length}{extra}", file=self.out, flush=True)
        if self.json_file:
            self.write_json(self.json_file)

    def write_json(self, path):
        data = json.dumps([r.to_json() for r in self.requests()], ensure_ascii=False, indent=1)
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(data)
        os.replace(tmp, path)

    def _scripted(self, route_path):
        with self._lock:
            script = self._scripts.get(route_path)
            if script is None:
                best = None
                for prefix, s in self._prefix_scripts.items():
                    if route_path == prefix or route_path.startswith(prefix + "/"):
                        if best is None or len(prefix) > len(best[0]):
                            best = (prefix, s)
                script = best[1] if best else None
        return script.next() if script else None

    # -- the route table and the default answers
    def classify(self, method, route_path):
        if method == "HEAD" and route_path == "/":
            return "loghead", []
        best = None
        for kind, prefix in self.routes.items():
            if route_path == prefix or route_path.startswith(prefix.rstrip("/") + "/"):
                if best is None or len(prefix) > len(best[1]):
                    best = (kind, prefix)
        if best is None:
            return "other", []
        rest = route_path[len(best[1]):].strip("/")
        return best[0], rest.split("/") if rest else []

    def _repo_file(self, folder, name):
        """Bytes of a file inside <repo>/<folder>, None when missing or outside it."""
        if not self.repo:
            return None
        root = os.path.realpath(os.path.join(self.repo, folder))
        path = os.path.realpath(os.path.join(root, name))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def _module(self, record):
        name = record.route_path[len(self.routes["module"].rstrip("/")) + 1:]
        if not name:
            return None
        candidates = [name.encode("latin-1")]
        unquoted = urllib.parse.unquote_to_bytes(name)
        if unquoted != candidates[0]:
            candidates.append(unquoted)
        for c in candidates:
            data = self._repo_file("modules", os.fsdecode(c))
            if data is not None:
                return data
        return None

    def default_answer(self, record):
        """(status, body, content type) that the route answers without a script."""
        kind, method = record.kind, record.method
        text = "text/plain"
        if kind == "loghead":
            return 200, b"", text
        if kind == "logpost":
            return (200, b"ok", text) if method == "POST" else (405, b"", text)
        if method not in ("GET", "HEAD"):
            return 405, b"", text
        if kind == "status":
            return 200, b"1", text
        if kind == "version":
            return 200, b"ok", text
        if kind == "install":
            return 200, b"1", text
        if kind == "complete":
            return 200, b"ok", text
        if kind == "check":
            return 200, (b"1" if self._conf_pending else b"0"), text
        if kind == "conf":
            return 200, self._conf, "application/xml"
        if kind in ("list", "listhash"):
            data = self._repo_file("", "list.txt")
            if data is None:
                return 404, b"", text
            if kind == "listhash":
                return 200, hashlib.md5(data).hexdigest().encode("ascii"), text
            return 200, data, text
        if kind == "listsig":
            data = self._repo_file("", "list.sig")
            if data is None:
                return 404, b"", text
            return 200, data, "application/octet-stream"
        if kind == "module":
            data = self._module(record)
            if data is None:
                return 404, b"", text
            return 200, data, "application/octet-stream"
        return 404, b"", text


def main(argv=None):
    parser = argparse.ArgumentParser(description="Presence test server (loopback only).")
    parser.add_argument("--repo", help="update repository folder (list.txt, modules/)")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--json", help="file rewritten with every record after each request")
    parser.add_argument("--conf", help="initial conf.xml file")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--quiet", action="store_true", help="no live view")
    args = parser.parse_args(argv)
    conf = None
    if args.conf:
        with open(args.conf, "rb") as f:
            conf = f.read()
    tls = (args.tls_cert, args.tls_key) if args.tls_cert else None
    srv = PresenceServer(repo=args.repo, tls=tls, live=not args.quiet, conf=conf,
                         port=args.port, json_file=args.json)
    print(srv.port, flush=True)
    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    srv.start()
    done.wait()
    srv.stop()
    if args.json:
        srv.write_json(args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
