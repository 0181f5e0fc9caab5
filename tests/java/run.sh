#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Compiles the JVM binding's test against zelk.jar and runs it with -Xcheck:jni against
# zelk-server in sandbox mode on SQLite; any warning of the JNI checks fails it.
#   run.sh SOURCE_DIR BUILD_DIR SERVER_EXE
set -euo pipefail
source_dir=$1 build_dir=$2 server_exe=$3
shift 3
java_dir=$build_dir/bindings/java
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

javac -Xlint:all -Werror --release 11 -cp "$java_dir/zelk.jar" -d "$work/classes" \
  "$source_dir/tests/java/com/zelk/sdk/BindingTest.java"
status=0
bash "$source_dir/tests/bindings/road_server.sh" "$server_exe" \
  java -Xcheck:jni -Djava.library.path="$java_dir" -cp "$java_dir/zelk.jar:$work/classes" \
  com.zelk.sdk.BindingTest "$@" 2>"$work/stderr" || status=$?
grep -v '^\[info\] EventSource\|^change: ' "$work/stderr" >&2 || true
if grep -q "WARNING" "$work/stderr"; then
  echo "run.sh: -Xcheck:jni reported warnings" >&2
  exit 1
fi
exit $status
