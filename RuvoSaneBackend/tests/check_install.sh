#!/usr/bin/env bash
# check_install.sh <build folder>: installs the sane-backend component into a
# scratch DESTDIR and has SANE's dll backend load the backend through the
# installed dll.d entry and library (no dll.conf names it), as on a user's machine.
set -euo pipefail
build=$1
destdir=$TMPDIR/sane-install
rm -rf "$destdir"
DESTDIR=$destdir cmake --install "$build" --component sane-backend >/dev/null
backend_dir=$(dirname "$(find "$destdir" -name libsane-ruvo.so.1 | head -n 1)")
config_dir=$(dirname "$(find "$destdir" -name ruvo.conf | head -n 1)")
for file in "$backend_dir/libsane-ruvo.so.1" "$config_dir/dll.d/ruvo" "$config_dir/ruvo.conf"; do
  [ -e "$file" ] || { echo "not installed: $file"; exit 1; }
done
[ "$(cat "$config_dir/dll.d/ruvo")" = ruvo ] || { echo "dll.d/ruvo does not name the backend"; exit 1; }
# Nothing listens on port 7000 in the scratch environment: the backend loads,
# finds no daemon, and says so.
if [ -n "${RUVO_SANE_PRELOAD:-}" ]; then
  export LD_PRELOAD=$RUVO_SANE_PRELOAD ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
fi
output=$(SANE_CONFIG_DIR=$config_dir LD_LIBRARY_PATH=$backend_dir SANE_DEBUG_DLL=4 SANE_DEBUG_RUVO=1 \
         RUVO_SCAN_DAEMON_PORT=1 timeout 60 scanimage -L 2>&1) || true
grep -q "init: initializing backend \`ruvo'" <<<"$output" || { echo "$output"; echo "the backend was not loaded"; exit 1; }
grep -q "cannot reach the scan daemon" <<<"$output" || { echo "$output"; echo "no line about the daemon"; exit 1; }
echo "installed backend loads through dll.d"
