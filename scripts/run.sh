#!/usr/bin/env bash
# The main command: installs what the build needs, builds vorelle-convert,
# converts every sample image to every output format into out/ and shows the
# run log. The run keeps its settings in build/run-config, so the user's own
# stored options are neither used nor changed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target vorelle-convert

shopt -s nullglob
samples=(samples/sample.*)
if [ ${#samples[@]} -eq 0 ]; then
  echo "run: no sample images in samples/" >&2
  exit 1
fi

echo "== vorelle-convert over samples/ into out/"
rm -rf "out/Converted Images"
mkdir -p out build/run-config
status=0
XDG_CONFIG_HOME="$root/build/run-config" build/app/vorelle-convert --all-formats --output-dir "$root/out" \
  "${samples[@]}" || status=$?

echo "== out/Converted Images/Vorelle.log"
tr -d '\r' < "out/Converted Images/Vorelle.log"
echo "== output files"
(cd out && find "Converted Images" -type f | sort | sed 's/^/  /')
exit "$status"
