#!/usr/bin/python3
"""sane-airscan (Debian's eSCL client, through scanimage) scans the emulated
USB scanner and the simulated network scanner through RuvoScanShare and the
scan daemon; the pages are compared with the test chart. Also: a feeder
batch, a cancel mid-scan, a second job while one runs, hostile requests.

Run by CTest inside scripts/isolated-run (private /opt, /tmp and network).
"""
import http.client
import os
import re
import select
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from ruvo_rig import (AIRSCAN_BACKEND, ESCL_SETTINGS as SETTINGS, SCAN_DIR, SHARE, chart, check,  # noqa: E402
                      failures, feeder_lines, interrupt_scan, page_begun, page_files, parse_pnm, port_open,
                      proc_status as process_status, psnr, sane_environment, scanners_up, start_network_scanner,
                      start_usb_scanner_with_daemon, stop_process, wait_for, write_sane_config)

WORK = "/tmp/share-e2e"
SERIAL = "RV402A0001"
NET_ADDRESS = "127.0.0.2"
SLOW_ADDRESS = "127.0.0.3"
SHEET_MM = 250
PORTS = {"image/png": 8090, "image/jpeg": 8091}


def environment():
    return sane_environment(f"{WORK}/conf")


def scanimage(arguments, timeout=180):
    return subprocess.run(["scanimage"] + arguments, env=environment(), capture_output=True, timeout=timeout)


def write_configuration():
    lines = ["[devices]"]
    for format_name, port in PORTS.items():
        tag = format_name.split("/")[1]
        lines.append(f'"usb-{tag}" = http://127.0.0.1:{port}/eSCL')
        lines.append(f'"net-{tag}" = http://127.0.0.1:{port}/net-{NET_ADDRESS}/eSCL')
        lines.append(f'"slow-{tag}" = http://127.0.0.1:{port}/net-{SLOW_ADDRESS}/eSCL')
    lines += ["[options]", "discovery = disable", "ws-discovery = off", ""]
    write_sane_config(f"{WORK}/conf", "airscan", {"airscan.conf": "\n".join(lines)})
    with open(f"{WORK}/ruvo.conf", "w") as out:
        out.write(f"{NET_ADDRESS} K402ADN\n{SLOW_ADDRESS}\n")
    for format_name, port in PORTS.items():
        with open(f"{WORK}/share-{port}.conf", "w") as out:
            formats = format_name + (", application/pdf" if format_name == "image/jpeg" else "")
            out.write(f"port = {port}\nformats = {formats}\njob-timeout = 15\n"
                      f"scanners-config = {WORK}/ruvo.conf\n")


class Rig:
    def __init__(self):
        os.makedirs(f"{WORK}/usb-record", exist_ok=True)
        self.emulator = start_usb_scanner_with_daemon(
            SERIAL, ["--sheet-length-mm", str(SHEET_MM), "--pages", "3", "--record-dir", f"{WORK}/usb-record"])
        self.simulators = []
        for address, knobs in ((NET_ADDRESS, []), (SLOW_ADDRESS, ["--block-sizes", "3000", "--block-delay-ms", "50"])):
            self.simulators.append(start_network_scanner(
                address, ["--keep-pages", "--pages", "3", "--sheet-length-mm", str(SHEET_MM)] + knobs,
                record_dir=f"{WORK}/sim-{address}"))
        if not scanners_up([NET_ADDRESS, SLOW_ADDRESS]):
            self.stop()
            raise RuntimeError("the daemon or the simulated scanner did not come up")
        self.shares = []
        # One after the other: each lists the scanners through the daemon as it starts.
        for port in PORTS.values():
            env = dict(os.environ, RUVO_SCAN_SHARE_CONFIG=f"{WORK}/share-{port}.conf")
            self.shares.append(subprocess.Popen([SHARE, "--foreground"], env=env))
            if not wait_for(lambda: port_open("127.0.0.1", port)):
                self.stop()
                raise RuntimeError("the share did not come up")

    def stop(self):
        for process in getattr(self, "shares", []) + self.simulators + [self.emulator]:
            stop_process(process)
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


def device(kind, format_name="image/png"):
    index = list(PORTS).index(format_name) * 3 + ["usb", "net", "slow"].index(kind)
    return f"airscan:e{index}:{kind}-{format_name.split('/')[1]}"


def test_feeder_batch():
    for kind in ("usb", "net"):
        folder = f"{WORK}/batch-{kind}"
        os.makedirs(folder, exist_ok=True)
        dpi = 150
        result = scanimage(["-d", device(kind), "--source", "ADF", "--mode", "Gray", "--resolution", str(dpi),
                            "--format=pnm", f"--batch={folder}/page%d.pnm"])
        name = f"feeder batch {kind}"
        check(result.returncode == 0, f"{name}: scanimage failed: {result.stderr.decode()[-600:]}")
        files = sorted(os.listdir(folder))
        check(files == ["page1.pnm", "page2.pnm", "page3.pnm"], f"{name}: pages {files}")
        area = expected_area(None, dpi, 355.6)
        lines = feeder_lines(area[1], area[3], dpi, SHEET_MM)
        for page, file in enumerate(files):
            with open(f"{folder}/{file}", "rb") as handle:
                scanned = parse_pnm(handle.read())
            expected = chart(dpi, area, 8, page)
            # The client pads a page shorter than the area it asked for; the sheet's lines are the chart's.
            width = area[2]
            check(scanned is not None and scanned[1] == width and scanned[3][:lines * width] == expected[3][:lines * width],
                  f"{name}: {file} is not sheet {page} ({scanned[:3] if scanned else None})")
        check(page_files() == [], f"{name}: page files left behind: {page_files()}")


def slow_scan():
    return subprocess.Popen(["scanimage", "-d", device("slow"), "--mode", "Color", "--resolution", "150",
                             "--format=pnm"], env=environment(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def post_job(port, path, body, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("POST", path, body=body, headers=dict({"Content-Type": "text/xml"}, **(headers or {})))
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("Location")
    finally:
        connection.close()


def test_busy_and_cancel():
    scan = slow_scan()
    began = wait_for(page_begun)
    check(began, "cancel: the slow scan never wrote a page")
    status, _ = post_job(PORTS["image/png"], f"/net-{SLOW_ADDRESS}/eSCL/ScanJobs", SETTINGS)
    check(status == 503, f"a second job while one runs: {status}, not 503")
    interrupt_scan(scan, f"{WORK}/sim-{SLOW_ADDRESS}/events.log", 20)
    # The scanner is free again: a job is taken, and deleted unread leaves no page file.
    status, location = wait_for_job(f"/net-{SLOW_ADDRESS}/eSCL/ScanJobs")
    check(status == 201 and location, f"after the cancel: {status}")
    if location:
        connection = http.client.HTTPConnection("127.0.0.1", PORTS["image/png"], timeout=30)
        connection.request("DELETE", location)
        check(connection.getresponse().status == 200, "DELETE of a job")
        connection.close()
        check(wait_for(lambda: page_files() == [], 20), f"DELETE: page files left behind: {page_files()}")
    # The order is a race inside the share: a few rounds give it room to show.
    for _ in range(5):
        test_delete_answered_before_the_page_ends()


def test_delete_answered_before_the_page_ends():
    """A job deleted while its page streams: the DELETE is answered before the
    page's stream ends, in the order a client that waits for both expects."""
    status, location = wait_for_job(f"/net-{SLOW_ADDRESS}/eSCL/ScanJobs")
    check(status == 201 and location, f"a job for the streamed page: {status}")
    if not location:
        return
    page = http.client.HTTPConnection("127.0.0.1", PORTS["image/png"], timeout=30)
    page.request("GET", f"{location}/NextDocument")
    response = page.getresponse()
    check(response.status == 200, f"NextDocument of the slow page: {response.status}")
    deleting = socket.create_connection(("127.0.0.1", PORTS["image/png"]), timeout=30)
    deleting.sendall(f"DELETE {location} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
    try:
        while response.read(4096):
            pass
    except (http.client.HTTPException, OSError):
        pass
    # On loopback the answer is in the socket's buffer as soon as it is sent.
    answered_first = bool(select.select([deleting], [], [], 0)[0])
    check(answered_first, "the page's stream ended before the DELETE was answered")
    answer = deleting.recv(4096)
    check(answer.startswith(b"HTTP/1.1 200"), f"DELETE of a job whose page streams: {answer[:40]!r}")
    deleting.close()
    page.close()
    check(wait_for(lambda: page_files() == [], 20), f"DELETE mid-page: page files left behind: {page_files()}")


def wait_for_job(path):
    result = [None, None]
    def taken():
        result[:] = post_job(PORTS["image/png"], path, SETTINGS)
        return result[0] != 503
    wait_for(taken, 30)
    return result


def test_hostile_requests(share_pid):
    port = PORTS["image/png"]
    before = process_status(share_pid)
    status, _ = post_job(port, "/eSCL/ScanJobs", SETTINGS.replace("<scan:ColorMode>Grayscale8</scan:ColorMode>",
                         "<scan:ColorMode>&b;</scan:ColorMode>").replace(
                         '<?xml version="1.0" encoding="UTF-8"?>',
                         '<?xml version="1.0"?><!DOCTYPE s [<!ENTITY a "aaaaaaaaaaaaaaaa">'
                         '<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>'))
    check(status == 400, f"entity-laden settings: {status}, not 400")
    status, _ = post_job(port, "/eSCL/ScanJobs", "x" * (200 * 1024))
    check(status == 413, f"a 200 KiB body: {status}, not 413")
    try:
        status, _ = post_job(port, "/eSCL/ScanJobs", SETTINGS, {"X-Filler": "y" * (64 * 1024)})
    except (ConnectionError, http.client.HTTPException):
        status = "closed"
    check(status in (413, 431, "closed"), f"a 64 KiB header: {status}")
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request("GET", "/etc/passwd")
    check(connection.getresponse().status == 404, "a path outside eSCL")
    connection.close()
    # 200 idle connections from one address: at most the per-address limit is
    # served, and a client from another address is served at once.
    idle = []
    for _ in range(200):
        try:
            idle.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        except OSError:
            pass
    time.sleep(1)
    during = process_status(share_pid)
    other = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=("127.0.0.9", 0))
    other.request("GET", "/eSCL/ScannerCapabilities")
    check(other.getresponse().status == 200, "another address during 200 idle connections")
    other.close()
    alive = 0
    for connection in idle:
        connection.setblocking(False)
        try:
            alive += connection.recv(1) != b""
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
        connection.close()
    check(alive <= 8, f"{alive} of 200 idle connections kept from one address")
    print(f"hostile: {alive} of 200 idle connections from one address kept open; threads "
          f"{before['Threads']} -> {during['Threads']}, RSS {before['VmRSS']} -> {during['VmRSS']} KiB, "
          f"peak RSS {during['VmHWM']} KiB", flush=True)
    check(int(during["Threads"]) <= int(before["Threads"]) + 8 + 2, f"threads {during['Threads']} with 200 idle connections")


def test_pdf_job():
    port = PORTS["image/jpeg"]
    dpi = 150
    body = SETTINGS.replace("image/png", "application/pdf").replace(">75<", f">{dpi}<")
    status, location = post_job(port, f"/net-{NET_ADDRESS}/eSCL/ScanJobs", body)
    if not check(status == 201 and location, f"a PDF job: {status}"):
        return
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    connection.request("GET", location + "/NextDocument")
    response = connection.getresponse()
    document = response.read()
    check(response.status == 200 and response.getheader("Content-Type") == "application/pdf",
          f"PDF page: {response.status} {response.getheader('Content-Type')}")
    connection.request("GET", location + "/NextDocument")
    response = connection.getresponse()
    response.read()
    check(response.status == 404, f"after the one platen page: {response.status}, not 404")
    connection.request("DELETE", location)
    connection.getresponse().read()
    connection.close()
    path = f"{WORK}/page.pdf"
    with open(path, "wb") as out:
        out.write(document)
    info = subprocess.run(["pdfinfo", path], capture_output=True)
    text = info.stdout.decode()
    check(info.returncode == 0 and re.search(r"Pages:\s+1\n", text) and "Syntax Error" not in info.stderr.decode(),
          f"pdfinfo: {text} {info.stderr.decode()}")
    check(re.search(r"Page size:\s+612(\.0+)? x 1008(\.0+)? pts", text), f"pdfinfo page size: {text}")
    # The page renders at its size; the image in it is the chart. (pdftoppm
    # resamples images even at their own resolution, so its pixels are not
    # the image's: the image is compared as pdfimages decodes it.)
    rendered = parse_pnm(subprocess.run(["pdftoppm", "-r", str(dpi), "-gray", path], capture_output=True).stdout)
    expected = chart(dpi, expected_area(None, dpi, 355.6), 8)
    check(rendered is not None and rendered[1:3] == expected[1:3], f"pdftoppm: {rendered[:3] if rendered else None}")
    subprocess.run(["pdfimages", path, f"{WORK}/pdf-image"], check=True)
    written = sorted(name for name in os.listdir(WORK) if name.startswith("pdf-image"))
    image = None
    if check(len(written) == 1, f"pdfimages wrote {written}"):
        with open(f"{WORK}/{written[0]}", "rb") as handle:
            image = parse_pnm(handle.read())
    if check(image is not None and image[1:3] == expected[1:3], f"pdfimages: {image[:3] if image else None}"):
        pixels = image[3][::3] if image[0] == b"P6" else image[3]  # a grey image written as RGB
        quality = psnr(pixels, expected[3])
        check(quality >= 30.0, f"PDF page: PSNR {quality:.1f} dB below 30")
    check(page_files() == [], f"PDF: page files left behind: {page_files()}")


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
            arguments = ["-d", device(kind, format_name),
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
    if not os.path.exists(AIRSCAN_BACKEND):
        print("sane-airscan is not installed", file=sys.stderr)
        return 1
    os.makedirs(SCAN_DIR, exist_ok=True)
    write_configuration()
    rig = Rig()
    try:
        test_listing()
        test_platen_scans()
        test_feeder_batch()
        test_pdf_job()
        test_busy_and_cancel()
        test_hostile_requests(rig.shares[0].pid)
    finally:
        rig.stop()
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
