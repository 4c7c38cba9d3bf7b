#!/usr/bin/python3
"""simple-scan, a GTK front end, scans one page from the emulated USB scanner
and one from the simulated network scanner through the backend and the daemon,
on a virtual display (Xvfb). Checks, from simple-scan's own log of its SANE
calls, that it read the whole frame the backend announced, and takes a
screenshot of each page on screen.

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
    print(f"{len(e2e.failures)} failed" if e2e.failures else "simple-scan scanned both scanners")
    return 1 if e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
