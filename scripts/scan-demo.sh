#!/usr/bin/env bash
# A multi-page USB scan end to end: an emulated USB scanner (umockdev), the scan
# daemon inside it, and the command-line client on port 7000. Runs in a private
# mount namespace (fresh /opt and /tmp), so the real product directory is never
# touched; the scanned pages are copied to build-scan-demo/pages/ at the end.
#   scripts/scan-demo.sh            (as root; builds what it needs first)
#   SCAN_DEMO_PAGES=5 scripts/scan-demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-scan-demo
out=$build/pages

if [ "${RUVO_SCAN_DEMO_ISOLATED:-}" != "1" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "scan-demo: needs root (a private mount namespace and the emulated USB device)" >&2
    exit 1
  fi
  echo "=== building the daemon, the emulated scanner and the client ==="
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target RuvoScanDaemon usb-scanner-emulator scan-client >/dev/null
  rm -rf "$out" && mkdir -p "$out"
  RUVO_SCAN_DEMO_ISOLATED=1 exec unshare -m --propagation private "$0" "$@"
fi

source "$root/scripts/lib/private-mounts.sh"
cover_with_tmpfs /opt 0755 scan-demo-opt "$root" "$build" "$out"
cover_with_tmpfs /tmp 1777 scan-demo-tmp "$root" "$build" "$out"
port=${SCAN_DEMO_PORT:-7000}
pages=${SCAN_DEMO_PAGES:-3}
scan_dir=/opt/ruvo/k40_series_printer/scan
client=$build/tools/scan-client/scan-client
record=/tmp/scan-demo-record
mkdir -p "$record"

if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "scan-demo: another scan daemon already serves port $port (set SCAN_DEMO_PORT)" >&2
  exit 1
fi

echo "=== starting the emulated scanner (1a2b:0c01) with the scan daemon inside it, port $port ==="
RUVO_SCAN_DAEMON_PORT=$port "$build/tools/usb-scanner-emulator/usb-scanner-emulator" \
  --pages "$pages" --page-bytes 65536 --chunk-bytes 8192 --record-dir "$record" \
  -- "$build/RuvoScanDaemon/RuvoScanDaemon" >/dev/null &
emulator=$!
# The emulator ends the daemon and everything it started.
trap 'kill "$emulator" 2>/dev/null; wait "$emulator" 2>/dev/null || true' EXIT

ready=0
for _ in $(seq 1 100); do
  if "$client" --port "$port" list 1a2b >/dev/null 2>&1; then ready=1; break; fi
  sleep 0.1
done
[ "$ready" = 1 ] || { echo "scan-demo: the daemon did not come up" >&2; exit 1; }

echo "=== scanners of vendor 1a2b ==="
"$client" --port "$port" list 1a2b
echo "=== scanning ==="
"$client" --port "$port" scan 1a2b 0c01 | tee /tmp/scan-demo.out

status=0
page=0
for file in $(grep "^$scan_dir/" /tmp/scan-demo.out); do
  cp "$file" "$out/"
  if cmp -s "$file" "$record/RS000001_page_$page.bin"; then
    echo "page $page: $(stat -c %s "$file") bytes, identical to what the scanner sent"
  else
    echo "page $page: differs from what the scanner sent" >&2
    status=1
  fi
  page=$((page + 1))
done
[ "$page" -gt 0 ] || status=1
echo "=== the daemon's logs ==="
tail -n 3 "$scan_dir/ruvo_scan_info.log"
cp "$scan_dir"/ruvo_scan_*.log "$out/"
echo "=== page files (copied out of the private scan directory $scan_dir) ==="
ls -l "$out"
exit $status
