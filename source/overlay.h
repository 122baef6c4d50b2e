// The information overlay (text drawn with a built-in 10 x 20 font) and the hint
// stamp hidden in the low bits of a frame's first 64 luma bytes.
#pragma once

#include <cstdint>

#include "source/clip_picture.h"

struct SourceState;

constexpr int kGlyphWidth = 10;
constexpr int kGlyphHeight = 20;
constexpr int kGlyphCount = 95;  // character codes 32 to 126
constexpr uint32_t kHintMarker = 0xDEADBEEFu;

// Row masks of glyph g (character code g + 32), top row first; bit 15 is the
// leftmost column.
const uint16_t* GlyphRows(int glyph);

// Draws glyph g into text cell (c, r): luma pixels x = 10c..10c+9, y = 20r..20r+19.
// Set pixels become 235 (chroma 128); the others are darkened. Pixels outside the
// picture are not touched; a glyph index outside 0..94 draws '?'. A picture
// without a luma plane (not writable) is left alone.
void DrawChar(const YV12Picture& frame, int32_t column, int32_t row, int32_t glyph);
// Draws the NUL-terminated text into cells (c, r), (c + 1, r), ...
void DrawText(const YV12Picture& frame, int32_t column, int32_t row, const char* text);

// Writes the marker into bit 0 of luma bytes 0..31 and the hint into bytes 32..63
// (least significant bit first). A null pointer stamps nothing. Returns false.
bool StampFrameHint(uint8_t* luma, uint32_t hint);
// False and *hint stored when bytes 0..31 carry the marker; true otherwise.
bool ReadFrameHint(const uint8_t* luma, uint32_t* hint);

// The hint word of display frame n by the source's codec kind: AVC the frame's
// hint value times 4; MPEG-2 the low three bits of its GOP's hint bits times 4,
// plus 1 for a progressive frame; VC-1 the GOP's bits times 4. Returns false (no
// stamp) for another codec kind, or when the tables do not cover frame n.
bool FrameHintWord(const SourceState& source, int32_t n, uint32_t* hint);
