/* Benchmark aid: the software engine sizes its decoder threads by the processor
 * count. Preloaded into the serving programs, this reports BENCH_DECODER_THREADS
 * processors instead, so the engine runs as many decoder threads as ffmpeg's
 * -threads N it is compared with. Built by bench/run-serve.sh; not part of the build. */
#include <stdlib.h>

int get_nprocs(void) {
  const char* threads = getenv("BENCH_DECODER_THREADS");
  return threads && atoi(threads) > 0 ? atoi(threads) : 1;
}
