#!/bin/bash
# The manual pages and bash completions of veskor and veskor-sim, held
# against the programs themselves:
#  - both pages render with groff, warnings as errors;
#  - every long option a --help prints has its entry under OPTIONS, every
#    command of veskor its entry under COMMANDS, and the exit statuses are
#    those veskor lists;
#  - the completion functions, sourced into this plain bash (no
#    bash-completion package), offer commands, options, areas, types and
#    fault kinds, and the type names they offer are ones veskor takes.
#
# Usage: tst_shell_docs.sh VESKOR VESKOR_SIM MAN_DIR COMPLETION_DIR
set -u

if [ $# -ne 4 ]; then
    echo "usage: $0 VESKOR VESKOR_SIM MAN_DIR COMPLETION_DIR" >&2
    exit 2
fi
veskor=$1 sim=$2 mandir=$3 compdir=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! command -v groff >/dev/null; then
    echo "FAIL: groff is not installed (Debian package groff-base); the manual pages cannot be checked"
    exit 1
fi

# --- Manual pages ---------------------------------------------------------

# The page as plain text, the way a reader sees it.
render() { groff -man -Tascii -P-cbou "$1" 2>/dev/null; }

# The long options (--name) in a text on stdin, one per line.
long_options() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

# The text of a section of a rendered page.
section() { awk -v s="$1" '$0 == s { f = 1; next } /^[A-Z]/ { f = 0 } f'; }

# check_options WHAT PAGE_TEXT: each option on stdin has an entry (a tag
# such as "--size N" or "-h, --help") under OPTIONS.
check_options() {
    local what=$1 entries opt n=0
    entries=$(section OPTIONS <<<"$2")
    while read -r opt; do
        n=$((n + 1))
        grep -qE -- "^ {7}(-[a-zA-Z], )?$opt( |$)" <<<"$entries" ||
            fail "$opt, printed by $what, has no entry under OPTIONS in the manual page"
    done
    [ $n -gt 0 ] || fail "$what prints no long option"
}

for page in "$mandir/veskor.1" "$mandir/veskor-sim.1"; do
    err=$(groff -man -Tutf8 -ww -z "$page" 2>&1 >/dev/null)
    rc=$?
    if [ $rc -ne 0 ] || [ -n "$err" ]; then
        fail "groff -ww on $page: status $rc: $err"
    fi
done

man_veskor=$(render "$mandir/veskor.1")
man_sim=$(render "$mandir/veskor-sim.1")

help=$("$veskor" --help) || fail "veskor --help: status $?"
check_options "veskor --help" "$man_veskor" < <(long_options <<<"$help")

commands=$(sed -n '/^Commands/,/^$/p' <<<"$help" | awk 'NF { print $1 }' | sed 1d | sort -u)
[ -n "$commands" ] || fail "no commands found in veskor --help"
man_commands=$(section COMMANDS <<<"$man_veskor")
for cmd in $commands; do
    cmd_help=$("$veskor" "$cmd" --help) || fail "veskor $cmd --help: status $?"
    [[ $cmd_help == "Usage: veskor $cmd"* ]] || fail "veskor $cmd --help is not the help of $cmd"
    check_options "veskor $cmd --help" "$man_veskor" < <(long_options <<<"$cmd_help")
    grep -qE "^ {7}$cmd( |$)" <<<"$man_commands" || fail "command $cmd has no entry under COMMANDS"
done

# The exit statuses: those listed by --help, no more and no fewer.
help_codes=$(sed -n '/^Exit status:/,/^$/p' <<<"$help" | sed -n 's/^  \([0-9][0-9]*\) .*/\1/p')
man_codes=$(section "EXIT STATUS" <<<"$man_veskor" | sed -n 's/^ \{7\}\([0-9][0-9]*\) .*/\1/p')
if [ -z "$help_codes" ] || [ "$help_codes" != "$man_codes" ]; then
    fail "exit statuses: veskor --help lists ${help_codes//$'\n'/ }, the manual page ${man_codes//$'\n'/ }"
fi

sim_help=$("$sim" --help) || fail "veskor-sim --help: status $?"
# The usage line names the program, not the path it was started by, and
# --help-all and --version answer instead of starting the simulator.
[ "$(head -1 <<<"$sim_help")" = "Usage: veskor-sim [options]" ] ||
  fail "veskor-sim --help begins: $(head -1 <<<"$sim_help")"
[ "$(timeout 10 "$sim" --help-all)" = "$sim_help" ] || fail "veskor-sim --help-all differs from --help"
version=$(timeout 10 "$sim" --version) || fail "veskor-sim --version: status $?"
[[ $version =~ ^veskor-sim\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "veskor-sim --version says: $version"
check_options "veskor-sim --help" "$man_sim" < <(long_options <<<"$sim_help")

# --- Bash completion ------------------------------------------------------

# shellcheck source=/dev/null
source "$compdir/veskor" || fail "sourcing $compdir/veskor"
# shellcheck source=/dev/null
source "$compdir/veskor-sim" || fail "sourcing $compdir/veskor-sim"

# comp LINE WORD...: the replies, one per line, of the function registered
# for WORD with the cursor at the end of LINE, which bash has split into the
# WORDs (at blanks, and at ':' and '=' as COMP_WORDBREAKS says).
comp() {
    COMP_LINE=$1 COMP_POINT=${#1}
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    local fn
    fn=$(complete -p "$1" 2>/dev/null | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
    if [ -z "$fn" ]; then
        echo "(no completion function registered for $1)"
        return
    fi
    "$fn" 2>&1
    printf '%s\n' "${COMPREPLY[@]}"
}

# expect WANT GOT TEXT: the replies GOT (lines) hold the WANT lines.
expect() {
    local w
    for w in $1; do
        grep -qxF -- "$w" <<<"$2" || fail "completing '$3' does not offer $w; offered: ${2//$'\n'/ }"
    done
}

COMP_WORDBREAKS=$' \t\n"\'@><=;|&(:'

got=$(comp "veskor re" veskor re)
[ "$got" = read ] || fail "completing 'veskor re' offers: $got"

got=$(comp "veskor --con" veskor --con)
[ "$got" = --connect ] || fail "completing 'veskor --con' offers: $got"

got=$(comp "veskor read ID1" veskor read ID1 | sort)
want=$(printf '%s\n' ID1x ID10x ID11x ID12x ID13x ID14x ID15x ID16x ID17x ID18x ID19x | sort)
[ "$got" = "$want" ] || fail "completing 'veskor read ID1' offers: ${got//$'\n'/ }"

# A TAG:TYPE word: bash hands over "ID4x0" ":" and replaces only what
# follows the ':'. Every type --help names is offered, and veskor takes every
# name offered (an unknown type is a usage error, before the plug-in loads).
got=$(comp "veskor read ID4x0:" veskor read ID4x0 :)
types=$(sed -n 's/^TYPE: //p' <<<"$help")
[ -n "$types" ] || fail "no TYPE line in veskor --help"
expect "$types" "$got" "veskor read ID4x0:"
mapfile -t words <<<"$got"
out=$("$veskor" --plugin /nonexistent/libLibVESKOR.so.1 read "${words[@]/#/ID4x0:}" 2>&1)
rc=$?
[ $rc -eq 3 ] || fail "veskor does not take the types its completion offers (status $rc): $out"

got=$(comp "veskor poll ID4x0 int16 --" veskor poll ID4x0 int16 --)
expect "$(long_options <<<"$("$veskor" poll --help)")" "$got" "veskor poll ID4x0 int16 --"

got=$(comp "veskor-sim --fault " veskor-sim --fault "")
kinds=$(tr -s ' \n' ' ' <<<"$sim_help" | sed -n 's/.*Kinds: \([^.]*\)\..*/\1/p' | sed 's/, */= /g; s/$/=/')
[ -n "$kinds" ] || fail "no fault kinds in veskor-sim --help"
expect "drop= $kinds" "$got" "veskor-sim --fault "

got=$(comp "veskor-sim --fault=corrupt-e" veskor-sim --fault = corrupt-e)
[ "$got" = corrupt-echo= ] || fail "completing 'veskor-sim --fault=corrupt-e' offers: $got"

got=$(comp "veskor-sim --" veskor-sim --)
expect "$(long_options <<<"$sim_help")" "$got" "veskor-sim --"

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "manual pages and completions agree with veskor and veskor-sim"
