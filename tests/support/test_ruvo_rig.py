#!/usr/bin/python3
"""The rigs' support module on its own: the page readers and measures the
end-to-end tests judge pages by, failed checks being kept, polling, SANE
environments, and that stopping processes leaves none behind."""
import os
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ruvo_rig  # noqa: E402

# Ignores SIGTERM, says so, then waits: a process that stop_process must kill.
STUBBORN = ("import signal, sys, time\n"
            "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
            "print('ready', flush=True)\n"
            "time.sleep(60)\n")


class Pages(unittest.TestCase):
    def test_pnm_headers(self):
        rows = [
            (b"P5\n# a comment\n3 2\n255\n" + bytes(6), (b"P5", 3, 2, bytes(6))),
            (b"P6 2 1 255\n" + b"\x01\x02\x03\x04\x05\x06", (b"P6", 2, 1, b"\x01\x02\x03\x04\x05\x06")),
            (b"P4\n9 2\n" + b"\xff\x80\x00\x00", (b"P4", 9, 2, b"\xff\x80\x00\x00")),
            (b"P5\n3 2\n" + bytes(6), None),     # grey without its maximum value
            (b"P3\n1 1\n255\n0 0 0\n", None),    # text PNM
            (b"\x89PNG\r\n", None),
        ]
        for data, expected in rows:
            with self.subTest(data=data[:12]):
                self.assertEqual(ruvo_rig.parse_pnm(data), expected)

    def test_psnr(self):
        self.assertEqual(ruvo_rig.psnr(b"\x10\x20", b"\x10\x20"), 99.0)
        self.assertEqual(ruvo_rig.psnr(b"\x10\x20", b"\x10"), 0.0)
        self.assertEqual(ruvo_rig.psnr(b"", b""), 0.0)
        # One sample of four off by the whole range: MSE 255² / 4, so 10 log10(4) dB.
        self.assertAlmostEqual(ruvo_rig.psnr(bytes(4), b"\xff\x00\x00\x00"), 6.0206, places=3)

    def test_feeder_lines_end_with_the_sheet(self):
        # A 250 mm sheet at 75 dpi: lines whose centre lies above 9.8425 inches.
        self.assertEqual(ruvo_rig.feeder_lines(0, 1000, 75, 250), 738)
        self.assertEqual(ruvo_rig.feeder_lines(700, 1000, 75, 250), 38)
        self.assertEqual(ruvo_rig.feeder_lines(0, 100, 75, 250), 100)
        self.assertEqual(ruvo_rig.feeder_lines(800, 100, 75, 250), 0)


class Checks(unittest.TestCase):
    def setUp(self):
        del ruvo_rig.failures[:]

    def test_failed_checks_are_kept_and_the_run_goes_on(self):
        with mock.patch("builtins.print"):
            self.assertTrue(ruvo_rig.check(True, "holds"))
            self.assertFalse(ruvo_rig.check(0, "first"))
            self.assertFalse(ruvo_rig.check(None, "second"))
        self.assertEqual(ruvo_rig.failures, ["first", "second"])

    def test_wait_for(self):
        calls = []
        self.assertTrue(ruvo_rig.wait_for(lambda: calls.append(1) or len(calls) >= 3, 10, 0.01))
        self.assertEqual(len(calls), 3)
        started = time.monotonic()
        self.assertFalse(ruvo_rig.wait_for(lambda: False, 0.2, 0.01))
        self.assertLess(time.monotonic() - started, 5)


class SaneSetUp(unittest.TestCase):
    def test_environment(self):
        base = {"PATH": "/usr/bin", "LD_LIBRARY_PATH": "/elsewhere", "ASAN_OPTIONS": "detect_leaks=1"}
        with mock.patch.dict(os.environ, base, clear=True):
            env = ruvo_rig.sane_environment("/conf", "/build/sane-backend")
            self.assertEqual((env["SANE_CONFIG_DIR"], env["LD_LIBRARY_PATH"]), ("/conf", "/build/sane-backend"))
            self.assertNotIn("LD_PRELOAD", env)
            self.assertNotIn("LD_LIBRARY_PATH", ruvo_rig.sane_environment("/conf"))
            os.environ["RUVO_SANE_PRELOAD"] = "/lib/asan.so"
            env = ruvo_rig.sane_environment("/conf")
            self.assertEqual(env["LD_PRELOAD"], "/lib/asan.so")
            self.assertEqual(env["ASAN_OPTIONS"], "detect_leaks=1:detect_leaks=0")
            self.assertEqual(os.environ["LD_LIBRARY_PATH"], "/elsewhere")  # this process's own is left alone

    def test_config_folder(self):
        with tempfile.TemporaryDirectory() as folder:
            ruvo_rig.write_sane_config(f"{folder}/conf", "ruvo", {"ruvo.conf": "127.0.0.2 K402ADN\n"})
            self.assertEqual(sorted(os.listdir(f"{folder}/conf")), ["dll.conf", "ruvo.conf"])
            with open(f"{folder}/conf/dll.conf") as handle:
                self.assertEqual(handle.read(), "ruvo\n")
            with open(f"{folder}/conf/ruvo.conf") as handle:
                self.assertEqual(handle.read(), "127.0.0.2 K402ADN\n")


class Stopping(unittest.TestCase):
    def stubborn(self):
        process = subprocess.Popen([sys.executable, "-c", STUBBORN], stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))
        self.assertEqual(process.stdout.readline().strip(), "ready")
        return process

    def test_a_process_that_ends_on_sigterm(self):
        process = subprocess.Popen(["sleep", "60"])
        self.assertEqual(ruvo_rig.stop_process(process, 10), -15)

    def test_a_process_that_ignores_sigterm_is_killed(self):
        self.assertEqual(ruvo_rig.stop_process(self.stubborn(), 0.3), -9)

    def test_a_process_that_ignores_sigterm_fails_the_caller_without_kill(self):
        process = self.stubborn()
        with self.assertRaises(subprocess.TimeoutExpired):
            ruvo_rig.stop_process(process, 0.3, kill=False)
        self.assertIsNone(process.poll())

    def test_an_owner_is_stopped_after_the_processes(self):
        order = []

        class Owner:
            def stop(self):
                order.append(("owner", process.poll()))
        process = subprocess.Popen(["sleep", "60"])
        ruvo_rig.stop_all([process], None, Owner())
        self.assertEqual(order, [("owner", -15)])

    def test_a_tree_is_killed_to_its_last_process(self):
        # A shell with two children, the way the daemon sits below the emulator.
        shell = subprocess.Popen(["sh", "-c", "sleep 60 & sleep 60 & wait"])
        self.addCleanup(lambda: shell.poll() is None and (shell.kill(), shell.wait()))
        self.assertTrue(ruvo_rig.wait_for(lambda: len(ruvo_rig.descendants(shell.pid)) == 2, 10))
        ruvo_rig.kill_descendants(shell.pid)
        self.assertEqual(ruvo_rig.descendants(shell.pid), set())
        self.assertEqual(shell.wait(timeout=10), 0)  # its wait returned once both were gone

    def test_a_process_waiting_to_be_reaped_is_not_counted(self):
        child = subprocess.Popen(["true"])

        def state():
            with open(f"/proc/{child.pid}/stat") as handle:
                return handle.read().rsplit(")", 1)[1].split()[0]
        self.assertTrue(ruvo_rig.wait_for(lambda: state() == "Z", 10))
        self.assertNotIn(child.pid, ruvo_rig.descendants(os.getpid()))
        child.wait()


if __name__ == "__main__":
    unittest.main(verbosity=2)
