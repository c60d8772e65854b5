#include "banks/preset_layer.h"

#include <bitset>

namespace kelvane {

int32_t TPresetLayerSelector::ControllerValue(const uint8_t* controllers) const {
  const int32_t lo = controllers[fCCLo & 127] & 127;
  if (fSelectorType == lstCONTROLLER14BITRANGE) {
    const int32_t hi = controllers[fCCHi & 127];
    return ((hi << 7) & 0x3FFF) | lo;
  }
  return lo;
}

TPresetLayer::TPresetLayer(TSynth* ownerSynth, TPresetLayer* parent)
    : Parent(parent), Synth(ownerSynth), OrderedModulators(false) {
  Clear();
}

TPresetLayer::~TPresetLayer() { Clear(); }

void TPresetLayer::Clear() {
  Sample = nullptr;
  Name.clear();
  Selectors.Clear();
  Generators.Clear();
  OrderedModulators.Clear();
  Modulators.Clear();
  Layers.Clear();
  CuePoints = TPresetLayerCuePoints{};
  VolEnvelope = TPresetLayerEnvelope{};
  ModEnvelope = TPresetLayerEnvelope{};
  Mod2Envelope = TPresetLayerEnvelope{};
  MaxPolyphony = 0;
  Crossfades.clear();
  HasLinkedModulators = false;
}

void TPresetLayer::RecacheReset() {
  NextLayer = nullptr;
  CacheMaxPolyphony = PresetLayerNoPolyphonyLimit;
  CacheMaxPolyphonyPresetLayer = nullptr;
  for (TPresetLayer* child : Layers) child->RecacheReset();
}

void TPresetLayer::Recache() {
  if (MaxPolyphony > 0) {
    CacheMaxPolyphony = MaxPolyphony;
    CacheMaxPolyphonyPresetLayer = this;
  } else if (Parent) {
    CacheMaxPolyphony = Parent->CacheMaxPolyphony;
    CacheMaxPolyphonyPresetLayer = Parent->CacheMaxPolyphonyPresetLayer;
  } else {
    CacheMaxPolyphony = PresetLayerNoPolyphonyLimit;
    CacheMaxPolyphonyPresetLayer = nullptr;
  }
  for (TPresetLayer* child : Layers) child->Recache();
}

void TPresetLayer::FillGeneratorValues(TGenValues& genValues) const {
  for (int32_t gen = GenFirst; gen <= GenLast; ++gen) genValues[gen] = GeneratorInfoTable[gen].Default;
  // Slot -1 is never taken from a layer: the voice computes it.
  std::bitset<GenLast + 1> seen;
  for (const TPresetLayer* layer = this; layer; layer = layer->Parent) {
    for (const TPresetLayerGenerator* item : layer->Generators) {
      const int32_t gen = item->fGenerator;
      if (gen < 0 || gen > GenLast || seen.test(static_cast<size_t>(gen))) continue;
      seen.set(static_cast<size_t>(gen));
      genValues[gen] = item->fValue;
    }
  }
}

void TPresetLayer::SetGenerator(int32_t generator, int32_t value) {
  for (TPresetLayerGenerator* item : Generators) {
    if (item->fGenerator == generator) {
      item->fValue = value;
      return;
    }
  }
  AddGenerator(generator, value);
}

void TPresetLayer::AddGenerator(int32_t generator, int32_t value) {
  Generators.Add(new TPresetLayerGenerator(generator, value));
}

TPresetLayerSelector* TPresetLayer::AddSelector() {
  auto* selector = new TPresetLayerSelector();
  Selectors.Add(selector);
  return selector;
}

TPresetLayerModulator* TPresetLayer::AddModulator(int32_t dest, int32_t src1, int32_t flags1, int32_t src2,
                                                  int32_t flags2, double amount, int32_t id, int32_t idGroup) {
  auto* modulator = new TPresetLayerModulator();
  modulator->fDest = dest;
  modulator->fSrc1 = src1;
  modulator->fFlags1 = flags1;
  modulator->fSrc2 = src2;
  modulator->fFlags2 = flags2;
  modulator->fAmount = amount;
  modulator->fID = id;
  modulator->fIDGroup = idGroup;
  modulator->fIndex = static_cast<int32_t>(Modulators.Add(modulator));
  return modulator;
}

void TPresetLayer::AddDefaultModulators(bool sf204) {
  for (const TDefaultModulator& m : DefaultModulators(sf204))
    AddModulator(m.Dest, m.Src1, m.Flags1, m.Src2, m.Flags2, m.Amount, -1, 0);
}

}  // namespace kelvane
