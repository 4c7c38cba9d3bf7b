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
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sane_end_to_end as e2e  # noqa: E402


def start_display():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        display = pipe.readline().strip()
    bus = subprocess.run(["dbus-launch", "--sh-syntax"], capture_output=True, text=True, check=True).stdout
    address = re.search(r"DBUS_SESSION_BUS_ADDRESS='([^']*)'", bus).group(1)
    bus_pid = int(re.search(r"DBUS_SESSION_BUS_PID=(\d+)", bus).group(1))
    return xvfb, f":{display}", address, bus_pid


def scan_one_page(device, display, bus, shot):
    env = e2e.environment()
    # A home of its own: simple-scan keeps the last document (autosave) and
    # its state there, and would start the next run from them.
    home = f"{e2e.WORK}/home-{device.replace(':', '_')}"
    os.makedirs(home, exist_ok=True)
    env.update({"DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": bus, "NO_AT_BRIDGE": "1", "HOME": home,
                "XDG_CONFIG_HOME": f"{home}/.config", "XDG_CACHE_HOME": f"{home}/.cache"})
    log_path = f"{e2e.WORK}/simple-scan-{device.replace(':', '_')}.log"
    with open(log_path, "w") as log:
        front_end = subprocess.Popen(["simple-scan", "--debug", "-d", device], env=env, stdout=log,
                                     stderr=subprocess.STDOUT)
    try:
        def log_text():
            with open(log_path, errors="replace") as handle:
                return handle.read()

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
        front_end.send_signal(signal.SIGTERM)
        try:
            front_end.wait(timeout=20)
        except subprocess.TimeoutExpired:
            front_end.kill()
            front_end.wait()
    e2e.check(e2e.wait_for(lambda: e2e.page_files() == [], 20), f"simple-scan {device}: page files left behind")


def front_end_environment(device, display, bus):
    env = e2e.environment()
    home = f"{e2e.WORK}/home-{device.replace(':', '_')}-replug"
    os.makedirs(home, exist_ok=True)
    env.update({"DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": bus, "NO_AT_BRIDGE": "1", "HOME": home,
                "XDG_CONFIG_HOME": f"{home}/.config", "XDG_CACHE_HOME": f"{home}/.cache"})
    return env


def scan_across_replug(display, bus, report):
    """The USB scanner is pulled out mid-page and plugged back: the same simple-scan scans again."""
    env = front_end_environment(e2e.USB, display, bus)
    log_path = f"{e2e.WORK}/simple-scan-replug.log"
    with open(log_path, "w") as log:
        front_end = subprocess.Popen(["simple-scan", "--debug", "-d", e2e.USB], env=env, stdout=log,
                                     stderr=subprocess.STDOUT)

    def log_text():
        with open(log_path, errors="replace") as handle:
            return handle.read()

    def reported(line):
        with open(report) as handle:
            return line in handle.read().split("\n")

    def press(window, key):
        subprocess.run(["xdotool", "mousemove", "--window", window, "100", "100", "key", key], env=env, check=True)

    try:
        main_window = ""
        for _ in range(600):
            found = subprocess.run(["xdotool", "search", "--name", "Document Scanner"], env=env,
                                   capture_output=True, text=True).stdout.split()
            if found:
                main_window = found[0]
                break
            time.sleep(0.1)
        if not e2e.check(main_window, "simple-scan replug: no window"):
            return
        e2e.wait_for(lambda: "sane_get_devices" in log_text(), 60)
        time.sleep(0.5)
        press(main_window, "ctrl+1")
        unplugged = e2e.wait_for(lambda: reported("unplugged /dev/bus/usb/001/002"), 60)
        e2e.check(unplugged, "simple-scan replug: the scanner was never pulled out")
        unplugged_at = time.monotonic()
        failed = e2e.wait_for(lambda: "SANE_STATUS_IO_ERROR" in log_text(), 10)
        print(f"simple-scan replug: unplug to IO_ERROR {time.monotonic() - unplugged_at:.2f} s", flush=True)
        if not e2e.check(failed, f"simple-scan replug: no I/O error within 10 s: {log_text()[-1500:]}"):
            return
        e2e.check(front_end.poll() is None, "simple-scan replug: simple-scan ended on the failure")
        e2e.check(e2e.wait_for(lambda: reported("replugged /dev/bus/usb/001/002"), 30),
                  "simple-scan replug: never plugged back")
        # The failure is shown over the page with a Close button under its text; it goes away first.
        subprocess.run(["xdotool", "mousemove", "--window", main_window, "304", "278", "click", "1"], env=env,
                       check=True)
        time.sleep(1)
        failed_part = len(log_text())
        press(main_window, "ctrl+1")
        ended = e2e.wait_for(lambda: "SANE_STATUS_EOF" in log_text()[failed_part:], 120)
        if not e2e.check(ended, f"simple-scan replug: no page after the replug: {log_text()[-1500:]}"):
            return
        text = log_text()[failed_part:]
        shape = re.search(r"bytes_per_line=(\d+) pixels_per_line=\d+ lines=(\d+)", text)
        read = sum(int(n) for n in re.findall(r"sane_read \(\d+\) -> \(SANE_STATUS_GOOD, (\d+)\)", text))
        e2e.check(shape and read == int(shape.group(1)) * int(shape.group(2)),
                  f"simple-scan replug: read {read} bytes of {shape.groups() if shape else None} after the replug")
        e2e.check("sane_open" in text, "simple-scan replug: the scanner was not opened again")
    finally:
        front_end.send_signal(signal.SIGTERM)
        try:
            front_end.wait(timeout=20)
        except subprocess.TimeoutExpired:
            front_end.kill()
            front_end.wait()


def main():
    shot_dir = sys.argv[sys.argv.index("--shot-dir") + 1] if "--shot-dir" in sys.argv else None
    os.makedirs(f"{e2e.WORK}/conf", exist_ok=True)
    with open(f"{e2e.WORK}/conf/dll.conf", "w") as out:
        out.write("ruvo\n")
    with open(f"{e2e.WORK}/conf/ruvo.conf", "w") as out:
        out.write("127.0.0.2 K402ADN\n")
    rig = e2e.Rig(["--pages", "3"], [("127.0.0.2", ["--pages", "3"])])
    try:
        for device, name in ((e2e.USB, "usb"), (e2e.NET, "network")):
            # A display and a session bus of its own for each run of the front end.
            xvfb, display, bus, bus_pid = start_display()
            started = time.monotonic()
            shot = f"{shot_dir}/simple-scan-{name}.png" if shot_dir else None
            try:
                scan_one_page(device, display, bus, shot)
            finally:
                os.kill(bus_pid, signal.SIGTERM)
                xvfb.send_signal(signal.SIGTERM)
                xvfb.wait(timeout=20)
            print(f"{device}: {time.monotonic() - started:.1f} s" + (f", screenshot {shot}" if shot else ""),
                  flush=True)
    finally:
        rig.stop()
    report = f"{e2e.WORK}/emulator-replug.out"
    with open(report, "w") as output:
        rig = e2e.Rig(["--pages", "3", "--unplug-after-bytes", "300000", "--replug-after-ms", "3000"], [], output)
    xvfb, display, bus, bus_pid = start_display()
    started = time.monotonic()
    try:
        scan_across_replug(display, bus, report)
    finally:
        os.kill(bus_pid, signal.SIGTERM)
        xvfb.send_signal(signal.SIGTERM)
        xvfb.wait(timeout=20)
        rig.stop()
    print(f"{e2e.USB} across a replug: {time.monotonic() - started:.1f} s", flush=True)
    print(f"{len(e2e.failures)} failed" if e2e.failures else "simple-scan scanned both scanners")
    return 1 if e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
