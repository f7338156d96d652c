#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its demo, when missing.
set -euo pipefail

packages=(
    build-essential cmake clang-format
    qt6-base-dev qt6-base-private-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc libgl-dev
    zlib1g-dev libzstd-dev libsodium-dev pkg-config sqlite3 curl openssl
    nginx-light postgresql squid
    unixodbc unixodbc-dev odbc-postgresql
    binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 libimage-exiftool-perl file time
    xvfb xauth
    libcpp-httplib-dev
    clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# The server packages must not start services of their own; the tests start what they need.
$sudo sh -c 'printf "#!/bin/sh\nexit 101\n" > /usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d'
trap '$sudo rm -f /usr/sbin/policy-rc.d' EXIT
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
