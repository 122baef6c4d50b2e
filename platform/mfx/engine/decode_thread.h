// The decoder's own thread. It takes the work the application's thread hands over (bytes,
// a start over, a drain) in turn and carries it out on its CodecFeed, decoding up to
// kPicturesAhead pictures ahead of the application.
//
// The feed belongs to this thread: the application's thread reaches it only through work
// items, or through WithIdleFeed while the thread has nothing in hand and waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "codec_feed.h"
#include "decoded_picture.h"

namespace tessivar::mfxsw {

class DecodeThread final : private CodecFeed::Output {
 public:
  // Pictures decoded at most ahead of the application. Frame threads give pictures out in
  // bursts (an anchor, then the B pictures that waited for it): with room for only two, the
  // thread stops feeding libavcodec in every burst and the threads run dry.
  static constexpr size_t kPicturesAhead = 4;

  explicit DecodeThread(uint32_t codecId);
  ~DecodeThread();
  DecodeThread(const DecodeThread&) = delete;
  DecodeThread& operator=(const DecodeThread&) = delete;

  // Starts the thread; false when the feed or the thread cannot be made.
  bool Start();

  // Work, carried out in the order given. False when the bytes cannot be copied.
  bool HandOver(const uint8_t* data, size_t size, int64_t pts);
  // False when `parser` is null: the thread then counts as out of memory.
  bool StartOver(ParserPtr parser, bool closeCodec);
  void Drain();
  // Drops the work not yet done and the pictures not yet taken, and waits until the thread has
  // put down what it had in hand (it stops at the next packet). Clears a failed allocation.
  void Abandon();

  // Runs `use` on the feed while the thread is idle and no picture waits; false (and `use` not
  // run) otherwise. `use` must not decode: the thread cannot take pictures meanwhile.
  bool WithIdleFeed(const std::function<void(CodecFeed&)>& use);

  enum class Given { kNone, kPicture, kDoesNotFit };
  // The oldest decoded picture, when `fits` accepts it.
  Given TakePicture(const std::function<bool(const DecodedPicture&)>& fits, DecodedPicture* picture);
  bool HasPicture();
  // Nothing handed over is left to do.
  bool Idle();
  // An allocation failed while decoding: pictures were lost, until Abandon.
  bool OutOfMemory();
  void WaitForPictureOrIdle();
  // Bytes handed over and not yet decoded.
  size_t PendingBytes();
  size_t MeanPacketBytes() const { return feed_.MeanPacketBytes(); }

 private:
  enum class State {
    kIdle,         // waiting for work
    kBusy,         // carrying out a work item
    kOutOfMemory,  // an allocation failed; work is dropped until Abandon
    kStopping,     // asked to end; the thread returns
  };
  struct Work {
    enum class Kind { kBytes, kStartOver, kDrain } kind = Kind::kBytes;
    BufferPtr bytes;
    size_t size = 0;
    int64_t pts = 0;
    ParserPtr parser;  // a start over's
    bool closeCodec = false;
  };

  // CodecFeed::Output, on the decode thread.
  void Put(DecodedPicture picture) override;
  void WaitForRoom() override;
  bool Abandoned() const override { return abandon_.load(); }

  void Run();
  void Carry(Work& work);
  bool IdleLocked() const { return state_ != State::kBusy && work_.empty(); }
  bool Push(Work work);

  CodecFeed feed_;  // the decode thread's, or the caller's inside WithIdleFeed

  std::mutex mutex_;
  std::condition_variable toThread_;  // work, room, or the end
  std::condition_variable toCaller_;  // a picture, or the thread idle
  State state_ = State::kIdle;
  std::deque<Work> work_;
  size_t pendingBytes_ = 0;
  std::deque<DecodedPicture> ready_;
  std::atomic<bool> abandon_{false};  // read by the feed between packets
  std::thread thread_;
};

}  // namespace tessivar::mfxsw
