#!/usr/bin/env bash
# The main command. Installs what the build needs and builds the programs.
# With a display (X11 or Wayland) it starts the desktop program, vorelle:
# drop image files on its window. Without one it converts every sample image
# to every output format into out/ with vorelle-convert and shows the run
# log. Either way it says which it did. The run keeps its settings in
# build/run-config, so the user's own stored options are neither used nor
# changed (set VORELLE_USER_SETTINGS=1 to use them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mkdir -p build/run-config
if [ "${VORELLE_USER_SETTINGS:-0}" != 1 ]; then
  export XDG_CONFIG_HOME="$root/build/run-config"
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${VORELLE_NO_WINDOW:-0}" != 1 ]; then
  cmake --build build -j "$(nproc)" --target vorelle vorelle-convert
  echo "== a display is available: starting the window (build/app/vorelle)"
  echo "   drop image files on it; converted files go to the folder set in Options..."
  exec build/app/vorelle
fi

cmake --build build -j "$(nproc)" --target vorelle-convert
shopt -s nullglob
samples=(samples/sample.*)
if [ ${#samples[@]} -eq 0 ]; then
  echo "run: no sample images in samples/" >&2
  exit 1
fi

echo "== no display: converting samples/ into out/ with vorelle-convert"
rm -rf "out/Converted Images"
mkdir -p out
status=0
build/app/vorelle-convert --all-formats --output-dir "$root/out" "${samples[@]}" || status=$?

echo "== out/Converted Images/Vorelle.log"
tr -d '\r' < "out/Converted Images/Vorelle.log"
echo "== output files"
(cd out && find "Converted Images" -type f | sort | sed 's/^/  /')
exit "$status"
