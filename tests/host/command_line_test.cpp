// The host's command line and frame lists.
#include <gtest/gtest.h>

#include "host/command_line.h"

namespace {

bool Parse(std::vector<const char*> args, HostOptions* options, std::string* error) {
  args.insert(args.begin(), "tessivar-host");
  return ParseHostCommandLine(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(HostCommandLine, OneOptionPerScriptParameter) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--vqi", "a b.vqi", "--engine=-2", "--i420", "true", "--debug=false", "--md5"}, &options,
                    &error))
      << error;
  EXPECT_EQ(options.vqi, "a b.vqi");
  EXPECT_EQ(options.engine, -2);
  EXPECT_EQ(options.i420, true);
  EXPECT_EQ(options.debug, false);
  EXPECT_FALSE(options.silent.has_value());
  EXPECT_FALSE(options.fieldop.has_value());
  EXPECT_FALSE(options.deinterlace.has_value());
  EXPECT_TRUE(options.md5);
  EXPECT_TRUE(options.ServesFrames());
}

TEST(HostCommandLine, RefusesWhatItCannotPass) {
  HostOptions options;
  std::string error;
  EXPECT_FALSE(Parse({"--engine", "two"}, &options, &error));
  EXPECT_FALSE(Parse({"--engine", "99999999999"}, &options, &error));
  EXPECT_FALSE(Parse({"--engine", " 2"}, &options, &error));
  EXPECT_FALSE(Parse({"--i420", "True"}, &options, &error));
  EXPECT_FALSE(Parse({"--silent"}, &options, &error));
  EXPECT_FALSE(Parse({"--md5=yes"}, &options, &error));
  EXPECT_FALSE(Parse({"--colour", "red"}, &options, &error));
  EXPECT_NE(error.find("--colour"), std::string::npos);
  EXPECT_FALSE(Parse({"clip.vqi"}, &options, &error));
}

TEST(HostCommandLine, FrameLists) {
  FrameRanges ranges;
  std::string error;
  ASSERT_TRUE(ParseFrameList("", 5, &ranges, &error));
  EXPECT_EQ(ranges, (FrameRanges{{0, 4}}));
  ASSERT_TRUE(ParseFrameList("all", 5, &ranges, &error));
  EXPECT_EQ(ranges, (FrameRanges{{0, 4}}));
  ASSERT_TRUE(ParseFrameList("3,0-1,2-2", 5, &ranges, &error));
  EXPECT_EQ(ranges, (FrameRanges{{3, 3}, {0, 1}, {2, 2}}));
  EXPECT_FALSE(ParseFrameList("5", 5, &ranges, &error));
  EXPECT_NE(error.find("outside"), std::string::npos);
  EXPECT_FALSE(ParseFrameList("3-1", 5, &ranges, &error));
  EXPECT_FALSE(ParseFrameList("-1", 5, &ranges, &error));
  EXPECT_FALSE(ParseFrameList("1,", 5, &ranges, &error));
  EXPECT_FALSE(ParseFrameList("1-", 5, &ranges, &error));
  EXPECT_FALSE(ParseFrameList("x", 5, &ranges, &error));
}

}  // namespace
