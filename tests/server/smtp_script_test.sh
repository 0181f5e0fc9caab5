#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/smtp.sh as the docs use it: `start` returns with a server that keeps listening (after
# the script has exited) and keeps every message it takes, until `stop` ends it.
#   tests/server/smtp_script_test.sh SOURCE_DIR
set -euo pipefail
root=$1
work=$(mktemp -d)
export TMPDIR=$work
pid=""
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "smtp_script: $*" >&2
  exit 1
}
# Whether process $1 runs (an exited one that nobody has reaped yet does not).
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  [[ $state != Z* ]]
}

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ZELK_SMTP_PORT=$port "$root/scripts/smtp.sh" start "$work/mail"
pid=$(cat "$work/zelk-smtp.pid")
# Some time after the script has returned, the server is still there and takes messages.
sleep 1
alive "$pid" || fail "the server ended with the script that started it"
for n in 1 2; do
  python3 - "$port" "$n" <<'PY'
import smtplib, sys
with smtplib.SMTP("127.0.0.1", int(sys.argv[1]), timeout=10) as smtp:
    smtp.sendmail("codes@example.com", ["alice@example.com"],
                  "Subject: code %s\r\n\r\nYour code is 12345%s\r\n" % (sys.argv[2], sys.argv[2]))
PY
done
for n in 1 2; do
  grep -q "Your code is 12345$n" "$work/mail/$n.eml" || fail "message $n is not in $work/mail"
  grep -q "^X-Envelope-To: alice@example.com" "$work/mail/$n.eml" || fail "message $n has no envelope"
done
"$root/scripts/smtp.sh" stop
for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
if alive "$pid"; then fail "the server still runs after stop"; fi
[ ! -e "$work/zelk-smtp.pid" ] || fail "stop left its pid file"
pid=""
echo "smtp_script: started, took two messages after the script returned, stopped"
