// The replay log of the slice-threaded MPEG-2 decoder: which packets it keeps for the
// one-thread decoder, the sequence header that goes ahead of them, and which pictures the
// one-thread decoder's output drops as given out already.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay_log.h"

namespace {

using tessivar::mfxsw::ReplayLog;

constexpr size_t kPadding = 8;

// A packet: optionally a sequence header (with `variant` in its first byte after the code)
// and an extension, then a picture start code and a byte.
std::vector<uint8_t> PacketBytes(int sequenceVariant) {
  const std::vector<uint8_t> picture = {0, 0, 1, 0x00, 0x00, 0x0F, 0xFF};
  if (sequenceVariant == 0) return picture;
  std::vector<uint8_t> bytes = {0, 0, 1, 0xB3, static_cast<uint8_t>(sequenceVariant), 0x10, 0x20, 0x30,
                                0, 0, 1, 0xB5, 0x14, 0x8A,  // its extension
                                0, 0, 1, 0xB8, 0x00, 0x08};  // a GOP header: not the sequence's
  for (uint8_t b : picture) bytes.push_back(b);
  return bytes;
}

TEST(ReplayLog, KeepsFromTheIPictureBeforeLastWithTheSequenceInForce) {
  // Packets, by letters: I/P/B the picture type, a digit after it a sequence header variant.
  const struct {
    const char* packets;
    std::vector<int64_t> kept;  // the pts of the packets kept at the end (the n-th packet: pts n)
    int sequence;               // the variant in force at the first kept packet; 0: none
  } cases[] = {
      {"I1 B B P B B", {0, 1, 2, 3, 4, 5}, 1},
      {"I1 B P I B P", {0, 1, 2, 3, 4, 5}, 1},
      {"I1 B P I B P I", {3, 4, 5, 6}, 1},
      {"I1 P I2 P I P", {2, 3, 4, 5}, 2},
      {"I1 P I P I2 P I P", {4, 5, 6, 7}, 2},
      {"P B P B", {0, 1, 2, 3}, 0},
      {"P B I1 P I B", {2, 3, 4, 5}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.packets);
    ReplayLog log;
    std::string text = c.packets;
    int64_t pts = 0;
    for (size_t at = 0; at < text.size(); at = text.find_first_not_of(' ', text.find(' ', at))) {
      const char type = text[at];
      const int variant = at + 1 < text.size() && isdigit(static_cast<unsigned char>(text[at + 1])) ? text[at + 1] - '0' : 0;
      const std::vector<uint8_t> bytes = PacketBytes(variant);
      log.Add(bytes.data(), bytes.size(), pts++, type == 'I', true, kPadding);
      if (text.find(' ', at) == std::string::npos) break;
    }
    std::vector<int64_t> kept;
    for (const ReplayLog::Packet& p : log.Packets()) {
      kept.push_back(p.pts);
      EXPECT_EQ(p.bytes.size(), p.size + kPadding);
    }
    EXPECT_EQ(kept, c.kept);
    const std::vector<uint8_t>* sequence = log.FirstSequence();
    if (c.sequence == 0) {
      EXPECT_EQ(sequence, nullptr);
    } else {
      ASSERT_NE(sequence, nullptr);
      // The header and its extension, not the GOP header, then the padding.
      ASSERT_EQ(sequence->size(), 14 + kPadding);
      EXPECT_EQ((*sequence)[4], c.sequence);
      EXPECT_EQ((*sequence)[11], 0xB5);
    }
  }
}

TEST(ReplayLog, DropsWhatCameOutOnceForEachTimeAndForgetsItWithItsPackets) {
  ReplayLog log;
  const std::vector<uint8_t> bytes = PacketBytes(1);
  for (int64_t pts = 0; pts < 4; ++pts) log.Add(bytes.data(), bytes.size(), pts, pts % 2 == 0, true, kPadding);
  log.GaveOut(1);
  log.GaveOut(2);
  log.GaveOut(2);  // two pictures out of one packet
  log.GaveOut(INT64_MIN);  // one under no time stamp
  EXPECT_TRUE(log.TakeGivenOut(2));
  EXPECT_TRUE(log.TakeGivenOut(2));
  EXPECT_FALSE(log.TakeGivenOut(2));
  EXPECT_FALSE(log.TakeGivenOut(3));
  // The next I picture leaves the log from pts 2 on: what came out of packet 1 is forgotten.
  log.Add(bytes.data(), bytes.size(), 4, true, true, kPadding);
  EXPECT_FALSE(log.TakeGivenOut(1));
  EXPECT_FALSE(log.TakeGivenOut(INT64_MIN));
  EXPECT_FALSE(log.Full());
  for (int64_t pts = 5; pts < 5 + static_cast<int64_t>(ReplayLog::kMaxPackets); ++pts)
    log.Add(bytes.data(), bytes.size(), pts, false, true, kPadding);
  EXPECT_TRUE(log.Full()) << "a GOP past the bound";
  log.Clear();
  EXPECT_TRUE(log.Empty());
  EXPECT_EQ(log.FirstSequence(), nullptr);
}

}  // namespace
