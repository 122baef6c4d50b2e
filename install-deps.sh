#!/bin/sh
# Installs the Debian 12 packages needed to build, run and test the plug-in.
set -e
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
  build-essential cmake pkg-config git python3 \
  libgtest-dev googletest clang libclang-rt-14-dev \
  libavcodec-dev libavformat-dev libavutil-dev libmfx-dev libmfx1 \
  ffmpeg x264 mkvtoolnix mjpegtools >/dev/null
