// Builds small MP4 files for tests: ftyp, moov with one trak per track, then mdat
// with every sample, one chunk per sample. The offsets of the table boxes are kept
// so that a test can damage them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TrackSpec {
  std::string handler = "vide";     // "vide", "soun"
  std::string entryName = "avc1";   // sample entry name
  uint8_t objectType = 0;           // esds objectTypeIndication (mp4v entries), 0: no esds
  uint8_t lengthSize = 4;           // avc1 entries: NAL length size of the avcC
  std::vector<std::string> sps{std::string("\x67\x42\x00\x1e\x01", 5)};
  std::vector<std::string> pps{std::string("\x68\xce\x38\x80", 4)};
  std::vector<std::string> samples;
  uint32_t timescale = 12800;
  uint32_t delta = 512;             // every sample's duration
  uint32_t editStart = 0;           // an edit list starting the presentation here, 0: none
};

struct BuiltMp4 {
  std::string bytes;
  // Byte offsets (of the first track) of the count fields of stsz and stco, and of the
  // first stco entry.
  size_t stszCount = 0;
  size_t stcoCount = 0;
  size_t stcoFirst = 0;
  size_t moovStart = 0;
};

BuiltMp4 BuildMp4(const std::vector<TrackSpec>& tracks);

// A NAL unit of `size` bytes with a length prefix of lengthSize bytes.
std::string LengthPrefixed(const std::string& unit, int lengthSize);

// Writes bytes to a file; the path.
std::string WriteTestFile(const std::string& path, const std::string& bytes);
