#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Attaches per second with 64 keep-alive connections (wrk and server_attach.lua), against
# zelk-server on SQLite in a temporary folder and, in the same run, against a node:http server
# doing the same JSON work in memory (peers/attach_node.mjs). Prints requests/s and p50/p99 of
# both side by side. Goal for zelk-server: at least 20,000/s with p99 under 10 ms.
#
#   bench/server_attach.sh --server build/.../zelk-server [--vs OTHER-zelk-server]
#                          [--sandbox-tool PATH] [--no-peer] [--duration 10s] [--connections 64]
#                          [--threads 2] [--mode reattach|new] [--postgres ADMIN-URL] [--pgbench]
#                          [--rounds N]
#
# --vs measures another build of zelk-server (an older one) the same way, alternating with
# --server round by round (--rounds, default 1).
# --sandbox-tool measures the older in-memory zelk-sandbox ('PATH --port 0') as well.
# --postgres measures every zelk-server on PostgreSQL too, each in a database of its own made on
# that server (an administrator's URL, e.g. of a cluster from 'scripts/postgres.sh start
# --durable') and dropped after; --pgbench also runs 'pgbench -N' there with 16 clients for the
# same time, the database's own ceiling for short writing transactions.
# Needs wrk, node, curl (and psql, pgbench for --postgres). Everything runs on 127.0.0.1; the
# temporary folder is removed after.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
server=""
other=""
rounds=1
pgbench=0
sandbox_tool=""
peer=1
duration=10s
connections=64
threads=2
mode=reattach
database=""
client_id=bench-attach

usage() {
  sed -n '3,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --server) server=$2; shift 2 ;;
    --vs) other=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --pgbench) pgbench=1; shift ;;
    --postgres) database=$2; shift 2 ;;
    --sandbox-tool) sandbox_tool=$2; shift 2 ;;
    --no-peer) peer=0; shift ;;
    --duration) duration=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
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
  if [ -f "$work/databases" ]; then
    while read -r name; do
      psql -q "$database" -c "DROP DATABASE IF EXISTS $name WITH (FORCE)" >/dev/null 2>&1 || true
    done <"$work/databases"
  fi
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

# scratch_database: makes a new database on the --postgres server and prints its URL (it runs in
# a subshell: the names to drop are kept in a file).
scratch_database() {
  local name="zelk_bench_$(date +%s%N)"
  psql -q "$database" -c "CREATE DATABASE $name" >/dev/null
  echo "$name" >>"$work/databases"
  echo "${database%/*}/$name"
}

# measure_server <label> <zelk-server>: on SQLite, then on PostgreSQL when asked.
measure_server() {
  local label=$1 binary=$2
  rm -f "$work"/zelk.db*
  # Every attach comes from one address and one client id: the rate limits, which would answer
  # most of them 429, are off.
  start "$binary" --data "$work/zelk.db" --listen 127.0.0.1:0 \
    --admin-token-file "$work/admin-token" --rate-limit-client 0 --rate-limit-address 0
  configure /admin/projects -H "Authorization: Bearer $(cat "$work/admin-token")"
  measure "$label (SQLite)"
  stop
  if [ -n "$database" ]; then
    start "$binary" --database "$(scratch_database)" --code-key-file "$work/code-key" \
      --listen 127.0.0.1:0 --admin-token-file "$work/admin-token" --rate-limit-client 0 \
      --rate-limit-address 0
    configure /admin/projects -H "Authorization: Bearer $(cat "$work/admin-token")"
    measure "$label (PostgreSQL)"
    stop
  fi
}

# measure_pgbench: the database's own ceiling, 16 clients of pgbench's simple-update script.
measure_pgbench() {
  local url line
  url=$(scratch_database)
  pgbench -q -i -s 16 "$url" >/dev/null 2>&1
  line=$(pgbench -N -c 16 -j 2 -T "${duration%s}" "$url" 2>/dev/null |
    awk '/^latency average/ { lat = $4 } /^tps/ { tps = $3 } /^number of failed/ { failed = $5 }
         END { printf "%d %.2f %d", tps, lat, failed + 0 }')
  echo "$line" | awk '{ printf "%-24s %9d %8s %8s %8s %9s %7d   (average latency %.2f ms)\n",
    "pgbench -N, 16 clients", $1, "-", "-", "-", "-", $3, $2 }' >>"$work/rows"
}

: >"$work/rows"
echo "load at start: $(uptime)"
for round in $(seq "$rounds"); do
  [ -z "$server" ] || measure_server "zelk-server" "$server"
  [ -z "$other" ] || measure_server "other zelk-server" "$other"
  [ -z "$database" ] || [ "$pgbench" = 0 ] || measure_pgbench
done
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
