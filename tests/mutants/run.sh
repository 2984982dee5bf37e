#!/usr/bin/env bash
# Mutation check of the exchange simulation: each patch here (and in run/,
# the ones on Exchange::run and dropPending) breaks one rule of the matching
# code. For each, in a copy of the tree: apply it, build unit_exchange_sim,
# run it with the seed budget CI uses, and report whether it was caught and
# at which seed index. The unpatched copy must pass first.
#   tests/mutants/run.sh [work-dir]          all patches (work-dir: build-mutants)
#   MUTANTS='*area* 39-*' tests/mutants/run.sh   only the patches matching these globs
# Exits non-zero when a patch survives, does not apply or does not build.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=$(mkdir -p "${1:-$ROOT/build-mutants}" && cd "${1:-$ROOT/build-mutants}" && pwd)
SRC=$WORK/src
BUILD=$WORK/build
JOBS=${JOBS:-2}
GLOB=${MUTANTS:-*}

# The working tree as it is (uncommitted changes included). Only files that
# differ from the copy are copied, so each variant rebuilds only what it
# touches, and a copy left by an earlier run is brought up to date.
mkdir -p "$SRC"
(cd "$ROOT" && git ls-files --cached --others --exclude-standard) | while IFS= read -r f; do
  [ -f "$ROOT/$f" ] || continue
  if ! cmp -s "$ROOT/$f" "$SRC/$f"; then
    mkdir -p "$SRC/$(dirname "$f")" && cp -p "$ROOT/$f" "$SRC/$f" && touch "$SRC/$f"
  fi
done
cmake -S "$SRC" -B "$BUILD" -DVESKOR_BUILD_BENCH=OFF -DVESKOR_BUILD_TOOLS=OFF >"$WORK/configure.log" 2>&1 || {
  cat "$WORK/configure.log"; exit 1; }

EXE=$BUILD/tests/unit/unit_exchange_sim
build() { cmake --build "$BUILD" -j"$JOBS" --target unit_exchange_sim >"$WORK/build.log" 2>&1; }
# Prints the first failing seed index, or nothing when the run passed.
first_failure() { "$EXE" 2>&1 | sed -n 's/.* -- seed index \([0-9]*\) -- .*/\1/p' | head -1; }

build || { echo "unpatched tree does not build:"; tail -20 "$WORK/build.log"; exit 1; }
if [ -n "$(first_failure)" ]; then
  echo "unpatched tree fails the simulation"; exit 1
fi

status=0
printf '%-40s %s\n' variant result
set -f; read -ra globs <<<"$GLOB"; set +f
patches=()
for g in "${globs[@]}"; do
  patches+=("$ROOT"/tests/mutants/$g.patch "$ROOT"/tests/mutants/run/$g.patch)
done
for patch in "${patches[@]}"; do
  [ -f "$patch" ] || continue
  name=$(basename "$patch" .patch)
  if ! patch -d "$SRC" -p1 -s --dry-run <"$patch" >/dev/null 2>&1; then
    result="DOES NOT APPLY (re-base it)"; status=1
  else
    patch -d "$SRC" -p1 -s <"$patch"
    if ! build; then
      result="DOES NOT BUILD"; status=1
    else
      index=$(first_failure)
      if [ -n "$index" ]; then result="caught at seed index $index"; else result="SURVIVED"; status=1; fi
    fi
    patch -d "$SRC" -p1 -R -s <"$patch"
  fi
  printf '%-40s %s\n' "$name" "$result"
done
exit $status
