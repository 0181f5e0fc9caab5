#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the event-stream parser fuzzer (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time. Fails on any crash, failed check,
# leak or sanitizer report; the input that caused it is saved in the build folder.
#
#   scripts/fuzz.sh [seconds]      (default 60; FUZZ_BUILD_DIR and FUZZ_CXX override the build
#                                   folder, build-fuzz, and the compiler, clang++-14)
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
cxx=${FUZZ_CXX:-clang++-14}

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -- -j2

# New inputs go to a working corpus in the build folder; the checked-in seeds stay untouched.
mkdir -p "$build/corpus"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
"$build/line_event_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/" \
  "$build/corpus" "$root/fuzz/corpus" || status=$?
if [[ $status -ne 0 ]]; then
  echo "fuzz.sh: the fuzzer failed (exit status $status); see the report and crash input above" >&2
  exit "$status"
fi
echo "fuzz.sh: no failure in ${seconds} s"
