#!/usr/bin/env bash
# Signs the executable as a vendor does, through a PKCS#11 token (SoftHSM2,
# the key imported and removed from disk), and the detection script as an
# administrator does, with a throwaway self-signed certificate; checks both
# signatures, that the token's PIN is nowhere in the build, that a refused
# timestamp leaves no exe, and runs the signed exe through the end-to-end
# Wine case.
#   signing.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR: the Windows build, whose
#                                      Wine template prefix is booted)
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
signed="$build_dir/signed"
keys=$(mktemp -d)
trap 'rm -rf "$keys" "$signed-refused"' EXIT
# Nothing of the caller's signing settings: a timestamp server among them
# would be called for real.
unset CLEANUP_SIGN_TIMESTAMP CLEANUP_SIGN_CERT CLEANUP_SIGN_KEY CLEANUP_SIGN_PKCS11_MODULE \
  CLEANUP_SIGN_PKCS11_KEY CLEANUP_SIGN_PIN
configure() {
  cmake -S "$source_dir" -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-ucrt.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCLEANUP_SIGN_CERT="$keys/cert.pem" "${@:2}" >/dev/null
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
  -subj "/CN=Ravon2 cleanup test signing" \
  -addext "keyUsage=digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null

# A token of this run's own holds the key; the key's file goes.
export SOFTHSM2_CONF="$keys/softhsm2.conf"
mkdir "$keys/tokens"
printf '%s\n' "directories.tokendir = $keys/tokens" "objectstore.backend = file" >"$SOFTHSM2_CONF"
pin=$(od -An -N8 -tu8 /dev/urandom | tr -dc 0-9 | head -c 12)
softhsm2-util --init-token --free --label ravon2-test --pin "$pin" --so-pin "$pin" >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$keys/key.pem" -out "$keys/key.p8"
softhsm2-util --import "$keys/key.p8" --token ravon2-test --label signing --id 01 --pin "$pin" >/dev/null
rm "$keys/key.p8"
module=$(find /usr/lib -name libsofthsm2.so -print -quit)

# The build's osslsigncode records each command line it is given, then runs.
cat >"$keys/osslsigncode" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$keys/command-lines"
exec $(command -v osslsigncode) "\$@"
EOF
chmod +x "$keys/osslsigncode"
configure "$signed" -DCLEANUP_SIGN_TIMESTAMP= -DCLEANUP_SIGN_KEY= -DCLEANUP_SIGN_PKCS11_MODULE="$module" \
  -DCLEANUP_SIGN_PKCS11_KEY="pkcs11:token=ravon2-test;object=signing;type=private" -DOSSLSIGNCODE="$keys/osslsigncode"
CLEANUP_SIGN_PIN=$pin cmake --build "$signed" --target ravon2-cleanup -v 2>&1 | tee "$keys/build.txt"
exe="$signed/bin/ravon2-cleanup.exe"
[ -s "$keys/command-lines" ] || { echo "signing: the build did not run the given osslsigncode"; exit 1; }
if grep -rqa -- "$pin" "$signed" "$keys/build.txt" "$keys/command-lines"; then
  echo "signing: the token's PIN is on osslsigncode's command line, in the build folder or the build's output"
  exit 1
fi

# A key URI that holds the PIN is refused, and leaves the PIN nowhere in the cache.
if configure "$signed-refused" -DCLEANUP_SIGN_KEY= -DCLEANUP_SIGN_PKCS11_MODULE="$module" \
  -DCLEANUP_SIGN_PKCS11_KEY="pkcs11:token=ravon2-test;pin-value=$pin" 2>/dev/null ||
  grep -qa -- "$pin" "$signed-refused/CMakeCache.txt"; then
  echo "signing: a key URI holding the PIN was taken, or the PIN stayed in the cache"
  exit 1
fi
rm -rf "$signed-refused"

# Against the test root a signature must verify; without it, the root is
# untrusted, which is expected of a self-signed certificate.
verify() {
  osslsigncode verify -in "$1" -CAfile "$keys/cert.pem" | tee "$keys/verify.txt"
  grep -q "Signature verification: ok" "$keys/verify.txt"
}
verify "$exe"

# The detection script, signed as an administrator signs it: the signature
# block is appended, and the text above it must stay the release file's
# byte for byte, parse, and stay ASCII.
script="$build_dir/bin/detect-cleaned.ps1"
osslsigncode sign -certs "$keys/cert.pem" -key "$keys/key.pem" -h sha256 \
  -in "$script" -out "$keys/signed.ps1" >/dev/null
verify "$keys/signed.ps1"
size=$(stat -c %s "$script")
cmp <(head -c "$size" "$keys/signed.ps1") "$script"
[ "$(tail -c +$((size + 1)) "$keys/signed.ps1" | head -c 33)" = \
  $'\r\n# SIG # Begin signature block\r' ] ||
  { echo "signing: the script's signature block does not follow its text"; exit 1; }
python3 "$source_dir/tests/release/pwsh.py" "$source_dir/build/tools/powershell/pwsh" -NoProfile -NonInteractive \
  -File "$source_dir/tests/release/powershell_syntax.ps1" "$keys/signed.ps1"

# A timestamp server that refuses (a closed port here), with the PEM pair
# of an in-house certificate authority: the build fails, and no exe stays.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
configure "$signed-refused" -DCLEANUP_SIGN_KEY="$keys/key.pem" -DCLEANUP_SIGN_TIMESTAMP="http://127.0.0.1:$port"
if cmake --build "$signed-refused" --target ravon2-cleanup >"$keys/refused.txt" 2>&1 ||
  [ -e "$signed-refused/bin/ravon2-cleanup.exe" ]; then
  cat "$keys/refused.txt"
  echo "signing: a refused timestamp left an exe, or the build did not fail"
  exit 1
fi
echo "signing: a refused timestamp failed the build and left no exe"

python3 "$source_dir/tests/wine/wine_tier.py" --build "$build_dir" \
  --exe "$exe" case full_run
echo "signing: passed"
