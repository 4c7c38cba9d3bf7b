#!/usr/bin/env bash
# A 100 MiB network scan through the SANE backend against the scanner's own
# socket, and scanimage's peak memory; see sane_scan_bench.py. As root.
#   bench/sane-scan/run-bench.sh [--rounds N] [--resolution DPI]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${RUVO_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target sane-ruvo RuvoScanDaemon net-scanner-sim >/dev/null
RUVO_SOURCE_DIR=$root RUVO_BUILD_DIR=$build scripts/isolated-run \
  /usr/bin/python3 "$root/bench/sane-scan/sane_scan_bench.py" "$@"
