#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when the commits since BASE change a public header (include/ or qt/include/) without adding
# a line to the "Unreleased" section of CHANGELOG.md, so every API change reaches the release notes.
#
#   scripts/check-changelog.sh [BASE]
#
# BASE defaults to $ZELK_CHANGELOG_BASE, else the merge base with origin/main or main, else the
# parent commit. With no BASE to compare with (a single commit), there is nothing to check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

base=${1:-${ZELK_CHANGELOG_BASE:-}}
if [ -z "$base" ]; then
  for candidate in origin/main main; do
    if git rev-parse -q --verify "$candidate^{commit}" >/dev/null &&
      [ "$(git rev-parse "$candidate")" != "$(git rev-parse HEAD)" ]; then
      base=$(git merge-base HEAD "$candidate") && break
    fi
  done
fi
if [ -z "$base" ] || [ "$(git rev-parse "$base")" = "$(git rev-parse HEAD)" ]; then
  base=$(git rev-parse -q --verify HEAD^ 2>/dev/null || true)
fi
if [ -z "$base" ]; then
  echo "check-changelog: no earlier commit to compare with; nothing to check"
  exit 0
fi

headers=$(git diff --name-only "$base" HEAD -- include qt/include)
if [ -z "$headers" ]; then
  echo "check-changelog: no public header changed since $(git rev-parse --short "$base")"
  exit 0
fi

# The "Unreleased" section runs from its heading to the next "## " heading.
first=$(grep -n '^## \[Unreleased\]' CHANGELOG.md | head -n 1 | cut -d: -f1 || true)
if [ -z "$first" ]; then
  echo "check-changelog: CHANGELOG.md has no \"## [Unreleased]\" section" >&2
  exit 1
fi
last=$(awk -v first="$first" 'NR > first && /^## / { print NR - 1; exit }' CHANGELOG.md)
last=${last:-$(wc -l <CHANGELOG.md)}

# Line numbers (in HEAD's CHANGELOG.md) of the lines added since BASE that say something.
added=$(git diff -U0 "$base" HEAD -- CHANGELOG.md | awk '
  /^@@/ { split($3, range, ","); line = substr(range[1], 2); next }
  /^\+\+\+/ { next }
  /^\+/ { if ($0 ~ /[[:alnum:]]/) print line; line++; next }
  /^ / { line++ }
')
for line in $added; do
  if [ "$line" -gt "$first" ] && [ "$line" -le "$last" ]; then
    echo "check-changelog: public headers changed and CHANGELOG.md has a new line under Unreleased"
    exit 0
  fi
done

echo "check-changelog: these public headers changed since $(git rev-parse --short "$base"):" >&2
sed 's/^/  /' <<<"$headers" >&2
echo "add a line that tells users what changed under \"## [Unreleased]\" in CHANGELOG.md" >&2
exit 1
