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
threaded='^(Win32(Events|Threads|Locks)|ThreadPrimitives|Buffering|FrameAllocatorTest|DecodeLoopTest|SessionTest'
threaded="$threaded|mfx\\.|ServingFailures|AccuracyEdges|Avc/AccuracyTest\\..*/(ts|ps|open_gop)_fieldop2_random)"
(cd "$TREE" && ctest --output-on-failure -j "$JOBS" -R "$threaded")
echo "threaded tests clean under ThreadSanitizer ($(( $(date +%s) - started )) s with the build)"
