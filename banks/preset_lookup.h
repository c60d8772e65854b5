#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "banks/attached_sound_font.h"

namespace kelvane {

class TPresetLayer;

// The flat lookup table: for each (bank, program) the head of a chain of leaf
// layers linked through NextLayer, or null. Heap-allocated (16 MiB).
class TPresetLayers {
 public:
  TPresetLayers();
  TPresetLayers(const TPresetLayers&) = delete;
  TPresetLayers& operator=(const TPresetLayers&) = delete;

  static constexpr int32_t Count = PresetLayerEntryCount;

  // The bank of an entry reached through this one may be written: Clear looks at it.
  TPresetLayer*& operator[](int32_t index) {
    const auto bank = static_cast<size_t>(index / PresetProgramCount);
    fWrittenBanks[bank / 64] |= uint64_t{1} << (bank % 64);
    return fEntries[static_cast<size_t>(index)];
  }
  TPresetLayer* operator[](int32_t index) const { return fEntries[static_cast<size_t>(index)]; }
  // Chain head of (bank, program); null when outside the table.
  TPresetLayer* Get(int32_t bank, int32_t program) const {
    if (bank < 0 || bank >= PresetBankCount || program < 0 || program >= PresetProgramCount) return nullptr;
    return fEntries[static_cast<size_t>(PresetLayerIndex(bank, program))];
  }
  void Clear();

 private:
  struct TFree {
    void operator()(TPresetLayer** entries) const;
  };
  // Zeroed by the system: the pages of banks that no preset uses are never
  // written, so they take no memory.
  std::unique_ptr<TPresetLayer*[], TFree> fEntries;
  // Bit b: bank b may hold a non-null entry.
  std::array<uint64_t, (PresetBankCount + 63) / 64> fWrittenBanks{};
};

struct TPresetInfo {
  int32_t Program_ = 0;
  int32_t Bank = 0;
  TPresetLayer* Layer = nullptr;  // the leaf
  std::string Name;
};
using TPresetInfos = std::vector<TPresetInfo>;

// TSynth::Recache: polyphony cache over the tree, then every leaf appended to
// the chains of the (bank, program) entries its bank and program selectors
// (and its ancestors') allow, with Active taken from its bank's enable flags.
void RebuildPresetLayers(TPresetLayer& root, TPresetLayers& presetLayers);

// TSynth::GetPresetInfos: (bank, program, leaf) triples inside the inclusive
// ranges, only of soundFont's leaves unless it is null.
TPresetInfos CollectPresetInfos(TPresetLayer& root, TAttachedSoundFont* soundFont, int32_t bankLo, int32_t bankHi,
                                int32_t prgLo, int32_t prgHi);

}  // namespace kelvane
