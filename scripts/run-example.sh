#!/usr/bin/env bash
# Sets everything up and runs the bundled example list once (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec /usr/bin/python3 scripts/example.py
