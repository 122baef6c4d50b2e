// The Media SDK entry points of the plug-in route each session to the library that opened it:
// a software request to the engine library (libmfxsw64.so / libmfxsw32.so) in the plug-in's
// own folder, a hardware request to the system's Media SDK dispatcher (libmfx.so.1).
#pragma once

#include <string>

namespace tessivar::mfx {

// File name of the software engine for this build (64- or 32-bit).
const char* EngineFileName();

// Folder searched for the engine: the one set below, else the folder of the module that holds
// this code (the plug-in).
std::string EngineFolder();

// Makes the dispatch look for the engine in `folder` instead of beside its own module. For
// programs that link the dispatch directly (tests, tools); an empty string restores the default.
void SetEngineFolder(const std::string& folder);

}  // namespace tessivar::mfx
