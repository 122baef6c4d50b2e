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

// Takes the new reference before dropping the old one, so assigning a value to
// itself (or to a copy of itself) never frees the clip in between.
void AVSValue::Assign(const AVSValue& src, bool init) {
  if (src.IsClip() && src.clip) src.clip->AddRef();
  IClip* old = (!init && IsClip()) ? clip : nullptr;
  type = src.type;
  array_size = src.array_size;
  clip = nullptr;  // clears the whole union before a narrower member is copied
  switch (src.type) {
    case 'c': clip = src.clip; break;
    case 'b': boolean = src.boolean; break;
    case 'i': integer = src.integer; break;
    case 'f': floating_pt = src.floating_pt; break;
    case 's': string = src.string; break;
    case 'a': array = src.array; break;
    default: break;
  }
  if (old) old->Release();
}
