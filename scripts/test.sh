#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds and runs the test suite in several passes, each in its own build folder under build/:
#   plain    GCC, Release (what packagers build), everything including the Qt module
#   asan     GCC, Debug, AddressSanitizer with UndefinedBehaviorSanitizer
#   tsan     GCC, Debug, ThreadSanitizer (Qt is not built with it, so the Qt module is left out)
#   libcxx   clang 14 with libc++, RelWithDebInfo, without Qt
#   aarch64  GCC cross-built for 64-bit ARM, optimised as RelWithDebInfo but without debug
#            information, which would slow this pass's compiles and links for binaries nobody
#            debugs; the library, the service and their tests run under qemu-user; without Qt
#            and the examples, and the consumer and demo tests are skipped
#
#   scripts/test.sh              plain, asan and tsan
#   scripts/test.sh --quick      plain only
#   scripts/test.sh PASS...      the passes named, e.g. libcxx aarch64
#
# The plain and asan passes also run the PostgreSQL variants (the store's own tests, the crash
# tests and the library's integration suite with the sandbox on PostgreSQL) against a throwaway
# cluster from scripts/postgres.sh, stopped when the script ends; ZELK_TEST_POSTGRES set by the
# caller is used instead. The other passes leave those variants out (ctest reports them
# skipped): under TSan they would add minutes and find nothing the store's own threads do not
# show in the plain and asan passes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

postgres_dir=""
postgres_url="${ZELK_TEST_POSTGRES:-}"
stop_postgres() {
  if [ -n "$postgres_dir" ]; then "$root/scripts/postgres.sh" stop --dir "$postgres_dir"; fi
}
trap stop_postgres EXIT
# Starts the cluster the first time a pass needs it.
need_postgres() {
  if [ -n "$postgres_url" ]; then return; fi
  local attempt started
  for attempt in 1 2 3 4 5; do  # another port when the one drawn is taken
    postgres_dir=$(mktemp -d /tmp/zelk-test-postgres.XXXXXX)
    if started=$("$root/scripts/postgres.sh" start --port $((55000 + RANDOM % 900)) \
      --dir "$postgres_dir"); then
      postgres_url=$(sed -n 's/^postgres listening on //p' <<<"$started")
      echo "== postgres on $postgres_url"
      return
    fi
    "$root/scripts/postgres.sh" stop --dir "$postgres_dir"
    postgres_dir=""
  done
  echo "test.sh: cannot start PostgreSQL" >&2
  exit 1
}

run_pass() {
  local name=$1
  shift
  local started=$SECONDS
  echo "== $name"
  BUILD_DIR=$root/build/$name "$root/scripts/build.sh" "$@"
  local postgres=""
  case $name in
    plain|asan) need_postgres; postgres=$postgres_url ;;
  esac
  ZELK_TEST_POSTGRES=$postgres ctest --test-dir "$root/build/$name" --output-on-failure -j "$jobs"
  echo "== $name: $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
}

pass() {
  case $1 in
    plain)
      run_pass plain -DCMAKE_BUILD_TYPE=Release ;;
    asan)
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_pass asan -DZELK_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug ;;
    tsan)
      TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
        run_pass tsan -DZELK_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DZELK_BUILD_QT=OFF ;;
    libcxx)
      # GoogleTest is compiled from Debian's sources with libc++, as the packaged one is built
      # against libstdc++.
      run_pass libcxx -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
        -DZELK_BUILD_QT=OFF -DZELK_GTEST_SOURCE_DIR=/usr/src/googletest ;;
    aarch64)
      "$root/scripts/bootstrap.sh" --arm64
      run_pass aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" \
        -DZELK_BUILD_QT=OFF -DZELK_BUILD_EXAMPLES=OFF -DZELK_GTEST_SOURCE_DIR=/usr/src/googletest ;;
    *)
      echo "test.sh: no pass named $1 (plain, asan, tsan, libcxx, aarch64)" >&2
      exit 2 ;;
  esac
}

if [ "${1:-}" = "--quick" ]; then
  pass plain
elif (($#)); then
  for name in "$@"; do pass "$name"; done
else
  for name in plain asan tsan; do pass "$name"; done
fi
