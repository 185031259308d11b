"""setup.exe behind a proxy that asks for a user name and password (squid with
Basic, named to Wine's WinINet by http_proxy): the sign-in dialog driven through
the real window (right, wrong then right, Cancel), and the quiet run's -9."""
import glob
import hashlib
import os
import unittest

import e2e_support as e2e
from e2e_support import ID_FIRST, ID_SECOND, ID_STATUS

S = e2e.SERVERS
PROXY = {"http_proxy": "http://127.0.0.1:%d" % S["squid_port"]}
USER, PASSWORD = S["squid_user"], S["squid_password"]
ID_USER, ID_PASSWORD = 1020, 1021
STARTED, DOWNLOADING, MAIN = ("stubinstaller_" + e for e in ("Started", "DownloadStarted", "StartMainInstaller"))


def proxied(tag):
    """The squid log's lines for a tag: [(status/code, user)]."""
    with open(S["squid_log"]) as f:
        fields = [line.split() for line in f if tag in line]
    return [(f[3], f[7]) for f in fields]


class ProxyTest(e2e.SetupTestCase):
    @classmethod
    def setUpClass(cls):
        cls.en = e2e.texts(0x409, [596, 609, 610])

    def sign_in(self, typed, text):
        """Waits for the sign-in dialog showing text; types and clicks OK, or Cancel (typed None)."""
        def shown():
            found = self.ui.samples(self.ui.run("dump", 0.5, check=False, has_id=ID_USER))
            return found and found[0][1].get(ID_STATUS, {}).get("text") == text and found[0]
        window, controls = e2e.wait_until(shown, 60, "the sign-in dialog %r" % text)
        self.assertEqual("", controls[ID_PASSWORD]["text"])
        if typed:
            for control, value in zip((ID_USER, ID_PASSWORD), typed):
                self.ui.run("type", id=control, text=value, hwnd=window["hwnd"])
        self.ui.run("click", id=ID_FIRST if typed else ID_SECOND, hwnd=window["hwnd"])

    def test_the_window_asks_for_the_proxy_credentials(self):
        rows = [  # what, what is typed in turn (None: Cancel), the texts they are typed into, started
            ("right", [(USER, PASSWORD)], [609], True),
            ("wrong, then right", [(USER, "not it"), (USER, PASSWORD)], [609, 610], True),
            ("cancel", [None], [609], False),
        ]
        for what, typed, asked, started in rows:
            with self.subTest(what):
                rec = e2e.Recorder(self)
                name, data = "Proxied%s.exe" % os.urandom(3).hex(), rec.installer_bytes(3_000_000)
                _, served = e2e.nginx_file(self, name, data)
                tag = os.urandom(6).hex()
                run = self.run_setup(args=[e2e.testserver("/%s?file=%s&tag=%s" % (name, served, tag)), "-s", "4"],
                                     env=dict(rec.env, **PROXY))
                for answer, text in zip(typed, asked):
                    self.sign_in(answer, self.en[text])
                if not started:  # the choices of any failed connection
                    window, _ = self.ui.message(self.en[596])
                    self.ui.run("click", id=ID_SECOND, hwnd=window["hwnd"])
                self.assertEqual(0, run.wait())
                self.assertEqual(started, rec.record() is not None)
                users = {user for code, user in proxied(tag) if code.endswith("/200") or code.endswith("/206")}
                self.assertEqual({USER} if started else set(), users, "every request passed signed in")
                if started:
                    with open(rec.record()["exe"], "rb") as f:
                        self.assertEqual(hashlib.sha256(data).hexdigest(), hashlib.sha256(f.read()).hexdigest())
                    self.assertEqual([DOWNLOADING, MAIN], run.events()[-2:], "tracking passes the proxy too")
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
