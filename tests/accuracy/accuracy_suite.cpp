#include "tests/accuracy/accuracy_suite.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>

#include "source/overlay.h"
#include "tests/accuracy/mpeg2_vc1_support.h"

const SuiteStream& StreamNamed(const std::vector<SuiteStream>& streams, const std::string& name) {
  for (const SuiteStream& stream : streams)
    if (name == stream.name) return stream;
  throw std::runtime_error("no stream " + name);
}

std::string MissingFile(const SuiteStream& stream) {
  std::vector<std::string> needed = stream.files;
  needed.push_back(stream.reference);
  if (!stream.index.empty()) needed.push_back(stream.index);
  for (const std::string& file : needed)
    if (access(file.c_str(), R_OK) != 0) return file;
  return std::string();
}

const std::vector<Order> kAllOrders = {Order::Sequential, Order::Reverse,    Order::Random,   Order::Jumps,
                                       Order::RepeatZero, Order::BeyondEnds, Order::GopStarts};

const char* OrderName(Order order) {
  static const char* names[] = {"sequential", "reverse", "random", "jumps", "repeat_zero", "beyond_ends", "gop_starts"};
  return names[int(order)];
}

std::vector<int> Requests(Order order, int frameCount, const std::vector<int>& gopFirsts) {
  std::vector<int> requests;
  switch (order) {
    case Order::Sequential:
      for (int n = 0; n < frameCount; ++n) requests.push_back(n);
      break;
    case Order::Reverse:
      for (int n = frameCount - 1; n >= 0; --n) requests.push_back(n);
      break;
    case Order::Random: {
      std::mt19937 random(20261209);
      std::uniform_int_distribution<int> pick(0, frameCount - 1);
      for (int i = 0; i < 300; ++i) requests.push_back(pick(random));
      break;
    }
    case Order::Jumps:
      // Steps of 1 to 9 go onward from the frame served last, 10 seeks; every start
      // offset, so that each step lands everywhere in a GOP.
      for (int start = 0; start < 10; ++start)
        for (int n = start, step = 1; n < frameCount; n += step, step = step % 10 + 1) requests.push_back(n);
      break;
    case Order::RepeatZero:
      requests = {0, 0, 0, 1, 0, 0, 2, 3, 0, frameCount / 2, frameCount / 2, frameCount / 2 - 1, frameCount / 2};
      break;
    case Order::BeyondEnds:
      requests = {-1, frameCount, frameCount + 7, -100, INT_MAX, INT_MIN, frameCount - 1, frameCount, 0, -1,
                  frameCount + 1};
      break;
    case Order::GopStarts:
      // Each request lies below the one before (a seek): the frames around every GOP
      // start, where leading pictures and the step back to the GOP before matter.
      for (int first : gopFirsts)
        for (int n = first + 3; n >= first - 1; --n)
          if (n >= 0 && n < frameCount) requests.push_back(n);
      break;
  }
  return requests;
}

std::vector<PictureFlags> FlagsOf(const std::string& source) {
  const std::string command = "ffprobe -v error -select_streams v:0 -show_entries frame=repeat_pict,top_field_first "
                              "-of compact=p=0 '" + source + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::vector<PictureFlags> flags;
  char line[512];
  while (std::fgets(line, sizeof(line), pipe.get())) {
    const std::string text = line;
    const size_t repeat = text.find("repeat_pict=");
    const size_t topFirst = text.find("top_field_first=");
    if (repeat == std::string::npos || topFirst == std::string::npos) continue;
    flags.push_back({std::atoi(text.c_str() + repeat + 12), std::atoi(text.c_str() + topFirst + 16) != 0});
  }
  return flags;
}

std::vector<std::pair<int, int>> Cadence(const std::vector<PictureFlags>& flags) {
  std::vector<std::pair<int, int>> frames;
  // The frame being filled when one of its fields is placed and the other is not.
  int pendingTop = -1, pendingBottom = -1;
  for (int c = 0; c < int(flags.size()); ++c) {
    const PictureFlags& f = flags[size_t(c)];
    if (f.repeat >= 2) {
      for (int k = 0; k <= f.repeat / 2; ++k) frames.emplace_back(c, c);
      continue;
    }
    if (pendingTop >= 0) {
      frames.emplace_back(pendingTop, c);
      pendingTop = c;
    } else if (pendingBottom >= 0) {
      frames.emplace_back(c, pendingBottom);
      pendingBottom = c;
    } else {
      frames.emplace_back(c, c);
    }
    if (f.repeat != 1) continue;
    // The repeated first field.
    if (f.topFirst) {
      if (pendingBottom >= 0) {
        frames.emplace_back(c, pendingBottom);
        pendingBottom = -1;
      } else {
        pendingTop = c;
      }
    } else if (pendingTop >= 0) {
      frames.emplace_back(pendingTop, c);
      pendingTop = -1;
    } else {
      pendingBottom = c;
    }
  }
  return frames;
}

namespace {

bool RepeatsFields(const std::vector<PictureFlags>& flags) {
  return std::any_of(flags.begin(), flags.end(), [](const PictureFlags& f) { return f.repeat == 1; });
}

}  // namespace

const Expectation& ExpectationFor(const SuiteStream& stream, int fieldop) {
  static std::map<std::pair<std::string, int>, Expectation> cache;
  const auto key = std::make_pair(stream.name, fieldop);
  if (auto found = cache.find(key); found != cache.end()) return found->second;
  Expectation e;
  e.indexPath = stream.index.empty() ? IndexFor(stream.files, stream.name) : stream.index;

  // From the reader: the hint words, the GOP starts and the leading pictures passed over.
  std::vector<uint32_t> hints;
  if (stream.codec == Codec::Avc) {
    for (const DisplayEntry& entry : DisplayEntries(e.indexPath, fieldop)) hints.push_back(uint32_t(entry.hintValue) << 2);
    e.gopFirsts = GopFirstFrames(e.indexPath);
  } else {
    const CodecIndex index = ReadCodecIndex(e.indexPath, fieldop);
    if (index.code != 0) throw std::runtime_error("index reader result " + std::to_string(index.code));
    for (const CodecDisplay& entry : index.entries) hints.push_back(entry.hintWord);
    e.gopFirsts = index.recordFirsts;
    e.lowest = index.leadingSkip;
  }

  // From ffmpeg: the pictures and the fields of every display frame.
  Reference reference = DecodeReference(stream.reference);
  std::vector<std::pair<int, int>> fields;
  for (int n = 0; n < int(reference.pictures.size()); ++n) fields.emplace_back(n, n);
  if (fieldop != 1 && fieldop != 2) {
    const std::vector<PictureFlags> flags = FlagsOf(stream.reference);
    if (flags.size() != reference.pictures.size())
      throw std::runtime_error("ffprobe and ffmpeg count different pictures in " + stream.reference);
    fields = Cadence(flags);
    if (stream.codec == Codec::Mpeg2 && RepeatsFields(flags)) {
      // ffmpeg's own weave of the repeated fields: its frame n is display frame n.
      Reference woven = DecodeReference(stream.reference, "repeatfields");
      if (woven.pictures.size() != fields.size())
        throw std::runtime_error("repeatfields gives " + std::to_string(woven.pictures.size()) + " frames, the flags " +
                                 std::to_string(fields.size()));
      reference = std::move(woven);
      fields.clear();
      for (int n = 0; n < int(reference.pictures.size()); ++n) fields.emplace_back(n, n);
    }
  }
  e.width = reference.width;
  e.height = reference.height;
  for (size_t n = 0; n < fields.size(); ++n) {
    Expected want;
    want.top = fields[n].first;
    want.bottom = fields[n].second;
    want.picture = WovenPicture(reference, want.top, want.bottom);
    want.topCode = Barcode(want.picture, e.width, 0);
    want.bottomCode = Barcode(want.picture, e.width, 1);
    // VC-1 and H.264 decoding is bit-exact; MPEG-2 by MD5 where fields are woven or repeated.
    want.exact = stream.codec != Codec::Mpeg2 || want.top != want.bottom || fieldop != 2;
    std::vector<uint8_t> stamped = want.picture;
    StampFrameHint(stamped.data(), n < hints.size() ? hints[n] : 0u);
    want.md5 = Md5Of(stamped);
    e.frames.push_back(std::move(want));
  }
  return cache[key] = std::move(e);
}

void ExpectServedFramesMatch(const SuiteStream& stream, int fieldop, const std::vector<Order>& orders) {
  const Expectation& expected = ExpectationFor(stream, fieldop);
  PClip clip = OpenClip(expected.indexPath, {.fieldop = fieldop});
  const VideoInfo& vi = clip->GetVideoInfo();
  const int frameCount = vi.num_frames;
  ASSERT_GT(frameCount, 0);
  // As many frames as ffmpeg's pictures (fieldop 1 and 2) or its display frames (fieldop 0).
  ASSERT_EQ(size_t(frameCount), expected.frames.size()) << "frame count against ffmpeg's";
  ASSERT_EQ(vi.width, expected.width);
  ASSERT_EQ(vi.height, expected.height);

  int allChecked = 0, allMismatches = 0;
  for (Order order : orders) {
    int mismatches = 0, checked = 0, bitExact = 0;
    double worstPsnr = 999;
    for (int request : Requests(order, frameCount, expected.gopFirsts)) {
      const int served = std::max(std::min(request, frameCount - 1), expected.lowest);
      const Expected& want = expected.frames[size_t(served)];
      const std::vector<uint8_t> got = PlanesOf(clip->GetFrame(request, &PluginHost()));
      ++checked;
      const bool sameMd5 = Md5Of(got) == want.md5;
      bitExact += sameMd5;
      bool right = sameMd5;
      if (!want.exact) {
        const double psnr = LumaPsnr(got, want.picture, expected.width, expected.height);
        worstPsnr = std::min(worstPsnr, psnr);
        right = Barcode(got, expected.width, 0) == want.topCode && Barcode(got, expected.width, 1) == want.bottomCode &&
                psnr >= kMinPsnr;
      }
      if (!right && ++mismatches <= 5)
        ADD_FAILURE() << OrderName(order) << ": request " << request << " (frame " << served << ", pictures "
                      << want.top << "/" << want.bottom << "): barcode " << Barcode(got, expected.width, 0) << "/"
                      << Barcode(got, expected.width, 1) << ", expected " << want.topCode << "/" << want.bottomCode
                      << ", PSNR " << LumaPsnr(got, want.picture, expected.width, expected.height);
    }
    std::printf("%s fieldop %d %s: %d frames checked, %d mismatches, %d bit-exact, worst luma PSNR %.1f dB\n",
                stream.name.c_str(), fieldop, OrderName(order), checked, mismatches, bitExact, worstPsnr);
    allChecked += checked;
    allMismatches += mismatches;
  }
  ::testing::Test::RecordProperty("frames_checked", allChecked);
  EXPECT_EQ(allMismatches, 0);
}

std::string SuiteCaseName(const SuiteCase& c) { return c.stream + "_fieldop" + std::to_string(c.fieldop); }
