// The whole host run behind main(): parse the command line, load the plug-in,
// call Orvanto, print the clip's properties and serve the frames asked for.
#pragma once

#include <cstdio>

// Exit codes.
enum HostExit { kHostOk = 0, kHostScriptError = 1, kHostUsage = 2 };

// Properties and MD5 lines go to `out` (to `err` when the frames go to standard
// output as YUV4MPEG2); errors, usage and progress to `err`.
int RunHost(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
