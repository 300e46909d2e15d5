#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Kelmora needs to build and to run its example,
# and builds it into build/. Safe to run again: installed packages are
# skipped. The test servers and tools are installed by scripts/test.sh only,
# so this touches nothing of the machine's services.
#   JOBS=N scripts/setup.sh     build with N parallel jobs (default: the
#                               number of processors)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev libgmime-3.0-dev libicu-dev libmagic-dev libgumbo-dev
  qt6-base-dev qt6-base-dev-tools libxcb1-dev libgtest-dev fonts-ipafont-gothic
  python3 ca-certificates
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
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMORA_WITH_QT=ON >/dev/null
ninja -C build -j "${JOBS:-$(nproc)}"
