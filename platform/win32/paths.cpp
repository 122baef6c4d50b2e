// Path helpers, the current directory, debugger output and aligned allocation.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

BOOL PathIsRelativeA(const char* path) {
  if (!path) return TRUE;
  return (path[0] == '/' || path[0] == '\\') ? FALSE : TRUE;
}

BOOL PathCanonicalizeBufA(char* destination, size_t destinationSize, const char* path) {
  if (!destination || !path || destinationSize == 0) return FALSE;
  const bool absolute = path[0] == '/' || path[0] == '\\';
  std::vector<std::string> segments;
  std::string segment;
  auto flush = [&] {
    if (segment == "..") {
      // Climbing never goes above the root; in a relative path a leading ".." is kept.
      if (!segments.empty() && segments.back() != "..") segments.pop_back();
      else if (!absolute) segments.push_back(segment);
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    segment.clear();
  };
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') flush();
    else segment += *p;
  }
  flush();
  std::string result = absolute ? "/" : "";
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i) result += '/';
    result += segments[i];
  }
  if (result.size() + 1 > destinationSize) {
    destination[0] = '\0';
    return FALSE;
  }
  memcpy(destination, result.c_str(), result.size() + 1);
  return TRUE;
}

BOOL PathCanonicalizeA(char* destination, const char* path) {
  return PathCanonicalizeBufA(destination, MAX_PATH, path);
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, char* buffer) {
  std::vector<char> work(4096);
  while (!getcwd(work.data(), work.size())) {
    if (errno != ERANGE || work.size() > (1u << 20)) return 0;
    work.resize(work.size() * 2);
  }
  size_t length = strlen(work.data());
  if (!buffer || length + 1 > bufferLength) return static_cast<DWORD>(length + 1);
  memcpy(buffer, work.data(), length + 1);
  return static_cast<DWORD>(length);
}

// Nobody listens on a debugger channel unless asked: a frame server's standard error is
// the user's (an encoder's progress log shares it), so the lines go there only while
// TESSIVAR_DEBUG_OUTPUT is set to something other than "" or "0". Looked up on every
// call, so that a developer's process can switch it on at any time.
void OutputDebugStringA(const char* text) {
  if (!text) return;
  const char* listening = getenv("TESSIVAR_DEBUG_OUTPUT");
  if (!listening || !*listening || strcmp(listening, "0") == 0) return;
  fputs(text, stderr);
  fflush(stderr);
}

void* _aligned_malloc(size_t size, size_t alignment) {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  if ((alignment & (alignment - 1)) != 0) return nullptr;
  void* block = nullptr;
  if (posix_memalign(&block, alignment, size ? size : 1) != 0) return nullptr;
  return block;
}

void _aligned_free(void* block) { free(block); }
