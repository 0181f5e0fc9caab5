#!/usr/bin/env bash
# Runs deploy/nginx/zelk-server.conf with Debian's nginx on loopback, without root, TLS or any
# system path: everything lives in a temporary folder.
#
#   scripts/nginx.sh start --upstream 127.0.0.1:PORT [--port PORT] [--dir DIR]
#       writes the configuration, checks it with nginx -t, starts nginx and prints
#       "nginx listening on http://127.0.0.1:<port>" and "nginx folder <dir>"; --upstream may be
#       given several times; without --port a free one is picked; without --dir a new folder is
#       made.
#   scripts/nginx.sh stop --dir DIR
#       stops that nginx and removes the folder.
#
# The example file is used as it stands apart from these changes: the upstream servers are the
# ones given, "listen 443 ssl" becomes "listen 127.0.0.1:<port>", the IPv6 listen and ssl_*
# lines go, and server_name becomes localhost.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
example=$root/deploy/nginx/zelk-server.conf
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}

usage() {
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

[ $# -ge 1 ] || usage
command=$1
shift
upstreams=()
port=""
dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --upstream) upstreams+=("$2"); shift 2 ;;
    --port) port=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
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
  for upstream in "${upstreams[@]}"; do servers+="    server $upstream;\n"; done
  # Drops the example's own server lines (live or commented) and puts the given ones in place of
  # the first.
  awk -v servers="$servers" '
    /^[ \t]*#?[ \t]*server [0-9.:]+;/ { if (!done) { printf "%s", servers; done = 1 } next }
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

case "$command" in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
