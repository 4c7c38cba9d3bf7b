#!/usr/bin/env bash
# Sets up the machine, builds the suite and runs every test through CTest, three
# times: a plain gcc build, clang with AddressSanitizer and UndefinedBehaviorSanitizer
# (fuzz targets included), and clang with ThreadSanitizer. Warnings are errors.
#   scripts/test.sh            all three runs
#   scripts/test.sh plain      one run: plain, asan or tsan
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

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
  (cd "$dir" && ctest --output-on-failure --no-tests=error ${RUVO_CTEST_ARGS:-})
}

want=${1:-all}
wanted() { [ "$want" = all ] || [ "$want" = "$1" ]; }
if wanted plain; then run plain; fi
if wanted asan; then CC=clang CXX=clang++ run asan -DRUVO_SANITIZE=address,undefined; fi
if wanted tsan; then CC=clang CXX=clang++ RUVO_CTEST_ARGS="-LE no-tsan" run tsan -DRUVO_SANITIZE=thread; fi
echo "=== all requested test runs passed ==="
