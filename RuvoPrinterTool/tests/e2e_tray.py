#!/usr/bin/python3
"""End to end: the tray application and the printer-fleet simulator on a private
desktop with a real tray host and a private cupsd. The window is read from
outside over the accessibility bus; the tray menu is driven with the pointer
and keyboard. Every process started here is stopped at the end.

usage: e2e_tray.py <RuvoPrinterTool> <ruvoK40Service>"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from desktop_session import Accessible, DesktopSession, require as check, wait_for  # noqa: E402
from ruvo_rig import stop_all, stop_process  # noqa: E402

QUEUE = "RuvoE2E"
SCENARIO = """
printer RuvoE2E usb K400    serial=E2E0001
printer Lab     net K402ADN 192.168.1.21
at 0  set RuvoE2E status=printing toner=8000
at 0  set Lab     status=ready toner=6400
at 8  set Lab     toner=6300 errors=0x11B0
at 10 set RuvoE2E status=canceling
at 18 set RuvoE2E status=ready
"""


class PrivateCups:
    """A cupsd of our own: configuration, spool and socket under one folder."""

    def __init__(self, folder):
        self.folder = folder
        self.process = None

    def start(self):
        d = self.folder
        for sub in ("etc/ppd", "etc/ssl", "spool/tmp", "cache", "state/certs", "log"):
            os.makedirs(os.path.join(d, sub), exist_ok=True)
        os.chmod(d, 0o755)
        os.chmod(os.path.join(d, "etc"), 0o755)
        for sub, mode in (("spool", 0o710), ("spool/tmp", 0o1770), ("cache", 0o770), ("state", 0o755),
                          ("state/certs", 0o511), ("etc/ppd", 0o755)):
            shutil.chown(os.path.join(d, sub), "root", "lp")
            os.chmod(os.path.join(d, sub), mode)
        self.socket = os.path.join(d, "cups.sock")
        with open(os.path.join(d, "cups-files.conf"), "w") as f:
            f.write("ServerRoot {0}/etc\nRequestRoot {0}/spool\nTempDir {0}/spool/tmp\nCacheDir {0}/cache\n"
                    "StateDir {0}/state\nErrorLog {0}/log/error_log\nAccessLog {0}/log/access_log\n"
                    "PageLog {0}/log/page_log\nUser lp\nGroup lp\nSystemGroup root\nFileDevice No\n".format(d))
        with open(os.path.join(d, "cupsd.conf"), "w") as f:
            f.write("LogLevel warn\nListen %s\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n" % self.socket)
        self.process = subprocess.Popen(
            ["/usr/sbin/cupsd", "-f", "-c", os.path.join(d, "cupsd.conf"), "-s", os.path.join(d, "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.environ["CUPS_SERVER"] = self.socket
        wait_for(lambda: self.process.poll() is None and os.path.exists(self.socket)
                 and self.run(["lpstat", "-r"]).returncode == 0, 30, "the private cupsd")

    def run(self, args):
        # The CUPS tools translate their lines otherwise.
        env = dict(os.environ, LC_ALL="C", LC_MESSAGES="C", LANG="C")
        return subprocess.run(args, capture_output=True, text=True, env=env)

    def jobs(self, queue):
        return [line for line in self.run(["lpstat", "-o", queue]).stdout.splitlines() if line.strip()]

    def stop(self):
        if self.process:
            stop_process(self.process, 15)


def main():
    tool, simulator = sys.argv[1], sys.argv[2]
    run = tempfile.mkdtemp(prefix="ruvo-e2e-")
    cups = PrivateCups(os.path.join(run, "cups"))
    session = None
    started = []
    try:
        cups.start()
        # A queue whose device is never reached: the job waits on hold.
        result = cups.run(["lpadmin", "-p", QUEUE, "-E", "-v", "socket://127.0.0.1:9", "-m", "raw"])
        check(result.returncode == 0, "lpadmin: " + result.stderr)
        with open(os.path.join(run, "page.txt"), "w") as page:
            page.write("held job\n")
        result = cups.run(["lp", "-d", QUEUE, "-H", "hold", os.path.join(run, "page.txt")])
        check(result.returncode == 0, "lp: " + result.stderr)
        check(len(cups.jobs(QUEUE)) == 1, "the held job is not in the queue")

        # Created after the cupsd, so every program started here talks to it.
        session = DesktopSession(os.path.join(run, "desktop"), 800, 480)
        session.start()
        # Under AddressSanitizer: the desktop plugins (xcb, accessibility bridge)
        # are unloaded before the leak check runs, so their blocks cannot even be
        # named, and the keyboard library hands strndup() a counted string without
        # a terminator, which strict string checks reject. Our own objects are
        # leak- and bounds-checked by the offscreen window tests.
        session.env["ASAN_OPTIONS"] = session.env.get("ASAN_OPTIONS", "") + ":detect_leaks=0:strict_string_checks=0"
        a11y = Accessible()
        app = subprocess.Popen([tool], env=session.env)
        started.append(app)
        main_app = wait_for(lambda: a11y.applications("RuvoPrinterTool"), 60, "the tray application on the bus")[0]
        frame = wait_for(lambda: a11y.find(main_app, name="Ruvo打印助手"), 60, "the main window")
        table = wait_for(lambda: a11y.find(frame, role="table"), 30, "the printer table")
        check(a11y.table_cells(table) == [], "the table has rows before any printer is listed")

        scenario = os.path.join(run, "fleet.txt")
        with open(scenario, "w") as f:
            f.write(SCENARIO)
        sim = subprocess.Popen([simulator, "--scenario", scenario], env=session.env, stdout=subprocess.DEVNULL)
        started.append(sim)

        def row(name):
            return lambda: next((r for r in a11y.table_cells(table) if r and r[0] == name), None)

        wait_for(lambda: row("Lab")() == ["Lab", "网络(192.168.1.21)", "64.00%", "就绪"], 60, "Lab ready at 64.00%")
        check(row(QUEUE)()[1] == "USB", "the USB printer's connection cell")
        wait_for(lambda: row("Lab")() == ["Lab", "网络(192.168.1.21)", "63.00%", "设备内卡纸"], 60,
                 "Lab's paper jam shown")
        wait_for(lambda: not cups.jobs(QUEUE), 60, "the held job cancelled by the printer's cancel")
        wait_for(lambda: row(QUEUE)() and row(QUEUE)()[3] == "就绪", 60, "the printer back to ready")

        # A second copy refuses to start and ends with 0 once its box is closed.
        second = subprocess.Popen([tool], env=session.env)
        started.append(second)

        def refusal_button():
            for candidate in a11y.applications("RuvoPrinterTool"):
                if a11y.find(candidate, name="Ruvo打印助手已经处于运行中！") is not None:
                    return a11y.find(candidate, role="push button", name="确  定")
            return None

        button = wait_for(refusal_button, 60, "the refusal box")
        a11y.press(button)
        check(second.wait(timeout=60) == 0, "the second copy's exit code")
        check(app.poll() is None, "the first copy ended with the second")

        # "退出" from the tray menu: right click on the icon, the last entry.
        tray = wait_for(lambda: session.window_ids("--class", "trayer"), 20, "the tray host window")[0]
        x, y, width, height = session.geometry(tray)
        check(width >= 16, "no icon in the tray")
        subprocess.run(["xdotool", "mousemove", str(x + height // 2), str(y + height // 2), "click", "3"],
                       env=session.env, check=True)
        code = None
        for _ in range(20):
            time.sleep(0.5)
            subprocess.run(["xdotool", "key", "Up", "Return"], env=session.env, check=True)
            try:
                code = app.wait(timeout=3)
                break
            except subprocess.TimeoutExpired:
                # The menu was not open yet: open it again.
                subprocess.run(["xdotool", "key", "Escape"], env=session.env)
                subprocess.run(["xdotool", "mousemove", str(x + height // 2), str(y + height // 2), "click", "3"],
                               env=session.env, check=True)
        check(code == 0, "the exit code after 退出: %r" % code)
        print("e2e: table followed the fleet, job cancelled, second copy refused, 退出 ended with 0")
        return 0
    finally:
        stop_all(started, session, cups)


if __name__ == "__main__":
    sys.exit(main())
