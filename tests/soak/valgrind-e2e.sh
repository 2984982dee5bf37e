#!/usr/bin/env bash
# Runs every end-to-end test (CTest label e2e) of a build under valgrind's
# memcheck and fails when any of them has a memory error or a definite leak.
#
#   tests/soak/valgrind-e2e.sh BUILD_DIR [LABEL]
#
# BUILD_DIR is a configured and built tree with the tests (not a sanitizer
# build: valgrind and AddressSanitizer do not mix). LABEL defaults to e2e.
# Logs go to BUILD_DIR/valgrind/<test>.<pid>.log, one per process. Suppressions of false reports
# from Qt or the C library are in valgrind.supp beside this script, each with
# a note on why.
set -euo pipefail

BUILD=${1:?usage: $0 BUILD_DIR [LABEL]}
LABEL=${2:-e2e}
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$BUILD" && pwd)
LOGS=$BUILD/valgrind
mkdir -p "$LOGS"

command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)"; exit 2; }

# Child processes (the host tool the tool tests start) are checked too, each
# in a log of its own.
VG=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite
    --errors-for-leak-kinds=definite --error-exitcode=1 --track-origins=yes
    --num-callers=30 --keep-debuginfo=yes --gen-suppressions=all --trace-children=yes)
[ -s "$HERE/valgrind.supp" ] && VG+=(--suppressions="$HERE/valgrind.supp")

# QRegularExpression compiles patterns to machine code (PCRE2 JIT), which
# memcheck can neither symbolise nor judge: its 16-byte loads past the end of
# a string show as invalid reads from unknown code. Interpret patterns instead.
export QT_ENABLE_REGEXP_JIT=0

# "N: Test command: /path/exe args" and "N: Working Directory: dir" lines
# of the verbose listing give each test's command line and folder.
mapfile -t LISTING < <(ctest --test-dir "$BUILD" -N -V -L "$LABEL" 2>/dev/null)
declare -a NAMES=() COMMANDS=() DIRS=()
cmd="" dir=""
for line in "${LISTING[@]}"; do
  case $line in
    *": Test command: "*) cmd=${line#*: Test command: } ;;
    *": Working Directory: "*) dir=${line#*: Working Directory: } ;;
    "  Test "*"#"*": "*)
      NAMES+=("${line##*: }")
      COMMANDS+=("$cmd")
      DIRS+=("${dir:-$BUILD}")
      cmd="" dir="" ;;
  esac
done
if [ ${#NAMES[@]} -eq 0 ]; then
  echo "no tests labelled $LABEL in $BUILD"
  exit 2
fi

failed=()
for i in "${!NAMES[@]}"; do
  name=${NAMES[$i]}
  rm -f "$LOGS/$name".*.log
  start=$(date +%s)
  # Word splitting of the command line is wanted: CTest prints it unquoted.
  # shellcheck disable=SC2086
  if (cd "${DIRS[$i]}" && "${VG[@]}" --log-file="$LOGS/$name.%p.log" ${COMMANDS[$i]} >"$LOGS/$name.out" 2>&1); then
    status=ok
  else
    status=FAILED
  fi
  logs=("$LOGS/$name".*.log)
  bad=$( (grep -l -E 'ERROR SUMMARY: [1-9]' "${logs[@]}" || true) | wc -l)
  lost=$( (grep -l -E 'definitely lost: [1-9]' "${logs[@]}" || true) | wc -l)
  [ "$bad" -eq 0 ] && [ "$lost" -eq 0 ] || status=FAILED
  [ "$status" = ok ] || failed+=("$name")
  printf '%-22s %-7s %4ss  %d process(es), %d with errors, %d with definite leaks\n' \
    "$name" "$status" "$(( $(date +%s) - start ))" "${#logs[@]}" "$bad" "$lost"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "under valgrind: ${failed[*]} failed (logs in $LOGS)"
  for name in "${failed[@]}"; do
    echo "---- $name: test output (tail)"
    tail -n 20 "$LOGS/$name.out"
    echo "---- $name: valgrind (errors and definite leaks)"
    grep -E -A25 'Invalid|uninitialised|unaddressable|definitely lost in' "$LOGS/$name".*.log | head -n 120 || true
  done
  exit 1
fi
echo "under valgrind: all ${#NAMES[@]} $LABEL tests clean"
