#!/usr/bin/env bash
# Installs the Debian packages needed to build and run every test on a fresh
# Debian 12 machine, without questions. Idempotent: packages already present
# are left alone. Extra package names given as arguments are installed too.
#
#   build       cmake make g++ pkg-config qtbase5-dev libqt5network5 libpcap-dev
#               (the simulator reads and writes captures with it)
#   benchmarks  libbenchmark-dev libmodbus-dev (the peer baseline)
#   tests       python3 (fuzz seeds, tool tests), tzdata (local-time stamps
#               across zone changes), tshark (the dissector test), lintian
#               and dpkg-dev (the package test), groff-base (man pages), tmux (the
#               monitor as a terminal shows it), file
#   gateway     libmosquitto-dev libcpp-httplib-dev (veskor-gateway is built
#               only with them), libsystemd-dev (its readiness and watchdog
#               notices to systemd); mosquitto mosquitto-clients prometheus curl
#               (its end-to-end test: broker, clients, promtool)
set -euo pipefail

packages=(cmake make g++ pkg-config file python3 tzdata tmux qtbase5-dev libqt5network5
          libbenchmark-dev libmodbus-dev libpcap-dev tshark lintian dpkg-dev groff-base
          libmosquitto-dev libcpp-httplib-dev libsystemd-dev mosquitto mosquitto-clients prometheus curl "$@")

# Installed for this machine's architecture (or for all): a package of
# another architecture (say libmodbus-dev:armhf for a cross build) does not
# count. A name with an architecture (pkg:armhf) is taken as it is.
native=$(dpkg --print-architecture)
installed() {
  case $1 in
    *:*) dpkg-query -W -f='${db:Status-Abbrev}\n' "$1" 2>/dev/null | grep -q '^ii' ;;
    *) dpkg-query -W -f='${db:Status-Abbrev} ${Architecture}\n' "$1" 2>/dev/null |
         grep -qE "^ii +($native|all)\$" ;;
  esac
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether users outside the wireshark group may capture: no.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
$sudo apt-get update -qq -o DPkg::Lock::Timeout=600
$sudo apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
