// Marlquin.def: the line pieces, the key rules and the merge with the script.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/avisynth/avisynth_interface.h"
#include "source/defaults_file.h"

namespace {

ScriptSettings ReadText(const std::string& text) {
  // Tests run as parallel processes: one file per test.
  const std::string path = testing::TempDir() + "defaults_" +
                           testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                           std::to_string(getpid()) + ".def";
  {
    std::ofstream file(path, std::ios::binary);
    file << text;
  }
  ScriptSettings settings;
  ReadDefaultsFile(path.c_str(), &settings);
  std::remove(path.c_str());
  return settings;
}

TEST(DefaultsFile, MissingOrEmptyFileKeepsTheBuiltInDefaults) {
  ScriptSettings settings;
  ReadDefaultsFile("/nonexistent/Marlquin.def", &settings);
  EXPECT_EQ(settings.vqi, "");
  EXPECT_EQ(settings.engine, 0);
  EXPECT_FALSE(settings.i420 || settings.debug || settings.silent);
  settings = ReadText("");
  EXPECT_EQ(settings.engine, 0);
  EXPECT_EQ(settings.vqi, "");
  // A folder cannot be read as a file: nothing changes, nothing breaks.
  ReadDefaultsFile(testing::TempDir().c_str(), &settings);
  EXPECT_EQ(settings.fieldop, 0);
}

TEST(DefaultsFile, KeysAndValues) {
  ScriptSettings settings = ReadText(
      "vqi=\"/media/clip one.vqi\"\n"
      "engine=  -2xyz\n"
      "i420=true\n"
      "deinterlace=+3\n"
      "fieldop=1\n"
      "debug=t\n"
      "silent=true\r\n");
  EXPECT_EQ(settings.vqi, "/media/clip one.vqi");
  EXPECT_EQ(settings.engine, -2);
  EXPECT_TRUE(settings.i420);
  EXPECT_EQ(settings.deinterlace, 3);
  EXPECT_EQ(settings.fieldop, 1);
  EXPECT_TRUE(settings.debug);
  EXPECT_TRUE(settings.silent);
}

TEST(DefaultsFile, FormatRulesThatLookSurprising) {
  // Booleans: only a lower-case t is true.
  ScriptSettings settings = ReadText("debug=True\ni420=1\nsilent=yes\n");
  EXPECT_FALSE(settings.debug);
  EXPECT_FALSE(settings.i420);
  EXPECT_FALSE(settings.silent);
  // An unquoted path, or a blank before the quote, gives the empty path.
  EXPECT_EQ(ReadText("vqi=\"/a.vqi\"\nvqi=/b.vqi\n").vqi, "");
  EXPECT_EQ(ReadText("vqi= \"/b.vqi\"\n").vqi, "");
  // Keys are case-sensitive and allow no leading blank; other lines are comments.
  settings = ReadText(" silent=true\nENGINE=2\n# engine=2\nengine=\n");
  EXPECT_FALSE(settings.silent);
  EXPECT_EQ(settings.engine, 0);
  // The last occurrence wins; recognised keys without effect change nothing.
  settings = ReadText("engine=2\ncrop_t=8\nresize_w=640\nuse_pf=1\nuse_top_field=1\nengine=1\n");
  EXPECT_EQ(settings.engine, 1);
  EXPECT_EQ(settings.fieldop, 0);
  EXPECT_EQ(ReadText("engine=99999999999999999999\n").engine, 2147483647);
}

TEST(DefaultsFile, LongLinesAreReadInPiecesOf79) {
  // 79 characters of padding, then a key: the key starts a piece of its own.
  const std::string padding(79, 'x');
  EXPECT_EQ(ReadText(padding + "engine=2\n").engine, 2);
  // With 78 the key sits inside the first piece and is not at its start.
  EXPECT_EQ(ReadText(std::string(78, 'x') + "engine=2\n").engine, 0);
  // A quoted path whose closing quote falls into the next piece is not taken.
  EXPECT_EQ(ReadText("vqi=\"" + std::string(80, 'p') + "\"\n").vqi, "");
  // The longest path a piece can carry.
  const std::string path(73, 'p');
  EXPECT_EQ(ReadText("vqi=\"" + path + "\"\n").vqi, path);
}

TEST(DefaultsFile, LinesWithoutValueOrWithBinaryBytes) {
  EXPECT_EQ(ReadText("vqi=\"/keep.vqi\"\nvqi\nvqi \"x\"\n").vqi, "/keep.vqi");
  EXPECT_EQ(ReadText(std::string("engine=2\0\xff\xfe\n", 12) + "fieldop=2\n").fieldop, 2);
  EXPECT_EQ(ReadText(std::string(5000, '\0')).engine, 0);
}

TEST(DefaultsFile, ScriptArgumentsOfTheRightTypeWin) {
  ScriptSettings settings;
  settings.vqi = "/from/file.vqi";
  settings.engine = 2;
  settings.silent = true;
  AVSValue args[7] = {AVSValue(), AVSValue(1), AVSValue(true), AVSValue("3"), AVSValue(2), AVSValue(), AVSValue()};
  MergeScriptArguments(AVSValue(args, 7), &settings);
  EXPECT_EQ(settings.vqi, "/from/file.vqi");
  EXPECT_EQ(settings.engine, 1);
  EXPECT_TRUE(settings.i420);
  EXPECT_EQ(settings.deinterlace, 0);  // a string is not an int: the file's value stays
  EXPECT_EQ(settings.fieldop, 2);
  EXPECT_TRUE(settings.silent);

  // A short array leaves the missing parameters alone.
  AVSValue two[2] = {AVSValue("/script.vqi"), AVSValue(0)};
  MergeScriptArguments(AVSValue(two, 2), &settings);
  EXPECT_EQ(settings.vqi, "/script.vqi");
  EXPECT_EQ(settings.engine, 0);
  EXPECT_EQ(settings.fieldop, 2);
}

}  // namespace
