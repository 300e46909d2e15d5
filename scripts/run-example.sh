#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets everything up and runs the bundled example list once (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec /usr/bin/python3 scripts/example.py
