#!/usr/bin/env bash
# Signs the exe in place, or removes it, so that a signing that fails (a
# token refused, a timestamp server unreached) leaves no unsigned exe where
# the signed one belongs.
#   sign.sh EXE OSSLSIGNCODE SIGN-OPTION...
# A token's PIN comes from CLEANUP_SIGN_PIN in the environment and reaches
# osslsigncode on its standard input: never on a command line, in the
# cache or in build.ninja.
set -uo pipefail
exe=$1 osslsigncode=$2
shift 2
rm -f "$exe.signed"
if [ -n "${CLEANUP_SIGN_PIN:-}" ]; then
  printf '%s' "$CLEANUP_SIGN_PIN" | "$osslsigncode" sign "$@" -readpass - -in "$exe" -out "$exe.signed"
else
  "$osslsigncode" sign "$@" -in "$exe" -out "$exe.signed"
fi && mv "$exe.signed" "$exe" && exit 0
rm -f "$exe" "$exe.signed"
echo "signing failed: $exe removed" >&2
exit 1
