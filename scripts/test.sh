#!/usr/bin/env bash
# Builds both platforms and runs every test: Linux natively, Windows as .exe programs under Wine,
# then the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux -j2

cmake --preset windows >/dev/null
cmake --build --preset windows
scripts/wine-session.sh build/windows ctest --preset windows -j2

scripts/fuzz.sh "${VELMORA_FUZZ_SECONDS:-20}"
echo "All tests of both builds passed."
