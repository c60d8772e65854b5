#include "banks/preset_lookup.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "banks/preset_layer.h"

namespace kelvane {

TPresetLayers::TPresetLayers()
    : fEntries(static_cast<TPresetLayer**>(std::calloc(static_cast<size_t>(Count), sizeof(TPresetLayer*)))) {
  if (!fEntries) throw std::bad_alloc();
}

void TPresetLayers::TFree::operator()(TPresetLayer** entries) const { std::free(entries); }

// Writes only the banks in use, so that untouched pages stay untouched; a
// bank's 128 entries are tested together (the test vectorizes). Only the
// banks that may have been written are looked at.
void TPresetLayers::Clear() {
  for (size_t word = 0; word < fWrittenBanks.size(); ++word) {
    for (uint64_t bits = std::exchange(fWrittenBanks[word], 0); bits != 0; bits &= bits - 1) {
      const auto bank = static_cast<int32_t>(word * 64 + static_cast<size_t>(std::countr_zero(bits)));
      TPresetLayer** row = fEntries.get() + static_cast<size_t>(PresetLayerIndex(bank, 0));
      uintptr_t any = 0;
      for (int32_t p = 0; p < PresetProgramCount; ++p) any |= reinterpret_cast<uintptr_t>(row[p]);
      if (any != 0) std::fill(row, row + PresetProgramCount, nullptr);
    }
  }
}

namespace {

struct TRanges {
  int32_t BankLo, BankHi, PrgLo, PrgHi;
};

// Narrows the ranges by the layer's bank and program selectors; false when a
// range became empty.
bool NarrowRanges(const TPresetLayer& layer, TRanges& ranges) {
  for (const TPresetLayerSelector* selector : layer.Selectors) {
    switch (selector->fSelectorType) {
      case lstBANKRANGE:
        ranges.BankLo = std::max(ranges.BankLo, selector->fRange.Lo);
        ranges.BankHi = std::min(ranges.BankHi, selector->fRange.Hi);
        if (ranges.BankLo > ranges.BankHi) return false;
        break;
      case lstPROGRAMRANGE:
        ranges.PrgLo = std::max(ranges.PrgLo, selector->fRange.Lo);
        ranges.PrgHi = std::min(ranges.PrgHi, selector->fRange.Hi);
        if (ranges.PrgLo > ranges.PrgHi) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

// Calls onLeaf(leaf, ranges) for every leaf below layer (an inner layer
// without children counts as a leaf), depth first in list order.
template <typename F>
void VisitLeaves(TPresetLayer& layer, TRanges ranges, F& onLeaf) {
  if (!NarrowRanges(layer, ranges)) return;
  if (layer.HasChildren()) {
    for (TPresetLayer* child : layer.Layers) VisitLeaves(*child, ranges, onLeaf);
  } else {
    onLeaf(layer, ranges);
  }
}

// As VisitLeaves, but the root itself is never a leaf: a tree holding only
// the root registers nothing.
template <typename F>
void VisitLeavesBelowRoot(TPresetLayer& root, TRanges ranges, F& onLeaf) {
  if (!NarrowRanges(root, ranges)) return;
  for (TPresetLayer* child : root.Layers) VisitLeaves(*child, ranges, onLeaf);
}

TRanges ClampRanges(int32_t bankLo, int32_t bankHi, int32_t prgLo, int32_t prgHi) {
  return {std::max(bankLo, 0), std::min(bankHi, PresetBankCount - 1), std::max(prgLo, 0),
          std::min(prgHi, PresetProgramCount - 1)};
}

// The top-most ancestor below the root (the leaf itself when it hangs
// directly below the root).
const TPresetLayer& TopLayerBelowRoot(const TPresetLayer& leaf) {
  const TPresetLayer* layer = &leaf;
  while (layer->Parent && layer->Parent->Parent) layer = layer->Parent;
  return *layer;
}

}  // namespace

void RebuildPresetLayers(TPresetLayer& root, TPresetLayers& presetLayers) {
  presetLayers.Clear();
  root.RecacheReset();
  root.Recache();
  auto registerLeaf = [&presetLayers](TPresetLayer& leaf, const TRanges& ranges) {
    const TAttachedSoundFont* bank = leaf.AttachedSoundFont;
    for (int32_t b = ranges.BankLo; b <= ranges.BankHi; ++b) {
      for (int32_t p = ranges.PrgLo; p <= ranges.PrgHi; ++p) {
        const int32_t index = PresetLayerIndex(b, p);
        leaf.Active = !bank || bank->ActiveAllBankPrograms || bank->ActiveBankProgramBitmap.TestIndex(index);
        TPresetLayer*& head = presetLayers[index];
        if (!head) {
          head = &leaf;
        } else {
          TPresetLayer* last = head;
          while (last->NextLayer) last = last->NextLayer;
          last->NextLayer = &leaf;
        }
        leaf.NextLayer = nullptr;
      }
    }
  };
  VisitLeavesBelowRoot(root, ClampRanges(0, PresetBankCount - 1, 0, PresetProgramCount - 1), registerLeaf);
}

TPresetInfos CollectPresetInfos(TPresetLayer& root, TAttachedSoundFont* soundFont, int32_t bankLo, int32_t bankHi,
                                int32_t prgLo, int32_t prgHi) {
  TPresetInfos infos;
  const TRanges ranges = ClampRanges(bankLo, bankHi, prgLo, prgHi);
  if (ranges.BankLo > ranges.BankHi || ranges.PrgLo > ranges.PrgHi) return infos;
  auto collect = [&infos, soundFont](TPresetLayer& leaf, const TRanges& r) {
    if (soundFont && soundFont != leaf.AttachedSoundFont) return;
    const TAttachedSoundFont* bank = leaf.AttachedSoundFont ? leaf.AttachedSoundFont : soundFont;
    const bool namedByPreset = bank && (bank->SoundBankType == sbtSF2 || bank->SoundBankType == sbtDLS);
    const std::string& name = namedByPreset ? TopLayerBelowRoot(leaf).Name : leaf.Name;
    for (int32_t b = r.BankLo; b <= r.BankHi; ++b)
      for (int32_t p = r.PrgLo; p <= r.PrgHi; ++p) infos.push_back({p, b, &leaf, name});
  };
  VisitLeavesBelowRoot(root, ranges, collect);
  return infos;
}

}  // namespace kelvane
