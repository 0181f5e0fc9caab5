#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The C interface's header on its own: C99 with every warning as an error under gcc and clang
# (clang also checks that every pointer says whether it may be NULL), C++20 under g++ and
# clang++, and the clang module CZelk imported by an Objective-C file with -fmodules, as Swift's
# importer reads it.
#   header_check.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
include=$source_dir/include
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clang=$(command -v clang || command -v clang-14)
clangxx=$(command -v clang++ || command -v clang++-14)

cat >"$work/alone.c" <<'C'
#include <zelk/zelk.h>
int main(void) {
  zelk_client_options options;
  return zelk_client_options_init(&options) == ZELK_OK ? 0 : 1;
}
C
strict=(-Wall -Wextra -pedantic -Werror)
for cc in gcc "$clang"; do
  "$cc" -std=c99 "${strict[@]}" -I"$include" -c "$work/alone.c" -o "$work/alone-$(basename "$cc").o"
  echo "header_check: C99 with $cc"
done
"$clang" -std=c99 "${strict[@]}" -Wnullability-completeness -Wnullability -I"$include" \
  -c "$work/alone.c" -o "$work/nullability.o"
echo "header_check: every pointer annotated (clang -Wnullability-completeness)"
for cxx in g++ "$clangxx"; do
  "$cxx" -std=c++20 "${strict[@]}" -x c++ -I"$include" -c "$work/alone.c" -o "$work/alone-$(basename "$cxx").o"
  echo "header_check: C++20 with $cxx"
done
"$clang" -x objective-c -fmodules -fmodules-cache-path="$work/modules" "${strict[@]}" \
  -I"$include" \
  -c "$source_dir/tests/c/module_check.m" -o "$work/module.o"
nm "$work/module.o" | grep -q " U zelk_client_options_init" ||
  { echo "header_check: the module's functions did not reach the object" >&2; exit 1; }
echo "header_check: @import CZelk with clang -fmodules"
