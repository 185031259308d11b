"""setup.exe behind a proxy that asks for a user name and password (squid with
Basic, named to Wine's WinINet by http_proxy): the sign-in dialog driven through
the real window (right, wrong then right, Cancel), and the quiet run's -9."""
import glob, hashlib, os, unittest

import e2e_support as e2e
from e2e_support import ID_FIRST, ID_SECOND, ID_STATUS

S = e2e.SERVERS
PROXY = {"http_proxy": "http://127.0.0.1:%d" % S["squid_port"]}
USER, PASSWORD = S["squid_user"], S["squid_password"]
ID_USER, ID_PASSWORD = 1020, 1021


class ProxyTest(e2e.SetupTestCase):
    def sign_in(self, typed, text):
        """Waits for the sign-in dialog showing text; types and clicks OK, or Cancel (typed None)."""
        def shown():
            found = self.ui.samples(self.ui.run("dump", 0.5, check=False, has_id=ID_USER))
            return found and found[0][1].get(ID_STATUS, {}).get("text") == text and found[0]
        window, controls = e2e.wait_until(shown, 60, "the sign-in dialog %r" % text)
        self.assertEqual("", controls[ID_PASSWORD]["text"])
        for control, value in zip((ID_USER, ID_PASSWORD), typed or ()):
            self.ui.run("type", id=control, text=value, hwnd=window["hwnd"])
        self.ui.run("click", id=ID_FIRST if typed else ID_SECOND, hwnd=window["hwnd"])

    def test_the_window_asks_for_the_proxy_credentials(self):
        en = e2e.texts(0x409, [596, 609, 610])
        rows = [  # what, what is typed in turn (None: Cancel) into the dialog with which text
            ("right", [(USER, PASSWORD)], [609]),
            ("wrong, then right", [(USER, "not it"), (USER, PASSWORD)], [609, 610]),
            ("cancel", [None], [609]),
        ]
        for what, typed, asked in rows:
            with self.subTest(what):
                rec, tag, started = e2e.Recorder(self), os.urandom(6).hex(), typed[-1] is not None
                name, data = "Proxied%s.exe" % tag, rec.installer_bytes(3_000_000)
                url = e2e.testserver("/%s?file=%s&tag=%s" % (name, e2e.nginx_file(self, name, data)[1], tag))
                run = self.run_setup(args=[url, "-s", "4"], env=dict(rec.env, **PROXY))
                for answer, text in zip(typed, asked):
                    self.sign_in(answer, en[text])
                if not started:  # the choices of any failed connection
                    self.ui.run("click", id=ID_SECOND, hwnd=self.ui.message(en[596])[0]["hwnd"])
                self.assertEqual(0, run.wait())
                with open(S["squid_log"]) as f:  # native format: [3] code/status, [7] user
                    passed = {(l.split()[3][-3:], l.split()[7]) for l in f if tag in l and "/20" in l.split()[3]}
                self.assertEqual({("206", USER)} if started else set(), passed, "every request passed signed in")
                if started:
                    with open(rec.wait_record()["exe"], "rb") as f:
                        self.assertEqual(hashlib.sha256(data).digest(), hashlib.sha256(f.read()).digest())
                    self.assertEqual(["stubinstaller_DownloadStarted", "stubinstaller_StartMainInstaller"],
                                     run.events()[-2:], "tracking passes the proxy too")
                self.assertEqual(started, rec.record() is not None)
                for path in glob.glob(os.path.join(run.dir, "*.log")):
                    with open(path, encoding="utf-8", errors="replace") as f:
                        self.assertNotIn(PASSWORD, f.read())

    def test_a_quiet_run_ends_with_its_own_code(self):
        rec = e2e.Recorder(self)
        run = self.run_setup(args=[e2e.testserver("/Quiet.exe?size=100000"), "-q"], env=dict(rec.env, **PROXY))
        self.assertEqual(-9 & 0xFF, run.wait(timeout=30), "no retries: they cannot help")
        self.assertIsNone(rec.record())


if __name__ == "__main__":
    unittest.main()
