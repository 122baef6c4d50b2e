#include "source/defaults_file.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/avisynth/avisynth_interface.h"

namespace {

// Leading blanks, an optional sign, digits up to the first non-digit; no digits
// give 0. Values beyond the int range saturate.
int ParseDefaultsInt(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

bool StartsWith(const char* line, const char* key) { return std::strncmp(line, key, std::strlen(key)) == 0; }

// The text after the first '=' of the line, or null when the line has none.
const char* ValueOf(const char* line) {
  const char* eq = std::strchr(line, '=');
  return eq ? eq + 1 : nullptr;
}

}  // namespace

void ApplyDefaultsLine(const char* line, ScriptSettings* settings) {
  // Every key is tested against every line; "vqi" is the one key without '=', so
  // a "vqi" line without '=' has no value and is ignored.
  if (StartsWith(line, "vqi")) {
    if (const char* value = ValueOf(line)) {
      const char* close = *value == '"' ? std::strchr(value + 1, '"') : nullptr;
      // Only a path closed by a quote within this line piece counts; an unquoted
      // or unterminated one yields the empty path.
      if (close && static_cast<size_t>(close - value - 1) <= kMaxDefaultsPath)
        settings->vqi.assign(value + 1, close);
      else
        settings->vqi.clear();
    }
  }
  if (StartsWith(line, "engine=")) settings->engine = ParseDefaultsInt(ValueOf(line));
  if (StartsWith(line, "i420=")) settings->i420 = *ValueOf(line) == 't';
  if (StartsWith(line, "deinterlace=")) settings->deinterlace = ParseDefaultsInt(ValueOf(line));
  // "use_top_field=", "use_pf=", "crop_t=", "crop_b=", "crop_l=", "crop_r=",
  // "resize_w=" and "resize_h=" are recognised and have no effect.
  if (StartsWith(line, "fieldop=")) settings->fieldop = ParseDefaultsInt(ValueOf(line));
  if (StartsWith(line, "debug=")) settings->debug = *ValueOf(line) == 't';
  if (StartsWith(line, "silent=")) settings->silent = *ValueOf(line) == 't';
}

void ReadDefaultsFile(const char* fileName, ScriptSettings* settings) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(fileName, "r"), std::fclose);
  if (!file) return;
  // 80-byte pieces: at most 79 characters a read, stopping after a newline; the
  // rest of a longer line is a line of its own.
  char line[80];
  while (std::fgets(line, sizeof line, file.get())) ApplyDefaultsLine(line, settings);
}

void MergeScriptArguments(const AVSValue& args, ScriptSettings* settings) {
  // An argument the host did not pass counts as absent.
  const AVSValue absent;
  auto arg = [&args, &absent](int index) -> const AVSValue& {
    return args.IsArray() && index < args.ArraySize() ? args[index] : absent;
  };
  if (arg(0).IsString()) settings->vqi = arg(0).AsString();
  if (arg(1).IsInt()) settings->engine = arg(1).AsInt();
  if (arg(2).IsBool()) settings->i420 = arg(2).AsBool();
  if (arg(3).IsInt()) settings->deinterlace = arg(3).AsInt();
  if (arg(4).IsInt()) settings->fieldop = arg(4).AsInt();
  if (arg(5).IsBool()) settings->debug = arg(5).AsBool();
  if (arg(6).IsBool()) settings->silent = arg(6).AsBool();
}
