#!/bin/sh
# Installs what is needed, then builds and runs the whole test suite twice:
# a Release tree and an AddressSanitizer + UndefinedBehaviorSanitizer tree.
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

echo "all tests passed in both trees"
