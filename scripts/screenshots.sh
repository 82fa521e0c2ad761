#!/usr/bin/env bash
# Pictures of the program's windows on a virtual X display (Xvfb), in every
# language the program ships (the catalog the build lays next to it), saved
# as PNG files <window>-<language>.png under build/screenshots/ (or the
# folder given). Look at them after changing a window or a translation: no
# text may be clipped or overlapped, right-to-left languages mirrored.
#
#   scripts/screenshots.sh [OUTDIR]
#
# The windows pictured are listed in app/ScreenshotsMain.cpp (Shots()).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/build/screenshots}

scripts/setup.sh

echo "== build"
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$(nproc)" --target vorelle-screenshots vorelle_catalog

echo "== screenshots into $out"
rm -f "$out"/*.png "$out/settings.conf"
mkdir -p "$out"
# The pictures use settings of their own, never the user's.
export XDG_CONFIG_HOME="$out/config"
xvfb-run -a -s "-screen 0 1280x1024x24" build/app/vorelle-screenshots "$out" "$root/build/app/I18n/vorelle.i18n"
