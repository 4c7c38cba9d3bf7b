#!/usr/bin/env bash
# Starts the network tool or the firmware updater against an emulated USB
# printer, so they can be tried without the hardware.
#
#   scripts/usb-tool-demo.sh nettool|fwupdate [--fault NAME] [--printers N] [--screenshot FILE]
#
# Builds what it needs (in build-usb-demo unless RUVO_DEMO_BUILD_DIR is set),
# then runs in a private mount namespace with an empty /opt and /tmp, so the
# real product directory is never touched. Uses the current display, or a
# private Xvfb when there is none. --fault takes the emulator's fault names
# (tools/usb-printer-emulator/main.cpp), for example reply-never or write-fails.
# --screenshot saves the window to FILE (reading the settings first for the
# network tool; for the firmware updater, during the write of the sample image,
# with its progress dialog) and ends the program.
#
# The firmware updater's sample image is 8 MiB and the emulated printer takes
# each 64 KiB piece 30 ms late, as a printer writing its flash would, so the
# progress dialog stays up for a few seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 nettool|fwupdate [--fault NAME] [--printers N] [--screenshot FILE]" >&2; exit 2; }
[ $# -ge 1 ] || usage
tool=$1; shift
case "$tool" in
  nettool) program=RuvoNetTool; title="Ruvo打印机网络配置工具" ;;
  fwupdate) program=ruvoK40FW; title="Ruvo打印机升级助手" ;;
  *) usage ;;
esac
emulator_args=()
screenshot=
while [ $# -gt 0 ]; do
  case "$1" in
    --fault|--printers) [ $# -ge 2 ] || usage; emulator_args+=("$1" "$2"); shift 2 ;;
    --screenshot) [ $# -ge 2 ] || usage; screenshot=$(realpath -m "$2"); shift 2 ;;
    *) usage ;;
  esac
done

build=${RUVO_DEMO_BUILD_DIR:-$root/build-usb-demo}

if [ "${RUVO_DEMO_INSIDE:-}" != 1 ]; then
  echo "Building the tools and the emulated printer in $build ..."
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target RuvoNetTool ruvoK40FW usb-printer-emulator -j"$(nproc)" >/dev/null
  # The screenshot's file exists before the namespace covers its folder.
  [ -z "$screenshot" ] || : >"$screenshot"
  # A private mount namespace: the tmpfs over /opt and /tmp vanishes with it.
  if [ "$(id -u)" -eq 0 ]; then
    RUVO_DEMO_INSIDE=1 exec unshare -m --propagation private "$0" "$tool" "$@" \
      ${emulator_args[@]+"${emulator_args[@]}"} ${screenshot:+--screenshot "$screenshot"}
  else
    RUVO_DEMO_INSIDE=1 exec unshare -r -m --propagation private "$0" "$tool" \
      ${emulator_args[@]+"${emulator_args[@]}"} ${screenshot:+--screenshot "$screenshot"}
  fi
fi

# X clients reach the display through its abstract socket, which the new /tmp
# does not hide; its cookie file must stay reachable after HOME changes.
if [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ]; then
  cp "$HOME/.Xauthority" /dev/shm/ruvo-demo-xauthority.$$ 2>/dev/null && export XAUTHORITY=/dev/shm/ruvo-demo-xauthority.$$
fi
source "$root/scripts/lib/private-mounts.sh"
cover_with_tmpfs /opt 0755 ruvo-demo-opt "$root" "$build" ${screenshot:+"$screenshot"}
cover_with_tmpfs /tmp 1777 ruvo-demo-tmp "$root" "$build" ${screenshot:+"$screenshot"}
export HOME=/tmp/home TMPDIR=/tmp
mkdir -p "$HOME"
if [ "${XAUTHORITY:-}" = /dev/shm/ruvo-demo-xauthority.$$ ]; then
  cp "$XAUTHORITY" "$HOME/.Xauthority" && rm -f "$XAUTHORITY" && export XAUTHORITY=$HOME/.Xauthority
fi

pids=()
cleanup() {
  for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || [ -n "$screenshot" ]; then
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>/tmp/display &
  pids+=($!)
  for _ in $(seq 100); do [ -s /tmp/display ] && break; sleep 0.1; done
  export DISPLAY=:$(cat /tmp/display)
  echo "Private display $DISPLAY (no visible window; use --screenshot to see it)"
fi

bin=/opt/ruvo/k40_series_printer/bin
mkdir -p "$bin"
cp "$build/RuvoNetTool/RuvoNetTool" "$build/RuvoFWUpdate/ruvoK40FW" "$bin/"
head -c $((8 * 1024 * 1024)) /dev/urandom > "$HOME/firmware.fls"
if [ "$tool" = fwupdate ]; then
  emulator_args+=(--out-delay-ms 30)
fi

emulator=$build/tools/usb-printer-emulator/usb-printer-emulator
record=/tmp/received.bin
echo "Emulated printer \"Ruvo_Printer\" (Ruvo K400N, serial RV40N00001); a sample image is $HOME/firmware.fls"
if [ -z "$screenshot" ]; then
  status=0
  "$emulator" ${emulator_args[@]+"${emulator_args[@]}"} --record "$record" -- "$bin/$program" || status=$?
  echo "The printer received $(stat -c %s "$record" 2>/dev/null || echo 0) bytes."
  exit "$status"
fi

# Screenshot: start the program, wait for its window, act, capture, end it.
"$emulator" ${emulator_args[@]+"${emulator_args[@]}"} -- "$bin/$program" &
runner=$!
pids+=($runner)
window=
for _ in $(seq 200); do
  window=$(xdotool search --name "^$title\$" 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
xdotool windowmove "$window" 0 0
if [ "$tool" = nettool ]; then
  xdotool mousemove --window "$window" 100 333 click 1   # "读取"
else
  xdotool mousemove --window "$window" 60 62 click 1     # the first table row
  xdotool mousemove --window "$window" 100 313 click 1 type "$HOME/firmware.fls"
  xdotool mousemove --window "$window" 460 368 click 1   # "一键升级"
  question=
  for _ in $(seq 100); do
    question=$(xdotool search --name "^$title\$" 2>/dev/null | grep -v "^$window\$" | head -n1 || true)
    [ -n "$question" ] && break
    sleep 0.1
  done
  [ -n "$question" ] || { echo "the confirmation did not appear" >&2; exit 1; }
  sleep 0.5
  # Cancel is the default: move to "确  定" and press it.
  xdotool windowfocus --sync "$question" key Tab space
fi
sleep 1.5   # let the window repaint (and the write get under way) before the capture
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$screenshot"
echo "Saved $screenshot"
kill "$runner" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
