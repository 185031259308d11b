"""setup.exe end to end: the main download under the progress window, the
cancel paths, and a German run."""
import ntpath
import os
import re
import time
import unittest

import e2e_support as e2e
from e2e_support import ID_BAR, ID_FIRST, ID_PERCENT, ID_SECOND, ID_STATUS, PRODUCT


class DownloadTest(e2e.SetupTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.info = e2e.servers()

    def sample_progress(self, run, until, timeout=60):
        """(status, bar pos, marquee, percent text) of the progress window,
        sampled until `until()` holds or the window is gone."""
        samples = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and not until():
            rc, lines = self.ui.run("dump", timeout=0, check=False, **self.ui.progress())
            if rc != 0:
                if not run.running():
                    break
                continue
            controls = {c["id"]: c for c in lines[1:]}
            # A dump taken while the window goes away may list only some of
            # its controls: such a sample says nothing.
            if all(i in controls for i in (ID_STATUS, ID_BAR, ID_PERCENT)):
                samples.append((controls[ID_STATUS]["text"], controls[ID_BAR]["pos"],
                                controls[ID_BAR]["marquee"], controls[ID_PERCENT]["text"]))
        return samples

    def test_happy_path_downloads_in_segments_and_starts_the_main_installer(self):
        recorder = e2e.Recorder(self)
        name = "Skyguard%s.exe" % os.urandom(3).hex()
        # nginx's /slow/ sends 2 MiB/s per connection: a few seconds to watch.
        data = recorder.installer_bytes(16_000_000)
        url = e2e.nginx_file(self, "slow", name, data)
        tag = "happy"
        run = self.run_setup(ini=e2e.base_ini(self.capture, tag), args=[url, "-s", "2"],
                             env=recorder.env()).start()
        window, controls = self.ui.dump(**self.ui.progress())
        self.assertEqual(PRODUCT, window["title"])
        self.assertFalse(controls[ID_SECOND]["visible"], "the Cancel button is hidden")

        samples = self.sample_progress(run, lambda: recorder.records())
        self.assertEqual(0, run.wait(60))
        record = recorder.wait_record()

        downloading = [s for s in samples if s[0] == self.en.get(502)]
        positions = sorted({s[1] for s in downloading if 0 < s[1] < 100})
        percents = {s[3] for s in downloading if s[3]}
        self.assertGreaterEqual(len(positions), 2, "the bar moved: %s" % samples)
        for text in percents:
            self.assertRegex(text, r"^\d{1,3}%$")
        self.assertTrue(any(not s[2] for s in downloading), "a plain bar while downloading")
        for status, pos, _, text in downloading:
            # The driver reads the bar before the text, so the text may be ahead.
            if text and text != "100%":
                self.assertGreaterEqual(int(text[:-1]), pos)

        # The main installer is the downloaded file, complete.
        self.assertTrue(ntpath.basename(record["exe"]).lower().startswith(name[:-4].lower()), record)
        with open(e2e.linux_path(record["exe"]), "rb") as f:
            self.assertTrue(f.read() == data, "the downloaded file differs from the served one")
        self.assertEqual([], record["args"])
        segments = [int(n) for n in re.findall(r"Runnig (\d+) segments", run.log())]
        self.assertTrue(segments and segments[0] >= 2, "several segments: %s" % segments)
        self.assertFalse(self.ui.exists(**self.ui.progress()))
        self.assertEqual(["stubinstaller_Started", "stubinstaller_DownloadStarted",
                          "stubinstaller_StartMainInstaller"], self.capture.event_names(tag))
        self.assertEqual({"en"}, {lang for lang, _ in self.capture.events(tag)})

    def test_cancel_while_downloading(self):
        name = "Cancel%s.exe" % os.urandom(3).hex()
        key, url = self.capture.add_file(os.urandom(3_000_000), name, rate=60_000)
        tag = "cancel"
        run = self.run_setup(ini=e2e.base_ini(self.capture, tag), args=[url, "-s", "2"]).start()
        self.ui.wait(**self.ui.progress())
        e2e.wait_until(lambda: self.ui.text(ID_STATUS, **self.ui.progress()) == self.en.get(502),
                       30, "the download to start")
        partial = e2e.wait_until(lambda: e2e.temp_files(name[:-4]), 20, "the partial file")

        self.ui.escape(**self.ui.progress())
        confirm, controls = self.ui.message(self.en.fmt(601))
        self.assertEqual(self.en.get(600), confirm["title"])
        self.assertEqual(e2e.Strings.plain(self.en.get(205)), e2e.Strings.plain(controls[ID_FIRST]["text"]))
        self.assertEqual(e2e.Strings.plain(self.en.get(203)), e2e.Strings.plain(controls[ID_SECOND]["text"]))
        # A second close request while the confirmation is open is refused.
        self.ui.close(**self.ui.progress())
        _, windows = self.ui.run("list", timeout=0, check=False)
        self.assertEqual(1, sum(1 for w in windows if w.get("title") == self.en.get(600)))

        self.ui.click(ID_FIRST, hwnd=confirm["hwnd"])

        def cancelling():
            rc, lines = self.ui.run("dump", timeout=0, check=False, **self.ui.progress())
            controls = {c["id"]: c for c in lines[1:]} if rc == 0 else {}
            complete = all(i in controls for i in (ID_STATUS, ID_SECOND, ID_BAR, ID_PERCENT))
            if complete and controls[ID_STATUS]["text"] == self.en.get(505):
                return controls
            return None

        # The window stays, cancelling, until the coordinator has reported.
        controls = e2e.wait_until(cancelling, 10, "Cancelling...", interval=0)
        self.assertFalse(controls[ID_SECOND]["enabled"], "Cancel is disabled while cancelling")
        self.assertEqual("", controls[ID_PERCENT]["text"])
        self.assertTrue(controls[ID_BAR]["marquee"])
        self.ui.wait_gone(timeout=60, **self.ui.progress())
        self.assertEqual(0, run.wait(30))
        self.assertEqual([], e2e.temp_files(name[:-4]), "the partial file %s is gone" % partial)
        self.assertIn("Download complete with errors, last ERROR: 1", run.log())
        self.assertEqual(["stubinstaller_Started", "stubinstaller_DownloadStarted",
                          "stubinstaller_CancelledByUser"], self.capture.event_names(tag))

    def test_cancel_when_nothing_downloads_closes_at_once_without_the_event(self):
        # The download is over and the last event's request is held by the
        # server: the window is up and the downloader idle.
        recorder = e2e.Recorder(self)
        tag = "idle-cancel"
        self.capture.delays["stubinstaller_StartMainInstaller"] = 8
        self.addCleanup(self.capture.delays.clear)
        key, url = self.capture.add_file(recorder.installer_bytes(600_000), "Idle.exe")
        run = self.run_setup(ini=e2e.base_ini(self.capture, tag), args=[url],
                             env=recorder.env()).start()
        self.ui.wait(**self.ui.progress())
        e2e.wait_until(lambda: "stubinstaller_StartMainInstaller" in self.capture.event_names(tag),
                       30, "the held request")
        self.assertEqual(self.en.get(503), self.ui.text(ID_STATUS, **self.ui.progress()))
        self.ui.escape(**self.ui.progress())
        confirm, _ = self.ui.message(self.en.fmt(601))
        started = time.monotonic()
        self.ui.click(ID_FIRST, hwnd=confirm["hwnd"])
        self.ui.wait_gone(timeout=5, **self.ui.progress())
        self.assertLess(time.monotonic() - started, 5, "closed before the held request ended")
        self.assertEqual(0, run.wait(30))
        self.assertNotIn("stubinstaller_CancelledByUser", run.states())
        self.assertNotIn("stubinstaller_CancelledByUser", self.capture.event_names(tag))

    def test_german_texts_and_tracking_language(self):
        de = e2e.Strings("de")
        self.assertNotEqual(de.get(502), self.en.get(502), "a German table exists")
        tag = "german"
        key, url = self.capture.add_file(os.urandom(2_500_000), "Deutsch.exe", rate=150_000)
        run = self.run_setup(ini=e2e.base_ini(self.capture, tag), args=[url, "-c", "1031"]).start()
        self.ui.wait(**self.ui.progress())
        e2e.wait_until(lambda: self.ui.text(ID_STATUS, **self.ui.progress()) == de.get(502),
                       30, "the German downloading status")
        self.ui.escape(**self.ui.progress())
        confirm, controls = self.ui.message(de.fmt(601))
        self.assertEqual(de.get(600), confirm["title"])
        self.assertEqual(de.get(205), controls[ID_FIRST]["text"])
        self.assertEqual(de.get(203), controls[ID_SECOND]["text"])
        self.ui.click(ID_FIRST, hwnd=confirm["hwnd"])
        e2e.wait_until(lambda: not self.ui.exists(**self.ui.progress()) or
                       self.ui.text(ID_STATUS, **self.ui.progress()) in (de.get(505), ""),
                       10, "the German cancelling status")
        self.ui.wait_gone(timeout=60, **self.ui.progress())
        self.assertEqual(0, run.wait(30))
        events = self.capture.events(tag)
        self.assertEqual({"de"}, {lang for lang, _ in events})
        self.assertEqual("stubinstaller_CancelledByUser", events[-1][1])


if __name__ == "__main__":
    unittest.main()
