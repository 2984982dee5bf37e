#!/usr/bin/env bash
# Builds everything in build/ and runs the test suite (all but the long soak).
# A test that is skipped fails the run: on a machine set up by
# scripts/deps.sh every test has what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DVESKOR_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE soak "$@" | tee "$log" || status=$?
if grep -qE '\*\*\*Skipped|\*\*\*Not Run' "$log"; then
  echo "scripts/test.sh: some tests did not run (see above); scripts/deps.sh installs what they need" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
