// Modules and libraries: shared libraries through the dynamic loader, the module
// that holds a given address, and a built-in "user32.dll" that provides the
// self-closing message box as a notice on standard error.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

struct Win32Module {
  void* library = nullptr;  // dlopen handle; null for the built-in module and the program
  std::string path;
  bool builtinUser32 = false;
  bool pinned = false;      // found by address or name: never unloaded through this record
  int loads = 0;            // LoadLibraryA references not yet freed
};

namespace {

std::mutex& moduleLock() {
  static std::mutex lock;
  return lock;
}

// Every record ever handed out; kept for the life of the process so a stale module
// handle never points at freed memory.
std::vector<Win32Module*>& moduleRecords() {
  static std::vector<Win32Module*>* records = new std::vector<Win32Module*>;
  return *records;
}

Win32Module* user32Module() {
  static Win32Module* module = [] {
    Win32Module* m = new Win32Module;
    m->builtinUser32 = true;
    m->path = "user32.dll";
    moduleRecords().push_back(m);
    return m;
  }();
  return module;
}

bool isUser32Name(const char* name) {
  return name && (strcasecmp(name, "user32.dll") == 0 || strcasecmp(name, "user32") == 0);
}

int messageBoxTimeout(HWND, const char* text, const char* caption, UINT, WORD, DWORD) {
  fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
  fflush(stderr);
  return 1;  // the OK button
}

std::string absolutePath(const char* path) {
  char resolved[PATH_MAX];
  if (path && realpath(path, resolved)) return resolved;
  return path ? path : "";
}

Win32Module* findByPathLocked(const std::string& path) {
  for (Win32Module* module : moduleRecords())
    if (!module->builtinUser32 && module->path == path) return module;
  return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(const char* fileName) {
  if (!fileName || !*fileName) return nullptr;
  std::lock_guard<std::mutex> guard(moduleLock());
  if (isUser32Name(fileName)) {
    Win32Module* module = user32Module();
    ++module->loads;
    return module;
  }
  void* library = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  std::string path = absolutePath(fileName);
  Win32Module* module = findByPathLocked(path);
  if (!module) {
    module = new Win32Module;
    module->path = path;
    moduleRecords().push_back(module);
  }
  // The record keeps exactly one loader reference while it has loads.
  if (module->library) dlclose(library);
  else module->library = library;
  ++module->loads;
  return module;
}

BOOL FreeLibrary(HMODULE module) {
  if (!module) return FALSE;
  std::lock_guard<std::mutex> guard(moduleLock());
  if (module->loads <= 0) return FALSE;
  if (--module->loads == 0 && module->library) {
    dlclose(module->library);
    module->library = nullptr;
  }
  return TRUE;
}

HMODULE GetModuleHandleA(const char* moduleName) {
  std::lock_guard<std::mutex> guard(moduleLock());
  if (!moduleName) {
    static Win32Module* program = [] {
      Win32Module* m = new Win32Module;
      m->path = absolutePath("/proc/self/exe");
      m->pinned = true;
      moduleRecords().push_back(m);
      return m;
    }();
    return program;
  }
  if (isUser32Name(moduleName)) {
    Win32Module* module = user32Module();
    return module->loads > 0 ? module : nullptr;
  }
  Win32Module* module = findByPathLocked(absolutePath(moduleName));
  return module && module->loads > 0 ? module : nullptr;
}

BOOL GetModuleHandleExA(DWORD flags, const char* moduleNameOrAddress, HMODULE* module) {
  if (!module) return FALSE;
  *module = nullptr;
  if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) {
    *module = GetModuleHandleA(moduleNameOrAddress);
    return *module ? TRUE : FALSE;
  }
  Dl_info info;
  if (!dladdr(static_cast<const void*>(moduleNameOrAddress), &info) || !info.dli_fname) return FALSE;
  std::string path = absolutePath(info.dli_fname);
  if (path.empty()) return FALSE;
  std::lock_guard<std::mutex> guard(moduleLock());
  Win32Module* record = findByPathLocked(path);
  if (!record) {
    record = new Win32Module;
    record->path = path;
    record->pinned = true;
    moduleRecords().push_back(record);
  }
  *module = record;
  return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size) {
  if (!fileName || size == 0) return 0;
  if (!module) module = GetModuleHandleA(nullptr);
  std::string path;
  {
    std::lock_guard<std::mutex> guard(moduleLock());
    path = module->path;
  }
  size_t length = path.size() < size ? path.size() : size - 1;
  memcpy(fileName, path.data(), length);
  fileName[length] = '\0';
  return static_cast<DWORD>(length);
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  if (!module || !procName) return nullptr;
  if (module->builtinUser32) {
    if (strcmp(procName, "MessageBoxTimeoutA") == 0)
      return reinterpret_cast<FARPROC>(&messageBoxTimeout);
    return nullptr;
  }
  void* library = module->library;
  if (!library) library = dlopen(module->path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!library) return nullptr;
  void* symbol = dlsym(library, procName);
  if (library != module->library) dlclose(library);
  return reinterpret_cast<FARPROC>(symbol);
}
