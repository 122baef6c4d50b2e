// The track table: fields and defaults, the failures, the drop rules and the storage of a track.
#include "mkv_internal.h"
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

Bytes entry(const Bytes& children) { return element(eid::TrackEntry, children); }
Bytes codec(const std::string& id = "V_X") { return stringElement(0x86, id); }
Bytes compression(const Bytes& children) { return element(0x5034, children); }
Bytes encodings(const Bytes& encodingChildren) {
  return element(0x6D80, element(0x6240, encodingChildren));
}

// Opens a file whose Tracks hold the entries; the Cluster comes first so that frames survive
// a failure inside Tracks.
std::unique_ptr<OpenedFile> openTracks(const Bytes& entries) {
  auto f = std::make_unique<OpenedFile>();
  Bytes data = ebmlHeader() + element(eid::Segment, segmentInfo() + cluster(0, simpleBlock(1, 0, 0x80, "a")) +
                                                        element(eid::Tracks, entries));
  EXPECT_TRUE(f->open(data)) << f->error;
  return f;
}

std::string errorOf(const OpenedFile& f) {
  const char* text = mkvErrorText(f.file);
  return text ? text : "";
}

TEST(MkvTracks, FieldsAndDefaults) {
  Bytes video = element(0xE0, uintElement(0x54B0, 640) + uintElement(0xB0, 320) + uintElement(0xBA, 240) +
                                  uintElement(0x53B8, 3) + uintElement(0x54B3, 2) + uintElement(0x9A, 1) +
                                  uintElement(0x54CC, 4) + uintElement(0x2EB524, 0x49343230));
  auto f = openTracks(entry(uintElement(0xD7, 7) + uintElement(0x83, 1) + codec("V_MPEG2") + video +
                            uintElement(eid::DefaultDuration, 40000000) + uintElement(eid::TrackUID, 99) +
                            floatElement(0x23314F, 2.0) + uintElement(0x9C, 0) + uintElement(0x55EE, 3) +
                            stringElement(0x536E, "main") + element(0x63A2, "PRIV")) +
                      entry(codec("A_X") + element(0xE1, "") + element(0x22B59C, "")) +
                      entry(codec("A_Y") + element(0xE1, floatElement(0xB5, 0.5) + uintElement(0x9F, 6)) +
                            stringElement(0x22B59C, "french")) +
                      entry(codec("A_Z") + element(0xE1, floatElement(0xB5, 48000.0) + floatElement(0x78B5, 96000.0))));
  ASSERT_EQ(mkvTrackCount(f->file), 4u) << errorOf(*f);
  const MkvTrackInfo* v = mkvTrackAt(f->file, 0);
  EXPECT_EQ(v->number, 7);
  EXPECT_EQ(v->type, 1);
  EXPECT_STREQ(v->codecId, "V_MPEG2");
  EXPECT_STREQ(v->name, "main");
  EXPECT_STREQ(v->language, "eng");
  EXPECT_EQ(v->uid, 99u);
  EXPECT_EQ(v->defaultDuration, 40000000u);
  EXPECT_EQ(v->timecodeScale, int64_t{2} << 32);
  EXPECT_EQ(v->flags, MKV_TRACK_ENABLED | MKV_TRACK_DEFAULT | MKV_TRACK_DECODE_ALL);
  EXPECT_EQ(v->maxBlockAdditionId, 3u);
  ASSERT_EQ(v->codecPrivateSize, 4u);
  EXPECT_EQ(Bytes(reinterpret_cast<const char*>(v->codecPrivate), 4), "PRIV");
  EXPECT_EQ(v->video.displayWidth, 640u) << "DisplayWidth before PixelWidth keeps its value";
  EXPECT_EQ(v->video.displayHeight, 240u) << "defaults to the pixel height";
  EXPECT_EQ(v->video.pixelWidth, 320u);
  EXPECT_EQ(v->video.stereoMode, 3);
  EXPECT_EQ(v->video.aspectRatioType, 2);
  EXPECT_EQ(v->video.interlaced, 1u);
  EXPECT_EQ(v->video.cropLeft, 4u);
  EXPECT_EQ(v->video.colourSpace, 0x49343230u);
  // One block per track: record, private bytes and texts together.
  uint32_t blockSize = f->state.live.at(const_cast<MkvTrackInfo*>(v));
  const char* base = reinterpret_cast<const char*>(v);
  EXPECT_EQ(blockSize, sizeof(MkvTrackInfo) + 4 + 5 + 8);
  EXPECT_TRUE(v->codecId >= base && v->codecId < base + blockSize);
  EXPECT_TRUE(v->name >= base && v->name < base + blockSize);

  const MkvTrackInfo* a = mkvTrackAt(f->file, 1);
  EXPECT_EQ(a->number, 0) << "TrackNumber and TrackType are optional";
  EXPECT_EQ(a->type, 0);
  EXPECT_EQ(a->name, nullptr);
  EXPECT_EQ(a->codecPrivate, nullptr);
  EXPECT_STREQ(a->language, "eng");
  EXPECT_EQ(a->audio.channels, 1);
  EXPECT_EQ(a->audio.samplingFreq, int64_t{8000} << 32);
  EXPECT_EQ(a->audio.outputSamplingFreq, int64_t{8000} << 32);
  const MkvTrackInfo* b = mkvTrackAt(f->file, 2);
  EXPECT_EQ(b->audio.samplingFreq, int64_t{8000} << 32) << "an integer part of 0 means unset";
  EXPECT_EQ(b->audio.channels, 6);
  EXPECT_STREQ(b->language, "fre");
  const MkvTrackInfo* c = mkvTrackAt(f->file, 3);
  EXPECT_EQ(c->audio.samplingFreq, int64_t{48000} << 32);
  EXPECT_EQ(c->audio.outputSamplingFreq, int64_t{96000} << 32);
  EXPECT_EQ(errorOf(*f), "");
}

TEST(MkvTracks, FailuresKeepTheTracksBefore) {
  struct Case {
    Bytes bad;
    std::string message;
  };
  const Case cases[] = {
      {entry(uintElement(0xD7, 1)), "Track has no Codec ID"},
      {entry(""), "Track has no Codec ID"},
      {entry(codec() + uintElement(0xD7, 256)), "Track number is >255 (256)"},
      {entry(codec() + uintElement(0x83, 0)), "Invalid track type: 0"},
      {entry(codec() + uintElement(0x83, 255)), "Invalid track type: 255"},
      {entry(codec() + uintElement(0x6FAB, 300)), "Track number in TrackOverlay is too large: 300"},
      {entry(codec() + uintElement(0x6DE7, uint64_t{1} << 32)), "MinCache is too large"},
      {entry(codec() + uintElement(0x6DF8, uint64_t{1} << 32)), "MaxCache is too large"},
      {entry(codec() + codec()), "Duplicate CodecID"},
      {entry(codec() + stringElement(0x536E, "a") + stringElement(0x536E, "b")), "Duplicate Track Name"},
      {entry(codec() + element(0x63A2, "") + element(0x63A2, "x")), "Duplicate CodecPrivate"},
      {entry(codec() + element(0x63A2, Bytes(0x40001, 'p'))), "CodecPrivate is too large: 262145"},
      {entry(codec() + element(0xE0, uintElement(0x53B8, 4))), "Invalid stereo mode"},
      {entry(codec() + element(0xE0, uintElement(0x54B3, 3))), "Invalid AspectRatioType: 3"},
      {entry(codec() + element(0xE0, uintElement(0xB0, uint64_t{1} << 32))), "PixelWidth is too large"},
      {entry(codec() + element(0xE0, uintElement(0x54BA, uint64_t{1} << 32))), "DisplayHeight is too large"},
      {entry(codec() + element(0xE0, uintElement(0x54AA, uint64_t{1} << 32))), "PixelCropBottom is too large"},
      {entry(codec() + element(0xE1, uintElement(0x9F, 0))), "Invalid Channels value"},
      {entry(codec() + element(0xE1, uintElement(0x9F, 256))), "Invalid Channels value"},
  };
  for (const Case& k : cases) {
    auto f = openTracks(entry(codec("V_GOOD") + uintElement(0xD7, 1)) + k.bad + entry(codec("V_AFTER")));
    EXPECT_EQ(errorOf(*f), k.message);
    ASSERT_EQ(mkvTrackCount(f->file), 1u) << k.message;
    EXPECT_STREQ(mkvTrackAt(f->file, 0)->codecId, "V_GOOD");
    EXPECT_EQ(readAllFrames(f->file).size(), 1u) << "the open goes on after a failure in the walk";
  }
  // Accepted edge values.
  auto f = openTracks(entry(codec("") + uintElement(0x83, 254) + uintElement(0xD7, 0) +
                            element(0x63A2, Bytes(0x40000, 'p')) + element(0xE1, uintElement(0x9F, 255))) +
                      entry(codec(std::string(2000, 'c')) + uintElement(0xD7, 2)));
  ASSERT_EQ(mkvTrackCount(f->file), 2u) << errorOf(*f);
  EXPECT_STREQ(mkvTrackAt(f->file, 0)->codecId, "");
  EXPECT_EQ(mkvTrackAt(f->file, 0)->codecPrivateSize, 0x40000u);
  EXPECT_EQ(mkvTrackAt(f->file, 0)->audio.channels, 255);
  EXPECT_EQ(strlen(mkvTrackAt(f->file, 1)->codecId), 1023u);
  EXPECT_EQ(mkvTrackAt(f->file, 1)->number, 2) << "reading went on behind the long CodecID";
}

TEST(MkvTracks, AtMostThirtyTwoTracksTheRestPassedOver) {
  Bytes entries;
  for (int i = 1; i <= 32; ++i) entries += entry(codec() + uintElement(0xD7, static_cast<uint64_t>(i)));
  {
    auto f = openTracks(entries);
    EXPECT_EQ(mkvTrackCount(f->file), 32u);
    EXPECT_EQ(errorOf(*f), "");
  }
  {
    // Tracks ahead of the Clusters, as muxers write them. Entries past the 32nd are passed
    // over, also one that would have been dropped, and the open goes on to the Clusters;
    // blocks of the passed-over track numbers are skipped.
    Bytes more = entry(codec("V_33") + uintElement(0xD7, 33)) + entry(codec() + encodings(uintElement(0x5033, 1))) +
                 entry(codec("V_35") + uintElement(0xD7, 35));
    Bytes blocks = simpleBlock(1, 0, 0x80, "one") + simpleBlock(33, 0, 0x80, "x33") + simpleBlock(35, 0, 0x80, "x35") +
                   simpleBlock(32, 0, 0x80, "thirtytwo");
    Bytes data = ebmlHeader() + element(eid::Segment, segmentInfo() + element(eid::Tracks, entries + more) +
                                                          cluster(0, blocks));
    OpenedFile f;
    ASSERT_TRUE(f.open(data)) << f.error;
    EXPECT_EQ(mkvTrackCount(f.file), 32u);
    EXPECT_EQ(errorOf(f), "");
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].filePos, data.find("one"));
    EXPECT_EQ(frames[1].track, 31u);
    EXPECT_EQ(frames[1].filePos, data.find("thirtytwo"));
  }
}

TEST(MkvTracks, DropRules) {
  Bytes settings3 = compression(uintElement(0x4254, 3) + element(0x4255, Bytes("\x00\x00\x01", 3)));
  struct Case {
    Bytes candidate;
    bool kept;
  };
  const Case cases[] = {
      {entry(codec("C") + uintElement(eid::TrackUID, 5)), false},  // same UID as the first track
      {entry(codec("C") + uintElement(eid::TrackUID, 0)), true},
      {entry(codec("C") + encodings(settings3) + element(0x6D80, element(0x6240, ""))), false},
      {entry(codec("C") + element(0x6D80, element(0x6240, "") + element(0x6240, ""))), false},
      {entry(codec("C") + encodings(uintElement(0x5033, 1))), false},
      {entry(codec("C") + encodings(compression(uintElement(0x4254, 1)))), false},
      {entry(codec("C") + encodings(compression(uintElement(0x4254, 2)))), false},
      {entry(codec("C") + encodings(compression(element(0x4255, Bytes(257, 's'))))), false},
      {entry(codec("C") + encodings(compression(element(0x4255, Bytes(256, 's'))))), true},
      // Dropped before the missing CodecID is noticed: no failure.
      {entry(encodings(uintElement(0x5033, 1))), false},
  };
  for (const Case& k : cases) {
    auto f = openTracks(entry(codec("A") + uintElement(eid::TrackUID, 5) + uintElement(0xD7, 1)) + k.candidate +
                        entry(codec("Z") + uintElement(eid::TrackUID, 0)));
    EXPECT_EQ(errorOf(*f), "");
    ASSERT_EQ(mkvTrackCount(f->file), k.kept ? 3u : 2u);
    EXPECT_STREQ(mkvTrackAt(f->file, mkvTrackCount(f->file) - 1)->codecId, "Z") << "the next entry is read";
  }
}

TEST(MkvTracks, ContentEncodingRecords) {
  Bytes settings3 = compression(uintElement(0x4254, 3) + element(0x4255, Bytes("\x00\x00\x01", 3)));
  auto f = openTracks(entry(codec("HR") + encodings(settings3)) +
                      entry(codec("SCOPE2") + encodings(uintElement(0x5032, 2) + settings3)) +
                      entry(codec("NOCOMP") + encodings(uintElement(0x5031, 0))) +
                      entry(codec("ZLIB") + encodings(compression(uintElement(0x4254, 0)))));
  ASSERT_EQ(mkvTrackCount(f->file), 4u) << errorOf(*f);
  const MkvTrackInfo* hr = mkvTrackAt(f->file, 0);
  EXPECT_TRUE(hr->flags & MKV_TRACK_COMPRESSED);
  EXPECT_EQ(hr->compressionAlgo, 3u);
  ASSERT_EQ(hr->compressionSettingsSize, 3u);
  EXPECT_EQ(Bytes(reinterpret_cast<const char*>(hr->compressionSettings), 3), Bytes("\x00\x00\x01", 3));
  const MkvTrackInfo* scope2 = mkvTrackAt(f->file, 1);
  EXPECT_FALSE(scope2->flags & MKV_TRACK_COMPRESSED);
  EXPECT_EQ(scope2->compressionAlgo, 3u);
  EXPECT_EQ(scope2->compressionSettingsSize, 0u);
  EXPECT_EQ(scope2->compressionSettings, nullptr);
  const MkvTrackInfo* none = mkvTrackAt(f->file, 2);
  EXPECT_TRUE(none->flags & MKV_TRACK_COMPRESSED);
  EXPECT_EQ(none->compressionAlgo, 0u);
  EXPECT_EQ(none->compressionSettingsSize, 0u);
  EXPECT_TRUE(mkvTrackAt(f->file, 3)->flags & MKV_TRACK_COMPRESSED);
}

TEST(MkvTracks, BlocksGoToTheFirstTrackWithTheirNumber) {
  auto f = std::make_unique<OpenedFile>();
  Bytes data = ebmlHeader() +
               element(eid::Segment, segmentInfo() +
                                         element(eid::Tracks, entry(codec("FIRST") + uintElement(0xD7, 3)) +
                                                                  entry(codec("SECOND") + uintElement(0xD7, 3))) +
                                         cluster(0, simpleBlock(3, 0, 0x80, "a") + simpleBlock(9, 0, 0x80, "b")));
  ASSERT_TRUE(f->open(data)) << f->error;
  ASSERT_EQ(mkvTrackCount(f->file), 2u);
  auto frames = readAllFrames(f->file);
  ASSERT_EQ(frames.size(), 1u) << "a block of an unknown track number is skipped";
  EXPECT_EQ(frames[0].track, 0u);
}

}  // namespace
