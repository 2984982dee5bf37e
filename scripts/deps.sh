#!/usr/bin/env bash
# Installs the Debian packages needed to build and test on a fresh machine.
# Idempotent: packages already present are left alone. Extra package names
# given as arguments are installed too.
set -euo pipefail

packages=(cmake make g++ pkg-config file python3 tzdata qtbase5-dev libqt5network5 libgtest-dev
          libbenchmark-dev libmodbus-dev "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
