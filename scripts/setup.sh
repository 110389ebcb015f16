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
