#!/usr/bin/env bash
# Builds everything in build/ and runs the test suite (all but the long soak).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DVESKOR_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE soak "$@"
