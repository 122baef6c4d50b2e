// Test scaffolding around a SourceDecoder: its events, a decode run on a worker
// thread, and a consumer that pulls pictures through the hand-over the way the
// frame server's side does (request, wait for ready, read, consumed).
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "source/source_decoder.h"

// A source object with the events of the hand-over created (closed again on release).
struct SourceDecoderDeleter {
  void operator()(SourceDecoder* decoder) const;
};
using TestDecoder = std::unique_ptr<SourceDecoder, SourceDecoderDeleter>;
TestDecoder MakeTestDecoder();

// RunDecoding(decoder, decoder) on its own thread.
class DecodeRun {
 public:
  explicit DecodeRun(SourceDecoder* decoder);
  ~DecodeRun();  // never hangs: raises the abort event until the run has ended
  // True when the run ended within `ms`; its result goes to *result.
  bool Finish(unsigned ms, mfxStatus* result);

 private:
  SourceDecoder* decoder_;
  std::future<mfxStatus> result_;
  std::thread thread_;
  bool joined_ = false;
};

// Asks for up to `count` pictures, one at a time; stops early when a requested
// picture does not come within `waitMs`. `visit` sees each surface while it is lent.
// When `consume` is false the last picture is never handed back. Returns how many
// pictures came.
size_t PullPictures(SourceState* owner, size_t count, unsigned waitMs,
                    const std::function<void(const mfxFrameSurface1*)>& visit, bool consume = true);
