#pragma once

// SoundFont 2 file records as the reader holds them (SoundFont 2.04 layouts,
// little-endian in the file; sizes are the on-disk record sizes).

#include <cstdint>
#include <string>

namespace kelvane {

struct TSFRange {
  uint8_t Lo = 0;
  uint8_t Hi = 0;
};

// A 16-bit generator amount, read as signed, unsigned or a byte range.
struct TSFGenAmount {
  uint16_t wAmount = 0;

  int16_t shAmount() const { return static_cast<int16_t>(wAmount); }
  TSFRange Ranges() const { return {static_cast<uint8_t>(wAmount & 0xFF), static_cast<uint8_t>(wAmount >> 8)}; }
};

struct TSFPresetHeader {  // phdr
  static constexpr int64_t RecordSize = 38;
  char Name[20] = {};
  uint16_t Preset = 0;
  uint16_t Bank = 0;
  uint16_t PresetBagNdx = 0;
  uint32_t LibraryNdx = 0;
  uint32_t Genre = 0;
  uint32_t Morphology = 0;
};

struct TSFBag {  // pbag, ibag
  static constexpr int64_t RecordSize = 4;
  uint16_t GenNdx = 0;
  uint16_t ModNdx = 0;
};

struct TSFMod {  // pmod, imod
  static constexpr int64_t RecordSize = 10;
  uint16_t ModSrcOper = 0;
  uint16_t ModDstOper = 0;
  int16_t Amount = 0;
  uint16_t ModAmtSrcOper = 0;
  uint16_t ModTransOper = 0;
};

struct TSFGen {  // pgen, igen
  static constexpr int64_t RecordSize = 4;
  uint16_t GenOper = 0;
  TSFGenAmount GenAmount;
};

struct TSFInst {  // inst
  static constexpr int64_t RecordSize = 22;
  char InstName[20] = {};
  uint16_t InstBagNdx = 0;
};

// shdr. SampleType: 1 mono, 2 right, 4 left, 8 linked, bit 15 = ROM.
struct TSFSample {
  static constexpr int64_t RecordSize = 46;
  static constexpr int64_t Version1RecordSize = 16;  // start, end, loop start, loop end
  char SampleName[20] = {};
  uint32_t lwStart = 0;
  uint32_t lwEnd = 0;
  uint32_t LoopStart = 0;
  uint32_t LoopEnd = 0;
  uint32_t SampleRate = 0;
  uint8_t OriginalPitch = 0;
  int8_t PitchCorrection = 0;
  uint16_t SampleLink = 0;
  uint16_t SampleType = 0;
};

// A 20-byte record name cut at the first zero byte.
inline std::string SFName(const char (&name)[20]) {
  size_t n = 0;
  while (n < 20 && name[n] != 0) ++n;
  return std::string(name, n);
}

}  // namespace kelvane
