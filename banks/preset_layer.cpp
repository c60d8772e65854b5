#include "banks/preset_layer.h"

#include <array>
#include <bit>
#include <bitset>
#include <span>
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
  Generators.Add(TPresetLayerGenerator(generator, value));
}

TPresetLayerSelector* TPresetLayer::AddSelector() { return Selectors[Selectors.Add(TPresetLayerSelector())]; }

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

TPresetLayerModulator* Clone(const TPresetLayerModulator& m) {
  auto* copy = new TPresetLayerModulator();
  copy->fName = m.fName;
  copy->fIndex = m.fIndex;
  copy->fID = m.fID;
  copy->fIDGroup = m.fIDGroup;
  copy->fDest = m.fDest;
  copy->fSrc1 = m.fSrc1;
  copy->fFlags1 = m.fFlags1;
  copy->fSrc2 = m.fSrc2;
  copy->fFlags2 = m.fFlags2;
  copy->fAmount = m.fAmount;
  copy->fLinkedDestinationModulator = m.fLinkedDestinationModulator;
  return copy;
}

namespace {

// The default set as modulator records, built on first use and destroyed
// with the program or library (a plug-in's library may be unloaded and loaded
// again; its synthesizers, and with them every layer pointing here, are gone
// by then).
class TSharedDefaultModulators {
 public:
  TSharedDefaultModulators() {
    for (size_t v = 0; v < 2; ++v) {
      const auto set = DefaultModulators(v == 1);
      for (size_t i = 0; i < DefaultModulatorCount; ++i) {
        TPresetLayerModulator& m = fRecords[v][i];
        m.fDest = set[i].Dest;
        m.fSrc1 = set[i].Src1;
        m.fFlags1 = set[i].Flags1;
        m.fSrc2 = set[i].Src2;
        m.fFlags2 = set[i].Flags2;
        m.fAmount = set[i].Amount;
        m.fIDGroup = 0;
        m.fIndex = static_cast<int32_t>(i);  // the set leads the list it is shared with
        m.fShared = true;
        fTables[v][i] = &m;
      }
    }
  }
  std::span<const TPresetLayerModulator* const> Table(bool sf204) const { return fTables[sf204 ? 1 : 0]; }

 private:
  std::array<std::array<TPresetLayerModulator, DefaultModulatorCount>, 2> fRecords;
  std::array<std::array<const TPresetLayerModulator*, DefaultModulatorCount>, 2> fTables{};
};

std::span<const TPresetLayerModulator* const> SharedDefaultModulators(bool sf204) {
  static const TSharedDefaultModulators shared;
  return shared.Table(sf204);
}

}  // namespace

void TPresetLayer::AddDefaultModulators(bool sf204) {
  if (Modulators.Count() == 0) {
    Modulators.Share(SharedDefaultModulators(sf204));
    return;
  }
  for (const TDefaultModulator& m : DefaultModulators(sf204))
    AddModulator(m.Dest, m.Src1, m.Flags1, m.Src2, m.Flags2, m.Amount, -1, 0);
}

void TPresetLayer::ShareDefaultModulators() {
  if (Modulators.Count() < static_cast<int64_t>(DefaultModulatorCount) || Modulators.SharesArray()) return;
  const TPresetLayerModulatorList& items = Modulators;
  for (bool sf204 : {true, false}) {
    const auto table = SharedDefaultModulators(sf204);
    bool same = true;
    for (size_t i = 0; i < table.size() && same; ++i) {
      const TPresetLayerModulator& a = *items[static_cast<int64_t>(i)];
      const TPresetLayerModulator& b = *table[i];
      same = a.fName == b.fName && a.fIndex == b.fIndex && a.fID == b.fID && a.fIDGroup == b.fIDGroup &&
             a.fDest == b.fDest && a.fSrc1 == b.fSrc1 && a.fFlags1 == b.fFlags1 && a.fSrc2 == b.fSrc2 &&
             a.fFlags2 == b.fFlags2 && std::bit_cast<uint64_t>(a.fAmount) == std::bit_cast<uint64_t>(b.fAmount);
    }
    if (same) {
      Modulators.ShareLeading(table);
      return;
    }
  }
}

bool IsModulatorLinkDestination(int32_t dest) { return dest > 0 && (dest & ModulatorLinkFlag) != 0; }

void TPresetLayer::SetupLinkedModulators() {
  HasLinkedModulators = false;
  const int64_t count = Modulators.Count();
  const TPresetLayerModulatorList& items = Modulators;  // reads never copy a shared item
  // Shared items (the default set, at their own positions) neither feed nor
  // are fed by others: they carry the reset state already and are not written.
  auto own = [&](int64_t i) -> TPresetLayerModulator* {
    const TPresetLayerModulator* m = items[i];
    return m->fShared ? nullptr : const_cast<TPresetLayerModulator*>(m);
  };
  for (int64_t i = 0; i < count; ++i) {
    TPresetLayerModulator* m = own(i);
    if (!m) continue;
    m->fLinkedSourceModulators.Clear();
    m->fProcessed = false;
    // The voice indexes link sums by fIndex and writes them at
    // fLinkedDestinationModulator: both must be list positions, also after an
    // edit of the list; a destination edited into a generator keeps no link.
    m->fIndex = static_cast<int32_t>(i);
    m->fLinkedDestinationModulator = -1;
  }
  for (int64_t i = 0; i < count; ++i) {
    TPresetLayerModulator* m = own(i);
    if (!m || !IsModulatorLinkDestination(m->fDest)) continue;
    const int32_t id = m->fDest & ModulatorLinkIDMask;
    for (int64_t j = 0; j < count; ++j) {
      TPresetLayerModulator* target = own(j);
      if (!target || j == i || target->fIDGroup != m->fIDGroup || target->fID != id) continue;
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
  enum : uint8_t { sNew, sExpanded, sDone };
  std::vector<uint8_t> state(static_cast<size_t>(count), sNew);
  std::vector<int32_t> stack;
  stack.reserve(static_cast<size_t>(count) * 3);
  for (int64_t i = 0; i < count; ++i) stack.push_back(static_cast<int32_t>(i));
  while (!stack.empty()) {
    const auto index = static_cast<size_t>(stack.back());
    stack.pop_back();
    if (state[index] == sDone) continue;
    const TPresetLayerModulator* m = items[static_cast<int64_t>(index)];
    if (state[index] == sNew) {
      state[index] = sExpanded;
      stack.push_back(static_cast<int32_t>(index));
      for (const TPresetLayerModulator* source : m->fLinkedSourceModulators) {
        const auto s = static_cast<size_t>(source->fIndex);
        if (state[s] == sNew) stack.push_back(source->fIndex);
      }
      continue;
    }
    state[index] = sDone;
    if (TPresetLayerModulator* mine = own(static_cast<int64_t>(index))) mine->fProcessed = true;
    OrderedModulators.Add(const_cast<TPresetLayerModulator*>(m));
  }
}

}  // namespace kelvane
