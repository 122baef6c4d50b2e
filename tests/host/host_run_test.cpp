// The whole host run against the stand-in plug-in: the arguments it passes, the
// properties it prints, the frames it writes, and its exit codes.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/md5.h>
}

#include "host/host_run.h"
#include "tests/host/test_plugin_pattern.h"

namespace {

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

RunResult RunWithTestPlugin(std::vector<const char*> args) {
  args.insert(args.begin(), {"tessivar-host", "--plugin", HOST_TEST_PLUGIN});
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int status = RunHost(static_cast<int>(args.size()), args.data(), out, err);
  return {status, ReadAll(out), ReadAll(err)};
}

// What the stand-in plug-in recorded of its last call (the host loads the same
// library, so this handle reaches the same state).
std::string LastArguments() {
  void* plugin = dlopen(HOST_TEST_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
  if (!plugin) plugin = dlopen(HOST_TEST_PLUGIN, RTLD_NOW);
  auto last = reinterpret_cast<const char* (*)()>(dlsym(plugin, "HostTestLastArguments"));
  std::string text = last ? last() : "(none)";
  dlclose(plugin);
  return text;
}

// The expected bytes of frame n: Y, U, V rows without padding.
std::string PatternFrame(int n, int width = kPatternWidth) {
  std::string bytes;
  for (int y = 0; y < kPatternHeight; ++y)
    for (int x = 0; x < width; ++x) bytes += static_cast<char>(PatternLuma(x, y, n));
  for (int y = 0; y < kPatternHeight / 2; ++y)
    for (int x = 0; x < width / 2; ++x) bytes += static_cast<char>(PatternU(x, y, n));
  for (int y = 0; y < kPatternHeight / 2; ++y)
    for (int x = 0; x < width / 2; ++x) bytes += static_cast<char>(PatternV(x, y, n));
  return bytes;
}

std::string Md5Hex(const std::string& bytes) {
  uint8_t digest[16];
  av_md5_sum(digest, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

TEST(HostRun, PassesExactlyTheGivenArguments) {
  RunResult run = RunWithTestPlugin({});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(LastArguments(), "v v v v v v v");
  run = RunWithTestPlugin({"--engine", "2", "--vqi", "/x/My Clip.vqi", "--silent", "true", "--i420=false"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(LastArguments(), "s:/x/My Clip.vqi i:2 b:false v v v b:true");
}

TEST(HostRun, PrintsTheClipProperties) {
  RunResult run = RunWithTestPlugin({"--i420", "true"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("width: 70\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("height: 48\n"), std::string::npos);
  EXPECT_NE(run.out.find("pixel type: I420\n"), std::string::npos);
  EXPECT_NE(run.out.find("frame rate: 30000/1001 (29.970 fps)\n"), std::string::npos);
  EXPECT_NE(run.out.find("frames: 10\n"), std::string::npos);
  EXPECT_NE(run.out.find("parity: top field first\n"), std::string::npos);
  run = RunWithTestPlugin({"--silent", "true"});
  EXPECT_NE(run.out.find("pixel type: YV12\n"), std::string::npos);
  EXPECT_NE(run.out.find("parity: bottom field first\n"), std::string::npos);

  void* plugin = dlopen(HOST_TEST_PLUGIN, RTLD_NOW);
  auto hint = reinterpret_cast<int (*)()>(dlsym(plugin, "HostTestLastCacheHint"));
  ASSERT_NE(hint, nullptr);
  EXPECT_EQ(hint(), 509);
  dlclose(plugin);
}

TEST(HostRun, Md5LinesPerFrameInTheOrderAsked) {
  for (const char* i420 : {"false", "true"}) {
    RunResult run = RunWithTestPlugin({"--md5", "--frames", "4,0-1", "--i420", i420});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string expected = "4 " + Md5Hex(PatternFrame(4)) + "\n0 " + Md5Hex(PatternFrame(0)) + "\n1 " +
                                 Md5Hex(PatternFrame(1)) + "\n";
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
  }
}

TEST(HostRun, Y4mStreamHasHeaderAndPlanesInYuvOrder) {
  const std::string path = testing::TempDir() + "host_run_test_" + std::to_string(getpid()) + ".y4m";
  for (const char* i420 : {"false", "true"}) {
    RunResult run = RunWithTestPlugin({"--y4m", path.c_str(), "--frames", "2-3", "--i420", i420});
    ASSERT_EQ(run.status, 0) << run.err;
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string expected = "YUV4MPEG2 W70 H48 F30000:1001 Ip A1:1 C420jpeg\nFRAME\n" + PatternFrame(2) +
                                 "FRAME\n" + PatternFrame(3);
    EXPECT_TRUE(content.str() == expected) << "i420 " << i420 << ": " << content.str().size() << " bytes";
  }
  std::remove(path.c_str());
}

TEST(HostRun, ErrorsAndExitCodes) {
  RunResult run = RunWithTestPlugin({"--engine", "99"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "error: Orvanto: test failure 99\n");

  run = RunWithTestPlugin({"--engine", "x"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("usage:"), std::string::npos);

  run = RunWithTestPlugin({"--md5", "--frames", "10"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("outside the clip"), std::string::npos);

  const char* missing[] = {"tessivar-host", "--plugin", "/nonexistent/libtessivar.so"};
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(RunHost(3, missing, out, err), 1);
  ReadAll(out);
  EXPECT_EQ(ReadAll(err).rfind("error: cannot load plug-in /nonexistent/libtessivar.so", 0), 0u);
}

int RunProgram(const std::string& arguments) {
  const std::string command = std::string(TESSIVAR_TEST_LAUNCHER) + HOST_PROGRAM + " " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostRun, ProgramExitStatus) {
  const std::string plugin = std::string("--plugin ") + HOST_TEST_PLUGIN;
  EXPECT_EQ(RunProgram(plugin), 0);
  EXPECT_EQ(RunProgram(plugin + " --md5 --frames 0-9"), 0);
  EXPECT_EQ(RunProgram(plugin + " --engine 99"), 1);
  EXPECT_EQ(RunProgram(plugin + " --nonsense"), 2);
  EXPECT_EQ(RunProgram("--help"), 0);
}

}  // namespace
