#!/bin/sh
# Builds the decode pipeline's tests with ThreadSanitizer (tree build/tsan, or the
# folder given as $1) and runs them: the pools and the decode run over the scripted
# engine, the runs on the real software engine over the corpus, and the engine's own
# tests (its decode thread).
set -e
cd "$(dirname "$0")/../.."
TREE=${1:-build/tsan}
JOBS=${JOBS:-4}
cmake -S . -B "$TREE" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVAR_TSAN=ON >/dev/null
cmake --build "$TREE" -j "$JOBS" --target pipeline_test pipeline_session_test mfx_engine_tests corpus
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/pipeline/tsan.supp"
"$TREE"/bin/pipeline_test
"$TREE"/bin/pipeline_session_test
"$TREE"/bin/mfx_engine_tests
echo "pipeline tests clean under ThreadSanitizer"
