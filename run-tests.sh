#!/bin/sh
# Installs what is needed, then builds and runs the test suite in each tree: a
# Release tree and an AddressSanitizer + UndefinedBehaviorSanitizer tree for x86-64,
# a ThreadSanitizer tree of the threaded parts, and a Release tree of the 32-bit x86
# build.
set -e
cd "$(dirname "$0")"
[ "${TESSIVAR_SKIP_INSTALL:-0}" = 1 ] || ./install-deps.sh
JOBS=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$JOBS"
(cd build/release && ctest --output-on-failure -j "$JOBS")

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVAR_SANITIZE=ON
cmake --build build/asan -j "$JOBS"
(cd build/asan && \
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure -j "$JOBS")
# ThreadSanitizer tree: the threaded parts only, their tests through CTest
# (tests/pipeline/run-tsan.sh).
JOBS="$JOBS" tests/pipeline/run-tsan.sh build/tsan

# The 32-bit x86 build: the same source with -m32 and the i386 libraries.
cmake -S . -B build/i386 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i386.cmake"
cmake --build build/i386 -j "$JOBS"
(cd build/i386 && ctest --output-on-failure -j "$JOBS")

echo "all tests passed in every tree"
