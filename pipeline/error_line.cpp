#include "pipeline/error_line.h"

#include <cstdio>

void PrintReturnOnError(mfxStatus status, const char* moduleFile, int exitNumber) {
  std::fprintf(stderr, "\nReturn on error: error code %d,\t%s\t%d\n\n", static_cast<int>(status), moduleFile, exitNumber);
  std::fflush(stderr);
}
