#!/usr/bin/python3
"""SANE front ends against the ruvo backend from the build tree: scanimage
lists, scans and checks the emulated USB scanner and simulated network scanners
through the scan daemon, pixel by pixel against the test chart.

Run by CTest inside scripts/isolated-run (private /opt, /tmp and network). The
backend is loaded by SANE's own dll backend: LD_LIBRARY_PATH names the build
tree's sane-backend/ folder, SANE_CONFIG_DIR a dll.conf naming only "ruvo".
With RUVO_SANE_PRELOAD set (sanitizer builds) scanimage, which Debian builds
without sanitizers, gets that runtime preloaded.
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from ruvo_rig import (CHART, SANE_BACKEND_DIR, SCAN_DIR, chart, check, failures, feeder_lines,  # noqa: E402
                      interrupt_scan, kill_descendants, local_socket_open, page_begun, page_files, parse_pnm, port_open,
                      sane_environment, scanners_up, start_network_scanner, start_usb_scanner_with_daemon, stop_process, wait_for,
                      write_sane_config)

WORK = "/tmp/sane-e2e"
SERIAL = "RV402A0001"
USB = f"ruvo:usb:0405:{SERIAL}"
NET = "ruvo:net:127.0.0.2"
SLOW_NET = "ruvo:net:127.0.0.3"
SHEET_MM = 250


def environment(debug=False):
    env = sane_environment(f"{WORK}/conf", SANE_BACKEND_DIR)
    env.pop("SANE_DEBUG_RUVO", None)
    if debug:
        env["SANE_DEBUG_RUVO"] = "1"
    return env


def scanimage(arguments, timeout=120, debug=False):
    return subprocess.run(["scanimage"] + arguments, env=environment(debug), capture_output=True, timeout=timeout)


class Rig:
    """The emulated USB scanner with the daemon inside it, and network scanners."""

    def __init__(self, usb_knobs, simulators, emulator_output=subprocess.DEVNULL):
        self.record = f"{WORK}/usb-record"
        os.makedirs(self.record, exist_ok=True)
        self.start_daemon(usb_knobs, emulator_output)
        self.simulators = [start_network_scanner(address, ["--keep-pages", "--sheet-length-mm", str(SHEET_MM)] + knobs,
                                                 record_dir=f"{WORK}/sim-{address}")
                           for address, knobs in simulators]
        if not scanners_up([address for address, _ in simulators], daemon_up=local_socket_open):
            self.stop()
            raise RuntimeError("the daemon or a simulated scanner did not come up")

    def start_daemon(self, usb_knobs, emulator_output=subprocess.DEVNULL):
        self.emulator = start_usb_scanner_with_daemon(
            SERIAL, ["--sheet-length-mm", str(SHEET_MM), "--record-dir", self.record] + usb_knobs, emulator_output)
        return wait_for(lambda: port_open("127.0.0.1", 7000))

    def crash_daemon(self):
        """Every process of the daemon killed at once, as systemd does to a crashed unit's group.
        The emulator adopts the daemon's detached processes, so they are all its descendants."""
        kill_descendants(self.emulator.pid)
        # With nothing left to run the emulator takes its device out and ends.
        self.emulator.wait(timeout=30)

    def stop_daemon(self):
        stop_process(self.emulator, kill=False)

    def stop(self):
        self.stop_daemon()
        for simulator in self.simulators:
            stop_process(simulator, kill=False)


def fixed(mm):
    """SANE's fixed-point millimetres (16 fraction bits, truncated), as scanimage passes them."""
    return int(mm * 65536)


def pixels_of_area(left, top, width, height, dpi):
    """The area in pixels, each edge rounded: what the backend sends the scanner.
    scanimage turns -x and -y into the bottom right corner by adding fixed-point values."""
    def edge(value):
        return int(value / 65536 * dpi / 25.4 + 0.5)
    x0, y0 = edge(fixed(left)), edge(fixed(top))
    x1, y1 = edge(fixed(left) + fixed(width)), edge(fixed(top) + fixed(height))
    return x0, y0, max(x1, x0 + 1) - x0, max(y1, y0 + 1) - y0


MODES = {"Lineart": 1, "Gray": 8, "Color": 24}


def scan_area_arguments(area_mm):
    left, top, width, height = area_mm
    return ["-l", str(left), "-t", str(top), "-x", str(width), "-y", str(height)]


def flatbed_scan(device, mode, dpi, area_mm, extra=()):
    """scanimage's page of area_mm (the whole flatbed when None), and that area in mm."""
    arguments = ["-d", device, "--format=pnm", "--mode", mode, "--resolution", str(dpi), *extra]
    if area_mm:
        arguments += scan_area_arguments(area_mm)
    else:
        area_mm = (0, 0, 215.9, 297.0 if device == USB else 355.6)
    return scanimage(arguments), area_mm


def test_listing():
    result = scanimage(["-L"])
    out = result.stdout.decode()
    check(f"device `{USB}' is a Ruvo K402ADN multi-function peripheral" in out, f"scanimage -L: {out!r}")
    check(f"device `{NET}' is a Ruvo K402ADN multi-function peripheral" in out, f"scanimage -L: {out!r}")


def test_tcp_only_when_configured():
    # With the local socket out of reach the backend finds no daemon, unless
    # ruvo.conf names TCP: then it lists the USB scanner through port 7000.
    folder = f"{WORK}/conf-tcp"
    for tcp_line, listed in (("", False), ("daemon-tcp-port 7000\n", True)):
        write_sane_config(folder, "ruvo", {"ruvo.conf": "127.0.0.2 K402ADN\n" + tcp_line})
        env = environment()
        env["SANE_CONFIG_DIR"] = folder
        env["RUVO_SCAN_SOCKET"] = f"{WORK}/no-daemon-here.sock"
        result = subprocess.run(["scanimage", "-L"], env=env, capture_output=True, timeout=120)
        out = result.stdout.decode()
        check((f"device `{USB}'" in out) == listed, f"TCP line {tcp_line!r}: scanimage -L: {out!r}")


def test_raw_pixels():
    # Flatbed scans: two resolutions, the three modes, the full width and an area.
    rows = [
        (USB, "Gray", 75, None),
        (USB, "Color", 150, (20.5, 31.0, 80.0, 60.0)),
        (USB, "Lineart", 100, (3.0, 40.0, 101.3, 90.0)),
        (NET, "Gray", 100, (10.0, 10.0, 50.0, 40.0)),
        (NET, "Color", 75, None),
        (NET, "Lineart", 150, (0.0, 100.0, 77.7, 50.0)),
    ]
    for device, mode, dpi, area_mm in rows:
        result, area_mm = flatbed_scan(device, mode, dpi, area_mm)
        name = f"{device} {mode} {dpi} dpi {area_mm}"
        if not check(result.returncode == 0, f"{name}: scanimage failed: {result.stderr.decode()}"):
            continue
        scanned = parse_pnm(result.stdout)
        expected = chart(dpi, pixels_of_area(*area_mm, dpi), MODES[mode])
        check(scanned is not None and scanned == expected,
              f"{name}: not the chart's pixels ({scanned[:3] if scanned else None} vs {expected[:3]})")
        check(page_files() == [], f"{name}: page files left behind: {page_files()}")


def newest_usb_record(page):
    pattern = re.compile(rf"{SERIAL}_scan_(\d+)_page_{page}\.bin")
    numbered = [(int(m.group(1)), name) for name in os.listdir(f"{WORK}/usb-record")
                if (m := pattern.fullmatch(name))]
    return f"{WORK}/usb-record/{max(numbered)[1]}"


def psnr(a, b):
    for image, path in ((a, f"{WORK}/a.pnm"), (b, f"{WORK}/b.pnm")):
        with open(path, "wb") as out:
            out.write(b"%s\n%d %d\n255\n" % (image[0], image[1], image[2]) + image[3])
    result = subprocess.run([CHART, "psnr", f"{WORK}/a.pnm", f"{WORK}/b.pnm"], capture_output=True)
    if result.returncode != 0:
        print("psnr:", result.stderr.decode(), a[:3], b[:3], flush=True)
        return 0.0
    return float(result.stdout)


def test_jpeg():
    rows = [(USB, "Gray", 100, (15.0, 25.0, 90.0, 70.0)), (USB, "Color", 75, None),
            (NET, "Color", 100, (5.0, 5.0, 120.0, 100.0)), (NET, "Gray", 75, None)]
    for device, mode, dpi, area_mm in rows:
        result, area_mm = flatbed_scan(device, mode, dpi, area_mm, ["--compression", "JPEG"])
        name = f"JPEG {device} {mode} {dpi} dpi"
        if not check(result.returncode == 0, f"{name}: scanimage failed: {result.stderr.decode()}"):
            continue
        scanned = parse_pnm(result.stdout)
        sent = newest_usb_record(0) if device == USB else f"{WORK}/sim-127.0.0.2/sent-page-0.bin"
        with open(sent, "rb") as handle:
            check(handle.read(2) == b"\xff\xd8", f"{name}: the scanner did not send JPEG")
        decoded = parse_pnm(subprocess.run([CHART, "decode-jpeg", sent], capture_output=True, check=True).stdout)
        check(scanned == decoded, f"{name}: not libjpeg's decoding of the bytes the scanner sent")
        quality = psnr(scanned, chart(dpi, pixels_of_area(*area_mm, dpi), MODES[mode]))
        print(f"{name}: PSNR {quality:.2f} dB against the chart", flush=True)
        check(quality >= 30.0, f"{name}: PSNR {quality:.2f} dB below 30")
        check(page_files() == [], f"{name}: page files left behind: {page_files()}")


def test_feeder_batch():
    for device in (USB, NET):
        folder = f"{WORK}/batch-{device.replace(':', '_')}"
        os.makedirs(folder, exist_ok=True)
        dpi, area_mm = 75, (0.0, 0.0, 215.9, 355.6)
        result = scanimage(["-d", device, "--source", "ADF", "--mode", "Gray", "--resolution", str(dpi),
                            "--format=pnm", f"--batch={folder}/page%d.pnm"] + scan_area_arguments(area_mm))
        name = f"feeder batch {device}"
        check(result.returncode == 0, f"{name}: scanimage failed: {result.stderr.decode()}")
        files = sorted(os.listdir(folder))
        check(files == ["page1.pnm", "page2.pnm", "page3.pnm"], f"{name}: pages {files}")
        area = pixels_of_area(*area_mm, dpi)
        lines = feeder_lines(area[1], area[3], dpi, SHEET_MM)
        check(lines < area[3], f"{name}: the sheet should be shorter than the area")
        for page, file in enumerate(files):
            with open(f"{folder}/{file}", "rb") as handle:
                scanned = parse_pnm(handle.read())
            expected = chart(dpi, area, 8, page, lines)
            check(scanned == expected, f"{name}: {file} is not sheet {page} "
                                       f"({scanned[:3] if scanned else None} vs {expected[:3]})")
        check(page_files() == [], f"{name}: page files left behind: {page_files()}")


def test_cancel_mid_page():
    events = f"{WORK}/sim-127.0.0.3/events.log"
    scan = subprocess.Popen(["scanimage", "-d", SLOW_NET, "--mode", "Color", "--resolution", "150",
                             "--format=pnm"], env=environment(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    began = wait_for(page_begun)
    check(began, "cancel: the slow scan never wrote a page")
    interrupt_scan(scan, events)
    # The scanner is usable again right away.
    result = scanimage(["-d", SLOW_NET, "--mode", "Gray", "--resolution", "75", "--format=pnm"]
                       + scan_area_arguments((0, 0, 20, 5)))
    check(result.returncode == 0, f"cancel: the next scan failed: {result.stderr.decode()}")


def test_conformance():
    for device in (USB, NET):
        result = scanimage(["-d", device, "--mode", "Gray", "--resolution", "75", "-T"]
                           + scan_area_arguments((0, 0, 60, 40)), timeout=300)
        output = (result.stdout + result.stderr).decode()
        check(result.returncode == 0 and "scanimage: scanning image of size" in output,
              f"scanimage -T {device}: {output[-2000:]}")


def test_failures_as_sane_codes():
    rows = [("127.0.0.4", ["--result", "91"], ["--source", "Flatbed"], "Device busy"),
            ("127.0.0.5", ["--pages", "0"], ["--source", "ADF"], "Document feeder out of documents"),
            ("127.0.0.6", ["--jam-on-page", "0"], ["--source", "ADF"], "Document feeder jammed")]
    for address, _, arguments, message in rows:
        result = scanimage(["-d", f"ruvo:net:{address}", "--mode", "Gray", "--resolution", "75", "--format=pnm"]
                           + arguments + scan_area_arguments((0, 0, 20, 20)))
        err = result.stderr.decode()
        check(result.returncode != 0 and message in err, f"{address}: expected '{message}', got: {err}")
        check(page_files() == [], f"{address}: page files left behind: {page_files()}")
    return [(address, knobs) for address, knobs, _, _ in rows]


def test_daemon_stopped(rig):
    rig.stop_daemon()
    started = time.monotonic()
    result = scanimage(["-d", NET, "--format=pnm"], timeout=60, debug=True)
    elapsed = time.monotonic() - started
    err = result.stderr.decode()
    check(result.returncode != 0 and "Error during device I/O" in err, f"daemon stopped: scanimage said {err!r}")
    check("cannot reach the scan daemon" in err, f"daemon stopped: no clear line on stderr: {err!r}")
    check(elapsed < 10, f"daemon stopped: scanimage took {elapsed:.1f} s")
    listing = scanimage(["-L"], timeout=60)
    check(listing.returncode == 0 and USB not in listing.stdout.decode(), "daemon stopped: scanimage -L")


def test_usb_scanner_pulled_out():
    """The USB scanner is pulled out mid-page and plugged back 8 s later."""
    report = f"{WORK}/emulator-unplug.out"
    with open(report, "w") as output:
        rig = Rig(["--pages", "3", "--unplug-after-bytes", "300000", "--replug-after-ms", "8000"], [], output)
    try:
        def reported(line):
            with open(report) as handle:
                return line in handle.read().split("\n")
        scan = subprocess.Popen(["scanimage", "-d", USB, "--mode", "Color", "--resolution", "150", "--format=pnm"],
                                env=environment(debug=True), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        unplugged_at = None
        while scan.poll() is None:
            if unplugged_at is None and reported("unplugged /dev/bus/usb/001/002"):
                unplugged_at = time.monotonic()
            if unplugged_at is not None and time.monotonic() - unplugged_at > 30:
                scan.kill()
            time.sleep(0.02)
        ended_at = time.monotonic()
        if unplugged_at is None and reported("unplugged /dev/bus/usb/001/002"):
            unplugged_at = ended_at
        err = scan.stderr.read().decode()
        check(unplugged_at is not None, "unplug: the scanner was never pulled out")
        check(scan.returncode not in (0, None) and "Error during device I/O" in err,
              f"unplug: scanimage said {err[-2000:]!r}")
        if unplugged_at is not None:
            print(f"unplug to IO_ERROR: {ended_at - unplugged_at:.2f} s", flush=True)
            check(ended_at - unplugged_at < 10, f"unplug: scanimage took {ended_at - unplugged_at:.1f} s")
        check(wait_for(lambda: page_files() == [], 10), f"unplug: page files left behind: {page_files()}")
        listing = scanimage(["-L"], timeout=60).stdout.decode()
        if not reported("replugged /dev/bus/usb/001/002"):
            check(USB not in listing, f"unplug: a scanner that is gone is listed: {listing!r}")
        check(wait_for(lambda: reported("replugged /dev/bus/usb/001/002"), 20), "unplug: never plugged back")
        check(USB in scanimage(["-L"], timeout=60).stdout.decode(), "unplug: the scanner is not listed once back")
        result = scanimage(["-d", USB, "--mode", "Gray", "--resolution", "75", "--format=pnm"]
                           + scan_area_arguments((0, 0, 40, 30)))
        check(result.returncode == 0 and parse_pnm(result.stdout) is not None,
              f"unplug: the scan after the replug failed: {result.stderr.decode()[-2000:]}")
    finally:
        rig.stop()


def test_daemon_restarted_mid_scan():
    """The daemon dies mid-page and is started again, as systemd does after a crash."""
    rig = Rig(["--pages", "3"], [("127.0.0.3", ["--pages", "3", "--block-sizes", "3000", "--block-delay-ms", "50"])])
    try:
        for name in page_files():
            os.unlink(f"{SCAN_DIR}/{name}")
        scan = subprocess.Popen(["scanimage", "-d", SLOW_NET, "--mode", "Color", "--resolution", "150",
                                 "--format=pnm"], env=environment(debug=True), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        reading = wait_for(page_begun)
        check(reading, "daemon restart: the scan never wrote a page")
        check(scan.poll() is None, "daemon restart: scanimage ended before the daemon was killed")
        killed_at = time.monotonic()
        rig.crash_daemon()
        restarted = rig.start_daemon(["--pages", "3"])
        check(restarted, "daemon restart: the daemon did not come back")
        try:
            out, err = scan.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            scan.kill()
            out, err = scan.communicate()
            check(False, "daemon restart: scanimage still waits 30 s after the kill")
        elapsed = time.monotonic() - killed_at
        err = err.decode()
        print(f"daemon kill to IO_ERROR: {elapsed:.2f} s", flush=True)
        check(scan.returncode not in (0, None) and "Error during device I/O" in err,
              f"daemon restart: scanimage said {err[-2000:]!r}")
        check(elapsed < 10, f"daemon restart: scanimage took {elapsed:.1f} s")
        for device in (SLOW_NET, USB):
            result = scanimage(["-d", device, "--mode", "Gray", "--resolution", "75", "--format=pnm"]
                               + scan_area_arguments((0, 0, 40, 30)))
            expected = chart(75, pixels_of_area(0, 0, 40, 30, 75), 8)
            check(result.returncode == 0 and parse_pnm(result.stdout) == expected,
                  f"daemon restart: the next scan on {device} failed: {result.stderr.decode()[-2000:]}")
    finally:
        rig.stop()


def main():
    write_sane_config(f"{WORK}/conf", "ruvo",
                      {"ruvo.conf": "# test scanners\n127.0.0.2 K402ADN\n127.0.0.3\n127.0.0.4\n127.0.0.5\n127.0.0.6\n"})
    simulators = [("127.0.0.2", ["--pages", "3"]),
                  ("127.0.0.3", ["--pages", "3", "--block-sizes", "3000", "--block-delay-ms", "50"]),
                  ("127.0.0.4", ["--result", "91"]), ("127.0.0.5", ["--pages", "0"]),
                  ("127.0.0.6", ["--pages", "3", "--jam-on-page", "0"])]
    rig = Rig(["--pages", "3"], simulators)
    try:
        for test in (test_listing, test_tcp_only_when_configured, test_raw_pixels, test_jpeg, test_feeder_batch, test_cancel_mid_page,
                     test_conformance, test_failures_as_sane_codes):
            started = time.monotonic()
            test()
            print(f"{test.__name__}: {time.monotonic() - started:.1f} s", flush=True)
        test_daemon_stopped(rig)
    finally:
        rig.stop()
    started = time.monotonic()
    test_usb_scanner_pulled_out()
    print(f"test_usb_scanner_pulled_out: {time.monotonic() - started:.1f} s", flush=True)
    started = time.monotonic()
    test_daemon_restarted_mid_scan()
    print(f"test_daemon_restarted_mid_scan: {time.monotonic() - started:.1f} s", flush=True)
    print(f"{len(failures)} failed" if failures else "all SANE end-to-end checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
