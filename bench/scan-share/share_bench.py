#!/usr/bin/python3
"""One A4 colour page at 300 dpi from the simulated network scanner, through
the scan daemon both times: once through RuvoScanShare as an eSCL JPEG page
(POST ScanJobs, GET NextDocument, written to a file), once through the SANE
backend (scanimage writing a PNM file), in the same run. Prints the time
ratio share / backend and the peak memory (RSS) of the share and of
scanimage during their scans.

Needs private namespaces (ports 7000 and 8090, 127.0.0.x): run it through
scripts/isolated-run, as bench/scan-share/run-bench.sh does.

  share_bench.py [--rounds N] [--resolution DPI]
"""
import http.client
import os
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from ruvo_rig import (SANE_BACKEND_DIR, SCAN_DIR, SHARE, detached_daemon_and_network_scanner, option,  # noqa: E402
                      peak_rss_kib as peak_rss, port_open, sane_environment, scanimage_to_file, stop_process,
                      wait_for)

ADDRESS = "127.0.0.2"
PORT = 8090
WORK = "/tmp/share-bench"
WIDTH_MM, HEIGHT_MM = 210.0, 297.0


def jpeg_size(data):
    """Width and height from a JPEG's start-of-frame marker, or None."""
    at = 2
    while at + 9 < len(data) and data[at] == 0xFF:
        marker = data[at + 1]
        length = struct.unpack(">H", data[at + 2:at + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        at += 2 + length
    return None


def reset_peak(pid):
    with open(f"/proc/{pid}/clear_refs", "w") as out:
        out.write("5")  # the peak RSS starts again from the current RSS


def share_scan(share_pid, dpi, path):
    units = lambda mm: int(mm / 25.4 * 300 + 0.5)
    settings = ('<?xml version="1.0" encoding="UTF-8"?><scan:ScanSettings '
                'xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03" '
                'xmlns:pwg="http://www.pwg.org/schemas/2010/12/sm"><pwg:Version>2.63</pwg:Version>'
                '<scan:Intent>Document</scan:Intent><pwg:ScanRegions><pwg:ScanRegion>'
                f'<pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>'
                f'<pwg:XOffset>0</pwg:XOffset><pwg:YOffset>0</pwg:YOffset>'
                f'<pwg:Width>{units(WIDTH_MM)}</pwg:Width><pwg:Height>{units(HEIGHT_MM)}</pwg:Height>'
                '</pwg:ScanRegion></pwg:ScanRegions><pwg:InputSource>Platen</pwg:InputSource>'
                '<scan:ColorMode>RGB24</scan:ColorMode><pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat>'
                f'<scan:XResolution>{dpi}</scan:XResolution><scan:YResolution>{dpi}</scan:YResolution>'
                '</scan:ScanSettings>')
    reset_peak(share_pid)
    connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=300)
    try:
        connection.request("POST", f"/net-{ADDRESS}/eSCL/ScanJobs", body=settings,
                           headers={"Content-Type": "text/xml"})
        response = connection.getresponse()
        response.read()
        location = response.getheader("Location")
        if response.status != 201 or not location:
            raise RuntimeError(f"the share did not take the job: {response.status}")
        connection.request("GET", location + "/NextDocument")
        response = connection.getresponse()
        written = 0
        with open(path, "wb") as out:
            while True:
                block = response.read(1 << 16)
                if not block:
                    break
                out.write(block)
                written += len(block)
        if response.status != 200 or response.getheader("Content-Type") != "image/jpeg":
            raise RuntimeError(f"the page came as {response.status} {response.getheader('Content-Type')}")
        connection.request("DELETE", location)
        connection.getresponse().read()
    finally:
        connection.close()
    return written, peak_rss(share_pid)


def backend_scan(dpi, path):
    """scanimage's peak RSS in KiB."""
    return scanimage_to_file(["-d", f"ruvo:net:{ADDRESS}", "--mode", "Color", "--resolution", str(dpi),
                              "-l", "0", "-t", "0", "-x", str(WIDTH_MM), "-y", str(HEIGHT_MM), "--format=pnm"],
                             sane_environment(f"{WORK}/conf", SANE_BACKEND_DIR), path)


def main():
    rounds = option("--rounds", 5)
    dpi = option("--resolution", 300)
    os.makedirs(SCAN_DIR, exist_ok=True)
    os.makedirs(WORK, exist_ok=True)
    with open(f"{WORK}/share.conf", "w") as out:
        out.write(f"port = {PORT}\nformats = image/jpeg\nscanners-config = {WORK}/conf/ruvo.conf\n")
    with detached_daemon_and_network_scanner(WORK, ADDRESS):
        share = subprocess.Popen([SHARE, "--foreground"], stderr=subprocess.DEVNULL,
                                 env=dict(os.environ, RUVO_SCAN_SHARE_CONFIG=f"{WORK}/share.conf"))
        try:
            if not wait_for(lambda: port_open("127.0.0.1", PORT), 15):
                raise RuntimeError("the share did not come up")
            report(share, rounds, dpi)
        finally:
            stop_process(share, kill=False)
    return 0


def report(share, rounds, dpi):
    """The rounds through the share and through the backend, and what they measured."""
    idle_share = peak_rss(share.pid)
    share_times, backend_times, share_peaks, backend_peaks = [], [], [], []
    jpeg_bytes = pnm_bytes = 0
    for _ in range(rounds):
        started = time.monotonic()
        jpeg_bytes, peak = share_scan(share.pid, dpi, f"{WORK}/page.jpg")
        share_times.append(time.monotonic() - started)
        share_peaks.append(peak)
        started = time.monotonic()
        backend_peaks.append(backend_scan(dpi, f"{WORK}/page.pnm"))
        backend_times.append(time.monotonic() - started)
        pnm_bytes = os.path.getsize(f"{WORK}/page.pnm")
    with open(f"{WORK}/page.jpg", "rb") as handle:
        shape = jpeg_size(handle.read())
    expected = tuple(int(mm / 25.4 * dpi + 0.5) for mm in (WIDTH_MM, HEIGHT_MM))
    if shape is None or abs(shape[0] - expected[0]) > 1 or abs(shape[1] - expected[1]) > 1:
        raise RuntimeError(f"the JPEG page is {shape}, not about {expected}")
    share_time, backend_time = statistics.median(share_times), statistics.median(backend_times)
    raw = shape[0] * shape[1] * 3 / (1 << 20)
    print(f"page: A4 colour at {dpi} dpi, {shape[0]} x {shape[1]} pixels ({raw:.1f} MiB of lines), "
          f"median of {rounds} rounds")
    print(f"through the share as JPEG:        {share_time:.2f} s ({jpeg_bytes / 1024:.0f} KiB)")
    print(f"through the SANE backend (PNM):   {backend_time:.2f} s ({pnm_bytes / (1 << 20):.1f} MiB)")
    print(f"ratio share / backend: {share_time / backend_time:.2f}")
    print(f"peak RSS of the share during the scan: {max(share_peaks) / 1024:.1f} MiB (idle {idle_share / 1024:.1f} MiB)")
    print(f"peak RSS of scanimage during the scan: {max(backend_peaks) / 1024:.1f} MiB")
    print(f"ratio share / scanimage peak RSS: {max(share_peaks) / max(backend_peaks):.2f}; "
          f"share peak / page lines: {max(share_peaks) / 1024 / raw:.3f}")


if __name__ == "__main__":
    sys.exit(main())
