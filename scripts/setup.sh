#!/usr/bin/env bash
# Installs every Debian package Kelmora needs to build, run and test, and
# builds it into build/. Safe to run again: installed packages are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev libgmime-3.0-dev libicu-dev libmagic-dev libgumbo-dev
  qt6-base-dev qt6-base-dev-tools libgtest-dev fonts-ipafont-gothic
  dovecot-pop3d dovecot-imapd python3 python3-aiosmtpd xvfb xauth curl
  openbox xdotool x11-utils desktop-file-utils dpkg-dev
  spamassassin
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -q
  # Installing dovecot may start a system service on a host with systemd;
  # the tests never use it (they run their own instance on other ports).
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMORA_WITH_QT=ON >/dev/null
ninja -C build
