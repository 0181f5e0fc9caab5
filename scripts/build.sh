#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds into build/ (or the directory given by BUILD_DIR).
# Extra arguments go to CMake's configure step, e.g. -DZELK_SANITIZE=address,undefined. Compiles go
# through ccache when it is installed (ZELK_CCACHE).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/plain}
"$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$build" -G Ninja -DZELK_CCACHE=ON "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
