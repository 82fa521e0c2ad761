#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# fuzz targets need, when it is missing. Runs as root (CI) or through sudo.
set -euo pipefail

packages=(
  # toolchain
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config ccache
  # libraries of the imaging core
  zlib1g-dev libjpeg62-turbo-dev libtiff-dev libopenjp2-7-dev
  # application and localization
  qt6-base-dev famfamfam-flag-png
  # help book: compiler and reader
  fp-utils libchm-dev
  # tests and benchmarks
  googletest libgtest-dev libbenchmark-dev libpng-dev
  # peer tools used as test oracles
  imagemagick netpbm python3 python3-pil libjpeg-turbo-progs giflib-tools libtiff-tools libopenjp2-tools gettext
  # benchmark peers and measures
  libvips-tools time
  # headless window tests
  xvfb xauth x11-apps fonts-dejavu-core fonts-wqy-microhei
  # the installed program checked: desktop entry, AppStream data
  desktop-file-utils appstream
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
