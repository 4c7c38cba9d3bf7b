#!/usr/bin/env bash
# The suite's main job on simulated printers: sets up the machine, builds,
# installs into a private /opt/ruvo/k40_series_printer, starts the printer-fleet
# simulator in place of the vendor service (four printers, USB and network, one
# with a warning, one with an error) and the tray application.
#
#   scripts/demo.sh              run until the tray menu's "退出" (or Ctrl-C)
#   scripts/demo.sh --shot-only  without a display: write the screenshot and stop
#
# The demo runs in a private mount namespace with a fresh /opt: whatever it
# installs there vanishes with it, and files of an installed package (or of the
# maker's service) are never written over. With a usable $DISPLAY the
# application appears there. Without one the demo starts its own virtual
# display (Xvfb) with a tray host (trayer), writes a screenshot of the window
# and its tray icon, and says where. No CUPS queue is needed: a printer's job
# cancel only reaches CUPS when a queue of its name exists.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
shot_only=0
[ "${1:-}" = "--shot-only" ] && shot_only=1

product=/opt/ruvo/k40_series_printer
run=${RUVO_DEMO_DIR:-/tmp/ruvo-demo}
build=$root/build-demo

if [ "${RUVO_DEMO_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo: needs root (it installs packages and uses a private mount namespace)" >&2
    exit 1
  fi
  mkdir -p "$run"
  bash scripts/setup.sh
  echo "demo: building in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$run/cmake.log"
  if cmake --build "$build" -j"$(nproc)" >"$run/build.log" 2>&1; then
    full=1
  else
    # Another program of the suite may be half-built; the demo needs only these two.
    echo "demo: the full build failed (see $run/build.log); using the tray application and the simulator alone"
    cmake --build "$build" -j"$(nproc)" --target RuvoPrinterTool ruvoK40Service
    full=0
  fi
  RUVO_DEMO_INSIDE=1 RUVO_DEMO_FULL=$full exec unshare -m --propagation private "$0" "$@"
fi

# A fresh /opt for this namespace. The checkout, the build folder and the
# demo's own folder stay reachable should they lie below /opt.
source "$root/scripts/lib/private-mounts.sh"
cover_with_tmpfs /opt 0755 ruvo-demo-opt "$root" "$build" "$run"

if [ "${RUVO_DEMO_FULL:-1}" = 1 ]; then
  cmake --install "$build" >"$run/install.log"
else
  install -D -m 0755 "$build/RuvoPrinterTool/RuvoPrinterTool" "$product/bin/RuvoPrinterTool"
  install -D -m 0644 "$build/RuvoPrinterTool/ruvo-k40-tool-autostart.desktop" "$product/bin/ruvo-k40-tool-autostart.desktop"
fi
# The simulator takes the vendor service's place, in this namespace only.
install -D -m 0755 "$build/tools/printer-fleet-sim/ruvoK40Service" "$product/bin/ruvoK40Service"
mkdir -p "$product/cfg"
echo "demo: installed into a private $product/bin (this namespace only)"

pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$product/bin/ruvoK40Service" --preset default >"$run/ruvoK40Service.log" 2>&1 &
pids+=($!)
echo "demo: simulator started (pid $!), writing the private $product/cfg/"

if pgrep -x -u "$(id -u)" RuvoPrinterTool >/dev/null; then
  echo "demo: RuvoPrinterTool already runs as this user; a second copy would only refuse to start"
  exit 1
fi

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1 && [ $shot_only -eq 0 ]; then
  echo "demo: starting the tray application on $DISPLAY; pick 退出 in its tray menu to end the demo"
  "$product/bin/RuvoPrinterTool" && status=0 || status=$?
  echo "demo: RuvoPrinterTool ended with exit code $status"
  exit "$status"
fi

# No display: a virtual one with a tray host.
rm -f "$run/display"
Xvfb -displayfd 4 -screen 0 800x480x24 -nolisten tcp -noreset 4>"$run/display" >"$run/Xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$run/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$run/display")
rm -f "$run/session_bus"
dbus-daemon --session --nofork --nopidfile --address="unix:path=$run/session_bus" >/dev/null 2>&1 &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$run/session_bus
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
       --expand false --transparent false >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do xdotool search --class trayer >/dev/null 2>&1 && break; sleep 0.1; done

"$product/bin/RuvoPrinterTool" >"$run/RuvoPrinterTool.log" 2>&1 &
app=$!
pids+=($app)
echo "demo: tray application started (pid $app) on the virtual display $DISPLAY"
for _ in $(seq 1 200); do
  xdotool search --onlyvisible --name 'Ruvo打印助手' >/dev/null 2>&1 && break
  sleep 0.1
done
# The list is read at once and every printer's status about a second later.
sleep 5
shot=$run/tray-window.png
import -window root -depth 8 "$shot"
echo "demo: screenshot of the window and its tray icon: $shot"

if [ $shot_only -eq 1 ]; then
  exit 0
fi
echo "demo: running; the simulator keeps changing the printers. Ctrl-C ends the demo."
wait "$app"
