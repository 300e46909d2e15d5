#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets everything up and runs every test: unit tests and end-to-end tests
# against private Dovecot, Postfix and SMTP servers on loopback.
#   JOBS=N                    parallel build jobs (default: the number of processors)
#   KELMORA_PACKAGE_TESTS=1   also build the Debian packages and check them with lintian
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

# Only the tests use these. Their system services are never started or
# enabled (see scripts/install-test-packages.sh): the tests run private
# instances of their own.
test_packages=(
  dovecot-pop3d dovecot-imapd postfix python3-aiosmtpd spamassassin
  faketime libpython3.11-testsuite curl
  xvfb xauth openbox xdotool x11-utils x11-apps desktop-file-utils
  man-db systemd
)
if [ "${KELMORA_PACKAGE_TESTS:-}" = 1 ]; then
  test_packages+=(debhelper dpkg-dev lintian)
fi
scripts/install-test-packages.sh "${test_packages[@]}"

cd build
ctest --output-on-failure -j2 --timeout 900
