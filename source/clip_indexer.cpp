// Building a missing index: the indexer "halvern" beside the plug-in is started
// with the source and index paths, a notice is shown meanwhile, and the clip
// waits for it to end. What the indexer prints is kept from the user's screen; when
// it fails, its last line becomes the script error.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "source/clip.h"

namespace {

constexpr size_t kCommandLineSize = 1024;
constexpr const char* kIndexerName = "halvern";
constexpr const char* kIndexingNotice =
    "Generating index file for your stream... Please wait patiently for your first frame to "
    "appear. This will need to be done only once.";

// The end of the indexer's output that is kept: its last line says why it failed.
constexpr size_t kOutputTailSize = 4096;
// Longest indexer line quoted in a script error.
constexpr size_t kQuotedLineSize = 300;
// How often the output is looked at while the indexer runs.
constexpr DWORD kOutputPollMilliseconds = 20;
// GetExitCodeProcess's value for a process that a signal ended: this mark plus the signal.
constexpr DWORD kEndedBySignal = 0xC0000000u;

// Looked up once per process; tried again while it is missing.
MessageBoxTimeoutAProc gMessageBoxTimeout = nullptr;

// A path that the indexer's command line cannot carry: the line is split with
// the Windows rules, where a double quote ends the argument and a backslash just
// before the closing quote escapes it.
bool QuotableInCommandLine(const char* path) {
  const size_t length = std::strlen(path);
  return !std::strchr(path, '"') && !(length > 0 && path[length - 1] == '\\');
}

// Reads the indexer's output until it has ended and its output is drained, keeping the
// last kOutputTailSize bytes. Once the indexer has ended, nothing more is waited for:
// a program it left running may hold the pipe open.
std::string CollectOutput(HANDLE output, HANDLE process) {
  std::string tail;
  char chunk[4096];
  bool ended = false;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr)) break;  // every writer gone
    if (available > 0) {
      DWORD count = 0;
      if (!ReadFile(output, chunk, std::min<DWORD>(available, sizeof chunk), &count, nullptr)) break;
      tail.append(chunk, count);
      if (tail.size() > 2 * kOutputTailSize) tail.erase(0, tail.size() - kOutputTailSize);
      continue;
    }
    if (ended) break;
    ended = WaitForSingleObject(process, kOutputPollMilliseconds) == WAIT_OBJECT_0;
  }
  return tail;
}

// The last line of the output that holds more than blanks, with control characters
// as blanks, cut to kQuotedLineSize characters. A Python traceback ends with the
// exception ("ModuleNotFoundError: No module named 'halvern_mkv'"), a shell with the
// command it could not run.
std::string LastLine(const std::string& output) {
  size_t end = output.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  const size_t newline = output.find_last_of('\n', end);
  const size_t start = newline == std::string::npos ? 0 : newline + 1;
  std::string line = output.substr(start, end + 1 - start);
  line.erase(0, line.find_first_not_of(" \t"));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  if (line.size() > kQuotedLineSize) line = line.substr(0, kQuotedLineSize - 3) + "...";
  return line;
}

// Throws the script error for an indexer that ended with `exitCode` (not 0) after
// printing `output`.
void ThrowIndexerFailure(DWORD exitCode, const std::string& output, IScriptEnvironment* env) {
  char how[64];
  if (exitCode >= kEndedBySignal) std::snprintf(how, sizeof how, "signal %u", unsigned(exitCode - kEndedBySignal));
  else std::snprintf(how, sizeof how, "exit status %u", unsigned(exitCode));
  const std::string line = LastLine(output);
  if (line.empty()) env->ThrowError("Orvanto: Halvern failed (%s).", how);
  env->ThrowError("Orvanto: Halvern failed (%s): %s", how, line.c_str());
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

  // The indexer's standard output and error go into a pipe, not to the host's: the
  // host's standard output may carry video, and its standard error is the user's.
  HANDLE outputRead = nullptr;
  HANDLE outputWrite = nullptr;
  if (!CreatePipe(&outputRead, &outputWrite, nullptr, 0)) env->ThrowError("Orvanto: cannot start Halvern");
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outputWrite;
  startup.hStdError = outputWrite;
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof process);
  const BOOL started =
      CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(outputWrite);  // the indexer holds its own copy: the pipe ends when it does
  if (!started) {
    CloseHandle(outputRead);
    env->ThrowError("Orvanto: cannot start Halvern");
  }

  // A Windows host process always has user32 loaded; here the built-in module is
  // held for the notice so that the very first clip of a process shows it too.
  if (!silent) {
    HMODULE user32 = LoadLibraryA("user32.dll");
    ShowTimedMessage(nullptr, kIndexingNotice, "Tessivar", 0, 0, 10000);
    if (user32) FreeLibrary(user32);
  }
  const std::string output = CollectOutput(outputRead, process.hProcess);
  CloseHandle(outputRead);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = 0;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  // An indexer that failed says why (a Python traceback's last line, a shell's "not
  // found"); one that ended well but wrote nothing shows when the clip opens the index.
  if (exitCode != 0) ThrowIndexerFailure(exitCode, output, env);
}
