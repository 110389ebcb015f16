#!/usr/bin/env bash
# Builds the executable twice, from copies of the source tree in two
# different directories, the second without the tests (the toolchain alone,
# with dist/), and checks that the two, and the test build's, are the same
# to the byte.
#   reproducible.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR: the unsigned test build)
set -euo pipefail
source_dir=$(cd "$1" && pwd) build_dir=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
  local tree=$1 target=$2
  mkdir -p "$tree"
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$tree" -xf -
  cmake -S "$tree" -B "$tree/out" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-ucrt.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCLEANUP_SIGN_CERT= -DCLEANUP_SIGN_KEY= \
    -DCLEANUP_SIGN_PKCS11_KEY= -DCLEANUP_SIGN_PKCS11_MODULE= "${@:3}" >/dev/null
  cmake --build "$tree/out" --target "$target" >/dev/null
  sha256sum <"$tree/out/bin/ravon2-cleanup.exe" | cut -d' ' -f1
}

first=$(build "$work/a" ravon2-cleanup)
second=$(build "$work/another/directory/deeper" dist -DBUILD_TESTING=OFF)
tested=$(sha256sum <"$build_dir/bin/ravon2-cleanup.exe" | cut -d' ' -f1)
echo "first build:  $first"
echo "second build: $second (without the tests)"
echo "test build:   $tested"
if [ "$first" != "$second" ] || [ "$first" != "$tested" ]; then
  echo "the builds differ"
  exit 1
fi
# Without the tests, configure looks for none of their tools.
if grep -iE '^[^#/].*(dotnet|wine|wixl|python|node|pwsh)' "$work/another/directory/deeper/out/CMakeCache.txt"; then
  echo "configured without the tests, the cache names the tools above"
  exit 1
fi
echo "reproducible: passed"
