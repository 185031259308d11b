"""End-to-end helpers: setup.exe copied into a fresh directory and run under
Wine with an INI file, its windows driven by uidriver.exe, the texts it shows
looked up by flowprobe.exe through the installer's own lookup, and its tracking
read from the test server's request record. Every wait is bounded.
Environment: KAVRI_BUILD_DIR, KAVRI_TEST_STATE (CTest); WINEPREFIX, DISPLAY
and a running wineserver (scripts/test-env.sh)."""
import collections
import glob
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request
import uuid

BIN_DIR = os.path.join(os.environ.get("KAVRI_BUILD_DIR", ""), "bin")
with open(os.path.join(os.environ.get("KAVRI_TEST_STATE", ""), "servers.json")) as _f:
    SERVERS = json.load(_f)
PREFIX_C = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")), "drive_c")
PRODUCT = "Kavri Skyguard"
ID_STATUS, ID_FIRST, ID_SECOND, ID_BAR, ID_LINK, ID_PERCENT, ID_ICON = -1, 1, 2, 1008, 1009, 1014, 1017
PROGRESS = {"title": PRODUCT, "has_id": ID_BAR}


def wait_until(predicate, timeout, what, interval=0.1):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)
    return predicate()


def json_lines(data):
    return [json.loads(l) for l in data.decode("utf-8", "replace").splitlines() if l.startswith("{")]


def wine(exe, *args, popen=False, **kw):
    cmd = ["wine", os.path.join(BIN_DIR, exe)] + [str(a) for a in args]
    kw = dict(kw, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return subprocess.Popen(cmd, **kw) if popen else subprocess.run(cmd, timeout=120, **kw)


def texts(lcid, ids, value=0):
    """{id: text} as the installer shows it in that language (%1 the title, %2 value)."""
    ops = "|".join("text:%d:%d:%d" % (lcid, value, i) for i in ids)
    lines = json_lines(wine("flowprobe.exe", env=dict(os.environ, KAVRI_PROBE=ops)).stdout)
    return {d["id"]: d["text"].replace("\r\n", "\n") for d in lines}


def testserver(path_query):
    return "http://127.0.0.1:%d%s" % (SERVERS["testserver_port"], path_query)


def requests(tag):
    """What the test server recorded for the tag, oldest first."""
    with urllib.request.urlopen(testserver("/_requests?tag=" + tag), timeout=30) as r:
        return json.load(r)


def http_status(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as r:
            return r.read() and r.status
    except urllib.error.HTTPError as e:
        return e.code


def nginx_file(test, name, data, sub="e2e"):
    """data as nginx_root/sub/name for one test (/slow/: 2 MB/s per connection):
    its URL, and its name for the test server's file= key."""
    path = os.path.join(SERVERS["nginx_root"], sub, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    test.addCleanup(os.remove, path)
    return "http://127.0.0.1:%d/%s/%s" % (SERVERS["nginx_port"], sub, name), sub + "/" + name


def temp_files(stem):
    """Files in the prefix's %TEMP% or its download folders whose name starts with stem."""
    temp = os.path.join(PREFIX_C, "users", "*", "Temp")
    return glob.glob(os.path.join(temp, stem + "*")) + glob.glob(os.path.join(temp, "Kavri*", stem + "*"))


class UI:
    """uidriver.exe, one process per command."""

    def run(self, command, timeout=20.0, check=True, popen=False, **filters):
        args = [command, "--timeout", int(timeout * 1000)]
        args += [a for k, v in filters.items() for a in ("--" + k.replace("_", "-"), v)]
        proc = wine("uidriver.exe", *args, popen=popen)
        if not popen and proc.returncode and not proc.stdout:  # the driver itself did not run: once more
            proc = wine("uidriver.exe", *args)
        if not popen and check and proc.returncode:
            raise AssertionError("uidriver %s %s: %d %s" % (command, filters, proc.returncode, proc.stdout))
        return proc if popen else json_lines(proc.stdout)

    @staticmethod
    def samples(lines):
        """[(window, {id: control})] of the dumps in the driver's output; a dump taken
        as the window went (which lacks controls, or strays to other windows as
        they go) is left out: only dumps of the controls most dumps show stay."""
        out = []
        for line in lines:
            if "hwnd" in line:
                out.append((line, {}))
            elif out:
                out[-1][1].setdefault(line["id"], dict(line, text=line["text"].replace("\r\n", "\n")))
        usual = collections.Counter(frozenset(c) for _, c in out).most_common(1)
        return [s for s in out if usual and frozenset(s[1]) == usual[0][0]]

    def watch(self, seconds, **filters):
        """A dump every 20 ms until the window is gone, in the background (Popen)."""
        return self.run("dump", 30, popen=True, repeat=seconds * 1000, **filters)

    def message(self, text, timeout=60.0):
        """Waits for a message dialog (icon 1017) showing text: (window, controls)."""
        def probe():
            found = self.samples(self.run("dump", 0.5, check=False, has_id=ID_ICON))
            return found and found[0][1].get(ID_STATUS, {}).get("text") == text and found[0]
        return wait_until(probe, timeout, "a message %r" % text)


class SetupRun:
    """setup.exe (or a twin) in a fresh directory with its INI file; tracking
    goes to the test server under a tag of its own. On the way out of a with
    block (or the test) the process is ended and the directory removed."""

    def __init__(self, exe="setup.exe", ini=None, args=(), env=None):
        self.dir = tempfile.mkdtemp(prefix="kavri-e2e-")
        self.exe = os.path.join(self.dir, exe)
        shutil.copyfile(os.path.join(BIN_DIR, exe), self.exe)
        self.tag = "e2e-" + uuid.uuid4().hex[:12]
        sections = {"CAMPAIGN": {"URL": testserver("/track?tag=%s&e=%%1&l=%%2" % self.tag)}}
        for section, values in (ini or {}).items():
            sections.setdefault(section, {}).update(values)
        with open(self.exe[:-4] + ".ini", "w", newline="\r\n") as f:
            f.write("".join("[%s]\n" % s + "".join("%s=%s\n" % kv for kv in v.items()) for s, v in sections.items()))
        self.proc = subprocess.Popen(["wine", self.exe] + list(args), cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, KAVRI_DEBUG_LEVEL="-1", **(env or {})))

    def wait(self, timeout=60.0):
        """The exit code's low byte (all the Linux side sees of it)."""
        return self.proc.wait(timeout=timeout)

    def events(self, with_language=False):
        """The tracking events of the run in arrival order (with their language)."""
        return [(q.get("l"), q["e"]) if with_language else q["e"] for q in (r["query"] for r in requests(self.tag))]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


class Recorder:
    """argrecorder.exe as the installer setup.exe starts: in place as the local
    installer, or its bytes (padded with random ones, which a PE allows, so that
    any mixed-up range shows in the hash) served as the main one.
    It writes how it was started to one file."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="kavri-rec-")
        test.addCleanup(shutil.rmtree, self.dir, True)
        self.out = os.path.join(self.dir, "record.txt")
        self.exe_win = "Z:" + os.path.join(BIN_DIR, "argrecorder.exe").replace("/", "\\")
        self.env = {"ARGRECORDER_OUT": "Z:" + self.out.replace("/", "\\")}

    @staticmethod
    def installer_bytes(size):
        with open(os.path.join(BIN_DIR, "argrecorder.exe"), "rb") as f:
            data = f.read()
        return data + os.urandom(size - len(data))

    def record(self):
        """{"exe": its Linux path, "args": [...]}, or None before it ran."""
        if not os.path.exists(self.out):
            return None
        with open(self.out, encoding="utf-8") as f:
            v = dict(l.split("=", 1) for l in f.read().splitlines() if "=" in l)
        exe = ("" if v["exe"][:2].upper() == "Z:" else PREFIX_C) + v["exe"][2:].replace("\\", "/")
        return {"exe": exe, "args": [v["arg%d" % i] for i in range(1, int(v["argc"]) + 1)]}

    def wait_record(self, timeout=30):
        return wait_until(self.record, timeout, "the started installer's record")


class SetupTestCase(unittest.TestCase):
    maxDiff = None
    ui = UI()

    def run_setup(self, **kw):
        run = SetupRun(**kw)
        self.addCleanup(run.__exit__)
        return run
