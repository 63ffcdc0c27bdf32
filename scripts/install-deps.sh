#!/usr/bin/env bash
# Installs every Debian package Postsift needs to build, run, test and benchmark.
# Idempotent: when everything is present it only asks dpkg and returns.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgmime-3.0-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev liblmdb-dev libvectorscan-dev
  clang libclang-rt-14-dev
  xvfb xauth imagemagick fonts-wqy-microhei
  dovecot-pop3d openssl
  xdotool desktop-file-utils appstream lintian dpkg-dev file
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The Dovecot package may start a system-wide server; it is left alone, since the
# tests run their own instance on other ports.
