#pragma once

// Builds small SoundFont 2 (and SoundFont 1) files in memory for tests:
//
//   Sf2Builder b;
//   b.sample("sine", frames).loop(8, 24);
//   b.instrument("Lead").zone().keyRange(0, 63).gen(gen::pan, -200).sampleId(0);
//   b.preset("Lead", 0, 5).zone().instrument(0);
//   TStreamPtr s = b.stream();
//
// Terminal records (EOP, EOI, EOS and the closing bag/mod/gen records) are
// written automatically; the raw and override hooks produce broken files.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "banks/stream.h"

namespace kelvane::test {

struct Sf2ModRecord {
  uint16_t Src = 0;
  uint16_t Dest = 0;
  int16_t Amount = 0;
  uint16_t AmtSrc = 0;
  uint16_t Trans = 0;
};

// One preset or instrument zone: its generator and modulator records in file order.
class Sf2Zone {
 public:
  Sf2Zone& gen(uint16_t oper, int16_t amount) { return genRaw(oper, static_cast<uint16_t>(amount)); }
  Sf2Zone& genRaw(uint16_t oper, uint16_t amount) {
    Gens.emplace_back(oper, amount);
    return *this;
  }
  Sf2Zone& range(uint16_t oper, uint8_t lo, uint8_t hi) {
    return genRaw(oper, static_cast<uint16_t>(lo | (hi << 8)));
  }
  Sf2Zone& keyRange(uint8_t lo, uint8_t hi) { return range(43, lo, hi); }
  Sf2Zone& velRange(uint8_t lo, uint8_t hi) { return range(44, lo, hi); }
  Sf2Zone& instrument(uint16_t index) { return genRaw(41, index); }
  Sf2Zone& sampleId(uint16_t index) { return genRaw(53, index); }
  Sf2Zone& mod(uint16_t src, uint16_t dest, int16_t amount, uint16_t amtSrc = 0, uint16_t trans = 0) {
    Mods.push_back({src, dest, amount, amtSrc, trans});
    return *this;
  }

  std::vector<std::pair<uint16_t, uint16_t>> Gens;  // (operator, amount)
  std::vector<Sf2ModRecord> Mods;
};

struct Sf2Preset {
  std::string Name;
  uint16_t Bank = 0;
  uint16_t Program = 0;
  std::deque<Sf2Zone> Zones;

  Sf2Zone& zone() { return Zones.emplace_back(); }
};

struct Sf2Instrument {
  std::string Name;
  std::deque<Sf2Zone> Zones;

  Sf2Zone& zone() { return Zones.emplace_back(); }
};

// A sample and its header. Loop points are frame offsets from the sample's
// first frame; the builder turns them into absolute smpl positions unless a
// raw value is forced.
struct Sf2Sample {
  std::string Name;
  std::vector<int16_t> Frames;
  std::vector<uint8_t> Low;  // sm24 bytes per frame (missing ones are 0)
  uint32_t LoopStart = 0;
  uint32_t LoopEnd = 0;
  uint32_t SampleRate = 44100;
  uint8_t OriginalPitch = 60;
  int8_t PitchCorrection = 0;
  uint16_t Link = 0;
  uint16_t Type = 1;
  // Header fields written as given instead of being computed.
  std::optional<uint32_t> RawStart, RawEnd, RawLoopStart, RawLoopEnd;

  Sf2Sample& loop(uint32_t start, uint32_t end) {
    LoopStart = start;
    LoopEnd = end;
    return *this;
  }
  Sf2Sample& rate(uint32_t hz) {
    SampleRate = hz;
    return *this;
  }
  Sf2Sample& pitch(uint8_t key, int8_t correctionCents = 0) {
    OriginalPitch = key;
    PitchCorrection = correctionCents;
    return *this;
  }
  Sf2Sample& type(uint16_t sampleType, uint16_t link = 0) {
    Type = sampleType;
    Link = link;
    return *this;
  }
  Sf2Sample& low(std::vector<uint8_t> bytes) {
    Low = std::move(bytes);
    return *this;
  }
  Sf2Sample& raw(uint32_t start, uint32_t end, uint32_t loopStart, uint32_t loopEnd) {
    RawStart = start;
    RawEnd = end;
    RawLoopStart = loopStart;
    RawLoopEnd = loopEnd;
    return *this;
  }
};

class Sf2Builder {
 public:
  // Zero frames written after each sample, as bank editors do.
  static constexpr uint32_t SamplePadFrames = 46;

  Sf2Builder& version(uint16_t major, uint16_t minor) {
    fVersion = {major, minor};
    return *this;
  }
  Sf2Builder& withoutIfil() {
    fVersion.reset();
    return *this;
  }
  Sf2Builder& formType(std::string fourcc) {
    fFormType = std::move(fourcc);
    return *this;
  }
  // An INFO text sub-chunk ("INAM", "ICOP", ...): text, a zero byte, and a
  // second zero when needed for an even size.
  Sf2Builder& info(std::string id, std::string text) {
    fInfoTexts.emplace_back(std::move(id), std::move(text));
    return *this;
  }
  Sf2Builder& romVersion(uint16_t major, uint16_t minor) {
    fRomVersion = {major, minor};
    return *this;
  }
  // Writes an sm24 chunk with every sample's Low bytes.
  Sf2Builder& sm24(bool on = true) {
    fSm24 = on;
    return *this;
  }
  // Record size of shdr entries; by default 16 for major version 1 (or no
  // ifil) and 46 otherwise.
  Sf2Builder& shdrRecordSize(uint32_t size) {
    fShdrRecordSize = size;
    return *this;
  }
  // Replaces the generated payload of a pdta sub-chunk ("phdr", "pbag", ...).
  Sf2Builder& rawChunk(std::string id, std::vector<uint8_t> payload) {
    fRawChunks[std::move(id)] = std::move(payload);
    return *this;
  }
  // Writes this value in the size field of a chunk ("LIST" lists are named
  // by their type: "INFO", "sdta", "pdta") while still writing its real payload.
  Sf2Builder& chunkSize(std::string id, uint32_t size) {
    fSizeOverrides[std::move(id)] = size;
    return *this;
  }
  Sf2Builder& riffSize(uint32_t size) {
    fRiffSize = size;
    return *this;
  }
  // Leaves a chunk out entirely ("smpl", "pmod", "INFO", ...).
  Sf2Builder& omit(std::string id) {
    fOmitted.push_back(std::move(id));
    return *this;
  }

  Sf2Sample& sample(std::string name, std::vector<int16_t> frames) {
    Sf2Sample& s = fSamples.emplace_back();
    s.Name = std::move(name);
    s.Frames = std::move(frames);
    return s;
  }
  Sf2Instrument& instrument(std::string name) {
    Sf2Instrument& i = fInstruments.emplace_back();
    i.Name = std::move(name);
    return i;
  }
  Sf2Preset& preset(std::string name, uint16_t bank, uint16_t program) {
    Sf2Preset& p = fPresets.emplace_back();
    p.Name = std::move(name);
    p.Bank = bank;
    p.Program = program;
    return p;
  }

  // Byte position of the first sample frame (the smpl payload) in build().
  int64_t smplOffset() const;
  std::vector<uint8_t> build() const;
  TStreamPtr stream() const { return std::make_unique<TMemoryStream>(build()); }

 private:
  struct Version {
    uint16_t Major, Minor;
  };

  std::vector<uint8_t> chunk(const std::string& id, const std::vector<uint8_t>& payload) const;
  std::vector<uint8_t> list(const std::string& type, const std::vector<std::vector<uint8_t>>& chunks) const;
  bool omitted(const std::string& id) const;
  std::vector<uint8_t> infoList() const;
  std::vector<uint8_t> sdtaList() const;
  std::vector<uint8_t> pdtaList() const;
  std::vector<uint8_t> payloadOf(const std::string& id, std::vector<uint8_t> generated) const;

  std::optional<Version> fVersion = Version{2, 4};
  std::optional<Version> fRomVersion;
  std::string fFormType = "sfbk";
  std::vector<std::pair<std::string, std::string>> fInfoTexts;
  bool fSm24 = false;
  std::optional<uint32_t> fShdrRecordSize;
  std::map<std::string, std::vector<uint8_t>> fRawChunks;
  std::map<std::string, uint32_t> fSizeOverrides;
  std::optional<uint32_t> fRiffSize;
  std::vector<std::string> fOmitted;
  std::deque<Sf2Sample> fSamples;
  std::deque<Sf2Instrument> fInstruments;
  std::deque<Sf2Preset> fPresets;
};

// Little-endian writers for hand-made records.
void PutU16(std::vector<uint8_t>& out, uint16_t v);
void PutU32(std::vector<uint8_t>& out, uint32_t v);
void PutName(std::vector<uint8_t>& out, const std::string& name);  // 20 bytes, zero filled

}  // namespace kelvane::test
