// The parameter defaults of Orvanto: built-in values, the defaults file
// "Marlquin.def" and the merge with the script's arguments.
#pragma once

#include <string>

class AVSValue;

// One value per script parameter, in the order of the parameter string.
struct ScriptSettings {
  std::string vqi;  // at most kMaxDefaultsPath characters when it comes from the file
  int engine = 0;
  bool i420 = false;
  int deinterlace = 0;
  int fieldop = 0;
  bool debug = false;
  bool silent = false;
};

constexpr const char* kDefaultsFileName = "Marlquin.def";
constexpr size_t kMaxDefaultsPath = 254;

// Reads the defaults file into *settings (keys found override the values there).
// A file that cannot be opened changes nothing.
void ReadDefaultsFile(const char* fileName, ScriptSettings* settings);

// Applies one line piece of the defaults file (at most 79 characters, newline
// included when it ended the piece).
void ApplyDefaultsLine(const char* line, ScriptSettings* settings);

// Per parameter: the script's argument when present and of the parameter's own
// type, else the value already in *settings. `args` is the host's argument array
// in parameter-string order.
void MergeScriptArguments(const AVSValue& args, ScriptSettings* settings);
