#include "banks/preset_layer.h"

#include <bitset>
#include <vector>

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

bool IsModulatorLinkDestination(int32_t dest) { return dest > 0 && (dest & ModulatorLinkFlag) != 0; }

void TPresetLayer::SetupLinkedModulators() {
  HasLinkedModulators = false;
  const int64_t count = Modulators.Count();
  for (int64_t i = 0; i < count; ++i) {
    TPresetLayerModulator* m = Modulators[i];
    m->fLinkedSourceModulators.Clear();
    m->fProcessed = false;
    // The voice indexes link sums by fIndex and writes them at
    // fLinkedDestinationModulator: both must be list positions, also after an
    // edit of the list; a destination edited into a generator keeps no link.
    m->fIndex = static_cast<int32_t>(i);
    m->fLinkedDestinationModulator = -1;
  }
  for (int64_t i = 0; i < count; ++i) {
    TPresetLayerModulator* m = Modulators[i];
    if (!IsModulatorLinkDestination(m->fDest)) continue;
    const int32_t id = m->fDest & ModulatorLinkIDMask;
    for (int64_t j = 0; j < count; ++j) {
      TPresetLayerModulator* target = Modulators[j];
      if (j == i || target->fIDGroup != m->fIDGroup || target->fID != id) continue;
      m->fLinkedDestinationModulator = static_cast<int32_t>(j);
      target->fLinkedSourceModulators.Add(m);
      HasLinkedModulators = true;
      break;
    }
  }

  OrderedModulators.Clear();
  if (!HasLinkedModulators) return;
  // Depth-first post-order with an explicit stack. A modulator is expanded
  // once (its feeders pushed above it) and appended when it comes up again; a
  // feeder that is already expanded lies on a cycle and is not pushed, so a
  // corrupt bank ends the walk. Each modulator feeds at most one other, so the
  // stack holds at most three entries per modulator.
  std::vector<uint8_t> expanded(static_cast<size_t>(count), 0);
  std::vector<int32_t> stack;
  stack.reserve(static_cast<size_t>(count) * 3);
  for (int64_t i = 0; i < count; ++i) stack.push_back(static_cast<int32_t>(i));
  while (!stack.empty()) {
    const int32_t index = stack.back();
    stack.pop_back();
    TPresetLayerModulator* m = Modulators[index];
    if (m->fProcessed) continue;
    if (expanded[static_cast<size_t>(index)] == 0) {
      expanded[static_cast<size_t>(index)] = 1;
      stack.push_back(index);
      for (const TPresetLayerModulator* source : m->fLinkedSourceModulators) {
        const int32_t s = source->fIndex;
        if (!source->fProcessed && expanded[static_cast<size_t>(s)] == 0) stack.push_back(s);
      }
      continue;
    }
    m->fProcessed = true;
    OrderedModulators.Add(m);
  }
}

}  // namespace kelvane
