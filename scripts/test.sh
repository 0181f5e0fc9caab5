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
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# The PostgreSQL tests run wherever the bootstrap installed it: against a throwaway cluster
# started here for the whole run (ZELK_TEST_POSTGRES names its URL), unless one is given.
if [ -z "${ZELK_TEST_POSTGRES:-}" ] && compgen -G '/usr/lib/postgresql/*/bin/initdb' >/dev/null; then
  pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/zelk-test-postgres.XXXXXX")
  pg_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  ZELK_TEST_POSTGRES=$("$root/scripts/postgres.sh" start --port "$pg_port" --dir "$pg_dir" |
    sed -n 's/.*listening on \(postgres[^ ]*\).*/\1/p')
  export ZELK_TEST_POSTGRES
  trap '"$root/scripts/postgres.sh" stop --dir "$pg_dir"' EXIT
fi

run_pass() {
  local name=$1
  shift
  local started=$SECONDS
  echo "== $name"
  BUILD_DIR=$root/build/$name "$root/scripts/build.sh" "$@"
  ctest --test-dir "$root/build/$name" --output-on-failure -j "$jobs"
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
