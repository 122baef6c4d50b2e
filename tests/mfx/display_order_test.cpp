// Display slots from picture numbers, over synthetic sequences: what the decode thread tells
// the bookkeeping (pictures sent with their numbers, pictures libavcodec gave out, packets it
// refused, the end) against the slots that must come out, one per coded picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "display_order.h"

namespace {

using tessivar::mfxsw::DisplayOrder;

// Events, separated by spaces:
//   s<tag>:<number>  picture sent      S<tag>:<number>  sent, the count restarts
//   s<tag>:?         sent, its number unreadable
//   d<tag>  given out by libavcodec    r<tag>  refused    e  end of input
//   c  a seek: everything in flight forgotten
// Slots out, in order: <id> a decoded picture, x<tag> a placeholder for that picture,
// x a placeholder for a picture never sent. A picture's time stamp is its tag times 10;
// pictures tagged 900 and above only teach the step and are left out.
std::string Play(DisplayOrder& order, const std::string& events) {
  std::istringstream in(events);
  std::string event, out;
  while (in >> event) {
    const char kind = event[0];
    const int64_t tag = kind == 'e' || kind == 'c' ? 0 : std::stoll(event.substr(1));
    switch (kind) {
      case 's':
      case 'S': {
        const std::string number = event.substr(event.find(':') + 1);
        order.Sent(tag, tag * 10, number == "?" ? std::nullopt : std::optional<int64_t>(std::stoll(number)), kind == 'S');
        break;
      }
      case 'd': order.Decoded(tag); break;
      case 'r': order.Refused(tag); break;
      case 'e': order.End(); break;
      case 'c': order.Clear(); break;
    }
    DisplayOrder::Slot slot;
    while (order.Next(&slot)) {
      if (slot.decoded && slot.id >= 900) continue;
      if (!out.empty()) out += ' ';
      if (!slot.decoded) out += 'x';
      if (slot.decoded || slot.pts != DisplayOrder::kNoPts) out += std::to_string(slot.decoded ? slot.id : slot.pts / 10);
    }
  }
  return out;
}

// Pictures that teach the step 2, then four in a row, two of them B: numbers 0 2 4 6.
const std::string kLearn =
    "S900:0 d900 s901:2 d901 s902:4 d902 s903:6 d903 s904:8 d904 s905:10 d905 e c S0:0 s1:6 s2:2 d0 s3:4 d2 d3 d1 ";

struct Case {
  const char* what;
  bool numbersShowGaps;
  int64_t hold;  // packets libavcodec may take to give a picture out
  std::string events;
  std::string slots;
};

TEST(DisplayOrder, OneSlotPerCodedPictureInDisplayOrder) {
  const Case cases[] = {
      {"intact pictures come out as libavcodec gives them", true, 8, kLearn + "s4:12 s5:8 d5 s6:10 d6 d4 e",
       "0 2 3 1 5 6 4"},
      {"a picture lost before it was sent leaves a gap: a placeholder there", true, 3,
       kLearn + "s4:14 s5:8 s6:12 d5 d6 s7:20 d4 s8:16 s9:18 d8 d9 d7 s10:22 d10 e", "0 2 3 1 5 x 6 4 8 9 7 10"},
      {"an unreadable number takes the gap its neighbours leave", true, 3,
       kLearn + "s4:14 s5:8 s6:? s7:12 r6 d5 d7 d4 s8:16 s9:18 s10:20 d8 d9 d10 e", "0 2 3 1 5 x6 7 4 8 9 10"},
      {"a picture refused with its number read keeps its own slot", true, 8,
       kLearn + "s4:12 s5:8 r5 s6:10 d6 d4 s7:14 d7 e", "0 2 3 1 x5 6 4 7"},
      {"a picture given out of turn goes to its own slot", true, 8, kLearn + "s4:14 s5:10 s6:8 s7:12 d5 d6 d7 d4 e",
       "0 2 3 1 6 5 7 4"},
      {"a refusal that was another packet's is undone when the picture comes", true, 8,
       kLearn + "s4:12 s5:8 r5 s6:10 d5 d6 d4 e", "0 2 3 1 5 6 4"},
      {"a picture libavcodec drops without a word gets its slot once it cannot come", true, 3,
       kLearn + "s4:12 s5:8 s6:10 d6 d4 s7:14 d7 s8:16 d8 s9:18", "0 2 3 1 x5 6 4 7 8"},
      {"at the end, pictures that did not come are placeholders in their slots", true, 8, kLearn + "s4:10 s5:8 e",
       "0 2 3 1 x5 x4"},
      {"a restart counts from 0 again; a gap at its start is a loss", true, 3,
       kLearn + "S4:2 s5:4 d4 s6:6 s7:8 d5 s8:10 d6 d7 d8 e", "0 2 3 1 x 4 5 6 7 8"},
      {"a gap just before a restart tells nothing: no placeholder", true, 3, kLearn + "S4:0 s5:2 d4 d5 e",
       "0 2 3 1 4 5"},
      {"the last pictures of the input missing tell nothing", true, 3, kLearn + "s4:10 d4 e", "0 2 3 1 4"},
      {"numbers that only order the pictures show no gaps", false, 3, kLearn + "s4:14 s5:8 d5 d4 e", "0 2 3 1 5 4"},
      {"numbers that break their step show no gaps from then on", true, 3,
       kLearn + "s4:9 d4 s5:13 s6:17 d5 d6 e", "0 2 3 1 4 5 6"},
      {"without a number and no gap, libavcodec's order places a picture", false, 3,
       "S0:? s1:? d0 s2:? r1 d2 e", "0 x1 2"},
      {"a second picture under a tag already out takes no slot: the gap shows the loss", true, 3,
       kLearn + "s4:12 s5:8 d5 d5 s6:14 d4 s7:16 d6 d7 e", "0 2 3 1 5 x 4 6 7"},
      {"after a seek the step stays known, and a loss right after the first slots shows", true, 3,
       kLearn + "e c S10:0 s11:6 s12:2 d10 d12 d11 s13:8 s14:10 s15:12 d13 d14 d15 e", "0 2 3 1 10 12 x 11 13 14 15"},
      {"a picture with no number before the first slot of an open start goes first", true, 8,
       kLearn + "e c s10:40 s11:? s12:36 s13:38 r11 s14:48 s15:44 s16:42 s17:46 d12 d13 d10 d16 d15 d17 d14 e",
       "0 2 3 1 x11 12 13 10 16 15 17 14"},
  };
  for (const Case& c : cases) {
    DisplayOrder order;
    order.Configure(c.numbersShowGaps, c.hold);
    EXPECT_EQ(Play(order, c.events), c.slots) << c.what;
  }
}

// The bookkeeping stays bounded when libavcodec gives nothing out at all, and the slots of
// pictures sent before a seek never come out after it.
TEST(DisplayOrder, BoundedAndForgottenAtASeek) {
  DisplayOrder order;
  order.Configure(true, 1000);
  std::string events;
  for (int i = 0; i < 200; ++i) {
    events += 's';
    events += std::to_string(i);
    events += ':';
    events += std::to_string(2 * i);
    events += ' ';
  }
  const std::string slots = Play(order, events);
  EXPECT_LE(order.Waiting(), DisplayOrder::kMaxWaiting);
  EXPECT_EQ(std::count(slots.begin(), slots.end(), 'x'), static_cast<long>(200 - order.Waiting()));
  EXPECT_EQ(Play(order, "c S300:0 d300 e"), "300");
}

// VC-1 gives a skipped picture out as its reference again, under the reference's tag.
TEST(DisplayOrder, RepeatUnderAnOlderTagStandsForTheNextPicture) {
  DisplayOrder order;
  order.Configure(false, 3, true);
  EXPECT_EQ(Play(order, "s0:1 s1:2 d0 s2:3 d0 s3:4 d0 d3 e"), "0 1 2 3");
}

}  // namespace
