// MP4 sources through the command-line host: the script errors of the two hand-off
// results, and damaged files (damaged after indexing, as a file changed on disk
// would be). A damaged file gives a clear "Orvanto: " error or the frames that can
// be decoded: never a crash, a hang, or (in the sanitizer tree, where the host runs
// with an allocation limit) an allocation beyond what the file's size justifies.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/accuracy_mp4/mp4_test_files.h"

namespace {

struct HostResult {
  int status = -1;  // exit status; 128 + n for signal n
  std::string out;
  std::string err;
};

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWhole(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

class Mp4HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-mp4-host-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // No allocation the host makes may exceed 256 MiB (honoured in the sanitizer tree).
  HostResult RunHost(const std::string& vqi, const std::string& options) {
    const std::filesystem::path outPath = dir_ / "host.out";
    const std::filesystem::path errPath = dir_ / "host.err";
    const std::string command =
        "cd '" + dir_.string() + "' && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}max_allocation_size_mb=256\" "
        "timeout 120 " TESSIVAR_TEST_LAUNCHER "'" TESSIVAR_HOST_PROGRAM "' --plugin '" TESSIVAR_PLUGIN "' --engine 2 --silent true --vqi '" +
        vqi + "' " + options + " >'" + outPath.string() + "' 2>'" + errPath.string() + "'";
    HostResult result;
    const int raw = system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = ReadWhole(outPath);
    result.err = ReadWhole(errPath);
    return result;
  }

  // The index of a copy of an MP4 test file, written by the test indexer.
  std::string IndexedCopy(const std::string& name, const std::string& copyName) {
    const std::filesystem::path copy = dir_ / copyName;
    std::filesystem::copy_file(Mp4TestFile(name), copy);
    const std::string index = (dir_ / (copyName + ".vqi")).string();
    const std::string command = "'" TESSIVAR_INDEXER "' -i '" + copy.string() + "' -o '" + index + "' >/dev/null";
    EXPECT_EQ(system(command.c_str()), 0) << command;
    return index;
  }

  std::filesystem::path dir_;
};

constexpr const char* kUnreadable = "Orvanto: Could not parse the Matroska file.";
constexpr const char* kNoVideo = "Orvanto: Could not find a video track in the Matroska file.";

TEST_F(Mp4HostTest, HandOffResultsBecomeScriptErrors) {
  if (!Mp4TestFileExists("audio_only.mp4")) GTEST_SKIP() << "MP4 test file missing: audio_only.mp4";
  const std::string notMp4 = (dir_ / "video.bin").string();
  WriteWhole(notMp4, std::string(4096, '\x47'));
  const std::string audio = Mp4TestFile("audio_only.mp4");
  struct Case {
    std::string source;
    std::string message;
  };
  const Case cases[] = {{notMp4, kUnreadable}, {audio, kNoVideo}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string index = (dir_ / "hand_off.vqi").string();
    WriteWhole(index, "VQAVCIndexFileJX14\nfree\nfree\n" + c.source + " " +
                          std::to_string(std::filesystem::file_size(c.source)) +
                          "\n\nSTREAM 4\nSIZ 64 x 64\nFPS 25 / 1\nIDR 0\nFRM 2 0 3 0\n");
    const HostResult result = RunHost(index, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, std::string("error: ") + c.message + "\n");
  }
}

// Offset of the count field of the first table box `type` after the moov box.
size_t TableCount(const std::string& bytes, const std::string& type) {
  const size_t moov = bytes.find("moov");
  const size_t box = bytes.find(type, moov == std::string::npos ? 0 : moov);
  if (box == std::string::npos) throw std::runtime_error("no " + type);
  return box + 4 + 4 + (type == "stsz" ? 4 : 0);
}

void Put32(std::string* bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; ++k) (*bytes)[at + size_t(k)] = char((value >> (24 - 8 * k)) & 0xFF);
}

TEST_F(Mp4HostTest, DamagedFilesGiveAnErrorOrTheFramesThatDecode) {
  for (const char* name : {"avc_closed.mp4", "avc_closed_faststart.mp4"})
    if (!Mp4TestFileExists(name)) GTEST_SKIP() << "MP4 test file missing: " << name;
  struct Case {
    std::string name;
    std::string file;
    void (*damage)(std::string* bytes);
    bool opens;  // the clip opens (then it serves frames, or says why not)
    const char* error = kUnreadable;  // when it does not
  };
  const Case cases[] = {
      {"cut before its moov", "avc_closed.mp4", [](std::string* b) { b->resize(b->size() / 2); }, false},
      {"cut inside the samples", "avc_closed_faststart.mp4", [](std::string* b) { b->resize(b->size() * 6 / 10); },
       true},
      {"moov overwritten", "avc_closed_faststart.mp4",
       [](std::string* b) {
         const size_t moov = b->find("moov");
         for (size_t k = moov + 200; k < moov + 264; ++k) (*b)[k] = '\xff';
       },
       false},
      {"sample sizes past the file", "avc_closed.mp4",
       [](std::string* b) {
         const size_t sizes = TableCount(*b, "stsz") + 4;
         for (int k = 50; k < 60; ++k) Put32(b, sizes + 4 * size_t(k), 0x00FFFFFF);
       },
       true},
      // (The video samples lie in one chunk.)
      {"chunk offset past the file", "avc_closed.mp4", [](std::string* b) { Put32(b, TableCount(*b, "stco") + 4, 0xFFFFFF00); },
       false, kNoVideo},
      {"absurd sample count", "avc_closed.mp4", [](std::string* b) { Put32(b, TableCount(*b, "stsz"), 0xFFFFFFF0); },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string copyName = "damaged.mp4";
    std::error_code ignored;
    std::filesystem::remove(dir_ / copyName, ignored);
    const std::string index = IndexedCopy(c.file, copyName);
    std::string bytes = ReadWhole(dir_ / copyName);
    c.damage(&bytes);
    WriteWhole(dir_ / copyName, bytes);

    const HostResult all = RunHost(index, "--md5");
    EXPECT_LT(all.status, 2) << "crash, hang or bad command line: " << all.status << "\n" << all.err;
    if (!c.opens) {
      EXPECT_EQ(all.status, 1);
      EXPECT_EQ(all.err, std::string("error: ") + c.error + "\n");
      continue;
    }
    // Frames of the part before the damage are served.
    const HostResult first = RunHost(index, "--md5 --frames 0-9");
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("\n9 "), std::string::npos) << first.out;
    // Every frame asked for is served or answered with an error, in any order.
    const HostResult backwards = RunHost(index, "--md5 --frames 99,98,60,30,0,70,99");
    EXPECT_LT(backwards.status, 2) << backwards.err;
    if (all.status == 1 || backwards.status == 1) {
      std::printf("%s: %s", c.name.c_str(), (all.status == 1 ? all.err : backwards.err).c_str());
    }
  }
}

}  // namespace
