#!/usr/bin/env bash
# The release folder as the dist target makes it: exactly the exe the
# build made, the checkout's detection script, and their SHA256SUMS.
#   dist.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd) build_dir=$(cd "$2" && pwd)
fail() { echo "release.dist: $*"; exit 1; }
cmake --build "$build_dir" --target dist >/dev/null
cd "$build_dir/dist"
# shellcheck disable=SC2012 # the names are the build's own, and ls sorts them
[ "$(ls -A | tr '\n' ' ')" = "SHA256SUMS detect-cleaned.ps1 ravon2-cleanup.exe " ] || fail "holds $(ls -A)"
grep -qvxE '[0-9a-f]{64}  (ravon2-cleanup\.exe|detect-cleaned\.ps1)' SHA256SUMS &&
  fail "SHA256SUMS has a line that is not a hash and a bare name, or a CR or byte-order mark"
[ "$(cut -d' ' -f3 SHA256SUMS | sort | tr '\n' ' ')" = "detect-cleaned.ps1 ravon2-cleanup.exe " ] ||
  fail "SHA256SUMS does not name both files once"
sha256sum --check --strict --quiet SHA256SUMS
cmp detect-cleaned.ps1 "$source_dir/fleet/detect-cleaned.ps1"
cmp ravon2-cleanup.exe "$build_dir/bin/ravon2-cleanup.exe"
x86_64-w64-mingw32-windres -i ravon2-cleanup.exe -O rc | grep -q 'VALUE "FileVersion", "1.0.0.1"' ||
  fail "the exe's version resource is not 1.0.0.1"
echo "release.dist: passed: $(tr '\n' ' ' <SHA256SUMS)"
