#!/bin/sh
# Builds the threaded parts with ThreadSanitizer (tree build/tsan, or the folder
# given as $1) and runs their tests through CTest (each with its time limit): the
# platform's events and threads, the pools and the decode run over the scripted
# engine and over the real software engine, the engine's own tests, and the worker
# with GetFrame through the plug-in (serving failures and a short accuracy subset).
set -e
cd "$(dirname "$0")/../.."
TREE=${1:-build/tsan}
JOBS=${JOBS:-4}
started=$(date +%s)
cmake -S . -B "$TREE" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVAR_TSAN=ON >/dev/null
cmake --build "$TREE" -j "$JOBS" --target win32_test pipeline_test pipeline_session_test mfx_engine_tests \
  accuracy_test tessivar-host tessivar mfxsw64 halvern
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/pipeline/tsan.supp"
# The selection, one pattern per group: each must match at least one test, so that a
# renamed or dropped suite fails the run instead of leaving it to pass on fewer tests.
patterns='^(Win32(Events|Threads|Locks))\.
^ThreadPrimitives
^Buffering
^FrameAllocatorTest
^DecodeLoopTest
^SessionTest
^mfx\.
^ServingFailures\.
^AccuracyEdges\.
^Avc/AccuracyTest\..*/(ts|ps|open_gop)_fieldop2_random'
threaded=
for pattern in $patterns; do
  count=$(cd "$TREE" && ctest -N -R "$pattern" | sed -n 's/^Total Tests: //p')
  if [ "${count:-0}" -eq 0 ]; then
    echo "run-tsan.sh: no test matches $pattern" >&2
    exit 1
  fi
  threaded="${threaded:+$threaded|}$pattern"
done
(cd "$TREE" && ctest --output-on-failure --no-tests=error -j "$JOBS" -R "$threaded")
echo "threaded tests clean under ThreadSanitizer ($(( $(date +%s) - started )) s with the build)"
