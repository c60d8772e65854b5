#pragma once

// SoundFont 2 file records as the reader holds them (SoundFont 2.04 layouts,
// little-endian in the file; sizes are the on-disk record sizes).

#include <cstdint>
#include <string>

#include "banks/sample.h"

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

// The shdr record, TSFSample, lives with the sample store (banks/sample.h).
// SoundFont 1 headers are shorter: start, end, loop start, loop end.
inline constexpr int64_t SF1SampleRecordSize = 16;

// A 20-byte record name cut at the first zero byte.
inline std::string SFName(const char (&name)[20]) {
  size_t n = 0;
  while (n < 20 && name[n] != 0) ++n;
  return std::string(name, n);
}

}  // namespace kelvane
