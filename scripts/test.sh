#!/usr/bin/env bash
# Sets everything up and runs every test: unit tests and end-to-end tests
# against private Dovecot, Postfix and SMTP servers on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."

# Test-only: Postfix, asked no questions and left unconfigured. The tests
# run private instances from their own folders, never the system's.
if ! dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q "install ok installed"; then
  echo "test: installing postfix"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  echo "postfix postfix/main_mailer_type select No configuration" | "${sudo_cmd[@]}" debconf-set-selections
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends postfix
fi

scripts/setup.sh

# Test data only the tests read: the email package's own test messages.
if ! dpkg-query -W -f='${Status}' libpython3.11-testsuite 2>/dev/null | grep -q "install ok installed"; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends libpython3.11-testsuite
fi

cd build
ctest --output-on-failure -j2 --timeout 900
