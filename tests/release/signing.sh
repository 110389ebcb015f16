#!/usr/bin/env bash
# Signs the executable with a throwaway self-signed certificate, checks the
# signature, and runs the signed exe through the end-to-end Wine case.
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

# Against the test root the signature must verify; without it, the root is
# untrusted, which is expected of a self-signed certificate.
osslsigncode verify -in "$exe" -CAfile "$keys/cert.pem" | tee "$keys/verify.txt"
grep -q "Signature verification: ok" "$keys/verify.txt"

python3 "$source_dir/tests/wine/wine_tier.py" --build "$build_dir" \
  --exe "$exe" case full_run
echo "signing: passed"
