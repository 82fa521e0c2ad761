#!/usr/bin/env bash
# Times one run of vorelle-convert over a 4000 x 3000 image to every output
# format, beside ImageMagick's convert doing the same conversions (one
# convert call per format, each reading the input again, as the job does).
# Prints both times per format set and their ratio (vorelle / ImageMagick).
#
#   bench/bench_convert.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target vorelle-convert >/dev/null
bin="$build/app/vorelle-convert"
# The real ImageMagick, not a wrapper that may stand before it in PATH.
convert=/usr/bin/convert
[ -x "$convert" ] || convert=$(command -v convert) || { echo "bench_convert: ImageMagick convert is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" HOME="$work/home"
mkdir -p "$HOME"

# A photo-like input: smooth fractal colours with fine noise, 24-bit BMP.
"$convert" -seed 1 -size 4000x3000 plasma:fractal -attenuate 0.3 +noise Gaussian -type TrueColor "BMP3:$work/input.bmp"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
add() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", a + b }'; }

mapfile -t formats < <("$bin" --list-formats --all-formats | awk '{print $2}')

# ImageMagick: every format it can write, with the program's settings
# (JPEG quality 100, PNG deflate level 0).
magick_formats=()
magick_total=0
for ext in "${formats[@]}"; do
  case "$ext" in
    jpg) opts=(-quality 100) ;;
    png) opts=(-quality 00) ;;
    *) opts=() ;;
  esac
  mkdir -p "$work/magick"
  t0=$(now)
  if "$convert" "$work/input.bmp" "${opts[@]}" "$work/magick/input.$ext" 2>/dev/null; then
    t1=$(now)
    magick_formats+=("$ext")
    magick_total=$(add "$magick_total" "$(elapsed "$t0" "$t1")")
  fi
done

t0=$(now)
"$bin" --all-formats --no-log --output-dir "$work/all" "$work/input.bmp" >/dev/null || true
t1=$(now)
all=$(elapsed "$t0" "$t1")

common=$(IFS=,; echo "${magick_formats[*]}")
t0=$(now)
"$bin" --formats "$common" --no-log --output-dir "$work/common" "$work/input.bmp" >/dev/null || true
t1=$(now)
ours=$(elapsed "$t0" "$t1")

printf 'input: 4000 x 3000, 24-bit BMP (%s bytes)\n' "$(stat -c %s "$work/input.bmp")"
printf 'vorelle-convert, all %d output formats (%s): %.2f s\n' "${#formats[@]}" "$(IFS=,; echo "${formats[*]}")" "$all"
printf 'formats both write (%s)\n' "$common"
printf '  vorelle-convert: %.2f s\n' "$ours"
printf '  ImageMagick convert: %.2f s\n' "$magick_total"
printf '  time ratio vorelle / ImageMagick: %.2f\n' "$(awk -v a="$ours" -v b="$magick_total" 'BEGIN { printf "%.6f", a / b }')"
