#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Attaches per second with 64 keep-alive connections (wrk and server_attach.lua), against
# zelk-server on SQLite in a temporary folder and, in the same run, against a node:http server
# doing the same JSON work in memory (peers/attach_node.mjs). Prints requests/s and p50/p99 of
# both side by side. Goal for zelk-server: at least 20,000/s with p99 under 10 ms.
#
#   bench/server_attach.sh --server build/.../zelk-server [--sandbox-tool PATH] [--no-peer]
#                          [--duration 10s] [--connections 64] [--threads 2] [--mode reattach|new]
#                          [--database URL]
#
# --sandbox-tool measures the older in-memory zelk-sandbox ('PATH --port 0') as well.
# --database measures zelk-server on that PostgreSQL database too (an empty one: its records are
# left there), e.g. a cluster from scripts/postgres.sh.
# Needs wrk, node and curl. Everything runs on 127.0.0.1; the temporary folder is removed after.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server=""
sandbox_tool=""
peer=1
duration=10s
connections=64
threads=2
mode=reattach
database=""
client_id=bench-attach

usage() {
  sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --server) server=$2; shift 2 ;;
    --sandbox-tool) sandbox_tool=$2; shift 2 ;;
    --no-peer) peer=0; shift ;;
    --duration) duration=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --database) database=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "server_attach.sh: unknown option '$1'" >&2; usage ;;
  esac
done
[ -n "$server$sandbox_tool" ] || [ "$peer" = 1 ] || usage
for tool in wrk curl; do
  command -v "$tool" >/dev/null || { echo "server_attach.sh: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a server whose output goes to $work/log and sets $url from its "listening on" line.
start() {
  : >"$work/log"
  "$@" >"$work/log" 2>&1 &
  pid=$!
  url=""
  for _ in $(seq 300); do
    url=$(sed -n 's/.* listening on \(http[^ ]*\).*/\1/p' "$work/log" | head -n1)
    [ -n "$url" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "server_attach.sh: '$*' did not start:" >&2
  tail -n 20 "$work/log" >&2
  exit 1
}

stop() {
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
}

project='{"client_id":"'$client_id'","name":"Attach bench","overall_limit":1000000,
  "mobile_limit":0,"tablet_limit":0,"computer_limit":0,"block_over_usage":false}'

# configure <route> [curl options...]: creates the project without device limits.
configure() {
  local route=$1
  shift
  curl -fsS -o /dev/null -X POST -H 'Content-Type: application/json' "$@" \
    --data "$project" "$url$route"
}

# measure <label>: runs the load against $url and adds a row to $work/rows.
measure() {
  local label=$1 line
  # A short warm-up first, so that the measured run starts with the first devices added.
  wrk -t"$threads" -c"$connections" -d2s -s "$here/server_attach.lua" "$url" \
    -- "$client_id" 5000 "$mode" >/dev/null
  line=$(wrk -t"$threads" -c"$connections" -d"$duration" --latency -s "$here/server_attach.lua" \
    "$url" -- "$client_id" 5000 "$mode" | grep '^RESULT ')
  echo "$line" | awk -v label="$label" \
    '{ printf "%-24s %9d %8.2f %8.2f %8.2f %9d %7d\n", label, $2, $3 / 1000, $4 / 1000, $5 / 1000, $6, $7 }' \
    >>"$work/rows"
}

: >"$work/rows"
echo "load at start: $(uptime)"
if [ -n "$server" ]; then
  # Every attach comes from one address and one client id: the rate limits, which would answer
  # most of them 429, are off.
  start "$server" --data "$work/zelk.db" --listen 127.0.0.1:0 \
    --admin-token-file "$work/admin-token" --rate-limit-client 0 --rate-limit-address 0
  configure /admin/projects -H "Authorization: Bearer $(cat "$work/admin-token")"
  measure "zelk-server (SQLite)"
  stop
  if [ -n "$database" ]; then
    start "$server" --database "$database" --code-key-file "$work/code-key" --listen 127.0.0.1:0 \
      --admin-token-file "$work/admin-token" --rate-limit-client 0 --rate-limit-address 0
    configure /admin/projects -H "Authorization: Bearer $(cat "$work/admin-token")"
    measure "zelk-server (PostgreSQL)"
    stop
  fi
fi
if [ -n "$sandbox_tool" ]; then
  start "$sandbox_tool" --port 0
  configure /_sandbox/project
  measure "zelk-sandbox (memory)"
  stop
fi
if [ "$peer" = 1 ]; then
  start node "$here/peers/attach_node.mjs" 0
  configure /admin/projects
  measure "node:http (memory)"
  stop
fi

echo "attaches, $connections keep-alive connections, $threads wrk threads, $duration, mode $mode"
printf '%-24s %9s %8s %8s %8s %9s %7s\n' subject "req/s" "p50 ms" "p99 ms" "max ms" requests errors
cat "$work/rows"
echo "load at end: $(uptime)"
