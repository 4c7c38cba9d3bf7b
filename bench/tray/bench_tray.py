#!/usr/bin/python3
"""64 listed printers with steady status files: CPU time and peak RSS of the
tray application over 60 s against an idle Qt application running beside it,
then the delay from a status file rewrite to the table cell showing it, read
from outside over the accessibility bus.

usage: bench_tray.py <RuvoPrinterTool> <idle Qt baseline> [item-host]
With "item-host" the steady phase runs beside a StatusNotifierItem host and
its watcher instead of the XEmbed tray."""
import os
import statistics
import warnings
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from desktop_session import Accessible, DesktopSession, wait_for  # noqa: E402
from ruvo_rig import peak_rss_kib, stop_all  # noqa: E402

warnings.simplefilter("ignore", DeprecationWarning)  # the table interface's old name is the one this gi has
PRINTERS = 64
STEADY_SECONDS = 60
REWRITES = 20
CFG = "/opt/ruvo/k40_series_printer/cfg/"
TICKS = os.sysconf("SC_CLK_TCK")


def reply(status, toner):
    """One status reply: header, three texts, status, two short texts, no
    errors or warnings, three reserved fields, one supply (remaining toner)."""
    def text16(b):
        return len(b).to_bytes(2, "big") + b
    out = b"BENCH\x00\x00" + b"\x00" * 5
    out += text16(b"Ruvo") + text16(b"Ruvo K400") + text16(b"SN")
    out += b"\x00\x00" + bytes([status]) + b"\x02V1" + b"\x00"
    out += b"\x00" + b"\x00"                       # no errors, no warnings
    out += b"\x00" + b"\x00\x00" + b"\x00\x00"      # reserved
    out += b"\x01" + (0x1000).to_bytes(2, "big") + b"\x02" + toner.to_bytes(2, "big")
    return out


def write_atomically(path, data):
    temporary = path + ".part"
    with open(temporary, "wb") as f:
        f.write(data)
    os.rename(temporary, path)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def peak_rss_mib(pid):
    return peak_rss_kib(pid) / 1024.0


def main():
    tool, baseline = sys.argv[1], sys.argv[2]
    item_host = len(sys.argv) > 3 and sys.argv[3] == "item-host"
    os.makedirs(CFG, exist_ok=True)
    lines = ["[Main]", "Count=%d" % PRINTERS]
    for i in range(PRINTERS):
        lines += ["[printer_%d]" % i, "Name=P%02d" % i, "Model=Ruvo K400", "ConnectType=%d" % (1 if i % 2 else 2),
                  "Port=192.168.1.%d" % (i + 10), "URI=socket://192.168.1.%d" % (i + 10)]
        write_atomically(CFG + "P%02d.dat" % i, reply(0x00, 5000 + i))
    write_atomically(CFG + "printerlist.ini", ("\n".join(lines) + "\n").encode())

    # Steady phase, on a desktop without the accessibility bridge (it would
    # weigh on both programs alike): nobody asks the window anything.
    session = DesktopSession(tempfile.mkdtemp(prefix="ruvo-bench-"), 1024, 600)
    processes = []
    try:
        session.start(tray=not item_host, accessibility=False)
        if item_host:
            session.start_item_host()
        app = subprocess.Popen([tool], env=session.env)
        idle = subprocess.Popen([baseline], env=session.env)
        processes += [app, idle]
        # One thread per printer's status worker, the list worker's and Qt's own.
        wait_for(lambda: len(os.listdir("/proc/%d/task" % app.pid)) > PRINTERS + 1, 60, "the status workers")
        time.sleep(3)  # every worker has read its file once
        start_app, start_idle = cpu_seconds(app.pid), cpu_seconds(idle.pid)
        time.sleep(STEADY_SECONDS)
        used_app = cpu_seconds(app.pid) - start_app
        used_idle = cpu_seconds(idle.pid) - start_idle
        rss_app, rss_idle = peak_rss_mib(app.pid), peak_rss_mib(idle.pid)
    finally:
        stop_all(processes, session)

    session = DesktopSession(tempfile.mkdtemp(prefix="ruvo-bench-"), 1024, 600)
    processes = []
    try:
        session.start()
        app = subprocess.Popen([tool], env=session.env)
        processes.append(app)
        a11y = Accessible()
        main_app = wait_for(lambda: a11y.applications("RuvoPrinterTool"), 60, "the tray application")[0]
        frame = wait_for(lambda: a11y.find(main_app, name="Ruvo打印助手"), 60, "the main window")
        table = wait_for(lambda: a11y.find(frame, role="table"), 60, "the table")
        wait_for(lambda: len(a11y.table_cells(table)) == PRINTERS
                 and all(row[3] == "就绪" for row in a11y.table_cells(table)), 120, "64 ready rows")

        # Delay phase: rewrite one printer's file, poll its toner cell.
        table_iface = table.get_table_iface()
        delays = []
        read_times = []
        for n in range(REWRITES):
            row = (n * 7) % PRINTERS
            toner = 6000 + n
            expected = "%.2f%%" % (toner / 100.0)

            def cell_text():
                begin = time.monotonic()
                if table_iface is not None:
                    cell = table_iface.get_accessible_at(row, 2)
                    text = cell.get_name() if cell is not None else ""
                else:
                    text = a11y.table_cells(table)[row][2]
                read_times.append(time.monotonic() - begin)
                return text == expected
            written = time.monotonic()
            write_atomically(CFG + "P%02d.dat" % row, reply(0x00, toner))
            wait_for(cell_text, 30, "row %d to show %s" % (row, expected), interval=0.01)
            delays.append(time.monotonic() - written)
            time.sleep(0.7)

        core = STEADY_SECONDS
        print("tray benchmark: %d printers, steady status files, %d s, beside %s"
              % (PRINTERS, STEADY_SECONDS, "an item host" if item_host else "an XEmbed tray"))
        print("  CPU      RuvoPrinterTool %6.2f %% of one core   idle Qt app %6.2f %%   difference %.2f points   (aim < 1 %%)"
              % (100 * used_app / core, 100 * used_idle / core, 100 * (used_app - used_idle) / core))
        print("  peak RSS RuvoPrinterTool %6.1f MiB             idle Qt app %6.1f MiB ratio %.2f   (aim < 80 MiB)"
              % (rss_app, rss_idle, rss_app / rss_idle))
        print("  delay from file rewrite to table cell over %d rewrites: median %.3f s, worst %.3f s   (aim worst < 1.2 s)"
              % (REWRITES, statistics.median(delays), max(delays)))
        print("  (one accessibility read of a cell, the measuring floor: median %.4f s)" % statistics.median(read_times))
        return 0
    finally:
        stop_all(processes, session)


if __name__ == "__main__":
    sys.exit(main())
