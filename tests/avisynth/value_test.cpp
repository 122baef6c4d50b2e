// Script values and counted handles: the reference rules the host relies on.
#include <gtest/gtest.h>

#include "platform/avisynth/avisynth_interface.h"

namespace {

class CountedClip : public IClip {
 public:
  explicit CountedClip(int* deletions) : deletions_(deletions) {}
  ~CountedClip() override { ++*deletions_; }
  int GetVersion() override { return 3; }
  PVideoFrame GetFrame(int, IScriptEnvironment*) override { return PVideoFrame(); }
  bool GetParity(int) override { return false; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  int* deletions_;
  VideoInfo vi_{};
};

TEST(AvisynthValue, ClipValuesCountReferencesAndDeleteAtZero) {
  int deletions = 0;
  {
    AVSValue a(static_cast<IClip*>(new CountedClip(&deletions)));
    AVSValue b = a;
    AVSValue c;
    c = b;
    c = c;  // self-assignment keeps the clip
    a = AVSValue(5);
    EXPECT_EQ(deletions, 0);
    EXPECT_TRUE(c.IsClip());
    PClip handle = c.AsClip();
    b = AVSValue();
    c = AVSValue("text");
    EXPECT_EQ(deletions, 0);  // the handle still holds it
  }
  EXPECT_EQ(deletions, 1);
}

TEST(AvisynthValue, TypesAndNeutralAccessors) {
  const AVSValue undefined;
  EXPECT_FALSE(undefined.Defined());
  EXPECT_EQ(undefined.GetType(), 'v');
  EXPECT_EQ(AVSValue(true).GetType(), 'b');
  EXPECT_TRUE(AVSValue(true).AsBool());
  EXPECT_EQ(AVSValue(-3).AsInt(), -3);
  EXPECT_TRUE(AVSValue(2).IsFloat());  // an int serves where a float is declared
  EXPECT_FLOAT_EQ(AVSValue(2).AsFloat(), 2.0f);
  EXPECT_STREQ(AVSValue("p").AsString(), "p");
  // Asking for the wrong type gives the neutral value, or the default given.
  EXPECT_EQ(AVSValue("p").AsInt(), 0);
  EXPECT_EQ(AVSValue("p").AsInt(9), 9);
  EXPECT_FALSE(AVSValue(1).AsBool());
  EXPECT_EQ(AVSValue(1).AsString(), nullptr);
}

TEST(AvisynthValue, ArraysAreShallowAndIndexOutOfRangeGivesTheValue) {
  AVSValue elements[3] = {AVSValue(1), AVSValue("two"), AVSValue()};
  const AVSValue array(elements, 3);
  EXPECT_EQ(array.ArraySize(), 3);
  EXPECT_EQ(&array[1], &elements[1]);
  const AVSValue copy = array;  // points at the same elements
  EXPECT_EQ(&copy[2], &elements[2]);
  EXPECT_EQ(&array[3], &array);
  EXPECT_EQ(&array[-1], &array);
  const AVSValue single(4);
  EXPECT_EQ(single.ArraySize(), 1);
  EXPECT_EQ(&single[0], &single);
}

}  // namespace
