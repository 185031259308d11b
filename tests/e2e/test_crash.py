"""The crash handler end to end, in crashsetup.exe: the real start-up of
setup.exe plus a trigger that faults on a thread of its own once the progress
window is up (setup.exe itself has no such trigger)."""
import os
import unittest

import e2e_support as e2e
from e2e_support import ID_SECOND, ID_STATUS, PRODUCT


class CrashTest(e2e.SetupTestCase):

    def crash(self, mode, tag, logged_code, exit_code=None):
        recorder = e2e.Recorder(self)
        _, url = self.capture.add_file(os.urandom(2_000_000), "Crash.exe", rate=50_000)
        ini = e2e.base_ini(self.capture, tag,
                           product={"Installer": "%s /local" % recorder.exe_win})
        env = dict(recorder.env(), KAVRI_CRASH=mode)
        run = e2e.SetupRun(exe="crashsetup.exe", ini=ini, args=[url], env=env)
        self.addCleanup(run.cleanup)
        run.start()

        window, controls = self.ui.message(self.en.fmt(590), timeout=30)
        self.assertEqual(PRODUCT, window["title"])
        self.assertIn("CRT:Unexpected error ocured. \n %d" % logged_code, run.log())
        self.ui.click(ID_SECOND, hwnd=window["hwnd"])
        record = recorder.wait_record()
        self.assertEqual(recorder.exe_win.lower(), record["exe"].lower())
        self.assertEqual(["/local"], record["args"])
        run.wait(60)
        # The process ends through the crash, not through a normal exit. (Under
        # Wine an unhandled fault ends it through winedbg, whose exit code is
        # not the fault's; the terminate path sets its own.)
        self.assertNotIn("Application exits", run.log())
        if exit_code is not None:
            self.assertEqual(exit_code, run.returncode)
        events = self.capture.event_names(tag)
        self.assertEqual("stubinstaller_Started", events[0])
        self.assertIn("stubInstaller_UnexpectedError", events)
        self.assertEqual("stubInstaller_InstallFromCD", events[-1])
        self.assertLess(events.index("stubInstaller_UnexpectedError"),
                        events.index("stubInstaller_InstallFromCD"))

    def test_access_violation_on_a_worker_thread(self):
        self.crash("fault", "crash-av", -1073741819)  # 0xC0000005

    def test_uncaught_cpp_exception(self):
        self.crash("throw", "crash-throw", 3, exit_code=3)


if __name__ == "__main__":
    unittest.main()
