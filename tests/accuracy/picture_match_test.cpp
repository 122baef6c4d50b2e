// Which decoded picture each coded frame of the index takes, by the numbers on both sides:
// sequences of index values and of pictures as the engine numbers them, matched as the
// serving side does (a picture before its frame is passed over; one after it leaves the frame
// a placeholder unless the frame's own picture comes within the look-ahead, in the same count).
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "source/picture_match.h"
#include "source/source_state.h"

namespace {

struct Index {
  std::vector<int32_t> values;
  std::vector<int32_t> idrStarts;  // coded frames where an IDR GOP begins
  int32_t codec = kCodecAvc;
};

// Pictures: "number", "r<restarts>:number", "i<restarts>:number" (the last restart inferred),
// "m<modulus>:number" (known only modulo), each with the restarts of the picture before it
// unless it says otherwise.
std::vector<PictureNumbers> Pictures(const std::string& text) {
  std::vector<PictureNumbers> out;
  PictureNumbers current;
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    PictureNumbers p = current;
    p.modulus = 0;
    for (size_t colon = token.find(':'); colon != std::string::npos; colon = token.find(':')) {
      const long value = std::stol(token.substr(1, colon - 1));
      if (token[0] == 'r') p.restart = uint32_t(value);
      if (token[0] == 'i') {
        p.inferred += uint32_t(value) - p.restart;
        p.restart = uint32_t(value);
      }
      if (token[0] == 'm') p.modulus = value;
      token = token.substr(colon + 1);
    }
    p.number = std::stoll(token);
    out.push_back(p);
    current = p;
  }
  return out;
}

// The picture (by position) each coded frame takes from `first` on; -1 a placeholder.
std::string Match(const Index& index, const std::vector<PictureNumbers>& pictures, int32_t first = 0) {
  auto state = std::make_unique<SourceState>();
  std::vector<FrameEntry> frames(index.values.size());
  for (size_t c = 0; c < frames.size(); ++c) {
    frames[c].topFrame = frames[c].bottomFrame = int32_t(c);
    frames[c].pictureOrder = index.values[c];
  }
  std::vector<std::unique_ptr<GopRecord>> records;
  std::vector<GopRecord*> pointers;
  for (int32_t start : index.idrStarts) {
    records.push_back(std::make_unique<GopRecord>());
    records.back()->firstFrame = start;
    records.back()->isIdr = 1;
    pointers.push_back(records.back().get());
  }
  state->frameTable = frames.data();
  state->gopTable = pointers.data();
  state->gopCount = int32_t(pointers.size());
  state->codecKind = index.codec;
  IndexNumbering numbering;
  numbering.Build(*state, int32_t(frames.size()));

  MatchAnchor anchor;
  anchor.coded = first;
  if (!pictures.empty()) anchor.restart = pictures[0].restart, anchor.inferred = pictures[0].inferred;
  size_t next = 0;
  std::string out;
  for (int32_t c = first; c < int32_t(frames.size()); ++c) {
    int taken = -1;
    while (next < pictures.size()) {
      const PictureRelation r = numbering.Relate(anchor, pictures[next], c);
      if (r == PictureRelation::kBefore) {
        ++next;
        continue;
      }
      if (r == PictureRelation::kAfter) {
        // The frame's own picture within the look-ahead, in the same count; those read past go.
        size_t own = next + 1;
        while (own < pictures.size() && own <= next + 8 && pictures[own].restart == pictures[next].restart &&
               numbering.Relate(anchor, pictures[own], c) != PictureRelation::kSame)
          ++own;
        if (own >= pictures.size() || own > next + 8 || pictures[own].restart != pictures[next].restart) break;
        next = own;
      }
      taken = int(next);
      anchor = numbering.Matched(anchor, pictures[next], c);
      ++next;
      break;
    }
    if (!out.empty()) out += ' ';
    out += std::to_string(taken);
  }
  return out;
}

TEST(PictureMatch, EachCodedFrameTakesItsOwnPicture) {
  struct Case {
    const char* what;
    Index index;
    std::string pictures;
    std::string taken;
  };
  const Case cases[] = {
      {"intact, IDR pictures counting from 4", {{4, 6, 8, 4, 6, 8}, {0, 3}}, "4 6 8 r1:4 6 8", "0 1 2 3 4 5"},
      {"a count start where the number rises (a join at an IDR picture)", {{0, 2, 4, 6, 8}, {0, 3}},
       "0 2 4 r1:6 8", "0 1 2 3 4"},
      {"a picture lost: a placeholder in its slot, the rest in place", {{0, 2, 4, 6, 8}, {0}}, "0 2 6 8",
       "0 1 -1 2 3"},
      {"a picture the index does not list is passed over", {{0, 4, 6}, {0}}, "0 2 4 6", "0 2 3"},
      {"a wrong number costs its picture alone", {{0, 2, 4, 6, 8}, {0}}, "0 2 40 6 8", "0 1 -1 3 4"},
      {"restarts the decoder saw count as the index's count starts", {{0, 2, 4, 0, 2, 4, 0, 2, 4}, {0, 3, 6}},
       "0 2 4 r2:0 2 4", "0 1 2 -1 -1 -1 3 4 5"},
      {"from a recovery point, numbers known modulo the lsb range", {{66, 68, 70, 72}, {}},
       "m64:2 m64:4 m64:6 m64:8", "0 1 2 3"},
      {"an inferred restart counts where the index starts a count", {{0, 2, 4, 0, 2, 4}, {0, 3}},
       "0 2 4 i1:2 4", "0 1 2 -1 3 4"},
      {"an inferred restart is none where the index has none", {{0, 2, 4, 70, 72}, {0}},
       "0 2 4 i1:m64:6 m64:8", "0 1 2 3 4"},
      {"an IDR picture lost before indexing: the index sorts the next count into the period, "
       "a number listed twice is one picture of each count",
       {{0, 2, 4, 6, 8, 10, 10, 12, 12, 14, 16}, {0}}, "0 2 4 6 8 10 12 i1:m8:2 m8:4 m8:6 m8:8",
       "0 1 2 3 4 5 -1 6 8 9 10"},
      {"a picture coming late across an inferred restart does not displace the head", {{52, 56, 58, 60, 62}, {}},
       "52 58 i1:m64:56 i2:m64:60 m64:62", "0 -1 1 3 4"},
      {"a picture known only modulo, left behind its slot, is passed over", {{58, 60, 62, 64, 66, 68}, {}},
       "58 62 i1:m64:-4 i2:m64:2 m64:4", "0 -1 1 -1 3 4"},
      {"MPEG-2: temporal_reference wraps inside a GOP", {{1021, 1022, 1023, 0, 1}, {}, kCodecMpeg2},
       "1021 1022 1023 1024 1025", "0 1 2 3 4"},
      {"MPEG-2: B pictures shown before an I picture (the anchor after it lost) leave it its frame",
       {{0, 1, 2, 3, 4, 5, 6, 7}, {}, kCodecMpeg2}, "0 1 3 4 2 6 7", "0 1 4 -1 -1 -1 5 6"},
  };
  for (const Case& c : cases) EXPECT_EQ(Match(c.index, Pictures(c.pictures)), c.taken) << c.what;
}

}  // namespace
