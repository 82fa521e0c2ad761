#!/usr/bin/env bash
# Times the conversion job (vorelle-convert) beside the peers on the cases
# users meet most, and prints each time with its ratio to the peer's:
#   1. one 4000 x 3000 JPEG to every output format, beside a shell loop of
#      ImageMagick convert calls and beside `vips copy` per format vips writes;
#   2. PPM -> JPEG and JPEG -> PPM of that photo, beside cjpeg and djpeg;
#   3. the first frame of a 100-frame 640 x 480 GIF and APNG to PNG, beside
#      convert 'file[0]';
#   4. 500 photos of 640 x 480 to PNG and JPEG in one run, with one and with
#      two workers, beside mogrify on one core, with the peak memory of runs
#      over 100 and over 500 files.
# Times are the best of several runs (wall clock). The program's settings are
# used on both sides: JPEG quality 100, PNG deflate level 0.
#
#   bench/bench_job.sh [BUILD_DIR] [REPEATS]     (default: build 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
repeats=${2:-3}
cmake --build "$build" --target vorelle-convert >/dev/null
bin="$(pwd)/$build/app/vorelle-convert"
# The real ImageMagick, not a wrapper that may stand before it in PATH.
magick=/usr/bin/convert
mogrify=/usr/bin/mogrify
[ -x "$magick" ] || magick=$(command -v convert)
[ -x "$mogrify" ] || mogrify=$(command -v mogrify)
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
for tool in "$magick" "$mogrify" vips cjpeg djpeg "$python"; do
  command -v "$tool" >/dev/null || { echo "bench_job: $tool is not installed (scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" HOME="$work/home"
mkdir -p "$HOME"

# Best wall time of $repeats runs of a command (its output is discarded);
# the output folder $work/o is emptied before every run.
best() {
  local best_time="" t0 t1 t
  for _ in $(seq "$repeats"); do
    rm -rf "$work/o"; mkdir -p "$work/o"
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
    if [ -z "$best_time" ] || awk -v a="$t" -v b="$best_time" 'BEGIN { exit !(a < b) }'; then best_time=$t; fi
  done
  echo "$best_time"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '  %-44s vorelle %7.3f s   %-10s %7.3f s   ratio %s\n' "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")"; }

# --- inputs ---------------------------------------------------------------
"$magick" -seed 1 -size 4000x3000 plasma:fractal -attenuate 0.3 +noise Gaussian -quality 92 "$work/photo.jpg"
"$magick" "$work/photo.jpg" "$work/photo.ppm"
"$python" - "$work" <<'PY'
import sys, random
from PIL import Image, ImageDraw
work = sys.argv[1]
W, H, N = 640, 480, 100
base = Image.open(work + "/photo.jpg").convert("RGB")
frames = []
for k in range(N):
    f = base.crop((k * 7, k * 5, k * 7 + W, k * 5 + H))
    d = ImageDraw.Draw(f)
    d.ellipse((k * 5, 200, k * 5 + 90, 290), fill=(255, 255, 255))
    frames.append(f)
frames[0].save(work + "/anim.png", save_all=True, append_images=frames[1:], duration=40)
pal = [f.quantize(64) for f in frames]
pal[0].save(work + "/anim.gif", save_all=True, append_images=pal[1:], duration=40, loop=0)
import os
os.makedirs(work + "/many", exist_ok=True)
rng = random.Random(5)
for i in range(500):
    x, y = rng.randrange(0, 4000 - W), rng.randrange(0, 3000 - H)
    base.crop((x, y, x + W, y + H)).save(work + "/many/p%03d.jpg" % i, quality=90)
PY

echo "vorelle-convert beside the peers (best of $repeats, wall clock, $(nproc) cores)"

# --- 1. one JPEG to every output format -----------------------------------
mapfile -t formats < <("$bin" --list-formats --all-formats | awk '{print $2}')
magick_formats=()
for ext in "${formats[@]}"; do
  "$magick" "$work/photo.jpg" -resize 8x8 "$work/probe.$ext" >/dev/null 2>&1 && magick_formats+=("$ext")
done
vips_formats=()
for ext in "${formats[@]}"; do
  vips copy "$work/photo.jpg" "$work/probe-v.$ext" >/dev/null 2>&1 && vips_formats+=("$ext")
done
magick_loop() {
  for ext in "${magick_formats[@]}"; do
    case "$ext" in jpg) o=(-quality 100) ;; png) o=(-quality 00) ;; *) o=() ;; esac
    "$magick" "$work/photo.jpg" "${o[@]}" "$work/o/photo.$ext"
  done
}
vips_loop() {
  for ext in "${vips_formats[@]}"; do
    case "$ext" in jpg) o="[Q=100]" ;; png) o="[compression=0]" ;; *) o="" ;; esac
    vips copy "$work/photo.jpg" "$work/o/photo.$ext$o"
  done
}
ours_formats() { "$bin" --formats "$1" --no-log --output-dir "$work/o" "$work/photo.jpg"; }
echo "1. one 4000 x 3000 JPEG to every output format"
t_all=$(best "$bin" --all-formats --no-log --output-dir "$work/o" "$work/photo.jpg")
printf '  all %d formats: vorelle %.3f s\n' "${#formats[@]}" "$t_all"
t_ours=$(best ours_formats "$(IFS=,; echo "${magick_formats[*]}")")
t_peer=$(best magick_loop)
row "the ${#magick_formats[@]} formats ImageMagick writes" "$t_ours" "convert" "$t_peer"
t_ours=$(best ours_formats "$(IFS=,; echo "${vips_formats[*]}")")
t_peer=$(best vips_loop)
row "the ${#vips_formats[@]} formats vips writes ($(IFS=,; echo "${vips_formats[*]}"))" "$t_ours" "vips copy" "$t_peer"

# --- 2. PPM -> JPEG and JPEG -> PPM -----------------------------------------
echo "2. single conversions of the photo"
t_ours=$(best "$bin" --formats jpg --no-log --output-dir "$work/o" "$work/photo.ppm")
t_peer=$(best sh -c "cjpeg -quality 100 '$work/photo.ppm' > '$work/o/photo.jpg'")
row "PPM -> JPEG (quality 100)" "$t_ours" "cjpeg" "$t_peer"
t_ours=$(best "$bin" --formats ppm --no-log --output-dir "$work/o" "$work/photo.jpg")
t_peer=$(best sh -c "djpeg -ppm '$work/photo.jpg' > '$work/o/photo.ppm'")
row "JPEG -> PPM" "$t_ours" "djpeg -ppm" "$t_peer"

# --- 3. first frame of an animation ---------------------------------------
echo "3. first frame of a 100-frame 640 x 480 animation to PNG"
for anim in anim.gif anim.png; do
  t_ours=$(best "$bin" --formats png --no-log --output-dir "$work/o" "$work/$anim")
  t_peer=$(best "$magick" "$work/$anim[0]" -quality 00 "$work/o/first.png")
  row "$anim" "$t_ours" "convert" "$t_peer"
done

# --- 4. many photos --------------------------------------------------------
echo "4. 500 photos of 640 x 480 to PNG and JPEG"
many=("$work"/many/*.jpg)
t1=$(best "$bin" -j 1 --formats png,jpg --no-log --output-dir "$work/o" "${many[@]}")
t2=$(best "$bin" -j 2 --formats png,jpg --no-log --output-dir "$work/o" "${many[@]}")
mog() {
  MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 "$mogrify" -path "$work/o" -format png -quality 00 "${many[@]}"
  MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 "$mogrify" -path "$work/o" -format jpg -quality 100 "${many[@]}"
}
t_peer=$(best mog)
row "one worker" "$t1" "mogrify" "$t_peer"
row "two workers" "$t2" "mogrify" "$t_peer"
printf '  two workers / one worker: %s\n' "$(ratio "$t2" "$t1")"
peak() {
  rm -rf "$work/o"; mkdir -p "$work/o"
  /usr/bin/time -f %M "$bin" -j "$1" --formats png,jpg --no-log --output-dir "$work/o" "${many[@]:0:$2}" 2>&1 >/dev/null | tail -n 1
}
printf '  peak memory (KiB):   100 files: -j1 %s, -j2 %s    500 files: -j1 %s, -j2 %s\n' \
  "$(peak 1 100)" "$(peak 2 100)" "$(peak 1 500)" "$(peak 2 500)"
