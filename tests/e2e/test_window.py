"""The progress window end to end: an analytics host that hangs or answers late
holds nothing up; the transfer line in English and German, hidden under the
marquee; the window at 144 DPI; a main installer that cannot be started."""
import os, re, socket, subprocess, threading, time, unittest
from unittest import mock

import e2e_support as e2e
from e2e_support import ID_BAR, ID_FIRST, ID_SECOND, ID_STATUS, PRODUCT, PROGRESS

ID_TRANSFER = 1015
EVENTS = ["stubinstaller_Started", "stubinstaller_DownloadStarted", "stubinstaller_StartMainInstaller"]
SIZE = r"(\d+(?:%s\d)?) ([KMG])B"  # with the decimal separator
LINES = {0x409: r"{0} of {0}(?: \({0}/s\), (\d+):(\d\d) left)?$",
         1031: r"{0} von {0}(?: \({0}/s\), noch (\d+):(\d\d))?$"}


def served_installer(test, size, query):
    _, name = e2e.nginx_file(test, "Win%s.exe" % os.urandom(3).hex(), e2e.Recorder.installer_bytes(size))
    return e2e.testserver("/Setup.exe?file=%s&tag=%s&%s" % (name, os.urandom(6).hex(), query))


def follow(watch):
    """The watch's output lines, read on a thread of their own as they come, and a wait for its end."""
    lines = []
    reader = threading.Thread(target=lambda: [lines.extend(e2e.json_lines(l)) for l in watch.stdout], daemon=True)
    reader.start()
    return lines, lambda: (watch.wait(90), reader.join(30), watch.stdout.close())


def screen(controls):
    """The progress window as the screen shows it: size, controls' rects, the box of the status and transfer texts."""
    info = subprocess.run(["xwininfo", "-name", PRODUCT], capture_output=True, text=True, timeout=30).stdout
    w, h, x, y = map(int, re.search(r"-geometry (\d+)x(\d+)\+(\d+)\+(\d+)", info).groups())
    data = subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", "-depth", "8", "-crop",
                           "%dx%d+%d+%d" % (w, h, x, y), "ppm:-"], capture_output=True, timeout=30).stdout
    pixel = lambda px, py, d=data.split(b"\n", 3)[3]: sum(d[3 * (py * w + px):3 * (py * w + px) + 3])  # R+G+B
    rects, inks = {i: c["rect"] for i, c in controls.items()}, {}
    for i in (ID_STATUS, ID_TRANSFER):
        r = rects[i]
        xs, ys = zip(*[(x, y) for x in range(r[0], r[2]) for y in range(r[1], r[3])
                       if abs(pixel(x, y) - pixel(0, 0)) > 120] or [(0, 0)])  # far from the corner pixel
        inks[i] = [min(xs), min(ys), max(xs) + 1, max(ys) + 1]
    return (w, h), rects, inks


def silent_host(test):
    """An analytics host on 127.0.0.1 that accepts connections and never answers: its port, what it was sent."""
    server, received = socket.create_server(("127.0.0.1", 0)), []
    def serve():
        while True:
            conn = server.accept()[0]
            test.addCleanup(conn.close)
            received.append(conn.recv(4096).decode("latin-1"))
    threading.Thread(target=serve, daemon=True).start()
    return server.getsockname()[1], received


class WindowTest(e2e.SetupTestCase):
    def test_an_analytics_host_that_hangs_or_answers_late_holds_nothing_up(self):
        (port, received), tags, base = silent_host(self), [os.urandom(6).hex() for _ in range(2)], None
        rows = [  # tracking URL template, its requests' tag on the test server
            (e2e.testserver("/track?tag=%s&e=%%1" % tags[0]), tags[0]),  # the times to beat
            ("http://127.0.0.1:%d/track?e=%%1" % port, None),
            (e2e.testserver("/track?tag=%s&e=%%1&hold=700" % tags[1]), tags[1]),
        ]
        for template, tag in rows:
            start = time.monotonic()
            with self.subTest(template=template), self.run_setup(
                    args=[served_installer(self, 1_500_000, "rate=500000"), "-s", "1"], env=e2e.Recorder(self).env,
                    ini={"CAMPAIGN": {"URL": template}}) as run:
                window = self.ui.run("dump", 40, **PROGRESS) and time.monotonic() - start
                self.assertEqual(0, run.wait(60))
                base = base or (window, time.monotonic() - start)
                self.assertLess(window, min(5, base[0] + 1))  # the window does not wait for the host
                self.assertLess(time.monotonic() - start, base[1] + 2.5)  # nor the download and start; 1 s at the end
                if tag:
                    self.assertEqual(EVENTS, [q["query"]["e"] for q in e2e.requests(tag)])
                else:
                    self.assertIn("e=" + EVENTS[0], "".join(received))

    def test_the_transfer_line_in_english_and_german_and_at_144_dpi(self):
        de, shots = e2e.texts(1031, [601]), {}
        set_dpi = lambda dpi: subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                                              "/t", "REG_DWORD", "/d", str(dpi), "/f"], capture_output=True, check=True)
        for lcid, decimal, dpi in [(0x409, ".", 96), (1031, ",", 96), (0x409, ".", 144)]:
            if dpi != 96:  # Wine's setting, for the processes started from now on
                self.addCleanup(set_dpi, set_dpi(dpi) and 96)
            url = served_installer(self, 2_400_000, "rate=300000&hold=300")  # one connection of 300 KB/s
            locale = [("LC_ALL", "de_DE.UTF-8")] * (lcid == 1031)  # the user's (decimal separator), for Wine
            with self.subTest(lcid=lcid, dpi=dpi), mock.patch.dict(os.environ, locale):
                lines, end = follow(self.ui.watch(60, **PROGRESS))
                run = self.run_setup(args=[url, "-s", "1", "-c", str(lcid)], env=e2e.Recorder(self).env)
                e2e.wait_until(lambda: any("/s" in l.get("text", "") for l in lines[-20:]), 30, "a rate")
                if lcid == 1031:  # cancelled: the line goes with the bar's marquee
                    self.ui.run("escape", **PROGRESS)
                    self.ui.run("click", id=ID_FIRST, hwnd=self.ui.message(de[601])[0]["hwnd"])
                shot = lcid != 1031 and screen(self.ui.samples(list(lines))[-2][1])
                self.assertEqual(0, run.wait(60))
                end()
                samples = [c for _, c in self.ui.samples(lines)]
                self.check_line(samples, LINES[lcid].format(SIZE % re.escape(decimal)), decimal, lcid != 1031)
                shots[dpi] = shot or shots.get(dpi)
        ((size, rects, inks), (size2, rects2, inks2)) = shots[96], shots[144]
        scale = [size2[0] / size[0], size2[1] / size[1]]
        self.assertTrue(all(1.4 < s < 1.6 for s in scale), scale)  # 1.5, as the font's metrics round
        for i, rect in rects.items():
            self.assertTrue(all(abs(a * scale[n % 2] - b) <= 3 for n, (a, b) in enumerate(zip(rect, rects2[i]))),
                            (i, rect, rects2[i]))
        for i, box in inks2.items():  # the texts fit their controls, in a font scaled with them
            self.assertTrue(box[2] < rects2[i][2] - 2 and box[3] < rects2[i][3], (i, box, rects2[i]))  # not cut off
            self.assertAlmostEqual(scale[1], (box[3] - box[1]) / (inks[i][3] - inks[i][1]), delta=0.2)

    def check_line(self, samples, pattern, decimal, completed):
        # Hidden under the marquee, first and while cancelling (a sample read as the marquee stopped may show both).
        self.assertTrue(samples[0][ID_BAR]["marquee"] and (completed or samples[-1][ID_BAR]["marquee"]))
        self.assertFalse([c[ID_TRANSFER] for c, d in zip(samples, samples[1:] + samples[-1:])
                          if c[ID_BAR]["marquee"] and d[ID_BAR]["marquee"] and c[ID_TRANSFER]["visible"]])
        # What a sample read as the line changed (text or visibility) shows once: left out.
        shown = [c[ID_TRANSFER]["text"] for c, d in zip(samples, samples[1:])
                 if c[ID_TRANSFER] == d[ID_TRANSFER] and c[ID_TRANSFER]["visible"]]
        matches = [re.match(pattern, t) for t in shown]
        self.assertTrue(shown and all(matches), shown)
        self.assertEqual({"2%s3M" % decimal}, {m[3] + m[4] for m in matches})  # 2.4 MB (not MiB)
        rates = [float(m[5].replace(decimal, ".")) * 1024 ** " KMG".index(m[6]) for m in matches if m[5]]
        self.assertTrue(rates and all(100_000 < r < 600_000 for r in rates), shown)  # in the right unit
        left = [int(m[7]) * 60 + int(m[8]) for m in matches if m[7]]  # falls as the download goes on
        self.assertTrue(all(b <= a + 1 for a, b in zip(left, left[1:])) and (left[-1] < left[0] or not completed), left)

    def test_a_download_of_unknown_size_that_cannot_be_started(self):
        en = e2e.texts(0x409, [502, 590])
        lines, end = follow(self.ui.watch(60, **PROGRESS))
        run = self.run_setup(args=[e2e.testserver("/Broken.exe?size=1500000&rate=500000&nolength=1&ranges=0&tag="
                                                  + os.urandom(6).hex())])  # no program, no length, in one piece
        window, _ = self.ui.message(en[590])
        self.ui.run("click", id=ID_SECOND, hwnd=window["hwnd"])
        self.assertEqual(-7 & 0xFF, run.wait(30))
        end()
        downloading = [c for _, c in self.ui.samples(lines) if c[ID_STATUS]["text"] == en[502]]
        self.assertEqual({(True, False)}, {(c[ID_BAR]["marquee"], c[ID_TRANSFER]["visible"]) for c in downloading})
        self.assertEqual(EVENTS[:2], run.events())  # no installer was started


if __name__ == "__main__":
    unittest.main()
