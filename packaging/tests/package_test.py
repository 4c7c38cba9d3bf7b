#!/usr/bin/python3
"""The Debian packages as a user gets them, without touching the machine.

usage: package_test.py <source tree> <work folder> <version>

1. Builds both packages with dpkg-buildpackage from a copy of the source tree
   whose parent folder is the test's own (the .deb files land there).
2. Runs lintian: no error, and no override but the one for /opt.
3. In a private mount namespace, mounts an overlay over / (its upper layer a
   tmpfs of the namespace), chroots into it and, as root there: installs the
   package the old CMake-built package was, upgrades it with the new packages,
   checks what they installed and made, runs the scan daemon as its unit runs
   it against an emulated scanner and a queue installation against a private
   cupsd (ruvo-k40-simulate scan|queues), then removes and purges both.
4. Compares the overlay's upper layer with / : after the purge nothing of the
   packages may be left.
Everything written lands in the overlay and vanishes with the namespace.
"""
import os
import re
import shutil
import stat
import subprocess
import sys
import time

PRODUCT = "/opt/ruvo/k40_series_printer"
PRODUCT_PACKAGE = "ruvo-k40-series-printer"
SIMULATORS_PACKAGE = "ruvo-k40-series-simulators"
PROGRAMS = ["RuvoPrinterTool", "RuvoNetTool", "ruvoK40FW", "RuvoScanDaemon", "RuvoPrintUpdate",
            "RuvoPrintRemove", "RuvoPrintWatchdog", "RuvoScanShare"]
CONSOLE_PROGRAMS = ["RuvoScanDaemon", "RuvoPrintUpdate", "RuvoPrintRemove", "RuvoPrintWatchdog", "RuvoScanShare"]
UNITS = ["ruvo-scan-daemon.service", "ruvo-print-watchdog.service", "ruvo-print-watchdog.path",
         "ruvo-scan-share.service"]
ENABLE_LINKS = {"/etc/systemd/system/multi-user.target.wants/ruvo-scan-daemon.service":
                "/lib/systemd/system/ruvo-scan-daemon.service",
                "/etc/systemd/system/multi-user.target.wants/ruvo-scan-share.service":
                "/lib/systemd/system/ruvo-scan-share.service",
                "/etc/systemd/system/paths.target.wants/ruvo-print-watchdog.path":
                "/lib/systemd/system/ruvo-print-watchdog.path"}
RULES = "/lib/udev/rules.d/55-ruvo-k40-series-printer.rules"
DESKTOP_ENTRIES = ["ruvo-printer-tool.desktop", "ruvo-net-tool.desktop", "ruvo-firmware-update.desktop"]
INSTALLER_LIST = "/tmp/ruvo_printerlist.ini"

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def run(command, **options):
    """Runs a command from an argument list; returns (exit status, output)."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", **options)
    return result.returncode, result.stdout


def step(title):
    print(f"=== {title}", flush=True)


def timed(title, function, *arguments):
    step(title)
    start = time.monotonic()
    value = function(*arguments)
    print(f"--- {title}: {time.monotonic() - start:.1f} s", flush=True)
    return value


# ---------------------------------------------------------------------------
# Outside: build, lint, the old package, the overlay.

def copy_tree(source, target):
    """The files of the checkout (git's list when there is one), build folders left out."""
    # A linked worktree's .git is a file naming the repository.
    if os.path.exists(os.path.join(source, ".git")):
        status, output = run(["git", "-C", source, "ls-files", "-co", "--exclude-standard", "-z"])
        if status == 0:
            for name in output.split("\0"):
                if not name or name.startswith("build-") or not os.path.lexists(os.path.join(source, name)):
                    continue
                os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
                shutil.copy2(os.path.join(source, name), os.path.join(target, name), follow_symlinks=False)
            return
    shutil.copytree(source, target, symlinks=True,
                    ignore=lambda folder, names: [n for n in names if n.startswith("build") or n == ".git"])


def build_packages(source, work):
    parent = os.path.join(work, "src")
    tree = os.path.join(parent, PRODUCT_PACKAGE)
    copy_tree(source, tree)
    environment = dict(os.environ, DEB_BUILD_OPTIONS=f"parallel={os.cpu_count() or 2}")
    status, output = run(["dpkg-buildpackage", "-b", "-us", "-uc"], cwd=tree, env=environment)
    if status != 0:
        print(output[-6000:])
    check(status == 0, "dpkg-buildpackage -b -us -uc")
    debs = {}
    for name in os.listdir(parent):
        match = re.match(r"(ruvo-k40-series-[a-z-]+)_([^_]+)_[a-z0-9]+\.deb$", name)
        if match:
            debs[match.group(1)] = os.path.join(parent, name)
    changes = [os.path.join(parent, n) for n in os.listdir(parent) if n.endswith(".changes")]
    return debs, changes


def lint(changes):
    # Overridden tags count for --fail-on when shown: judge without them, then
    # list them.
    status, output = run(["lintian", "--fail-on", "error", "--display-info", "--pedantic", *changes])
    lines = [line for line in output.splitlines() if re.match(r"^[EWIPX]: ", line)]
    for line in lines:
        print("  " + line)
    errors = [line for line in lines if line.startswith("E: ")]
    check(status == 0 and not errors, f"lintian: no errors ({len(errors)} found, exit status {status})")
    _, output = run(["lintian", "--show-overrides", *changes])
    overrides = {re.sub(r" \[.*", "", line) for line in output.splitlines() if line.startswith("O: ")}
    check(overrides == {f"O: {PRODUCT_PACKAGE}: dir-or-file-in-opt"},
          f"lintian: the one override is the product directory in /opt ({sorted(overrides)})")


def old_package(work):
    """A package as `cpack -G DEB` built it before: the same name, version 1.0.0,
    the programs and the simulator as ruvoK40Service in bin/, the data folders."""
    root = os.path.join(work, "old-package")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "DEBIAN"))
    for folder in ("bin", "cfg", "temp", "log", "scan"):
        os.makedirs(os.path.join(root, PRODUCT.lstrip("/"), folder))
    for name in ("RuvoPrinterTool", "ruvoK40Service", "RuvoScanDaemon"):
        path = os.path.join(root, PRODUCT.lstrip("/"), "bin", name)
        with open(path, "w") as program:
            program.write("#!/bin/sh\nexit 0\n")
        os.chmod(path, 0o755)
    for name in ("ruvo-k40-tool-autostart.desktop", "Ruvo.png"):
        with open(os.path.join(root, PRODUCT.lstrip("/"), "bin", name), "w") as data:
            data.write("old\n")
    with open(os.path.join(root, "DEBIAN", "control"), "w") as control:
        control.write(f"Package: {PRODUCT_PACKAGE}\nVersion: 1.0.0\nArchitecture: amd64\n"
                      "Maintainer: Ruvo suite developers <suite@ruvo.invalid>\nSection: utils\n"
                      "Priority: optional\nDescription: Ruvo K40 series printer companion suite\n")
    path = os.path.join(work, "old.deb")
    status, output = run(["dpkg-deb", "--root-owner-group", "--build", root, path])
    check(status == 0, "the old package builds")
    return path


def in_overlay(work, source, debs, old, version):
    """Re-runs this script inside a private mount namespace (see overlay_stage)."""
    status, output = run(["unshare", "-m", "--propagation", "private", sys.executable, "-B", __file__,
                          "--overlay", work, source, debs[PRODUCT_PACKAGE], debs[SIMULATORS_PACKAGE], old, version])
    print(output, end="")
    for line in output.splitlines():
        if line.startswith("FAIL "):
            failures.append(line[5:])
    check(status == 0, "install, use, remove and purge in the overlay")


def overlay_stage(work, source, product_deb, simulators_deb, old, version):
    layer = os.path.join(work, "overlay")
    os.makedirs(layer, exist_ok=True)
    run(["mount", "-t", "tmpfs", "-o", "mode=0755", "ruvo-package-test", layer])
    upper, scratch, merged = (os.path.join(layer, name) for name in ("upper", "work", "merged"))
    for folder in (upper, scratch, merged):
        os.makedirs(folder)
    status, output = run(["mount", "-t", "overlay", "overlay", "-o",
                          f"lowerdir=/,upperdir={upper},workdir={scratch}", merged])
    if not check(status == 0, "overlay over / " + output.strip()):
        return 1
    for folder in ("proc", "dev", "sys"):
        run(["mount", "--rbind", "/" + folder, os.path.join(merged, folder)])
    for folder in ("tmp", "run"):
        run(["mount", "-t", "tmpfs", "-o", "mode=1777" if folder == "tmp" else "mode=0755", "none",
             os.path.join(merged, folder)])
    inside = os.path.join(merged, "tmp", "package-test")
    os.makedirs(inside)
    for path in (product_deb, simulators_deb, old, __file__,
                 os.path.join(source, "common", "printers", "model_rows.h")):
        shutil.copy(path, inside)
    names = [os.path.basename(p) for p in (product_deb, simulators_deb, old)]
    start = time.monotonic()
    status = subprocess.call(["chroot", merged, "/usr/bin/python3", "-B", "/tmp/package-test/" +
                              os.path.basename(__file__), "--inside", *names, version],
                             env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1", LC_ALL="C.UTF-8"))
    print(f"--- inside the overlay: {time.monotonic() - start:.1f} s", flush=True)
    for folder in ("tmp", "run"):
        run(["umount", os.path.join(merged, folder)])
    for folder in ("proc", "dev", "sys"):
        run(["umount", "-R", os.path.join(merged, folder)])
    step("nothing of the packages is left on the system")
    leftovers = compare_upper(upper)
    for path in leftovers:
        print("  left: /" + path)
    check(not leftovers, f"nothing left after the purge ({len(leftovers)} path(s))")
    return 0 if status == 0 and not failures else 1


# Changes the purge leaves on purpose: dpkg's own records and logs, caches
# that triggers refresh, and the account files (compared by content below).
ALLOWED_CHANGES = re.compile(
    r"^(var/lib/dpkg/|var/log/|var/cache/|var/lib/systemd/deb-systemd-helper-(enabled|masked)(/|$)"
    r"|etc/(passwd|group|shadow|gshadow|subuid|subgid)-$|etc/\.pwd\.lock$|tmp(/|$)|run(/|$))")


def compare_upper(upper):
    """Paths the overlay's upper layer holds that differ from the machine's /."""
    leftovers = []
    for folder, directories, files in os.walk(upper):
        relative_folder = os.path.relpath(folder, upper)
        for name in directories + files:
            relative = os.path.normpath(os.path.join(relative_folder, name))
            path = os.path.join(folder, name)
            original = "/" + relative
            if ALLOWED_CHANGES.match(relative) or ALLOWED_CHANGES.match(relative + "/"):
                continue
            info = os.lstat(path)
            if stat.S_ISCHR(info.st_mode) and info.st_rdev == 0:
                leftovers.append(relative + " (deleted from the system)")
            elif stat.S_ISDIR(info.st_mode):
                if not os.path.isdir(original) or os.path.islink(original):
                    leftovers.append(relative + "/")
            elif stat.S_ISLNK(info.st_mode):
                if not os.path.islink(original) or os.readlink(original) != os.readlink(path):
                    leftovers.append(relative)
            elif not os.path.isfile(original) or os.path.islink(original) or not same_content(path, original):
                leftovers.append(relative)
    return sorted(leftovers)


def same_content(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        return first.read() == second.read()


# ---------------------------------------------------------------------------
# Inside the overlay, as root of the chroot.

def model_table(header):
    """Vendor id and the product ids of the model table, read from its source."""
    text = open(header, encoding="utf-8").read()
    vendor = int(re.search(r"kVendorId\s*=\s*0x([0-9A-Fa-f]+)", text).group(1), 16)
    rows = re.findall(r'\{"([A-Z0-9]+)",\s*0x([0-9A-Fa-f]+)\}', text)
    return vendor, {code: int(product, 16) for code, product in rows}


def parse_rules(path):
    """(vendor, product) -> the rule's assignments, for every line that matches one device."""
    devices = {}
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        parts = dict((key + op.replace("==", "?").replace("+=", "+").replace("=", ""), value)
                     for key, op, value in re.findall(r'([A-Za-z_]+(?:\{[A-Za-z_]+\})?)(==|\+=|=|!=)"([^"]*)"', line))
        if "ATTR{idProduct}?" in parts:
            key = (int(parts["ATTR{idVendor}?"], 16), int(parts["ATTR{idProduct}?"], 16))
            check(key not in devices, f"one rule for {key[0]:04x}:{key[1]:04x}")
            devices[key] = parts
    return devices


def unit_value(path, key):
    for line in open(path, encoding="utf-8"):
        if line.startswith(key + "="):
            return line.split("=", 1)[1].strip()
    return None


def package_files(package):
    status, output = run(["dpkg-query", "-L", package])
    return [line for line in output.splitlines() if line.startswith("/")] if status == 0 else []


def inside(product_deb, simulators_deb, old_deb, version):
    os.chdir("/tmp/package-test")
    os.environ["PATH"] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

    step("the package the old CMake build made")
    status, output = run(["dpkg", "-i", old_deb])
    check(status == 0, "dpkg -i old package " + output.strip()[-300:])
    check(os.path.isfile(PRODUCT + "/bin/ruvoK40Service"), "the old package put the simulator in as ruvoK40Service")

    step("upgrade to the new packages, a printer list waiting and no CUPS running")
    with open(INSTALLER_LIST, "w") as printer_list:
        printer_list.write("[Main]\nCount=1\n[printer_0]\nName=Office_K400\nModel=Ruvo K400\nConnectType=1\n"
                           "Port=serial=A1\nURI=usb://Ruvo/K400?serial=A1\n")
    environment = dict(os.environ, CUPS_SERVER="/run/no-cupsd/cups.sock")
    start = time.monotonic()
    status, output = run(["dpkg", "-i", product_deb, simulators_deb], env=environment)
    print(f"--- dpkg -i: {time.monotonic() - start:.1f} s")
    print(output)
    check(status == 0, "dpkg -i of both packages upgrades the old one")
    check("not every print queue was created" in output and "\"Office_K400\"" in output,
          "the failed queue is reported, and the installation goes on")
    check(os.path.isfile(INSTALLER_LIST), "the printer list is kept for a later run")
    status, output = run(["dpkg-query", "-W", "-f", "${Version} ${Status}", PRODUCT_PACKAGE])
    check(output == f"{version} install ok installed", f"installed version {output}")

    step("files, modes and the data folders")
    files = package_files(PRODUCT_PACKAGE) + package_files(SIMULATORS_PACKAGE)
    check(not any(os.path.basename(path) == "ruvoK40Service" for path in files),
          "no package installs anything named ruvoK40Service")
    for stale in ("ruvoK40Service", "Ruvo.png"):
        check(not os.path.lexists(f"{PRODUCT}/bin/{stale}"), f"the old bin/{stale} is gone")
    for program in PROGRAMS:
        path = f"{PRODUCT}/bin/{program}"
        check(os.path.isfile(path) and stat.S_IMODE(os.stat(path).st_mode) == 0o755, f"{path} 0755")
    tree = [PRODUCT] + [os.path.join(folder, name) for folder, dirs, names in os.walk(PRODUCT) for name in dirs + names]
    open_paths = [path for path in set(files + tree) if os.path.lexists(path) and not os.path.islink(path)
                  and (os.lstat(path).st_mode & (stat.S_IWOTH | stat.S_ISUID | stat.S_ISGID))]
    check(not open_paths, f"nothing world-writable, set-user or set-group ({sorted(open_paths)})")

    account = unit_value("/lib/systemd/system/ruvo-scan-daemon.service", "User")
    status, entry = run(["getent", "passwd", account or "-"])
    fields = entry.strip().split(":")
    check(status == 0 and len(fields) == 7 and int(fields[2]) < 1000 and fields[6].endswith("nologin"),
          f"system account {account}: {entry.strip()}")
    uid = int(fields[2]) if len(fields) == 7 else -1
    for folder, owner in (("cfg", 0), ("temp", 0), ("log", 0), ("scan", uid)):
        info = os.stat(f"{PRODUCT}/{folder}")
        check(stat.S_IMODE(info.st_mode) == 0o755 and info.st_uid == owner,
              f"{folder}/ mode {stat.S_IMODE(info.st_mode):o} owner {info.st_uid}, wanted 755 and {owner}")

    step("the udev rules cover exactly the model table")
    vendor, models = model_table("model_rows.h")
    rules = parse_rules(RULES)
    check(len(models) == 21, f"the table has 21 models ({len(models)})")
    check(set(rules) == {(vendor, product) for product in models.values()},
          f"one rule per model and no other ({len(rules)} rules)")
    for key, parts in sorted(rules.items()):
        scanner = "A" in next(code for code, product in models.items() if product == key[1])
        check(parts.get("SUBSYSTEM?") == "usb" and parts.get("ENV{DEVTYPE}?") == "usb_device"
              and parts.get("TAG+") == "uaccess" and parts.get("GROUP") == account
              and parts.get("ENV{libsane_matched}") == ("yes" if scanner else None),
              f"{key[0]:04x}:{key[1]:04x}: usb device node, uaccess, group {account}, SANE only with a scanner")
    postinst = open(f"/var/lib/dpkg/info/{PRODUCT_PACKAGE}.postinst", encoding="utf-8").read()
    check(f"vendor_id={vendor:04x}" in postinst and f"account={account}" in postinst,
          "the maintainer scripts trigger the table's vendor id and create the unit's account")

    step("systemd units")
    for link, target in ENABLE_LINKS.items():
        check(os.path.islink(link) and os.readlink(link) == target, f"enabled: {link} -> {target}")
    prerm = open(f"/var/lib/dpkg/info/{PRODUCT_PACKAGE}.prerm", encoding="utf-8").read()
    stopped = " ".join(re.findall(r"deb-systemd-invoke stop (.*?) >", prerm))
    check(all(f"'{unit}'" in stopped for unit in UNITS), f"removal stops every unit where systemd runs ({stopped})")
    status, output = run(["systemd-analyze", "verify"] + ["/lib/systemd/system/" + unit for unit in UNITS])
    check(status == 0 and not output.strip(), "systemd-analyze verify: " + (output.strip() or "clean"))
    status, output = run(["systemd-analyze", "security", "--offline=true", "--no-pager",
                          "/lib/systemd/system/ruvo-scan-daemon.service"])
    exposure = re.search(r"Overall exposure level for \S+: ([0-9.]+) (\S+)", output)
    print("  scan daemon exposure: " + (" ".join(exposure.groups()) if exposure else output.strip()[-200:]))
    check(exposure is not None and float(exposure.group(1)) <= 2.3, "scan daemon exposure at most 2.3")

    step("menu entries, icons, autostart template")
    for entry in [f"/usr/share/applications/{name}" for name in DESKTOP_ENTRIES] + \
            [f"{PRODUCT}/bin/ruvo-k40-tool-autostart.desktop"]:
        status, output = run(["desktop-file-validate", entry])
        check(status == 0 and not output.strip(), f"desktop-file-validate {entry} {output.strip()}")
        executable = unit_value(entry, "Exec").split()[0]
        icon = unit_value(entry, "Icon")
        check(os.access(executable, os.X_OK), f"{entry}: Exec {executable}")
        check(any(os.path.isfile(f"/usr/share/icons/hicolor/{size}/apps/{icon}.{kind}")
                  for size, kind in (("scalable", "svg"), ("64x64", "png"))), f"{entry}: Icon {icon}")
    for program in CONSOLE_PROGRAMS:
        check(os.path.isfile(f"/usr/share/man/man8/{program}.8.gz"), f"manual page {program}(8)")

    step("programs: hardening, symbols, command lines")
    for program in PROGRAMS:
        path = f"{PRODUCT}/bin/{program}"
        _, headers = run(["readelf", "-lWd", path])
        _, sections = run(["readelf", "-SW", path])
        _, symbols = run(["readelf", "--dyn-syms", "-W", path])
        check("GNU_RELRO" in headers and "BIND_NOW" in headers and "Elf file type is DYN" in headers
              and re.search(r"FLAGS_1.*PIE", headers) is not None, f"{program}: PIE, RELRO, BIND_NOW")
        check(".debug_info" not in sections, f"{program}: stripped")
        check("__stack_chk_fail" in symbols, f"{program}: stack protector")
    _, symbols = run(["readelf", "--dyn-syms", "-W", f"{PRODUCT}/bin/RuvoScanDaemon"])
    check(re.search(r"__\w+_chk", symbols) is not None, "RuvoScanDaemon: fortified calls")
    for program in PROGRAMS:
        status, output = run([f"{PRODUCT}/bin/{program}", "--version"], env={"PATH": os.environ["PATH"]})
        check(status == 0 and output.strip().endswith(" " + version), f"{program} --version: {output.strip()}")
    for program in CONSOLE_PROGRAMS:
        status, output = run([f"{PRODUCT}/bin/{program}", "--no-such-option"])
        check(status == 2 and "usage:" in output, f"{program} refuses an unknown argument")

    step("the scan daemon, as its unit runs it, against an emulated scanner")
    start = time.monotonic()
    status, output = run(["ruvo-k40-simulate", "scan", "--pages", "3"])
    print(output, end="")
    print(f"--- ruvo-k40-simulate scan: {time.monotonic() - start:.1f} s")
    check(status == 0 and output.count("identical to what the scanner sent") == 3, "three pages scanned")
    check(re.search(r"^device `ruvo:usb:[0-9a-f]{4}:RS000001' is a Ruvo ", output, re.MULTILINE) is not None,
          "scanimage lists the scanner through the installed SANE backend")
    daemon = re.search(r"^daemon: pid \d+, (.*)$", output, re.MULTILINE)
    identity = daemon.group(1) if daemon else ""
    check(re.search(rf"Uid: {uid} {uid} {uid} {uid}", identity) is not None, f"the daemon ran as {account}")
    check("CapAmb: 0000000000000000" in identity and "CapEff: 0000000000000000" in identity,
          "it has no capability")
    check("NoNewPrivs: 1" in identity, "without new privileges")

    step("a queue installation through the installed programs, private cupsd")
    start = time.monotonic()
    status, output = run(["ruvo-k40-simulate", "queues"])
    print(output, end="")
    print(f"--- ruvo-k40-simulate queues: {time.monotonic() - start:.1f} s")
    check(status == 0 and "queues created and removed through the installed programs" in output,
          "queues created and removed")

    step("remove, then purge")
    os.remove(INSTALLER_LIST)
    status, output = run(["dpkg", "-r", SIMULATORS_PACKAGE, PRODUCT_PACKAGE])
    check(status == 0, "dpkg -r " + output.strip()[-300:])
    check(not os.path.exists(f"{PRODUCT}/bin/RuvoScanDaemon") and not os.path.exists(RULES), "programs and rules removed")
    check(all(os.path.isdir(f"{PRODUCT}/{folder}") for folder in ("scan", "cfg")), "data folders kept until purge")
    status, output = run(["dpkg", "--purge", SIMULATORS_PACKAGE, PRODUCT_PACKAGE])
    check(status == 0, "dpkg --purge " + output.strip()[-300:])
    check(not os.path.lexists("/opt/ruvo"), "the product directory is gone")
    check(run(["getent", "passwd", account or "-"])[0] != 0 and run(["getent", "group", account or "-"])[0] != 0,
          "the account and its group are gone")
    for link in ENABLE_LINKS:
        check(not os.path.lexists(link), f"{link} is gone")
    return 0 if not failures else 1


def main():
    if sys.argv[1] == "--inside":
        return inside(*sys.argv[2:6])
    if sys.argv[1] == "--overlay":
        return overlay_stage(*sys.argv[2:8])
    source, work, version = sys.argv[1:4]
    if os.geteuid() != 0:
        print("package_test: needs root (dpkg in an overlay of /)")
        return 77
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    start = time.monotonic()
    debs, changes = timed("dpkg-buildpackage", build_packages, source, work)
    if failures or set(debs) < {PRODUCT_PACKAGE, SIMULATORS_PACKAGE}:
        check(False, f"packages built: {sorted(debs)}")
        return 1
    timed("lintian", lint, changes)
    old = old_package(work)
    timed("overlay", in_overlay, work, source, debs, old, version)
    print(f"--- package test: {time.monotonic() - start:.1f} s in all")
    if failures:
        print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
