// Test support for serving frames through the built plug-in, in-process with the
// command-line host's environment: index a corpus stream with the test indexer,
// open an Orvanto clip, decode the linear reference with ffmpeg, and build the
// expected picture of a display frame from the reference pictures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/script_environment.h"
#include "platform/avisynth/avisynth_interface.h"

// The host environment with the plug-in loaded, shared by all tests of a process.
HostEnvironment& PluginHost();

// The folders of one test program, fixed when it is built (harness_folders.cpp):
// the plug-in's folder, its streams and a folder to write in.
struct SuiteFolderSet {
  const char* lib;
  const char* corpus;
  const char* work;
};
const SuiteFolderSet& SuiteFolders();

std::string CorpusPath(const std::string& name);
bool CorpusHas(const std::string& name);
// A folder private to this test process.
std::string WorkFolder();

// Writes an index for the source files (several files form one stream) with the
// test indexer; returns its path (made once per process and stream name).
std::string IndexFor(const std::vector<std::string>& sources, const std::string& indexName);

struct ClipOptions {
  std::optional<int> fieldop{};
  std::optional<int> engine{};
  std::optional<bool> debug{};
  std::optional<bool> i420{};
};
PClip OpenClip(const std::string& indexPath, const ClipOptions& options = {});

// A linear decode of the whole stream by ffmpeg, every picture in output order as
// planar 4:2:0 (no frame dropped or repeated).
struct Reference {
  int width = 0;
  int height = 0;
  std::vector<std::vector<uint8_t>> pictures;
};
// With `filter`, the pictures of that ffmpeg video filter's output instead.
Reference DecodeReference(const std::string& source, const std::string& filter = std::string());

// The picture with the top field of reference picture `top` and the bottom field of
// `bottom` (luma and chroma rows alternate between the two).
std::vector<uint8_t> WovenPicture(const Reference& reference, int top, int bottom);

std::string Md5Of(const std::vector<uint8_t>& picture);
// The MD5 of the picture as GetFrame serves it: with the AVC hint stamp of the
// frame's hint value.
std::string StampedMd5Of(std::vector<uint8_t> picture, int32_t hintValue);

// Top and bottom coded frame, and the hint value, of every display frame, as the
// plug-in's own index reader derives them for `fieldop`.
struct DisplayEntry {
  int top;
  int bottom;
  int32_t hintValue;  // these two at the display frame's own index, as GetFrame reads them
  int32_t sliceType;
};
std::vector<DisplayEntry> DisplayEntries(const std::string& indexPath, int fieldop);

// The first coded frame of every GOP of the index, and whether the GOP is IDR.
std::vector<int> GopFirstFrames(const std::string& indexPath, std::vector<bool>* idr = nullptr);

// A copy of the index that keeps only its first `frames` frame lines (and the lines
// before them), as an index of the stream's beginning.
std::string IndexOfFirstFrames(const std::string& indexPath, int frames, const std::string& indexName);

// The script error of opening the clip, or of serving frame n; empty when there is none.
std::string ErrorOfOpen(const std::string& indexPath, int fieldop = 2);
std::string ErrorOfGetFrame(PClip& clip, int n);

// Runs a command through the shell; returns its exit status.
int RunCommand(const std::string& command);
