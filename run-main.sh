#!/bin/sh
# Installs what the main job needs (amd64 packages only), builds the plug-in, its
# software engine and the frame server (tree build/main, no tests) and runs the frame
# server on the bundled sample clip: the plug-in is loaded, Orvanto is called on the
# sample (its index file lies beside it) with the software engine, the clip's
# properties are printed and every frame is served into build/sample.y4m (YUV4MPEG2,
# which ffmpeg and video players open).
set -e
cd "$(dirname "$0")"
[ "${TESSIVAR_SKIP_INSTALL:-0}" = 1 ] || ./install-deps.sh main
JOBS=$(nproc)

cmake -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DTESSIVAR_TESTS=OFF
cmake --build build/main -j "$JOBS" --target tessivar-host tessivar mfxsw64
build/main/bin/tessivar-host --vqi host/sample/sample.264 --engine 2 --silent true \
  --y4m build/sample.y4m
echo "served every frame of the sample clip to build/sample.y4m"
