#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

namespace {

std::vector<std::string> split(const char* line) {
  char** argv = nullptr;
  int argc = SplitCommandLine(line, &argv);
  std::vector<std::string> result;
  for (int i = 0; i < argc; ++i) result.push_back(argv[i]);
  FreeSplitCommandLine(argc, argv);
  return result;
}

TEST(Win32CommandLine, SplitsLikeWindows) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split("\"/opt/my tools/halvern\" -i \"/v/a b.ts\" -o \"/v/a b.ts.vqi\" -a"),
            (V{"/opt/my tools/halvern", "-i", "/v/a b.ts", "-o", "/v/a b.ts.vqi", "-a"}));
  EXPECT_EQ(split("prog  a\tb"), (V{"prog", "a", "b"}));
  EXPECT_EQ(split("prog \"a\\\"b\" c\\\\d \"e\\\\\" x\"\"y"),
            (V{"prog", "a\"b", "c\\\\d", "e\\", "xy"}));
  EXPECT_EQ(split("prog \"\""), (V{"prog", ""}));
  EXPECT_EQ(split("   "), V{});
}

TEST(Win32Process, StartsWaitsAndReportsExitCode) {
  char tmpl[] = "/tmp/tessivar_spawn_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::string script = dir + "/rec ord";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" << dir
        << "/args\"\nexit 3\n";
  }
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  std::string line = "\"" + script + "\" -i \"a b\" -a";
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 3u);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  std::ifstream in(dir + "/args");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "-i\na b\n-a\n");

  std::string missing = "\"" + dir + "/does-not-exist\" -a";
  std::vector<char> missingLine(missing.begin(), missing.end());
  missingLine.push_back('\0');
  EXPECT_FALSE(CreateProcessA(nullptr, missingLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info));
  std::string cleanup = "rm -rf '" + dir + "'";
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

// The standard handles of a started process as pipe ends: what it writes to standard
// output and error arrives through one pipe (read until every writer is gone, as the
// plug-in reads its indexer), its standard input is empty, and its end is reported,
// a signal included.
TEST(Win32Process, StandardHandlesFromAPipe) {
  const struct {
    const char* script;
    const char* output;
    DWORD exitCode;
  } cases[] = {
      {"echo out; echo err >&2; exit 4", "out\nerr\n", 4},
      {"cat; echo 'stdin ended'", "stdin ended\n", 0},
      {"echo dying; kill -9 $$", "dying\n", 0xC0000009u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::string line = std::string("/bin/sh -c \"") + c.script + "\"";
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info));
    CloseHandle(writeEnd);
    std::string output;
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        Sleep(5);
        continue;
      }
      char chunk[64];
      DWORD count = 0;
      ASSERT_TRUE(ReadFile(readEnd, chunk, sizeof chunk < available ? sizeof chunk : available, &count, nullptr));
      output.append(chunk, count);
    }
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    char byte;
    DWORD count = 1;
    EXPECT_FALSE(ReadFile(readEnd, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, c.exitCode);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    CloseHandle(readEnd);
  }
}

// The debugger channel is silent unless the developer's environment asks for it.
TEST(Win32Debugger, ChannelWritesToStandardErrorOnlyWhenAsked) {
  const struct {
    const char* value;  // null: not set
    bool printed;
  } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(not set)");
    if (c.value) setenv("TESSIVAR_DEBUG_OUTPUT", c.value, 1);
    else unsetenv("TESSIVAR_DEBUG_OUTPUT");
    testing::internal::CaptureStderr();
    OutputDebugStringA("Tessivar: requesting SW mode\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed ? "Tessivar: requesting SW mode\n" : "");
  }
  unsetenv("TESSIVAR_DEBUG_OUTPUT");
}

TEST(Win32Paths, RelativeAndCanonical) {
  EXPECT_TRUE(PathIsRelativeA("video.ts"));
  EXPECT_TRUE(PathIsRelativeA("../video.ts"));
  EXPECT_FALSE(PathIsRelativeA("/data/video.ts"));
  EXPECT_FALSE(PathIsRelativeA("\\data\\video.ts"));

  char out[MAX_PATH];
  ASSERT_TRUE(PathCanonicalizeA(out, "/a/b/../c/./d.ts"));
  EXPECT_STREQ(out, "/a/c/d.ts");
  ASSERT_TRUE(PathCanonicalizeA(out, "/a/../../x"));
  EXPECT_STREQ(out, "/x");
  ASSERT_TRUE(PathCanonicalizeA(out, "/idx\\..\\clips\\v.m2v"));
  EXPECT_STREQ(out, "/clips/v.m2v");
  std::string tooLong = "/" + std::string(MAX_PATH, 'a');
  EXPECT_FALSE(PathCanonicalizeA(out, tooLong.c_str()));
  char small[4];
  EXPECT_FALSE(PathCanonicalizeBufA(small, sizeof small, "/abcd"));
  EXPECT_TRUE(PathCanonicalizeBufA(small, sizeof small, "/ab"));
  EXPECT_STREQ(small, "/ab");
}

TEST(Win32Paths, CurrentDirectoryReportsNeededSize) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char buffer[4096];
  DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  EXPECT_EQ(length, strlen(cwd));
  EXPECT_STREQ(buffer, cwd);
  char tiny[2];
  EXPECT_EQ(GetCurrentDirectoryA(sizeof tiny, tiny), strlen(cwd) + 1);
}

int localFunction() { return 7; }

TEST(Win32Modules, BuiltInUser32AndModuleOfAnAddress) {
  EXPECT_EQ(GetModuleHandleA("user32.dll"), nullptr) << "not loaded yet";
  HMODULE user32 = LoadLibraryA("user32.dll");
  ASSERT_NE(user32, nullptr);
  EXPECT_EQ(GetModuleHandleA("USER32.DLL"), user32);
  auto box = reinterpret_cast<MessageBoxTimeoutAProc>(GetProcAddress(user32, "MessageBoxTimeoutA"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box(nullptr, "notice text", "Caption", 0, 0, 10000), 1);
  EXPECT_EQ(GetProcAddress(user32, "MessageBoxA"), nullptr);
  EXPECT_TRUE(FreeLibrary(user32));
  EXPECT_EQ(GetModuleHandleA("user32.dll"), nullptr);

  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<const char*>(&localFunction), &self));
  char path[4096];
  ASSERT_GT(GetModuleFileNameA(self, path, sizeof path), 0u);
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  EXPECT_STREQ(path, exe);
  char truncated[5];
  EXPECT_EQ(GetModuleFileNameA(self, truncated, sizeof truncated), 4u);
  EXPECT_EQ(strlen(truncated), 4u);

  EXPECT_EQ(LoadLibraryA("/nonexistent/libnothing.so"), nullptr);
  HMODULE libm = LoadLibraryA("libm.so.6");
  ASSERT_NE(libm, nullptr);
  EXPECT_NE(GetProcAddress(libm, "cos"), nullptr);
  EXPECT_TRUE(FreeLibrary(libm));
}

TEST(Win32Memory, AlignedAllocation) {
  for (size_t alignment : {16u, 32u, 64u}) {
    void* block = _aligned_malloc(1000, alignment);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignment, 0u);
    _aligned_free(block);
  }
  EXPECT_EQ(_aligned_malloc(10, 24), nullptr) << "alignment must be a power of two";
}

}  // namespace
