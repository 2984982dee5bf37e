#!/usr/bin/env bash
# veskor monitor as a person uses it: in an 80x24 terminal (tmux), against a
# controller simulator, reading the screen with capture-pane; then q, Ctrl-C,
# and a plain pipe.
#   tst_monitor.sh VESKOR VESKOR_SIM
set -uo pipefail
veskor=$1 sim=$2
. "$(dirname "$0")/sim_session.sh"
work=$(mktemp -d)
# Each start gets a tmux server of its own: a new server on the socket of one
# that is still shutting down exits at once ("server exited unexpectedly").
starts=0
server="veskor-monitor-$$-$starts"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (Debian package tmux)"; exit 1; }

"$sim" --listen 127.0.0.1:0 >"$work/sim.out" 2>&1 &
simpid=$!
cleanup() { tmux -L "$server" kill-server 2>/dev/null; kill "$simpid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
endpoint=$(sim_endpoint "$work/sim.out")
[ -n "$endpoint" ] || { echo "FAIL: veskor-sim did not start"; exit 1; }

screen() { tmux -L "$server" capture-pane -p "$@"; }
# Waits until the screen shows a line matching a regular expression (ERE);
# false after 10 s.
await() {
  for _ in $(seq 1 100); do
    screen | grep -qE -- "$1" && return 0
    sleep 0.1
  done
  return 1
}
start() {
  tmux -L "$server" kill-server 2>/dev/null
  starts=$((starts + 1))
  server="veskor-monitor-$$-$starts"
  tmux -L "$server" new-session -d -x 80 -y 24 \
    "$veskor --connect $endpoint monitor ID4x0:int16:2 ID4x10:uint8 ID1x0:bool:12 --interval 100; echo EXIT=\$?; sleep 60"
}

# Characters, not bytes, count for the width (the trend may be Unicode).
export LC_ALL=C.UTF-8
widest() { local l n=0; while IFS= read -r l; do [ ${#l} -gt $n ] && n=${#l}; done; echo $n; }

# The table, refreshed in place, fits 80 columns: the twelve bools' long
# value pushes the statistics and the type out, never the tag or the state.
start
await "round ([3-9]|[1-9][0-9]+);" || fail "no third round on the screen: $(screen)"
screen | grep -qE '^TAG +(TYPE +)?VALUE +STATE' || fail "no table header: $(screen)"
screen | grep -qE '^ID4x0 +(int16 +)?0 0 +ok( |$)' || fail "no row for ID4x0: $(screen)"
screen | grep -qF "q or Ctrl-C leaves" || fail "the title does not say how to leave"
[ "$(screen | widest)" -le 80 ] || fail "lines wider than 80 columns: $(screen)"

# A value that changes is shown in reverse video, with the time of the change.
"$veskor" --quiet --connect "$endpoint" write ID4x0 int16 7 8 >/dev/null || fail "write failed"
await "^ID4x0 +(int16 +)?7 8 " || fail "the new value does not show: $(screen)"
screen -e | grep -qF $'\e[7m7 8' || fail "the changed value is not highlighted: $(screen -e | grep ID4x0)"

# q leaves and prints a summary per tag.
tmux -L "$server" send-keys q
await "EXIT=0" || fail "q did not end the monitor with status 0: $(screen)"
screen | grep -qE '^monitor ID4x0: [0-9]+ reads, 0 failed; round trip ms' || fail "no summary after q: $(screen)"

# So does Ctrl-C.
start
await "round ([3-9]|[1-9][0-9]+);" || fail "the second monitor did not start: $(screen)"
tmux -L "$server" send-keys C-c
await "EXIT=0" || fail "Ctrl-C did not end the monitor with status 0: $(screen)"
screen | grep -qE '^monitor ID1x0: [0-9]+ reads, 0 failed' || fail "no summary after Ctrl-C: $(screen)"

# 40 named tags at 80x24: the value column whole, the highlight kept, a
# trend of the changes, and the rows past the screen reached with PgDn.
{ echo "tag,type,count,name"; for i in $(seq 0 39); do echo "ID4x$((i * 2)),int16,1,Motor $i speed setpoint"; done; } >"$work/t40.csv"
tmux -L "$server" kill-server 2>/dev/null
starts=$((starts + 1))
server="veskor-monitor-$$-$starts"
tmux -L "$server" new-session -d -x 80 -y 24 \
  "$veskor --connect $endpoint monitor --tags $work/t40.csv --interval 100; echo EXIT=\$?; sleep 60"
await "^Motor 0 " || fail "the 40-tag monitor did not start: $(screen)"
[ "$(screen | widest)" -le 80 ] || fail "lines wider than 80 columns with 40 tags: $(screen)"
screen | grep -qF "rows 1-20 of 40" || fail "no word of the rows past the screen: $(screen)"
tmux -L "$server" send-keys PgDn
await "^Motor 39 " || fail "PgDn does not show the last rows: $(screen)"
for v in 100 2000 -3000 4 -31000; do
  "$veskor" --quiet --connect "$endpoint" write ID4x40 int16 "$v" >/dev/null || fail "write $v failed"
  sleep 0.25
done
await "^Motor 20 .* -31000 +ok" || fail "the value -31000 is not whole: $(screen)"
screen -e | grep -qF $'\e[7m-31000' || fail "the changed value is not highlighted: $(screen -e | grep 'Motor 20 ')"
screen | grep -E '^Motor 20 ' | grep -qE '(█|#).*(▁|_)|(▁|_).*(█|#)' || fail "no trend of the changes: $(screen | grep 'Motor 20 ')"
tmux -L "$server" send-keys q
await "EXIT=0" || fail "q did not end the 40-tag monitor: $(screen)"

# Two controllers in one tag file, one of them silent: a worker each, so the
# answering one's rows refresh while the other's say they wait, then fail.
"$sim" --listen 127.0.0.1:0 --fault drop=1 >"$work/silent.out" 2>&1 &
silentpid=$!
silent=$(sim_endpoint "$work/silent.out")
printf 'tag,type,name,controller\nID4x0,int16,press,\nID4x0,int16,oven,%s\n' "$silent" >"$work/two.csv"
tmux -L "$server" kill-server 2>/dev/null
starts=$((starts + 1))
server="veskor-monitor-$$-$starts"
tmux -L "$server" new-session -d -x 80 -y 24 \
  "$veskor --connect $endpoint monitor --tags $work/two.csv --interval 100; echo EXIT=\$?; sleep 60"
await "^CONTROLLER +NAME" || fail "no controller column: $(screen)"
screen | grep -qE "^$silent +oven .* waiting" || fail "the silent controller's row does not wait: $(screen)"
"$veskor" --quiet --connect "$endpoint" write ID4x0 int16 -12345 >/dev/null || fail "write failed"
await "^$endpoint +press .* -12345 +ok" || fail "the answering controller's row does not refresh: $(screen)"
await "^$silent +oven .* no answer" || fail "the silent controller's failure does not show: $(screen)"
tmux -L "$server" send-keys q
await "EXIT=1" || fail "q did not end the two-controller monitor with status 1: $(screen)"
kill "$silentpid" 2>/dev/null
"$veskor" --quiet --connect "$endpoint" write ID4x0 int16 7 8 >/dev/null || fail "write 7 8 failed"

# Into a pipe: one line per round, as poll prints them.
lines=$("$veskor" --quiet --connect "$endpoint" monitor ID4x0:int16:2 ID4x10:uint8 --times 2 --interval 10 2>/dev/null | cat)
[ "$(grep -cE '^[0-9T:.+-]+  ID4x0: 7 8 \(0\)  ID4x10: 0 \(0\)  rtt [0-9.]+ ms$' <<<"$lines")" -eq 2 ] ||
  fail "in a pipe: $lines"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "monitor: table, highlight, trend, scrolling, two controllers, q, Ctrl-C and pipe as expected"
