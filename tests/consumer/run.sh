#!/usr/bin/env bash
# Installs zelk from BUILD into a temporary prefix, builds this consumer against it twice (with
# CMake's find_package and with pkg-config), and attaches against a sandbox service.
#   run.sh SOURCE_DIR BUILD_DIR SANDBOX_EXE [SANITIZE]
# The consumer is built with the compiler zelk was built with: CXX (default c++), with CXXFLAGS
# (e.g. -stdlib=libc++) at compiling and linking.
set -euo pipefail
source_dir=$1 build_dir=$2 sandbox_exe=$3 sanitize=${4:-}
cxx=${CXX:-c++}
work=$(mktemp -d)
trap 'kill ${sandbox:-} 2>/dev/null || true; rm -rf "$work"' EXIT

flags=${CXXFLAGS:-}
[ -n "$sanitize" ] && flags="$flags -fsanitize=$sanitize"

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/tests/consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/build" >/dev/null

libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
# shellcheck disable=SC2046
"$cxx" -std=c++20 $flags "$source_dir/tests/consumer/main.cpp" -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs zelk) -Wl,-rpath,"$(dirname "$libdir")"

"$sandbox_exe" --port 0 >"$work/sandbox.log" 2>&1 &
sandbox=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/sandbox.log" && break
  sleep 0.05
done
url=$(sed -n 's/^zelk-sandbox listening on //p' "$work/sandbox.log")
"$work/build/consumer" "$url"
"$work/consumer-pc" "$url"
