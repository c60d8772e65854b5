#pragma once

// SF2 zone conversion without the instrument model: reads the zones of the
// presets and instruments, merges every (preset zone, instrument zone) pair
// into one leaf description with its final generator values and modulator
// records, and converts SoundFont 1 values to SF2 units on the way.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "banks/sf2_reader.h"
#include "banks/sf2_records.h"

namespace kelvane {

inline constexpr int32_t SFGeneratorCount = 169;  // SF2 zones store generators 0..168

struct TSFGenItem {
  TSFGenAmount Value;
  bool IsSet = false;
  int32_t Level = 0;  // not used
};
using TSFGenItems = std::array<TSFGenItem, SFGeneratorCount>;
using TSFMods = std::vector<TSFMod>;

// Bit g set: generator g is one of the items a conversion has to look at.
using TSFGenBits = std::array<uint64_t, 3>;

struct TSFZone {
  TSFGenItems Gens{};
  TSFGenBits SetBits{};  // bit g: Gens[g].IsSet
  TSFMods Mods;
};
using TSFZones = std::vector<TSFZone>;

enum TSFZoneKind : uint8_t { szkPreset, szkInstrument };

// The zones of preset (or instrument) record `index` in bag order. Indices
// beyond the bag, modulator or generator arrays end the respective lists.
TSFZones ReadSF2Zones(const TSF2File& file, TSFZoneKind kind, size_t index);

// Index of the first zone without the terminal generator (instrument for
// presets, sampleID for instruments), or -1.
int32_t SF2GlobalZoneIndex(const TSFZones& zones, TSFZoneKind kind);

// Whether a zone of this kind stores generator op (file major version 1 also
// accepts reserved3, which carries SoundFont 1 tuning).
bool SF2GeneratorAccepted(TSFZoneKind kind, uint16_t op, bool version1);

// Whether a preset-level value of generator g never reaches a leaf.
bool SF2PresetValueNeverApplied(int32_t g);

// Same sources, destination and transform; the amount does not count.
bool SF2ModulatorsIdentical(const TSFMod& a, const TSFMod& b);

// An SF2 modulator record decoded into the layer modulator encoding.
struct TSF2Modulator {
  int32_t Dest = 0;  // generator, or bit 15 set: link to the modulator with that ID in the group
  int32_t Src1 = 0;
  int32_t Flags1 = 0;
  int32_t Src2 = 0;
  int32_t Flags2 = 0;
  double Amount = 0.0;
  int32_t ID = -1;
  int32_t IDGroup = -1;
  bool PresetLevel = false;  // adds to a matching modulator instead of replacing its amount

  bool SameRouting(const TSF2Modulator& o) const {
    return Dest == o.Dest && Src1 == o.Src1 && Flags1 == o.Flags1 && Src2 == o.Src2 && Flags2 == o.Flags2;
  }
};

TSF2Modulator DecodeSF2Modulator(const TSFMod& record, bool presetLevel, int32_t id, int32_t idGroup);

// Merges one modulator into a leaf's list: a modulator with the same routing
// has its amount replaced (instrument level) or increased (preset level);
// otherwise it is appended.
void MergeSF2Modulator(std::vector<TSF2Modulator>& list, const TSF2Modulator& m);

struct TSF2LeafGenerator {
  int32_t Generator = 0;
  int32_t Value = 0;
};

// One (preset zone, instrument zone) pair, fully merged.
struct TSF2Leaf {
  std::string Name;  // the instrument's name
  uint32_t SampleIndex = 0;  // shdr index
  TSFRange KeyRange;
  TSFRange VelRange;
  TSFGenItems Items{};  // final 16-bit values
  // The values that differ from the generator defaults, ascending by number.
  std::vector<TSF2LeafGenerator> Generators;
  // Records in the four-group order (instrument global, instrument, preset
  // global, preset), to be merged onto the default modulators.
  std::vector<TSF2Modulator> Modulators;
};

struct TSF2Preset {
  std::string Name;
  uint16_t Bank = 0;
  uint16_t Program = 0;
  std::vector<TSF2Leaf> Leaves;
};

// Leaves per bank at most: the pair expansion is quadratic in the records, so
// a small file could otherwise ask for billions of layers.
inline constexpr size_t MaxSF2Leaves = size_t{1} << 18;

// Walks every preset header in order (the terminal one included), calling
// onPreset for it and then onLeaf for each of its leaves.
void ConvertSF2Presets(const TSF2File& file, const std::function<void(const TSFPresetHeader&)>& onPreset,
                       const std::function<void(const TSF2Leaf&)>& onLeaf);
std::vector<TSF2Preset> ConvertSF2Presets(const TSF2File& file);

// SoundFont 1 value of a generator of this class in SF2 units (16-bit result).
uint16_t ConvertSF1Value(int32_t generator, int32_t unitClass, int16_t v);

}  // namespace kelvane
