// The one-line error report of the decode side: status, module file and the fixed
// exit number of the place that gave up, written to standard error (standard output may carry video).
#pragma once

#include <mfx/mfxdefs.h>

void PrintReturnOnError(mfxStatus status, const char* moduleFile, int exitNumber);
