// Serving frames comes with the worker thread and the frame hand-off; until that
// is built in, a frame request fails with a clear script error.
#include "source/clip.h"

PVideoFrame VQMultiSource::GetFrame(int, IScriptEnvironment* env) {
  env->ThrowError("Orvanto: frame serving is not built into this plug-in yet.");
  return PVideoFrame();  // not reached: ThrowError does not return
}
