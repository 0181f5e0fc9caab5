#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs zelk from BUILD into a temporary prefix, builds this consumer against it twice (with
# CMake's find_package and with pkg-config), and attaches against a sandbox service; the same
# for the C host in c/ over the C interface (find_package(zelk COMPONENTS c), pkg-config zelk-c).
# When the package holds the Qt module, also builds the Qt host in qt/ against it
# (find_package(zelk COMPONENTS qt)), runs it off screen, and, without sanitizers, has
# qmltestrunner (which links nothing of zelk) import the installed QML module through
# QML_IMPORT_PATH.
#   run.sh SOURCE_DIR BUILD_DIR SANDBOX_EXE [SANITIZE [QMLTESTRUNNER]]
# The consumer is built with the compiler zelk was built with: CXX (default c++), with CXXFLAGS
# (e.g. -stdlib=libc++) at compiling and linking; the C host with CC (default cc).
set -euo pipefail
source_dir=$1 build_dir=$2 sandbox_exe=$3 sanitize=${4:-} qmltestrunner=${5:-}
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

# A C host of the C interface, both ways too: find_package(zelk COMPONENTS c) and pkg-config zelk-c.
cc=${CC:-cc}
cflags=""
[ -n "$sanitize" ] && cflags="-fsanitize=$sanitize"
cmake -S "$source_dir/tests/consumer/c" -B "$work/build-c" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$cflags" >/dev/null
cmake --build "$work/build-c" >/dev/null
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror $cflags "$source_dir/tests/consumer/c/main.c" \
  -o "$work/c-consumer-pc" $(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs zelk-c) \
  -Wl,-rpath,"$(dirname "$libdir")"
"$work/build-c/c-consumer" "$url"
"$work/c-consumer-pc" "$url"

if [ -n "$(find "$work/prefix" -name zelkQtTargets.cmake)" ]; then
  cmake -S "$source_dir/tests/consumer/qt" -B "$work/build-qt" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$work/build-qt" >/dev/null
  export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
  "$work/build-qt/qt-consumer" "$url"

  if [ -z "$sanitize" ] && [ -n "$qmltestrunner" ]; then
    qmldir=$(find "$work/prefix" -path '*/Zelk/qmldir' | head -n 1)
    [ -n "$qmldir" ] || { echo "run.sh: the QML module Zelk was not installed" >&2; exit 1; }
    QML_IMPORT_PATH=$(dirname "$(dirname "$qmldir")") \
      "$qmltestrunner" -input "$source_dir/tests/consumer/qt/tst_installed_module.qml"
  fi
fi
