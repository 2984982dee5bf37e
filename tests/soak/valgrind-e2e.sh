#!/usr/bin/env bash
# Runs every end-to-end test (CTest label e2e) of a build under valgrind's
# memcheck and fails when any of them has a memory error or a definite leak.
#
#   tests/soak/valgrind-e2e.sh [--strict] BUILD_DIR [LABEL]
#
# Exit status 1 when memcheck finds an error or a definite leak in any process
# of any test. A test that fails without such a finding is listed (valgrind
# runs one thread at a time, many times slower, which changes the order in
# which threads and datagrams meet) but fails the run only with --strict.
#
# BUILD_DIR is a configured and built tree with the tests (not a sanitizer
# build: valgrind and AddressSanitizer do not mix). LABEL defaults to e2e.
# Logs go to BUILD_DIR/valgrind/<test>.<pid>.log, one per process. Suppressions of false reports
# from Qt or the C library are in valgrind.supp beside this script, each with
# a note on why.
set -euo pipefail

STRICT=0
if [ "${1:-}" = --strict ]; then STRICT=1; shift; fi
BUILD=${1:?usage: $0 [--strict] BUILD_DIR [LABEL]}
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

failed=()      # memcheck errors or definite leaks
testfailed=()  # the test itself failed
for i in "${!NAMES[@]}"; do
  name=${NAMES[$i]}
  rm -f "$LOGS/$name".*.log
  start=$(date +%s)
  # CTest prints the program unquoted and each argument in double quotes;
  # xargs splits the line the same way a shell would.
  mapfile -t argv < <(xargs -n1 printf '%s\n' <<<"${COMMANDS[$i]}")
  status=ok
  if ! (cd "${DIRS[$i]}" && "${VG[@]}" --log-file="$LOGS/$name.%p.log" "${argv[@]}" >"$LOGS/$name.out" 2>&1); then
    status=test-failed
  fi
  logs=("$LOGS/$name".*.log)
  bad=$( (grep -l -E 'ERROR SUMMARY: [1-9]' "${logs[@]}" || true) | wc -l)
  lost=$( (grep -l -E 'definitely lost: [1-9]' "${logs[@]}" || true) | wc -l)
  if [ "$bad" -ne 0 ] || [ "$lost" -ne 0 ]; then
    status=FAILED
    failed+=("$name")
  elif [ "$status" = test-failed ]; then
    testfailed+=("$name")
  fi
  printf '%-22s %-11s %4ss  %d process(es), %d with errors, %d with definite leaks\n' \
    "$name" "$status" "$(( $(date +%s) - start ))" "${#logs[@]}" "$bad" "$lost"
done

for name in "${testfailed[@]}"; do
  echo "---- $name failed under valgrind, without a memcheck finding:"
  grep -a -E -A4 '^FAIL!' "$LOGS/$name.out" | head -n 20 || true
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "under valgrind: memory errors or definite leaks in ${failed[*]} (logs in $LOGS)"
  for name in "${failed[@]}"; do
    echo "---- $name: test output (tail)"
    tail -n 20 "$LOGS/$name.out"
    echo "---- $name: valgrind (errors and definite leaks)"
    grep -E -A25 'Invalid|uninitialised|unaddressable|definitely lost in' "$LOGS/$name".*.log | head -n 120 || true
  done
  exit 1
fi
echo "under valgrind: no memory errors and no definite leaks in ${#NAMES[@]} $LABEL tests"
if [ ${#testfailed[@]} -ne 0 ]; then
  echo "tests that failed under valgrind: ${testfailed[*]}"
  [ "$STRICT" = 1 ] && exit 1
fi
exit 0
