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
    setsid /usr/bin/python3 "$here/smtp_sink.py" --port "${ZELK_SMTP_PORT:-2525}" "$dir" \
      >"$dir/sink.log" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 50); do grep -q '^port' "$dir/sink.log" 2>/dev/null && break; sleep 0.1; done
    echo "smtp: $(head -1 "$dir/sink.log") on 127.0.0.1, messages in $dir"
    ;;
  stop)
    if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; rm -f "$pidfile"; fi
    ;;
  *)
    echo "usage: $0 start [DIR] | stop" >&2
    exit 2
    ;;
esac
