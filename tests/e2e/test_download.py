"""setup.exe end to end: the main download under the progress window, what a
failed download asks and records, a cancel in German, and a crash."""
import hashlib
import os
import unittest

import e2e_support as e2e
from e2e_support import ID_BAR, ID_FIRST, ID_PERCENT, ID_SECOND, ID_STATUS, PRODUCT, PROGRESS

STARTED, DOWNLOADING, MAIN, CANCELLED, DISK = ("stubinstaller_" + e for e in (
    "Started", "DownloadStarted", "StartMainInstaller", "CancelledByUser", "Cancelled_DiskSpace"))
ERROR = "stubInstaller_DownloadError"
HUGE = 1 << 50


class DownloadTest(e2e.SetupTestCase):
    @classmethod
    def setUpClass(cls):
        cls.en = e2e.texts(0x409, [200, 201, 202, 502, 590, 591, 596, 598], HUGE // 1048576 * 3)

    def test_download_shows_its_progress_and_starts_the_installer(self):
        rec = e2e.Recorder(self)
        name, data = "Skyguard%s.exe" % os.urandom(3).hex(), rec.installer_bytes(16_000_000)
        _, served = e2e.nginx_file(self, name, data)
        # 2 MB/s per connection, honestly: every request starts slow.
        url = e2e.testserver("/%s?file=%s&rate=2000000&tag=%s" % (name, served, os.urandom(6).hex()))
        run = self.run_setup(args=[url, "-s", "2"], env=rec.env)
        samples = self.ui.samples(e2e.json_lines(self.ui.watch(90, **PROGRESS).communicate(timeout=150)[0]))
        self.assertEqual(0, run.wait())
        record = rec.wait_record()
        self.assertEqual((name.lower(), []), (os.path.basename(record["exe"]).lower(), record["args"]))
        with open(record["exe"], "rb") as f:
            self.assertEqual(hashlib.sha256(data).hexdigest(), hashlib.sha256(f.read()).hexdigest())
        self.assertEqual([("en", STARTED), ("en", DOWNLOADING), ("en", MAIN)], run.events(with_language=True))
        self.assertEqual(PRODUCT, samples[0][0]["title"])
        self.assertFalse(samples[0][1][ID_SECOND]["visible"], "no Cancel button while all goes well")
        # While downloading (completion resets the bar to 0) neither the bar nor
        # the percentage ever steps back, and the bar is no marquee.
        shown = [(c[ID_BAR]["pos"], int(c[ID_PERCENT]["text"][:-1] or 0), c[ID_BAR]["marquee"]) for _, c in samples
                 if c[ID_STATUS]["text"] == self.en[502] and c[ID_BAR]["pos"]]
        for values in ([s[0] for s in shown], [s[1] for s in shown]):
            self.assertEqual(sorted(values), values, "stepped back: %s" % shown)
        self.assertGreaterEqual(len({s[0] for s in shown} - {100}), 2, "the bar moved: %s" % shown)
        self.assertFalse(any(s[2] for s in shown))

    def test_failed_downloads_ask_record_and_end(self):
        _, good = e2e.nginx_file(self, "Later%s.exe" % os.urandom(3).hex(), e2e.Recorder.installer_bytes(2_200_000))
        rows = [  # path on the test server, message, [(events when it shows, answer)], events at the end
            # 404 until the server recovers (before Retry is clicked).
            ("/Later.exe?file=%s&fail=200" % good, 596, [([STARTED], ID_FIRST)], [STARTED, DOWNLOADING, MAIN]),
            # A file that its pinned hash refuses: deleted, never started, a failure
            # outside the connection group; Retry downloads it afresh.
            ("/Refused.exe?size=1100000", 591, [([STARTED, DOWNLOADING, ERROR], ID_FIRST),
                                                ([STARTED, DOWNLOADING, ERROR, DOWNLOADING, ERROR], ID_SECOND)],
             [STARTED, DOWNLOADING, ERROR, DOWNLOADING, ERROR, CANCELLED]),
            ("/Huge.exe?size=%d" % HUGE, 598, [([STARTED], ID_SECOND)], [STARTED, DISK]),
        ]
        for path, message, steps, final in rows:
            rec, url = e2e.Recorder(self), e2e.testserver(path + "&tag=" + os.urandom(6).hex())
            ini = {"PRODUCT": {"SHA256": "ab" * 32}} if "Refused" in path else None
            with self.subTest(path=path), self.run_setup(args=[url], env=rec.env, ini=ini) as run:
                for expected, answer in steps:
                    e2e.wait_until(lambda: run.events() == expected, 60, "events %s" % expected)
                    window, controls = self.ui.message(self.en[message])
                    self.assertEqual(expected, run.events())  # what comes with the answer is not sent yet
                    self.assertEqual(PRODUCT, window["title"])
                    buttons = (controls[ID_FIRST]["text"] if controls.get(ID_FIRST, {}).get("visible") else None,
                               controls[ID_SECOND]["text"])
                    self.assertEqual((None, self.en[201]) if message == 598 else (self.en[202], self.en[200]), buttons)
                    if "fail=" in path:
                        e2e.wait_until(lambda: e2e.http_status(url) != 404, 60, "the server", interval=0)
                    self.ui.run("click", id=answer, hwnd=window["hwnd"])
                self.assertEqual(0, run.wait())
                self.assertEqual(final, run.events())
                self.assertEqual(MAIN in final, rec.record() is not None)
                self.assertEqual([], e2e.temp_files("Refused"))

    def test_cancel_confirmed_in_german_deletes_the_partial_file(self):
        de = e2e.texts(1031, [502, 505, 600, 601])
        self.assertNotEqual(self.en[502], de[502], "German is looked up")
        name = "Abbruch%s.exe" % os.urandom(3).hex()
        url = e2e.testserver("/%s?size=3000000&rate=60000&tag=%s" % (name, os.urandom(6).hex()))
        run = self.run_setup(args=[url, "-c", "1031", "-s", "2"])
        status = lambda: self.ui.samples(self.ui.run("dump", **PROGRESS))[0][1][ID_STATUS]["text"]
        e2e.wait_until(lambda: status() == de[502], 30, "German downloading")
        e2e.wait_until(lambda: e2e.temp_files(name[:-4]), 20, "the partial file")
        self.ui.run("escape", **PROGRESS)
        confirm = self.ui.message(de[601])[0]
        self.assertEqual(de[600], confirm["title"])  # its buttons: MsgBoxTest
        watch = self.ui.watch(60, **PROGRESS)
        watch.stdout.readline()  # watching
        self.ui.run("click", id=ID_FIRST, hwnd=confirm["hwnd"])
        samples = self.ui.samples(e2e.json_lines(watch.communicate(timeout=120)[0]))
        self.assertEqual(0, run.wait())
        # Until the window closes: "Cancelling...", Cancel disabled, no percentage; never "Download failed.".
        cancelling = [(c[ID_SECOND]["enabled"], c[ID_PERCENT]["text"], c[ID_BAR]["marquee"]) for _, c in samples
                      if c[ID_STATUS]["text"] == de[505]]
        statuses = [c[ID_STATUS]["text"] for _, c in samples]
        self.assertEqual(({(False, "", True)}, de[505]), (set(cancelling), statuses[-1]), statuses)
        self.assertEqual([], e2e.temp_files(name[:-4]))
        self.assertEqual([("de", STARTED), ("de", DOWNLOADING), ("de", CANCELLED)], run.events(with_language=True))

    def test_a_crash_is_reported_recorded_and_falls_back_to_the_local_installer(self):
        # crashsetup.exe: the real start-up plus a fault on a thread of its own
        # once a window is up. Under Wine an unhandled fault ends the process
        # through winedbg, whose exit code is not the fault's; terminate sets 3.
        for mode, exit_code in (("fault", None), ("throw", 3)):
            rec = e2e.Recorder(self)
            url = e2e.testserver("/Crash.exe?size=2000000&rate=50000&tag=" + os.urandom(6).hex())
            with self.subTest(mode=mode), self.run_setup(exe="crashsetup.exe", args=[url], env=dict(
                    rec.env, KAVRI_CRASH=mode), ini={"PRODUCT": {"Installer": "%s /local" % rec.exe_win}}) as run:
                window, _ = self.ui.message(self.en[590])
                self.assertEqual(PRODUCT, window["title"])
                self.ui.run("click", id=ID_SECOND, hwnd=window["hwnd"])
                self.assertEqual(["/local"], rec.wait_record()["args"])
                code = run.wait()
                self.assertEqual(exit_code or code, code)
                self.assertEqual([STARTED, "stubInstaller_UnexpectedError", "stubInstaller_InstallFromCD"],
                                 run.events()[:1] + run.events()[-2:])


if __name__ == "__main__":
    unittest.main()
