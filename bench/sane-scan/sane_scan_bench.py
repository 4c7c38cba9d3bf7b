#!/usr/bin/python3
"""A network scan of about 100 MiB through the scan daemon and the SANE backend
(scanimage writing a PNM file), against reading the same bytes straight from
the simulated scanner's record channel into a file, in the same run; and the
peak memory of scanimage during that scan, against scanimage's peak during a
scan of a few kilobytes (the backend streams pages, it does not hold them).

Needs private namespaces (port 7000, 127.0.0.x): run it through
scripts/isolated-run, as bench/sane-scan/run-bench.sh does.

  sane_scan_bench.py [--rounds N] [--resolution DPI]
"""
import os
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from ruvo_rig import (SANE_BACKEND_DIR, detached_daemon_and_network_scanner, option, sane_environment,  # noqa: E402
                      scanimage_to_file)

ADDRESS = "127.0.0.2"
WORK = "/tmp/sane-bench"


def pixels(mm, dpi):
    return int(int(mm * 65536) / 65536 * dpi / 25.4 + 0.5)


def direct_scan(dpi, width_mm, height_mm, path):
    """The scan start form post, then the record channel copied to a file:
    what the scanner sends, with no daemon and no backend."""
    fields = {"SCANTYPE": "2", "DEPTH": "24", "TYPE": "RAW", "RESOLUTION": str(dpi), "SCANSOURCE": "7",
              "CUSTOM_WIDTH": str(pixels(width_mm, dpi)), "CUSTOM_HEIGHT": str(pixels(height_mm, dpi)),
              "OFFSETX": "0", "OFFSETY": "0"}
    body = "".join(f"{key}={value}&" for key, value in fields.items())
    with socket.create_connection((ADDRESS, 80)) as web:
        web.sendall(f"POST /netscan/post HTTP/1.1\r\nContent-Length: {len(body)}\r\n\r\n{body}".encode())
        reply = b""
        while b"RESULT=" not in reply:
            reply += web.recv(8192)
    written = 0
    with socket.create_connection((ADDRESS, 2080)) as channel, open(path, "wb") as out:
        stream = channel.makefile("rb", buffering=1 << 20)
        opening = stream.read(20)
        stream.read(int(opening[8:14]))
        while True:
            header = stream.read(18)
            if header.startswith(b"JOBDONE"):
                break
            if header.startswith(b"NEWFILE"):
                page_header = stream.read(18)
                stream.read(int(page_header[6:12]))
                continue
            block = stream.read(int(header[6:12]))
            out.write(block)
            written += len(block)
    return written


def scanimage(dpi, width_mm, height_mm, path):
    """scanimage's peak RSS in KiB."""
    return scanimage_to_file(["-d", f"ruvo:net:{ADDRESS}", "--mode", "Color", "--resolution", str(dpi),
                              "-x", str(width_mm), "-y", str(height_mm), "--format=pnm"],
                             sane_environment(f"{WORK}/conf", SANE_BACKEND_DIR), path)


def main():
    rounds = option("--rounds", 3)
    dpi = option("--resolution", 600)
    width_mm, height_mm = 215.9, 297.0
    with detached_daemon_and_network_scanner(WORK, ADDRESS):
        direct_times, backend_times, peaks = [], [], []
        size = 0
        for _ in range(rounds):
            started = time.monotonic()
            size = direct_scan(dpi, width_mm, height_mm, f"{WORK}/direct.raw")
            direct_times.append(time.monotonic() - started)
            started = time.monotonic()
            peaks.append(scanimage(dpi, width_mm, height_mm, f"{WORK}/scan.pnm"))
            backend_times.append(time.monotonic() - started)
            pnm_pixels = os.path.getsize(f"{WORK}/scan.pnm")
            if pnm_pixels < size:
                raise RuntimeError("scanimage wrote fewer bytes than the scanner sent")
        small_peak = scanimage(75, 10, 10, f"{WORK}/small.pnm")
        direct, backend = statistics.median(direct_times), statistics.median(backend_times)
        mib = size / (1 << 20)
        print(f"scan: {mib:.1f} MiB of raw colour lines ({dpi} dpi, {width_mm} x {height_mm} mm), "
              f"median of {rounds} rounds")
        print(f"straight from the scanner's socket to a file: {direct:.2f} s ({mib / direct:.1f} MiB/s)")
        print(f"scanimage through daemon and backend:       {backend:.2f} s ({mib / backend:.1f} MiB/s)")
        print(f"ratio backend / straight: {backend / direct:.2f}")
        peak = max(peaks) / 1024
        print(f"scanimage peak RSS: {peak:.1f} MiB during the {mib:.0f} MiB scan, "
              f"{small_peak / 1024:.1f} MiB during a 10 x 10 mm scan "
              f"(ratio {max(peaks) / small_peak:.2f}; {peak / mib:.3f} of the scan's size)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
