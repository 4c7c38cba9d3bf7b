#!/usr/bin/env bash
# simple-scan scans a page from the emulated USB scanner and one from the
# simulated network scanner, through the SANE backend "ruvo" (loaded from the
# build tree) and the scan daemon, on a virtual display; the screenshots land
# in the output folder. Runs in private mount and network namespaces
# (scripts/isolated-run): the real /opt, /tmp and network are never touched.
#   scripts/sane-demo.sh [output folder]     (as root; default build-sane-demo/shots)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-sane-demo
out=$(realpath -m "${1:-$build/shots}")

if [ "$(id -u)" -ne 0 ]; then
  echo "sane-demo: needs root (private namespaces, packages)" >&2
  exit 1
fi
bash scripts/setup.sh
echo "=== building the backend, the daemon and the emulated scanners ==="
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target sane-ruvo RuvoScanDaemon usb-scanner-emulator net-scanner-sim \
  scan-chart >/dev/null
mkdir -p "$out"
echo "=== simple-scan on a virtual display ==="
# Started from the output folder, which the private namespaces then keep
# reachable wherever it lies (/tmp included).
(cd "$out" && RUVO_SOURCE_DIR=$root RUVO_BUILD_DIR=$build "$root/scripts/isolated-run" \
  /usr/bin/python3 "$root/RuvoSaneBackend/tests/sane_simple_scan.py" --shot-dir "$out" 2>/dev/null)
ls -l "$out"
