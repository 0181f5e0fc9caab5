#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs every Debian package that building, testing and running the demo need; with --bench
# also what the service benchmarks in bench/ need (wrk, node), which CI does not run. Then the
# linter of server/openapi.json into tools/openapi/node_modules, as its package-lock.json pins
# it, when npm is there or Debian's can be installed (without it the lint test is skipped).
# Quick when all of them are already there: apt is only called for missing ones.
#   scripts/bootstrap.sh --arm64   also what the aarch64 test pass needs: the cross compiler,
#                                  qemu-user, and the arm64 development packages (this adds arm64
#                                  as a foreign architecture to dpkg)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format curl ccache
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  nlohmann-json3-dev libicu-dev libboost-dev libsqlite3-dev sqlite3 libpq-dev postgresql
  libmaxminddb-dev libmaxmind-db-writer-perl libsodium-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nginx-light python3-aiosmtpd chromium chromium-driver python3-selenium
  clang-14 libclang-rt-14-dev libc++-14-dev libc++abi-14-dev
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qttest qt6-base-private-dev fonts-dejavu-core
  doxygen graphviz lintian abigail-tools help2man jq
  openjdk-17-jdk-headless python3-venv python3-setuptools python3-wheel
)

if [ "${1:-}" = "--arm64" ]; then
  packages=(crossbuild-essential-arm64 qemu-user
    libcurl4-openssl-dev:arm64 libssl-dev:arm64 libicu-dev:arm64 libboost-dev:arm64
    libsqlite3-dev:arm64 libmaxminddb-dev:arm64 libsodium-dev:arm64)
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

if [ "${1:-}" = "--arm64" ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
fi
if [ "${1:-}" = "--bench" ]; then packages+=(wrk nodejs); fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# ---- The OpenAPI linter (tools/openapi/lint.sh) -----------------------------------------------
if [ "${1:-}" != "--arm64" ]; then
  tools=$(cd "$(dirname "$0")/.." && pwd)/tools/openapi
  if ! command -v npm >/dev/null; then
    echo "bootstrap: installing npm"
    export DEBIAN_FRONTEND=noninteractive
    { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends npm \
      >/dev/null; } || echo "bootstrap: npm cannot be installed: the OpenAPI lint is skipped" >&2
  fi
  # Installed again only when the lock file changed since the last install.
  stamp=$tools/node_modules/.zelk-installed-lock.json
  if command -v npm >/dev/null && ! cmp -s "$tools/package-lock.json" "$stamp"; then
    echo "bootstrap: installing the OpenAPI linter in $tools/node_modules"
    if (cd "$tools" &&
      npm ci --ignore-scripts --prefer-offline --no-audit --no-fund --loglevel=error >/dev/null); then
      cp "$tools/package-lock.json" "$stamp"
    else
      echo "bootstrap: npm ci failed in $tools: the OpenAPI lint is skipped" >&2
    fi
  fi
fi
