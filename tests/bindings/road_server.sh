#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Starts zelk-server in sandbox mode on a free loopback port with its records in SQLite in a
# temporary folder, sets up the project of the challenge road (one device allowed, verification
# by e-mail first, user alice with an address), runs COMMAND with ZELK_TEST_URL and
# ZELK_TEST_CLIENT_ID in its environment, and stops the server again. The bindings' tests and
# examples use it.
#   road_server.sh SERVER_EXE COMMAND [ARG...]
set -euo pipefail
server_exe=$1
shift
work=$(mktemp -d)
"$server_exe" --sandbox --data "$work/zelk.db" --listen 127.0.0.1:0 \
  --admin-token-file "$work/admin-token" --log-format none >"$work/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 200); do
  grep -q "listening on" "$work/server.log" && break
  sleep 0.05
done
url=$(sed -n 's/^zelk-server listening on //p' "$work/server.log" | head -n 1)
[ -n "$url" ] || { echo "road_server: zelk-server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }
client_id=bindings-road
admin() {
  "$server_exe" admin --url "$url" --token-file "$work/admin-token" "$@" >/dev/null
}
admin project --client-id "$client_id" --name "Bindings Road" --overall-limit 1 --mobile-limit 1 \
  --tablet-limit 1 --computer-limit 0 --require-verification true --show-contacts true
admin user --client-id "$client_id" --user alice --email alice@example.com
ZELK_TEST_URL=$url ZELK_TEST_CLIENT_ID=$client_id "$@"
