#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the PNG icons from packaging/kelmora.svg (needs rsvg-convert,
# package librsvg2-bin). The PNGs are kept in the repository, so building
# never needs the tool; run this after changing the SVG.
set -eu
cd "$(dirname "$0")"
for size in 48 256; do
  rsvg-convert -w "$size" -h "$size" ../kelmora.svg -o "kelmora-$size.png"
done
