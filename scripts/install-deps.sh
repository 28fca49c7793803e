#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Corvale need.
# Idempotent and quiet when everything is already there.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-multimedia-dev
          libsndfile1-dev libsoxr-dev libebur128-dev libfftw3-dev ffmpeg libgtest-dev gstreamer1.0-plugins-good xvfb xauth
          desktop-file-utils xdg-utils libglib2.0-bin lintian
          clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
