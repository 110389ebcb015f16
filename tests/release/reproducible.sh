#!/usr/bin/env bash
# Builds the executable twice, from copies of the source tree in two
# different directories, and checks that the two are the same to the byte.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
  local tree=$1
  mkdir -p "$tree"
  tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$tree" -xf -
  cmake -S "$tree" -B "$tree/out" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-ucrt.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCLEANUP_SIGN_CERT= -DCLEANUP_SIGN_KEY= \
    -DCLEANUP_SIGN_PKCS11_KEY= -DCLEANUP_SIGN_PKCS11_MODULE= >/dev/null
  cmake --build "$tree/out" --target ravon2-cleanup >/dev/null
  sha256sum <"$tree/out/bin/ravon2-cleanup.exe" | cut -d' ' -f1
}

first=$(build "$work/a")
second=$(build "$work/another/directory/deeper")
echo "first build:  $first"
echo "second build: $second"
if [ "$first" != "$second" ]; then
  echo "the two builds differ"
  exit 1
fi
echo "reproducible: passed"
