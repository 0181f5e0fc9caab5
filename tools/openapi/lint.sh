#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lints server/openapi.json with the linter scripts/bootstrap.sh installs here (tools/openapi/
# node_modules, from package-lock.json), by the rules of redocly.yaml. Exits 77, the tests' code
# for skipped, with the reason when the linter is not installed.
#   tools/openapi/lint.sh [DOCUMENT]     (default: server/openapi.json)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
document=$(realpath "${1:-$here/../../server/openapi.json}")
linter=$here/node_modules/.bin/redocly
if ! command -v node >/dev/null; then
  echo "skipped: no node on PATH to run the linter (scripts/bootstrap.sh installs it)"
  exit 77
fi
if [ ! -x "$linter" ]; then
  echo "skipped: the linter is not installed: run scripts/bootstrap.sh, or npm ci in $here"
  exit 77
fi
# The ignore file names the document relative to this folder; no usage reports or update checks
# go out (they would wait on a network that may not be there).
cd "$here"
document=$(realpath --relative-to="$here" "$document")
REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true \
  "$linter" lint --config redocly.yaml "$document"
