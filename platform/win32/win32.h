// The Windows services the plug-in is written against, with Windows semantics on
// POSIX: kernel objects behind HANDLE (events, threads, processes), critical
// sections, 16-bit interlocked counters, module and library lookup, process start,
// path helpers, debugger output and aligned allocation.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
using DWORD = uint32_t;
using LONG = int32_t;
using SHORT = int16_t;
using UINT = unsigned int;
using WORD = uint16_t;
using HANDLE = void*;
using HWND = void*;
using LPVOID = void*;
using FARPROC = void (*)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD MAX_PATH = 260;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100u;

constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;

// ---- kernel objects -------------------------------------------------------

// Events. A manual-reset event stays signalled until reset; an auto-reset event is
// reset by the wait that it ends (one waiter released per SetEvent).
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits on events, threads and processes (a thread or process is signalled once it
// has ended). A time-out of 0 polls. Several handles: the lowest index among the
// signalled ones wins; with waitAll, all must be signalled at once.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// Threads.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);
HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD creationFlags, DWORD* threadId);
// Asks for a scheduling priority. The request never fails for lack of privilege: a
// priority the process may not take is approximated or ignored, and TRUE returned.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
void Sleep(DWORD milliseconds);

// Anonymous pipes: ReadFile on the read end returns what was written, and FALSE with
// ERROR_BROKEN_PIPE once every write end is closed (the writing process's too).
// PeekNamedPipe tells, without waiting, how many bytes a read would return at once,
// and fails the same way once the pipe is empty and every write end closed (it copies
// nothing: buffer must be null). CloseHandle closes an end.
BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, void* security, DWORD size);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);
BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD bufferSize, DWORD* bytesRead, DWORD* totalBytesAvailable,
                   DWORD* bytesLeftThisMessage);

// Processes. The command line is split into arguments by the Windows rules (blanks
// separate, double quotes group, backslashes escape only before a quote); with a
// null application name the first argument names the program. With
// STARTF_USESTDHANDLES in the startup record's dwFlags, the child's standard input,
// output and error are the pipe ends given there (a null one: /dev/null); otherwise
// it shares the caller's.
struct STARTUPINFOA {
  DWORD cb;
  char* lpReserved;
  char* lpDesktop;
  char* lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow, cbReserved2;
  uint8_t* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};
struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
BOOL CreateProcessA(const char* applicationName, char* commandLine, void* processSecurity,
                    void* threadSecurity, BOOL inheritHandles, DWORD creationFlags, void* environment,
                    const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);
// STILL_ACTIVE while the process runs; then its exit status, or 0xC0000000 plus the
// signal number for a process a signal ended.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
// Splits a command line the way CreateProcessA does (exposed for testing).
int SplitCommandLine(const char* commandLine, char*** argvOut);
void FreeSplitCommandLine(int argc, char** argv);

DWORD GetLastError();

// ---- critical sections and interlocked counters ---------------------------

struct CRITICAL_SECTION {
  void* impl;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);

SHORT InterlockedIncrement16(volatile SHORT* value);
SHORT InterlockedDecrement16(volatile SHORT* value);

// ---- modules and libraries ------------------------------------------------

using HMODULE = struct Win32Module*;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

// "user32.dll" (any letter case) names a built-in module whose MessageBoxTimeoutA
// writes the message to standard error and returns at once. Any other name is a
// shared library path.
HMODULE LoadLibraryA(const char* fileName);
BOOL FreeLibrary(HMODULE module);
// Finds a module already loaded by LoadLibraryA, without loading it.
HMODULE GetModuleHandleA(const char* moduleName);
BOOL GetModuleHandleExA(DWORD flags, const char* moduleNameOrAddress, HMODULE* module);
// Full path of the module's file; returns the characters written (truncated to size-1).
DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size);
FARPROC GetProcAddress(HMODULE module, const char* procName);

// Signature of user32's self-closing message box.
using MessageBoxTimeoutAProc = int (*)(HWND owner, const char* text, const char* caption, UINT type,
                                       WORD language, DWORD milliseconds);

// ---- paths, directories, debugger ------------------------------------------

// A path is relative unless it starts with a folder separator ("/" or "\").
BOOL PathIsRelativeA(const char* path);
// Removes "." and ".." segments (a ".." never climbs above the root or the first
// segment of a relative path). destination must hold MAX_PATH characters; fails
// when the result would not fit.
BOOL PathCanonicalizeA(char* destination, const char* path);
DWORD GetCurrentDirectoryA(DWORD bufferLength, char* buffer);
// Debugger output: written to standard error while the environment variable
// TESSIVAR_DEBUG_OUTPUT is set (and not "0"); dropped otherwise.
void OutputDebugStringA(const char* text);

// ---- aligned allocation -----------------------------------------------------

void* _aligned_malloc(size_t size, size_t alignment);
void _aligned_free(void* block);

// As PathCanonicalizeA, into a destination of destinationSize bytes.
BOOL PathCanonicalizeBufA(char* destination, size_t destinationSize, const char* path);
