// Kernel objects behind HANDLE: events, threads, processes and anonymous pipes, with
// waits on one or several of them (pipes are read, never waited on). All objects share one lock and one condition variable; a state
// change wakes every waiter, which then re-checks its own handles.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

extern char** environ;

namespace {

enum class ObjectKind { Event, Thread, Process, Pipe };

struct KernelObject {
  ObjectKind kind;
  bool manualReset = true;  // events; threads and processes stay signalled once ended
  bool signalled = false;
  int refs = 1;             // the handle, plus the running thread or process watcher
  DWORD exitCode = STILL_ACTIVE;
  int priority = THREAD_PRIORITY_NORMAL;
  pid_t tid = 0;
  LPTHREAD_START_ROUTINE start = nullptr;
  void* parameter = nullptr;
  pid_t pid = 0;
  int fd = -1;              // pipes: this end's descriptor, closed with the last reference
};

std::mutex& objectLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable& objectChanged() {
  static std::condition_variable changed;
  return changed;
}

thread_local DWORD lastError = 0;

void releaseLocked(KernelObject* object) {
  if (--object->refs != 0) return;
  if (object->fd >= 0) close(object->fd);
  delete object;
}

void release(KernelObject* object) {
  std::lock_guard<std::mutex> guard(objectLock());
  releaseLocked(object);
}

KernelObject* asObject(HANDLE handle) { return static_cast<KernelObject*>(handle); }

// Called with the lock held: index of the first signalled handle (or all of them for
// waitAll), consuming auto-reset events it reports; -1 when the wait must go on.
int checkSignalled(DWORD count, const HANDLE* handles, BOOL waitAll) {
  if (waitAll) {
    for (DWORD i = 0; i < count; ++i)
      if (!asObject(handles[i])->signalled) return -1;
    for (DWORD i = 0; i < count; ++i) {
      KernelObject* object = asObject(handles[i]);
      if (object->kind == ObjectKind::Event && !object->manualReset) object->signalled = false;
    }
    return 0;
  }
  for (DWORD i = 0; i < count; ++i) {
    KernelObject* object = asObject(handles[i]);
    if (object->signalled) {
      if (object->kind == ObjectKind::Event && !object->manualReset) object->signalled = false;
      return static_cast<int>(i);
    }
  }
  return -1;
}

void* threadTrampoline(void* argument) {
  KernelObject* object = static_cast<KernelObject*>(argument);
  {
    std::lock_guard<std::mutex> guard(objectLock());
    object->tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (object->priority != THREAD_PRIORITY_NORMAL &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(object->tid), -object->priority) != 0)
      errno = 0;
  }
  DWORD code = object->start(object->parameter);
  {
    std::lock_guard<std::mutex> guard(objectLock());
    object->exitCode = code;
    object->signalled = true;
    objectChanged().notify_all();
    releaseLocked(object);
  }
  return nullptr;
}

void* processWatcher(void* argument) {
  KernelObject* object = static_cast<KernelObject*>(argument);
  int status = 0;
  pid_t result;
  do {
    result = waitpid(object->pid, &status, 0);
  } while (result < 0 && errno == EINTR);
  DWORD code = 1;
  if (result == object->pid) {
    if (WIFEXITED(status)) code = static_cast<DWORD>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status)) code = 0xC0000000u | static_cast<DWORD>(WTERMSIG(status));
  }
  std::lock_guard<std::mutex> guard(objectLock());
  object->exitCode = code;
  object->signalled = true;
  objectChanged().notify_all();
  releaseLocked(object);
  return nullptr;
}

bool startDetached(void* (*routine)(void*), void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, routine, argument);
  pthread_attr_destroy(&attributes);
  return result == 0;
}

}  // namespace

DWORD GetLastError() { return lastError; }

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
  KernelObject* object = new (std::nothrow) KernelObject{ObjectKind::Event};
  if (!object) {
    lastError = 8;  // not enough memory
    return nullptr;
  }
  object->manualReset = manualReset != FALSE;
  object->signalled = initialState != FALSE;
  return object;
}

BOOL SetEvent(HANDLE event) {
  KernelObject* object = asObject(event);
  if (!object || object->kind != ObjectKind::Event) return FALSE;
  std::lock_guard<std::mutex> guard(objectLock());
  object->signalled = true;
  objectChanged().notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  KernelObject* object = asObject(event);
  if (!object || object->kind != ObjectKind::Event) return FALSE;
  std::lock_guard<std::mutex> guard(objectLock());
  object->signalled = false;
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) return WAIT_FAILED;
  for (DWORD i = 0; i < count; ++i)
    if (!handles[i]) return WAIT_FAILED;
  std::unique_lock<std::mutex> lock(objectLock());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int index = checkSignalled(count, handles, waitAll);
    if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
    if (milliseconds == 0) return WAIT_TIMEOUT;
    if (milliseconds == INFINITE) {
      objectChanged().wait(lock);
    } else if (objectChanged().wait_until(lock, deadline) == std::cv_status::timeout) {
      index = checkSignalled(count, handles, waitAll);
      return index >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(index) : WAIT_TIMEOUT;
    }
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  if (!handle) return FALSE;
  release(asObject(handle));
  return TRUE;
}

HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE start, void* parameter, DWORD,
                    DWORD* threadId) {
  if (!start) return nullptr;
  KernelObject* object = new (std::nothrow) KernelObject{ObjectKind::Thread};
  if (!object) return nullptr;
  object->start = start;
  object->parameter = parameter;
  object->refs = 2;  // the handle and the running thread
  if (!startDetached(threadTrampoline, object)) {
    delete object;
    lastError = 8;
    return nullptr;
  }
  if (threadId) *threadId = 0;
  return object;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  KernelObject* object = asObject(thread);
  if (!object || object->kind != ObjectKind::Thread) return FALSE;
  std::lock_guard<std::mutex> guard(objectLock());
  object->priority = priority;
  // Raising a thread above the process's own level needs privileges a user rarely
  // has; the request is honoured where allowed and otherwise left as it is.
  if (object->tid != 0 && !object->signalled) {
    int niceValue = -priority;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(object->tid), niceValue) != 0) errno = 0;
  }
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  KernelObject* object = asObject(thread);
  if (!object || object->kind != ObjectKind::Thread) return 0x7FFFFFFF;
  std::lock_guard<std::mutex> guard(objectLock());
  return object->priority;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  KernelObject* object = asObject(thread);
  if (!object || object->kind != ObjectKind::Thread || !exitCode) return FALSE;
  std::lock_guard<std::mutex> guard(objectLock());
  *exitCode = object->exitCode;
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  KernelObject* object = asObject(process);
  if (!object || object->kind != ObjectKind::Process || !exitCode) return FALSE;
  std::lock_guard<std::mutex> guard(objectLock());
  *exitCode = object->exitCode;
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  struct timespec delay;
  delay.tv_sec = milliseconds / 1000;
  delay.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

int SplitCommandLine(const char* commandLine, char*** argvOut) {
  std::vector<std::string> arguments;
  const char* p = commandLine ? commandLine : "";
  bool first = true;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    std::string argument;
    if (first) {
      // The program name: quotes group, backslashes are plain characters.
      bool quoted = false;
      while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
        if (*p == '"') quoted = !quoted;
        else argument += *p;
        ++p;
      }
      first = false;
    } else {
      bool quoted = false;
      while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
        if (*p == '\\') {
          size_t slashes = 0;
          while (*p == '\\') {
            ++slashes;
            ++p;
          }
          if (*p == '"') {
            argument.append(slashes / 2, '\\');
            if (slashes % 2 == 1) {
              argument += '"';
              ++p;
            }
          } else {
            argument.append(slashes, '\\');
          }
        } else if (*p == '"') {
          if (quoted && p[1] == '"') {
            argument += '"';
            p += 2;
          } else {
            quoted = !quoted;
            ++p;
          }
        } else {
          argument += *p++;
        }
      }
    }
    arguments.push_back(argument);
  }
  char** argv = static_cast<char**>(calloc(arguments.size() + 1, sizeof(char*)));
  if (!argv) return -1;
  for (size_t i = 0; i < arguments.size(); ++i) {
    argv[i] = strdup(arguments[i].c_str());
    if (!argv[i]) {
      FreeSplitCommandLine(static_cast<int>(i), argv);
      return -1;
    }
  }
  *argvOut = argv;
  return static_cast<int>(arguments.size());
}

void FreeSplitCommandLine(int argc, char** argv) {
  if (!argv) return;
  for (int i = 0; i < argc; ++i) free(argv[i]);
  free(argv);
}

BOOL CreatePipe(HANDLE* readPipe, HANDLE* writePipe, void*, DWORD) {
  if (!readPipe || !writePipe) return FALSE;
  *readPipe = *writePipe = nullptr;
  // Both ends close on exec: a process started meanwhile by another thread must not
  // hold the write end open (its reader would never see the end). A child that is
  // given an end as a standard handle gets a copy without that flag.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    lastError = 8;
    return FALSE;
  }
  KernelObject* ends[2] = {new (std::nothrow) KernelObject{ObjectKind::Pipe},
                           new (std::nothrow) KernelObject{ObjectKind::Pipe}};
  if (!ends[0] || !ends[1]) {
    delete ends[0];
    delete ends[1];
    close(fds[0]);
    close(fds[1]);
    lastError = 8;
    return FALSE;
  }
  ends[0]->fd = fds[0];
  ends[1]->fd = fds[1];
  *readPipe = ends[0];
  *writePipe = ends[1];
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
  if (bytesRead) *bytesRead = 0;
  KernelObject* object = asObject(file);
  if (!object || object->kind != ObjectKind::Pipe || overlapped || !bytesRead || (!buffer && bytesToRead)) {
    lastError = 6;  // invalid handle
    return FALSE;
  }
  ssize_t count;
  do {
    count = read(object->fd, buffer, bytesToRead);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    lastError = 6;
    return FALSE;
  }
  if (count == 0 && bytesToRead > 0) {
    lastError = ERROR_BROKEN_PIPE;  // every write end is closed
    return FALSE;
  }
  *bytesRead = static_cast<DWORD>(count);
  return TRUE;
}

BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD bufferSize, DWORD* bytesRead, DWORD* totalBytesAvailable,
                   DWORD* bytesLeftThisMessage) {
  KernelObject* object = asObject(pipe);
  if (!object || object->kind != ObjectKind::Pipe || (buffer && bufferSize)) {
    lastError = 6;
    return FALSE;
  }
  if (bytesRead) *bytesRead = 0;
  if (bytesLeftThisMessage) *bytesLeftThisMessage = 0;
  int available = 0;
  if (ioctl(object->fd, FIONREAD, &available) != 0) {
    lastError = 6;
    return FALSE;
  }
  if (available == 0) {
    struct pollfd state = {object->fd, POLLIN, 0};
    if (poll(&state, 1, 0) == 1 && (state.revents & POLLHUP)) {
      lastError = ERROR_BROKEN_PIPE;
      return FALSE;
    }
  }
  if (totalBytesAvailable) *totalBytesAvailable = static_cast<DWORD>(available);
  return TRUE;
}

BOOL CreateProcessA(const char* applicationName, char* commandLine, void*, void*, BOOL, DWORD,
                    void*, const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation) {
  if (!processInformation) return FALSE;
  // The standard handles of the startup record, when it says to use them: each one a
  // pipe end, or null for none (the child then reads and writes /dev/null).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_t* childActions = nullptr;
  if (startupInfo && (startupInfo->dwFlags & STARTF_USESTDHANDLES)) {
    const HANDLE standard[3] = {startupInfo->hStdInput, startupInfo->hStdOutput, startupInfo->hStdError};
    for (HANDLE handle : standard) {
      if (handle && asObject(handle)->kind != ObjectKind::Pipe) {
        lastError = 6;
        return FALSE;
      }
    }
    if (posix_spawn_file_actions_init(&actions) != 0) return FALSE;
    childActions = &actions;
    for (int target = 0; target < 3; ++target) {
      const int result = standard[target]
                             ? posix_spawn_file_actions_adddup2(&actions, asObject(standard[target])->fd, target)
                             : posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
      if (result != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return FALSE;
      }
    }
  }
  char** argv = nullptr;
  int argc = SplitCommandLine(commandLine, &argv);
  if (argc <= 0) {
    FreeSplitCommandLine(argc, argv);
    if (childActions) posix_spawn_file_actions_destroy(childActions);
    lastError = 2;  // file not found
    return FALSE;
  }
  const char* program = applicationName ? applicationName : argv[0];
  std::string savedDirectory;
  if (currentDirectory) {
    // posix_spawn has no working-directory attribute in this C library version.
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer) || chdir(currentDirectory) != 0) {
      FreeSplitCommandLine(argc, argv);
      if (childActions) posix_spawn_file_actions_destroy(childActions);
      return FALSE;
    }
    savedDirectory = buffer;
  }
  pid_t pid = 0;
  int result;
  if (strchr(program, '/')) {
    // A program named by a path that leads nowhere runnable is refused here: not every
    // posix_spawn reports a failed exec (an emulated vfork does not).
    result = access(program, X_OK) == 0 ? posix_spawn(&pid, program, childActions, nullptr, argv, environ) : ENOENT;
  } else {
    result = posix_spawnp(&pid, program, childActions, nullptr, argv, environ);
  }
  if (childActions) posix_spawn_file_actions_destroy(childActions);
  if (!savedDirectory.empty() && chdir(savedDirectory.c_str()) != 0) errno = 0;
  FreeSplitCommandLine(argc, argv);
  if (result != 0) {
    lastError = 2;
    return FALSE;
  }
  KernelObject* process = new KernelObject{ObjectKind::Process};
  process->pid = pid;
  process->refs = 3;  // the process handle, the thread handle and the watcher
  if (!startDetached(processWatcher, process)) {
    // Without a watcher nobody reaps the child: wait for it here.
    processWatcher(process);
  }
  // The primary thread's handle ends with the process: it is a second handle on it.
  processInformation->hProcess = process;
  processInformation->hThread = process;
  processInformation->dwProcessId = static_cast<DWORD>(pid);
  processInformation->dwThreadId = 0;
  return TRUE;
}

// ---- critical sections -------------------------------------------------------

void InitializeCriticalSection(CRITICAL_SECTION* section) { section->impl = new std::recursive_mutex; }

void DeleteCriticalSection(CRITICAL_SECTION* section) {
  delete static_cast<std::recursive_mutex*>(section->impl);
  section->impl = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  static_cast<std::recursive_mutex*>(section->impl)->lock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  return static_cast<std::recursive_mutex*>(section->impl)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  static_cast<std::recursive_mutex*>(section->impl)->unlock();
}

SHORT InterlockedIncrement16(volatile SHORT* value) {
  return __atomic_add_fetch(value, static_cast<SHORT>(1), __ATOMIC_SEQ_CST);
}

SHORT InterlockedDecrement16(volatile SHORT* value) {
  return __atomic_sub_fetch(value, static_cast<SHORT>(1), __ATOMIC_SEQ_CST);
}
