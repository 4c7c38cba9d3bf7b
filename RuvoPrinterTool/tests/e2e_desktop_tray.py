#!/usr/bin/python3
"""End to end on today's desktops: the tray application, the printer-fleet
simulator, a real item host (gtk-sni-tray-standalone beside
status-notifier-watcher) or an XEmbed tray (trayer), and a real notification
server (xfce4-notifyd), all on a private display and session bus. Checked over
the bus: the watcher's registered items, the exported menu (GetLayout, Event)
and, through a bus monitor, every Notify call. Every process started here is
stopped at the end.

usage: e2e_desktop_tray.py <RuvoPrinterTool> <ruvoK40Service> <case> [screenshot folder]
cases: host-first, host-later, host-restart, no-tray, xembed"""
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from desktop_session import DesktopSession, require as check, wait_for  # noqa: E402
from ruvo_rig import stop_all  # noqa: E402

TITLE = "Ruvo打印助手"
MENU = ["显示主界面", "打印机更新助手", "设置", "退出"]
# A warning on Desk, an error on Lab, then a fresh error alert on Lab every few
# seconds, so one can be clicked while it is shown.
SCENARIO = "printer Desk usb K400 serial=E2E0001\nprinter Lab net K402ADN 192.168.1.21\n" \
           "at 0 set Desk status=ready toner=5000 warnings=0x110D\n" \
           "at 0 set Lab status=ready toner=6400 errors=0x11B0\n" + \
           "".join("at %d set Lab toner=%d\n" % (4 + 3 * i, 6300 - i) for i in range(30))


class NotifyMonitor:
    """Records the Notify calls on the bus: summary, body, urgency, replaces id."""

    def __init__(self, env):
        self.calls = []
        self.lock = threading.Lock()
        self.process = subprocess.Popen(
            ["dbus-monitor", "--address", env["DBUS_SESSION_BUS_ADDRESS"],
             "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        block = []
        for line in self.process.stdout:
            if line.startswith("method call") and block:
                self._parse(block)
                block = []
            block.append(line)
        if block:
            self._parse(block)

    def _parse(self, block):
        if "member=Notify" not in block[0]:
            return
        text = "".join(block[1:])
        strings = re.findall(r'^\s*string "(.*)"$', text, re.M)
        replaces = re.search(r'^\s*uint32 (\d+)$', text, re.M)
        urgency = re.search(r'string "urgency"\s*\n\s*variant\s+byte (\d+)', text)
        expire = re.findall(r'^\s*int32 (-?\d+)$', text, re.M)
        with self.lock:
            self.calls.append({"app": strings[0], "summary": strings[2], "body": strings[3],
                               "replaces": int(replaces.group(1)) if replaces else None,
                               "urgency": int(urgency.group(1)) if urgency else None,
                               "expire": int(expire[-1]) if expire else None,
                               "default": '"default"' in text})

    def find(self, summary, body):
        with self.lock:
            return [c for c in self.calls if c["summary"] == summary and c["body"] == body]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Desktop(DesktopSession):
    def menu_labels(self, item):
        result = self.busctl("call", item, "/MenuBar", "com.canonical.dbusmenu", "GetLayout", "iias", "--", "0",
                             "-1", "1", "label")
        # busctl prints texts with octal escapes.
        return [bytes(label, "ascii").decode("unicode_escape").encode("latin-1").decode("utf-8")
                for label in re.findall(r'"label" s "([^"]*)"', result.stdout)], result.stdout

    def menu_event(self, item, entry_id):
        return self.busctl("call", item, "/MenuBar", "com.canonical.dbusmenu", "Event", "isvu", str(entry_id),
                           "clicked", "i", "0", "0")

    def window_shown(self):
        return self.window_ids("--name", "^" + TITLE + "$")


def click_an_alert(desktop, monitor, summary, deadline=60):
    """Clicks a notification popup of `summary` while it is shown. This server
    shows the "default" action as the popup's one button, at its lower right."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        popups = desktop.window_ids("--class", "xfce4-notifyd")
        if popups:
            # An alert shown for 3 s may close between the search and the click:
            # then look for the next one.
            try:
                x, y, width, height = desktop.geometry(popups[-1])
                subprocess.run(["xdotool", "mousemove", str(x + width - 56), str(y + height - 31), "click", "1"],
                               env=desktop.env, check=True)
            except subprocess.CalledProcessError:
                time.sleep(0.1)
                continue
            try:
                return wait_for(desktop.window_shown, 3, "the window after the click")
            except TimeoutError:
                pass
        time.sleep(0.1)
    raise TimeoutError("no alert of %s could be clicked" % summary)


def main():
    tool, simulator, case = sys.argv[1], sys.argv[2], sys.argv[3]
    shots = sys.argv[4] if len(sys.argv) > 4 else None
    run = tempfile.mkdtemp(prefix="ruvo-e2e-desktop-")
    desktop = Desktop(os.path.join(run, "desktop"), 1024, 600)
    started = []
    monitor = None
    try:
        desktop.start(tray=False, accessibility=False)
        desktop.env["ASAN_OPTIONS"] = desktop.env.get("ASAN_OPTIONS", "") + ":detect_leaks=0:strict_string_checks=0"
        monitor = NotifyMonitor(desktop.env)
        desktop.start_notification_server()
        if case in ("host-first", "host-restart"):
            desktop.start_item_host()
        if case == "xembed":
            desktop.start_trayer()

        app = subprocess.Popen([tool, "-hide"], env=desktop.env)
        started.append(app)
        item = "org.kde.StatusNotifierItem-%d-1" % app.pid
        wait_for(lambda: desktop.has_owner(item), 30, "the item's name on the bus")
        if case == "host-later":
            time.sleep(5)  # the panel starts after the program, as at login
            desktop.start_item_host()
        if case in ("host-first", "host-later", "host-restart"):
            wait_for(lambda: item in desktop.registered_items(), 10, "the item registered with the watcher")
        if case == "host-restart":
            desktop.stop_item_host()
            desktop.start_item_host()
            wait_for(lambda: item in desktop.registered_items(), 10, "the item registered again")
        if case == "xembed":
            check(item not in desktop.registered_items(), "an item registered without a watcher")
            tray = desktop.window_ids("--class", "trayer")[0]
            wait_for(lambda: desktop.geometry(tray)[2] >= 16, 20, "the XEmbed icon in trayer")
        if case == "no-tray":
            wait_for(desktop.window_shown, 20, "the window shown with -hide and no tray")
        else:
            time.sleep(1)
            check(not desktop.window_shown(), "the window shown although a tray exists")

        labels, raw = desktop.menu_labels(item)
        check(labels == MENU, "menu entries %r (%s)" % (labels, raw))

        scenario = os.path.join(run, "fleet.txt")
        with open(scenario, "w") as f:
            f.write(SCENARIO)
        started.append(subprocess.Popen([simulator, "--scenario", scenario], env=desktop.env,
                                        stdout=subprocess.DEVNULL))
        error = wait_for(lambda: monitor.find("Lab", "设备内卡纸"), 60, "the error alert")[0]
        warning = wait_for(lambda: monitor.find("Desk", "碳粉不足"), 60, "the warning alert")[0]
        check(error["urgency"] == 2 and warning["urgency"] == 1, "urgencies %r %r" % (error, warning))
        check(error["app"] == TITLE and error["expire"] == 3000 and error["default"], "alert %r" % error)
        if shots and case in ("host-first",):
            wait_for(lambda: desktop.window_ids("--class", "xfce4-notifyd"), 20, "an alert popup")
            desktop.screenshot(os.path.join(shots, "tray-item-and-alert.png"))
        if case != "no-tray":
            click_an_alert(desktop, monitor, "Lab")
        # The next alerts of Lab replace the first one instead of stacking.
        wait_for(lambda: len(monitor.find("Lab", "设备内卡纸")) >= 3, 60, "more alerts of Lab")
        later = monitor.find("Lab", "设备内卡纸")[1:]
        check(all(call["replaces"] not in (None, 0) for call in later), "Lab's alerts stack: %r" % later)

        result = desktop.menu_event(item, MENU.index("退出") + 1)
        check(result.returncode == 0, "Event: " + result.stderr)
        code = app.wait(timeout=3)
        check(code == 0, "the exit code after 退出: %r" % code)
        print("e2e %s: item, menu, alerts with urgency, click and 退出 all as expected" % case)
        return 0
    finally:
        stop_all(started, monitor, desktop)


if __name__ == "__main__":
    sys.exit(main())
