#!/bin/sh
# Installs what is needed, builds the release tree and runs the frame server on
# the bundled sample clip: the plug-in is loaded, Orvanto is called on the
# sample (its index file lies beside it) with the software engine, the clip's
# properties are printed and every frame is served into build/sample.y4m
# (YUV4MPEG2, which ffmpeg and video players open).
set -e
cd "$(dirname "$0")"
[ "${TESSIVAR_SKIP_INSTALL:-0}" = 1 ] || ./install-deps.sh
JOBS=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$JOBS"
build/release/bin/tessivar-host --vqi host/sample/sample.264 --engine 2 --silent true \
  --y4m build/sample.y4m
echo "served every frame of the sample clip to build/sample.y4m"

