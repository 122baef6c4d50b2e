#include "pipeline/sample_utils.h"

#include <cstdlib>
#include <cstring>

#include "pipeline/error_line.h"

namespace {
constexpr const char* kModuleFile = "sample_utils.cpp";
}

mfxStatus InitBitstream(mfxBitstream* bitstream, mfxU32 size) {
  if (!bitstream) return MFX_ERR_NULL_PTR;
  if (size == 0) {
    PrintReturnOnError(MFX_ERR_NOT_INITIALIZED, kModuleFile, 73);
    return MFX_ERR_NOT_INITIALIZED;
  }
  FreeBitstream(bitstream);
  bitstream->Data = static_cast<mfxU8*>(std::malloc(size));
  if (!bitstream->Data) return MFX_ERR_MEMORY_ALLOC;
  bitstream->MaxLength = size;
  bitstream->DataLength = 0;
  bitstream->DataOffset = 0;
  return MFX_ERR_NONE;
}

void FreeBitstream(mfxBitstream* bitstream) {
  if (!bitstream) return;
  std::free(bitstream->Data);
  bitstream->Data = nullptr;
}

bool AppendToBitstream(mfxBitstream* bitstream, const uint8_t* data, uint32_t length) {
  const uint64_t end = uint64_t(bitstream->DataOffset) + bitstream->DataLength;
  if (!bitstream->Data || end + length > bitstream->MaxLength) return false;
  std::memcpy(bitstream->Data + end, data, length);
  bitstream->DataLength += length;
  return true;
}
