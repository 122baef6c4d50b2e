// A picture on its way out of the engine (libavcodec's frame, or none for a placeholder, with
// what places it in display order), and the owning handles of the libav objects the engine
// passes between its threads.
#pragma once

#include <cstdint>
#include <memory>

struct AVBufferRef;
struct AVCodecParserContext;
struct AVFrame;

namespace tessivar::mfxsw {

struct FrameFree {
  void operator()(AVFrame* frame) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

struct BufferUnref {
  void operator()(AVBufferRef* buffer) const;
};
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

struct ParserClose {
  void operator()(AVCodecParserContext* parser) const;
};
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserClose>;

struct DecodedPicture {
  FramePtr frame;  // null: placeholder for a picture that cannot be decoded
  int64_t pts = 0;
  bool corrupt = false;
  // Its count's restarts since the start and its number in that count.
  int64_t restart = 0;
  bool numberKnown = false;
  int64_t number = 0;
  int64_t modulus = 0;   // 0: `number` is exact; else right modulo this only
  int64_t inferred = 0;  // restarts inferred from lost pictures, among `restart`
};

}  // namespace tessivar::mfxsw
