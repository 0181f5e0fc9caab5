#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# From start to the first ready answer, and the memory a started instance holds, with a database
# of 0, 100,000 and 1,000,000 devices (two per user, a kept message each, a challenge for every
# tenth user), on SQLite and on PostgreSQL. Goal: under 1 s to /readyz and resident memory
# within 10 % of the empty database's, at every size.
#
#   bench/server_start.sh --server build/.../zelk-server [--vs OTHER-zelk-server]
#                         [--sizes "0 100000 1000000"] [--postgres ADMIN-URL] [--starts 3]
#
# Each server makes its own schema on an empty database first; then the records are written
# straight with sqlite3 or psql, the same for every build, and the server is started again: the
# first start after the writing is reported apart, and the figures are the medians of the starts
# after it. --vs measures another build the same way. --postgres makes its databases on that
# server (an administrator's URL) and drops them after.
# Needs sqlite3, curl (and psql for --postgres). Everything runs on 127.0.0.1.
set -euo pipefail

server=""
other=""
sizes="0 100000 1000000"
postgres=""
starts=3

usage() {
  sed -n '3,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --server) server=$2; shift 2 ;;
    --vs) other=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    --postgres) postgres=$2; shift 2 ;;
    --starts) starts=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "server_start.sh: unknown option '$1'" >&2; usage ;;
  esac
done
[ -n "$server" ] || usage

work=$(mktemp -d)
pid=""
databases=()
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  for name in "${databases[@]}"; do
    psql -q "$postgres" -c "DROP DATABASE IF EXISTS $name WITH (FORCE)" >/dev/null 2>&1 || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The rows of N devices, in SQL both databases take: the user's column named as given, and the
# challenges' plain code column (of the older schemas) written when a third argument says so.
rows() {
  local devices=$1 user=$2 code=${3:-} now
  now=$(($(date +%s) * 1000))
  cat <<SQL
BEGIN;
INSERT INTO projects (client_id, configured, name, overall_limit, mobile_limit, tablet_limit,
  computer_limit, logo, primary_color, require_verification, block_over_usage, limit_policy,
  show_contacts, liveness_grace, webhook_url, webhook_secret)
  VALUES ('bench', TRUE, 'Bench', 3, 3, 3, 3, '', '#4F46E5', FALSE, FALSE, 'challenge', FALSE,
          900, '', '');
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $devices)
INSERT INTO devices (id, client_id, $user, vendor_id, type, library, version, identity, accesses,
  device_info, metadata, attached_at, last_seen_at, last_event_id, position)
  SELECT 'dev_' || (1000000000 + i), 'bench', 'user-' || (i / 2), 'vendor-' || i, 'mobile',
    'swift', '3.0.2', '', '["acc_' || (1000000000 + i) || '"]',
    '{"os":{"name":"iOS","version":"17.4"},"device":{"vendor":"Apple","model":"iPhone15,2","type":"mobile"}}',
    '{"plan":"pro"}', $now, $now, 1, i FROM n WHERE i < $devices;
INSERT INTO users (client_id, $user, email, phone)
  SELECT DISTINCT client_id, $user, '', '' FROM devices;
INSERT INTO messages (device_id, id, sent_at, data)
  SELECT id, 1, $now, '{"action":"challenge","challenge":{"_id":"ch_x"}}' FROM devices;
INSERT INTO challenges (id, client_id, $user, reason, created_at, ${code:+code,} code_hash,
  channel, codes_sent, checks, verified, resolved, code_sent_at, code_checks, recent_sends,
  position)
  SELECT 'ch_' || $user, client_id, $user, 'overall', $now, ${code:+'',} '', '', 0, 0, FALSE,
    FALSE, 0, 0, '[]', 0
  FROM users WHERE $user LIKE '%0';
COMMIT;
SQL
}

# start_once <binary> <store flags...>: starts, waits for /readyz; sets $took_ms and $rss_kb.
start_once() {
  local binary=$1
  shift
  local log="$work/log" began port=""
  began=$(date +%s%N)
  "$binary" "$@" --listen 127.0.0.1:0 --admin-token-file "$work/admin-token" \
    --code-key-file "$work/code-key" --log-format none >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 60000); do
    port=$(sed -n 's/.* listening on http:\/\/127.0.0.1:\([0-9]*\).*/\1/p' "$log" | head -n1)
    if [ -n "$port" ] && curl -fs -o /dev/null "http://127.0.0.1:$port/readyz"; then break; fi
    kill -0 "$pid" 2>/dev/null || { echo "server_start.sh: $binary did not start:" >&2; cat "$log" >&2; exit 1; }
    sleep 0.005
  done
  took_ms=$((($(date +%s%N) - began) / 1000000))
  rss_kb=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure <label> <binary> <store flags...>
measure() {
  local label=$1 size=$2 binary=$3
  shift 3
  start_once "$binary" "$@"
  local first=$took_ms times=() rss=()
  for _ in $(seq "$starts"); do
    start_once "$binary" "$@"
    times+=("$took_ms")
    rss+=("$rss_kb")
  done
  printf '%-34s %9s %12s %10s %10s\n' "$label" "$size" "$first" \
    "$(printf '%s\n' "${times[@]}" | median)" "$(($(printf '%s\n' "${rss[@]}" | median) / 1024))" \
    >>"$work/rows"
}

: >"$work/rows"
echo "load at start: $(uptime)"
for size in $sizes; do
  for which in server other; do
    binary=${!which}
    [ -n "$binary" ] || continue
    rm -f "$work"/zelk.db*
    start_once "$binary" --data "$work/zelk.db"
    # The user's column is named as the build's schema names it; a users' version is 1.
    column=$(sqlite3 "$work/zelk.db" "SELECT name FROM pragma_table_info('devices') WHERE name IN ('user', 'user_id')")
    code=$(sqlite3 "$work/zelk.db" "SELECT name FROM pragma_table_info('challenges') WHERE name = 'code'")
    { rows "$size" "$column" "$code"
      if sqlite3 "$work/zelk.db" "SELECT 1 FROM pragma_table_info('users') WHERE name = 'version'" | grep -q 1; then
        echo "UPDATE users SET version = 1;"
      fi; } | sqlite3 -bail "$work/zelk.db"
    measure "$which, SQLite" "$size" "$binary" --data "$work/zelk.db"
    rm -f "$work"/zelk.db*
    if [ -n "$postgres" ]; then
      name="zelk_start_${size}_${which}_$$"
      psql -q "$postgres" -c "CREATE DATABASE $name" >/dev/null
      databases+=("$name")
      url="${postgres%/*}/$name"
      start_once "$binary" --database "$url"
      code=$(psql -tA "$url" -c "SELECT column_name FROM information_schema.columns WHERE table_name = 'challenges' AND column_name = 'code'")
      { rows "$size" user_id "$code"
        if psql -tA "$url" -c "SELECT 1 FROM information_schema.columns WHERE table_name = 'users' AND column_name = 'version'" | grep -q 1; then
          echo "UPDATE users SET version = 1;"
        fi; } | psql -q -v ON_ERROR_STOP=1 "$url" >/dev/null
      psql -q "$url" -c "VACUUM ANALYZE" >/dev/null
      measure "$which, PostgreSQL" "$size" "$binary" --database "$url"
    fi
  done
done

echo "start to the first ready answer, and resident memory then (medians of $starts starts)"
printf '%-34s %9s %12s %10s %10s\n' subject devices "first ms" "start ms" "RSS MiB"
cat "$work/rows"
echo "load at end: $(uptime)"
