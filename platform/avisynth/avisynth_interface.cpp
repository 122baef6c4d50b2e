#include "platform/avisynth/avisynth_interface.h"

AVSValue::AVSValue(IClip* c) : type('c'), array_size(0), clip(c) {
  if (c) c->AddRef();
}

AVSValue::AVSValue(const PClip& c) : type('c'), array_size(0), clip(c.get()) {
  if (clip) clip->AddRef();
}

AVSValue::AVSValue(const AVSValue& v) : type('v'), array_size(0), clip(nullptr) {
  Assign(v, true);
}

AVSValue::~AVSValue() {
  if (IsClip() && clip) clip->Release();
}

AVSValue& AVSValue::operator=(const AVSValue& v) {
  Assign(v, false);
  return *this;
}

// Takes the new reference before dropping the old one, and reads the source
// before writing, so assigning a value to itself keeps it intact.
void AVSValue::Assign(const AVSValue& src, bool init) {
  const short newType = src.type;
  const short newSize = src.array_size;
  IClip* newClip = nullptr;
  bool newBool = false;
  int newInt = 0;
  float newFloat = 0.0f;
  const char* newString = nullptr;
  const AVSValue* newArray = nullptr;
  switch (newType) {
    case 'c': newClip = src.clip; break;
    case 'b': newBool = src.boolean; break;
    case 'i': newInt = src.integer; break;
    case 'f': newFloat = src.floating_pt; break;
    case 's': newString = src.string; break;
    case 'a': newArray = src.array; break;
    default: break;
  }
  if (newClip) newClip->AddRef();
  IClip* old = (!init && IsClip()) ? clip : nullptr;
  type = newType;
  array_size = newSize;
  clip = nullptr;  // clears the whole union before a narrower member is written
  switch (newType) {
    case 'c': clip = newClip; break;
    case 'b': boolean = newBool; break;
    case 'i': integer = newInt; break;
    case 'f': floating_pt = newFloat; break;
    case 's': string = newString; break;
    case 'a': array = newArray; break;
    default: break;
  }
  if (old) old->Release();
}
