#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks zelk-server's manual page against the program it was made from: it renders without a
# warning from man (as lintian renders it), names the program's version, and lists every option
# and admin command that `zelk-server --help` lists.
#   tests/server/man_page_check.sh PAGE(.1 or .1.gz) ZELK-SERVER
set -euo pipefail
page=$1
server=$2
fail() {
  echo "man_page_check: $*" >&2
  exit 1
}
[ -f "$page" ] || fail "no manual page at $page"

warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
  fail "man cannot render $page: $warnings"
[ -z "$warnings" ] || fail "man warns about $page: $warnings"
text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)

version=$("$server" --version)
[ -n "$version" ] || fail "$server --version printed nothing"
grep -qF "${version#zelk-server }" <<<"$text" || fail "the page does not name the version ($version)"

help=$("$server" --help)
mapfile -t options < <(grep -oE '^  (-h, )?--[a-z0-9-]+' <<<"$help" | sed 's/^ *//; s/^-h, //')
((${#options[@]} > 40)) || fail "$server --help lists only ${#options[@]} options"
missing=()
for option in "${options[@]}"; do
  grep -qE -- "(^|[ ,])$option( |,|$)" <<<"$text" || missing+=("$option")
done
while read -r command; do
  grep -qE "^ +$command( |$)" <<<"$text" || missing+=("admin $command")
done < <("$server" admin --help | sed -n '/^Admin commands:/,$p' | grep -oE '^  [a-z-]+' | sed 's/^ *//')
((${#missing[@]} == 0)) || fail "the page lacks ${missing[*]}"
echo "man_page_check: $page lists the ${#options[@]} options of $version"
