// The synthetic picture of the host's test plug-in (shared with the tests that
// check what the host writes out).
#pragma once

constexpr int kPatternWidth = 70;  // chroma rows 35 bytes: pitches differ from widths
constexpr int kPatternHeight = 48;
constexpr int kPatternFrames = 10;

inline unsigned char PatternLuma(int x, int y, int n) { return static_cast<unsigned char>(x * 3 + y * 5 + n * 7); }
inline unsigned char PatternU(int x, int y, int n) { return static_cast<unsigned char>(64 + x + 2 * y + n); }
inline unsigned char PatternV(int x, int y, int n) { return static_cast<unsigned char>(192 - x + y - n); }
