"""What the end-to-end tests and benchmarks of the scan programs share: the
build tree's programs, polling, the rig of scan daemon, emulated USB scanner
and simulated network scanners, SANE front ends' environments, page checks,
and stopping every process a script started, by its id.

The scripts find this folder from their own path (they all sit two folders
below the checkout), so they run the same from CTest, a benchmark's or a
demo's shell script, or by hand."""
import contextlib
import ctypes
import math
import os
import re
import signal
import socket
import subprocess
import sys
import time

# Set by CTest's registration and by the run-bench and demo scripts.
BUILD = os.environ.get("RUVO_BUILD_DIR", "")
EMULATOR = f"{BUILD}/tools/usb-scanner-emulator/usb-scanner-emulator"
DAEMON = f"{BUILD}/RuvoScanDaemon/RuvoScanDaemon"
SIMULATOR = f"{BUILD}/tools/net-scanner-sim/net-scanner-sim"
CHART = f"{BUILD}/tools/scan-chart/scan-chart"
SHARE = f"{BUILD}/RuvoScanShare/RuvoScanShare"
SANE_BACKEND_DIR = f"{BUILD}/sane-backend"
SCAN_DIR = "/opt/ruvo/k40_series_printer/scan"
DAEMON_PORT = 7000
RECORD_CHANNEL_PORT = 2080
AIRSCAN_BACKEND = "/usr/lib/x86_64-linux-gnu/sane/libsane-airscan.so.1"

# The smallest eSCL job: one platen page, 8-bit grey PNG at 75 dpi.
ESCL_SETTINGS = ('<?xml version="1.0" encoding="UTF-8"?><scan:ScanSettings '
                 'xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03" '
                 'xmlns:pwg="http://www.pwg.org/schemas/2010/12/sm"><pwg:InputSource>Platen</pwg:InputSource>'
                 '<scan:ColorMode>Grayscale8</scan:ColorMode><pwg:DocumentFormat>image/png</pwg:DocumentFormat>'
                 '<scan:XResolution>75</scan:XResolution><scan:YResolution>75</scan:YResolution></scan:ScanSettings>')

# Every failed check of a run, so that one run reports them all.
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)
    return condition


def wait_for(condition, limit=30.0, step=0.05):
    """Polls until condition() holds or limit seconds have gone; whether it held at the last look."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(step)
    return bool(condition())


def port_open(address, port):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


def option(name, default):
    """An integer option of a benchmark's command line."""
    return int(sys.argv[sys.argv.index(name) + 1]) if name in sys.argv else default


# --- the rig --------------------------------------------------------------

def start_usb_scanner_with_daemon(serial, knobs=(), stdout=subprocess.DEVNULL):
    """The emulated USB scanner (product 0405) with the daemon running inside its test bed."""
    return subprocess.Popen([EMULATOR, "--chart", "--device", f"7a3e:0405:{serial}", *knobs, "--", DAEMON],
                            stdout=stdout)


def start_network_scanner(address, knobs=(), record_dir=None):
    """A simulated network scanner on address (ports 80, 5000 and 2080)."""
    arguments = [SIMULATOR, "--chart", "--address", address]
    if record_dir:
        os.makedirs(record_dir, exist_ok=True)
        arguments += ["--record-dir", record_dir]
    return subprocess.Popen(arguments + list(knobs), stdout=subprocess.DEVNULL)


def scanners_up(addresses, daemon_up=None):
    """Waits for the daemon (its TCP port unless daemon_up says otherwise) and each network scanner's record channel."""
    daemon_up = daemon_up or (lambda: port_open("127.0.0.1", DAEMON_PORT))
    return wait_for(lambda: daemon_up() and all(port_open(address, RECORD_CHANNEL_PORT) for address in addresses))


class Processes:
    """The processes a script started; stop() ends them in reverse order."""

    def __init__(self):
        self.started = []

    def start(self, arguments, **options):
        return self.add(subprocess.Popen(arguments, **options))

    def add(self, process):
        self.started.append(process)
        return process

    def stop(self, timeout=30):
        stop_processes(self.started, timeout)


def stop_process(process, timeout=30, kill=True):
    """SIGTERM, then at most timeout seconds. A process still running then is
    killed, or with kill=False left to fail the caller (TimeoutExpired)."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            if not kill:
                raise
            process.kill()
            process.wait()
    return process.returncode


def stop_processes(processes, timeout=30):
    for process in reversed(processes):
        stop_process(process, timeout)


def stop_all(processes, *owners, timeout=15):
    """The processes in reverse order, then whatever each owner (a desktop session, a private cupsd) started."""
    stop_processes(processes, timeout)
    for owner in owners:
        if owner:
            owner.stop()


def descendants(root):
    """The live processes below root; a killed one still waiting to be reaped is left out."""
    parents, dead = {}, set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as handle:
                    # The command name in brackets may hold spaces; the state and the parent follow it.
                    state, parent = handle.read().rsplit(")", 1)[1].split()[:2]
                parents[int(entry)] = int(parent)
                if state in ("Z", "X"):
                    dead.add(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    found, grew = set(), True
    while grew:
        grew = False
        for pid, parent in parents.items():
            if pid not in found and (parent == root or parent in found):
                found.add(pid)
                grew = True
    return found - dead


def kill_descendants(root, rounds=50):
    """SIGKILL to every process below root, by its id. A process forked while
    the first ones were being killed is found on the next round."""
    for _ in range(rounds):
        found = descendants(root)
        if not found:
            return
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.02)


def become_subreaper():
    """The daemon detaches: as a subreaper this process adopts it and all it forks."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_children():
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


@contextlib.contextmanager
def detached_daemon_and_network_scanner(work, address):
    """The daemon as its service starts it, and one simulated network scanner
    sending 64 KiB blocks, for the benchmarks; a SANE configuration in
    work/conf names the backend and that scanner. Everything is killed at the end."""
    become_subreaper()
    write_sane_config(f"{work}/conf", "ruvo", {"ruvo.conf": f"{address}\n"})
    subprocess.run([DAEMON], check=True)
    simulator = start_network_scanner(address, ["--block-sizes", "65536"])
    try:
        if not wait_for(lambda: port_open("127.0.0.1", DAEMON_PORT) and port_open(address, RECORD_CHANNEL_PORT), 15):
            raise RuntimeError("the daemon or the simulated scanner did not come up")
        yield
    finally:
        simulator.terminate()
        simulator.wait()
        kill_descendants(os.getpid())  # the daemon and its processes
        reap_children()


def local_socket_open():
    """The daemon's local socket (RUVO_SCAN_SOCKET, set by the isolated run) takes connections."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            probe.settimeout(1)
            probe.connect(os.environ["RUVO_SCAN_SOCKET"])
            return True
    except (OSError, KeyError):
        return False


# --- SANE front ends --------------------------------------------------------

def write_sane_config(folder, backend, files=None):
    """A SANE configuration folder whose dll.conf names only backend, with the backends' own files."""
    os.makedirs(folder, exist_ok=True)
    with open(f"{folder}/dll.conf", "w") as out:
        out.write(backend + "\n")
    for name, text in (files or {}).items():
        with open(f"{folder}/{name}", "w") as out:
            out.write(text)


def sane_environment(config_dir, library_dir=None):
    """A front end's environment: SANE's configuration from config_dir, backends
    from library_dir (none but the installed ones without it). With
    RUVO_SANE_PRELOAD set (sanitizer builds) the front end, which Debian builds
    without sanitizers, gets that runtime preloaded."""
    env = dict(os.environ)
    env["SANE_CONFIG_DIR"] = config_dir
    if library_dir:
        env["LD_LIBRARY_PATH"] = library_dir
    else:
        env.pop("LD_LIBRARY_PATH", None)
    preload = os.environ.get("RUVO_SANE_PRELOAD")
    if preload:
        env["LD_PRELOAD"] = preload
        # scanimage and Debian's libsane are not ours to keep leak-free.
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def scanimage_to_file(arguments, env, path):
    """scanimage writing its page to path; its peak RSS in KiB."""
    with open(path, "wb") as out:
        child = subprocess.Popen(["scanimage", *arguments], env=env, stdout=out)
        _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        raise RuntimeError(f"scanimage ended with {status}")
    return usage.ru_maxrss


def interrupt_scan(scan, events_log, settle=10):
    """Ctrl-C to scanimage mid-page: it ends, its page files go within settle
    seconds, and the scanner, whose events are in events_log, got the abort."""
    scan.send_signal(signal.SIGINT)
    try:
        scan.wait(timeout=30)
    except subprocess.TimeoutExpired:
        scan.kill()
        check(False, "cancel: scanimage did not end after SIGINT")
    check(wait_for(lambda: page_files() == [], settle), f"cancel: page files left behind: {page_files()}")
    with open(events_log) as handle:
        check("abort" in handle.read().split(), "cancel: the scanner never received the abort")


# --- pages ------------------------------------------------------------------

def page_files():
    return sorted(name for name in os.listdir(SCAN_DIR) if name.startswith("ruvoscandata_"))


def page_begun():
    """The daemon has written bytes of a page file."""
    files = page_files()
    return len(files) > 0 and os.path.getsize(f"{SCAN_DIR}/{files[0]}") > 0


def parse_pnm(data):
    """(magic, width, height, pixel bytes) of a binary PNM."""
    match = re.match(rb"(P[456])\s+(?:#[^\n]*\n\s*)*(\d+)\s+(\d+)\s+(?:(\d+)\s)?", data)
    if not match:
        return None
    magic, width, height = match.group(1), int(match.group(2)), int(match.group(3))
    if magic != b"P4" and match.group(4) is None:
        return None
    return magic, width, height, data[match.end():]


def chart(dpi, area, depth, page=0, lines=None):
    """The test chart as the scanners scan it: area in pixels (x, y, width, height)."""
    arguments = [CHART, "render", "--resolution", str(dpi), "--area", ",".join(map(str, area)),
                 "--depth", str(depth), "--page", str(page)]
    if lines is not None:
        arguments += ["--lines", str(lines)]
    return parse_pnm(subprocess.run(arguments, capture_output=True, check=True).stdout)


def feeder_lines(y_start, height, dpi, sheet_mm):
    """Lines of a feeder page: whole lines whose centre lies on a sheet sheet_mm long."""
    sheet = sheet_mm * 1000000 * 10 // 254
    lines = 0
    while lines < height and (2 * (y_start + lines) + 1) * 1000000 // (2 * dpi) < sheet:
        lines += 1
    return lines


def psnr(first, second):
    """Peak signal-to-noise ratio of two 8-bit sample strings in dB; 99 for equal ones, 0 for unlike shapes."""
    if len(first) != len(second) or not first:
        return 0.0
    total = sum((a - b) * (a - b) for a, b in zip(first, second))
    if total == 0:
        return 99.0
    return 10 * math.log10(255 * 255 / (total / len(first)))


def proc_status(pid):
    """The first word of each field of /proc/PID/status."""
    values = {}
    with open(f"/proc/{pid}/status") as handle:
        for line in handle:
            key, _, value = line.partition(":")
            values[key] = value.split()[0] if value.split() else ""
    return values


def peak_rss_kib(pid):
    return int(proc_status(pid).get("VmHWM", 0))
