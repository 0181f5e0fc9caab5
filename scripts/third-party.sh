#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Prints the installed Debian versions of the third-party packages that docs/third-party.md lists,
# so the document can be brought up to date after a Debian point release.
set -euo pipefail
packages=(
  libcurl4 libcurl4-openssl-dev libssl3 libssl-dev libicu72 libicu-dev nlohmann-json3-dev libcpp-httplib-dev
  qt6-base-dev qt6-declarative-dev libboost-dev libboost1.74-dev libsqlite3-0 libsqlite3-dev
  libpq5 libpq-dev libmaxminddb0 libmaxminddb-dev libsodium23 libsodium-dev libmaxmind-db-writer-perl googletest libgtest-dev libgmock-dev libbenchmark-dev doxygen graphviz
  fonts-dejavu-core
)
for package in "${packages[@]}"; do
  version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || true)
  printf '%-24s %s\n' "$package" "${version:-(not installed)}"
done
