#!/usr/bin/env bash
# Builds the executable and runs it under Wine in a throwaway prefix that
# holds a sample installation of the product, showing before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
python3 tests/wine/wine_tier.py --build build/windows demo
