#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A throwaway PostgreSQL cluster for tests and trials, made from Debian's postgresql package:
#   scripts/postgres.sh start [--port P] [--dir D] [--durable] [--log-statements]
#       makes a cluster in D (default: a new temporary folder), listening on 127.0.0.1:P only
#       (default 55432), and prints
#       "postgres listening on postgres://postgres@127.0.0.1:P/postgres" and "postgres dir D"
#   scripts/postgres.sh stop --dir D                 stops it and removes D
# The cluster runs as the postgres user (initdb refuses root, and CI runs as root) with fsync off:
# it is for tests, not for records anyone wants to keep. A commit still reaches the log before it
# returns (synchronous_commit stays on), so a server killed and started again keeps every commit;
# only a crash of the whole machine could lose some. Local connections need no password.
# --durable keeps fsync and full-page writes on, as a database in service has them (the benchmarks
# measure that); --log-statements writes every statement to D/server.log (log_statement = all).
set -euo pipefail

command="${1:-}"
shift || true
port=55432
dir=""
durability="-c fsync=off -c full_page_writes=off"
statements=""
while (($#)); do
  case "$1" in
    --port) port="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    --durable) durability=""; shift ;;
    --log-statements) statements="-c log_statement=all"; shift ;;
    *) echo "postgres.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done

bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)"
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "postgres.sh: no PostgreSQL server found under /usr/lib/postgresql (apt-get install postgresql)" >&2
  exit 1
fi

# Runs a server program as the postgres user when we are root, as ourselves otherwise.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

case "$command" in
  start)
    if [ -z "$dir" ]; then dir="$(mktemp -d "${TMPDIR:-/tmp}/zelk-postgres.XXXXXX")"; fi
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then chown postgres: "$dir"; fi
    chmod 700 "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --no-sync \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    # The socket goes into the cluster's own folder, so clusters of several runs never meet.
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-c listen_addresses=127.0.0.1 -p $port -k $dir $durability $statements \
          -c max_connections=300 -c shared_buffers=64MB" \
      start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    echo "postgres listening on postgres://postgres@127.0.0.1:$port/postgres"
    echo "postgres dir $dir"
    ;;
  stop)
    if [ -z "$dir" ]; then echo "postgres.sh: stop needs --dir D" >&2; exit 2; fi
    if [ -d "$dir/data" ]; then
      as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    case "$dir" in
      /|"") ;;
      *) rm -rf "$dir" ;;
    esac
    ;;
  *)
    echo "usage: $0 start [--port P] [--dir D] [--durable] [--log-statements] | stop --dir D" >&2
    exit 2
    ;;
esac
