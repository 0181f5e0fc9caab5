#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Measures the event-stream parsers next to the npm parsers in one run, on the four shared stream
# shapes, at 16 KiB and at 64-byte chunks, and prints a table: the peers' median MB/s, ours
# (median, and the 50th/99th percentile run times), our speed over eventsource-parser's, and
# large_data against a single-core memchr scan. Goals: at least 5x eventsource-parser on every
# shape and chunk size, and large_data at least half of memchr's speed.
#
#   bench/parser_compare.sh [REPEAT]     (default 9 runs per measurement)
#
# Runs are timed by the wall clock; with CLOCK=cpu both sides report the processor time they took
# instead, which other work on a busy machine disturbs far less (the peers' harness is loaded with
# cpu_clock.mjs for that).
#
# BUILD_DIR overrides the Release build folder (build/bench), PERF_DIR the folder holding
# gen_streams.py and parse_bench_node.mjs (../shared/perf beside the clone). The npm packages are
# installed once into the build folder. Needs python3, node and npm. Exits with status 1 when a
# goal is missed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}
perf=${PERF_DIR:-$root/../shared/perf}
repeat=${1:-9}
clock=${CLOCK:-wall}
node_clock=()
[ "$clock" = cpu ] && node_clock=(--import "$root/bench/cpu_clock.mjs")
peers="eventsource-parser@3.1.1 undici@7.30.3"

[ -f "$perf/gen_streams.py" ] || { echo "parser_compare: no $perf/gen_streams.py (set PERF_DIR)" >&2; exit 2; }
perf=$(cd "$perf" && pwd)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELK_BUILD_BENCH=ON \
  -DZELK_BUILD_TESTS=OFF -DZELK_BUILD_TOOLS=OFF -DZELK_BUILD_EXAMPLES=OFF -DZELK_BUILD_QT=OFF \
  >/dev/null
cmake --build "$build" --target parser_bench >/dev/null

shapes=$build/shapes
[ -f "$shapes/utf8_mixed.sse" ] || python3 "$perf/gen_streams.py" "$shapes" >/dev/null
npm_dir=$build/npm-peers
if [ ! -f "$npm_dir/.installed" ] || [ "$(cat "$npm_dir/.installed")" != "$peers" ]; then
  mkdir -p "$npm_dir"
  # shellcheck disable=SC2086
  (cd "$npm_dir" && npm init -y >/dev/null && npm install --no-audit --no-fund --silent $peers)
  echo "$peers" >"$npm_dir/.installed"
fi

results=$build/parser_compare.jsonl
: >"$results"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# Interleaved, so that the peers and we see the same machine at about the same time.
for shape in small_json large_data multiline_crlf utf8_mixed; do
  for chunk in 16384 64; do
    PEER_DIR=$npm_dir node "${node_clock[@]}" "$perf/parse_bench_node.mjs" --chunk "$chunk" --repeat "$repeat" \
      --peer eventsource-parser,undici-EventSourceStream "$shapes/$shape.sse" >>"$results"
    "$build/bench/parser_bench" --clock "$clock" --chunk "$chunk" --repeat "$repeat" \
      "$shapes/$shape.sse" \
      >>"$results"
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$results" "$load_before" "$load_after" "$(nproc)" "$clock" <<'EOF'
import json, sys

path, load_before, load_after, cores, clock = sys.argv[1:]
rows = [json.loads(line) for line in open(path) if line.startswith("{")]
def find(peer, file, chunk=None):
    for r in rows:
        if r["peer"] == peer and r["file"] == file and (chunk is None or r["chunk"] == chunk):
            return r
    raise SystemExit(f"parser_compare: no result for {peer} on {file}")

missed = []
print(f"load average {load_before} before, {load_after} after, on {cores} cores")
print(f"MB/s (10^6 bytes per second), medians of the runs; p50/p99: our run times in ms; "
      f"timed by {'processor time' if clock == 'cpu' else 'the wall clock'}")
print(f"{'shape':15} {'chunk':>5} {'es-parser':>9} {'undici':>8} {'zelk':>8} "
      f"{'p50 ms':>8} {'p99 ms':>8} {'ratio':>6}  goal 5x")
for shape in ["small_json", "large_data", "multiline_crlf", "utf8_mixed"]:
    file = shape + ".sse"
    for chunk in [16384, 64]:
        peer = find("eventsource-parser", file, chunk)
        undici = find("undici-EventSourceStream", file, chunk)
        ours = find("zelk", file, chunk)
        if ours["events"] != peer["events"]:
            missed.append(f"{shape}/{chunk}: {ours['events']} events, the peer saw {peer['events']}")
        ratio = ours["MB_per_s_median"] / peer["MB_per_s_median"]
        ok = ratio >= 5
        if not ok:
            missed.append(f"{shape}/{chunk}: {ratio:.2f}x eventsource-parser")
        print(f"{shape:15} {chunk:>5} {peer['MB_per_s_median']:>9.1f} "
              f"{undici['MB_per_s_median']:>8.1f} {ours['MB_per_s_median']:>8.1f} "
              f"{ours['p50_seconds'] * 1e3:>8.2f} {ours['p99_seconds'] * 1e3:>8.2f} "
              f"{ratio:>5.2f}x  {'met' if ok else 'MISSED'}")
memchr = find("memchr", "large_data.sse")
ours = find("zelk", "large_data.sse", 16384)
share = ours["MB_per_s_median"] / memchr["MB_per_s_median"]
print(f"large_data at 16 KiB: zelk {ours['MB_per_s_median']:.1f} MB/s, memchr "
      f"{memchr['MB_per_s_median']:.1f} MB/s (p50 {memchr['p50_seconds'] * 1e3:.2f} ms, "
      f"p99 {memchr['p99_seconds'] * 1e3:.2f} ms): {share:.2f} of memchr, goal 0.5 "
      f"{'met' if share >= 0.5 else 'MISSED'}")
if share < 0.5:
    missed.append(f"large_data: {share:.2f} of memchr")
for line in missed:
    print("missed:", line)
sys.exit(1 if missed else 0)
EOF
