// The floor for random access: the same requests served by libavformat and libavcodec
// alone, with nothing of the plug-in in between. Each request seeks the demuxer to the
// picture this source filter would start from, flushes the decoder and decodes until the
// requested picture comes out.
//
//   tessivar-serve-bare FILE THREADS STARTS.txt MD5S.txt
//
// STARTS.txt: one request a line, "n target start": the output-order number of the frame
// served, the decode-order number of its picture and that of the picture decoding starts
// from. An untimed first pass reads every packet of the video stream and keeps its byte
// position and times; a packet's decode-order number is its place in that pass. Timed,
// per request: the seek (by byte position in elementary and transport streams, by
// presentation time in Matroska and MP4), the flush and the decode. The first packet
// after the seek must be the start picture, or the program fails. Every packet sent
// carries its decode-order number as pts, so the frame served is the one whose pts is
// `target`.
//
// H.264 decodes with THREADS frame threads and MPEG-2 with THREADS slice threads, as the
// software engine does; everything else is libavcodec's default. MD5S.txt gets one line
// "n md5" per request (MD5 of the Y, U and V planes; not timed). Standard output gets
// "frames N seconds S fps F".
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
#include <libavutil/mem.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/frame_output.h"

namespace {

struct Request {
  int n, target, start;
};

struct PacketPlace {
  int64_t pos, pts, dts;
};

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

std::string FrameMd5(const AVFrame* frame) {
  if (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P)
    Fail(std::string("unexpected pixel format ") + av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format)));
  AVMD5* md5 = av_md5_alloc();
  if (!md5) Fail("out of memory");
  av_md5_init(md5);
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane ? (frame->width + 1) / 2 : frame->width;
    const int height = plane ? (frame->height + 1) / 2 : frame->height;
    for (int y = 0; y < height; ++y)
      av_md5_update(md5, frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane], static_cast<size_t>(width));
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  return Md5Hex(digest);
}

class BareServer {
 public:
  BareServer(const char* path, int threads) {
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) Fail("out of memory");
    if (avformat_open_input(&format_, path, nullptr, nullptr) < 0) Fail(std::string("cannot open ") + path);
    if (avformat_find_stream_info(format_, nullptr) < 0) Fail("no stream information");
    stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_ < 0) Fail("no video stream");
    for (unsigned i = 0; i < format_->nb_streams; ++i)
      if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    const char* name = format_->iformat->name;
    byTime_ = std::strstr(name, "matroska") || std::strstr(name, "mp4");
    ScanPackets();
    OpenDecoder(threads);
  }

  ~BareServer() {
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
  }

  BareServer(const BareServer&) = delete;
  BareServer& operator=(const BareServer&) = delete;

  int Pictures() const { return static_cast<int>(places_.size()); }

  // Serves one request; the frame stays in frame_ until the next call.
  const AVFrame* Serve(const Request& request) {
    if (request.start < 0 || request.start >= Pictures() || request.target < request.start ||
        request.target >= Pictures())
      Fail("request for frame " + std::to_string(request.n) + " out of range");
    Seek(request.start);
    avcodec_flush_buffers(codec_);
    bool first = true, draining = false;
    for (;;) {
      if (!draining) {
        const int read = av_read_frame(format_, packet_);
        if (read < 0) {
          draining = true;
          if (avcodec_send_packet(codec_, nullptr) < 0) Fail("cannot drain the decoder");
        } else if (packet_->stream_index != stream_) {
          av_packet_unref(packet_);
          continue;
        } else {
          const auto number = numberAt_.find(packet_->pos);
          if (number == numberAt_.end())
            Fail("packet at byte " + std::to_string(packet_->pos) + " unknown to the first pass");
          if (first && number->second != request.start)
            Fail("seek to picture " + std::to_string(request.start) + " landed on picture " +
                 std::to_string(number->second));
          first = false;
          packet_->pts = number->second;
          packet_->dts = AV_NOPTS_VALUE;
          // Damaged packets are the decoder's to conceal, as in a plain decode.
          avcodec_send_packet(codec_, packet_);
          av_packet_unref(packet_);
        }
      }
      for (;;) {
        const int received = avcodec_receive_frame(codec_, frame_);
        if (received == AVERROR(EAGAIN)) break;
        if (received < 0)
          Fail("picture " + std::to_string(request.target) + " (frame " + std::to_string(request.n) +
               ") never came out");
        if (frame_->pts == request.target) return frame_;
        av_frame_unref(frame_);
      }
    }
  }

 private:
  void ScanPackets() {
    while (av_read_frame(format_, packet_) >= 0) {
      if (packet_->stream_index == stream_) {
        if (packet_->pos < 0) Fail("a packet without byte position");
        if (!numberAt_.emplace(packet_->pos, Pictures()).second)
          Fail("two packets at byte " + std::to_string(packet_->pos));
        places_.push_back({packet_->pos, packet_->pts, packet_->dts});
      }
      av_packet_unref(packet_);
    }
    if (places_.empty()) Fail("no video packets");
  }

  void OpenDecoder(int threads) {
    const AVCodecParameters* parameters = format_->streams[stream_]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder) Fail("no decoder");
    codec_ = avcodec_alloc_context3(decoder);
    if (!codec_ || avcodec_parameters_to_context(codec_, parameters) < 0) Fail("cannot set up the decoder");
    codec_->thread_count = threads;
    if (parameters->codec_id == AV_CODEC_ID_H264) codec_->thread_type = FF_THREAD_FRAME;
    if (parameters->codec_id == AV_CODEC_ID_MPEG2VIDEO) codec_->thread_type = FF_THREAD_SLICE;
    if (avcodec_open2(codec_, decoder, nullptr) < 0) Fail("cannot open the decoder");
  }

  void Seek(int picture) {
    const PacketPlace& place = places_[picture];
    const int result = byTime_ ? av_seek_frame(format_, stream_, place.pts, AVSEEK_FLAG_BACKWARD)
                               : av_seek_frame(format_, stream_, place.pos, AVSEEK_FLAG_BYTE);
    if (result < 0) Fail("cannot seek to picture " + std::to_string(picture));
  }

  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  bool byTime_ = false;
  std::vector<PacketPlace> places_;
  std::unordered_map<int64_t, int> numberAt_;
};

}  // namespace

int main(int argc, char** argv) {
  // The leading pictures of an open GOP, decoded without their references after a seek,
  // draw a complaint each; they are never served, and any real failure ends the run here.
  av_log_set_level(AV_LOG_FATAL);
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FILE THREADS STARTS.txt MD5S.txt\n", argv[0]);
    return 2;
  }
  std::vector<Request> requests;
  {
    std::ifstream list(argv[3]);
    for (Request r; list >> r.n >> r.target >> r.start;) requests.push_back(r);
  }
  const int threads = std::atoi(argv[2]);
  if (requests.empty() || threads < 1) {
    std::fprintf(stderr, "%s: no requests, or no thread count\n", argv[0]);
    return 2;
  }
  std::vector<std::string> md5s;
  double seconds = 0;
  try {
    BareServer server(argv[1], threads);
    for (const Request& request : requests) {
      const auto start = std::chrono::steady_clock::now();
      const AVFrame* frame = server.Serve(request);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      md5s.push_back(FrameMd5(frame));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
    return 1;
  }
  std::FILE* out = std::fopen(argv[4], "w");
  if (!out) return 1;
  for (size_t i = 0; i < requests.size(); ++i) std::fprintf(out, "%d %s\n", requests[i].n, md5s[i].c_str());
  std::fclose(out);
  std::printf("frames %zu seconds %.3f fps %.2f\n", requests.size(), seconds, requests.size() / seconds);
  return 0;
}
