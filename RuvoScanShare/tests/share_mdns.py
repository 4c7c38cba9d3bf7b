#!/usr/bin/python3
"""RuvoScanShare on mDNS: an Avahi daemon on a private system bus, in the
private network namespace the isolated runner gives, with a host name of its
own. Checks what `avahi-browse` shows for each shared scanner, that
sane-airscan with discovery on (no [devices] entry) finds the scanners and
scans a page, that a name already taken on the network is replaced by an
alternative one, that the share keeps serving while Avahi restarts and
announces again when it is back, and that an unplugged USB scanner is
withdrawn and announced again when it is plugged back in.

Run by CTest inside scripts/isolated-run (private /opt, /tmp and network).
"""
import http.client
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from ruvo_rig import (AIRSCAN_BACKEND, ESCL_SETTINGS as SETTINGS, SCAN_DIR, SHARE, Processes,  # noqa: E402
                      chart, check, failures, parse_pnm, port_open, psnr, sane_environment, scanners_up,
                      start_network_scanner, start_usb_scanner_with_daemon, wait_for, write_sane_config)

WORK = "/tmp/share-mdns"
SERIAL = "RV402A0077"
NET_ADDRESS = "127.0.0.2"
PORT = 8090
HOST = "ruvo-share-test"
FORMATS = ["image/png", "image/jpeg", "application/pdf"]
REPLUG_MS = 15000


def run(arguments, **options):
    return subprocess.run(arguments, capture_output=True, timeout=120, **options)


def unescape(name):
    """avahi-browse -p writes bytes outside [A-Za-z0-9-_] of a name as \\DDD (decimal)."""
    return re.sub(r"\\(\d{3})", lambda m: chr(int(m.group(1))), name)


def browse():
    """Resolved _uscan._tcp services: name -> (port, address, {key: value})."""
    result = run(["avahi-browse", "-rpt", "_uscan._tcp"])
    services = {}
    for line in result.stdout.decode(errors="replace").splitlines():
        fields = line.split(";", 9)
        if len(fields) < 10 or fields[0] != "=":
            continue
        txt = {}
        for item in re.findall(r'"((?:[^"\\]|\\.)*)"', fields[9]):
            key, _, value = item.partition("=")
            txt[key] = value
        services[unescape(fields[3])] = (int(fields[8]), fields[7], txt)
    return services


def http_get(path):
    connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read().decode(errors="replace")
    finally:
        connection.close()


def start_bus_and_avahi():
    """A system bus and an Avahi daemon of our own: /run is a fresh tmpfs in
    this mount namespace, so the machine's own are never touched."""
    subprocess.run(["ip", "link", "set", "lo", "multicast", "on"], check=True)
    os.makedirs("/run/dbus", exist_ok=True)
    os.makedirs("/run/avahi-daemon", exist_ok=True)
    subprocess.run(["dbus-daemon", "--system", "--fork"], check=True)
    with open(f"{WORK}/avahi-daemon.conf", "w") as out:
        out.write("[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                  "[publish]\npublish-workstation=no\n")
    start_avahi()


def stop_bus():
    try:
        with open("/run/dbus/pid") as handle:
            os.kill(int(handle.read().strip()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


def start_avahi():
    subprocess.run(["avahi-daemon", "-f", f"{WORK}/avahi-daemon.conf", "--no-rlimits", "--no-drop-root",
                    "--no-chroot", "-D"], check=True)
    if not wait_for(lambda: run(["avahi-daemon", "-c"]).returncode == 0, 20):
        raise RuntimeError("avahi-daemon did not come up")


def stop_avahi():
    run(["avahi-daemon", "-k"])
    wait_for(lambda: run(["avahi-daemon", "-c"]).returncode != 0, 20)


def capabilities(slug):
    status, text = http_get(f"/{slug}/eSCL/ScannerCapabilities")
    if status != 200:
        return None
    return {
        "uuid": (re.search(r"<scan:UUID>([^<]*)</scan:UUID>", text) or [None, None])[1],
        "model": (re.search(r"<pwg:MakeAndModel>([^<]*)</pwg:MakeAndModel>", text) or [None, None])[1],
        "platen": "<scan:Platen>" in text,
        "adf": "<scan:Adf>" in text,
        "colour": "RGB24" in text,
    }


def find_service(services, slug):
    for name, (port, address, txt) in services.items():
        if txt.get("rs") == f"{slug}/eSCL":
            return name, port, address, txt
    return None


def test_announcements(taken_name):
    for slug, admin in ((f"usb-{SERIAL}", None), (f"net-{NET_ADDRESS}", f"http://{NET_ADDRESS}/")):
        caps = capabilities(slug)
        if not check(caps is not None, f"{slug}: no capabilities"):
            continue
        wait_for(lambda: find_service(browse(), slug) is not None, 30, 0.5)
        found = find_service(browse(), slug)
        if not check(found is not None, f"{slug}: not announced: {browse()}"):
            continue
        name, port, address, txt = found
        check(port == PORT and address == "127.0.0.1", f"{slug}: announced at {address}:{port}")
        sources = [source for source, present in (("platen", caps["platen"]), ("adf", caps["adf"])) if present]
        expected = {
            "txtvers": "1",
            "vers": "2.63",
            "ty": caps["model"],
            "uuid": caps["uuid"],
            "pdl": ",".join(FORMATS),
            "cs": "color,grayscale" if caps["colour"] else "grayscale",
            "is": ",".join(sources),
            "duplex": "F",
        }
        for key, value in expected.items():
            check(txt.get(key) == value, f"{slug}: TXT {key}={txt.get(key)!r}, not {value!r}")
        check(txt.get("adminurl") == admin, f"{slug}: adminurl {txt.get('adminurl')!r}, not {admin!r}")
        check(name.startswith(caps["model"]), f"{slug}: service name {name!r}")
        if slug.startswith("usb-"):
            # Another service held the name first: the share took the next one.
            check(name != taken_name and name.startswith(taken_name), f"{slug}: name {name!r} beside {taken_name!r}")
    services = browse()
    check(taken_name in services and services[taken_name][0] == 9, f"the other service is gone: {services}")


def airscan_environment():
    write_sane_config(f"{WORK}/conf", "airscan", {"airscan.conf": "[options]\ndiscovery = enable\nws-discovery = off\n"})
    return sane_environment(f"{WORK}/conf")


def test_discovery_scan(usb_name):
    env = airscan_environment()
    listing = ""
    def listed():
        nonlocal listing
        listing = run(["scanimage", "-L"], env=env).stdout.decode(errors="replace")
        return usb_name in listing
    if not check(wait_for(listed, 60, 1), f"scanimage -L with discovery does not list {usb_name!r}: {listing!r}"):
        return
    match = re.search(r"device `(airscan:[^']*)' is .*" + re.escape(usb_name), listing)
    if not check(match is not None, f"no airscan device line for {usb_name!r}: {listing!r}"):
        return
    dpi = 100
    result = run(["scanimage", "-d", match.group(1), "--format=pnm", "--mode", "Gray", "--resolution", str(dpi)],
                 env=env)
    if not check(result.returncode == 0, f"discovered scan failed: {result.stderr.decode()[-600:]}"):
        return
    scanned = parse_pnm(result.stdout)
    # The whole platen, 215.9 x 297 mm, in 1/300 inch and then in pixels, each edge rounded.
    width, height = ((units * dpi + 150) // 300 for units in (2550, 3508))
    expected = chart(dpi, (0, 0, width, height), 8)
    if check(scanned is not None and expected is not None and scanned[1:3] == expected[1:3],
             f"discovered scan: shape {scanned[:3] if scanned else None}, the chart's {expected[:3] if expected else None}"):
        quality = psnr(scanned[3], expected[3])
        check(quality >= 30.0, f"discovered scan: PSNR {quality:.1f} dB below 30")


def test_avahi_restart():
    slug = f"usb-{SERIAL}"
    stop_avahi()
    check(http_get(f"/{slug}/eSCL/ScannerStatus")[0] == 200, "the share stopped serving while Avahi was gone")
    start_avahi()
    check(wait_for(lambda: find_service(browse(), slug) is not None, 30, 0.5),
          "not announced again after Avahi came back")
    check(find_service(browse(), f"net-{NET_ADDRESS}") is not None, "the network scanner was not announced again")


def test_unplug_and_replug(emulator_output):
    slug = f"usb-{SERIAL}"
    before = find_service(browse(), slug)
    # The emulator pulls the scanner out as the second page of its life begins.
    connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=60)
    connection.request("POST", f"/{slug}/eSCL/ScanJobs", body=SETTINGS, headers={"Content-Type": "text/xml"})
    response = connection.getresponse()
    response.read()
    location = response.getheader("Location")
    if location:
        try:
            connection.request("GET", location + "/NextDocument")
            connection.getresponse().read()
        except (ConnectionError, http.client.HTTPException):
            pass
    connection.close()
    unplugged_at = time.monotonic()
    check(wait_for(lambda: "unplugged" in emulator_output(), 30), "the emulator never unplugged the scanner")
    gone = wait_for(lambda: find_service(browse(), slug) is None, 20, 0.5)
    check(gone, "the unplugged scanner is still announced")
    if gone:
        check(time.monotonic() - unplugged_at < REPLUG_MS / 1000, "withdrawn only after the replug")
        check(http_get(f"/{slug}/eSCL/ScannerCapabilities")[0] == 404, "the unplugged scanner is still served")
        check(find_service(browse(), f"net-{NET_ADDRESS}") is not None, "the network scanner went with it")
    check(wait_for(lambda: "replugged" in emulator_output(), REPLUG_MS / 1000 + 30), "never replugged")
    again = wait_for(lambda: find_service(browse(), slug) is not None, 30, 0.5)
    if check(again, "the replugged scanner is not announced again") and before:
        check(find_service(browse(), slug)[3]["uuid"] == before[3]["uuid"], "the replugged scanner has a new uuid")
    # The replugged scanner scans again through the share.
    connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=120)
    try:
        connection.request("POST", f"/{slug}/eSCL/ScanJobs", body=SETTINGS, headers={"Content-Type": "text/xml"})
        response = connection.getresponse()
        response.read()
        location = response.getheader("Location")
        if check(response.status == 201 and location, f"a job after the replug: {response.status}"):
            connection.request("GET", location + "/NextDocument")
            response = connection.getresponse()
            page = response.read()
            check(response.status == 200 and page.startswith(b"\x89PNG") and len(page) > 1000,
                  f"the page after the replug: {response.status}, {len(page)} bytes")
            connection.request("DELETE", location)
            connection.getresponse().read()
    finally:
        connection.close()


def main():
    if os.environ.get("RUVO_MDNS_PRIVATE_HOST") != "1":
        # A host name of its own, so the machine's is never announced.
        os.environ["RUVO_MDNS_PRIVATE_HOST"] = "1"
        os.execvp("unshare", ["unshare", "-u", sys.executable] + sys.argv)
    subprocess.run(["hostname", HOST], check=True)
    if not os.path.exists(AIRSCAN_BACKEND):
        print("sane-airscan is not installed", file=sys.stderr)
        return 1
    os.makedirs(WORK, exist_ok=True)
    os.makedirs(SCAN_DIR, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "none", "/run"], check=True)  # no system bus yet
    processes = Processes()
    try:
        emulator_log = open(f"{WORK}/emulator.log", "w+")
        processes.add(start_usb_scanner_with_daemon(
            SERIAL, ["--pages", "3", "--unplug-at-page", "1", "--replug-after-ms", str(REPLUG_MS)], emulator_log))
        def emulator_output():
            with open(f"{WORK}/emulator.log") as handle:
                return handle.read()
        processes.add(start_network_scanner(NET_ADDRESS, record_dir=f"{WORK}/sim"))
        if not scanners_up([NET_ADDRESS]):
            raise RuntimeError("the daemon or the simulated scanner did not come up")
        with open(f"{WORK}/ruvo.conf", "w") as out:
            out.write(f"{NET_ADDRESS} K402ADN\n")
        with open(f"{WORK}/share.conf", "w") as out:
            out.write(f"port = {PORT}\nformats = {', '.join(FORMATS)}\nscanners-config = {WORK}/ruvo.conf\n")
        # The share starts before the system bus and Avahi, as it may at boot.
        share = processes.start([SHARE, "--foreground"], env=dict(os.environ, RUVO_SCAN_SHARE_CONFIG=f"{WORK}/share.conf"))
        if not wait_for(lambda: port_open("127.0.0.1", PORT)):
            raise RuntimeError("the share did not come up")
        start_bus_and_avahi()
        # The name the USB scanner would take is held by another service first:
        # the share tries the bus again only some seconds later.
        usb_name = f"Ruvo K402ADN ({SERIAL})"
        processes.start(["avahi-publish", "-s", usb_name, "_uscan._tcp", "9", "rs=elsewhere"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: usb_name in browse(), 20, 0.5)
        test_announcements(usb_name)
        announced = find_service(browse(), f"usb-{SERIAL}")
        test_discovery_scan(announced[0] if announced else usb_name)
        test_avahi_restart()
        test_unplug_and_replug(emulator_output)
        share.send_signal(signal.SIGTERM)
        check(share.wait(timeout=30) == 0, f"the share ended with {share.returncode}")
    finally:
        processes.stop()
        stop_avahi()
        stop_bus()
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
