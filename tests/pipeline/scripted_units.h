// A unit source for tests: the extractors the bitstream reader calls, serving units
// from a list the test fills, the way the stream extractors fill the owner's unit.
#pragma once

#include <cstdint>
#include <vector>

#include "source/source_state.h"

struct ScriptedUnits {
  std::vector<std::vector<uint8_t>> units;
  size_t next = 0;
  int endResult = 0;   // what the extractor returns once the list is used up
  int avcCalls = 0;
  int otherCalls = 0;
};

// The source the extractors serve (one per test, reset with ResetScriptedUnits).
ScriptedUnits& Script();
void ResetScriptedUnits();
// A unit of `length` bytes: start code, then bytes derived from `tag` and the position.
std::vector<uint8_t> MakeUnit(uint32_t length, uint8_t tag);
