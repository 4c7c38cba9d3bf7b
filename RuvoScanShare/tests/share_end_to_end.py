#!/usr/bin/python3
"""sane-airscan (Debian's eSCL client, through scanimage) scans the emulated
USB scanner and the simulated network scanner through RuvoScanShare and the
scan daemon; the pages are compared with the test chart. Also: a feeder
batch, a cancel mid-scan, a second job while one runs, hostile requests.

Run by CTest inside scripts/isolated-run (private /opt, /tmp and network).
"""
import http.client
import math
import os
import re
import signal
import socket
import subprocess
import sys
import time

BUILD = os.environ["RUVO_BUILD_DIR"]
EMULATOR = f"{BUILD}/tools/usb-scanner-emulator/usb-scanner-emulator"
DAEMON = f"{BUILD}/RuvoScanDaemon/RuvoScanDaemon"
SIMULATOR = f"{BUILD}/tools/net-scanner-sim/net-scanner-sim"
CHART = f"{BUILD}/tools/scan-chart/scan-chart"
SHARE = f"{BUILD}/RuvoScanShare/RuvoScanShare"
SCAN_DIR = "/opt/ruvo/k40_series_printer/scan"
WORK = "/tmp/share-e2e"
SERIAL = "RV402A0001"
NET_ADDRESS = "127.0.0.2"
SHEET_MM = 250
PORTS = {"image/png": 8090, "image/jpeg": 8091}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)
    return condition


def wait_for(condition, limit=30.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def port_open(address, port):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


def page_files():
    return sorted(name for name in os.listdir(SCAN_DIR) if name.startswith("ruvoscandata_"))


def parse_pnm(data):
    match = re.match(rb"(P[56])\s+(?:#[^\n]*\n\s*)*(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not match:
        return None
    return match.group(1), int(match.group(2)), int(match.group(3)), data[match.end():]


def chart(dpi, area, depth, page=0):
    arguments = [CHART, "render", "--resolution", str(dpi), "--area", ",".join(map(str, area)),
                 "--depth", str(depth), "--page", str(page)]
    return parse_pnm(subprocess.run(arguments, capture_output=True, check=True).stdout)


def psnr(first, second):
    if len(first) != len(second) or not first:
        return 0.0
    total = sum((a - b) * (a - b) for a, b in zip(first, second))
    if total == 0:
        return 99.0
    return 10 * math.log10(255 * 255 / (total / len(first)))


def environment():
    env = dict(os.environ)
    env["SANE_CONFIG_DIR"] = f"{WORK}/conf"
    env.pop("LD_LIBRARY_PATH", None)
    preload = os.environ.get("RUVO_SANE_PRELOAD")
    if preload:
        env["LD_PRELOAD"] = preload
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def scanimage(arguments, timeout=180):
    return subprocess.run(["scanimage"] + arguments, env=environment(), capture_output=True, timeout=timeout)


def write_configuration():
    os.makedirs(f"{WORK}/conf", exist_ok=True)
    with open(f"{WORK}/conf/dll.conf", "w") as out:
        out.write("airscan\n")
    lines = ["[devices]"]
    for format_name, port in PORTS.items():
        tag = format_name.split("/")[1]
        lines.append(f'"usb-{tag}" = http://127.0.0.1:{port}/eSCL')
        lines.append(f'"net-{tag}" = http://127.0.0.1:{port}/net-{NET_ADDRESS}/eSCL')
    lines += ["[options]", "discovery = disable", "ws-discovery = off", ""]
    with open(f"{WORK}/conf/airscan.conf", "w") as out:
        out.write("\n".join(lines))
    with open(f"{WORK}/ruvo.conf", "w") as out:
        out.write(f"{NET_ADDRESS} K402ADN\n")
    for format_name, port in PORTS.items():
        with open(f"{WORK}/share-{port}.conf", "w") as out:
            out.write(f"port = {port}\nformats = {format_name}\njob-timeout = 15\n"
                      f"scanners-config = {WORK}/ruvo.conf\n")


class Rig:
    def __init__(self):
        os.makedirs(f"{WORK}/usb-record", exist_ok=True)
        os.makedirs(f"{WORK}/sim", exist_ok=True)
        self.emulator = subprocess.Popen(
            [EMULATOR, "--chart", "--device", f"7a3e:0405:{SERIAL}", "--sheet-length-mm", str(SHEET_MM),
             "--record-dir", f"{WORK}/usb-record", "--", DAEMON], stdout=subprocess.DEVNULL)
        self.simulator = subprocess.Popen(
            [SIMULATOR, "--chart", "--address", NET_ADDRESS, "--record-dir", f"{WORK}/sim", "--keep-pages",
             "--sheet-length-mm", str(SHEET_MM)], stdout=subprocess.DEVNULL)
        if not wait_for(lambda: port_open("127.0.0.1", 7000) and port_open(NET_ADDRESS, 2080)):
            self.stop()
            raise RuntimeError("the daemon or the simulated scanner did not come up")
        self.shares = []
        for port in PORTS.values():
            env = dict(os.environ, RUVO_SCAN_SHARE_CONFIG=f"{WORK}/share-{port}.conf")
            self.shares.append(subprocess.Popen([SHARE, "--foreground"], env=env))
        if not wait_for(lambda: all(port_open("127.0.0.1", port) for port in PORTS.values())):
            self.stop()
            raise RuntimeError("the share did not come up")

    def stop(self):
        for process in getattr(self, "shares", []) + [self.simulator, self.emulator]:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
        for process in getattr(self, "shares", []):
            check(process.returncode == 0, f"the share ended with {process.returncode}")


def units(mm):
    return int(mm / 25.4 * 300 + 0.5)


def expected_area(area_mm, dpi, height_mm):
    """The pixels the share asks for: the client's millimetres in 1/300 inch
    (each value rounded), then each edge at the resolution, rounded."""
    if area_mm is None:
        x, y, w, h = 0, 0, units(215.9), units(height_mm)
    else:
        x, y, w, h = (units(value) for value in area_mm)
    def edge(value):
        return (value * dpi + 150) // 300
    return edge(x), edge(y), edge(x + w) - edge(x), edge(y + h) - edge(y)


def test_listing():
    out = scanimage(["-L"]).stdout.decode()
    for name in ("usb-png", "net-png", "usb-jpeg", "net-jpeg"):
        check(f"airscan:" in out and name in out, f"scanimage -L does not list {name}: {out!r}")


def test_platen_scans():
    rows = [
        ("usb", "Gray", 150, None),
        ("usb", "Color", 300, (25.4, 50.8, 76.2, 50.8)),
        ("net", "Color", 150, None),
        ("net", "Gray", 300, (12.7, 25.4, 50.8, 38.1)),
    ]
    for kind, mode, dpi, area_mm in rows:
        for format_name in ("image/png", "image/jpeg"):
            tag = format_name.split("/")[1]
            arguments = ["-d", f"airscan:e{list(PORTS).index(format_name) * 2 + (kind == 'net')}:{kind}-{tag}",
                         "--format=pnm", "--mode", mode, "--resolution", str(dpi)]
            if area_mm:
                left, top, width, height = area_mm
                arguments += ["-l", str(left), "-t", str(top), "-x", str(width), "-y", str(height)]
            name = f"{kind} {mode} {dpi} dpi {area_mm} as {format_name}"
            result = scanimage(arguments)
            if not check(result.returncode == 0, f"{name}: scanimage failed: {result.stderr.decode()[-600:]}"):
                continue
            scanned = parse_pnm(result.stdout)
            height_mm = 297.0 if kind == "usb" else 355.6
            expected = chart(dpi, expected_area(area_mm, dpi, height_mm), 24 if mode == "Color" else 8)
            if not check(scanned is not None and scanned[:3] == expected[:3],
                         f"{name}: shape {scanned[:3] if scanned else None}, the chart's {expected[:3]}"):
                continue
            if format_name == "image/png":
                check(scanned[3] == expected[3], f"{name}: not the chart's pixels")
            else:
                quality = psnr(scanned[3], expected[3])
                check(quality >= 30.0, f"{name}: PSNR {quality:.1f} dB below 30")
            check(page_files() == [], f"{name}: page files left behind: {page_files()}")


def main():
    if not os.path.exists("/usr/lib/x86_64-linux-gnu/sane/libsane-airscan.so.1"):
        print("sane-airscan is not installed", file=sys.stderr)
        return 1
    os.makedirs(SCAN_DIR, exist_ok=True)
    write_configuration()
    rig = Rig()
    try:
        test_listing()
        test_platen_scans()
    finally:
        rig.stop()
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
