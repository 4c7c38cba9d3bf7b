#!/usr/bin/env bash
# Sets up the machine, builds the suite and runs every test through CTest, three
# times: a plain gcc build, clang with AddressSanitizer and UndefinedBehaviorSanitizer
# (fuzz targets included), and clang with ThreadSanitizer. Warnings are errors.
# A run passes only when every test ran and passed: a skipped test fails it.
#   scripts/test.sh            all three runs
#   scripts/test.sh plain      one run: plain, asan or tsan
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
  echo "usage: scripts/test.sh [all|plain|asan|tsan]" >&2
  exit 2
}

want=${1:-all}
case "$want" in
  all|plain|asan|tsan) ;;
  *) usage ;;
esac
[ $# -le 1 ] || usage

if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/test.sh: needs root (it installs packages, and most tests run in private namespaces)." >&2
  echo "As a normal user, 'ctest' in a build folder runs the pure tests and skips the rest." >&2
  exit 1
fi

bash scripts/setup.sh

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0:strict_string_checks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

run() {
  local name=$1; shift
  local dir=$root/build-ci-$name
  echo "=== $name build ==="
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRUVO_WERROR=ON "$@"
  cmake --build "$dir" -j"$jobs"
  echo "=== $name tests ==="
  local results=$dir/ctest-results.xml
  rm -f "$results"
  (cd "$dir" && ctest --output-on-failure --no-tests=error --output-junit "$results" ${RUVO_CTEST_ARGS:-})
  # CTest passes a run with skipped tests; here a skip is a failure.
  local skipped
  skipped=$(grep -c '<skipped' "$results" || true)
  if [ "$skipped" -ne 0 ]; then
    echo "=== $name: $skipped test(s) skipped; every test must run ===" >&2
    grep -B1 '<skipped' "$results" | grep -o 'name="[^"]*"' >&2 || true
    exit 1
  fi
}

wanted() { [ "$want" = all ] || [ "$want" = "$1" ]; }
if wanted plain; then run plain; fi
if wanted asan; then CC=clang CXX=clang++ run asan -DRUVO_SANITIZE=address,undefined; fi
if wanted tsan; then CC=clang CXX=clang++ RUVO_CTEST_ARGS="-LE no-tsan" run tsan -DRUVO_SANITIZE=thread; fi
echo "=== all requested test runs passed ==="
