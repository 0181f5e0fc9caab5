#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs libzelk-c from BUILD_DIR into a temporary prefix, installs the Python package into a
# fresh virtual environment with pip, offline (Debian's python3 with its setuptools), and runs
# the Python tests against zelk-server in sandbox mode on SQLite.
#   run.sh SOURCE_DIR BUILD_DIR SERVER_EXE
set -euo pipefail
source_dir=$1 build_dir=$2 server_exe=$3
python=${ZELK_PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --component c_runtime --prefix "$work/prefix" >/dev/null
library=$(find "$work/prefix" -name 'libzelk-c.so.*' | head -n 1)
[ -n "$library" ] || { echo "run.sh: libzelk-c was not installed" >&2; exit 1; }

# pip builds in a copy, so that the source tree gets no build folders.
cp -r "$source_dir/bindings/python" "$work/package"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-build-isolation --no-index "$work/package"

cd "$source_dir/tests/python"
PYTHONDONTWRITEBYTECODE=1 LD_LIBRARY_PATH=$(dirname "$library") \
  bash "$source_dir/tests/bindings/road_server.sh" "$server_exe" \
  "$work/venv/bin/python" -m unittest -v ${ZELK_PYTHON_TESTS:-test_zelk}
