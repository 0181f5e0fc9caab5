#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A local SMTP server to try e-mailed codes by hand (the tests start their own):
#   scripts/smtp.sh start [DIR]   listens on 127.0.0.1:2525, messages go to DIR (default
#                                 /tmp/zelk-smtp) as <n>.eml
#   scripts/smtp.sh stop
# Then: zelk-server --smtp-url smtp://127.0.0.1:2525 --smtp-from codes@example.com ...
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dir="${2:-/tmp/zelk-smtp}"
pidfile="${TMPDIR:-/tmp}/zelk-smtp.pid"
case "${1:-}" in
  start)
    mkdir -p "$dir"
    # Detached: it outlives this script, which would otherwise end it on the way out.
    setsid /usr/bin/python3 "$here/smtp_sink.py" --detached --port "${ZELK_SMTP_PORT:-2525}" \
      "$dir" >"$dir/sink.log" 2>&1 &
    pid=$!
    echo "$pid" >"$pidfile"
    for _ in $(seq 50); do
      grep -q '^port' "$dir/sink.log" 2>/dev/null && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if ! grep -q '^port' "$dir/sink.log" 2>/dev/null || ! kill -0 "$pid" 2>/dev/null; then
      rm -f "$pidfile"
      echo "smtp: the server did not start: $(cat "$dir/sink.log")" >&2
      exit 1
    fi
    echo "smtp: $(head -1 "$dir/sink.log") on 127.0.0.1, messages in $dir"
    ;;
  stop)
    if [ -f "$pidfile" ]; then
      pid=$(cat "$pidfile")
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do
        state=$(ps -o stat= -p "$pid" 2>/dev/null) || break
        [[ $state != Z* ]] || break
        sleep 0.1
      done
      rm -f "$pidfile"
    fi
    ;;
  *)
    echo "usage: $0 start [DIR] | stop" >&2
    exit 2
    ;;
esac
