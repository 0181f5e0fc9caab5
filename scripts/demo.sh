#!/usr/bin/env bash
# Runs the example host against a sandbox service started on a free loopback port.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/plain}
BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null

log=$(mktemp)
"$build/tools/sandbox/zelk-sandbox" --port 0 >"$log" 2>&1 &
sandbox=$!
trap 'kill $sandbox 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 100); do
  grep -q "listening on" "$log" && break
  sleep 0.05
done
url=$(sed -n 's/^zelk-sandbox listening on //p' "$log" | head -n 1)
[ -n "$url" ] || { echo "demo: the sandbox did not start:" >&2; cat "$log" >&2; exit 1; }
echo "demo: sandbox service at $url"
"$build/examples/zelk-example-host" --base-url "$url"
