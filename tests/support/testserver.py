#!/usr/bin/env python3
"""The project's fault-injecting HTTP test server (Python 3 standard library).

    testserver.py --port 0 --port-file FILE [--tls-dir DIR]

Listens on 127.0.0.1 (HTTP/1.1, one thread per connection) and writes its
port to FILE. Every behaviour is chosen per request by the URL, so tests
share no state: give each test's URLs a unique &tag=... and read back what the
server saw through the control endpoints.

GET /file?...   (any path works the same; only /_... paths are control endpoints)
  size=N          body of N bytes (default 1000). Byte i of the body is
                  BLOCK[i % 65521], BLOCK = random.Random(seed).randbytes(65521)
                  (GET /_sha256?size=N&seed=S gives the hex SHA-256 of a body).
  seed=S          seed of the bytes (default 0)
  ranges=0        no Accept-Ranges; a ranged request gets 200 and the whole body
                  (default: "Accept-Ranges: bytes", Range honoured with 206 +
                  Content-Range, 416 past the end)
  status=N        answer with status N (body: a short text), no file
  disposition=V   send "Content-Disposition: V" (V exactly as given, URL-decoded)
  acceptranges=V  send "Accept-Ranges: V" instead of "bytes"
  lastmod=1       send "Last-Modified: Wed, 21 Oct 2015 07:28:00 GMT"
  nolength=1      no Content-Length: the body goes chunked
  stall=1         read the request, never answer (until the client goes away)
  reset=K         read the request, then RST the connection, for the first K
                  requests that carry this tag and path (reset=always: every one)
  close=K         read the request, then close without any answer (FIN), first K
  truncate=N      announce the full length, send only N body bytes, then close
  ranged200=1     a ranged request gets 200 with the whole body (ranges advertised)
  wrongrange=1    a ranged request gets 206 with the bytes and Content-Range of
                  offset 0 instead of the offset asked for
  rate=BPS        send the body at about BPS bytes per second (per connection)
  pool=NAME&limit=K  at most K requests of pool NAME at once; others get 503
  hold=MS         wait MS milliseconds before answering
  redirect=PATH   302 to PATH (the rest of the query is not kept)
  tag=X           groups the request record

A request in absolute form ("GET http://host/path HTTP/1.1"), as a client
sends it to an HTTP proxy, is served the same way and recorded with
"proxied": true, so the server doubles as a local proxy for tests.

Control endpoints (never recorded):
  GET /_requests?tag=X   JSON list of the requests seen with that tag, oldest
                         first: {"method", "path", "query" (dict), "target",
                         "headers" (dict), "range" (str|null), "time" (float),
                         "proxied", "status", "client_port"}
  GET /_clear?tag=X      forget them
  GET /_sha256?size=N&seed=S   hex SHA-256 of that body
  GET /_tls              JSON: the TLS listeners (see below)

With --tls-dir DIR (and the openssl command present) two more listeners serve
the same behaviour over TLS, each with its own self-signed certificate for
127.0.0.1 made at start: "trusted" (tests may import its certificate into the
trusted roots) and "untrusted" (never imported). Their ports and certificate
files are in DIR/testserver-tls.json and at GET /_tls.
"""
import argparse
import hashlib
import json
import os
import random
import select
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BLOCK_LEN = 65521
LAST_MODIFIED = "Wed, 21 Oct 2015 07:28:00 GMT"

_blocks = {}
_blocks_lock = threading.Lock()
_records = {}
_records_lock = threading.Lock()
_counters = {}  # (tag, path, kind) -> requests seen, for reset=K / close=K
_pools = {}
_pools_lock = threading.Lock()
_tls_info = {}
MAX_RECORDS_PER_TAG = 20000


def block(seed):
    with _blocks_lock:
        b = _blocks.get(seed)
        if b is None:
            data = random.Random(seed).randbytes(BLOCK_LEN)
            b = memoryview(data + data)
            _blocks[seed] = b
        return b


def body_bytes(seed, offset, length):
    """length bytes of the body, starting at offset."""
    b = block(seed)
    out = bytearray()
    while length > 0:
        start = offset % BLOCK_LEN
        n = min(length, BLOCK_LEN)
        out += b[start:start + n]
        offset += n
        length -= n
    return bytes(out)


def body_sha256(size, seed):
    h = hashlib.sha256()
    offset = 0
    while offset < size:
        n = min(1 << 20, size - offset)
        h.update(body_bytes(seed, offset, n))
        offset += n
    return h.hexdigest()


def parse_range(value, size):
    """(start, end inclusive) of a single "bytes=a-b" range; None if absent or
    malformed; "unsatisfiable" past the end."""
    if not value or not value.strip().lower().startswith("bytes="):
        return None
    range_spec = value.strip()[6:].split(",")[0].strip()
    try:
        a, _, b = range_spec.partition("-")
        if a == "":
            n = int(b)
            if n <= 0:
                return "unsatisfiable"
            return (max(0, size - n), size - 1)
        start = int(a)
        end = int(b) if b else size - 1
    except ValueError:
        return None
    if start >= size or end < start:
        return "unsatisfiable"
    return (start, min(end, size - 1))


class Abort(Exception):
    """Ends the connection without another byte."""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KavriTestServer/1.0"

    def log_message(self, fmt, *args):  # quiet; the records tell what happened
        pass

    def handle(self):
        try:
            super().handle()
        except (Abort, ConnectionError, BrokenPipeError, socket.timeout, ssl.SSLError, OSError):
            self.close_connection = True

    def finish(self):
        try:
            super().finish()
        except (ConnectionError, BrokenPipeError, OSError, ValueError):
            pass

    # -- helpers -----------------------------------------------------------------

    def _target(self):
        """(path, query dict, proxied) of the request line's target."""
        target = self.path
        proxied = False
        if target.lower().startswith(("http://", "https://")):
            proxied = True
            parts = urllib.parse.urlsplit(target)
            target = parts.path or "/"
            if parts.query:
                target += "?" + parts.query
        split = urllib.parse.urlsplit(target)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(split.query, keep_blank_values=True).items()}
        return split.path, query, proxied

    def _record(self, path, query, proxied):
        rec = {
            "method": self.command,
            "path": path,
            "query": query,
            "target": self.path,
            "headers": {k: v for k, v in self.headers.items()},
            "range": self.headers.get("Range"),
            "time": time.time(),
            "proxied": proxied,
            "status": None,
            "client_port": self.client_address[1] if self.client_address else None,
            "tls": isinstance(self.connection, ssl.SSLSocket),
        }
        tag = query.get("tag", "")
        with _records_lock:
            lst = _records.setdefault(tag, [])
            if len(lst) < MAX_RECORDS_PER_TAG:
                lst.append(rec)
        return rec

    def _count(self, tag, path, kind):
        with _records_lock:
            key = (tag, path, kind)
            _counters[key] = _counters.get(key, 0) + 1
            return _counters[key]

    def _send_simple(self, status, text, extra=None, head=False):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if not head:
            self.wfile.write(data)

    def _send_json(self, obj):
        data = json.dumps(obj).encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def _reset(self):
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self._hard_close()

    def _hard_close(self):
        try:
            self.connection.close()
        except OSError:
            pass
        raise Abort()

    def _stall(self):
        # Never answer; end when the client goes away (or after 10 minutes).
        deadline = time.time() + 600
        while time.time() < deadline:
            r, _, _ = select.select([self.connection], [], [], 0.5)
            if r:
                try:
                    if not self.connection.recv(1, socket.MSG_PEEK):
                        break
                except (OSError, ValueError):
                    break
                time.sleep(0.5)
        raise Abort()

    def _write_body(self, data, rate, chunked):
        view = memoryview(data)
        step = 16384 if not rate else max(1, min(16384, rate // 10))
        started = time.time()
        sent = 0
        while sent < len(view):
            piece = view[sent:sent + step]
            if chunked:
                self.wfile.write(b"%x\r\n" % len(piece) + bytes(piece) + b"\r\n")
            else:
                self.wfile.write(piece)
            sent += len(piece)
            if rate:
                due = started + sent / rate
                delay = due - time.time()
                if delay > 0:
                    time.sleep(delay)

    # -- request handling ------------------------------------------------------

    def do_GET(self):
        self._serve(head=False)

    def do_HEAD(self):
        self._serve(head=True)

    def _serve(self, head):
        path, query, proxied = self._target()
        if path.startswith("/_"):
            return self._control(path, query)
        rec = self._record(path, query, proxied)
        tag = query.get("tag", "")

        def status(code):
            rec["status"] = code

        def int_arg(name, default=0):
            try:
                return int(query.get(name, default))
            except ValueError:
                return default

        pool = query.get("pool")
        if pool is not None:
            limit = int_arg("limit", 1)
            with _pools_lock:
                busy = _pools.get(pool, 0)
                if busy >= limit:
                    status(503)
                    admitted = False
                else:
                    _pools[pool] = busy + 1
                    admitted = True
            if not admitted:
                self._send_simple(503, "pool busy\n", {"Connection": "close"}, head)
                self.close_connection = True
                return
        try:
            self._answer(path, query, tag, status, int_arg, head)
        finally:
            if pool is not None:
                with _pools_lock:
                    _pools[pool] -= 1

    def _answer(self, path, query, tag, status, int_arg, head):
        hold = int_arg("hold")
        if hold > 0:
            time.sleep(hold / 1000.0)

        if query.get("stall") == "1":
            status(-1)
            self._stall()
        reset = query.get("reset")
        if reset:
            n = self._count(tag, path, "reset")
            if reset == "always" or n <= int_arg("reset"):
                status(-2)
                self._reset()
        close = query.get("close")
        if close:
            n = self._count(tag, path, "close")
            if close == "always" or n <= int_arg("close"):
                status(-3)
                self._hard_close()
        redirect = query.get("redirect")
        if redirect:
            status(302)
            self._send_simple(302, "moved\n", {"Location": redirect}, head)
            return
        if "status" in query:
            code = int_arg("status", 200)
            status(code)
            self._send_simple(code, "status %d\n" % code, None, head)
            return

        size = int_arg("size", 1000)
        seed = int_arg("seed", 0)
        ranges_on = query.get("ranges", "1") != "0"
        rate = int_arg("rate")
        chunked = query.get("nolength") == "1"
        truncate = int_arg("truncate", -1)

        headers = {"Content-Type": "application/octet-stream"}
        if ranges_on:
            headers["Accept-Ranges"] = query.get("acceptranges", "bytes")
        elif "acceptranges" in query:
            headers["Accept-Ranges"] = query["acceptranges"]
        if "disposition" in query:
            headers["Content-Disposition"] = query["disposition"]
        if query.get("lastmod") == "1":
            headers["Last-Modified"] = LAST_MODIFIED

        code = 200
        start, end = 0, size - 1
        rng = parse_range(self.headers.get("Range"), size) if ranges_on else None
        if rng == "unsatisfiable":
            status(416)
            self._send_simple(416, "", {"Content-Range": "bytes */%d" % size}, head)
            return
        if rng and query.get("ranged200") != "1":
            code = 206
            start, end = rng
            if query.get("wrongrange") == "1":
                length = end - start + 1
                start, end = 0, length - 1
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, end, size)
        length = max(0, end - start + 1)

        status(code)
        self.send_response(code)
        for k, v in headers.items():
            self.send_header(k, v)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        if head:
            return
        if 0 <= truncate < length:
            self._write_body(body_bytes(seed, start, truncate), rate, False)
            self.wfile.flush()
            try:
                self.connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            raise Abort()
        offset = start
        while offset <= end:
            n = min(1 << 20, end - offset + 1)
            self._write_body(body_bytes(seed, offset, n), rate, chunked)
            offset += n
        if chunked:
            self.wfile.write(b"0\r\n\r\n")

    def _control(self, path, query):
        tag = query.get("tag", "")
        if path == "/_requests":
            with _records_lock:
                data = list(_records.get(tag, []))
            return self._send_json(data)
        if path == "/_clear":
            with _records_lock:
                _records.pop(tag, None)
                for key in [k for k in _counters if k[0] == tag]:
                    del _counters[key]
            return self._send_json({"cleared": tag})
        if path == "/_sha256":
            size = int(query.get("size", "1000"))
            seed = int(query.get("seed", "0"))
            return self._send_simple(200, body_sha256(size, seed))
        if path == "/_tls":
            return self._send_json(_tls_info)
        self._send_simple(404, "unknown control endpoint\n")


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # Client aborts and resets are normal here; never let them end the server.
        pass


class TlsServer(Server):
    def __init__(self, addr, handler, context):
        self.context = context
        super().__init__(addr, handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        return sock, addr

    def finish_request(self, request, client_address):
        try:
            request.settimeout(30)
            tls = self.context.wrap_socket(request, server_side=True)
            tls.settimeout(None)
        except (ssl.SSLError, OSError):
            try:
                request.close()
            except OSError:
                pass
            return
        self.RequestHandlerClass(tls, client_address, self)


def make_cert(directory, name):
    cert = os.path.join(directory, name + ".crt.pem")
    key = os.path.join(directory, name + ".key.pem")
    der = os.path.join(directory, name + ".crt.der")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "30", "-subj", "/CN=127.0.0.1 Kavri test " + name,
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key, der


def start_tls(directory):
    os.makedirs(directory, exist_ok=True)
    for name in ("trusted", "untrusted"):
        cert, key, der = make_cert(directory, name)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        srv = TlsServer(("127.0.0.1", 0), Handler, ctx)
        threading.Thread(target=srv.serve_forever, daemon=True).start()
        _tls_info[name + "_port"] = srv.server_address[1]
        _tls_info[name + "_cert_der"] = der
        _tls_info[name + "_cert_pem"] = cert
    path = os.path.join(directory, "testserver-tls.json")
    with open(path + ".tmp", "w") as f:
        json.dump(_tls_info, f)
    os.replace(path + ".tmp", path)


def main():
    ap = argparse.ArgumentParser(description="fault-injecting HTTP test server")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--tls-dir", help="also serve TLS (default: the port file's directory)")
    ap.add_argument("--no-tls", action="store_true")
    args = ap.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    tls_dir = args.tls_dir or (os.path.dirname(os.path.abspath(args.port_file)) if args.port_file else None)
    if tls_dir and not args.no_tls:
        try:
            start_tls(tls_dir)
        except (OSError, subprocess.CalledProcessError, ssl.SSLError) as e:
            print("TLS listeners not started:", e, file=sys.stderr)
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(port))
        os.replace(tmp, args.port_file)
    print("testserver listening on 127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
