// Serving through the built plug-in and reading the frame-number barcode of what it serves,
// for the damage tests. The plug-in folder is the build's lib folder, or
// TESSIVAR_DAMAGE_LIB_DIR when set (to run the same tests against another build).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/plugin_library.h"
#include "host/script_environment.h"

inline std::string DamageLibDir() {
  const char* dir = std::getenv("TESSIVAR_DAMAGE_LIB_DIR");
  return dir && *dir ? dir : TESSIVAR_LIB_DIR;
}

inline HostEnvironment& PluginHost() {
  static HostEnvironment* env = [] {
    auto* created = new HostEnvironment();
    static PluginLibrary& plugin = *new PluginLibrary;  // loaded for the process's life
    std::string error;
    if (!plugin.Load(DamageLibDir() + "/libtessivar.so", created, &error)) ADD_FAILURE() << error;
    return created;
  }();
  return *env;
}

// One frame per coded frame, no indexing notice.
inline PClip OpenClip(const std::string& index) {
  AVSValue args[] = {AVSValue(index.c_str()), AVSValue(true), AVSValue(2)};
  const char* names[] = {"vqi", "silent", "fieldop"};
  return PluginHost().Invoke("Orvanto", AVSValue(args, 3), names).AsClip();
}

// The frame number of the barcode in luma row 8: -1 when a block is neither black nor white
// (a placeholder's flat gray).
inline int ShownNumber(const PVideoFrame& frame) {
  const uint8_t* row = frame->GetReadPtr(PLANAR_Y) + 8 * frame->GetPitch(PLANAR_Y);
  int number = 0;
  for (int k = 0; k < 16 && 20 * k + 10 < frame->GetRowSize(PLANAR_Y); ++k) {
    const uint8_t v = row[20 * k + 10];
    if (v > 64 && v < 192) return -1;
    if (v >= 192) number |= 1 << k;
  }
  return number;
}
