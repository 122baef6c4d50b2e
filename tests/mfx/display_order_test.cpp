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
//   s<tag>:<number><<other>  sent, shown right before the picture numbered <other>
//   d<tag>  given out by libavcodec    r<tag>  refused    e  end of input
//   c  a seek: everything in flight forgotten
// Slots out, in order: <id> a decoded picture, x<tag> a placeholder for that picture,
// A picture's time stamp is its tag times 10.
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
        const size_t before = number.find('<');
        order.Sent(tag, tag * 10, number == "?" ? std::nullopt : std::optional<int64_t>(std::stoll(number)), kind == 'S',
                   0, false,
                   before == std::string::npos ? std::nullopt : std::optional<int64_t>(std::stoll(number.substr(before + 1))));
        break;
      }
      case 'd': order.Decoded(tag); break;
      case 'r': order.Refused(tag); break;
      case 'e': order.End(); break;
      case 'c': order.Clear(); break;
    }
    DisplayOrder::Slot slot;
    while (order.Next(&slot)) {
      if (!out.empty()) out += ' ';
      if (!slot.decoded) out += 'x';
      if (slot.decoded || slot.pts != DisplayOrder::kNoPts) out += std::to_string(slot.decoded ? slot.id : slot.pts / 10);
    }
  }
  return out;
}

struct Case {
  const char* what;
  int64_t hold;  // packets libavcodec may take to give a picture out
  std::string events;
  std::string slots;
};

TEST(DisplayOrder, OneSlotPerPictureSentInDisplayOrder) {
  const Case cases[] = {
      {"intact pictures come out as libavcodec gives them", 8,
       "S0:0 s1:6 s2:2 d0 s3:4 d2 d3 d1 s4:12 s5:8 d5 s6:10 d6 d4 e", "0 2 3 1 5 6 4"},
      {"a number no picture carries is no picture: no slot for it", 3, "S0:0 s1:6 s2:2 d0 d2 d1 s3:10 d3 e",
       "0 2 1 3"},
      {"a picture refused with its number read keeps its own slot", 8, "S0:0 s1:4 s2:2 r2 d0 d1 s3:6 d3 e",
       "0 x2 1 3"},
      {"an unreadable refused picture comes out once the pictures sent before it are out", 8,
       "S0:0 s1:4 s2:? r2 d0 d1 s3:6 d3 e", "0 1 x2 3"},
      {"a picture given out of turn goes to its own slot", 8, "S0:0 s1:6 s2:4 s3:2 d0 d2 d3 d1 e", "0 3 2 1"},
      {"a refusal that was another packet's is undone when the picture comes", 8, "S0:0 s1:4 s2:2 r2 d2 d0 d1 e",
       "0 2 1"},
      {"a picture libavcodec drops without a word gets its slot once it cannot come", 3,
       "S0:0 s1:4 s2:2 d0 d1 s3:8 s4:6 s5:10 d4 d3 d5 e", "0 x2 1 4 3 5"},
      {"at the end, pictures that did not come are placeholders in their slots", 8, "S0:0 s1:4 s2:2 d0 e",
       "0 x2 x1"},
      {"a restart counts from its own picture's number", 3, "S0:4 s1:8 s2:6 d0 d2 d1 S3:4 s4:6 d3 d4 e",
       "0 2 1 3 4"},
      {"without a number, libavcodec's order places a decoded picture", 3, "S0:? s1:? d0 s2:? r1 d2 e", "0 x1 2"},
      {"a second picture under a tag whose slot is out is dropped", 3, "S0:0 s1:4 s2:2 d0 d2 d2 d1 e", "0 2 1"},
      {"B pictures shown before the last anchor come after the refused pictures before it", 8,
       "S0:2 s1:0 r1 s2:1 r2 s3:3<2 d3 s4:4<2 d4 s5:8 d0 d5 e", "x1 x2 3 4 0 5"},
  };
  for (const Case& c : cases) {
    DisplayOrder order;
    order.Configure(c.hold);
    EXPECT_EQ(Play(order, c.events), c.slots) << c.what;
  }
}

// Each slot says which count and number place it, so the application can check it.
TEST(DisplayOrder, SlotsCarryTheirRestartAndNumber) {
  DisplayOrder order;
  order.Configure(3);
  order.Sent(0, 0, 4, true);
  order.Sent(1, 10, 8, false);
  order.Sent(2, 20, std::nullopt, false);
  order.Sent(3, 30, 4, true);
  for (int64_t tag : {0, 1, 2, 3}) order.Decoded(tag);
  order.End();
  struct Expected {
    int64_t restart;
    bool known;
    int64_t number;
  };
  const Expected expected[] = {{1, true, 4}, {1, true, 8}, {1, false, 0}, {2, true, 4}};
  for (const Expected& e : expected) {
    DisplayOrder::Slot slot;
    ASSERT_TRUE(order.Next(&slot));
    EXPECT_EQ(slot.restart, e.restart);
    EXPECT_EQ(slot.numberKnown, e.known);
    if (e.known) {
      EXPECT_EQ(slot.number, e.number);
    }
  }
}

// The bookkeeping stays bounded when libavcodec gives nothing out at all, and the slots of
// pictures sent before a seek never come out after it.
TEST(DisplayOrder, BoundedAndForgottenAtASeek) {
  DisplayOrder order;
  order.Configure(1000);
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
  order.Configure(3, true);
  EXPECT_EQ(Play(order, "s0:1 s1:2 d0 s2:3 d0 s3:4 d0 d3 e"), "0 1 2 3");
}

}  // namespace
