// Building a missing index: the indexer "halvern" beside the plug-in is started
// with the source and index paths, a notice is shown meanwhile, and the clip
// waits for it to end.
#include <cstdio>
#include <cstring>

#include "source/clip.h"

namespace {

constexpr size_t kCommandLineSize = 1024;
constexpr const char* kIndexerName = "halvern";
constexpr const char* kIndexingNotice =
    "Generating index file for your stream... Please wait patiently for your first frame to "
    "appear. This will need to be done only once.";

// Looked up once per process; tried again while it is missing.
MessageBoxTimeoutAProc gMessageBoxTimeout = nullptr;

// A path that the indexer's command line cannot carry: the line is split with
// the Windows rules, where a double quote ends the argument and a backslash just
// before the closing quote escapes it.
bool QuotableInCommandLine(const char* path) {
  const size_t length = std::strlen(path);
  return !std::strchr(path, '"') && !(length > 0 && path[length - 1] == '\\');
}

}  // namespace

bool GetPluginFolder(char* folder, size_t size) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<const char*>(&GetPluginFolder), &self))
    return false;
  const DWORD length = GetModuleFileNameA(self, folder, static_cast<DWORD>(size));
  if (length == 0 || length >= size) return false;
  char* slash = std::strrchr(folder, '/');
  if (slash)
    slash[1] = '\0';
  else
    folder[0] = '\0';
  return true;
}

int32_t ShowTimedMessage(HWND owner, const char* text, const char* caption, UINT type, WORD language,
                         DWORD milliseconds) {
  if (!gMessageBoxTimeout) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    if (!user32) return 0;
    gMessageBoxTimeout = reinterpret_cast<MessageBoxTimeoutAProc>(GetProcAddress(user32, "MessageBoxTimeoutA"));
    if (!gMessageBoxTimeout) return 0;
  }
  return gMessageBoxTimeout(owner, text, caption, type, language, milliseconds);
}

void RunIndexer(const char* sourcePath, const char* indexPath, bool silent, IScriptEnvironment* env) {
  char indexer[kCommandLineSize];
  if (!GetPluginFolder(indexer, sizeof indexer - std::strlen(kIndexerName)))
    env->ThrowError("Orvanto: cannot start Halvern");
  std::strcat(indexer, kIndexerName);
  if (!QuotableInCommandLine(sourcePath) || !QuotableInCommandLine(indexer))
    env->ThrowError("Orvanto: cannot start Halvern for a path with a double quote or a trailing backslash.");

  char commandLine[kCommandLineSize];
  const int length = std::snprintf(commandLine, sizeof commandLine, "\"%s\" -i \"%s\" -o \"%s\" -a", indexer,
                                   sourcePath, indexPath);
  if (length < 0 || length >= int(sizeof commandLine))
    env->ThrowError("Orvanto: The indexer command line would be longer than %d characters.",
                    int(kCommandLineSize) - 1);

  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    env->ThrowError("Orvanto: cannot start Halvern");

  // A Windows host process always has user32 loaded; here the built-in module is
  // held for the notice so that the very first clip of a process shows it too.
  if (!silent) {
    HMODULE user32 = LoadLibraryA("user32.dll");
    ShowTimedMessage(nullptr, kIndexingNotice, "Tessivar", 0, 0, 10000);
    if (user32) FreeLibrary(user32);
  }
  // The indexer's own result is not looked at: a missing index file shows when
  // the clip opens it.
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
}
