"""setup.exe -q end to end: the unattended run as one table of situations (exit
code, nothing on screen, events, what was started), and downloads that go on
after the process was killed, or start afresh when what is on disk is not theirs."""
import contextlib
import hashlib
import os
import time
import unittest
import urllib.parse
import urllib.request

import e2e_support as e2e
from e2e_support import ID_ICON, PRODUCT

STARTED, DOWNLOADING, MAIN = ("stubinstaller_" + e for e in ("Started", "DownloadStarted", "StartMainInstaller"))
CHECK, FROM_CD = "stubInstaller_CheckNewVersion", "stubInstaller_InstallFromCD"
HUGE = 2000000000  # above any machine's RAM, MHz and free MB; below INT_MAX
# The stand-in installer is the prefix's cmd.exe (any name runs it): it starts
# argrecorder with what it was given and exits with a code of its own.
CMD = os.path.join(e2e.PREFIX_C, "windows", "system32", "cmd.exe")
ARGRECORDER = "Z:" + os.path.join(e2e.BIN_DIR, "argrecorder.exe").replace("/", "\\")
QUIET_ARGS = '/c %s /S "two words" & exit 23' % ARGRECORDER
SIZE = 3_000_000


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def resume_record(url, name, validator, ranges):
    """A record in the download folder's format, with a matching check line."""
    text = "KAVRI-RESUME 1\nurl %s\nfile %s\nsize %d\nvalidator %s\n" % (url, name, SIZE, validator)
    text += "".join("range %d %d\n" % r for r in ranges)
    h = 1469598103934665603  # the product's offset basis
    for c in text.encode():
        h = ((h ^ c) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return text + "check %016x\n" % h


class UnattendedTest(e2e.SetupTestCase):

    def test_quiet_runs_show_nothing_and_end_with_their_exit_code(self):
        with open(CMD, "rb") as f:
            stand_url, stand = e2e.nginx_file(self, "Stand%s.exe" % os.urandom(3).hex(), f.read())

        def web(ver, url, pad=0):  # a web configuration that also tries to set the quiet arguments
            text = "[PRODUCT]\r\nVer=%s\r\nURL=%s\r\nQuietArgs=/c exit 99\r\n;%s\r\n" % (ver, url, "x" * pad)
            return e2e.nginx_file(self, "web%s.ini" % os.urandom(3).hex(), text.encode())[0]
        with open(CMD, "rb") as f:
            pinned = {"SHA256": sha256(f.read())}
        local_pinned = [STARTED, CHECK, FROM_CD]
        local = r"C:\windows\system32\cmd.exe /c %s /from-cd & exit 24" % ARGRECORDER
        quiet, args = {"QuietArgs": QUIET_ARGS}, ["/S", "two words"]
        rows = [  # situation, INI, test-server path, exit code, events, arguments started with, failed attempts
            ("success", {"PRODUCT": quiet}, "/Stand.exe?file=" + stand, 23, [STARTED, DOWNLOADING, MAIN], args, 0),
            # A failed requirement (each with its own code and event: test_startup).
            ("HDD", {"RUNTIME": {"HDD": HUGE}}, "/Never.exe", -4,
             [STARTED, "stubinstaller_Cancelled_DiskSpace"], None, None),
            ("OS", {"RUNTIME": {"OSVersion": "99.0", "RAM": HUGE}}, "/Never.exe", -1,
             [STARTED, "stubinstaller_Cancelled_UnsupportedOS"], None, None),
            # 1 + 5 attempts, about 1, 2, 4, 8 and 16 s apart; a 404 is no error event.
            ("404 outlasts the retries", {"PRODUCT": quiet}, "/Gone.exe?status=404", -5, [STARTED], None, 6),
            # Refused by its pinned hash each time it is downloaded afresh.
            ("refused", {"PRODUCT": dict(quiet, SHA256="ab" * 32)}, "/Stand.exe?file=" + stand, -6,
             [STARTED] + [DOWNLOADING, "stubInstaller_DownloadError"] * 6, None, None),
            ("no room for the download", {"PRODUCT": quiet}, "/Huge.exe?size=%d" % (1 << 50), -4,
             [STARTED, "stubinstaller_Cancelled_DiskSpace"], None, None),
            ("recovers after 2 failures", {"PRODUCT": quiet}, "/Stand.exe?fail=2&file=" + stand, 23,
             [STARTED, DOWNLOADING, MAIN], args, 2),
            # As a "Yes" to the question; without QuietArgs the Installer line's own.
            ("local, web configuration not newer",
             {"PRODUCT": dict(quiet, Ver=3, Installer=local, Config=web(3, "http://127.0.0.1:9/x.exe"))},
             "/Never.exe", 23, [STARTED, CHECK, FROM_CD], args, None),
            ("local without QuietArgs", {"PRODUCT": {"Ver": 3, "Installer": local, "Config": web(2, stand_url)}},
             "/Never.exe", 24, [STARTED, CHECK, FROM_CD], ["/from-cd"], None),
            ("local, newer web configuration",
             {"PRODUCT": dict(quiet, Ver=3, Installer=local, Config=web(4, stand_url))},
             "/Never.exe", 23, [STARTED, CHECK, DOWNLOADING, MAIN], args, None),
            # Hostile web configurations are refused and the local installer runs.
            ("a hash-only pin, the web configuration names an unsigned file",
             {"PRODUCT": dict(quiet, **pinned, Ver=3, Installer=local, Config=web(99, e2e.testserver("/U.exe?size=100000")))},
             "/Never.exe", 23, local_pinned, args, None),
            ("a web configuration with a file URL",
             {"PRODUCT": dict(quiet, Ver=3, Installer=local, Config=web(4, "file:///C:/windows/notepad.exe"))},
             "/Never.exe", 23, local_pinned, args, None),
            ("a web configuration over 64 KiB",
             {"PRODUCT": dict(quiet, Ver=3, Installer=local, Config=web(4, stand_url, 70000))},
             "/Never.exe", 23, local_pinned, args, None),
            ("a web configuration with a huge negative version",
             {"PRODUCT": dict(quiet, Ver=3, Installer=local, Config=web("-" + "9" * 32, stand_url))},
             "/Never.exe", 23, local_pinned, args, None),
            ("second instance", {"PRODUCT": quiet}, "/Never.exe", -8, [], None, None),
        ]
        # Any window of the product, or any message dialog, ends a watcher's wait.
        watchers = [self.ui.run("dump", 900, popen=True, **f) for f in ({"title": PRODUCT}, {"has_id": ID_ICON})]
        for w in watchers:
            self.addCleanup(w.communicate)
            self.addCleanup(w.kill)
        for situation, ini, path, code, events, started, failed in rows:
            rec, tag = e2e.Recorder(self), os.urandom(6).hex()
            url = e2e.testserver(path + ("&" if "?" in path else "?") + "tag=" + tag)
            with self.subTest(situation), contextlib.ExitStack() as stack:
                if code == -8:  # the first instance is held by a slow download
                    first = stack.enter_context(e2e.SetupRun(args=[e2e.testserver(
                        "/Held.exe?size=9000000&rate=20000&tag=" + tag), "-q", "-s", "1"]))
                    e2e.wait_until(lambda: DOWNLOADING in first.events(), 30, "the first instance downloading")
                run = stack.enter_context(e2e.SetupRun(ini=ini, args=[url, "-q"], env=rec.env))
                self.assertEqual(code & 0xFF, run.wait(10 if code == -8 else 90))
                self.assertEqual(events, run.events())
                record = rec.record()
                self.assertEqual(started, record and record["args"])
                if failed is not None:
                    seen = e2e.requests(tag)
                    failures = [r["time"] for r in seen if r["status"] == 404]
                    attempts = failures + [r["time"] for r in seen if r["status"] != 404][:1]
                    self.assertEqual(failed, len(failures))
                    gaps = [b - a for a, b in zip(attempts, attempts[1:])]
                    self.assertTrue(all(0.8 * 2 ** i <= g <= 1.2 * 2 ** i + 1.5 for i, g in enumerate(gaps)), gaps)
                self.assertEqual([None, None], [w.poll() for w in watchers], "a window showed")

    def test_mirrors_go_on_where_a_dying_source_stopped(self):
        """The INI's source dies half-way (at 4 MB/s, so what it sent has arrived); Mirror1 serves
        another size, Mirror2 the file."""
        rec, tag = e2e.Recorder(self), os.urandom(6).hex()
        data = rec.installer_bytes(3_000_000)
        _, served = e2e.nginx_file(self, "Mirrored%s.exe" % tag, data)
        source = lambda t, q: e2e.testserver("/Mirrored.exe?tag=%s%s&%s" % (tag, t, q))
        ini = {"PRODUCT": {"SHA256": sha256(data), "Mirror1": source("b", "size=3000001"),
                           "Mirror2": source("c", "file=" + served)}}
        run = self.run_setup(ini=ini, args=[source("a", "dieafter=1500000&rate=4000000&file=" + served), "-q", "-s", "4"],
                             env=rec.env)
        self.assertEqual(0, run.wait(90))
        self.assertIsNotNone(rec.record(), "the pinned file was started")
        sent = {t: sum(r["sent"] for r in e2e.requests(tag + t)) for t in "ac"}
        self.assertLessEqual(sent["c"], len(data) - 1000000, "what the first source delivered is kept")
        self.assertLessEqual(sent["a"] + sent["c"], 1.1 * len(data), sent)

    def test_the_started_file_has_a_plain_program_name_and_earlier_files_are_gone(self):
        with open(os.path.join(e2e.BIN_DIR, "argrecorder.exe"), "rb") as f:
            _, served = e2e.nginx_file(self, "Named%s.exe" % os.urandom(3).hex(), f.read() + os.urandom(16))
        long_name = "Kavri Skyguard Setup 2026.12 (x64, all languages).exe"
        rows = [  # the URL's path, Content-Disposition sent, the name the file is started as
            ("/Dl.exe", 'attachment; filename="evil\r\nINJECTED.exe"', "Dl.exe"),  # a cut name is none
            ("/Dl.exe", 'attachment; filename="%s"' % long_name, long_name),
            ("/Dl.exe", 'attachment; filename="readme.txt"', "setup.exe"),
            ("/%E2%80%A8evil.exe", None, "setup.exe"),
        ]
        folder = None
        for path, disposition, name in rows:
            rec = e2e.Recorder(self)
            query = "?file=" + served + ("&disposition=" + urllib.parse.quote(disposition) if disposition else "")
            with self.subTest(path=path, disposition=disposition):
                stale = folder and os.path.join(folder, "stale[3].exe")
                if stale:
                    open(stale, "wb").close()
                run = self.run_setup(args=[e2e.testserver(path + query), "-q"], env=rec.env)
                self.assertEqual(0, run.wait(90))
                exe = rec.wait_record()["exe"]
                folder = os.path.dirname(exe)
                self.assertEqual(name, os.path.basename(exe))
                self.assertFalse(stale and os.path.exists(stale), "a file of an earlier run is left")

    def test_a_download_goes_on_after_a_kill_unless_what_is_on_disk_is_not_its_own(self):
        folder = None
        rows = [  # situation, rate per request, before the second run: kill | change | a record written here
            ("killed half-way", 120000, "kill"),
            ("changed on the server after the kill", 600000, "change"),
            # A record that is torn, hostile or too old, over a partial file of
            # junk (URL suffix, ranges on disk, characters cut off, age in days).
            ("truncated record", 0, ("", [(0, SIZE - 5)], 26, 0)),
            ("ranges past the end", 0, ("", [(0, SIZE // 2), (SIZE // 2 + 1, SIZE + 1)], 0, 0)),
            ("another URL", 0, ("x", [(0, SIZE // 2)], 0, 0)),
            ("a week old", 0, ("", [(0, SIZE // 2)], 0, 7.1)),
        ]
        for situation, rate, before in rows:
            rec, tag, data = e2e.Recorder(self), os.urandom(6).hex(), e2e.Recorder.installer_bytes(SIZE)
            name = "Resume%s.exe" % os.urandom(3).hex()
            _, served = e2e.nginx_file(self, name, data)
            url = e2e.testserver("/%s?file=%s&rate=%d&tag=%s" % (name, served, rate, tag))
            sent = lambda: sum(r["sent"] for r in e2e.requests(tag))
            with self.subTest(situation):
                if isinstance(before, tuple):
                    suffix, ranges, cut, days = before
                    request = urllib.request.Request(url.replace(tag, tag + "v"), headers={"Range": "bytes=0-0"})
                    with urllib.request.urlopen(request, timeout=30) as r:
                        text = resume_record(url + suffix, name, r.headers["ETag"], ranges)
                    with open(os.path.join(folder, name), "wb") as f:
                        f.write(os.urandom(SIZE))
                    with open(os.path.join(folder, "download.resume"), "w", newline="\n") as f:
                        f.write(text[:len(text) - cut])
                    when = time.time() - days * 86400
                    os.utime(os.path.join(folder, "download.resume"), (when, when))
                else:
                    with e2e.SetupRun(args=[url, "-q", "-s", "2"], env=rec.env):
                        e2e.wait_until(lambda: sent() >= SIZE // 2, 60, "half of the file sent")
                    # The process is killed on the way out of the block.
                if before == "change":
                    data = e2e.Recorder.installer_bytes(SIZE)
                    with open(os.path.join(e2e.SERVERS["nginx_root"], served), "wb") as f:
                        f.write(data)
                run = self.run_setup(args=[url, "-q"], env=rec.env)
                self.assertEqual(0, run.wait(90))
                exe = rec.wait_record()["exe"]
                folder = os.path.dirname(exe)
                with open(exe, "rb") as f:
                    self.assertEqual(sha256(data), sha256(f.read()))
                if before == "kill":
                    self.assertLessEqual(sent(), 1.15 * SIZE)


if __name__ == "__main__":
    unittest.main()
