// Matroska files as mkvmerge and ffmpeg write them, served through the plug-in and read by
// the barcode every picture carries (its display number):
// - a SimpleBlock whose header (ID, size, track number, timecode) is damaged in the middle
//   of a Cluster costs its own picture only: with the index made before the damage every
//   frame is served, linearly and at random, and none outside the lost picture's span shows
//   another picture; the test indexer indexes the damaged file (every other picture);
// - an index whose GOP times miss the frames' own times by 1 ns or 1 ms, early or late
//   (files of appended closed-GOP parts with B pictures; 1 ms and 1 us timestamp scales,
//   without Cues, remuxed by ffmpeg) serves the frames the exact index serves and reads
//   about as much of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/damage/served_barcode.h"

namespace {

std::string ListPath(const char* name) { return std::string(TESSIVAR_MKV_DAMAGED_DIR) + "/" + name; }

// The lines of a list made with the files; *skip is set to its comment when the files
// could not be made.
std::vector<std::string> ListLines(const char* name, std::string* skip) {
  std::ifstream in(ListPath(name));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#", 0) == 0)
      *skip = line;
    else if (!line.empty())
      lines.push_back(line);
  }
  if (lines.empty() && skip->empty()) *skip = "no " + ListPath(name);
  return lines;
}

struct DamagedFile {
  std::string name, file, before, after;
  int frames = 0, lost = 0, spanFirst = 0, spanLast = 0;
  bool InSpan(int n) const { return n >= spanFirst && n <= spanLast; }
};

std::vector<DamagedFile> DamagedFiles(std::string* skip) {
  std::vector<DamagedFile> files;
  for (const std::string& line : ListLines("damaged.list", skip)) {
    std::istringstream fields(line);
    DamagedFile f;
    char dash = 0;
    fields >> f.name >> f.file >> f.before >> f.after >> f.frames >> f.lost >> f.spanFirst >> dash >> f.spanLast;
    files.push_back(f);
  }
  return files;
}

// Bytes the process has read so far through its read calls (0 where the count is missing).
uint64_t ProcessReadBytes() {
  std::ifstream io("/proc/self/io");
  for (std::string key; io >> key;) {
    uint64_t value = 0;
    io >> value;
    if (key == "rchar:") return value;
  }
  return 0;
}

constexpr int kNotServed = -2;

struct Served {
  std::vector<int> shown;  // per request: the barcode, -1 a placeholder, kNotServed an error
  std::string errors;      // the first few
  uint64_t bytesRead = 0;
};

Served Serve(const std::string& index, const std::vector<int>& order) {
  Served served;
  PClip clip = OpenClip(index);
  const uint64_t before = ProcessReadBytes();
  int errors = 0;
  for (int n : order) {
    try {
      served.shown.push_back(ShownNumber(clip->GetFrame(n, &PluginHost())));
    } catch (const std::exception& error) {
      served.shown.push_back(kNotServed);
      if (++errors <= 3) served.errors.append("\n  frame ").append(std::to_string(n)).append(": ").append(error.what());
    }
  }
  served.bytesRead = ProcessReadBytes() - before;
  return served;
}

std::vector<int> Linear(int frames) {
  std::vector<int> order(static_cast<size_t>(frames));
  for (int n = 0; n < frames; ++n) order[static_cast<size_t>(n)] = n;
  return order;
}

std::vector<int> Shuffled(int frames, unsigned seed) {
  std::vector<int> order = Linear(frames);
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  return order;
}

// Frames outside the span that show another picture, as FRAME:SHOWN in serving order, given
// the picture each frame should show.
std::string Misplaced(const std::vector<int>& order, const Served& served, const std::vector<int>& expected,
                      const std::vector<bool>& inSpan, int* count) {
  std::string wrong;
  *count = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const auto n = static_cast<size_t>(order[k]);
    const int shown = served.shown[k];
    if (inSpan[n] || shown == expected[n] || shown == -1 || shown == kNotServed) continue;
    ++*count;
    wrong.append(" ").append(std::to_string(n)).append(":").append(std::to_string(shown));
  }
  return wrong;
}

int ServedCount(const Served& served) {
  return static_cast<int>(std::count_if(served.shown.begin(), served.shown.end(), [](int s) { return s != kNotServed; }));
}

TEST(MkvDamagedBlockHeader, TheLostPictureAloneIsMissingWithTheIndexMadeBeforeTheDamage) {
  std::string skip;
  const std::vector<DamagedFile> files = DamagedFiles(&skip);
  if (files.empty()) GTEST_SKIP() << skip;
  for (const DamagedFile& f : files) {
    SCOPED_TRACE(f.name);
    std::vector<int> expected = Linear(f.frames);
    std::vector<bool> inSpan(static_cast<size_t>(f.frames));
    for (int n = 0; n < f.frames; ++n) inSpan[static_cast<size_t>(n)] = f.InSpan(n);
    for (const auto& [label, order] : {std::pair<const char*, std::vector<int>>{"linear", Linear(f.frames)},
                                       {"random", Shuffled(f.frames, 31)}}) {
      const Served served = Serve(f.before, order);
      int misplaced = 0;
      const std::string wrong = Misplaced(order, served, expected, inSpan, &misplaced);
      std::printf("%-16s before %-6s served %3d/%d misplaced %d\n", f.name.c_str(), label, ServedCount(served),
                  f.frames, misplaced);
      EXPECT_EQ(ServedCount(served), f.frames) << label << served.errors;
      EXPECT_EQ(misplaced, 0) << label << ": frames outside " << f.spanFirst << "-" << f.spanLast
                              << " showing another picture (frame:shown, in serving order):" << wrong;
    }
  }
}

TEST(MkvDamagedBlockHeader, TheTestIndexerIndexesTheDamagedFileWithoutTheLostPicture) {
  std::string skip;
  const std::vector<DamagedFile> files = DamagedFiles(&skip);
  if (files.empty()) GTEST_SKIP() << skip;
  for (const DamagedFile& f : files) {
    SCOPED_TRACE(f.name);
    PClip clip = OpenClip(f.after);
    EXPECT_EQ(clip->GetVideoInfo().num_frames, f.frames - 1) << "every picture but the damaged one";
  }
}

// Depends on frames being matched to the index by their own picture numbers: the decoder
// conceals the lost reference picture with a picture of its own, which a count of decoded
// pictures takes for the next index entry, shifting the frames behind it by one.
TEST(MkvDamagedIndexedAfterTheDamageAwaitingIdentityMatching, FrameNIsTheSamePictureLinearlyAndAtRandom) {
  std::string skip;
  const std::vector<DamagedFile> files = DamagedFiles(&skip);
  if (files.empty()) GTEST_SKIP() << skip;
  for (const DamagedFile& f : files) {
    SCOPED_TRACE(f.name);
    std::vector<int> expected;  // the pictures left, in display order
    std::vector<bool> inSpan;
    for (int n = 0; n < f.frames; ++n) {
      if (n == f.lost) continue;
      expected.push_back(n);
      inSpan.push_back(f.InSpan(n));
    }
    const int count = static_cast<int>(expected.size());
    for (const auto& [label, order] : {std::pair<const char*, std::vector<int>>{"linear", Linear(count)},
                                       {"random", Shuffled(count, 37)}}) {
      const Served served = Serve(f.after, order);
      int misplaced = 0;
      const std::string wrong = Misplaced(order, served, expected, inSpan, &misplaced);
      std::printf("%-16s after  %-6s served %3d/%d misplaced %d\n", f.name.c_str(), label, ServedCount(served), count,
                  misplaced);
      EXPECT_EQ(ServedCount(served), count) << label << served.errors;
      EXPECT_EQ(misplaced, 0) << label << ": frames outside the span showing another picture than the index's"
                              << " (frame:shown, in serving order):" << wrong;
    }
  }
}

TEST(MkvInexactIndexTime, GopTimesEarlyOrLateServeTheFramesOfTheExactIndexReadingAsMuch) {
  std::string skip;
  const std::vector<std::string> lines = ListLines("inexact.list", &skip);
  if (lines.empty()) GTEST_SKIP() << skip;
  const bool counted = ProcessReadBytes() > 0;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string name, file, exactIndex;
    int frames = 0;
    fields >> name >> file >> frames >> exactIndex;
    SCOPED_TRACE(name);
    const std::vector<int> order = Shuffled(frames, 41);
    const Served exact = Serve(exactIndex, order);
    ASSERT_EQ(ServedCount(exact), frames) << exact.errors;
    for (size_t k = 0; k < order.size(); ++k) ASSERT_EQ(exact.shown[k], order[k]) << "the exact index, frame " << order[k];
    for (std::string shifted; fields >> shifted;) {
      const std::string shift = shifted.substr(0, shifted.find(':'));
      const Served served = Serve(shifted.substr(shifted.find(':') + 1), order);
      std::string wrong;
      int misplaced = 0;
      for (size_t k = 0; k < order.size(); ++k)
        if (served.shown[k] != exact.shown[k] && ++misplaced <= 20)
          wrong.append(" ").append(std::to_string(order[k])).append(":").append(std::to_string(served.shown[k]));
      std::printf("%-18s GOP times %9s ns: %d/%d frames differ, read %llu bytes (exact %llu)\n", name.c_str(),
                  shift.c_str(), misplaced, frames, (unsigned long long)served.bytesRead,
                  (unsigned long long)exact.bytesRead);
      EXPECT_EQ(misplaced, 0) << shift << " ns: frames unlike the exact index's (frame:shown):" << wrong
                              << served.errors;
      if (counted) {
        EXPECT_LE(served.bytesRead, 2 * exact.bytesRead + 262144) << shift << " ns";
      }
    }
  }
}

}  // namespace
