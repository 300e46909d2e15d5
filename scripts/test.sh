#!/usr/bin/env bash
# Sets everything up and runs every test: unit tests and end-to-end tests
# against private Dovecot and SMTP servers on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
ctest --output-on-failure -j2 --timeout 900
