#!/usr/bin/env bash
# A stop is obeyed at once: veskor in a terminal (tmux) against a simulator
# that answers nothing. One row per way of stopping; each row gives the
# command, how it is stopped, the exit status and what stderr must say.
# Nothing may be sent after the stop (the simulator's log shows every
# request; a write must never come), and the tool must end within 300 ms.
# Then a long tag list read into a table and stopped mid-way.
#   tst_stop.sh VESKOR VESKOR_SIM
set -uo pipefail
veskor=$1 sim=$2
. "$(dirname "$0")/sim_session.sh"
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (Debian package tmux)"; exit 1; }

"$sim" --listen 127.0.0.1:0 --fault drop=1 --verbose >"$work/sim.out" 2>&1 &
simpid=$!
server="veskor-stop-$$"
cleanup() { tmux -L "$server" kill-server 2>/dev/null; kill "$simpid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
endpoint=$(sim_endpoint "$work/sim.out")
[ -n "$endpoint" ] || { echo "FAIL: veskor-sim did not start"; exit 1; }

now_ms() { echo $(($(date +%s%N) / 1000000)); }
screen() { tmux -L "$server" capture-pane -p -J; }
# Waits up to $2 ms for the screen to match $1 (ERE); prints when it did.
await_ms() {
  local until=$(($(now_ms) + $2))
  while [ "$(now_ms)" -le "$until" ]; do
    screen | grep -qE -- "$1" && { now_ms; return 0; }
    sleep 0.02
  done
  return 1
}

six="ID4x0:int16 ID4x2:int16 ID4x4:int16 ID4x6:int16 ID4x8:int16 ID4x10:int16"
# name | arguments | stop (keys to send, or "term" for SIGTERM) | status | stderr says
rows=(
  "then chain, Ctrl-C during the read|read ID4x0 int16 then write ID4x0 int16 7|C-c|130|stopped; the read of ID4x0 in flight was abandoned"
  "then chain, SIGTERM during the read|read ID4x0 int16 then write ID4x0 int16 7|term|130|stopped; the read of ID4x0 in flight was abandoned"
  "monitor of six tags, q|monitor $six --interval 100|q|0|stopped; the read of ID4x[0-9]+ in flight was abandoned"
  "probe, Ctrl-C|probe|C-c|130|stopped; the probe's report covers what came before the stop"
)
n=0
for row in "${rows[@]}"; do
  IFS='|' read -r name args stop status says <<<"$row"
  n=$((n + 1))
  : >"$work/sim.out.mark"
  before=$(grep -c '^write' "$work/sim.out")
  # A tmux server of its own per row: a new server on the socket of one that
  # is still shutting down exits at once.
  tmux -L "$server" kill-server 2>/dev/null
  server="veskor-stop-$$-$n"
  started=$(now_ms)
  # In the foreground, as a person runs it (keys and Ctrl-C reach it); the
  # shell that execs it says its process id first.
  tmux -L "$server" new-session -d -x 80 -y 24 \
    "sh -c 'echo PID=\$\$; exec $veskor --quiet --connect $endpoint $args 2>$work/err$n'; echo EXIT=\$? END=\$(( \$(date +%s%N) / 1000000 )); sleep 60"
  # A monitor draws its table before any read ends.
  if [[ $args == monitor* ]]; then
    shown=$(await_ms "^TAG " 300) || fail "$name: no table within 300 ms: $(screen)"
  fi
  sleep 0.5
  sent=$(now_ms)
  if [ "$stop" = term ]; then
    pid=$(screen | sed -n 's/^PID=\([0-9]*\)$/\1/p')
    kill -TERM "$pid"
  else
    tmux -L "$server" send-keys "$stop"
  fi
  sleep 0.1
  requests=$(grep -cE '^(read|write)' "$work/sim.out")
  await_ms "EXIT=" 3000 >/dev/null || { fail "$name: did not end: $(screen)"; continue; }
  line=$(screen | grep -oE 'EXIT=[0-9]+ END=[0-9]+')
  got=$(sed -n 's/^EXIT=\([0-9]*\) .*/\1/p' <<<"$line")
  ended=$(sed -n 's/.* END=\([0-9]*\)$/\1/p' <<<"$line")
  [ "$got" = "$status" ] || fail "$name: exit status $got, expected $status"
  [ $((ended - sent)) -le 300 ] || fail "$name: ended $((ended - sent)) ms after the stop"
  grep -qE -- "$says" "$work/err$n" || fail "$name: stderr does not say '$says': $(cat "$work/err$n")"
  after=$(grep -c '^write' "$work/sim.out")
  [ "$after" = "$before" ] || fail "$name: the simulator received a write after the stop"
  sleep 0.2
  [ "$(grep -cE '^(read|write)' "$work/sim.out")" = "$requests" ] || fail "$name: requests went on after the stop"
  echo "$name: ended $((ended - sent)) ms after the stop${shown:+, table $((shown - started)) ms after the start}"
  shown=""
done

# A long tag list read into a table, stopped mid-way: the rows of the reads
# before the stop are there, in the tag file's order and in the columns the
# header gives (laid out from the tag file, not from the results), and
# stderr says how many of how many tags were read. Against a simulator that
# answers. One row per way of stopping: name | stop.
"$sim" --listen 127.0.0.1:0 --verbose >"$work/sim2.out" 2>&1 &
sim2pid=$!
trap 'cleanup; kill "$sim2pid" 2>/dev/null' EXIT
endpoint2=$(sim_endpoint "$work/sim2.out")
[ -n "$endpoint2" ] || { echo "FAIL: the second veskor-sim did not start"; exit 1; }
total=200000
{ echo "tag,type,count,name"; seq 0 $((total - 1)) | awk '{ printf "ID4x%d,int16,,T%d\n", ($1 % 500) * 2, $1 }'; } >"$work/long.csv"
read_rows=(
  "read --tags of $total tags, Ctrl-C mid-way|C-c"
  "read --tags of $total tags, SIGTERM mid-way|term"
)
for row in "${read_rows[@]}"; do
  IFS='|' read -r name stop <<<"$row"
  n=$((n + 1))
  tmux -L "$server" kill-server 2>/dev/null
  server="veskor-stop-$$-$n"
  tmux -L "$server" new-session -d -x 80 -y 24 \
    "sh -c 'echo PID=\$\$; exec $veskor --quiet --connect $endpoint2 read --tags $work/long.csv >$work/out$n 2>$work/err$n'; echo EXIT=\$? END=\$(( \$(date +%s%N) / 1000000 )); sleep 60"
  # Stopped once rows are coming: reading the list takes a while in a
  # sanitizer build, and a stop before it ends is another case.
  for _ in $(seq 300); do
    [ "$(wc -l <"$work/out$n" 2>/dev/null || echo 0)" -gt 50 ] && break
    sleep 0.1
  done
  sleep 0.3
  sent=$(now_ms)
  if [ "$stop" = term ]; then
    kill -TERM "$(screen | sed -n 's/^PID=\([0-9]*\)$/\1/p')"
  else
    tmux -L "$server" send-keys C-c
  fi
  await_ms "EXIT=" 3000 >/dev/null || { fail "$name: did not end: $(screen)"; continue; }
  line=$(screen | grep -oE 'EXIT=[0-9]+ END=[0-9]+')
  got=$(sed -n 's/^EXIT=\([0-9]*\) .*/\1/p' <<<"$line")
  ended=$(sed -n 's/.* END=\([0-9]*\)$/\1/p' <<<"$line")
  [ "$got" = 130 ] || fail "$name: exit status $got, expected 130"
  [ $((ended - sent)) -le 300 ] || fail "$name: ended $((ended - sent)) ms after the stop"
  rows=$(($(wc -l <"$work/out$n") - 1))
  [ "$rows" -gt 0 ] && [ "$rows" -lt "$total" ] || fail "$name: $rows rows of $total, expected some but not all"
  grep -qE "^veskor: stopped; $rows of $total tags read, 0 of them failed$" "$work/err$n" \
    || fail "$name: stderr does not say $rows of $total tags read: $(cat "$work/err$n")"
  # Row i is the file's tag i, done, with its value where the header puts VALUES.
  bad=$(awk 'NR == 1 { at = index($0, "VALUES"); next }
             { i = NR - 2; want = sprintf("T%d ID4x%d int16 1 0 done", i, (i % 500) * 2)
               got = $1 " " $2 " " $3 " " $4 " " $5 " " $6
               if (got != want || NF != 7 || length($0) - length($NF) + 1 != at) { print NR ": " $0; exit } }' "$work/out$n")
  [ -z "$bad" ] || fail "$name: row out of place: $bad"
  [ "$(head -1 "$work/out$n")" = "NAME     TAG      TYPE   COUNT  CODE  MEANING                  VALUES" ] \
    || fail "$name: header: $(head -1 "$work/out$n")"
  requests=$(grep -c '^read' "$work/sim2.out")
  sleep 0.2
  [ "$(grep -c '^read' "$work/sim2.out")" = "$requests" ] || fail "$name: requests went on after the stop"
  echo "$name: $rows rows before the stop, ended $((ended - sent)) ms after it"
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "stops: obeyed at once, nothing sent after them"
