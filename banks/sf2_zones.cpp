#include "banks/sf2_zones.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "synth/generators.h"

namespace kelvane {

namespace {

constexpr uint16_t GenInstrument = gen::instrument;
constexpr uint16_t GenSampleID = gen::sampleID;

// Records (zones, generators, modulators) one conversion may read. Instrument
// zones are read again for every preset zone that uses them, so hostile
// index tables could otherwise make a small file take hours.
constexpr int64_t MaxRecordReads = int64_t{1} << 26;

// Membership table of a generator set, so that the per-item tests of the
// conversion (169 per leaf) are one load each.
using TGeneratorSet = std::array<bool, SFGeneratorCount>;
constexpr TGeneratorSet MakeSet(std::initializer_list<int32_t> set) {
  TGeneratorSet result{};
  for (int32_t g : set) result[static_cast<size_t>(g)] = true;
  return result;
}
constexpr TGeneratorSet PresetRejected = MakeSet({0, 1, 2, 3, 4, 12, 14, 18, 19, 20, 42, 45, 46, 47, 49, 50, 54, 55, 57, 58});
constexpr TGeneratorSet InstrumentRejected = MakeSet({14, 18, 19, 20, 42, 49, 55});
constexpr TGeneratorSet PresetNeverApplied = MakeSet({0, 1, 2, 4, 12, 45, 46, 47, 50, 54, 57, 58});

constexpr TSFGenBits BitsOf(const TGeneratorSet& set) {
  TSFGenBits bits{};
  for (size_t g = 0; g < set.size(); ++g)
    if (set[g]) bits[g >> 6] |= uint64_t{1} << (g & 63);
  return bits;
}
constexpr TSFGenBits PresetNeverAppliedBits = BitsOf(PresetNeverApplied);

// Calls f(g) for every bit g of bits, ascending.
template <typename F>
void ForEachBit(const TSFGenBits& bits, F&& f) {
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t x = bits[w]; x != 0; x &= x - 1) f(static_cast<int32_t>(w * 64 + static_cast<size_t>(std::countr_zero(x))));
  }
}

uint16_t Terminal(TSFZoneKind kind) { return kind == szkPreset ? GenInstrument : GenSampleID; }

class TZoneReader {
 public:
  explicit TZoneReader(const TSF2File& file) : fFile(file) {}

  bool Exhausted() const { return fReads > MaxRecordReads; }

  TSFZones Read(TSFZoneKind kind, size_t index) {
    const bool preset = kind == szkPreset;
    const auto& bags = preset ? fFile.PresetBags : fFile.InstrumentBags;
    const auto& mods = preset ? fFile.PresetMods : fFile.InstrumentMods;
    const auto& gens = preset ? fFile.PresetGens : fFile.InstrumentGens;
    const size_t headerCount = preset ? fFile.PresetHeaders.size() : fFile.Instruments.size();
    auto bagIndex = [&](size_t i) -> int64_t {
      return preset ? fFile.PresetHeaders[i].PresetBagNdx : fFile.Instruments[i].InstBagNdx;
    };
    TSFZones zones;
    if (index >= headerCount) return zones;

    const auto bagCount = static_cast<int64_t>(bags.size());
    const int64_t firstBag = bagIndex(index);
    const int64_t lastBag = index + 1 < headerCount ? bagIndex(index + 1) - 1 : bagCount - 1;
    for (int64_t b = firstBag; b <= lastBag && b < bagCount && !Exhausted(); ++b) {
      TSFZone& zone = zones.emplace_back();
      ++fReads;
      const TSFBag& bag = bags[static_cast<size_t>(b)];
      const TSFBag* next = b + 1 < bagCount ? &bags[static_cast<size_t>(b + 1)] : nullptr;

      const int64_t lastMod = next ? next->ModNdx - 1 : static_cast<int64_t>(mods.size()) - 1;
      for (int64_t m = bag.ModNdx; m <= lastMod && m < static_cast<int64_t>(mods.size()); ++m) {
        zone.Mods.push_back(mods[static_cast<size_t>(m)]);
        ++fReads;
      }

      const int64_t firstGen = bag.GenNdx;
      const int64_t lastGen = next ? next->GenNdx - 1 : static_cast<int64_t>(gens.size()) - 1;
      for (int64_t g = firstGen; g <= lastGen && g < static_cast<int64_t>(gens.size()); ++g) {
        ++fReads;
        const TSFGen& record = gens[static_cast<size_t>(g)];
        const uint16_t op = record.GenOper;
        if (preset && g != firstGen) {
          // A preset zone's ranges must lead: keyRange first, velRange first or after keyRange.
          if (op == gen::keyRange) continue;
          if (op == gen::velRange && !zone.Gens[gen::keyRange].IsSet) continue;
        }
        if (!SF2GeneratorAccepted(kind, op, fFile.IsVersion1())) continue;
        zone.Gens[op].Value = record.GenAmount;
        zone.Gens[op].IsSet = true;
        zone.SetBits[op >> 6] |= uint64_t{1} << (op & 63);
        if (op == Terminal(kind)) break;
      }
    }
    return zones;
  }

 private:
  const TSF2File& fFile;
  int64_t fReads = 0;
};

int32_t Signed16(TSFGenAmount a) { return a.shAmount(); }
int32_t Unsigned16(TSFGenAmount a) { return a.wAmount; }
TSFGenAmount Amount16(int32_t v) { return TSFGenAmount{static_cast<uint16_t>(v)}; }

// Preset-level item p merged onto the current leaf item c.
void MergeItem(int32_t g, TSFGenItem& c, TSFGenAmount p) {
  const TGeneratorInfo& info = GeneratorInfoTable[g];
  switch (info.Merge) {
    case gmAddSigned:
      c.Value = Amount16(std::clamp(Signed16(c.Value) + Signed16(p), info.Min, info.Max));
      break;
    case gmAddUnsigned:
      c.Value = Amount16(std::clamp(Unsigned16(c.Value) + Unsigned16(p), info.Min, info.Max));
      break;
    case gmCopy:
    case gmReplace:
      c.Value = p;
      break;
    case gmRange: {
      const TSFRange a = c.Value.Ranges(), b = p.Ranges();
      const int lo = std::max(a.Lo, b.Lo), hi = std::min(a.Hi, b.Hi);  // Lo > Hi: no note passes
      c.Value = TSFGenAmount{static_cast<uint16_t>(lo | (hi << 8))};
      break;
    }
    case gmInstLink:
      if (!c.IsSet) c.Value = p;
      break;
    case gmSampleLink:
      break;
  }
  c.IsSet = true;
}

// Start value of an item no instrument-level zone sets.
TSFGenAmount UnsetStartValue(int32_t g, bool version1) {
  switch (g) {
    case gen::freqModLFO:
      return Amount16(version1 ? 64811 : 0);
    case gen::freqVibLFO:
      return Amount16(version1 ? 49936 : 0);
    case gen::sustainModEnv:
    case gen::sustainVolEnv:
      return Amount16(version1 ? 1000 : 0);
    default:
      return Amount16(GeneratorInfoTable[g].Default);
  }
}

int32_t WidenItem(int32_t g, TSFGenAmount v) {
  const bool isUnsigned = g == gen::keyRange || g == gen::velRange || g == gen::sampleModes;
  return isUnsigned ? Unsigned16(v) : Signed16(v);
}

// The 169 start values of a leaf, and which of them do not widen to the
// generator's default (the leaf stores those even when no zone sets them).
struct TUnsetItems {
  TSFGenItems Items{};
  TSFGenBits NotDefault{};
};

const TUnsetItems& UnsetItems(bool version1) {
  static const std::array<TUnsetItems, 2> tables = [] {
    std::array<TUnsetItems, 2> result{};
    for (int v = 0; v < 2; ++v) {
      for (int32_t g = 0; g < SFGeneratorCount; ++g) {
        const TSFGenAmount start = UnsetStartValue(g, v == 1);
        result[static_cast<size_t>(v)].Items[static_cast<size_t>(g)] = {start, false, 0};
        if (WidenItem(g, start) != GeneratorInfoTable[g].Default)
          result[static_cast<size_t>(v)].NotDefault[static_cast<size_t>(g) >> 6] |= uint64_t{1} << (g & 63);
      }
    }
    return result;
  }();
  return tables[version1 ? 1 : 0];
}

// SoundFont 1 tuning (reserved3 = semitones * 100 + cents) folded into coarseTune and fineTune.
void ApplyVersion1Tuning(TSFGenItems& items) {
  if (!items[gen::reserved3].IsSet) return;
  const int32_t t = Signed16(items[gen::reserved3].Value);
  TSFGenItem& fine = items[gen::fineTune];
  TSFGenItem& coarse = items[gen::coarseTune];
  int32_t fineValue = t % 100 + (fine.IsSet ? Signed16(fine.Value) : 0);
  const int32_t coarseValue = t / 100 + (coarse.IsSet ? Signed16(coarse.Value) : 0) + fineValue / 100;
  fineValue %= 100;
  fine = {Amount16(fineValue), true, fine.Level};
  coarse = {Amount16(coarseValue), true, coarse.Level};
}

// Truncation toward zero of a floating conversion result; the logarithm
// classes give NaN for negative inputs, which become 0.
int32_t Truncate(double v) {
  if (std::isnan(v)) return 0;
  constexpr double lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(std::trunc(v), lo, hi));
}

// Fills leaf (reused from leaf to leaf, so its lists keep their storage).
void BuildLeaf(const TSF2File& file, const TSFZone& presetZone, const TSFZone& presetGlobal, const TSFZone& instZone,
               const TSFZone& instGlobal, TSF2Leaf& leaf) {
  const bool version1 = file.IsVersion1();
  leaf.Generators.clear();
  leaf.Modulators.clear();
  // Every item starts unset; the instrument global zone's items, then the
  // instrument zone's, replace the start values; the preset zone's items, or
  // else the preset global zone's, are merged in. Only the items some zone
  // sets are visited.
  const TUnsetItems& unset = UnsetItems(version1);
  leaf.Items = unset.Items;
  ForEachBit(instGlobal.SetBits, [&](int32_t g) { leaf.Items[static_cast<size_t>(g)] = instGlobal.Gens[g]; });
  ForEachBit(instZone.SetBits, [&](int32_t g) { leaf.Items[static_cast<size_t>(g)] = instZone.Gens[g]; });
  TSFGenBits preset{}, touched{};
  for (size_t w = 0; w < preset.size(); ++w) {
    preset[w] = (presetZone.SetBits[w] | presetGlobal.SetBits[w]) & ~PresetNeverAppliedBits[w];
    touched[w] = preset[w] | instZone.SetBits[w] | instGlobal.SetBits[w] | unset.NotDefault[w];
  }
  ForEachBit(preset, [&](int32_t g) {
    const TSFZone& from = presetZone.Gens[g].IsSet ? presetZone : presetGlobal;
    MergeItem(g, leaf.Items[static_cast<size_t>(g)], from.Gens[g].Value);
  });

  if (version1) {
    // Only values some zone sets are SoundFont 1 values; the others keep the
    // SF2 defaults (converting those as SoundFont 1 values would, for
    // instance, attenuate every note by 100 dB).
    for (int32_t g = 0; g < SFGeneratorCount; ++g) {
      TSFGenItem& item = leaf.Items[static_cast<size_t>(g)];
      if (!item.IsSet) {
        item.Value = Amount16(GeneratorInfoTable[g].Default);
        continue;
      }
      item.Value = TSFGenAmount{ConvertSF1Value(g, GeneratorInfoTable[g].Class, item.Value.shAmount())};
    }
    ApplyVersion1Tuning(leaf.Items);
  }

  leaf.KeyRange = leaf.Items[gen::keyRange].Value.Ranges();
  leaf.VelRange = leaf.Items[gen::velRange].Value.Ranges();

  // Items no zone touched hold their start values, which widen to the
  // defaults except where NotDefault says; SoundFont 1 conversion may change any.
  if (version1) touched.fill(~uint64_t{0});
  ForEachBit(touched, [&](int32_t g) {
    if (g >= SFGeneratorCount) return;
    const TSFGenAmount v = leaf.Items[static_cast<size_t>(g)].Value;
    const int32_t value = WidenItem(g, v);
    if (value != GeneratorInfoTable[g].Default) leaf.Generators.push_back({g, value});
  });

  auto addGroup = [&leaf](const TSFMods& mods, const TSFMods* overriding, bool presetLevel, int32_t group) {
    for (size_t i = 0; i < mods.size(); ++i) {
      if (overriding && std::any_of(overriding->begin(), overriding->end(), [&](const TSFMod& o) {
            return SF2ModulatorsIdentical(mods[i], o);
          })) {
        continue;
      }
      leaf.Modulators.push_back(DecodeSF2Modulator(mods[i], presetLevel, static_cast<int32_t>(i), group));
    }
  };
  addGroup(instGlobal.Mods, &instZone.Mods, false, 1);
  addGroup(instZone.Mods, nullptr, false, 2);
  addGroup(presetGlobal.Mods, &presetZone.Mods, true, 3);
  addGroup(presetZone.Mods, nullptr, true, 4);
}

}  // namespace

bool SF2GeneratorAccepted(TSFZoneKind kind, uint16_t op, bool version1) {
  if (op >= SFGeneratorCount) return false;
  if (version1 && op == gen::reserved3) return true;
  return !(kind == szkPreset ? PresetRejected : InstrumentRejected)[op];
}

bool SF2PresetValueNeverApplied(int32_t g) {
  return g >= 0 && g < SFGeneratorCount && PresetNeverApplied[static_cast<size_t>(g)];
}

bool SF2ModulatorsIdentical(const TSFMod& a, const TSFMod& b) {
  return a.ModSrcOper == b.ModSrcOper && a.ModDstOper == b.ModDstOper && a.ModAmtSrcOper == b.ModAmtSrcOper &&
         a.ModTransOper == b.ModTransOper;
}

TSFZones ReadSF2Zones(const TSF2File& file, TSFZoneKind kind, size_t index) {
  return TZoneReader(file).Read(kind, index);
}

int32_t SF2GlobalZoneIndex(const TSFZones& zones, TSFZoneKind kind) {
  for (size_t i = 0; i < zones.size(); ++i) {
    if (!zones[i].Gens[Terminal(kind)].IsSet) return static_cast<int32_t>(i);
  }
  return -1;
}

TSF2Modulator DecodeSF2Modulator(const TSFMod& record, bool presetLevel, int32_t id, int32_t idGroup) {
  // SF2 source operand: index in bits 0..6, controller flag bit 7, direction
  // bit 8, polarity bit 9, curve type in bits 10..15.
  auto operand = [](uint16_t op, int32_t& src, int32_t& flags) {
    src = op & 0x7F;
    flags = ((op & 0x80) ? 16 : 0) + ((op & 0x100) ? 1 : 0) + ((op & 0x200) ? 2 : 0);
    const int32_t type = op >> 10;
    if (type >= 1 && type <= 3) flags += 4 * type;
    return type <= 3;
  };
  TSF2Modulator m;
  m.Dest = record.ModDstOper;
  m.Amount = record.Amount;
  const bool valid1 = operand(record.ModSrcOper, m.Src1, m.Flags1);
  const bool valid2 = operand(record.ModAmtSrcOper, m.Src2, m.Flags2);
  if (!valid1 || !valid2 || record.ModTransOper != 0) m.Amount = 0.0;
  m.ID = id;
  m.IDGroup = idGroup;
  m.PresetLevel = presetLevel;
  return m;
}

void MergeSF2Modulator(std::vector<TSF2Modulator>& list, const TSF2Modulator& m) {
  for (TSF2Modulator& existing : list) {
    if (existing.SameRouting(m)) {
      existing.Amount = m.PresetLevel ? existing.Amount + m.Amount : m.Amount;
      return;
    }
  }
  list.push_back(m);
}

uint16_t ConvertSF1Value(int32_t generator, int32_t unitClass, int16_t value) {
  const int32_t v = value;
  int32_t r = v;
  switch (unitClass) {
    case 5:
      r = v == 127 ? 14400 : v * 59 + 4366;
      break;
    case 6:
      r = v * 3 / 2;
      break;
    case 7:
      r = v * 1000 / 256;
      break;
    case 8:
      r = v == 127 ? 500 : v * 1000 / 128 - 500;
      break;
    case 9:
      r = v == 0 ? 1000 : Truncate(-2000.0 * std::log10(v / 127.0));
      break;
    case 10:
      r = v != 0 ? 50 : 100;
      break;
    case 11:
      r = Truncate(std::log(std::max(v, 1) * 0.001) * 1731.2340490667561);
      break;
    case 12:
      r = Truncate(v * 5.55);
      break;
    case 13:
      if (v == 0) {
        r = generator == gen::freqModLFO ? 64811 : 49936;
      } else {
        r = Truncate(static_cast<double>(std::log10(static_cast<float>(v))) * 1731.2340490667561 - 7925.0);
      }
      break;
    case 14:
      r = (v * 1200 / 64 + 1) / 2;
      break;
    case 15:
      r = generator == gen::modLfoToFilterFc ? v * 3600 / 64 : v * 7200 / 64;
      break;
    case 16:
      r = v * 120 / 64;
      break;
    case 17:
      r = v > 95 ? 0 : (96 - v) * 1000 / 96;
      break;
    case 18:
      r = v > 95 ? 0 : (2000 - v * 21) / 2;
      break;
    default:  // 0..4: same unit
      break;
  }
  return static_cast<uint16_t>(r);
}

void ConvertSF2Presets(const TSF2File& file, const std::function<void(const TSFPresetHeader&)>& onPreset,
                       const std::function<void(const TSF2Leaf&)>& onLeaf) {
  InitGeneratorTables();
  TZoneReader reader(file);
  const TSFZone empty;
  TSF2Leaf leaf;
  size_t leaves = 0;
  for (size_t p = 0; p < file.PresetHeaders.size(); ++p) {
    onPreset(file.PresetHeaders[p]);
    const TSFZones presetZones = reader.Read(szkPreset, p);
    const int32_t pg = SF2GlobalZoneIndex(presetZones, szkPreset);
    const TSFZone& presetGlobal = pg >= 0 ? presetZones[static_cast<size_t>(pg)] : empty;
    for (const TSFZone& presetZone : presetZones) {
      if (!presetZone.Gens[gen::instrument].IsSet) continue;
      const size_t instrument = presetZone.Gens[gen::instrument].Value.wAmount;
      if (instrument >= file.Instruments.size()) continue;
      const TSFZones instZones = reader.Read(szkInstrument, instrument);
      const int32_t ig = SF2GlobalZoneIndex(instZones, szkInstrument);
      const TSFZone& instGlobal = ig >= 0 ? instZones[static_cast<size_t>(ig)] : empty;
      for (const TSFZone& instZone : instZones) {
        if (!instZone.Gens[gen::sampleID].IsSet) continue;
        const uint32_t sample = instZone.Gens[gen::sampleID].Value.wAmount;
        if (sample >= file.SampleHeaders.size() || leaves >= MaxSF2Leaves) continue;
        BuildLeaf(file, presetZone, presetGlobal, instZone, instGlobal, leaf);
        leaf.Name = SFName(file.Instruments[instrument].InstName);
        leaf.SampleIndex = sample;
        onLeaf(leaf);
        ++leaves;
      }
    }
  }
}

std::vector<TSF2Preset> ConvertSF2Presets(const TSF2File& file) {
  std::vector<TSF2Preset> presets;
  ConvertSF2Presets(
      file,
      [&](const TSFPresetHeader& h) {
        presets.push_back({SFName(h.Name), h.Bank, h.Preset, {}});
      },
      [&](const TSF2Leaf& leaf) { presets.back().Leaves.push_back(leaf); });
  return presets;
}

}  // namespace kelvane
