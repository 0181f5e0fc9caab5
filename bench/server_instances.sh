#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Attaches per second through nginx with one, two and three zelk-server instances on one
# PostgreSQL (a throwaway cluster from scripts/postgres.sh), with wrk and server_attach.lua.
# Prints requests/s, p50/p99 and the CPU each instance and PostgreSQL used, as a share of one
# core, for each count of instances; then the cross-instance push latency (bench/instances_push.py).
#
#   bench/server_instances.sh --server build/.../zelk-server [--duration 10s]
#                             [--connections 64] [--threads 2] [--mode reattach|new]
#                             [--counts "1 2 3"] [--no-push]
#
# Needs wrk, curl, nginx and Debian's postgresql. Everything runs on 127.0.0.1; the temporary
# folder, the cluster and nginx are removed after.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
server=""
duration=10s
connections=64
threads=2
mode=reattach
counts="1 2 3"
push=1
client_id=bench-instances

usage() {
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --server) server=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --counts) counts=$2; shift 2 ;;
    --no-push) push=0; shift ;;
    -h|--help) usage ;;
    *) echo "server_instances.sh: unknown option '$1'" >&2; usage ;;
  esac
done
[ -n "$server" ] || usage
for tool in wrk curl; do
  command -v "$tool" >/dev/null || { echo "server_instances.sh: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
chmod 755 "$work"
pids=()
nginx_dir=""
pg_dir="$work/pg"
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  [ -z "$nginx_dir" ] || "$root/scripts/nginx.sh" stop --dir "$nginx_dir" >/dev/null 2>&1 || true
  [ ! -d "$pg_dir" ] || "$root/scripts/postgres.sh" stop --dir "$pg_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# CPU seconds (user + system) of a process so far.
cpu_of() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f\n", ($14 + $15) / hz }' "/proc/$1/stat"
}

# CPU seconds of every PostgreSQL process so far (the postmaster and its backends).
pg_cpu() {
  local total=0 pid
  for pid in $(pgrep -u postgres -f "postgres" || true); do
    [ -r "/proc/$pid/stat" ] || continue
    total=$(awk -v t="$total" -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", t + ($14 + $15) / hz }' \
      "/proc/$pid/stat" 2>/dev/null || echo "$total")
  done
  echo "$total"
}

echo "load at start: $(uptime)"
pg_port=$(free_port)
url=$("$root/scripts/postgres.sh" start --port "$pg_port" --dir "$pg_dir" |
  sed -n 's/.*listening on \(postgres[^ ]*\).*/\1/p')

: >"$work/rows"
for count in $counts; do
  # A fresh database for each count, so that each starts from the same empty records.
  db="bench$count"
  psql -q "$url" -c "CREATE DATABASE $db" >/dev/null
  db_url="${url%/*}/$db"
  pids=()
  upstreams=()
  for i in $(seq "$count"); do
    port=$(free_port)
    "$server" --database "$db_url" --listen "127.0.0.1:$port" --admin-token-file "$work/admin-token" \
      --code-key-file "$work/code-key" --rate-limit-client 0 --rate-limit-address 0 \
      --log-format none >"$work/server$i.log" 2>&1 &
    pids+=($!)
    upstreams+=(--upstream "127.0.0.1:$port")
    for _ in $(seq 300); do
      curl -fsS -o /dev/null "http://127.0.0.1:$port/readyz" 2>/dev/null && break
      sleep 0.1
    done
  done
  out=$("$root/scripts/nginx.sh" start --config "$root/deploy/nginx/zelk-instances.conf" \
    "${upstreams[@]}")
  nginx_dir=$(echo "$out" | sed -n 's/nginx folder //p')
  base=$(echo "$out" | sed -n 's/nginx listening on //p')
  curl -fsS -o /dev/null -X POST -H 'Content-Type: application/json' \
    -H "Authorization: Bearer $(cat "$work/admin-token")" \
    --data '{"client_id":"'$client_id'","name":"Instances bench","overall_limit":1000000,
      "mobile_limit":0,"tablet_limit":0,"computer_limit":0}' "$base/admin/projects"
  # A short warm-up first, so that the measured run starts with the devices added.
  wrk -t"$threads" -c"$connections" -d3s -s "$here/server_attach.lua" "$base" \
    -- "$client_id" 2000 "$mode" >/dev/null
  before=()
  for pid in "${pids[@]}"; do before+=("$(cpu_of "$pid")"); done
  pg_before=$(pg_cpu)
  started=$(date +%s.%N)
  line=$(wrk -t"$threads" -c"$connections" -d"$duration" --latency -s "$here/server_attach.lua" \
    "$base" -- "$client_id" 2000 "$mode" | grep '^RESULT ')
  took=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
  cpus=""
  for i in "${!pids[@]}"; do
    cpus+=$(awk -v a="${before[$i]}" -v b="$(cpu_of "${pids[$i]}")" -v t="$took" \
      'BEGIN { printf "%d%% ", 100 * (b - a) / t }')
  done
  pg=$(awk -v a="$pg_before" -v b="$(pg_cpu)" -v t="$took" 'BEGIN { printf "%d%%", 100 * (b - a) / t }')
  echo "$line" | awk -v n="$count" -v cpus="$cpus" -v pg="$pg" \
    '{ printf "%-10s %9d %8.2f %8.2f %7d  %-18s %s\n", n, $2, $3 / 1000, $4 / 1000, $7, cpus, pg }' \
    >>"$work/rows"
  "$root/scripts/nginx.sh" stop --dir "$nginx_dir" >/dev/null
  nginx_dir=""
  for pid in "${pids[@]}"; do kill "$pid"; wait "$pid" 2>/dev/null || true; done
  pids=()
done

echo "attaches through nginx, $connections keep-alive connections, $threads wrk threads, $duration, mode $mode"
printf '%-10s %9s %8s %8s %7s  %-18s %s\n' instances "req/s" "p50 ms" "p99 ms" errors \
  "CPU per instance" "PostgreSQL CPU"
cat "$work/rows"
echo "load at end: $(uptime)"

if [ "$push" = 1 ]; then
  psql -q "$url" -c "CREATE DATABASE push" >/dev/null
  python3 "$here/instances_push.py" --server "$server" --database "${url%/*}/push" \
    --scripts "$root/scripts"
fi
