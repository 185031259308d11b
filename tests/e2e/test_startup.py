"""setup.exe end to end: the usage box, the single instance, and the four
requirement checks with their messages, events and exit codes."""
import os
import subprocess
import unittest

import e2e_support as e2e
from e2e_support import ID_FIRST, ID_LINK, ID_SECOND, ID_STATUS, PRODUCT

HUGE = 2000000000  # above any machine's RAM, MHz and free MB; below INT_MAX (_wtoi saturates)


class StartupTest(e2e.SetupTestCase):

    def test_no_ini_and_no_url_shows_the_usage_box_and_exits_minus_1(self):
        run = self.run_setup(ini=None).start()
        window, controls = self.ui.dump(title="Stub Installer", cls="#32770", timeout=20)
        text = controls[ID_STATUS]["text"]
        self.assertTrue(text.startswith("Command line usage: \n\n[-[u|U|Url]] URL \n"), text)
        self.assertIn("[-s|S|SegmentCount NUMBER]\n\tMax Segment count. Optional, default is 10 \n",
                      text)
        self.assertTrue(text.endswith("\t\t5- Log Error type messages only.\n"), text)
        self.ui.click(ID_FIRST, hwnd=window["hwnd"])
        self.assertEqual(e2e.exit_byte(-1), run.wait())
        self.assertEqual([], run.states(), "nothing runs without an application object")

    def test_second_instance_brings_the_first_window_forward_and_leaves_its_log(self):
        # The first instance downloads slowly, so its window stays up.
        key, url = self.capture.add_file(os.urandom(3_000_000), "Slow.exe", rate=100_000)
        first = self.run_setup(ini=e2e.base_ini(self.capture, "first"), args=[url]).start()
        progress = self.ui.wait(**self.ui.progress())
        first.wait_log("stubinstaller_Started")

        # Something else comes to the front meanwhile.
        other = subprocess.Popen(["wine", "notepad.exe"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (other.kill(), other.wait(10)))
        pad = self.ui.wait(title_has="Notepad")
        self.ui.run("key", hwnd=pad["hwnd"], vk="16", method="input")
        e2e.wait_until(lambda: self.ui.foreground().get("hwnd") == pad["hwnd"], 10,
                       "Notepad in front")
        log_before = first.log()

        # The second start, from the same directory (same INI, same log file).
        second = e2e.SetupRun(ini=e2e.base_ini(self.capture, "second"), args=[url])
        self.addCleanup(second.cleanup)
        second.dir, second.exe, second.log_path = first.dir, first.exe, first.log_path
        second.start()
        self.assertEqual(e2e.exit_byte(-1), second.wait())

        front = self.ui.foreground()
        self.assertEqual(PRODUCT, front.get("title"))
        self.assertEqual(progress["pid"], front.get("pid"))
        log_after = first.log()
        self.assertTrue(log_after.startswith(log_before), "the first instance's log was rewritten")
        self.assertEqual(1, log_after.count("Application starts"))
        self.assertEqual([], self.capture.event_names("second"))
        self.assertTrue(first.running())

    def check_refusal(self, runtime, text_id, value, event, code):
        tag = "req-" + event
        run = self.run_setup(ini=e2e.base_ini(self.capture, tag, runtime=runtime),
                             args=["http://127.0.0.1:9/never.exe"]).start()
        window, controls = self.ui.message(self.en.fmt(text_id, value=value).split("\n")[0])
        self.assertEqual(self.en.fmt(text_id, value=value), controls[ID_STATUS]["text"])
        self.assertEqual(PRODUCT, window["title"])
        # The event follows the message: nothing but Started is sent yet.
        self.assertEqual(["stubinstaller_Started"], self.capture.event_names(tag))
        self.ui.click(ID_SECOND, hwnd=window["hwnd"])
        self.assertEqual(e2e.exit_byte(code), run.wait())
        self.assertEqual(["stubinstaller_Started", event], self.capture.event_names(tag))
        self.assertEqual(["stubinstaller_Started", event], run.states())
        self.assertFalse(self.ui.exists(**self.ui.progress()))

    def test_too_little_ram(self):
        self.check_refusal({"RAM": HUGE}, 595, HUGE, "stubinstaller_Cancelled_InsufficentRAM", -3)

    def test_too_slow_a_processor(self):
        self.check_refusal({"CPU": HUGE}, 597, HUGE, "stubinstaller_Cancelled_CPUnotSupported", -2)

    def test_too_little_disk_space(self):
        self.check_refusal({"HDD": HUGE}, 598, HUGE, "stubinstaller_Cancelled_DiskSpace", -4)

    def test_old_os_records_first_and_its_link_opens_the_help_page(self):
        recorder = e2e.Recorder(self)
        handler = e2e.FakeBrowser(self, recorder)
        help_url = "http://127.0.0.1:9/help?prod=1&app=UnsupportedOS"
        tag = "req-os"
        ini = e2e.base_ini(self.capture, tag, runtime={"OSVersion": "99.0", "RAM": HUGE},
                           product={"Help": help_url})
        run = self.run_setup(ini=ini, args=["http://127.0.0.1:9/never.exe"],
                             env=recorder.env()).start()
        window, controls = self.ui.message(self.en.fmt(594).split("\n")[0])
        self.assertEqual(self.en.get(593), window["title"])
        self.assertEqual(self.en.fmt(594), controls[ID_STATUS]["text"])
        self.assertEqual(self.en.get(510), controls[ID_LINK]["text"])
        self.assertTrue(controls[ID_LINK]["hyperlink"])
        # The event goes out before the message appears.
        self.assertEqual(["stubinstaller_Started", "stubinstaller_Cancelled_UnsupportedOS"],
                         self.capture.event_names(tag))
        self.ui.click(ID_LINK, hwnd=window["hwnd"])
        self.assertEqual(e2e.exit_byte(-1), run.wait())
        record = recorder.wait_record()
        self.assertEqual([help_url], record["args"])
        self.assertTrue(handler.used())
        # The RAM check (which would fail too) never ran.
        self.assertEqual(["stubinstaller_Started", "stubinstaller_Cancelled_UnsupportedOS"],
                         run.states())


if __name__ == "__main__":
    unittest.main()
