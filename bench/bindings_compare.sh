#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The cost of the C interface and of the bindings over it, in one run against one zelk-server in
# sandbox mode (in memory) on loopback: bindings_bench (C++ and C side by side, and the memory
# per client), then the JVM binding and the Python package, each attaching the same way.
#   bench/bindings_compare.sh [BUILD_DIR] [ROUNDS CALLS]
# BUILD_DIR is a Release build with -DZELK_BUILD_BENCH=ON and the targets bindings_bench,
# zelk-server, zelk-c, zelk-jni and zelk-java built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
rounds=${2:-5} calls=${3:-200}
work=$(mktemp -d)
"$build/server/zelk-server" --sandbox --listen 127.0.0.1:0 --log-format none >"$work/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 200); do
  grep -q "listening on" "$work/server.log" && break
  sleep 0.05
done
export ZELK_BENCH_URL
ZELK_BENCH_URL=$(sed -n 's/^zelk-server listening on //p' "$work/server.log" | head -n 1)
echo "== $(uptime)"
echo "== C++ and the C interface"
"$build/bench/bindings_bench" --rounds "$rounds" --calls "$calls"
echo "== the JVM binding"
javac -d "$work/classes" -cp "$build/bindings/java/zelk.jar" "$root/bench/bindings/AttachBench.java"
java -Djava.library.path="$build/bindings/java" -cp "$build/bindings/java/zelk.jar:$work/classes" \
  AttachBench "$rounds" "$calls" 2>/dev/null
echo "== the Python package"
PYTHONPATH=$root/bindings/python PYTHONDONTWRITEBYTECODE=1 \
  ZELK_C_LIBRARY=$(find "$build/c" -maxdepth 1 -name 'libzelk-c.so.*.*' | head -n 1) \
  /usr/bin/python3 "$root/bench/bindings/attach_bench.py" "$rounds" "$calls" 2>/dev/null
