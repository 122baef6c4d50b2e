#include "host/command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
  if (std::isspace(static_cast<unsigned char>(text[0]))) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool ParseBool(const std::string& text, bool* value) {
  if (text == "true") {
    *value = true;
    return true;
  }
  if (text == "false") {
    *value = false;
    return true;
  }
  return false;
}

}  // namespace

const char* HostUsageText() {
  return "usage: tessivar-host [options]\n"
         "Loads the plug-in, calls Orvanto with the parameters given, prints the clip's\n"
         "properties and serves frames when asked to.\n"
         "Script parameters (a parameter not given is left to Marlquin.def and the defaults):\n"
         "  --vqi PATH            index file, or source file to index\n"
         "  --engine N            0 hardware then software, 1 hardware, 2 software\n"
         "  --i420 true|false     I420 instead of YV12\n"
         "  --deinterlace N\n"
         "  --fieldop N           0 follow repeat flags, 1 force film, 2 one frame per coded frame\n"
         "  --debug true|false    draw the information overlay\n"
         "  --silent true|false   no notice while the indexer runs\n"
         "Host options:\n"
         "  --plugin PATH         plug-in to load (default: libtessivar.so beside this program)\n"
         "  --frames LIST         all (default), N, A-B, or a comma-separated list of these\n"
         "  --y4m FILE            write the frames as YUV4MPEG2 to FILE (- for standard output)\n"
         "  --md5                 print one MD5 per frame: frame number and digest\n"
         "  --help                this text\n"
         "Exit status: 0 done, 1 script or load error, 2 bad command line.\n";
}

bool ParseHostCommandLine(int argc, const char* const* argv, HostOptions* options,
                          std::string* error) {
  *options = HostOptions();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      *error = "unexpected argument \"" + arg + "\"";
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inlineValue;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "help" || name == "md5") {
      if (inlineValue) {
        *error = "--" + name + " takes no value";
        return false;
      }
      (name == "help" ? options->help : options->md5) = true;
      continue;
    }
    static const char* const kValued[] = {"vqi",     "plugin",      "frames",  "y4m",  "engine",
                                          "fieldop", "deinterlace", "i420",    "debug", "silent"};
    bool known = false;
    for (const char* valued : kValued) known = known || name == valued;
    if (!known) {
      *error = "unknown option --" + name;
      return false;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "--" + name + " needs a value";
      return false;
    }
    int number = 0;
    bool flag = false;
    if (name == "vqi") {
      options->vqi = value;
    } else if (name == "plugin") {
      options->plugin = value;
    } else if (name == "frames") {
      options->frames = value;
    } else if (name == "y4m") {
      options->y4m = value;
    } else if (name == "engine" || name == "deinterlace" || name == "fieldop") {
      if (!ParseInt(value, &number)) {
        *error = "--" + name + " needs an integer, not \"" + value + "\"";
        return false;
      }
      (name == "engine" ? options->engine : name == "deinterlace" ? options->deinterlace
                                                                  : options->fieldop) = number;
    } else if (name == "i420" || name == "debug" || name == "silent") {
      if (!ParseBool(value, &flag)) {
        *error = "--" + name + " needs true or false, not \"" + value + "\"";
        return false;
      }
      (name == "i420" ? options->i420 : name == "debug" ? options->debug : options->silent) = flag;
    }
  }
  return true;
}

bool ParseFrameList(const std::string& text, int frameCount, FrameRanges* ranges,
                    std::string* error) {
  ranges->clear();
  if (text.empty() || text == "all") {
    if (frameCount > 0) ranges->emplace_back(0, frameCount - 1);
    return true;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(start, comma - start);
    const size_t dash = item.find('-', 1);
    int first = 0;
    int last = 0;
    bool ok = dash == std::string::npos
                  ? ParseInt(item, &first) && (last = first, true)
                  : ParseInt(item.substr(0, dash), &first) && ParseInt(item.substr(dash + 1), &last);
    if (!ok || first < 0 || last < first) {
      *error = "bad frame list item \"" + item + "\"";
      return false;
    }
    if (last >= frameCount) {
      *error = "frame " + std::to_string(last) + " lies outside the clip (" +
               std::to_string(frameCount) + " frames)";
      return false;
    }
    ranges->emplace_back(first, last);
    start = comma + 1;
  }
  return true;
}
