#!/usr/bin/env bash
# Renders the program icon's PNG sizes from its SVG (needs rsvg-convert, librsvg2-bin).
# The PNGs are committed, so builds and packages need no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/../app/resources/icons"
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" velt-monitoring.svg -o "velt-monitoring-$size.png"
done
