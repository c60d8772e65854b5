#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "banks/object_list.h"
#include "banks/stream.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;

enum TSoundBankType : uint8_t { sbtUnknown = 0, sbtSFX = 1, sbtSF2 = 2, sbtDLS = 3 };

struct TSFVersion {
  uint16_t Major = 0;
  uint16_t MInor = 0;
};

// Descriptive texts of a bank (8-bit strings as stored in the file).
struct TSFSoundBankInfo {
  std::string EngineName;
  std::string ROMName;
  TSFVersion ROMVersion;
  std::string BankName;
  std::string Date;
  std::string Author;
  std::string Product;
  std::string Copyright;
  std::string Comment;
  std::string Software;
  std::string Description;
};

// Lookup-table geometry: 16385 banks (0..16383 from bank select, 16384 the
// percussion bank) of 128 programs; entry index = bank * 128 + program.
inline constexpr int32_t PresetBankCount = 16385;
inline constexpr int32_t PercussionBank = 16384;
inline constexpr int32_t PresetProgramCount = 128;
inline constexpr int32_t PresetLayerEntryCount = PresetBankCount * PresetProgramCount;  // 2,097,280

constexpr int32_t PresetLayerIndex(int32_t bank, int32_t program) { return bank * PresetProgramCount + program; }

// One bit per lookup-table entry: bit (index AND 31) of word (index SHR 5).
struct TActiveBankProgramBitmap {
  static constexpr int32_t WordCount = 65540;
  std::array<uint32_t, WordCount> Words{};

  // Indices outside the table read as clear and are not written.
  bool TestIndex(int32_t index) const {
    if (index < 0 || index >= PresetLayerEntryCount) return false;
    return (Words[static_cast<size_t>(index >> 5)] >> (index & 31)) & 1u;
  }
  void SetIndex(int32_t index, bool value) {
    if (index < 0 || index >= PresetLayerEntryCount) return;
    const uint32_t mask = 1u << (index & 31);
    uint32_t& word = Words[static_cast<size_t>(index >> 5)];
    word = value ? (word | mask) : (word & ~mask);
  }
  bool Test(int32_t bank, int32_t program) const {
    if (program < 0 || program >= PresetProgramCount) return false;
    return TestIndex(PresetLayerIndex(bank, program));
  }
  void Set(int32_t bank, int32_t program, bool value) {
    if (program < 0 || program >= PresetProgramCount) return;
    SetIndex(PresetLayerIndex(bank, program), value);
  }
  void Clear() { Words.fill(0); }
};

// One attached bank file. The synthesizer owns it through AttachedSoundFonts.
class TAttachedSoundFont : public TSynthClass {
 public:
  explicit TAttachedSoundFont(TSynth* ownerSynth);
  ~TAttachedSoundFont() override;
  TAttachedSoundFont(const TAttachedSoundFont&) = delete;
  TAttachedSoundFont& operator=(const TAttachedSoundFont&) = delete;

  TSynth* Synth;
  // The open bank file, kept for delayed sample loading; null when every
  // sample of the bank is in memory.
  TStreamPtr Stream;
  int64_t SmplOfs = 0;  // byte position of the SF2 16-bit sample data; 0 = none
  int64_t SM24Ofs = 0;  // byte position of the SF2 24-bit extension bytes; 0 = none
  TSFSoundBankInfo SoundBankInfo;
  TSoundBankType SoundBankType = sbtUnknown;
  TActiveBankProgramBitmap ActiveBankProgramBitmap;
  // When set, every (bank, program) counts as enabled and the bitmap is not read.
  bool ActiveAllBankPrograms = true;
};

using TAttachedSoundFontList = TObjectGenericList<TAttachedSoundFont>;

}  // namespace kelvane
