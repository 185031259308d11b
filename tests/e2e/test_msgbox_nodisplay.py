"""A message dialog in a process without a display fails at once with -1
instead of waiting for a window nobody can see.

The process is started from the Linux side with DISPLAY removed: a child
started by a Wine process keeps its parent's display whatever its
environment block says, so only a fresh `wine` shows the case.
"""
import json
import os
import subprocess
import time
import unittest

BUILD_DIR = os.environ.get("KAVRI_BUILD_DIR", "")
PROBE = os.path.join(BUILD_DIR, "bin", "msgprobe.exe")


def run_probe(args, env, timeout=60):
    start = time.monotonic()
    proc = subprocess.run(["wine", PROBE] + args, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout)
    return proc, time.monotonic() - start


class NoDisplayTest(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(PROBE):
            self.skipTest("msgprobe.exe not built")

    def test_every_helper_returns_minus_one_without_a_display(self):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        for args in (["error", "590"], ["link"], ["yesno", "599", "204"], ["retry", "596"],
                     ["confirm", "601", "600"]):
            with self.subTest(args=args):
                proc, elapsed = run_probe(args, env)
                lines = [l for l in proc.stdout.decode("ascii", "replace").splitlines() if l.startswith("{")]
                self.assertTrue(lines, proc.stdout)
                result = json.loads(lines[-1])
                self.assertEqual(-1, result["result"])
                # Fails at once: well under the time a person would need.
                self.assertLess(result["ms"], 5000)
                self.assertLess(elapsed, 30)


if __name__ == "__main__":
    unittest.main()
