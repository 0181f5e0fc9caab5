#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Holds libzelk-c, the C interface, to its ABI: the baseline c/abi/libzelk-c.abi (abidw's record
# of its exported functions and the types they use, from Debian's abigail-tools).
#
#   scripts/abi.sh check [BUILD_DIR]    the built library exports only zelk_ functions, and
#                                       abidiff finds it identical to the baseline (run by ctest;
#                                       with ZELK_ABI_EXPORTS_ONLY set to a reason, only the
#                                       first; NM names the nm to use)
#   scripts/abi.sh update [BUILD_DIR]   writes the baseline from the built library
#   scripts/abi.sh history [BASE]       when the baseline changed since BASE (by default the
#                                       merge base with main, as for the changelog) in a way that
#                                       breaks hosts, its SONAME must have changed too (CI)
#
# An addition (a new function, a new enumerator) changes the ABI compatibly: update the baseline
# in the same commit. A change that breaks hosts built against the baseline (a function removed,
# a parameter's type changed, a struct laid out anew) must also raise ZELK_ABI_VERSION in
# <zelk/zelk.h>, the SOVERSION, in that commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
baseline=$root/c/abi/libzelk-c.abi
command=${1:-check}

library_in() {
  local build=$1 found
  found=$(find "$build/c" -maxdepth 1 -name 'libzelk-c.so.*.*' -type f | head -n 1)
  [ -n "$found" ] || { echo "abi: no libzelk-c.so in $build/c (build the zelk-c target)" >&2; exit 1; }
  echo "$found"
}

# abidw's record, free of paths and source lines, so that only the ABI is compared and kept.
record() {
  abidw --headers-dir "$root/include/zelk" --drop-private-types --exported-interfaces-only \
    --no-corpus-path --no-comp-dir-path --no-show-locs "$1"
}

header_abi_version() {
  sed -n 's/^#define ZELK_ABI_VERSION \([0-9][0-9]*\)$/\1/p' "$root/include/zelk/zelk.h"
}

soname_of() {  # the soname of an abixml record
  sed -n "1s/.* soname='\([^']*\)'.*/\1/p" "$1"
}

case $command in
  check)
    build=${2:-$root/build/plain}
    library=$(library_in "$build")
    nm_tool=${NM:-nm}
    strays=$("$nm_tool" -D --defined-only "$library" | awk '$2 != "A" && $3 !~ /^zelk_/ { print $3 }')
    if [ -n "$strays" ]; then
      echo "abi: $library exports symbols that are not zelk_ functions:" >&2
      sed 's/^/  /' <<<"$strays" | head -n 20 >&2
      exit 1
    fi
    echo "abi: $(basename "$library") exports only zelk_ functions" \
      "($("$nm_tool" -D --defined-only "$library" | grep -c ' T zelk_'))"
    if [ -n "${ZELK_ABI_EXPORTS_ONLY:-}" ]; then
      echo "abi: the baseline is compared in the native GCC passes only ($ZELK_ABI_EXPORTS_ONLY)"
      exit 0
    fi
    expected="libzelk-c.so.$(header_abi_version)"
    [ "$(soname_of "$baseline")" = "$expected" ] || {
      echo "abi: the baseline is of $(soname_of "$baseline"), the header says $expected:" \
        "run scripts/abi.sh update" >&2
      exit 1
    }
    current=$(mktemp)
    trap 'rm -f "$current"' EXIT
    record "$library" >"$current"
    status=0
    abidiff "$baseline" "$current" >"$current.report" 2>&1 || status=$?
    if ((status == 0)); then
      echo "abi: identical to the baseline c/abi/libzelk-c.abi"
      rm -f "$current.report"
      exit 0
    fi
    cat "$current.report" >&2
    rm -f "$current.report"
    if ((status & 8)); then
      echo "abi: this breaks hosts built against the baseline: raise ZELK_ABI_VERSION in" \
        "include/zelk/zelk.h and run scripts/abi.sh update, in the same commit" >&2
    elif ((status & 4)); then
      echo "abi: the ABI grew compatibly: run scripts/abi.sh update and commit the baseline" >&2
    else
      echo "abi: abidiff failed (status $status)" >&2
    fi
    exit 1
    ;;
  update)
    build=${2:-$root/build/plain}
    record "$(library_in "$build")" >"$baseline"
    echo "abi: wrote c/abi/libzelk-c.abi ($(grep -c '<function-decl' "$baseline") functions," \
      "soname $(soname_of "$baseline"))"
    ;;
  history)
    cd "$root"
    base=${2:-${ZELK_CHANGELOG_BASE:-}}
    if [ -z "$base" ]; then
      for candidate in origin/main main; do
        if git rev-parse -q --verify "$candidate^{commit}" >/dev/null &&
          [ "$(git rev-parse "$candidate")" != "$(git rev-parse HEAD)" ]; then
          base=$(git merge-base HEAD "$candidate") && break
        fi
      done
    fi
    [ -n "$base" ] || base=$(git rev-parse -q --verify HEAD^ 2>/dev/null || true)
    if [ -z "$base" ] || ! git cat-file -e "$base:c/abi/libzelk-c.abi" 2>/dev/null; then
      echo "abi: no earlier baseline to compare with"
      exit 0
    fi
    if git diff --quiet "$base" HEAD -- c/abi/libzelk-c.abi; then
      echo "abi: the baseline has not changed since $(git rev-parse --short "$base")"
      exit 0
    fi
    old=$(mktemp)
    trap 'rm -f "$old"' EXIT
    git show "$base:c/abi/libzelk-c.abi" >"$old"
    status=0
    abidiff "$old" "$baseline" >/dev/null 2>&1 || status=$?
    if ((status & 8)) && [ "$(soname_of "$old")" = "$(soname_of "$baseline")" ]; then
      abidiff "$old" "$baseline" >&2 || true
      echo "abi: the baseline changed incompatibly since $(git rev-parse --short "$base") but" \
        "its SONAME is still $(soname_of "$baseline"): raise ZELK_ABI_VERSION" >&2
      exit 1
    fi
    echo "abi: the baseline changed since $(git rev-parse --short "$base"):" \
      "$( ((status & 8)) && echo "incompatibly, with a new SONAME" || echo "compatibly")"
    ;;
  *)
    echo "usage: scripts/abi.sh check|update [BUILD_DIR] | history [BASE]" >&2
    exit 2
    ;;
esac
