#!/usr/bin/env bash
# A multi-page network scan end to end: the simulated network scanner, the scan
# daemon and the network scan client, all on this machine's loopback addresses.
#
#   scripts/net-scan-demo.sh [--pages N] [--page-kib N] [--address 127.0.0.x]
#
# Builds what it needs (in build-net-demo unless RUVO_DEMO_BUILD_DIR is set),
# then runs in a private mount namespace with an empty /opt and /tmp, so the
# real product directory is never touched. The daemon writes the pages into
# its scan directory inside that namespace; the demo prints their names,
# checks them against the bytes the scanner sent, copies them to
# <build>/net-scan-demo-pages/ (the namespace vanishes at the end) and stops
# the daemon and the scanner. Needs root (ports 80, 5000, 2080 and the mount
# namespace).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 [--pages N] [--page-kib N] [--address 127.0.0.x]" >&2; exit 2; }
pages=3
page_kib=512
address=127.0.0.2
while [ $# -gt 0 ]; do
  case "$1" in
    --pages) [ $# -ge 2 ] || usage; pages=$2; shift 2 ;;
    --page-kib) [ $# -ge 2 ] || usage; page_kib=$2; shift 2 ;;
    --address) [ $# -ge 2 ] || usage; address=$2; shift 2 ;;
    *) usage ;;
  esac
done
case "$address" in 127.*) ;; *) echo "$0: the simulated scanner serves on loopback addresses only" >&2; exit 2 ;; esac

build=${RUVO_DEMO_BUILD_DIR:-$root/build-net-demo}
port=${RUVO_DEMO_DAEMON_PORT:-7000}
out=$build/net-scan-demo-pages

if [ "${RUVO_DEMO_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs root (ports 80, 5000 and 2080, and a private mount namespace)" >&2
    exit 1
  fi
  echo "Building the daemon, the simulated scanner and the client in $build ..."
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target RuvoScanDaemon net-scanner-sim net-scan-client -j"$(nproc)" >/dev/null
  rm -rf "$out"
  mkdir -p "$out"
  RUVO_DEMO_INSIDE=1 exec unshare -m --propagation private "$0" --pages "$pages" --page-kib "$page_kib" \
    --address "$address"
fi

source "$root/scripts/lib/private-mounts.sh"
cover_with_tmpfs /opt 0755 ruvo-demo-opt "$root" "$build" "$out"
cover_with_tmpfs /tmp 1777 ruvo-demo-tmp "$root" "$build" "$out"
scan_dir=/opt/ruvo/k40_series_printer/scan
mkdir -p "$scan_dir" /tmp/sim

daemon=$build/RuvoScanDaemon/RuvoScanDaemon
sim_pid=
# The daemon detaches itself: its processes are those running its binary with
# this demo's port in their environment.
daemon_pids() {
  local exe wanted
  wanted=$(realpath "$daemon")
  for dir in /proc/[0-9]*; do
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    [ "$exe" = "$wanted" ] || continue
    tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qx "RUVO_SCAN_DAEMON_PORT=$port" && echo "${dir#/proc/}"
  done
  return 0
}
cleanup() {
  for pid in $(daemon_pids); do kill -QUIT "$pid" 2>/dev/null || true; done
  sleep 0.3
  for pid in $(daemon_pids); do kill -KILL "$pid" 2>/dev/null || true; done
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  echo "Stopped the scan daemon and the simulated scanner."
}
trap cleanup EXIT

if ss -Hltn "sport = :$port" | grep -q .; then
  echo "$0: port $port is taken (another scan daemon?); set RUVO_DEMO_DAEMON_PORT to use another" >&2
  exit 1
fi

"$build/tools/net-scanner-sim/net-scanner-sim" --address "$address" --pages "$pages" \
  --page-size $((page_kib * 1024)) --block-sizes 65536,4000 --record-dir /tmp/sim --keep-pages \
  --ready-file /tmp/sim/ready &
sim_pid=$!
for _ in $(seq 200); do [ -e /tmp/sim/ready ] && break; sleep 0.05; done
[ -e /tmp/sim/ready ] || { echo "$0: the simulated scanner did not start" >&2; exit 1; }

RUVO_SCAN_DAEMON_PORT=$port "$daemon"
for _ in $(seq 200); do ss -Hltn "sport = :$port" | grep -q . && break; sleep 0.05; done
ss -Hltn "sport = :$port" | grep -q . || { echo "$0: the scan daemon did not start" >&2; exit 1; }
echo "Scan daemon listening on 127.0.0.1:$port; simulated scanner on $address."
echo

"$build/tools/net-scanner-sim/net-scan-client" --port "$port" scan "$address" | tee /tmp/client.out
echo

page=0
status=0
while read -r file; do
  case "$file" in "$scan_dir"/*) ;; *) continue ;; esac
  if cmp -s "$file" "/tmp/sim/sent-page-$page.bin"; then same="identical to what the scanner sent"; else same="DIFFERS from what the scanner sent"; status=1; fi
  cp "$file" "$out/"
  echo "page $page: $file ($(stat -c %s "$file") bytes), $same"
  page=$((page + 1))
done < <(tail -n +2 /tmp/client.out)
[ "$page" -eq "$pages" ] || status=1
echo
echo "The page files live in the daemon's scan directory $scan_dir inside this demo's"
echo "private /opt; copies are in $out/."
echo "Daemon logs: $scan_dir/ruvo_scan_info.log and ruvo_scan_err.log (copied too)."
cp "$scan_dir"/ruvo_scan_*.log "$out/"
exit "$status"
