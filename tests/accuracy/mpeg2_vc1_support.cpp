#include "tests/accuracy/mpeg2_vc1_support.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "source/index_readers.h"
#include "source/source_state.h"
#include "tests/accuracy/serving_harness.h"

CodecIndex ReadCodecIndex(const std::string& indexPath, int fieldop) {
  std::ifstream in(indexPath);
  std::string magic;
  std::getline(in, magic);
  if (magic.size() < 3) throw std::runtime_error("not an index: " + indexPath);

  CodecIndex index;
  auto state = std::make_unique<SourceState>();
  state->fieldop = fieldop;
  if (magic[2] == 'M') {
    index.codecKind = state->codecKind = kCodecMpeg2;
    index.code = ReadMpeg2Index(state.get(), indexPath.c_str());
  } else if (magic[2] == 'V') {
    index.codecKind = state->codecKind = kCodecVc1;
    index.code = ReadVc1Index(state.get(), indexPath.c_str());
  } else {
    throw std::runtime_error("not an MPEG-2 or VC-1 index: " + indexPath);
  }
  if (index.code == 0) {
    for (int32_t g = 0; g < state->gopCount; ++g) {
      index.recordFirsts.push_back(state->gopTable[g]->firstFrame);
      index.closedFlags.push_back(state->gopTable[g]->closedFlag);
    }
    for (int32_t n = 0; n < state->displayFrameCount; ++n) {
      const FrameEntry& entry = state->frameTable[n];
      // The record shown in the stamp: the one whose first coded frame is at most n
      // (n the display number, as the clip looks it up), else the last.
      size_t record = index.recordFirsts.size() - 1;
      for (size_t g = 0; g + 1 < index.recordFirsts.size(); ++g) {
        if (index.recordFirsts[g] <= n && n < index.recordFirsts[g + 1]) {
          record = g;
          break;
        }
      }
      uint32_t hint = (uint32_t(state->gopTable[record]->hintBits) & 7u) << 2;
      if (index.codecKind == kCodecMpeg2 && entry.frameFlag == 1) hint |= 1;
      index.entries.push_back({entry.topFrame, entry.bottomFrame, hint});
    }
    index.leadingSkip = state->leadingSkipCount;
    index.softPulldown = state->softPulldown != 0;
  }
  ReleaseIndexData(state.get());
  return index;
}

std::vector<uint8_t> PlanesOf(const PVideoFrame& frame) {
  std::vector<uint8_t> out;
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    const BYTE* row = frame->GetReadPtr(plane);
    for (int y = 0; y < frame->GetHeight(plane); ++y, row += frame->GetPitch(plane))
      out.insert(out.end(), row, row + frame->GetRowSize(plane));
  }
  return out;
}

double LumaPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height) {
  const size_t count = size_t(width) * height;
  if (a.size() < count || b.size() < count) return 0;
  double sum = 0;
  for (size_t i = 0; i < count; ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 999;
  return 10 * std::log10(255.0 * 255.0 * double(count) / sum);
}

int Barcode(const std::vector<uint8_t>& picture, int width, int row) {
  int value = 0;
  for (int k = 0; k < 16 && 20 * k + 10 < width; ++k)
    if (picture[size_t(row) * width + 20 * k + 10] > 128) value |= 1 << k;
  return value;
}

std::string IndexWithout(const std::string& indexPath, const std::string& prefix, const std::string& name) {
  const std::string path = WorkFolder() + "/" + name + ".vqi";
  std::ifstream in(indexPath);
  std::ofstream out(path);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) != 0) out << line << "\n";
  return path;
}
