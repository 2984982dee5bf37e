#!/usr/bin/env bash
# The service unit as systemd reads it: systemd-analyze verify with the
# gateway just built in place of the installed one, and not a word on
# stderr (a misspelt key or value is only a warning there). Skipped (77)
# where systemd-analyze is not installed.
#   tst_unit_verify.sh UNIT GATEWAY
set -u
unit=$1 gateway=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s#/usr/bin/veskor-gateway#$gateway#g" "$unit" >"$dir/veskor-gateway.service"
# The manual page is checked by the package test, not here.
systemd-analyze verify --man=no "$dir/veskor-gateway.service" >"$dir/out" 2>"$dir/err"
status=$?
cat "$dir/out" "$dir/err"
[ "$status" -eq 0 ] || { echo "FAIL: systemd-analyze verify: status $status"; exit 1; }
[ ! -s "$dir/err" ] || { echo "FAIL: systemd-analyze verify complained"; exit 1; }
grep -q '^Type=notify$' "$dir/veskor-gateway.service" || { echo "FAIL: not Type=notify"; exit 1; }
grep -q '^ExecReload=/bin/kill -HUP \$MAINPID$' "$dir/veskor-gateway.service" || { echo "FAIL: no ExecReload"; exit 1; }
echo "PASS: the unit verifies"
