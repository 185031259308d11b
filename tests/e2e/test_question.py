"""setup.exe end to end: the question whether to fetch the latest version,
asked when both a local installer and a web configuration are configured."""
import ntpath
import os
import unittest

import e2e_support as e2e
from e2e_support import ID_FIRST, ID_SECOND, ID_STATUS, PRODUCT


class QuestionTest(e2e.SetupTestCase):

    def start(self, tag, web_version, web_url=None, recorder=None):
        """setup.exe with a local installer (the recorder, with arguments) and
        a web configuration of the given version; the own version is 3."""
        self.recorder = recorder or e2e.Recorder(self)
        web = {"PRODUCT": {"Ver": web_version}}
        if web_url:
            web["PRODUCT"]["URL"] = web_url
        _, config_url = self.capture.add_file(e2e.ini_bytes(web), "web.ini")
        product = {"Ver": 3, "Config": config_url,
                   "Installer": '%s /from-cd "two words"' % self.recorder.exe_win}
        run = e2e.SetupRun(ini=e2e.base_ini(self.capture, tag, product=product),
                           env=self.recorder.env())
        self.addCleanup(run.cleanup)
        return run.start()

    def question(self):
        window, controls = self.ui.message(self.en.fmt(599).split("\n")[0])
        self.assertEqual(PRODUCT, window["title"])
        self.assertEqual(self.en.fmt(599), controls[ID_STATUS]["text"])
        self.assertEqual(self.en.get(205), controls[ID_FIRST]["text"])
        self.assertEqual(self.en.get(204), controls[ID_SECOND]["text"])
        return window

    def assert_local_installer(self):
        record = self.recorder.wait_record()
        self.assertEqual(self.recorder.exe_win.lower(), record["exe"].lower())
        self.assertEqual(["/from-cd", "two words"], record["args"])

    def test_no_install_from_cd_starts_the_local_installer(self):
        run = self.start("q-no", 3)
        self.ui.click(ID_SECOND, hwnd=self.question()["hwnd"])
        self.assertEqual(e2e.exit_byte(-1), run.wait())
        self.assert_local_installer()
        self.assertEqual(["stubinstaller_Started", "stubInstaller_InstallFromCD"],
                         self.capture.event_names("q-no"))

    def test_yes_with_a_newer_web_configuration_downloads_its_installer(self):
        recorder = e2e.Recorder(self)
        name = "Newer%s.exe" % os.urandom(3).hex()
        _, url = self.capture.add_file(recorder.installer_bytes(2_500_000), name)
        run = self.start("q-newer", 4, web_url=url, recorder=recorder)
        self.ui.click(ID_FIRST, hwnd=self.question()["hwnd"])
        self.assertEqual(0, run.wait(60))
        record = self.recorder.wait_record()
        self.assertTrue(ntpath.basename(record["exe"]).startswith(name[:-4]), record)
        self.assertEqual([], record["args"])
        self.assertEqual(["stubinstaller_Started", "stubInstaller_CheckNewVersion",
                          "stubinstaller_DownloadStarted", "stubinstaller_StartMainInstaller"],
                         self.capture.event_names("q-newer"))

    def test_yes_with_the_same_version_starts_the_local_installer(self):
        run = self.start("q-same", 3, web_url="http://127.0.0.1:9/not-this.exe")
        self.ui.click(ID_FIRST, hwnd=self.question()["hwnd"])
        self.assertEqual(0, run.wait(60))
        self.assert_local_installer()
        self.assertEqual(["stubinstaller_Started", "stubInstaller_CheckNewVersion",
                          "stubInstaller_InstallFromCD"], self.capture.event_names("q-same"))
        self.assertNotIn("not-this.exe", run.log().split("stubInstaller_CheckNewVersion")[1])

    def test_a_failed_web_configuration_offers_the_local_installer(self):
        run = self.start("q-fail", 4)
        self.capture.files.clear()  # the web configuration is gone: 404
        self.ui.click(ID_FIRST, hwnd=self.question()["hwnd"])
        window, controls = self.ui.message(self.en.fmt(596), timeout=60)
        self.assertEqual(self.en.get(202), controls[ID_FIRST]["text"])
        self.assertEqual(self.en.get(204), controls[ID_SECOND]["text"])
        self.ui.click(ID_SECOND, hwnd=window["hwnd"])
        self.assertEqual(0, run.wait(30))
        self.assert_local_installer()
        self.assertEqual(["stubinstaller_Started", "stubInstaller_CheckNewVersion",
                          "stubInstaller_InstallFromCD"], self.capture.event_names("q-fail"))

    def test_closing_the_question_asks_to_confirm_the_cancel(self):
        run = self.start("q-close", 3)
        self.ui.close(hwnd=self.question()["hwnd"])
        confirm, _ = self.ui.message(self.en.fmt(601))
        self.assertEqual(self.en.get(600), confirm["title"])
        self.ui.click(ID_SECOND, hwnd=confirm["hwnd"])  # No: the question again
        self.ui.close(hwnd=self.question()["hwnd"])
        confirm, _ = self.ui.message(self.en.fmt(601))
        self.ui.click(ID_FIRST, hwnd=confirm["hwnd"])  # Yes: cancelled
        self.assertEqual(e2e.exit_byte(-1), run.wait())
        self.assertEqual(["stubinstaller_Started", "stubinstaller_CancelledByUser"],
                         self.capture.event_names("q-close"))
        self.assertEqual([], self.recorder.records())


if __name__ == "__main__":
    unittest.main()
