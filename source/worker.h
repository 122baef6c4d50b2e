// The worker thread of a clip and the event hand-off between it and the host's
// thread.
//
// Worker side: StartWorker creates the eight events and the thread; the thread opens
// the decode session, then waits for go or kill and on go runs the codec's
// seek-and-feed routine, which ends in the decode loop.
//
// Host side: the helpers below are the only way GetFrame and the clip's destructor
// talk to the worker. None of them waits without end: besides the event it expects,
// each wait also watches whether the worker is still in its run (goEvent signalled)
// and whether the thread is still alive, so a run that ends without the awaited
// picture, or a worker that has ended, is reported instead of waited for.
#pragma once

#include <mfx/mfxstructures.h>

#include "platform/win32/win32.h"

class SourceDecoder;

// Creates the event set and starts the worker at the highest normal priority.
// Raises a script error through the source's env when an event or the thread
// cannot be created.
void StartWorker(SourceDecoder* source);

// The thread procedure; `parameter` is the source's workerParams.
DWORD WorkerThreadProc(void* parameter);

// The clip destructor's first steps: abort the current run, wait until the worker is
// idle, tell it to end and wait for it. On return the worker no longer touches the
// source. Safe when the worker was never started or has already ended.
void StopWorker(SourceDecoder* source);

// ---- host side of the hand-off ----

// Raises the abort and waits until the worker is back from its run (goEvent not
// signalled) or has ended.
void WaitForWorkerIdle(SourceDecoder* source);

// After goEvent: waits for seekReadyEvent. False when the run ended, or the worker
// ended, without reaching that point.
bool WaitForSeekReady(SourceDecoder* source);

// Asks for the next decoded picture and waits for it. Returns the surface, valid until
// HandBackPicture; null when no picture will come (the run ended, or the worker ended).
mfxFrameSurface1* PullPicture(SourceDecoder* source);

// Hands the delivered surface back; it must not be read afterwards.
void HandBackPicture(SourceDecoder* source);

// True once the worker thread has ended (or was never started).
bool WorkerHasEnded(SourceDecoder* source);
