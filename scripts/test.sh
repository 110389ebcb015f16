#!/usr/bin/env bash
# Builds everything and runs every test: the host tier (plain, under
# AddressSanitizer and UBSan, and the fuzzer's corpus replay plus a bounded
# run) and the Wine tier (the real executable).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
bash scripts/setup.sh || exit 1

status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "== clang-format"
if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-19 --dry-run --Werror; then
  echo "clang-format: the files above need formatting"
  status=1
fi

for preset in host host-sanitize fuzz windows; do
  echo "== $preset: build"
  # BUILD_TESTING on, whatever a build folder was configured with before.
  if ! { cmake --preset "$preset" -DBUILD_TESTING=ON >/dev/null && cmake --build --preset "$preset"; }; then
    echo "$preset: build failed"
    status=1
    continue
  fi
  echo "== $preset: test"
  only=()
  # The fuzz build's other tests are the host suite again, under clang.
  [ "$preset" = fuzz ] && only=(-R '^fuzz\.')
  ctest --preset "$preset" -j2 --no-tests=error "${only[@]}" 2>&1 | tee -a "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done

# One line for all tiers together.
awk '/tests passed, [0-9]+ tests failed out of/ {
       failed += $4; total += $NF
     }
     END { printf "all tiers: %d passed, %d failed\n", total - failed, failed }' "$log"
exit "$status"
