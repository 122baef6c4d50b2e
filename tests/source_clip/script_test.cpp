// Orvanto called the way a script calls it: the built plug-in is copied into a
// scratch folder (with a stand-in for the software engine library, and a
// stand-in indexer where a test needs one), loaded with dlopen by the host code
// and invoked with named arguments.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/plugin_library.h"
#include "host/script_environment.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
}

struct IndexShape {
  int width = 320;
  int height = 240;
  std::string clip = "0 0 0 0";
  int order = 0;
  int frames = 10;
  bool withGop = true;
  std::string magic = "VQAVCIndexFileJX14";
};

// An AVC index over one (dummy) elementary-stream source file.
std::string AvcIndex(const fs::path& source, const IndexShape& shape = {}) {
  std::ostringstream text;
  text << shape.magic << "\nwritten by the test\n\n" << source.string() << " 1000\n\n";
  text << "STREAM 0\nSIZ " << shape.width << " x " << shape.height << "\nFPS 30000 / 1001\nCLIP " << shape.clip
       << "\nORDER " << shape.order << "\nSPS 0\nPPS 20\n";
  if (shape.withGop) text << "IDR 40\n";
  for (int k = 0; k < shape.frames; ++k) text << "FRM " << (k ? 5 : 7) << " " << k << " 255 0\n";
  return text.str();
}

struct Outcome {
  std::string error;  // empty on success
  PClip clip;
  VideoInfo vi{};
};

class OrvantoScript : public testing::Test {
 protected:
  void SetUp() override {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = fs::path(testing::TempDir()) / ("orvanto_" + name + "_" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "work");
    fs::copy_file(TESSIVAR_PLUGIN, folder_ / "libtessivar.so");
    // Any loadable library stands in for the software engine: the clip only
    // checks that it loads.
    fs::copy_file(STAND_IN_LIBRARY, folder_ / ENGINE_FILE_NAME);
    oldDirectory_ = fs::current_path();
    fs::current_path(folder_ / "work");  // where Marlquin.def is looked for
    source_ = folder_ / "work" / "stream.264";
    WriteFile(source_, std::string(1000, '\0'));
    std::string error;
    ASSERT_TRUE(library_.Load((folder_ / "libtessivar.so").string(), &env_, &error)) << error;
  }

  void TearDown() override {
    fs::current_path(oldDirectory_);
    fs::remove_all(folder_);
  }

  Outcome Call(const std::vector<std::pair<const char*, AVSValue>>& arguments) {
    std::vector<AVSValue> values;
    std::vector<const char*> names;
    for (const auto& [name, value] : arguments) {
      names.push_back(name);
      values.push_back(value);
    }
    Outcome outcome;
    try {
      const AVSValue result =
          env_.Invoke("Orvanto", AVSValue(values.data(), static_cast<int>(values.size())), names.data());
      outcome.clip = result.AsClip();
      if (!outcome.clip) return {"(no clip returned)", PClip(), VideoInfo{}};
      outcome.vi = outcome.clip->GetVideoInfo();
    } catch (const HostScriptError& e) {
      outcome.error = e.what();
    }
    return outcome;
  }

  std::string CallError(const std::vector<std::pair<const char*, AVSValue>>& arguments) {
    return Call(arguments).error;
  }

  fs::path WriteIndex(const std::string& name, const IndexShape& shape = {}) {
    const fs::path path = folder_ / "work" / name;
    WriteFile(path, AvcIndex(source_, shape));
    return path;
  }

  // A stand-in indexer: records its arguments, one a line, then writes the index
  // prepared beside it at the path given after -o.
  void InstallIndexer(bool writesIndex = true) {
    const fs::path prepared = folder_ / "prepared.vqi";
    WriteFile(prepared, AvcIndex(source_, IndexShape{.width = 176, .height = 144}));
    std::ostringstream script;
    script << "#!/bin/sh\n"
           << "log=\"" << (folder_ / "halvern.log").string() << "\"\n"
           << "printf '%s\\n' \"$0\" \"$@\" > \"$log\"\n";
    if (writesIndex) script << "[ \"$3\" = -o ] && cp \"" << prepared.string() << "\" \"$4\"\n";
    script << "exit 0\n";
    InstallIndexerScript(script.str());
  }

  void InstallIndexerScript(const std::string& script) {
    const fs::path indexer = folder_ / "halvern";
    WriteFile(indexer, script);
    fs::permissions(indexer, fs::perms::owner_all);
  }

  fs::path folder_;
  fs::path oldDirectory_;
  fs::path source_;
  PluginLibrary library_;  // outlives the environment
  HostEnvironment env_;
};

// Runs `action` with standard error sent to a file; returns what was written.
template <typename Action>
std::string CaptureStandardError(Action action) {
  std::fflush(stderr);
  const std::string path = testing::TempDir() + "stderr_" + std::to_string(getpid());
  const int saved = dup(2);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, 2);
  close(file);
  action();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  const std::string text = ReadFile(path);
  std::remove(path.c_str());
  return text;
}

// Whether `text` is `pattern`, where each "*" of the pattern stands for any text.
bool MatchesPattern(const std::string& text, const std::string& pattern) {
  const size_t star = pattern.find('*');
  if (star == std::string::npos) return text == pattern;
  if (text.compare(0, star, pattern, 0, star) != 0) return false;
  const std::string rest = pattern.substr(star + 1);
  for (size_t from = star; from <= text.size(); ++from)
    if (MatchesPattern(text.substr(from), rest)) return true;
  return false;
}

TEST_F(OrvantoScript, ReadsAnIndexAndReportsTheClip) {
  const fs::path index = WriteIndex("clip.vqi");
  Outcome outcome = Call({{"vqi", AVSValue(index.c_str())}});
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.vi.width, 320);
  EXPECT_EQ(outcome.vi.height, 240);
  EXPECT_EQ(outcome.vi.pixel_type, VideoInfo::CS_YV12);
  EXPECT_EQ(outcome.vi.fps_numerator, 30000u);
  EXPECT_EQ(outcome.vi.fps_denominator, 1001u);
  EXPECT_EQ(outcome.vi.num_frames, 10);
  EXPECT_FALSE(outcome.vi.IsFieldBased());
  EXPECT_FALSE(outcome.vi.HasAudio());
  EXPECT_TRUE(outcome.clip->GetParity(0));

  outcome = Call({{"vqi", AVSValue(index.c_str())}, {"i420", AVSValue(true)}, {"engine", AVSValue(2)}});
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.vi.pixel_type, VideoInfo::CS_I420);
}

TEST_F(OrvantoScript, CropOrderAndOddSizes) {
  IndexShape shape;
  shape.width = 1920;
  shape.height = 1088;
  shape.clip = "8 8 4 4";
  shape.order = 2;
  Outcome outcome = Call({{"vqi", AVSValue(WriteIndex("crop.vqi", shape).c_str())}});
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.vi.width, 1904);
  EXPECT_EQ(outcome.vi.height, 1080);
  EXPECT_FALSE(outcome.clip->GetParity(0));
  EXPECT_FALSE(outcome.clip->GetParity(7));
}

// Crops that leave an odd, empty or negative picture, that grow it beyond the coded
// size, or whose sum leaves the int32 range.
TEST_F(OrvantoScript, CropsOutOfRangeAreRefused) {
  const struct {
    int width, height;
    const char* clip;
    const char* size;
  } cases[] = {
      {1920, 1088, "1 0 0 0", "1919 x 1088"},
      {1920, 1088, "1000 1000 0 0", "-80 x 1088"},
      {320, 240, "0 0 0 -2", "320 x 242"},
      {320, 240, "-2 0 0 0", "322 x 240"},
      {320, 240, "0 0 0 -2147483648", "320 x 2147483888"},
      {320, 240, "2147483647 2147483647 0 0", "-4294966974 x 240"},
      {320, 240, "0 0 2147483647 2147483647", "320 x -4294967054"},
      {2147483646, 240, "-2 0 0 0", "2147483648 x 240"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clip);
    IndexShape shape;
    shape.width = c.width;
    shape.height = c.height;
    shape.clip = c.clip;
    EXPECT_EQ(CallError({{"vqi", AVSValue(WriteIndex("crop.vqi", shape).c_str())}}),
              std::string("Orvanto: The index gives an unusable picture size of ") + c.size + ".");
  }
}

TEST_F(OrvantoScript, TheHostCallsTheClipByRawSlot) {
  Outcome outcome = Call({{"vqi", AVSValue(WriteIndex("clip.vqi").c_str())}});
  ASSERT_EQ(outcome.error, "");
  IClip* clip = outcome.clip.get();
  void** vtable = *reinterpret_cast<void***>(clip);
  EXPECT_EQ(reinterpret_cast<int (*)(void*)>(vtable[0])(clip), 2);
  EXPECT_TRUE(reinterpret_cast<bool (*)(void*, int)>(vtable[2])(clip, 3));
  reinterpret_cast<void (*)(void*, int, int)>(vtable[4])(clip, 509, 0);
  reinterpret_cast<void (*)(void*, int, int)>(vtable[4])(clip, 514, 1);
  const VideoInfo* vi = reinterpret_cast<const VideoInfo* (*)(void*)>(vtable[5])(clip);
  EXPECT_EQ(vi->width, 320);
  EXPECT_EQ(vi, &clip->GetVideoInfo());
}

TEST_F(OrvantoScript, EngineAndDeinterlaceChecks) {
  const fs::path index = WriteIndex("clip.vqi");
  EXPECT_EQ(CallError({{"vqi", AVSValue(index.c_str())}, {"engine", AVSValue(3)}}),
            "Invalid engine parameter in script!");
  EXPECT_EQ(CallError({{"vqi", AVSValue(index.c_str())}, {"engine", AVSValue(-1)}}),
            "Invalid engine parameter in script!");
  EXPECT_EQ(CallError({{"vqi", AVSValue(index.c_str())}, {"engine", AVSValue(2)}}), "");
  EXPECT_EQ(CallError({{"vqi", AVSValue(index.c_str())}, {"deinterlace", AVSValue(1)}}),
            "Orvanto: Deinterlacing not yet supported.");
  EXPECT_EQ(CallError({{"vqi", AVSValue(index.c_str())}, {"deinterlace", AVSValue(-1)}}), "");
}

TEST_F(OrvantoScript, DefaultsFileMergesWithTheScript) {
  const fs::path index = WriteIndex("from file.vqi");
  WriteFile("Marlquin.def", "# defaults\nvqi=\"" + index.string() + "\"\nengine=3\ni420=true\n");
  // The path and i420 from the file; the file's engine 3 is overridden.
  Outcome outcome = Call({{"engine", AVSValue(2)}});
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.vi.pixel_type, VideoInfo::CS_I420);
  EXPECT_EQ(CallError({}), "Invalid engine parameter in script!");
  // A script argument of the wrong type does not override.
  EXPECT_EQ(Call({{"engine", AVSValue(2)}, {"i420", AVSValue(false)}}).vi.pixel_type, VideoInfo::CS_YV12);

  // True with a capital T is false.
  WriteFile("Marlquin.def", "vqi=\"" + index.string() + "\"\ni420=True\n");
  EXPECT_EQ(Call({}).vi.pixel_type, VideoInfo::CS_YV12);
  // An unquoted path is no path.
  WriteFile("Marlquin.def", "vqi=" + index.string() + "\n");
  EXPECT_EQ(CallError({}), "Orvanto: Cannot open index file!");
}

TEST_F(OrvantoScript, EmptyOrUnreadableDefaultsFile) {
  WriteFile("Marlquin.def", "");
  EXPECT_EQ(CallError({}), "Orvanto: Cannot open index file!");
  fs::remove("Marlquin.def");
  fs::create_directory("Marlquin.def");  // cannot be read as a file
  EXPECT_EQ(CallError({}), "Orvanto: Cannot open index file!");
  const fs::path index = WriteIndex("clip.vqi");
  EXPECT_EQ(CallError({{"vqi", AVSValue(index.c_str())}}), "");
}

TEST_F(OrvantoScript, IndexFilesThatCannotBeUsed) {
  EXPECT_EQ(CallError({{"vqi", AVSValue((folder_ / "missing.vqi").c_str())}}), "Orvanto: Cannot open index file!");
  WriteFile("empty.vqi", "");
  EXPECT_EQ(CallError({{"vqi", AVSValue("empty.vqi")}}), "Orvanto: Invalid index file!");
  WriteFile("binary.vqi", std::string("\x7f\x45\x4c\x46\x02\x01\x01\x00\xff\xfe", 10) + std::string(3000, '\0'));
  EXPECT_EQ(CallError({{"vqi", AVSValue("binary.vqi")}}), "Orvanto: Invalid index file!");
  WriteFile("almost.vqi", std::string("VQA\0\xff\xfe\n", 7) + std::string(3000, '\xff'));
  EXPECT_EQ(CallError({{"vqi", AVSValue("almost.vqi")}}), "Orvanto: The input file is not a VQ project file.");
  WriteFile("newline.vqi", "\n\n\n");
  EXPECT_EQ(CallError({{"vqi", AVSValue("newline.vqi")}}), "Orvanto: Invalid index file!");

  IndexShape shape;
  shape.magic = "VQAVCIndexFileJX13";
  EXPECT_EQ(CallError({{"vqi", AVSValue(WriteIndex("old.vqi", shape).c_str())}}).rfind(
                "Orvanto: Cobrisk/Marlquin mismatch. You are picking up\na version of Marlquin", 0),
            0u);
  shape = IndexShape();
  shape.withGop = false;
  EXPECT_EQ(CallError({{"vqi", AVSValue(WriteIndex("nogop.vqi", shape).c_str())}}), "Orvanto: No GOPs found.");
  shape = IndexShape();
  shape.frames = 0;
  EXPECT_EQ(CallError({{"vqi", AVSValue(WriteIndex("noframes.vqi", shape).c_str())}}),
            "Orvanto: The index file lists no frames.");
  fs::remove(source_);
  EXPECT_EQ(CallError({{"vqi", AVSValue(WriteIndex("nosource.vqi").c_str())}}),
            "Orvanto: Could not open one of the input files.");
}

TEST_F(OrvantoScript, PathsThatNameTheIndexDirectly) {
  // Upper-case extension: taken as the index file (file names keep their case).
  WriteFile("CLIP.VQI", AvcIndex(source_));
  EXPECT_EQ(CallError({{"vqi", AVSValue("CLIP.VQI")}}), "");
  // An extension that only begins with vqi counts too.
  WriteFile("clip.vqix", AvcIndex(source_));
  EXPECT_EQ(CallError({{"vqi", AVSValue("clip.vqix")}}), "");
  // No dot at all: opened unchanged.
  WriteFile("indexfile", AvcIndex(source_));
  EXPECT_EQ(CallError({{"vqi", AVSValue("indexfile")}}), "");
  // A source whose index exists: no indexer is started (there is none here).
  WriteFile(source_.string() + ".vqi", AvcIndex(source_));
  EXPECT_EQ(CallError({{"vqi", AVSValue(source_.c_str())}}), "");
}

TEST_F(OrvantoScript, AbsurdlyLongPathsAreRefused) {
  const std::string longPath = "/" + std::string(5000, 'a') + ".vqi";
  EXPECT_EQ(CallError({{"vqi", AVSValue(longPath.c_str())}}), "Orvanto: The path is too long (more than 1023 characters).");
  const std::string limit = "/" + std::string(1018, 'b') + ".264";  // 1023: the index path would be 1027
  EXPECT_EQ(CallError({{"vqi", AVSValue(limit.c_str())}}), "Orvanto: The path is too long (more than 1019 characters).");
  // Within the buffer but too long for the indexer's command line.
  InstallIndexer();
  const std::string deep = "/" + std::string(600, 'c') + ".264";
  EXPECT_EQ(CallError({{"vqi", AVSValue(deep.c_str())}}),
            "Orvanto: The indexer command line would be longer than 1023 characters.");
  EXPECT_FALSE(fs::exists(folder_ / "halvern.log"));
}

TEST_F(OrvantoScript, MissingSoftwareEngineLibrary) {
  fs::remove(folder_ / ENGINE_FILE_NAME);
  EXPECT_EQ(CallError({{"vqi", AVSValue(WriteIndex("clip.vqi").c_str())}}),
            std::string("Orvanto: cannot load ") + ENGINE_FILE_NAME);
}

TEST_F(OrvantoScript, SourceWithoutIndexStartsTheIndexer) {
  InstallIndexer();
  const fs::path source = folder_ / "work" / "My Clip.264";
  WriteFile(source, "x");
  Outcome outcome;
  const std::string notice = CaptureStandardError([&] { outcome = Call({{"vqi", AVSValue(source.c_str())}}); });
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.vi.width, 176);  // from the index the indexer wrote
  EXPECT_EQ(outcome.vi.height, 144);
  const std::string indexPath = source.string() + ".vqi";
  EXPECT_EQ(ReadFile(folder_ / "halvern.log"),
            (folder_ / "halvern").string() + "\n-i\n" + source.string() + "\n-o\n" + indexPath + "\n-a\n");
  EXPECT_NE(notice.find("Generating index file for your stream... Please wait patiently"), std::string::npos);
  EXPECT_NE(notice.find("Tessivar"), std::string::npos);

  // Silent: the same run without the notice.
  fs::remove(indexPath);
  const std::string quiet = CaptureStandardError(
      [&] { outcome = Call({{"vqi", AVSValue(source.c_str())}, {"silent", AVSValue(true)}}); });
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(quiet.find("Generating index file"), std::string::npos);
}

TEST_F(OrvantoScript, IndexerThatWritesNothingOrIsMissing) {
  EXPECT_EQ(CallError({{"vqi", AVSValue(source_.c_str())}, {"silent", AVSValue(true)}}),
            "Orvanto: cannot start Halvern");
  InstallIndexer(false);
  EXPECT_EQ(CallError({{"vqi", AVSValue(source_.c_str())}, {"silent", AVSValue(true)}}),
            "Orvanto: Cannot open index file!");
  EXPECT_TRUE(fs::exists(folder_ / "halvern.log"));
  const std::string quoted = (folder_ / "work" / "a\"b.264").string();
  EXPECT_EQ(CallError({{"vqi", AVSValue(quoted.c_str())}, {"silent", AVSValue(true)}}),
            "Orvanto: cannot start Halvern for a path with a double quote or a trailing backslash.");
}

// An indexer that fails gives one script error that says how it ended and quotes its
// last line; nothing it prints reaches the host's standard output or error, whether
// it fails or not.
TEST_F(OrvantoScript, IndexerThatFailsGivesOneLineSayingWhy) {
  const std::string prepared = (folder_ / "prepared.vqi").string();
  WriteFile(prepared, AvcIndex(source_, IndexShape{.width = 176, .height = 144}));
  const struct {
    const char* name;
    std::string script;
    const char* error;  // the whole text, where "*" stands for any text; empty: the clip opens
  } cases[] = {
      {"traceback",
       "#!/bin/sh\necho 'Traceback (most recent call last):' >&2\necho '  File \"halvern\", line 19' >&2\n"
       "echo \"ModuleNotFoundError: No module named 'halvern_mkv'\" >&2\nexit 1\n",
       "Orvanto: Halvern failed (exit status 1): ModuleNotFoundError: No module named 'halvern_mkv'"},
      // The quotes around the name follow the locale.
      {"interpreter missing", "#!/usr/bin/env tessivar-no-such-interpreter\n",
       "Orvanto: Halvern failed (exit status 127): /usr/bin/env: *tessivar-no-such-interpreter*: No such file or "
       "directory"},
      {"killed", "#!/bin/sh\necho 'indexing...'\nkill -9 $$\n", "Orvanto: Halvern failed (signal 9): indexing..."},
      {"silent failure", "#!/bin/sh\nexit 3\n", "Orvanto: Halvern failed (exit status 3)."},
      {"chatty success",
       "#!/bin/sh\necho 'progress on standard output'\necho 'warning on standard error' >&2\ncp \"" + prepared +
           "\" \"$4\"\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallIndexerScript(c.script);
    fs::remove(source_.string() + ".vqi");
    Outcome outcome;
    testing::internal::CaptureStdout();
    const std::string printed = CaptureStandardError(
        [&] { outcome = Call({{"vqi", AVSValue(source_.c_str())}, {"silent", AVSValue(true)}}); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(MatchesPattern(outcome.error, c.error)) << outcome.error;
  }
}

TEST_F(OrvantoScript, ManyClipsLiveAndDieIndependently) {
  const fs::path index = WriteIndex("clip.vqi");
  std::vector<PClip> clips;
  for (int i = 0; i < 4; ++i) {
    Outcome outcome = Call({{"vqi", AVSValue(index.c_str())}, {"fieldop", AVSValue(i % 3)}});
    ASSERT_EQ(outcome.error, "");
    clips.push_back(outcome.clip);
  }
  clips.erase(clips.begin() + 1);
  EXPECT_EQ(clips[1]->GetVideoInfo().width, 320);
  clips.clear();
}

}  // namespace
