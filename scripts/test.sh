#!/usr/bin/env bash
# Sets everything up and runs every test: unit tests and end-to-end tests
# against private Dovecot, Postfix and SMTP servers on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."

# Test-only packages. Postfix is asked no questions and left unconfigured:
# the tests run private instances from their own folders, never the
# system's.
test_packages=(postfix)
missing=()
for p in "${test_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "test: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "postfix postfix/main_mailer_type select No configuration" | "${sudo_cmd[@]}" debconf-set-selections
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

scripts/setup.sh
cd build
ctest --output-on-failure -j2 --timeout 900
