#!/bin/sh
# Installs what is needed, then builds and runs the test suite in each tree: a
# Release tree and an AddressSanitizer + UndefinedBehaviorSanitizer tree for x86-64,
# a ThreadSanitizer tree of the threaded parts, and a Release tree of the 32-bit x86
# build; last, the main job's serve of the bundled sample (run-main.sh).
set -e
cd "$(dirname "$0")"
[ "${TESSIVAR_SKIP_INSTALL:-0}" = 1 ] || ./install-deps.sh tests
JOBS=$(nproc)
started=$(date +%s)
tree_done() { echo "== $1 passed ($(( $(date +%s) - started )) s so far)"; }

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$JOBS"
(cd build/release && ctest --output-on-failure -j "$JOBS")
tree_done "Release tree"

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVAR_SANITIZE=ON
cmake --build build/asan -j "$JOBS"
asan_ctest() {
  (cd build/asan && \
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure "$@")
}
# (`|| status=$?`: under set -e a failing ctest would end the group before its status is written.)
{ status=0; asan_ctest -j "$JOBS" 2>&1 || status=$?; echo "$status" > build/asan/ctest.status; } | tee build/asan/ctest.log
if [ "$(cat build/asan/ctest.status)" != 0 ]; then
  # LeakSanitizer's exit check stops every thread from a tracer process of its own; on
  # some kernels that tracer now and then crashes ("Tracer caught signal") after the test
  # itself has passed. When every failed test is such a crash, those tests run once
  # more and must pass; any other failure fails the tree.
  failed=$(grep -c . build/asan/Testing/Temporary/LastTestsFailed.log)
  crashes=$(grep -c "^Tracer caught signal" build/asan/ctest.log || true)
  [ "$failed" -gt 0 ] && [ "$failed" = "$crashes" ] || exit 1
  echo "== LeakSanitizer's tracer crashed in $failed test(s): running them once more"
  asan_ctest --rerun-failed
fi
tree_done "AddressSanitizer + UndefinedBehaviorSanitizer tree"
# ThreadSanitizer tree: the threaded parts only, their tests through CTest
# (tests/pipeline/run-tsan.sh).
JOBS="$JOBS" tests/pipeline/run-tsan.sh build/tsan
tree_done "ThreadSanitizer tree"

# The 32-bit x86 build: the same source with -m32, against the i386 media libraries
# unpacked into build/i386-root (the machine's packages stay as they are). Where the
# kernel cannot execute 32-bit programs, every test program (and every program of the
# tree a test starts) runs through qemu-i386.
cmake/fetch-i386-root.sh build/i386-root
mkdir -p build/i386-probe
printf 'int main(void) { return 0; }\n' > build/i386-probe/probe.c
cc -m32 build/i386-probe/probe.c -o build/i386-probe/probe ||
  { echo "run-tests.sh: cannot build a 32-bit program (gcc-multilib missing?)" >&2; exit 1; }
if build/i386-probe/probe 2>/dev/null; then
  emulator= way=natively
  echo "== i386 tests run natively (this kernel executes 32-bit programs)"
else
  if ! command -v qemu-i386 >/dev/null; then
    [ "${TESSIVAR_SKIP_INSTALL:-0}" = 1 ] || ./install-deps.sh emulator
  fi
  command -v qemu-i386 >/dev/null ||
    { echo "run-tests.sh: this kernel cannot execute 32-bit programs and qemu-i386 (qemu-user) is missing" >&2; exit 1; }
  emulator="$(command -v qemu-i386);-L;/" way="through qemu-i386"
  echo "== i386 tests run through qemu-i386 (this kernel cannot execute 32-bit programs)"
fi
cmake -S . -B build/i386 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i386.cmake" \
  -DTESSIVAR_I386_ROOT="$PWD/build/i386-root/sysroot" -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator"
cmake --build build/i386 -j "$JOBS"
(cd build/i386 && ctest --output-on-failure -j "$JOBS")
tree_done "i386 tree (tests run $way)"

# The main job as a user runs it: the sample served through the plug-in and the host.
TESSIVAR_SKIP_INSTALL=1 ./run-main.sh
echo "all tests passed in every tree"
