#!/usr/bin/env python3
"""The project's fault-injecting HTTP test server (Python 3 standard library).

    testserver.py --port 0 --port-file FILE [--files-dir DIR]

HTTP/1.1 on 127.0.0.1, a thread per connection; the port goes to FILE. Each request's query
chooses the behaviour; give a test's URLs a unique tag=X and read back what the server saw.
Body: size=N&seed=S (default 1000, 0; byte i is BLOCK[i % 65521], BLOCK = Random(S).randbytes),
  file=NAME (from --files-dir, with ETag and Last-Modified; 404 if none), etag=V, lastmod=1,
  changeafter=K&seed2=S2 (from the tag's K-th request: seed S2, ETag "S2"), gzip=1 (whatever was
  asked; ranges of the compressed bytes), disposition=V (Content-Disposition).
Ranges: on by default (206, 416 past the end; an If-Range that does not match: 200 + whole body);
  ranges=0 (none: 200 + whole body), acceptranges=V, ranged200=1 (advertised, answered 200),
  wrongrange=1 (206 with the bytes of offset 0).
Faults: status=N; fail=K[&failstatus=N] (the first K requests of tag and path, default 404);
  nolength=1 (chunked); truncate=N (full length announced, N bytes sent, closed); stall=1 (never
  answered); reset=K / close=K (RST / FIN for the first K of tag and path, K=always: all);
  rate=BPS; slowevery=K&slowrate=BPS (every K-th request of the tag, 0: never answered);
  hold=MS; pool=NAME&limit=K[&poolstatus=N] (at most K at once, others 503 or N); retryafter=V
  (Retry-After: V on every 429 and 503);
  redirect=PATH (302; with this query when PATH has none: a loop); dieafter=N (once the tag's
  answers have sent N body bytes, that answer and every later one end in a RST: a dead server).
A request in absolute form (to a proxy) is served and recorded with "proxied": true. Control:
  /_requests?tag=X  JSON list, oldest first: method, path, query, target, headers, range, time,
                    proxied, tls, status (-1 stall, -2 reset, -3 close, -4 kept-alive connection
                    closed), sent (body bytes); unreadable requests go to tag _bad
  /_sha256?size=N&seed=S or ?file=NAME  hex SHA-256 of that body
  /_tls             ports and certificates of the "trusted" and "untrusted" TLS listeners
                    (self-signed for 127.0.0.1, made at start with openssl; testserver-tls.json)
"""
import argparse, email.utils, gzip, hashlib, json, os, random, select, socket, ssl, struct, subprocess, sys
import threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BLOCK_LEN = 65521
FILES_DIR = "."
_lock = threading.Lock()
_blocks, _records, _counters, _pools, _tls_info = {}, {}, {}, {}, {}

def body(query, n=0):
    """(size, read(offset, length), validator headers) of the bytes the tag's n-th request serves."""
    size, headers = int(query.get("size", 1000)), {"ETag": '"%s"' % query["etag"]} if "etag" in query else {}
    if "file" in query:
        path = os.path.join(FILES_DIR, query["file"])
        st = os.stat(path)
        size, headers = st.st_size, dict({"ETag": '"%x-%x"' % (st.st_size, st.st_mtime_ns),
                                          "Last-Modified": email.utils.formatdate(st.st_mtime, usegmt=True)}, **headers)

        def read(offset, length):
            with open(path, "rb") as f:
                f.seek(offset)
                return f.read(length)
    else:
        seed = int(query.get("seed", 0))
        if "changeafter" in query and n >= int(query["changeafter"]):
            seed = int(query.get("seed2", seed + 1))
            headers["ETag"] = '"%d"' % seed
        with _lock:
            block = _blocks.setdefault(seed, random.Random(seed).randbytes(BLOCK_LEN))

        def read(offset, length):
            start = offset % BLOCK_LEN
            return (block * ((start + length) // BLOCK_LEN + 1))[start:start + length]
    if query.get("gzip") == "1":
        data = gzip.compress(read(0, size), mtime=0)
        size, read = len(data), lambda offset, length: data[offset:offset + length]
    return size, read, headers

def parse_range(value, size):
    """(first, last) of "bytes=a-b"; None when absent or malformed; "416" past the end."""
    if not value or not value.strip().lower().startswith("bytes="):
        return None
    a, _, b = value.strip()[6:].split(",")[0].strip().partition("-")
    try:
        if a == "":
            return (max(0, size - int(b)), size - 1) if int(b) > 0 else "416"
        first, last = int(a), int(b) if b else size - 1
    except ValueError:
        return None
    return "416" if first >= size or last < first else (first, min(last, size - 1))

class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KavriTestServer/1.0"

    def log_message(self, *args):  # quiet; the records tell what happened
        pass

    def do_GET(self):
        self.serve()

    def setup(self):
        super().setup()
        self.began = time.time()

    def send_error(self, code, message=None, explain=None):  # an unreadable request (TLS to this port)
        with _lock:
            _records.setdefault("_bad", []).append({"time": self.began, "status": code})
        super().send_error(code, message, explain)

    def send(self, code, text, headers=None, ctype="text/plain; charset=utf-8"):
        data = text.encode("utf-8")
        if code in (429, 503) and "retryafter" in getattr(self, "query", {}):
            headers = dict(headers or {}, **{"Retry-After": self.query["retryafter"]})
        self.rec["status"] = code
        self.send_response(code)
        for k, v in dict({"Content-Type": ctype, "Content-Length": str(len(data))}, **(headers or {})).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def abort(self, status, rst=False):
        self.rec["status"] = status
        if rst:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        raise ConnectionAbortedError()  # ends the connection; Server.handle_error is silent

    def first_k(self, key):
        """True for the first K requests with this tag and path (query key=K)."""
        k = self.query.get(key)
        if not k:
            return False
        counter = (self.query.get("tag", ""), self.rec["path"], key)
        with _lock:
            n = _counters[counter] = _counters.get(counter, 0) + 1
        return k == "always" or n <= int(k)

    def serve(self):
        self.rec, self.served = {}, getattr(self, "served", 0) + 1  # requests on this connection
        split = urllib.parse.urlsplit(self.path)
        path = split.path or "/"
        self.query = query = {k: v[-1] for k, v in urllib.parse.parse_qs(split.query, keep_blank_values=True).items()}
        if path.startswith("/_"):
            return self.control(path, query.get("tag", ""))
        self.rec = {"method": self.command, "path": path, "query": query, "target": self.path,
                    "headers": dict(self.headers.items()), "range": self.headers.get("Range"), "time": time.time(),
                    "proxied": bool(split.scheme), "tls": isinstance(self.connection, ssl.SSLSocket),
                    "status": None, "sent": 0}
        pool = query.get("pool")
        with _lock:
            _records.setdefault(query.get("tag", ""), []).append(self.rec)
            self.n = len(_records[query.get("tag", "")])  # the tag's n-th request
            admitted = pool is None or _pools.get(pool, 0) < int(query.get("limit", 1))
            if pool is not None and admitted:
                _pools[pool] = _pools.get(pool, 0) + 1
        if not admitted:
            self.close_connection = True
            return self.send(int(query.get("poolstatus", 503)), "pool busy\n", {"Connection": "close"})
        try:
            self.answer(query)
        finally:
            if pool is not None:
                with _lock:
                    _pools[pool] -= 1

    def answer(self, query):
        time.sleep(int(query.get("hold", 0)) / 1000.0)
        slow = "slowevery" in query and self.n % int(query["slowevery"]) == 0
        if query.get("stall") == "1" or slow and int(query.get("slowrate", 0)) == 0:  # until the client goes away
            self.rec["status"] = -1
            while select.select([self.connection], [], [], 600)[0] and self.connection.recv(1, socket.MSG_PEEK):
                time.sleep(0.5)
            raise ConnectionAbortedError()
        if ("reset" in query or "close" in query) and self.served > 1:
            self.abort(-4)  # a kept-alive connection: closed like an idle one, not counted (the client retries)
        dead = ("dieafter", query.get("tag", ""))
        if "dieafter" in query and _counters.get(dead, 0) >= int(query["dieafter"]):
            self.abort(-2, rst=True)
        if self.first_k("reset"):
            self.abort(-2, rst=True)
        if self.first_k("close"):
            self.abort(-3)
        if self.first_k("fail"):
            return self.send(int(query.get("failstatus", 404)), "failing\n")
        if "status" in query:
            return self.send(int(query["status"]), "status %s\n" % query["status"])
        if "redirect" in query:
            to = query["redirect"]
            return self.send(302, "moved\n", {"Location": to if "?" in to else to + "?" + self.path.partition("?")[2]})
        try:
            size, read, validators = body(query, self.n)
        except OSError:
            return self.send(404, "no such file\n")
        ranges_on = query.get("ranges") != "0"
        headers = dict({"Content-Type": "application/octet-stream"}, **validators)
        if query.get("gzip") == "1":
            headers["Content-Encoding"] = "gzip"
        if ranges_on or "acceptranges" in query:
            headers["Accept-Ranges"] = query.get("acceptranges", "bytes")
        if "disposition" in query:
            headers["Content-Disposition"] = query["disposition"]
        if query.get("lastmod") == "1":
            headers["Last-Modified"] = "Wed, 21 Oct 2015 07:28:00 GMT"
        code, first, last = 200, 0, size - 1
        rng = parse_range(self.headers.get("Range"), size) if ranges_on else None
        if_range = self.headers.get("If-Range")
        if rng and if_range is not None and if_range.strip() not in (headers.get("ETag"), headers.get("Last-Modified")):
            rng = None  # the representation changed: the whole new body
        if rng == "416":
            return self.send(416, "", {"Content-Range": "bytes */%d" % size})
        if rng and query.get("ranged200") != "1":
            code, (first, last) = 206, rng
            if query.get("wrongrange") == "1":
                first, last = 0, last - first
            headers["Content-Range"] = "bytes %d-%d/%d" % (first, last, size)
        chunked = query.get("nolength") == "1"
        headers.update({"Transfer-Encoding": "chunked"} if chunked else {"Content-Length": str(last - first + 1)})
        self.rec["status"] = code
        self.send_response(code)
        for k, v in headers.items():
            self.send_header(k, v)
        self.end_headers()
        truncate = int(query.get("truncate", -1))
        truncated = 0 <= truncate < last - first + 1
        if truncated:
            last, chunked = first + truncate - 1, False
        rate, started = int(query.get("slowrate" if slow else "rate", 0)), time.time()
        step = max(1, min(16384, rate // 10)) if rate else 16384
        for offset in range(first, last + 1, 1 << 20):
            data = read(offset, min(1 << 20, last + 1 - offset))
            for i in range(0, len(data), step):
                piece = data[i:i + step]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
                self.rec["sent"] += len(piece)
                if "dieafter" in query:
                    with _lock:
                        _counters[dead] = _counters.get(dead, 0) + len(piece)
                    if _counters[dead] >= int(query["dieafter"]):
                        self.abort(-2, rst=True)
                if rate and started + self.rec["sent"] / rate > time.time():
                    time.sleep(started + self.rec["sent"] / rate - time.time())
        if truncated:
            self.connection.shutdown(socket.SHUT_WR)
            raise ConnectionAbortedError()
        if chunked:
            self.wfile.write(b"0\r\n\r\n")

    def control(self, path, tag):
        if path == "/_requests":
            with _lock:
                records = list(_records.get(tag, []))
            return self.send(200, json.dumps(records), None, "application/json")
        if path == "/_sha256":
            size, read, _ = body(self.query)
            return self.send(200, hashlib.sha256(read(0, size)).hexdigest())
        if path == "/_tls":
            return self.send(200, json.dumps(_tls_info), None, "application/json")
        self.send(404, "unknown control endpoint\n")

class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def handle_error(self, request, client_address):
        pass  # client aborts and resets are normal here

def write_atomic(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)

def start_tls(directory):
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for name in ("trusted", "untrusted"):
        base = os.path.join(directory, name)
        cert, key, der = base + ".crt.pem", base + ".key.pem", base + ".crt.der"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "30", "-subj", "/CN=127.0.0.1 Kavri test " + name,
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"], **quiet)
        subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der], **quiet)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        srv = Server(("127.0.0.1", 0), Handler)
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)  # the handshake runs in accept()
        threading.Thread(target=srv.serve_forever, daemon=True).start()
        _tls_info.update({name + "_port": srv.server_address[1], name + "_cert_der": der, name + "_cert_pem": cert})
    write_atomic(os.path.join(directory, "testserver-tls.json"), json.dumps(_tls_info))

def main():
    global FILES_DIR
    ap = argparse.ArgumentParser(description="fault-injecting HTTP test server")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--files-dir", default=".", help="where file=NAME is looked up")
    args = ap.parse_args()
    FILES_DIR = os.path.abspath(args.files_dir)
    server = Server(("127.0.0.1", args.port), Handler)
    if args.port_file:
        try:
            start_tls(os.path.dirname(os.path.abspath(args.port_file)))
        except (OSError, subprocess.CalledProcessError) as e:
            print("TLS listeners not started:", e, file=sys.stderr)
        write_atomic(args.port_file, str(server.server_address[1]))
    print("testserver listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    server.serve_forever()

if __name__ == "__main__":
    main()
