"""setup.exe end to end before any download: the requirement checks with their
messages, events and exit codes; the question whether to fetch the latest
version when a local installer is configured; a message without a display."""
import os
import unittest

import e2e_support as e2e
from e2e_support import ID_FIRST, ID_LINK, ID_SECOND, PRODUCT

STARTED, FROM_CD, CHECK = "stubinstaller_Started", "stubInstaller_InstallFromCD", "stubInstaller_CheckNewVersion"
HUGE = 2000000000  # above any machine's RAM, MHz and free MB; below INT_MAX (_wtoi saturates)


class StartupTest(e2e.SetupTestCase):

    def test_a_failed_requirement_is_reported_recorded_and_ends_the_run(self):
        en = e2e.texts(0x409, [510, 593, 594, 595, 597, 598], HUGE)
        rows = [  # [RUNTIME], message, caption, event, exit code; checked in the order OS, RAM, CPU, disk
            ({"RAM": HUGE, "CPU": HUGE}, 595, PRODUCT, "stubinstaller_Cancelled_InsufficentRAM", -3),
            ({"CPU": HUGE, "HDD": HUGE}, 597, PRODUCT, "stubinstaller_Cancelled_CPUnotSupported", -2),
            ({"HDD": HUGE}, 598, PRODUCT, "stubinstaller_Cancelled_DiskSpace", -4),
            # The event of the system check goes out before its message.
            ({"OSVersion": "99.0", "RAM": HUGE}, 594, en[593], "stubinstaller_Cancelled_UnsupportedOS", -1),
        ]
        for runtime, message, caption, event, code in rows:
            with self.subTest(event=event), self.run_setup(ini={"RUNTIME": runtime},
                                                            args=["http://127.0.0.1:9/never.exe"]) as run:
                window, controls = self.ui.message(en[message])
                self.assertEqual(caption, window["title"])
                link = controls[ID_LINK]["visible"] and controls[ID_LINK]["hyperlink"] and controls[ID_LINK]["text"]
                self.assertEqual(message == 594 and en[510], link)
                self.assertEqual([STARTED] + [event] * (message == 594), run.events())
                self.ui.run("click", id=ID_SECOND, hwnd=window["hwnd"])
                self.assertEqual(code & 0xFF, run.wait())
                self.assertEqual([STARTED, event], run.events())

    def test_the_latest_version_question_with_a_local_installer(self):
        en = e2e.texts(0x409, [204, 205, 599])
        name = "Newer%s.exe" % os.urandom(3).hex()
        newer, _ = e2e.nginx_file(self, name, e2e.Recorder.installer_bytes(2_500_000))
        local = ("argrecorder.exe", ["/from-cd", "two words"])
        rows = [  # web configuration [PRODUCT] (own version 3), answer, exit code, events, started
            ({"Ver": 3}, ID_SECOND, -1, [STARTED, FROM_CD], local),
            ({"Ver": 3, "URL": "http://127.0.0.1:9/not-newer.exe"}, ID_FIRST, 0, [STARTED, CHECK, FROM_CD], local),
            ({"Ver": 4, "URL": newer, ";": "x" * 70000}, ID_FIRST, 0, [STARTED, CHECK, FROM_CD], local),  # too large
            ({"Ver": 4, "URL": newer}, ID_FIRST, 0,
             [STARTED, CHECK, "stubinstaller_DownloadStarted", "stubinstaller_StartMainInstaller"], (name.lower(), [])),
        ]
        for web, answer, code, events, started in rows:
            config, _ = e2e.nginx_file(self, "web%s.ini" % os.urandom(3).hex(),
                                       ("[PRODUCT]\r\n" + "".join("%s=%s\r\n" % kv for kv in web.items())).encode())
            rec = e2e.Recorder(self)
            product = {"Ver": 3, "Config": config, "Installer": '%s /from-cd "two words"' % rec.exe_win}
            with self.subTest(web=sorted(web)), self.run_setup(ini={"PRODUCT": product}, env=rec.env) as run:
                window, controls = self.ui.message(en[599])
                self.assertEqual(PRODUCT, window["title"])
                self.assertEqual((en[205], en[204]), (controls[ID_FIRST]["text"], controls[ID_SECOND]["text"]))
                self.ui.run("click", id=answer, hwnd=window["hwnd"])
                self.assertEqual(code & 0xFF, run.wait())
                record = rec.wait_record()
                self.assertEqual(started, (os.path.basename(record["exe"]).lower(), record["args"]))
                self.assertEqual(events, run.events())

    def test_a_message_without_a_display_fails_at_once(self):
        # A child of a Wine process keeps its parent's display whatever its
        # environment says: only a fresh `wine` without DISPLAY shows the case.
        env = dict({k: v for k, v in os.environ.items() if k != "DISPLAY"}, KAVRI_PROBE="error:590")
        result = e2e.json_lines(e2e.wine("flowprobe.exe", env=env).stdout)[-1]
        self.assertEqual(-1, result["result"])
        self.assertLess(result["ms"], 5000)


if __name__ == "__main__":
    unittest.main()
