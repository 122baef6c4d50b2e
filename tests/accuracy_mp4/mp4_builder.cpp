#include "tests/accuracy_mp4/mp4_builder.h"

#include <fstream>
#include <stdexcept>

namespace {

std::string U8(uint32_t v) { return std::string(1, char(v & 0xFF)); }
std::string U16(uint32_t v) { return U8(v >> 8) + U8(v); }
std::string U32(uint32_t v) { return U16(v >> 16) + U16(v); }
std::string Zeros(size_t n) { return std::string(n, '\0'); }

std::string Box(const std::string& type, const std::string& body) { return U32(uint32_t(8 + body.size())) + type + body; }
std::string FullBox(const std::string& type, uint32_t flags, const std::string& body) {
  return Box(type, U32(flags) + body);
}

std::string Matrix() {
  return U32(0x10000) + U32(0) + U32(0) + U32(0) + U32(0x10000) + U32(0) + U32(0) + U32(0) + U32(0x40000000);
}

std::string Descriptor(uint8_t tag, const std::string& body) { return U8(tag) + U8(uint32_t(body.size())) + body; }

std::string SampleEntry(const TrackSpec& track) {
  if (track.handler != "vide") {
    // Audio entry: reserved, data reference, reserved, 2 channels, 16 bits, 48 kHz.
    return Box(track.entryName, Zeros(6) + U16(1) + Zeros(8) + U16(2) + U16(16) + Zeros(4) + U32(48000u << 16));
  }
  std::string fields = Zeros(6) + U16(1) + Zeros(16) + U16(64) + U16(64) + U32(0x480000) + U32(0x480000) + Zeros(4) +
                       U16(1) + Zeros(32) + U16(0x18) + U16(0xFFFF);
  if (track.entryName == "avc1") {
    std::string record = U8(1) + (track.sps.empty() || track.sps[0].size() < 4 ? std::string("\x42\x00\x1e", 3)
                                                                                : track.sps[0].substr(1, 3));
    record += U8(0xFC | (track.lengthSize - 1u)) + U8(0xE0 | uint32_t(track.sps.size()));
    for (const std::string& set : track.sps) record += U16(uint32_t(set.size())) + set;
    record += U8(uint32_t(track.pps.size()));
    for (const std::string& set : track.pps) record += U16(uint32_t(set.size())) + set;
    fields += Box("avcC", record);
  } else if (track.objectType != 0) {
    const std::string config = U8(track.objectType) + U8(0x11) + Zeros(3) + U32(0) + U32(0);
    fields += FullBox("esds", 0, Descriptor(3, U16(1) + U8(0) + Descriptor(4, config) + Descriptor(6, U8(2))));
  }
  return Box(track.entryName, fields);
}

struct TrackBoxes {
  std::string trak;
  size_t stszCount;  // offsets inside trak
  size_t stcoCount;
};

TrackBoxes Trak(const TrackSpec& track, uint32_t id, const std::vector<uint32_t>& offsets) {
  const uint32_t count = uint32_t(track.samples.size());
  const uint32_t duration = count * track.delta;
  std::string stsz = U32(0) + U32(count);
  for (const std::string& sample : track.samples) stsz += U32(uint32_t(sample.size()));
  std::string stco = U32(count);
  for (uint32_t offset : offsets) stco += U32(offset);
  const std::string stsdBox = FullBox("stsd", 0, U32(1) + SampleEntry(track));
  const std::string sttsBox = FullBox("stts", 0, U32(1) + U32(count) + U32(track.delta));
  const std::string stscBox = FullBox("stsc", 0, U32(1) + U32(1) + U32(1) + U32(1));
  const std::string stszBox = FullBox("stsz", 0, stsz);
  const std::string stcoBox = FullBox("stco", 0, stco);
  const std::string stblBody = stsdBox + sttsBox + stscBox + stszBox + stcoBox;
  const std::string header = track.handler == "vide" ? FullBox("vmhd", 1, Zeros(8)) : FullBox("smhd", 0, Zeros(4));
  const std::string dinf = Box("dinf", FullBox("dref", 0, U32(1) + FullBox("url ", 1, "")));
  const std::string minfHead = header + dinf;
  const std::string minf = Box("minf", minfHead + Box("stbl", stblBody));
  const std::string mdhd = FullBox("mdhd", 0, U32(0) + U32(0) + U32(track.timescale) + U32(duration) + U16(0x55C4) + U16(0));
  const std::string hdlr = FullBox("hdlr", 0, U32(0) + track.handler + Zeros(12) + U8(0));
  const std::string mdia = Box("mdia", mdhd + hdlr + minf);
  const std::string tkhd = FullBox("tkhd", 3, U32(0) + U32(0) + U32(id) + U32(0) + U32(duration) + Zeros(8) + U16(0) +
                                                  U16(0) + U16(0) + U16(0) + Matrix() + U32(64u << 16) + U32(64u << 16));
  std::string edts;
  if (track.editStart != 0)
    edts = Box("edts", FullBox("elst", 0, U32(1) + U32(duration) + U32(track.editStart) + U32(0x10000)));
  const std::string trakBody = tkhd + edts + mdia;
  TrackBoxes boxes;
  boxes.trak = Box("trak", trakBody);
  // Where the count fields lie inside trak: box headers of trak, mdia, minf, stbl.
  const size_t stblStart = 8 + tkhd.size() + edts.size() + 8 + mdhd.size() + hdlr.size() + 8 + minfHead.size() + 8;
  boxes.stszCount = stblStart + stsdBox.size() + sttsBox.size() + stscBox.size() + 8 + 4 + 4;
  boxes.stcoCount = stblStart + stsdBox.size() + sttsBox.size() + stscBox.size() + stszBox.size() + 8 + 4;
  return boxes;
}

}  // namespace

BuiltMp4 BuildMp4(const std::vector<TrackSpec>& tracks) {
  const std::string ftyp = Box("ftyp", "isom" + U32(0x200) + "isomiso2mp41");
  const std::string mvhd = FullBox("mvhd", 0, U32(0) + U32(0) + U32(1000) + U32(0) + U32(0x10000) + U16(0x100) +
                                                  Zeros(10) + Matrix() + Zeros(24) + U32(uint32_t(tracks.size()) + 1));
  // Two passes: the sample offsets depend on the size of moov, which does not
  // depend on them.
  std::vector<std::vector<uint32_t>> offsets(tracks.size());
  for (size_t t = 0; t < tracks.size(); ++t) offsets[t].assign(tracks[t].samples.size(), 0);
  std::string moovBody;
  std::vector<TrackBoxes> built;
  for (int pass = 0; pass < 2; ++pass) {
    moovBody = mvhd;
    built.clear();
    for (size_t t = 0; t < tracks.size(); ++t) {
      built.push_back(Trak(tracks[t], uint32_t(t + 1), offsets[t]));
      moovBody += built.back().trak;
    }
    uint32_t at = uint32_t(ftyp.size() + 8 + moovBody.size() + 8);
    for (size_t t = 0; t < tracks.size(); ++t)
      for (size_t k = 0; k < tracks[t].samples.size(); ++k) {
        offsets[t][k] = at;
        at += uint32_t(tracks[t].samples[k].size());
      }
  }
  std::string mdat;
  for (const TrackSpec& track : tracks)
    for (const std::string& sample : track.samples) mdat += sample;
  BuiltMp4 result;
  result.moovStart = ftyp.size();
  result.bytes = ftyp + Box("moov", moovBody) + Box("mdat", mdat);
  if (!tracks.empty()) {
    const size_t trakStart = ftyp.size() + 8 + mvhd.size();
    result.stszCount = trakStart + built[0].stszCount;
    result.stcoCount = trakStart + built[0].stcoCount;
    result.stcoFirst = result.stcoCount + 4;
  }
  return result;
}

std::string LengthPrefixed(const std::string& unit, int lengthSize) {
  std::string prefix;
  for (int k = lengthSize - 1; k >= 0; --k) prefix += char((unit.size() >> (8 * k)) & 0xFF);
  return prefix + unit;
}

std::string WriteTestFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}
