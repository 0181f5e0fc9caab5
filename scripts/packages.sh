#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (a Release build with the prefix /usr, then CPack), checks them with
# lintian, installs them with apt-get, builds the consumer projects against the installed -dev
# packages, checks zelk-server's manual page against its --help, starts the installed
# zelk-server the way its systemd unit does and asks /healthz (and /openapi.json, against the
# installed copy),
# then purges the packages and checks that nothing of theirs is left on the machine.
#
#   scripts/packages.sh [--keep]     (--keep leaves the packages installed for inspection)
#
# The packages end up in build/packages/ (PACKAGES_BUILD_DIR overrides the build folder). Needs
# root or sudo for apt-get. Extra CMake arguments come from PACKAGES_CMAKE_ARGS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PACKAGES_BUILD_DIR:-$root/build/packages}
keep=false
[ "${1:-}" = "--keep" ] && keep=true

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
say() { echo "packages: $*"; }
fail() {
  echo "packages: $*" >&2
  exit 1
}

"$root/scripts/bootstrap.sh"

# ---- Build and package ---------------------------------------------------------------------
say "building the Release packages in $build"
# GCC 12 reports a false -Wrestrict inside libstdc++ at -O3; it must not stop a package build.
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS=-Wno-error=restrict \
  -DZELK_BUILD_TESTS=OFF -DZELK_BUILD_EXAMPLES=OFF -DZELK_BUILD_TOOLS=ON -DZELK_BUILD_QT=ON \
  -DZELK_BUILD_JAVA=OFF -DZELK_CCACHE=ON \
  ${PACKAGES_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
mapfile -t debs < <(ls "$build"/*.deb)
((${#debs[@]})) || fail "CPack made no package"
packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
  say "made $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
version=$(dpkg-deb -f "${debs[0]}" Version)
upstream_version=${version%-*}

# ---- lintian: no errors --------------------------------------------------------------------
say "lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" ||
  fail "lintian reports errors (above)"

# ---- Install --------------------------------------------------------------------------------
work=$(mktemp -d)
server=""
sandbox=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  [ -n "$sandbox" ] && kill "$sandbox" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

say "installing ${packages[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
# Everything the packages put on the machine, to check the purge against.
for package in "${packages[@]}"; do dpkg -L "$package"; done | sort -u >"$work/files"

# ---- A service for the consumers --------------------------------------------------------------
url=""
if command -v zelk-sandbox >/dev/null; then
  zelk-sandbox --port 0 >"$work/sandbox.log" 2>&1 &
  sandbox=$!
  for _ in $(seq 100); do
    grep -q "listening on" "$work/sandbox.log" && break
    sleep 0.05
  done
  url=$(sed -n 's/^zelk-sandbox listening on //p' "$work/sandbox.log" | head -n 1)
  [ -n "$url" ] || fail "the installed zelk-sandbox did not start: $(cat "$work/sandbox.log")"
fi

# ---- The consumer projects against the installed -dev packages -----------------------------
say "building the consumer projects against /usr"
cmake -S "$root/tests/consumer" -B "$work/consumer" -G Ninja >/dev/null
cmake --build "$work/consumer" >/dev/null
# shellcheck disable=SC2046
c++ -std=c++20 "$root/tests/consumer/main.cpp" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs zelk)
if [ -n "$url" ]; then
  "$work/consumer/consumer" "$url"
  "$work/consumer-pc" "$url"
fi
if dpkg-query -W libzelk-c-dev >/dev/null 2>&1; then
  cmake -S "$root/tests/consumer/c" -B "$work/consumer-c" -G Ninja >/dev/null
  cmake --build "$work/consumer-c" >/dev/null
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/c/main.c" \
    -o "$work/c-consumer-pc" $(pkg-config --cflags --libs zelk-c)
  if [ -n "$url" ]; then
    "$work/consumer-c/c-consumer" "$url"
    "$work/c-consumer-pc" "$url"
  fi
fi
if dpkg-query -W libzelk-qt-dev >/dev/null 2>&1; then
  cmake -S "$root/tests/consumer/qt" -B "$work/consumer-qt" -G Ninja >/dev/null
  cmake --build "$work/consumer-qt" >/dev/null
  export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
  [ -z "$url" ] || "$work/consumer-qt/qt-consumer" "$url"
  # Qt's own test runner, with no import path of ours: the module is where Qt looks.
  /usr/lib/qt6/bin/qmltestrunner -input "$root/tests/consumer/qt/tst_installed_module.qml"
fi

# ---- zelk-server as its unit starts it --------------------------------------------------------
unit=/lib/systemd/system/zelk-server.service
if [ -f "$unit" ]; then
  # The manual page the package installs is the installed program's help.
  bash "$root/tests/server/man_page_check.sh" /usr/share/man/man1/zelk-server.1.gz \
    /usr/bin/zelk-server || fail "the installed manual page of zelk-server is not its --help"
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  [ -n "$exec_start" ] || fail "$unit has no ExecStart line"
  user=$(sed -n 's/^User=//p' "$unit")
  getent passwd "$user" >/dev/null || fail "the package did not create the user $user"
  [ "$(stat -c %U /var/lib/zelk-server)" = "$user" ] || fail "/var/lib/zelk-server is not $user's"
  say "starting '$exec_start' as $user (listening on any free loopback port)"
  # The environment wins over the configuration file: a free port, so nothing else collides.
  # shellcheck disable=SC2086
  $sudo env ZELK_SERVER_LISTEN=127.0.0.1:0 setpriv --reuid="$user" --regid="$user" \
    --init-groups -- $exec_start >"$work/server.log" 2>&1 &
  server=$!
  for _ in $(seq 200); do
    grep -q "listening on" "$work/server.log" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
  done
  server_url=$(sed -n 's/^zelk-server listening on //p' "$work/server.log" | head -n 1)
  [ -n "$server_url" ] || fail "the installed zelk-server did not start: $(cat "$work/server.log")"
  health=$(curl -fsS "$server_url/healthz") || fail "GET $server_url/healthz failed"
  say "/healthz: $health"
  expected="\"version\":\"$upstream_version\""
  [[ "${health// /}" == *"$expected"* ]] ||
    fail "/healthz does not report version $upstream_version, the package's"
  # The description of the routes the package installs is the one the program serves.
  curl -fsS "$server_url/openapi.json" | cmp -s - /usr/share/zelk-server/openapi.json ||
    fail "GET $server_url/openapi.json is not /usr/share/zelk-server/openapi.json"
  # The packaged configuration put the database and the admin token where the unit lets the
  # service write, and the token works for the admin command.
  curl -fsS "$server_url/readyz" >/dev/null || fail "GET $server_url/readyz failed"
  token_file=/var/lib/zelk-server/admin-token
  [ "$(stat -c '%U %a' "$token_file" 2>/dev/null)" = "$user 600" ] ||
    fail "$token_file is not $user's with mode 600: $(ls -l "$token_file" 2>&1)"
  [ -f /var/lib/zelk-server/zelk-server.db ] || fail "no database in /var/lib/zelk-server"
  $sudo setpriv --reuid="$user" --regid="$user" --init-groups -- \
    zelk-server admin --url "$server_url" --token-file "$token_file" projects >/dev/null ||
    fail "zelk-server admin cannot list the projects with $token_file"
  $sudo kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=""
fi
[ -z "$sandbox" ] || {
  kill "$sandbox" 2>/dev/null || true
  wait "$sandbox" 2>/dev/null || true
  sandbox=""
}

if $keep; then
  say "installed and checked; --keep leaves ${packages[*]} installed"
  exit 0
fi

# ---- Purge: nothing of ours is left ----------------------------------------------------------
say "purging ${packages[*]}"
$sudo apt-get purge -y -qq "${packages[@]}" >/dev/null
left=()
for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv "not-installed"; then
    left+=("package $package")
  fi
done
while IFS= read -r path; do
  # Shared directories (/usr/include, ...) stay, as they should; ours must go.
  if [ -d "$path" ]; then
    [[ "${path,,}" == *zelk* ]] && left+=("$path")
    continue
  fi
  [ -e "$path" ] || [ -L "$path" ] && left+=("$path")
done <"$work/files"
for path in /var/lib/zelk-server /etc/zelk-server; do
  [ -e "$path" ] && left+=("$path")
done
getent passwd zelk-server >/dev/null && left+=("user zelk-server")
getent group zelk-server >/dev/null && left+=("group zelk-server")
((${#left[@]} == 0)) || fail "left behind after the purge: ${left[*]}"
say "built, linted, installed, used and purged ${#packages[@]} packages; nothing left behind"
