#!/usr/bin/python3
"""simple-scan, a GTK front end, scans one page from the emulated USB scanner
and one from the simulated network scanner through the backend and the daemon,
on a virtual display (Xvfb). Checks, from simple-scan's own log of its SANE
calls, that it read the whole frame the backend announced, and takes a
screenshot of each page on screen. Then the USB scanner is pulled out mid-page
and plugged back: the same simple-scan shows the failure and scans again.

  sane_simple_scan.py [--shot-dir DIR]    (inside scripts/isolated-run, or the demo's namespace)
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sane_end_to_end as e2e  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from desktop_session import Accessible, DesktopSession  # noqa: E402
from ruvo_rig import stop_process, write_sane_config  # noqa: E402


def start_simple_scan(device, env, log_path):
    """simple-scan logging its SANE calls to log_path; the process and a reader of that log."""
    with open(log_path, "w") as log:
        front_end = subprocess.Popen(["simple-scan", "--debug", "-d", device], env=env, stdout=log,
                                     stderr=subprocess.STDOUT)

    def log_text():
        with open(log_path, errors="replace") as handle:
            return handle.read()
    return front_end, log_text


def scan_one_page(device, desktop, shot):
    env = e2e.environment()
    env.update(desktop.env)
    # A home of its own: simple-scan keeps the last document (autosave) and
    # its state there, and would start the next run from them.
    home = f"{e2e.WORK}/home-{device.replace(':', '_')}"
    os.makedirs(home, exist_ok=True)
    env.update({"NO_AT_BRIDGE": "1", "HOME": home,
                "XDG_CONFIG_HOME": f"{home}/.config", "XDG_CACHE_HOME": f"{home}/.cache"})
    front_end, log_text = start_simple_scan(device, env, f"{e2e.WORK}/simple-scan-{device.replace(':', '_')}.log")
    try:
        window = ""
        for _ in range(600):
            found = subprocess.run(["xdotool", "search", "--name", "Document Scanner"], env=env,
                                   capture_output=True, text=True).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.1)
        if not e2e.check(window, f"simple-scan {device}: no window"):
            return
        # Ready once it has looked for devices; ctrl+1 scans a single page.
        e2e.wait_for(lambda: "sane_get_devices" in log_text(), 60)
        time.sleep(0.5)
        # Keys typed through XTEST reach the window under the pointer (no
        # window manager here); GTK ignores keys sent to a window directly.
        subprocess.run(["xdotool", "mousemove", "--window", window, "100", "100", "key", "ctrl+1"], env=env,
                       check=True)
        ended = e2e.wait_for(lambda: "SANE_STATUS_EOF" in log_text(), 120)
        text = log_text()
        if not e2e.check(ended, f"simple-scan {device}: the page never ended: {text[-1500:]}"):
            return
        shape = re.search(r"bytes_per_line=(\d+) pixels_per_line=\d+ lines=(\d+)", text)
        read = sum(int(n) for n in re.findall(r"sane_read \(\d+\) -> \(SANE_STATUS_GOOD, (\d+)\)", text))
        e2e.check(shape and read == int(shape.group(1)) * int(shape.group(2)),
                  f"simple-scan {device}: read {read} bytes of {shape.groups() if shape else None}")
        print(f"simple-scan {device}: {read} bytes, {shape.groups() if shape else None}", flush=True)
        time.sleep(2)  # the page is drawn
        if shot:
            subprocess.run(["import", "-window", "root", shot], env=env, check=True)
    finally:
        stop_process(front_end, 20)
    e2e.check(e2e.wait_for(lambda: e2e.page_files() == [], 20), f"simple-scan {device}: page files left behind")


def front_end_environment(device, desktop):
    env = e2e.environment()
    env.update(desktop.env)
    home = f"{e2e.WORK}/home-{device.replace(':', '_')}-replug"
    os.makedirs(home, exist_ok=True)
    # English texts whatever the machine's locale, so the failure box is found by its words.
    env.update({"HOME": home, "XDG_CONFIG_HOME": f"{home}/.config", "XDG_CACHE_HOME": f"{home}/.cache",
                "LANG": "C.UTF-8", "LANGUAGE": "", "LC_ALL": "C.UTF-8"})
    env.pop("NO_AT_BRIDGE", None)
    return env


# The chart's colour bars, which a white or grey page never holds.
CHART_COLOURS = {"yellow": (255, 255, 0), "cyan": (0, 255, 255), "magenta": (255, 0, 255), "blue": (0, 0, 255)}


def chart_colours_on_screen(desktop, area, shot):
    """How many pixels of each chart colour the screen shows inside area (x, y, width, height)."""
    desktop.screenshot(shot)
    x, y, width, height = area
    pixels = subprocess.run(["convert", shot, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-depth", "8",
                             "rgb:-"], capture_output=True, check=True).stdout
    counts = dict.fromkeys(CHART_COLOURS, 0)
    for offset in range(0, len(pixels) - 2, 3):
        pixel = pixels[offset:offset + 3]
        for name, colour in CHART_COLOURS.items():
            if all(abs(pixel[i] - colour[i]) <= 40 for i in range(3)):
                counts[name] += 1
    return counts


def frame_shape(text):
    shape = re.search(r"bytes_per_line=(\d+) pixels_per_line=\d+ lines=(\d+)", text)
    return (int(shape.group(1)), int(shape.group(2))) if shape else None


def bytes_read(text):
    return sum(int(n) for n in re.findall(r"sane_read \(\d+\) -> \(SANE_STATUS_GOOD, (\d+)\)", text))


def scan_across_replug(desktop, report):
    """The USB scanner is pulled out mid-page and plugged back: the same simple-scan
    shows the failure and scans a whole page again. Driven over the accessibility bus."""
    front_end, log_text = start_simple_scan(e2e.USB, front_end_environment(e2e.USB, desktop),
                                            f"{e2e.WORK}/simple-scan-replug.log")

    def reported(line):
        with open(report) as handle:
            return line in handle.read().split("\n")

    accessible = Accessible()

    def application():
        found = accessible.applications("simple-scan")
        return found[0] if found else None

    def button(name):
        app = application()
        return accessible.find(app, "push button", name) if app else None

    def failure_box():
        app = application()
        return accessible.find(app, "alert") if app else None

    def dump():
        app = application()
        lines = []
        for node in accessible.walk(app, limit=25) if app else []:
            try:
                lines.append(f"{node.get_role_name()} {node.get_name()!r}")
            except Exception:  # a widget that went away while listed
                pass
        return "\n".join(lines)

    try:
        # The Scan button is there once simple-scan has found its scanner.
        ready = e2e.wait_for(lambda: button("Scan") is not None and "sane_get_devices" in log_text(), 60)
        if not e2e.check(ready, f"simple-scan replug: no Scan button: {log_text()[-1500:]}"):
            return
        accessible.press(button("Scan"))
        unplugged = e2e.wait_for(lambda: reported("unplugged /dev/bus/usb/001/002"), 60)
        if not e2e.check(unplugged, f"simple-scan replug: the scanner was never pulled out: {log_text()[-1500:]}"):
            return
        unplugged_at = time.monotonic()
        failed = e2e.wait_for(lambda: "SANE_STATUS_IO_ERROR" in log_text(), 10)
        print(f"simple-scan replug: unplug to IO_ERROR {time.monotonic() - unplugged_at:.2f} s", flush=True)
        if not e2e.check(failed, f"simple-scan replug: no I/O error within 10 s: {log_text()[-1500:]}"):
            return
        before = frame_shape(log_text())
        box = e2e.wait_for(lambda: failure_box() is not None, 10)
        print(f"simple-scan replug: unplug to the failure box {time.monotonic() - unplugged_at:.2f} s", flush=True)
        if not e2e.check(box, f"simple-scan replug: no failure box:\n{dump()}"):
            return
        texts = [node.get_name() for node in accessible.find_all(failure_box(), "label")]
        e2e.check("Failed to scan" in texts, f"simple-scan replug: the failure box says {texts}")
        e2e.check(front_end.poll() is None, "simple-scan replug: simple-scan ended on the failure")
        e2e.check(e2e.wait_for(lambda: reported("replugged /dev/bus/usb/001/002"), 30),
                  "simple-scan replug: never plugged back")
        close = accessible.find(failure_box(), "push button", "Close")
        if not e2e.check(close is not None, f"simple-scan replug: the failure box has no Close button:\n{dump()}"):
            return
        accessible.press(close)
        if not e2e.check(e2e.wait_for(lambda: failure_box() is None, 10),
                         "simple-scan replug: the failure box stays after Close"):
            return
        page_area = accessible.find(application(), "drawing area")
        if not e2e.check(page_area is not None, f"simple-scan replug: no page area:\n{dump()}"):
            return
        extents = page_area.get_extents(accessible.Atspi.CoordType.SCREEN)
        area = (extents.x, extents.y, extents.width, extents.height)
        blank = chart_colours_on_screen(desktop, area, f"{e2e.WORK}/replug-before.png")
        e2e.check(not any(blank.values()), f"simple-scan replug: the chart is on screen before the rescan: {blank}")

        failed_part = len(log_text())
        accessible.press(button("Scan"))
        ended = e2e.wait_for(lambda: "SANE_STATUS_EOF" in log_text()[failed_part:], 120)
        if not e2e.check(ended, f"simple-scan replug: no page after the replug: {log_text()[-1500:]}"):
            return
        text = log_text()[failed_part:]
        after = frame_shape(text)
        e2e.check("sane_open" in text, "simple-scan replug: the scanner was not opened again")
        e2e.check(after is not None and after == before,
                  f"simple-scan replug: the frame after the replug is {after}, before it {before}")
        e2e.check(after is not None and bytes_read(text) == after[0] * after[1],
                  f"simple-scan replug: read {bytes_read(text)} bytes of {after} after the replug")
        # The page is drawn once read: every colour bar of the chart shows in the page area.
        drawn = {}

        def chart_drawn():
            drawn.update(chart_colours_on_screen(desktop, area, f"{e2e.WORK}/replug-after.png"))
            return all(count >= 20 for count in drawn.values())

        e2e.check(e2e.wait_for(chart_drawn, 20), f"simple-scan replug: the new page is not the chart: {drawn}")
        print(f"simple-scan replug: {bytes_read(text)} bytes, {after}, chart colours {drawn}", flush=True)
    finally:
        stop_process(front_end, 20)


def main():
    shot_dir = sys.argv[sys.argv.index("--shot-dir") + 1] if "--shot-dir" in sys.argv else None
    write_sane_config(f"{e2e.WORK}/conf", "ruvo", {"ruvo.conf": "127.0.0.2 K402ADN\n"})
    rig = e2e.Rig(["--pages", "3"], [("127.0.0.2", ["--pages", "3"])])
    try:
        for device, name in ((e2e.USB, "usb"), (e2e.NET, "network")):
            # A display and a session bus of its own for each run of the front end.
            desktop = DesktopSession(f"{e2e.WORK}/desktop-{name}", 1024, 768)
            started = time.monotonic()
            shot = f"{shot_dir}/simple-scan-{name}.png" if shot_dir else None
            try:
                desktop.start(tray=False, accessibility=False)
                scan_one_page(device, desktop, shot)
            finally:
                desktop.stop()
            print(f"{device}: {time.monotonic() - started:.1f} s" + (f", screenshot {shot}" if shot else ""),
                  flush=True)
    finally:
        rig.stop()
    report = f"{e2e.WORK}/emulator-replug.out"
    with open(report, "w") as output:
        rig = e2e.Rig(["--pages", "3", "--unplug-after-bytes", "300000", "--replug-after-ms", "3000"], [], output)
    started = time.monotonic()
    desktop = DesktopSession(f"{e2e.WORK}/desktop-replug", 1024, 768)
    try:
        desktop.start(tray=False, accessibility=True)
        scan_across_replug(desktop, report)
    finally:
        desktop.stop()
        rig.stop()
    print(f"{e2e.USB} across a replug: {time.monotonic() - started:.1f} s", flush=True)
    print(f"{len(e2e.failures)} failed" if e2e.failures else "simple-scan scanned both scanners")
    return 1 if e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
