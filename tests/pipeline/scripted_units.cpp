#include "scripted_units.h"

#include <cstring>

#include "source/stream_readers.h"

namespace {

int serveUnit(SourceState* source) {
  ScriptedUnits& script = Script();
  if (script.next >= script.units.size()) return script.endResult;
  const std::vector<uint8_t>& unit = script.units[script.next++];
  std::memcpy(source->unitBuffer, unit.data(), unit.size());
  source->unit.data = source->unitBuffer;
  source->unit.length = static_cast<uint32_t>(unit.size());
  source->needSync = 0;
  return 1;
}

}  // namespace

ScriptedUnits& Script() {
  static ScriptedUnits script;
  return script;
}

void ResetScriptedUnits() { Script() = ScriptedUnits{}; }

std::vector<uint8_t> MakeUnit(uint32_t length, uint8_t tag) {
  std::vector<uint8_t> unit(length);
  for (uint32_t i = 0; i < length; ++i) unit[i] = static_cast<uint8_t>(tag + i * 7);
  unit[0] = 0;
  unit[1] = 0;
  unit[2] = 1;
  unit[3] = tag;
  return unit;
}

int ReadNextAvcUnit(SourceState* source) {
  ++Script().avcCalls;
  return serveUnit(source);
}

int ReadNextUnit(SourceState* source) {
  ++Script().otherCalls;
  return serveUnit(source);
}
