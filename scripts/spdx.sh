#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Puts the licence's SPDX identifier on the first line of every source file of the repository
# (after a "#!" line), in the file's own comment syntax. Files that carry it already are left
# alone, so running it again changes nothing.
#
#   scripts/spdx.sh            add the line where it is missing
#   scripts/spdx.sh --check    list the files without it and fail if there are any (CI)
#
# Source files are found by name: C and C++ (.c .cc .cpp .cxx .h .hh .hpp .hxx .ipp .inl),
# CMake (CMakeLists.txt, .cmake), QML and JavaScript (.qml .js .mjs .cjs), Java, Swift, Objective-C
# and clang module maps (.java .swift .m .modulemap), TOML (.toml), shell (.sh .bash),
# Python (.py), templates named like one of these plus ".in", and extensionless files whose
# "#!" line runs a shell or Python. Git decides which files belong to the repository (tracked or
# not ignored), so build folders never count.
set -euo pipefail

readonly identifier="SPDX-License-Identifier: Apache-2.0"
mode=fix
case "${1:-}" in
  "") ;;
  --check) mode=check ;;
  *)
    echo "usage: scripts/spdx.sh [--check]" >&2
    exit 2
    ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The comment leader for `path`, or nothing when it is not a source file.
comment_for() {
  local path=$1 name
  name=${path##*/}
  name=${name%.in}
  case "$name" in
    CMakeLists.txt | *.cmake) echo "#" ;;
    *.c | *.cc | *.cpp | *.cxx | *.h | *.hh | *.hpp | *.hxx | *.ipp | *.inl) echo "//" ;;
    *.qml | *.js | *.mjs | *.cjs) echo "//" ;;
    *.java | *.swift | *.m | *.modulemap) echo "//" ;;
    *.toml) echo "#" ;;
    *.sh | *.bash | *.py) echo "#" ;;
    *.*) ;;
    *)
      # Extensionless: a script if its first line starts a shell or Python.
      if [ -f "$path" ] && head -c 2 "$path" | grep -q '^#!' &&
        head -n 1 "$path" | grep -Eq '(/|env )(ba|da|z)?sh|python'; then
        echo "#"
      fi
      ;;
  esac
}

# True when one of the first lines already names a licence.
has_identifier() {
  head -n 5 "$1" | grep -q "SPDX-License-Identifier:"
}

add_identifier() {
  local path=$1 leader=$2 tmp
  tmp=$(mktemp "${path}.spdx.XXXXXX")
  # Keep a "#!" line (and a Python coding line right after it) on top.
  awk -v line="$leader $identifier" '
    NR == 1 && /^#!/ { print; shebang = 1; next }
    !done && shebang && NR == 2 && /^#.*coding[:=]/ { print; next }
    !done { print line; done = 1 }
    { print }
    END { if (!done) print line }
  ' "$path" >"$tmp"
  chmod --reference="$path" "$tmp"
  mv "$tmp" "$path"
}

missing=0
while IFS= read -r -d '' path; do
  [ -f "$path" ] || continue
  leader=$(comment_for "$path")
  [ -n "$leader" ] || continue
  has_identifier "$path" && continue
  if [ "$mode" = check ]; then
    echo "spdx: no licence identifier in $path" >&2
    missing=$((missing + 1))
  else
    add_identifier "$path" "$leader"
    echo "spdx: added the licence identifier to $path"
  fi
done < <(git ls-files -z --cached --others --exclude-standard)

if [ "$mode" = check ] && [ "$missing" -gt 0 ]; then
  echo "spdx: $missing file(s) lack the line; run scripts/spdx.sh to add it" >&2
  exit 1
fi
