#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds and runs the whole test suite three times: in a plain build, under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. `scripts/test.sh --quick` runs the plain
# pass only. Qt is not built with ThreadSanitizer, so that pass leaves the Qt module out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

run_pass() {
  local name=$1
  shift
  echo "== $name"
  BUILD_DIR=$root/build/$name "$root/scripts/build.sh" "$@"
  ctest --test-dir "$root/build/$name" --output-on-failure -j "$jobs"
}

run_pass plain
if [ "${1:-}" != "--quick" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_pass asan -DZELK_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
  TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
    run_pass tsan -DZELK_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DZELK_BUILD_QT=OFF
fi
