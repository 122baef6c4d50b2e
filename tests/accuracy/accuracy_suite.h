// One accuracy harness for every container suite: a suite is a table of streams and
// the fieldop values each is served under. For every case the stream is indexed,
// served in the request orders below and every served frame compared with what ffmpeg
// makes of the same stream, without asking the plug-in's index readers which picture a
// frame must show:
// - fieldop 2 and 1: display frame n is ffmpeg's decoded picture n (force film keeps
//   each coded frame of a clean 3:2 cadence once, in order, with no repeated field);
// - fieldop 0: MPEG-2 with repeated fields in an interlaced sequence, frame n of
//   ffmpeg's repeatfields filter; every other stream, the fields ffmpeg's decoder flags
//   (repeat_pict, top_field_first) give, woven from its pictures (Cadence below).
// The frame count must be the count of those reference frames. The readers' tables
// only choose requests (GOP starts), the first frame served (leading pictures passed
// over) and the hint word in the stamp.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/accuracy/serving_harness.h"

enum class Codec { Avc, Mpeg2, Vc1 };

struct SuiteStream {
  std::string name;                // the case's name and the name of its index
  Codec codec;
  std::vector<std::string> files;  // the source, in order (several: one stream split in files)
  std::string reference;           // the file ffmpeg decodes for the reference
  std::string index = {};          // an index made beforehand; empty: made from `files`
};

const SuiteStream& StreamNamed(const std::vector<SuiteStream>& streams, const std::string& name);

// The first file of the stream that cannot be read; empty when all can.
std::string MissingFile(const SuiteStream& stream);

enum class Order { Sequential, Reverse, Random, Jumps, RepeatZero, BeyondEnds, GopStarts };
extern const std::vector<Order> kAllOrders;
const char* OrderName(Order order);
std::vector<int> Requests(Order order, int frameCount, const std::vector<int>& gopFirsts);

// The decoder's flags of one picture, in output order.
struct PictureFlags {
  int repeat = 0;  // repeat_pict: 1 one field more, 2k k frames more
  bool topFirst = false;
};
std::vector<PictureFlags> FlagsOf(const std::string& source);

// Top and bottom picture of every display frame that the flags give: a picture
// repeated as whole frames fills 1 + repeat/2 frames; otherwise its fields are placed
// one by one, the repeated first field completing the next frame with the following
// picture's first field. A frame whose second field never comes is not counted.
std::vector<std::pair<int, int>> Cadence(const std::vector<PictureFlags>& flags);

struct Expected {
  std::string md5;  // with the frame's hint stamp
  std::vector<uint8_t> picture;
  int topCode = 0;  // frame-number barcode of the top and bottom field rows
  int bottomCode = 0;
  int top = 0;  // the reference pictures the fields come from
  int bottom = 0;
  bool exact = true;  // compared by MD5; otherwise by barcode and luma PSNR
};

struct Expectation {
  std::string indexPath;
  int width = 0;
  int height = 0;
  int lowest = 0;  // first frame served (leading pictures without their reference are not)
  std::vector<int> gopFirsts;
  std::vector<Expected> frames;
};

// The expectation of a stream under fieldop (made once per process).
const Expectation& ExpectationFor(const SuiteStream& stream, int fieldop);

// Serves every frame of every order and compares it with the expectation; reports
// each order's count of frames checked and mismatches, and fails on any mismatch.
void ExpectServedFramesMatch(const SuiteStream& stream, int fieldop, const std::vector<Order>& orders);

// Minimum luma PSNR of an MPEG-2 picture compared without MD5: the inverse DCT need
// not be bit-exact between two decoders, while a neighbouring frame of the corpus
// scores well below this.
constexpr double kMinPsnr = 40.0;

// One case of a suite and its test name.
struct SuiteCase {
  std::string stream;
  int fieldop;
};
std::string SuiteCaseName(const SuiteCase& c);
