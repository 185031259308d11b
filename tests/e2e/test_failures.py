"""setup.exe end to end: failed downloads and what the user is asked."""
import ntpath
import os
import unittest

import e2e_support as e2e
from e2e_support import ID_FIRST, ID_SECOND, ID_STATUS, PRODUCT


class FailureTest(e2e.SetupTestCase):

    def start(self, tag, url, recorder=None):
        run = e2e.SetupRun(ini=e2e.base_ini(self.capture, tag), args=[url],
                           env=recorder.env() if recorder else None)
        self.addCleanup(run.cleanup)
        return run.start()

    def retry_question(self, text_id):
        window, controls = self.ui.message(self.en.fmt(text_id).split("\n")[0], timeout=60)
        self.assertEqual(PRODUCT, window["title"])
        self.assertEqual(self.en.fmt(text_id), controls[ID_STATUS]["text"])
        self.assertEqual(self.en.get(202), controls[ID_FIRST]["text"])
        self.assertEqual(self.en.get(200), controls[ID_SECOND]["text"])
        return window

    def test_404_asks_596_and_cancel_records_the_cancel(self):
        _, url = self.capture.add_file(b"x" * 1000, "Missing.exe", mode="404")
        run = self.start("f-404", url)
        window = self.retry_question(596)
        self.assertEqual(self.en.get(504), self.ui.text(ID_STATUS, **self.ui.progress()))
        self.ui.click(ID_SECOND, hwnd=window["hwnd"])
        self.assertEqual(0, run.wait(30))
        self.assertEqual(["stubinstaller_Started", "stubinstaller_CancelledByUser"],
                         self.capture.event_names("f-404"))

    def test_retry_after_the_server_recovered_completes(self):
        recorder = e2e.Recorder(self)
        key, url = self.capture.add_file(recorder.installer_bytes(2_200_000), "Later.exe",
                                         mode="404")
        run = self.start("f-retry", url, recorder)
        window = self.retry_question(596)
        self.capture.files[key].mode = "ok"
        self.ui.click(ID_FIRST, hwnd=window["hwnd"])
        self.assertEqual(0, run.wait(60))
        record = recorder.wait_record()
        self.assertTrue(ntpath.basename(record["exe"]).startswith("Later"), record)
        self.assertEqual(["stubinstaller_Started", "stubinstaller_DownloadStarted",
                          "stubinstaller_StartMainInstaller"], self.capture.event_names("f-retry"))
        self.assertNotIn("reset before the retry", run.log())

    def test_local_file_error_records_download_error_asks_591_and_resets_before_retry(self):
        # A file name the file system refuses: the local file cannot be
        # prepared (-55), a failure outside the connection group.
        key, url = self.capture.add_file(b"x" * 1_100_000, "Bad*Name.exe")
        run = self.start("f-local", url)
        window = self.retry_question(591)
        self.assertEqual(["stubinstaller_Started", "stubInstaller_DownloadError"],
                         self.capture.event_names("f-local"))
        self.ui.click(ID_FIRST, hwnd=window["hwnd"])
        # The retry starts from scratch, fails the same way and asks again.
        e2e.wait_until(lambda: self.capture.event_names("f-local").count(
            "stubInstaller_DownloadError") == 2, 30, "the second failure")
        window = self.retry_question(591)
        self.ui.click(ID_SECOND, hwnd=window["hwnd"])
        self.assertEqual(0, run.wait(30))
        log = run.log()
        reset = log.index("MainDlg::RunAgain, reset before the retry.")
        self.assertLess(log.index("stubInstaller_DownloadError"), reset)
        self.assertLess(reset, log.index("CDownloader::Reset"))
        self.assertLess(reset, log.index("Connecting to server", reset))
        self.assertEqual(2, log.count("OnCreateFilestream, failed to open"))
        self.assertEqual(["stubinstaller_Started", "stubInstaller_DownloadError",
                          "stubInstaller_DownloadError", "stubinstaller_CancelledByUser"],
                         self.capture.event_names("f-local"))

    def test_a_url_the_downloader_refuses_ends_the_window(self):
        # Longer than the 260 characters a URL may have: refused (-2) when the
        # window starts the download; handled as a download that cannot start.
        url = self.capture.url("/f/" + "u" * 260 + ".exe")
        run = self.start("f-refused", url)
        self.assertEqual(e2e.exit_byte(-1), run.wait(30))
        self.assertIn("was refused", run.log())
        self.assertEqual(["stubinstaller_Started"], self.capture.event_names("f-refused"))

    def test_not_enough_disk_space_names_three_times_the_size(self):
        size = 1 << 50
        _, url = self.capture.add_file(b"", "Huge.exe", mode="huge", size=size)
        run = self.start("f-disk", url)
        needed = size // 1048576 * 3
        window, controls = self.ui.message(self.en.fmt(598, value=needed).split("\n")[0], timeout=60)
        self.assertEqual(self.en.fmt(598, value=needed), controls[ID_STATUS]["text"])
        self.assertIn(str(needed), controls[ID_STATUS]["text"])
        # The event follows the message.
        self.assertEqual(["stubinstaller_Started"], self.capture.event_names("f-disk"))
        self.ui.click(ID_SECOND, hwnd=window["hwnd"])
        self.assertEqual(0, run.wait(30))
        self.assertEqual(["stubinstaller_Started", "stubinstaller_Cancelled_DiskSpace"],
                         self.capture.event_names("f-disk"))


if __name__ == "__main__":
    unittest.main()
