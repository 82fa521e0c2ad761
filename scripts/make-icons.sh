#!/usr/bin/env bash
# Renders the program's icon (app/desktop/com.ostrevo.Vorelle.svg) into the
# PNG sizes of the hicolor icon theme, app/desktop/icons/<size>.png. Run it
# after changing the drawing; the PNGs are kept in the repository so that a
# build needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsvg-convert >/dev/null || { echo "make-icons: needs rsvg-convert (librsvg2-bin)" >&2; exit 1; }
mkdir -p app/desktop/icons
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" app/desktop/com.ostrevo.Vorelle.svg -o "app/desktop/icons/$size.png"
done
ls -l app/desktop/icons
