"""Shared pieces of the end-to-end tests: setup.exe copied into a fresh
directory per case and run under Wine, its windows driven with uidriver.exe,
its log read back, and an in-process HTTP server that records the tracking
requests and serves files with faults on demand (404 until recovered, a huge
size, a slow rate, a late answer).

Environment (set by CTest): KAVRI_BUILD_DIR, KAVRI_SOURCE_DIR,
KAVRI_TEST_STATE (servers.json: nginx_port, nginx_root), plus WINEPREFIX,
DISPLAY and a running wineserver from scripts/test-env.sh.

Every wait here is bounded: a condition is polled until a deadline.
"""
import http.server
import json
import os
import re
import shutil
import socketserver
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse
import uuid

BUILD_DIR = os.environ.get("KAVRI_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("KAVRI_SOURCE_DIR", "")
STATE_DIR = os.environ.get("KAVRI_TEST_STATE", "")
BIN_DIR = os.path.join(BUILD_DIR, "bin")
PRODUCT = "Kavri Skyguard"

# Control ids of the templates.
ID_STATUS = -1
ID_FIRST = 1
ID_SECOND = 2
ID_BAR = 1008
ID_LINK = 1009
ID_PERCENT = 1014
ID_ICON = 1017


def servers():
    with open(os.path.join(STATE_DIR, "servers.json")) as f:
        return json.load(f)


def win_path(path):
    """A Linux path as Wine sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_until(predicate, timeout, what, interval=0.05):
    """Polls predicate until it returns something true; fails at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def exit_byte(code):
    """What the Linux side sees of a Windows exit code (its low byte)."""
    return code & 0xFF


# ---- string tables -----------------------------------------------------------

_ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "r": "\r"}


def _unescape(text):
    text = text.replace('""', '"')
    return re.sub(r"\\(.)", lambda m: _ESCAPES.get(m.group(1), m.group(1)), text)


class Strings:
    """The installer's texts as the resource sources hold them, by id."""

    def __init__(self, lang=None):
        strings_dir = os.path.join(SOURCE_DIR, "resources", "strings")
        ids = {}
        with open(os.path.join(SOURCE_DIR, "resources", "resource.h"), encoding="utf-8") as f:
            for m in re.finditer(r"#define\s+(RC_IDS_\w+)\s+(\d+)", f.read()):
                ids[m.group(1)] = int(m.group(2))
        self.table = self._read(os.path.join(strings_dir, "neutral.rc"), ids)
        if lang:
            path = self._find(strings_dir, lang)
            self.table.update({k: v for k, v in self._read(path, ids).items() if v})

    @staticmethod
    def _find(strings_dir, lang):
        for name in sorted(os.listdir(strings_dir)):
            if name.lower().startswith(lang.lower()) and name.endswith(".rc"):
                return os.path.join(strings_dir, name)
        raise AssertionError("no string table for %s in %s" % (lang, strings_dir))

    @staticmethod
    def _read(path, ids):
        table = {}
        with open(path, encoding="utf-8-sig") as f:
            for m in re.finditer(r'^\s*(RC_IDS_\w+|\d+)\s*,?\s*"((?:[^"]|"")*)"', f.read(), re.M):
                key = m.group(1)
                sid = ids.get(key) if key.startswith("RC_") else int(key)
                if sid is not None:
                    table[sid] = _unescape(m.group(2))
        return table

    def get(self, sid):
        return self.table.get(sid, "")

    def fmt(self, sid, title=PRODUCT, value=0):
        """FormatMessage-style: %1 the title, %2!u! the value, %% a percent sign."""
        text = self.get(sid)
        text = re.sub(r"%2(!u!)?", str(value), text)
        return text.replace("%1", title).replace("%%", "%")

    @staticmethod
    def plain(text):
        """A button label as shown without its mnemonic."""
        return text.replace("&", "")


# ---- the capture server ------------------------------------------------------------


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class ServedFile:
    """A file the capture server offers at /f/<key>/<name>."""

    def __init__(self, data, name, mode="ok", rate=0, size=None, disposition=None):
        self.data = data
        self.disposition = disposition  # a file name sent as Content-Disposition
        self.name = name
        self.mode = mode  # "ok", "404", "huge"
        self.rate = rate  # bytes per second per connection; 0 = unlimited
        self.size = size  # advertised size for "huge"
        self.requests = []


class CaptureServer:
    """Records tracking hits (/track/<tag>?...) and serves files with faults."""

    def __init__(self):
        self.lock = threading.Lock()
        self.hits = []  # (tag, path, query, time)
        self.files = {}
        self.delays = {}  # event name -> seconds to hold the answer
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                try:
                    owner._handle(self)
                except (ConnectionError, OSError):
                    pass

            do_HEAD = do_GET

        self.httpd = _Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    # tracking
    def tracking_template(self, tag):
        """A [CAMPAIGN] URL that sends the page path (language, event) here."""
        return self.url("/track/%s?utmp=%%%%2F%%2%%%%2F%%1%%%%2F&utmcc=%%3" % tag)

    def events(self, tag):
        """(language, event) of each tracking hit of a run, in arrival order."""
        out = []
        with self.lock:
            hits = list(self.hits)
        for hit_tag, _, query, _ in hits:
            if hit_tag != tag:
                continue
            page = urllib.parse.parse_qs(query).get("utmp", [""])[0]
            parts = [p for p in page.split("/") if p]
            if len(parts) == 2:
                out.append((parts[0], parts[1]))
        return out

    def event_names(self, tag):
        return [e for _, e in self.events(tag)]

    # files
    def add_file(self, data, name="KavriSetup.exe", **kw):
        key = uuid.uuid4().hex[:10]
        self.files[key] = ServedFile(data, name, **kw)
        return key, self.url("/f/%s/%s" % (key, name))

    def _handle(self, req):
        parsed = urllib.parse.urlsplit(req.path)
        parts = parsed.path.split("/")
        if len(parts) >= 3 and parts[1] == "track":
            tag = parts[2]
            page = urllib.parse.parse_qs(parsed.query).get("utmp", [""])[0]
            event = page.strip("/").split("/")[-1] if page else ""
            with self.lock:
                self.hits.append((tag, parsed.path, parsed.query, time.monotonic()))
                delay = self.delays.get(event, 0)
            if delay:
                time.sleep(delay)
            self._reply(req, 200, b"GIF89a", "image/gif")
            return
        if len(parts) >= 4 and parts[1] == "f" and parts[2] in self.files:
            self._serve(req, self.files[parts[2]])
            return
        self._reply(req, 404, b"not found", "text/plain")

    @staticmethod
    def _reply(req, status, body, ctype, headers=()):
        req.send_response(status)
        req.send_header("Content-Type", ctype)
        req.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            req.send_header(k, v)
        req.end_headers()
        if req.command != "HEAD":
            req.wfile.write(body)

    def _serve(self, req, f):
        rng = req.headers.get("Range")
        with self.lock:
            f.requests.append((req.command, rng, time.monotonic()))
        if f.mode == "404":
            self._reply(req, 404, b"gone for now", "text/plain")
            return
        total = f.size if f.mode == "huge" else len(f.data)
        start, end = 0, total - 1
        status = 200
        m = re.match(r"bytes=(\d+)-(\d*)", rng or "")
        if m:
            start = int(m.group(1))
            end = int(m.group(2)) if m.group(2) else total - 1
            end = min(end, total - 1)
            if start > end:
                req.send_response(416)
                req.send_header("Content-Range", "bytes */%d" % total)
                req.send_header("Content-Length", "0")
                req.end_headers()
                return
            status = 206
        req.send_response(status)
        req.send_header("Content-Type", "application/octet-stream")
        req.send_header("Accept-Ranges", "bytes")
        req.send_header("Content-Length", str(end - start + 1))
        if f.disposition:
            req.send_header("Content-Disposition", 'attachment; filename="%s"' % f.disposition)
        if status == 206:
            req.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, total))
        req.end_headers()
        if req.command == "HEAD" or f.mode == "huge":
            return
        pos = start
        chunk = 16384
        began = time.monotonic()
        while pos <= end:
            n = min(chunk, end - pos + 1)
            req.wfile.write(f.data[pos:pos + n])
            pos += n
            if f.rate:
                ahead = (pos - start) / f.rate - (time.monotonic() - began)
                if ahead > 0:
                    time.sleep(ahead)


# ---- the UI driver ------------------------------------------------------------------


class UI:
    """uidriver.exe, one process per command; every output line is JSON."""

    def __init__(self):
        self.exe = os.path.join(BIN_DIR, "uidriver.exe")

    def run(self, command, timeout=10.0, check=True, **filters):
        args = ["wine", self.exe, command]
        for key, value in filters.items():
            if value is None or value is False:
                continue
            flag = "--" + key.replace("_", "-")
            if key == "cls":
                flag = "--class"
            if value is True:
                args.append(flag)
            else:
                args += [flag, str(value)]
        args += ["--timeout", str(int(timeout * 1000))]
        proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              timeout=timeout + 30)
        lines = [json.loads(l) for l in proc.stdout.decode("utf-8", "replace").splitlines()
                 if l.strip().startswith("{")]
        if check and proc.returncode != 0:
            raise AssertionError("uidriver %s %s failed (%d): %s" %
                                 (command, filters, proc.returncode, lines))
        return proc.returncode, lines

    # windows
    def progress(self):
        return {"title": PRODUCT, "has_id": ID_BAR}

    def wait(self, timeout=20.0, **filters):
        _, lines = self.run("wait-window", timeout=timeout, **filters)
        return lines[0]

    def wait_gone(self, timeout=20.0, **filters):
        self.run("wait-gone", timeout=timeout, **filters)

    def exists(self, **filters):
        rc, _ = self.run("wait-window", timeout=0, check=False, **filters)
        return rc == 0

    def dump(self, timeout=10.0, **filters):
        """(window, {id: control}) of the first matching window."""
        _, lines = self.run("dump", timeout=timeout, **filters)
        window, controls = lines[0], {}
        for c in lines[1:]:
            c["text"] = c.get("text", "").replace("\r\n", "\n")
            controls.setdefault(c["id"], c)
        return window, controls

    def text(self, control_id, **filters):
        return self.dump(**filters)[1][control_id]["text"]

    def click(self, control_id, timeout=10.0, **filters):
        self.run("click", timeout=timeout, id=control_id, **filters)

    def escape(self, timeout=10.0, **filters):
        self.run("key", timeout=timeout, vk="ESCAPE", **filters)

    def close(self, timeout=10.0, **filters):
        self.run("close", timeout=timeout, **filters)

    def foreground(self):
        _, lines = self.run("foreground", timeout=5)
        return lines[0] if lines else {}

    def message(self, text_part, timeout=20.0, **filters):
        """Waits for a message dialog (icon 1017) whose text contains text_part;
        returns (window, controls)."""
        found = {}

        def probe():
            rc, lines = self.run("dump", timeout=0.5, check=False, has_id=ID_ICON, **filters)
            if rc != 0 or not lines:
                return None
            controls = {}
            for c in lines[1:]:
                c["text"] = c.get("text", "").replace("\r\n", "\n")
                controls.setdefault(c["id"], c)
            if text_part in controls.get(ID_STATUS, {}).get("text", ""):
                found["w"] = (lines[0], controls)
                return True
            return None

        wait_until(probe, timeout, "a message containing %r" % text_part, interval=0.1)
        return found["w"]


# ---- one run of the installer -------------------------------------------------------


class SetupRun:
    """setup.exe (or a twin) copied into a fresh directory with its INI file."""

    def __init__(self, exe="setup.exe", ini=None, args=(), env=None, tag=None):
        self.dir = tempfile.mkdtemp(prefix="kavri-e2e-")
        self.exe_name = exe
        self.exe = os.path.join(self.dir, exe)
        shutil.copyfile(os.path.join(BIN_DIR, exe), self.exe)
        self.base = os.path.splitext(exe)[0]
        self.log_path = os.path.join(self.dir, self.base + ".log")
        self.tag = tag or uuid.uuid4().hex[:12]
        if ini is not None:
            self.write_ini(ini)
        self.args = list(args)
        self.env = dict(os.environ)
        self.env["KAVRI_DEBUG_LEVEL"] = "-1"
        self.env.update(env or {})
        self.proc = None
        self.returncode = None

    def write_ini(self, sections, name=None):
        path = os.path.join(self.dir, name or (self.base + ".ini"))
        with open(path, "w", encoding="utf-8", newline="\r\n") as f:
            for section, values in sections.items():
                f.write("[%s]\n" % section)
                for k, v in values.items():
                    f.write("%s=%s\n" % (k, v))
        return path

    def start(self):
        self.out = open(os.path.join(self.dir, "stdout.txt"), "wb")
        self.proc = subprocess.Popen(["wine", self.exe] + self.args, cwd=self.dir, env=self.env,
                                     stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=subprocess.STDOUT)
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait(self, timeout=30.0):
        """The exit code's low byte once the process has ended."""
        try:
            self.returncode = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s did not end within %.0f s" % (self.exe_name, timeout))
        return self.returncode

    def log(self):
        """The log file (text mode, in the process's ANSI code page)."""
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("cp1252", "replace").replace("\r\n", "\n")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=20.0):
        return wait_until(lambda: text in self.log(), timeout, "%r in the log" % text)

    def states(self):
        """The installation events in the log, in order."""
        return re.findall(r'CInstaller::SetState\("(\w+)"\)', self.log())

    def cleanup(self):
        if self.running():
            self.proc.kill()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if getattr(self, "out", None):
            self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def base_ini(capture, tag, product=None, runtime=None, campaign=None, downloader=None):
    """An INI with tracking pointed at the capture server under tag."""
    ini = {"CAMPAIGN": {"URL": capture.tracking_template(tag)}}
    if campaign:
        ini["CAMPAIGN"].update(campaign)
    if product:
        ini["PRODUCT"] = product
    if runtime:
        ini["RUNTIME"] = runtime
    if downloader:
        ini["DOWNLOADER"] = downloader
    return ini


def padded_copy(src, size):
    """The bytes of src padded with zeros to size: a PE still runs with an
    overlay behind its last section."""
    with open(src, "rb") as f:
        data = f.read()
    if len(data) < size:
        data += b"\0" * (size - len(data))
    return data


def ini_bytes(sections):
    text = ""
    for section, values in sections.items():
        text += "[%s]\r\n" % section
        for k, v in values.items():
            text += "%s=%s\r\n" % (k, v)
    return text.encode("utf-8")


def nginx_file(test, sub, name, data):
    """Puts data into nginx's root (under sub/, e.g. "slow") for one test;
    returns its URL."""
    info = servers()
    folder = os.path.join(info["nginx_root"], sub)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    test.addCleanup(lambda: os.path.exists(path) and os.remove(path))
    return "http://127.0.0.1:%d/%s/%s" % (info["nginx_port"], sub, name)


def linux_path(windows_path):
    """C:\\... inside the prefix, or Z:\\... (the Linux root), as a Linux path."""
    drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/")
    if drive == "Z:":
        return rest
    if drive == "C:":
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        root = os.path.join(prefix, "drive_c")
        # The prefix's folders may differ in case from what Windows reports.
        path = root
        for part in [p for p in rest.split("/") if p]:
            match = part
            if os.path.isdir(path):
                for entry in os.listdir(path):
                    if entry.lower() == part.lower():
                        match = entry
                        break
            path = os.path.join(path, match)
        return path
    raise AssertionError("no Linux path for %s" % windows_path)


_TEMP_DIR = []


def wine_temp_dir():
    """The Linux path of %TEMP% in the test prefix (asked once)."""
    if not _TEMP_DIR:
        proc = subprocess.run(["wine", "cmd", "/c", "echo %TEMP%"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60)
        value = proc.stdout.decode("utf-8", "replace").strip().splitlines()[-1].strip()
        path = linux_path(value)
        if not os.path.isdir(path):
            raise AssertionError("%%TEMP%% = %s is not at %s" % (value, path))
        _TEMP_DIR.append(path)
    return _TEMP_DIR[0]


def temp_files(stem):
    """Files in %TEMP% whose name starts with stem (name[n].ext included)."""
    folder = wine_temp_dir()
    return sorted(n for n in os.listdir(folder) if n.lower().startswith(stem.lower()))


class Recorder:
    """argrecorder.exe as the installer that setup.exe starts: as the local
    installer in place, or as the downloaded main installer (its bytes served,
    padded). It writes what it was started with to one file."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="kavri-rec-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.out = os.path.join(self.dir, "record.txt")
        self.exe = os.path.join(BIN_DIR, "argrecorder.exe")
        self.exe_win = win_path(self.exe)

    def env(self):
        return {"ARGRECORDER_OUT": win_path(self.out)}

    def installer_bytes(self, size):
        return padded_copy(self.exe, size)

    def records(self):
        """[{"exe", "cmdline", "args"}] once the recorder has run, else []."""
        try:
            with open(self.out, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        values = dict(l.split("=", 1) for l in lines if "=" in l)
        argc = int(values.get("argc", "0"))  # the arguments after the program name
        args = [values.get("arg%d" % i, "") for i in range(1, argc + 1)]
        return [{"exe": values.get("exe", ""), "cmdline": values.get("cmdline", ""),
                 "args": args}]

    def wait_record(self, timeout=30):
        return wait_until(lambda: self.records() and self.records()[0], timeout,
                          "the started installer's record")


class FakeBrowser:
    """Registers the recorder as the handler of http URLs in the prefix for
    one test, and restores the previous command afterwards."""

    KEY = "HKCR\\http\\shell\\open\\command"

    def __init__(self, test, recorder):
        self.previous = self._query()
        command = '"%s" "%%1"' % recorder.exe_win
        subprocess.run(["wine", "reg", "add", self.KEY, "/ve", "/t", "REG_SZ", "/d", command, "/f"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=60)
        self.command = command
        test.addCleanup(self.restore)

    def _query(self):
        proc = subprocess.run(["wine", "reg", "query", self.KEY, "/ve"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60)
        for line in proc.stdout.decode("utf-8", "replace").splitlines():
            if "REG_SZ" in line:
                return line.split("REG_SZ", 1)[1].strip()
        return None

    def used(self):
        return self._query() == self.command

    def restore(self):
        if self.previous is not None:
            subprocess.run(["wine", "reg", "add", self.KEY, "/ve", "/t", "REG_SZ", "/d",
                            self.previous, "/f"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        else:
            subprocess.run(["wine", "reg", "delete", self.KEY, "/ve", "/f"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


class SetupTestCase(unittest.TestCase):
    """Base of the end-to-end cases: one capture server, the UI driver and the
    English strings per class; setup runs cleaned up after each case."""

    @classmethod
    def setUpClass(cls):
        cls.capture = CaptureServer()
        cls.ui = UI()
        cls.en = Strings()

    @classmethod
    def tearDownClass(cls):
        cls.capture.close()

    def run_setup(self, **kw):
        run = SetupRun(**kw)
        self.addCleanup(run.cleanup)
        return run
