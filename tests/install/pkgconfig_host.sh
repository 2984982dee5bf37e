#!/usr/bin/env bash
# Builds the host check program against an installed tree with nothing but
# `pkg-config --cflags --libs libveskor` (and the -fPIC every Qt 5 program
# needs), then runs it against the installed veskor-sim: connect, write a tag,
# read it back.
# Environment: PREFIX LIBDIR HOST_SOURCE WORK_DIR CXX, and CXXFLAGS, LDFLAGS,
# EMULATOR (each may be empty).
set -euo pipefail
prefix=$PREFIX libdir=$LIBDIR source=$HOST_SOURCE work=$WORK_DIR cxx=$CXX
read -r -a cxxflags <<<"${CXXFLAGS:-}"
read -r -a ldflags <<<"${LDFLAGS:-}"
read -r -a emulator <<<"${EMULATOR:-}"

mkdir -p "$work"
# The target's own pkg-config files (Qt5Core.pc), then the installed tree's.
triplet=$("$cxx" -dumpmachine)
export PKG_CONFIG_LIBDIR="/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
read -r -a pcflags <<<"$(pkg-config --cflags --libs libveskor)"
echo "pkg-config --cflags --libs libveskor: ${pcflags[*]}"
case "${pcflags[*]}" in
  *..*) echo "pkg-config gave a path with '..'"; exit 1 ;;
esac
"$cxx" "${cxxflags[@]}" -fPIC "$source" -o "$work/host-pc" "${ldflags[@]}" "${pcflags[@]}"

sim_out="$work/sim.out"
# Made here: the background start below opens it in its own process, which
# may not have run yet when the first look for the endpoint comes.
: >"$sim_out"
"${emulator[@]}" "$prefix/bin/veskor-sim" --listen 127.0.0.1:0 >"$sim_out" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
endpoint=""
for _ in $(seq 1 300); do
  endpoint=$(sed -n 's/^veskor-sim listening on \(.*\)$/\1/p' "$sim_out" | head -1)
  [ -n "$endpoint" ] && break
  sleep 0.1
done
if [ -z "$endpoint" ]; then
  echo "veskor-sim did not start:"; cat "$sim_out"; exit 1
fi
LD_LIBRARY_PATH="$prefix/$libdir" "${emulator[@]}" "$work/host-pc" "$prefix/$libdir/libLibVESKOR.so.1" "$endpoint"
