#!/usr/bin/env bash
# install-ppds.sh [build dir]: builds the stand-in driver files from the model
# table and installs them as CUPS model files under /usr/share/cups/model/Ruvo/,
# where `lpadmin -m Ruvo/<driver file>` finds them. They stand in for the
# maker's drivers, which are not part of this suite. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build"
cmake --build "$build" --target stand_in_ppds -j"$(nproc)"
cmake --install "$build" --component ppd-stand-ins
