#!/usr/bin/env bash
# Signs the executable and the detection script with a throwaway
# self-signed certificate, checks both signatures, and runs the signed exe
# through the end-to-end Wine case.
#   signing.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR: the Windows build, whose
#                                      Wine template prefix is booted)
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
signed="$build_dir/signed"
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
  -subj "/CN=Ravon2 cleanup test signing" \
  -addext "keyUsage=digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null

cmake -S "$source_dir" -B "$signed" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-ucrt.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCLEANUP_SIGN_CERT="$keys/cert.pem" -DCLEANUP_SIGN_KEY="$keys/key.pem" >/dev/null
cmake --build "$signed" --target ravon2-cleanup
exe="$signed/bin/ravon2-cleanup.exe"

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
"$source_dir/build/tools/powershell/pwsh" -NoProfile -NonInteractive \
  -File "$source_dir/tests/release/powershell_syntax.ps1" "$keys/signed.ps1"

python3 "$source_dir/tests/wine/wine_tier.py" --build "$build_dir" \
  --exe "$exe" case full_run
echo "signing: passed"
