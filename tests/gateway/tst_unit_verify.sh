#!/usr/bin/env bash
# The service unit as systemd reads it: the gateway component installed into
# a scratch prefix (the unit is written at install time with that prefix's
# binary folder and configuration), then systemd-analyze verify on the
# installed unit, and not a word on stderr (a misspelt key or value is only
# a warning there). Skipped (77) where systemd-analyze is not installed.
#   tst_unit_verify.sh BUILD_DIR CMAKE
set -u
build=$1 cmake=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
prefix=$dir/prefix
"$cmake" --install "$build" --prefix "$prefix" --component gateway >"$dir/install.log" 2>&1 ||
    { cat "$dir/install.log"; echo "FAIL: cmake --install --component gateway"; exit 1; }
unit=$prefix/lib/systemd/system/veskor-gateway.service
[ -f "$unit" ] || { echo "FAIL: no $unit"; exit 1; }
grep -qx "ExecStart=$prefix/bin/veskor-gateway --config $prefix/etc/veskor/gateway.json" "$unit" ||
    { grep '^Exec' "$unit"; echo "FAIL: ExecStart does not name the installed gateway and configuration"; exit 1; }
! grep -nE '@[A-Z_]+@' "$unit" || { echo "FAIL: a template variable is left"; exit 1; }
# The manual page is checked by the package test, not here.
systemd-analyze verify --man=no "$unit" >"$dir/out" 2>"$dir/err"
status=$?
cat "$dir/out" "$dir/err"
[ "$status" -eq 0 ] || { echo "FAIL: systemd-analyze verify: status $status"; exit 1; }
[ ! -s "$dir/err" ] || { echo "FAIL: systemd-analyze verify complained"; exit 1; }
grep -q '^Type=notify$' "$unit" || { echo "FAIL: not Type=notify"; exit 1; }
grep -q '^ExecReload=/bin/kill -HUP \$MAINPID$' "$unit" || { echo "FAIL: no ExecReload"; exit 1; }
echo "PASS: the installed unit verifies"
