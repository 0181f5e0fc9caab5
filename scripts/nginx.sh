#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs deploy/nginx/zelk-server.conf with Debian's nginx on loopback, without root, TLS or any
# system path: everything lives in a temporary folder.
#
#   scripts/nginx.sh start --upstream 127.0.0.1:PORT [--port PORT] [--dir DIR] [--config FILE]
#       writes the configuration, checks it with nginx -t, starts nginx and prints
#       "nginx listening on http://127.0.0.1:<port>" and "nginx folder <dir>"; --upstream may be
#       given several times; without --port a free one is picked; without --dir a new folder is
#       made; --config runs another example file (deploy/nginx/zelk-instances.conf: several
#       instances on one database) instead of deploy/nginx/zelk-server.conf.
#   scripts/nginx.sh stop --dir DIR
#       stops that nginx and removes the folder.
#   scripts/nginx.sh check --sandbox PATH
#       starts 'PATH --port 0' (zelk-sandbox or zelk-server --sandbox) and nginx in front of it,
#       goes through the proxy as a device does, and says what the proxy got wrong, if anything:
#       attach, an event stream that is neither buffered nor compressed, X-Forwarded-For, 413 for
#       a body over 64 KiB. Exit status 0 when all is well. Takes a few seconds.
#
# The example file is used as it stands apart from these changes: the upstream servers are the
# ones given (with the options of the example's first server line), "listen 443 ssl" becomes
# "listen 127.0.0.1:<port>", the IPv6 listen and ssl_* lines go, and server_name becomes
# localhost.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
example=$root/deploy/nginx/zelk-server.conf
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}

usage() {
  sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

[ $# -ge 1 ] || usage
command=$1
shift
upstreams=()
port=""
dir=""
sandbox=""
while [ $# -gt 0 ]; do
  case "$1" in
    --upstream) upstreams+=("$2"); shift 2 ;;
    --port) port=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --sandbox) sandbox=$2; shift 2 ;;
    --config) example=$2; shift 2 ;;
    *) echo "nginx.sh: unknown option '$1'" >&2; usage ;;
  esac
done

stop() {
  [ -n "$dir" ] || { echo "nginx.sh: stop needs --dir" >&2; exit 2; }
  if [ -f "$dir/nginx.pid" ]; then
    local pid
    pid=$(cat "$dir/nginx.pid")
    "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -s quit 2>/dev/null ||
      kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

# write_config <port>: the top-level configuration and the adapted example in $dir.
write_config() {
  local listen_port=$1 servers=""
  # The options of the example's first server line (max_fails=... and the like) go to each.
  local options
  options=$(sed -n 's/^[[:space:]]*server [0-9.:]*\( [^;]*\)\{0,1\};.*/\1/p' "$example" | head -n1)
  for upstream in "${upstreams[@]}"; do servers+="    server $upstream$options;\n"; done
  # Drops the example's own server lines (live or commented) and puts the given ones in place of
  # the first.
  awk -v servers="$servers" '
    /^[ \t]*#?[ \t]*server [0-9.:]+( [^;]*)?;/ { if (!done) { printf "%s", servers; done = 1 } next }
    { print }
  ' "$example" | sed \
    -e "s/listen 443 ssl;/listen 127.0.0.1:$listen_port;/" \
    -e '/listen \[::\]:443 ssl;/d' \
    -e '/^[[:space:]]*ssl_/d' \
    -e 's/server_name .*;/server_name localhost;/' >"$dir/zelk-server.conf"
  cat >"$dir/nginx.conf" <<CONF
daemon on;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events {
    worker_connections 4096;
}
http {
    access_log $dir/access.log;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    default_type application/octet-stream;
    include $dir/zelk-server.conf;
}
CONF
}

start() {
  [ ${#upstreams[@]} -gt 0 ] || { echo "nginx.sh: start needs --upstream HOST:PORT" >&2; exit 2; }
  [ -x "$nginx" ] || { echo "nginx.sh: nginx is not installed (nginx-light)" >&2; exit 2; }
  if [ -z "$dir" ]; then dir=$(mktemp -d "${TMPDIR:-/tmp}/zelk-nginx.XXXXXX"); fi
  mkdir -p "$dir"
  local tries=1 candidate
  [ -n "$port" ] || tries=20
  for _ in $(seq "$tries"); do
    candidate=${port:-$((20000 + RANDOM % 20000))}
    write_config "$candidate"
    if ! "$nginx" -t -q -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>"$dir/check.log"; then
      echo "nginx.sh: the configuration does not pass nginx -t:" >&2
      cat "$dir/check.log" >&2
      exit 1
    fi
    if "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/start.log"; then
      for _ in $(seq 100); do
        [ -s "$dir/nginx.pid" ] && break
        sleep 0.05
      done
      echo "nginx listening on http://127.0.0.1:$candidate"
      echo "nginx folder $dir"
      return 0
    fi
    grep -q "Address already in use" "$dir/start.log" || break
  done
  echo "nginx.sh: nginx did not start:" >&2
  cat "$dir/start.log" >&2
  exit 1
}

# check: the proxy in front of a sandbox, used as a device uses the service.
check() {
  [ -n "$sandbox" ] || { echo "nginx.sh: check needs --sandbox PATH" >&2; exit 2; }
  command -v curl >/dev/null || { echo "nginx.sh: curl is not installed" >&2; exit 2; }
  local proxy failures=0
  # Globals: the exit trap below still needs them after this function has returned.
  sandbox_pid=""
  stream_pid=""
  base=""
  work=$(mktemp -d "${TMPDIR:-/tmp}/zelk-nginx-check.XXXXXX")
  dir=$work/nginx
  # shellcheck disable=SC2317  # called by the trap
  finish() {
    [ -z "$stream_pid" ] || kill "$stream_pid" 2>/dev/null || true
    stop >/dev/null 2>&1 || true
    if [ -n "$sandbox_pid" ]; then
      kill "$sandbox_pid" 2>/dev/null || true
      wait "$sandbox_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
  }
  trap finish EXIT
  fail() {
    echo "nginx.sh check: $*" >&2
    failures=$((failures + 1))
  }

  "$sandbox" --port 0 >"$work/sandbox.log" 2>&1 &
  sandbox_pid=$!
  for _ in $(seq 100); do
    base=$(sed -n 's/.* listening on \(http:[^ ]*\).*/\1/p' "$work/sandbox.log" | head -n1)
    [ -n "$base" ] && break
    sleep 0.1
  done
  [ -n "$base" ] || { echo "nginx.sh check: the sandbox did not start:" >&2; cat "$work/sandbox.log" >&2; exit 1; }
  upstreams=("${base#http://}")
  proxy=$(start | sed -n 's/^nginx listening on //p')

  curl -fsS -o /dev/null -X POST -H 'Content-Type: application/json' \
    --data '{"client_id":"proxy-check","overall_limit":10}' "$base/_sandbox/project"
  local attach device access
  attach=$(curl -sS -X POST -H 'Authorization: Basic proxy-check:' \
    -H 'Content-Type: application/json' --data '{"user":"alice","library":"swift",
    "version":"3.0.2","device_info":{"os":{"name":"iOS","version":"17.4"},"device":{
    "vendor":"Apple","model":"iPhone15,2","type":"mobile"}},"signals":{
    "iosVendorIdentifier":"0B0B0B0B-0000-4000-8000-000000000001"},"metadata":[]}' \
    "$proxy/v2/access")
  device=$(echo "$attach" | sed -n 's/.*"device_id":"\([^"]*\)".*/\1/p')
  access=$(echo "$attach" | sed -n 's/.*"access":"\([^"]*\)".*/\1/p')
  if [ -z "$device" ] || [ -z "$access" ]; then
    fail "attach through the proxy answered: $attach"
    exit 1
  fi

  # A stream through the proxy, asking for compression as browsers do.
  curl -sN -H 'Accept: text/event-stream' -H 'Accept-Encoding: gzip' -D "$work/stream.head" \
    "$proxy/v2/access/device/$device/listen?access=$access&auth=Basic%20proxy-check%3A" \
    >"$work/stream.body" 2>/dev/null &
  stream_pid=$!
  for _ in $(seq 100); do
    grep -q '^\s*$' "$work/stream.head" 2>/dev/null && break
    sleep 0.05
  done
  grep -qi '^HTTP/1.1 200' "$work/stream.head" || fail "the stream through the proxy did not open"
  grep -qi '^content-type: text/event-stream' "$work/stream.head" ||
    fail "the stream through the proxy is not text/event-stream"
  grep -qi '^content-encoding' "$work/stream.head" && fail "the proxy compresses the stream"
  curl -fsS -o /dev/null -X POST -H 'Content-Type: application/json' \
    --data "{\"device\":\"$device\",\"data\":\"through-the-proxy\"}" "$base/_sandbox/push"
  local arrived=0
  for _ in $(seq 100); do
    if grep -q 'through-the-proxy' "$work/stream.body"; then arrived=1; break; fi
    sleep 0.05
  done
  [ "$arrived" = 1 ] || fail "a pushed event did not come through the proxy within 5 s (buffered?)"

  curl -sS "$base/_sandbox/requests" | grep -qi '"x-forwarded-for","127.0.0.1"' ||
    fail "the service did not get X-Forwarded-For"
  local status
  status=$(head -c 70000 /dev/zero | tr '\0' 'a' | curl -s -o /dev/null -w '%{http_code}' \
    -X POST -H 'Authorization: Basic proxy-check:' -H 'Content-Type: application/json' \
    --data-binary @- "$proxy/v2/access")
  [ "$status" = 413 ] || fail "a body over 64 KiB answered $status, not 413"

  if [ "$failures" -gt 0 ]; then exit 1; fi
  echo "nginx.sh check: attach, unbuffered uncompressed stream, X-Forwarded-For and 413 are right"
}

case "$command" in
  start) start ;;
  stop) stop ;;
  check) check ;;
  *) usage ;;
esac
