// The pipeline on the real software engine, fed by the real unit extractors over the
// corpus (elementary streams whole and split across files, transport and program
// streams): session set-up by engine, a hand-made first priming, and decode runs whose
// pictures, pulled through the hand-over by a consumer thread, must match ffmpeg's
// linear decode picture for picture.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/md5.h>
}

#include "decode_harness.h"
#include "pipeline/error_line.h"
#include "pipeline/sample_utils.h"
#include "pipeline/sysmem_allocator.h"
#include "platform/mfx/mfx_dispatch.h"
#include "source/stream_readers.h"

namespace {

constexpr unsigned kWaitMs = 30000;
constexpr size_t kPrimingBufferSize = 10485760;

// The MD5 of a surface as ffmpeg's framemd5 hashes yuv420p: the cropped luma rows,
// then U and V taken out of the interleaved chroma.
std::string SurfaceMd5(const mfxFrameSurface1* surface) {
  const mfxFrameInfo& info = surface->Info;
  const mfxFrameData& data = surface->Data;
  const uint32_t pitch = (uint32_t{data.PitchHigh} << 16) | data.PitchLow;
  const uint32_t width = info.CropW, height = info.CropH;
  std::vector<uint8_t> frame;
  frame.reserve(width * height * 3 / 2);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = data.Y + size_t{info.CropY + y} * pitch + info.CropX;
    frame.insert(frame.end(), row, row + width);
  }
  for (int plane = 0; plane < 2; ++plane)
    for (uint32_t y = 0; y < height / 2; ++y) {
      const uint8_t* row = data.UV + size_t{info.CropY / 2u + y} * pitch + info.CropX;
      for (uint32_t x = 0; x < width / 2; ++x) frame.push_back(row[2 * x + plane]);
    }
  uint8_t digest[16];
  av_md5_sum(digest, frame.data(), static_cast<int>(frame.size()));
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

// The MD5 column of a framemd5 listing.
std::vector<std::string> ReadFrameMd5s(std::istream& in) {
  std::vector<std::string> md5s;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.find_last_of(", ") + 1));
  }
  return md5s;
}

std::vector<std::string> FfmpegFrameMd5s(const std::filesystem::path& file) {
  const std::string command = "ffmpeg -v error -nostdin -i '" + file.string() +
                              "' -map 0:v:0 -f framemd5 -pix_fmt yuv420p - 2>/dev/null";
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
    pclose(pipe);
  }
  std::istringstream in(text);
  return ReadFrameMd5s(in);
}

struct Stream {
  std::string name;
  std::vector<std::filesystem::path> parts;
  int32_t codecKind;
  int32_t streamKind = kStreamElementary;
  int32_t packetSize = 188;
  int32_t videoPid = 0;
  std::vector<std::string> reference;  // ffmpeg's MD5 of each picture
};

mfxU32 CodecIdOf(int32_t codecKind) {
  return codecKind == kCodecAvc ? MFX_CODEC_AVC : codecKind == kCodecVc1 ? MFX_CODEC_VC1 : MFX_CODEC_MPEG2;
}

// The source side set up by hand the way the index reader leaves it.
void OpenSource(SourceDecoder* decoder, const Stream& stream) {
  decoder->sourceCount = static_cast<int32_t>(stream.parts.size());
  for (size_t i = 0; i < stream.parts.size(); ++i) {
    decoder->sourceFiles[i] = std::fopen(stream.parts[i].c_str(), "rb");
    ASSERT_NE(decoder->sourceFiles[i], nullptr) << stream.parts[i];
    decoder->sourceSizes[i] = std::filesystem::file_size(stream.parts[i]);
  }
  decoder->codecKind = stream.codecKind;
  decoder->streamKind = stream.streamKind;
  decoder->packetSize = stream.packetSize;
  decoder->videoPid = stream.videoPid;
  decoder->byteGetter = stream.streamKind == kStreamTransport ? GetTsByte
                        : stream.streamKind == kStreamProgram ? GetPsByte
                                                              : GetEsByte;
  decoder->unitExtractor = stream.codecKind == kCodecAvc ? ReadNextAvcUnit : ReadNextUnit;
  decoder->frameRateNum = 25;
  decoder->frameRateDen = 1;
  ASSERT_EQ(SeekStream(decoder, 0), 0);
}

void CloseSource(SourceDecoder* decoder) {
  for (int32_t i = 0; i < decoder->sourceCount; ++i)
    if (decoder->sourceFiles[i]) std::fclose(decoder->sourceFiles[i]);
  decoder->sourceCount = 0;
}

// The first seek's priming, done by hand: header decode over the first units,
// decode parameters, system-memory allocator, pool, decoder.
mfxStatus PrimeByHand(SourceDecoder* decoder) {
  SeekStream(decoder, 0);
  std::vector<uint8_t> gathered;
  while (decoder->unitExtractor(decoder) > 0) {
    const StreamUnit* unit = decoder->currentUnit;
    if (gathered.size() + unit->length >= kPrimingBufferSize) break;
    gathered.insert(gathered.end(), unit->data, unit->data + unit->length);
  }
  mfxBitstream& bitstream = decoder->bitstream;
  std::memcpy(bitstream.Data, gathered.data(), gathered.size());
  bitstream.DataOffset = 0;
  bitstream.DataLength = bitstream.MaxLength = static_cast<mfxU32>(gathered.size());
  bitstream.DecodeTimeStamp = static_cast<mfxI64>(MFX_TIMESTAMP_UNKNOWN);
  bitstream.TimeStamp = static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN);
  mfxStatus status = decoder->decoder->DecodeHeader(&bitstream, &decoder->videoParams);
  if (status < MFX_ERR_NONE) return status;
  decoder->videoParams.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
  decoder->videoParams.AsyncDepth = 1;
  decoder->videoParams.mfx.FrameInfo.FrameRateExtN = decoder->frameRateNum;
  decoder->videoParams.mfx.FrameInfo.FrameRateExtD = decoder->frameRateDen;
  auto* allocator = new SysMemFrameAllocator;
  decoder->frameAllocator = allocator;
  status = allocator->Init(decoder->allocatorParams);
  if (status < MFX_ERR_NONE) return status;
  status = decoder->AllocFrames();
  if (status < MFX_ERR_NONE) return status;
  status = decoder->decoder->Init(&decoder->videoParams);
  if (status < MFX_ERR_NONE) return status;
  decoder->decoderReady = true;
  return MFX_ERR_NONE;
}

// What every seek to the stream's start does before its run.
void FeedFromStart(SourceDecoder* decoder) {
  ASSERT_EQ(InitBitstream(&decoder->bitstream, kBitstreamSize), MFX_ERR_NONE);
  decoder->stagingFill = 0;
  ASSERT_EQ(SeekStream(decoder, 0), 0);
}

// Pulls `count` pictures on a consumer thread; their MD5s in delivery order.
std::vector<std::string> PullMd5s(SourceDecoder* decoder, size_t count, unsigned waitMs = kWaitMs) {
  std::vector<std::string> md5s;
  std::thread consumer([&] {
    PullPictures(decoder, count, waitMs, [&](const mfxFrameSurface1* surface) { md5s.push_back(SurfaceMd5(surface)); });
  });
  consumer.join();
  return md5s;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The debugger lines ("Tessivar: ...") are checked on standard error.
    setenv("TESSIVAR_DEBUG_OUTPUT", "1", 1);
    decoder = MakeTestDecoder();
  }
  void TearDown() override {
    CloseSource(decoder.get());
    unsetenv("TESSIVAR_DEBUG_OUTPUT");
  }

  mfxStatus init(int32_t engine, int32_t codecKind = kCodecAvc) {
    DecodeParams params{};
    params.codecId = CodecIdOf(codecKind);
    params.engine = engine;
    return decoder->Init(&params);
  }

  TestDecoder decoder;
};

// A line of the corpus folder's corpus.list: FILE PACKAGING CODEC PACKET_SIZE VIDEO_PID PART...
struct CorpusEntry {
  std::string file, packaging, codec;
  int packetSize = 0, videoPid = 0;
  std::vector<std::filesystem::path> parts;
  int32_t StreamKind() const {
    if (packaging == "ts" || packaging == "m2ts") return kStreamTransport;
    return packaging == "ps" ? kStreamProgram : kStreamElementary;
  }
};

std::filesystem::path CorpusFolder() { return TESSIVAR_CORPUS_DIR; }

std::vector<CorpusEntry> ReadCorpusList() {
  std::vector<CorpusEntry> entries;
  std::ifstream list(CorpusFolder() / "corpus.list");
  std::string line;
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    CorpusEntry entry;
    fields >> entry.file >> entry.packaging >> entry.codec >> entry.packetSize >> entry.videoPid;
    std::string part;
    while (fields >> part) entry.parts.push_back(CorpusFolder() / part);
    if (!entry.parts.empty()) entries.push_back(entry);
  }
  return entries;
}

std::vector<Stream> CorpusStreams() {
  std::vector<Stream> streams;
  const std::vector<std::string> wanted = {"avc_prog_closed", "avc_open_gop", "avc_mbaff_tff", "m2v_prog_closed",
                                           "m2v_prog_open", "m2v_int_bff"};
  for (const CorpusEntry& entry : ReadCorpusList()) {
    std::string base = entry.file.substr(0, entry.file.find('.'));
    bool chosen = false;
    for (const std::string& name : wanted) chosen |= base == name;
    if (!chosen || entry.packaging == "m2ts") continue;
    const std::string raw = base + (entry.codec == "h264" ? ".264" : ".m2v");
    Stream stream;
    stream.name = entry.file;
    stream.parts = entry.parts;
    stream.codecKind = entry.codec == "h264" ? kCodecAvc : entry.codec == "vc1" ? kCodecVc1 : kCodecMpeg2;
    stream.streamKind = entry.StreamKind();
    stream.packetSize = entry.packetSize ? entry.packetSize : 188;
    stream.videoPid = entry.videoPid;
    // Against the listing made from the elementary stream, except MPEG-2 program
    // streams: their muxer (mplex) leaves the last picture out, so ffmpeg's decode of the
    // program stream itself is the reference there.
    if (stream.streamKind == kStreamProgram && stream.codecKind == kCodecMpeg2) {
      stream.reference = FfmpegFrameMd5s(stream.parts[0]);
    } else {
      std::ifstream md5File(CorpusFolder() / (raw + ".framemd5"));
      stream.reference = ReadFrameMd5s(md5File);
    }
    streams.push_back(stream);
  }
  return streams;
}

}  // namespace

TEST_F(SessionTest, SoftwareEngineIsRequestedDirectly) {
  testing::internal::CaptureStderr();
  ASSERT_EQ(init(kEngineSoftware), MFX_ERR_NONE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Tessivar: requesting SW mode\n"), std::string::npos);
  EXPECT_EQ(decoder->implInUse, kImplSoftware);
  EXPECT_FALSE(decoder->decoderReady);
  EXPECT_NE(decoder->decoder, nullptr);
  // Before the first priming the decoder was never initialised.
  EXPECT_EQ(decoder->ResetDecoder(&decoder->params), MFX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(decoder->surfaces, nullptr);
}

TEST_F(SessionTest, HardwareWithFallbackEndsOnSoftware) {
  testing::internal::CaptureStderr();
  ASSERT_EQ(init(kEngineHardwareFallback), MFX_ERR_NONE);
  const std::string debug = testing::internal::GetCapturedStderr();
  if (decoder->implInUse == kImplHardware) GTEST_SKIP() << "this machine decodes on hardware";
  EXPECT_NE(debug.find("Tessivar: requesting SW mode\n"), std::string::npos);
  EXPECT_EQ(decoder->implInUse, kImplSoftware);
}

TEST_F(SessionTest, HardwareOnlyFailsWithoutHardware) {
  testing::internal::CaptureStderr();
  const mfxStatus status = init(kEngineHardware);
  const std::string debug = testing::internal::GetCapturedStderr();
  if (status == MFX_ERR_NONE) GTEST_SKIP() << "this machine decodes on hardware";
  EXPECT_LT(status, MFX_ERR_NONE);
  EXPECT_EQ(debug.find("requesting SW mode"), std::string::npos);
  char expected[128];
  std::snprintf(expected, sizeof expected, "Tessivar: session init failed (%d)\n", static_cast<int>(status));
  EXPECT_NE(debug.find(expected), std::string::npos) << debug;
  std::snprintf(expected, sizeof expected, "\nReturn on error: error code %d,\tpipeline_decode.cpp\t76\n\n",
                static_cast<int>(status));
  EXPECT_NE(debug.find(expected), std::string::npos) << debug;
  EXPECT_EQ(decoder->decoder, nullptr);
}

TEST_F(SessionTest, AbortMidRunThenResetAndDecodeAgainFromTheStart) {
  std::vector<Stream> streams = CorpusStreams();
  auto stream = std::find_if(streams.begin(), streams.end(), [](const Stream& s) { return s.name == "avc_prog_closed.264"; });
  if (stream == streams.end()) GTEST_SKIP() << "corpus not made";
  OpenSource(decoder.get(), *stream);
  ASSERT_EQ(init(kEngineSoftware), MFX_ERR_NONE);
  ASSERT_EQ(PrimeByHand(decoder.get()), MFX_ERR_NONE);

  FeedFromStart(decoder.get());
  {
    DecodeRun run(decoder.get());
    const std::vector<std::string> first = PullMd5s(decoder.get(), 37);
    EXPECT_EQ(first, std::vector<std::string>(stream->reference.begin(), stream->reference.begin() + 37));
    SetEvent(decoder->abortEvent);  // the next request never comes
    mfxStatus result;
    ASSERT_TRUE(run.Finish(kWaitMs, &result));
    EXPECT_EQ(result, MFX_ERR_NONE);
  }
  const uint32_t pool = decoder->surfaceCount;
  ASSERT_EQ(decoder->ResetDecoder(&decoder->params), MFX_ERR_NONE);
  EXPECT_EQ(decoder->surfaceCount, pool);
  ResetEvent(decoder->abortEvent);
  ResetEvent(decoder->frameReadyEvent);

  FeedFromStart(decoder.get());
  DecodeRun run(decoder.get());
  EXPECT_EQ(PullMd5s(decoder.get(), stream->reference.size()), stream->reference);
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
}


TEST_F(SessionTest, EveryCorpusPictureMatchesTheLinearReference) {
  std::vector<Stream> streams = CorpusStreams();
  if (streams.empty()) GTEST_SKIP() << "corpus not made";
  // VC-1 comes from the shared test data, its reference from ffmpeg at test time.
  const std::filesystem::path vc1 = std::filesystem::path(TESSIVAR_SHARED_DIR) / "testdata/vc1/vc1_ap_gops.vc1";
  if (std::filesystem::exists(vc1)) {
    Stream stream;
    stream.name = "vc1_ap_gops.vc1";
    stream.parts = {vc1};
    stream.codecKind = kCodecVc1;
    stream.reference = FfmpegFrameMd5s(vc1);
    if (!stream.reference.empty()) streams.push_back(stream);
  }
  for (const Stream& stream : streams) {
    SCOPED_TRACE(stream.name);
    ASSERT_FALSE(stream.reference.empty());
    TestDecoder local = MakeTestDecoder();
    OpenSource(local.get(), stream);
    DecodeParams params{};
    params.codecId = CodecIdOf(stream.codecKind);
    params.engine = kEngineSoftware;
    ASSERT_EQ(local->Init(&params), MFX_ERR_NONE);
    ASSERT_EQ(PrimeByHand(local.get()), MFX_ERR_NONE);
    FeedFromStart(local.get());
    DecodeRun run(local.get());
    const std::vector<std::string> md5s = PullMd5s(local.get(), stream.reference.size());
    size_t same = 0;
    while (same < md5s.size() && same < stream.reference.size() && md5s[same] == stream.reference[same]) ++same;
    EXPECT_EQ(same, stream.reference.size()) << md5s.size() << " pictures came; the first " << same << " match";
    // A picture beyond the reference would keep the run waiting for its request.
    mfxStatus result;
    ASSERT_TRUE(run.Finish(kWaitMs, &result)) << "the run did not end after the last picture";
    EXPECT_EQ(result, MFX_ERR_NONE);
    CloseSource(local.get());
  }
}
