#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compares the event-stream parser's throughput with the npm package eventsource-parser on the
# same four inputs, at 16 KiB chunks, and prints our throughput / theirs per shape (target: 5x).
#
#   bench/sse_compare.sh            (BUILD_DIR overrides the Release build folder, build-bench)
#
# Needs node and npm; the package is installed into a temporary folder that is removed after.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
version=${EVENTSOURCE_PARSER_VERSION:-3}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_BUILD_BENCH=ON \
  -DZELK_BUILD_TESTS=OFF -DZELK_BUILD_TOOLS=OFF -DZELK_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target parser_bench -- -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && npm init -y >/dev/null &&
  npm install --no-audit --no-fund --silent "eventsource-parser@$version")
echo "eventsource-parser $(node -p "require('$work/node_modules/eventsource-parser/package.json').version"), node $(node --version)"

"$build/bench/parser_bench" --dump-inputs="$work"
"$build/bench/parser_bench" --benchmark_filter='^(parse/.*/16384|memchr/.*)$' \
  --benchmark_min_time=0.5 --benchmark_format=json >"$work/ours.json"
node "$root/bench/sse_compare.mjs" "$work" "$work" "$work/ours.json"
