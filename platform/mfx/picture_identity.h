// What a decoded picture is, as its own headers say: attached by the application to each
// output surface (mfxFrameData::ExtParam) and filled by the software engine for every surface
// it gives out. An engine that does not know this buffer leaves it as the application set it
// (`filled` 0), and the application then takes pictures in the order they come.
#pragma once

#include <cstdint>

#include <mfx/mfxstructures.h>

constexpr mfxU32 kExtPictureIdentityId = MFX_MAKEFOURCC('T', 'V', 'P', 'I');

struct mfxExtPictureIdentity {
  mfxExtBuffer Header;  // BufferId kExtPictureIdentityId, BufferSz sizeof(mfxExtPictureIdentity)
  mfxU16 filled;        // 1: the engine wrote the fields below for this surface
  mfxU16 decoded;       // 1: a decoded picture; 0: a placeholder for a picture that failed
  mfxU16 numberKnown;   // 0: the picture's header could not be read (`number` means nothing)
  mfxU16 reserved;
  // Counts the restarts of the stream's numbering since the decoder's Init or Reset:
  // H.264 IDR pictures and memory_management_control_operation 5, MPEG-2 GOP headers.
  mfxU32 restart;
  // 0: `number` is the picture's own. Otherwise it is right only modulo this value: H.264
  // pictures decoded from a recovery point, before any IDR picture, whose count's base the
  // decoder never saw (the picture order count's most significant part).
  mfxU32 modulus;
  // How many of the restarts counted in `restart` the engine inferred from lost pictures (an
  // H.264 picture whose frame_num shows that reference pictures before it were lost, an IDR
  // picture among them or not): each may be no restart at all.
  mfxU32 inferredRestarts;
  mfxU32 reserved2;
  // H.264: the picture order count, as the picture's own header gives it from its restart on
  // (an IDR picture's own lsb included). MPEG-2: temporal_reference, counted on past 1023
  // inside one GOP (its value modulo 1024 is the header's field).
  mfxI64 number;
};

// The identity buffer among a surface's attached buffers, or null.
inline mfxExtPictureIdentity* FindPictureIdentity(const mfxFrameData& data) {
  for (mfxU16 i = 0; data.ExtParam && i < data.NumExtParam; ++i) {
    mfxExtBuffer* buffer = data.ExtParam[i];
    if (buffer && buffer->BufferId == kExtPictureIdentityId && buffer->BufferSz >= sizeof(mfxExtPictureIdentity))
      return reinterpret_cast<mfxExtPictureIdentity*>(buffer);
  }
  return nullptr;
}
