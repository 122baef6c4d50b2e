// Index files of each kind read through the plug-in by the command-line host: the
// clip's properties, and the script error for each reader result.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

struct HostResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class IndexHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-index-host-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    WriteFile("video.bin", std::string(4096, '\0'));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string WriteFile(const std::string& name, const std::string& content) {
    std::ofstream((dir_ / name), std::ios::binary) << content;
    return (dir_ / name).string();
  }

  // An index file: magic, free lines, the one source file, then the keyword lines.
  std::string WriteIndex(const std::string& name, const std::string& magic, const std::string& body) {
    return WriteFile(name, magic + "\nfree\nfree\n" + (dir_ / "video.bin").string() + " 4096\n\n" + body);
  }

  // Runs the host in the test folder (no defaults file there) with the software engine.
  HostResult RunHost(const std::string& indexPath, const std::string& options) {
    const std::filesystem::path outPath = dir_ / "host.out";
    const std::filesystem::path errPath = dir_ / "host.err";
    // The host's own time limit, well inside the test's, turns a hang into a failure.
    const std::string command = "cd '" + dir_.string() + "' && timeout -k 5 240 " TESSIVAR_TEST_LAUNCHER "'" TESSIVAR_HOST_PROGRAM "' --plugin '" TESSIVAR_PLUGIN
                                "' --engine 2 --silent true --vqi '" + indexPath + "' " + options + " >'" +
                                outPath.string() + "' 2>'" + errPath.string() + "'";
    HostResult result;
    const int raw = system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadWhole(outPath);
    result.err = ReadWhole(errPath);
    return result;
  }

  // The "key: value" lines the host prints for a clip.
  static std::map<std::string, std::string> Properties(const std::string& out) {
    std::map<std::string, std::string> properties;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      const size_t colon = line.find(": ");
      if (colon != std::string::npos) properties[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return properties;
  }

  std::filesystem::path dir_;
};

TEST_F(IndexHostTest, ClipPropertiesOfEachIndexKind) {
  struct Case {
    std::string name;
    std::string magic;
    std::string body;
    std::string options;
    std::map<std::string, std::string> expected;
  };
  std::string avcFrames, mpegFrames, vc1Frames;
  for (int i = 0; i < 10; ++i) avcFrames += "FRM " + std::string(i == 0 ? "2" : "0") + " " + std::to_string(i) + " 3 0\n";
  for (int i = 0; i < 10; ++i) mpegFrames += std::string("FRM ") + (i == 0 ? "I" : "P") + " 0 0 0 1\n";
  for (int i = 0; i < 4; ++i) vc1Frames += "FRM 0 0 1\n";
  const Case cases[] = {
      {"AVC, crop, one frame per coded frame", "VQAVCIndexFileJX14",
       "STREAM 0\nSIZ 1920 x 1088\nCLIP 8 8 4 4\nFPS 30000 / 1001\nORDER 1\nSPS 0\nPPS 10\nIDR 0\n" + avcFrames,
       "--fieldop 2 --i420 false",
       {{"width", "1904"},
        {"height", "1080"},
        {"pixel type", "YV12"},
        {"frames", "10"},
        {"parity", "top field first"}}},
      {"MPEG-2, force film", "VQMPGIndexFileJX14",
       "STREAM 0\nSIZ 720 x 480\nCLIP 0 0 0 0\nFPS 30000 / 1001\nORDER 2\nSEQ 0\nGOP 1 0\n" + mpegFrames,
       "--fieldop 1 --i420 true",
       {{"width", "720"},
        {"height", "480"},
        {"pixel type", "I420"},
        {"frames", "8"},  // the third and the eighth frame are dropped
        {"parity", "bottom field first"}}},
      {"VC-1, repeat counts", "VQVC1IndexFileJX14",
       "STREAM 0\nSIZ 320 x 240\nCLIP 0 0 0 16\nFPS 25 / 1\nSEQ 0 0 0 0 1u\nENTRY 0 1\n" + vc1Frames, "--fieldop 0",
       {{"width", "320"},
        {"height", "224"},
        {"pixel type", "YV12"},
        {"frames", "8"},
        {"parity", "top field first"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string index = WriteIndex("clip.vqi", c.magic, c.body);
    const HostResult result = RunHost(index, c.options);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto properties = Properties(result.out);
    for (const auto& [key, value] : c.expected) {
      ASSERT_TRUE(properties.count(key)) << key << " missing in:\n" << result.out;
      EXPECT_EQ(properties.at(key), value) << key;
    }
  }
}

TEST_F(IndexHostTest, FrameRateUnderForceFilm) {
  const std::string index = WriteIndex("rate.vqi", "VQMPGIndexFileJX14",
                                       "SIZ 720 x 480\nFPS 30000 / 1001\nSEQ 0\nGOP 1 0\nFRM I 0 0 0 1\n");
  const HostResult film = RunHost(index, "--fieldop 1");
  ASSERT_EQ(film.status, 0) << film.err;
  EXPECT_EQ(Properties(film.out)["frame rate"].substr(0, 10), "24000/1001");
  const HostResult plain = RunHost(index, "--fieldop 2");
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(Properties(plain.out)["frame rate"].substr(0, 10), "30000/1001");
}

TEST_F(IndexHostTest, ReaderResultsBecomeScriptErrors) {
  const std::string frames = "SIZ 64 x 64\nFPS 25 / 1\nIDR 0\nFRM 2 0 3 0\n";
  struct Case {
    std::string name;
    std::string content;  // whole index file; empty: an index built from magic and body
    std::string magic;
    std::string body;
    std::string options;
    std::string message;
  };
  const Case cases[] = {
      {"other version", "", "VQAVCIndexFileJX13", frames, "",
       "Orvanto: Cobrisk/Marlquin mismatch. You are picking up\na version of Marlquin, possibly from your plugins "
       "directory,\nthat does not match the version of Cobrisk used to make the index\nfile. Search your hard disk "
       "for all copies of Marlquin.dll\nand delete or rename all of them except for the one that\nhas the same "
       "version number as the Cobrisk.exe that was used\nto make the index file."},
      {"missing source file", "VQAVCIndexFileJX14\nfree\nfree\n/nonexistent/tessivar/video.264 10\n\n" + frames, "",
       "", "", "Orvanto: Could not open one of the input files."},
      {"not an index", "VQA project notes\nfree\n", "", "", "", "Orvanto: The input file is not a VQ project file."},
      {"no GOP", "", "VQAVCIndexFileJX14", "SIZ 64 x 64\nFRM 2 0 3 0\n", "", "Orvanto: No GOPs found."},
      {"force film with frame repeats", "", "VQAVCIndexFileJX14", "SIZ 64 x 64\nIDR 0\nFRM 2 0 7 0\n", "--fieldop 1",
       "Orvanto: Force Film mode not supported with frame repeats.\nRefer to the Cobrisk Users Manual."},
      {"STREAM 2 over a file that is not Matroska", "", "VQAVCIndexFileJX14", "STREAM 2\n" + frames, "",
       "Orvanto: Could not parse the Matroska file."},
      {"MP4 source that is not MP4", "", "VQMPGIndexFileJX14", "STREAM 4\nSIZ 64 x 64\nSEQ 0\nFRM I 0 0 0 1\n", "",
       "Orvanto: Could not parse the Matroska file."},
      {"empty index file", "\n", "", "", "", "Orvanto: Invalid index file!"},
      {"unknown codec letter", "VQXIndexFileJX14\n", "", "", "", "Orvanto: Invalid index file!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string index =
        c.content.empty() ? WriteIndex("bad.vqi", c.magic, c.body) : WriteFile("bad.vqi", c.content);
    const HostResult result = RunHost(index, c.options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: " + c.message + "\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(IndexHostTest, CropThatLeavesNoPictureIsRefused) {
  for (const char* crop : {"CLIP 32 32 0 0", "CLIP 0 0 40 40", "CLIP 0 100 0 0", "CLIP 0 0 -1 65"}) {
    SCOPED_TRACE(crop);
    const std::string index = WriteIndex("crop.vqi", "VQAVCIndexFileJX14",
                                         std::string("SIZ 64 x 64\n") + crop + "\nIDR 0\nFRM 2 0 3 0\n");
    const HostResult result = RunHost(index, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("error: Orvanto: ", 0), 0u) << result.err;
  }
}

// Sources that are no stream file: devices that never end give up at the first
// frame's priming, folders and empty devices are files that cannot be opened.
TEST_F(IndexHostTest, SourcesThatAreNoStreamFile) {
  const struct {
    const char* source;
    int streamKind;
    const char* message;
  } cases[] = {
      {"/dev/zero", 1, "DecodeHeader() failed."},
      {"/dev/zero", 3, "DecodeHeader() failed."},
      {"/dev/urandom", 1, "DecodeHeader() failed."},
      {"/dev/urandom", 3, "DecodeHeader() failed."},
      {"/dev/zero", 0, "DecodeHeader() failed."},
      {"/dev/null", 1, "Orvanto: Could not open one of the input files."},
      {"/dev/null", 0, "Orvanto: Could not open one of the input files."},
      {"/", 3, "Orvanto: Could not open one of the input files."},
      {".", 0, "Orvanto: Could not open one of the input files."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " as stream kind " + std::to_string(c.streamKind));
    const std::string index = WriteFile(
        "device.vqi", "VQMPGIndexFileJX14\nfree\nfree\n" + std::string(c.source) + " 100000000\n\nSTREAM " +
                          std::to_string(c.streamKind) +
                          "\nVPID 4113\nSIZ 64 x 64\nFPS 25 / 1\nSEQ 0\nGOP 1 0\nFRM I 0 0 0 1\n");
    const HostResult result = RunHost(index, "--frames 0 --md5");
    EXPECT_EQ(result.status, 1);
    const std::string last = std::string("error: ") + c.message + "\n";
    ASSERT_GE(result.err.size(), last.size()) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - last.size()), last) << result.err;
  }
}

// A host that pipes video on standard output gets nothing else there: the decode
// side's diagnostics and the host's error go to standard error.
TEST_F(IndexHostTest, EngineFailureLeavesStandardOutputToTheVideo) {
  const std::string index = WriteIndex("plain.vqi", "VQAVCIndexFileJX14", "SIZ 64 x 64\nFPS 25 / 1\nIDR 0\nFRM 2 0 3 0\n");
  const std::string out = (dir_ / "video.y4m").string();
  const std::string err = (dir_ / "video.err").string();
  const std::string command = "cd '" + dir_.string() + "' && timeout -k 5 240 " TESSIVAR_TEST_LAUNCHER "'" TESSIVAR_HOST_PROGRAM "' --plugin '"
                              TESSIVAR_PLUGIN "' --vqi '" + index + "' --engine 1 --y4m - 2>'" + err +
                              "' | head -c 16 >'" + out + "'";
  ASSERT_EQ(system(command.c_str()), 0);
  const std::string diagnostics = ReadWhole(err);
  if (diagnostics.find("error: ") == std::string::npos) GTEST_SKIP() << "this machine decodes on hardware";
  EXPECT_EQ(ReadWhole(out), "");
  EXPECT_NE(diagnostics.find("\nReturn on error: error code "), std::string::npos) << diagnostics;
  EXPECT_NE(diagnostics.find("error: Pipeline init failed. Specified decode engine not available.\n"),
            std::string::npos)
      << diagnostics;
}

}  // namespace
