#!/usr/bin/env bash
# Tray application benchmark: 64 listed printers with steady status files for
# 60 s. Prints CPU time and peak RSS of RuvoPrinterTool against an idle Qt
# application measured in the same run, and the delay from a status file
# rewrite to the table update (median and worst).
#   bench/tray/run-bench.sh [build-dir] [item-host]   (default: build-bench, configured here;
#   item-host: the steady phase beside a StatusNotifierItem host instead of trayer)
# Runs in a private mount and pid namespace (root), so /opt, /tmp and the
# process table are its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${1:-$root/build-bench}
if [ ! -x "$build/RuvoPrinterTool/RuvoPrinterTool" ] || [ ! -x "$build/bench/tray/bench_tray_idle_qt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target RuvoPrinterTool bench_tray_idle_qt
fi
exec "$root/scripts/isolated-run" unshare --pid --fork --mount-proc /usr/bin/python3 \
  "$root/bench/tray/bench_tray.py" "$build/RuvoPrinterTool/RuvoPrinterTool" "$build/bench/tray/bench_tray_idle_qt" ${2:+"$2"}
