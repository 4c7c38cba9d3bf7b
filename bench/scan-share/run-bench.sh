#!/usr/bin/env bash
# An A4 colour page at 300 dpi through the scan share as JPEG against the same
# page through the SANE backend; see share_bench.py. As root.
#   bench/scan-share/run-bench.sh [--rounds N] [--resolution DPI]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${RUVO_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target sane-ruvo RuvoScanDaemon RuvoScanShare net-scanner-sim >/dev/null
RUVO_SOURCE_DIR=$root RUVO_BUILD_DIR=$build scripts/isolated-run \
  /usr/bin/python3 "$root/bench/scan-share/share_bench.py" "$@"
