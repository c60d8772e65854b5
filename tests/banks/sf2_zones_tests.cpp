#include "banks/sf2_zones.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "banks/sf2_builder.h"
#include "synth/generators.h"

namespace kelvane {
namespace {

using test::Sf2Builder;
using test::Sf2Zone;

TSF2File Read(const Sf2Builder& b) {
  TSF2File f;
  TMemoryStream s(b.build());
  EXPECT_EQ(f.Read(s), srrOK);
  return f;
}

// One sample, one instrument with one zone, one preset with one zone; fill()
// adds generators and modulators before the terminal generators.
Sf2Builder Pair(const std::function<void(Sf2Zone& presetZone, Sf2Zone& instZone)>& fill) {
  Sf2Builder b;
  b.sample("s", std::vector<int16_t>(8, 0));
  Sf2Zone& iz = b.instrument("Inst").zone();
  Sf2Zone& pz = b.preset("P", 0, 0).zone();
  fill(pz, iz);
  iz.sampleId(0);
  pz.instrument(0);
  return b;
}

TSF2Leaf SingleLeaf(const Sf2Builder& b) {
  const std::vector<TSF2Preset> presets = ConvertSF2Presets(Read(b));
  EXPECT_FALSE(presets.empty());
  if (presets.empty() || presets[0].Leaves.size() != 1) {
    ADD_FAILURE() << "expected one leaf";
    return {};
  }
  return presets[0].Leaves[0];
}

int32_t Signed(const TSF2Leaf& leaf, int g) { return leaf.Items[static_cast<size_t>(g)].Value.shAmount(); }

TEST(SF2Zones, PresetValuesMergeIntoInstrumentValues) {
  InitGeneratorTables();
  using G = std::vector<std::pair<uint16_t, int16_t>>;
  struct Case {
    const char* what;
    G preset, instrument;
    int gen;
    int32_t expected;
  };
  const Case cases[] = {
      {"pan sum clamped to Max", {{gen::pan, 100}}, {{gen::pan, 450}}, gen::pan, 500},
      {"attenuation sum", {{gen::initialAttenuation, 100}}, {{gen::initialAttenuation, 50}}, gen::initialAttenuation,
       150},
      {"negative sum clamped to Min", {{gen::initialFilterFc, -8000}}, {{gen::initialFilterFc, 9000}},
       gen::initialFilterFc, 1500},
      {"preset value onto the default", {{gen::attackVolEnv, 1200}}, {}, gen::attackVolEnv, -12000 + 1200},
      {"preset sampleModes has no effect", {{gen::sampleModes, 1}}, {}, gen::sampleModes, 0},
      {"preset exclusiveClass has no effect", {{gen::exclusiveClass, 5}}, {}, gen::exclusiveClass, 0},
      {"instrument sampleModes reaches the leaf", {}, {{gen::sampleModes, 3}}, gen::sampleModes, 3},
      {"instrument exclusiveClass reaches the leaf", {}, {{gen::exclusiveClass, 5}}, gen::exclusiveClass, 5},
      {"preset overridingRootKey has no effect", {{gen::overridingRootKey, 30}}, {}, gen::overridingRootKey, -1},
      {"instrument unused generator dropped", {}, {{gen::unused1, 7}}, gen::unused1, 0},
      {"later record overwrites", {}, {{gen::coarseTune, 3}, {gen::coarseTune, -4}}, gen::coarseTune, -4},
  };
  for (const Case& c : cases) {
    const TSF2Leaf leaf = SingleLeaf(Pair([&](Sf2Zone& pz, Sf2Zone& iz) {
      for (auto [g, v] : c.preset) pz.gen(g, v);
      for (auto [g, v] : c.instrument) iz.gen(g, v);
    }));
    EXPECT_EQ(Signed(leaf, c.gen), c.expected) << c.what;
  }
}

TEST(SF2Zones, KeyAndVelocityRangesIntersect) {
  struct Case {
    const char* what;
    uint8_t presetLo, presetHi, instLo, instHi, lo, hi;
  };
  const Case cases[] = {
      {"overlap", 40, 80, 60, 100, 60, 80},
      {"disjoint gives an empty range", 0, 10, 20, 30, 20, 10},
      {"inside", 0, 127, 36, 48, 36, 48},
  };
  for (const Case& c : cases) {
    const TSF2Leaf leaf = SingleLeaf(Pair([&](Sf2Zone& pz, Sf2Zone& iz) {
      pz.keyRange(c.presetLo, c.presetHi).velRange(c.presetLo, c.presetHi);
      iz.keyRange(c.instLo, c.instHi).velRange(c.instLo, c.instHi);
    }));
    EXPECT_EQ(leaf.KeyRange.Lo, c.lo) << c.what;
    EXPECT_EQ(leaf.KeyRange.Hi, c.hi) << c.what;
    EXPECT_EQ(leaf.VelRange.Lo, c.lo) << c.what;
    EXPECT_EQ(leaf.VelRange.Hi, c.hi) << c.what;
  }
  // No range anywhere: the full range.
  const TSF2Leaf full = SingleLeaf(Pair([](Sf2Zone&, Sf2Zone&) {}));
  EXPECT_EQ(full.KeyRange.Lo, 0);
  EXPECT_EQ(full.KeyRange.Hi, 127);
}

TEST(SF2Zones, PresetRangesMustLeadTheZone) {
  // keyRange as second record: dropped in a preset zone, kept in an instrument zone.
  TSF2Leaf leaf = SingleLeaf(Pair([](Sf2Zone& pz, Sf2Zone& iz) {
    pz.gen(gen::pan, 10).keyRange(40, 50);
    iz.gen(gen::pan, 10).keyRange(45, 90);
  }));
  EXPECT_EQ(leaf.KeyRange.Lo, 45);
  EXPECT_EQ(leaf.KeyRange.Hi, 90);

  // velRange second: kept after a keyRange, dropped otherwise.
  leaf = SingleLeaf(Pair([](Sf2Zone& pz, Sf2Zone&) { pz.keyRange(0, 100).velRange(10, 20); }));
  EXPECT_EQ(leaf.VelRange.Lo, 10);
  EXPECT_EQ(leaf.KeyRange.Hi, 100);
  leaf = SingleLeaf(Pair([](Sf2Zone& pz, Sf2Zone&) { pz.gen(gen::pan, 1).velRange(10, 20); }));
  EXPECT_EQ(leaf.VelRange.Lo, 0);
  EXPECT_EQ(leaf.VelRange.Hi, 127);
}

TEST(SF2Zones, GeneratorsAfterTheTerminalRecordAreIgnored) {
  Sf2Builder b;
  b.sample("s", std::vector<int16_t>(8, 0));
  b.instrument("Inst").zone().sampleId(0).gen(gen::pan, 300);
  b.preset("P", 0, 0).zone().instrument(0).gen(gen::coarseTune, 12);
  const TSF2Leaf leaf = SingleLeaf(b);
  EXPECT_EQ(Signed(leaf, gen::pan), 0);
  EXPECT_EQ(Signed(leaf, gen::coarseTune), 0);
}

TEST(SF2Zones, GlobalZonesServeAsDefaults) {
  Sf2Builder b;
  b.sample("s", std::vector<int16_t>(8, 0));
  test::Sf2Instrument& inst = b.instrument("Inst");
  inst.zone().gen(gen::initialFilterFc, 9000).gen(gen::pan, -100);  // global
  inst.zone().keyRange(0, 59).sampleId(0);
  inst.zone().keyRange(60, 127).gen(gen::initialFilterFc, 7000).sampleId(0);
  test::Sf2Preset& preset = b.preset("P", 0, 0);
  preset.zone().instrument(0);
  preset.zone().gen(gen::pan, 50);  // global, though not first
  preset.zone().gen(gen::pan, -20).instrument(0);
  const std::vector<TSF2Preset> presets = ConvertSF2Presets(Read(b));
  ASSERT_EQ(presets[0].Leaves.size(), 4u);
  const int32_t fc[] = {9000, 7000, 9000, 7000};
  const int32_t pan[] = {-100 + 50, -100 + 50, -100 - 20, -100 - 20};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Signed(presets[0].Leaves[i], gen::initialFilterFc), fc[i]) << i;
    EXPECT_EQ(Signed(presets[0].Leaves[i], gen::pan), pan[i]) << i;
    EXPECT_EQ(presets[0].Leaves[i].Name, "Inst");
  }
}

TEST(SF2Zones, LeavesStoreOnlyNonDefaultValuesAscending) {
  const TSF2Leaf plain = SingleLeaf(Pair([](Sf2Zone&, Sf2Zone&) {}));
  EXPECT_TRUE(plain.Generators.empty());  // instrument 0, sample 0, full ranges

  const TSF2Leaf leaf = SingleLeaf(Pair([](Sf2Zone& pz, Sf2Zone& iz) {
    pz.keyRange(10, 200);
    iz.gen(gen::initialFilterFc, 13500).gen(gen::pan, -30).gen(gen::sampleModes, 1);
  }));
  std::vector<std::pair<int32_t, int32_t>> got;
  for (const TSF2LeafGenerator& g : leaf.Generators) got.emplace_back(g.Generator, g.Value);
  // keyRange unsigned: 10 | 127 << 8
  const std::vector<std::pair<int32_t, int32_t>> expected = {{17, -30}, {43, 10 | 127 << 8}, {54, 1}};
  EXPECT_EQ(got, expected);
}

TEST(SF2Zones, ZonesWithoutInstrumentsOrWithBadIndicesGiveNoLeaves) {
  Sf2Builder b;
  b.sample("s", std::vector<int16_t>(8, 0));
  b.instrument("Inst").zone().sampleId(7);  // no such sample
  b.instrument("Good").zone().sampleId(0);
  b.preset("Empty", 0, 1).zone().gen(gen::pan, 5);
  b.preset("Bad", 0, 2).zone().instrument(40);
  b.preset("NoSample", 0, 3).zone().instrument(0);
  b.preset("Good", 0, 4).zone().instrument(1);
  const std::vector<TSF2Preset> presets = ConvertSF2Presets(Read(b));
  ASSERT_EQ(presets.size(), 5u);  // with the terminal preset
  EXPECT_EQ(presets[4].Name, "EOP");
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(presets[i].Leaves.empty()) << presets[i].Name;
  ASSERT_EQ(presets[3].Leaves.size(), 1u);
  EXPECT_EQ(presets[3].Leaves[0].Name, "Good");
  EXPECT_EQ(Signed(presets[3].Leaves[0], gen::instrument), 1);  // taken from the preset zone
}

TEST(SF2Zones, OutOfRangeBagAndRecordIndicesEndTheLists) {
  Sf2Builder b = Pair([](Sf2Zone& pz, Sf2Zone&) { pz.gen(gen::pan, 10); });
  std::vector<uint8_t> bags;  // zone 0 starts beyond the generators, no terminal bag
  for (uint16_t v : {0, 0, 900, 900}) test::PutU16(bags, v);
  b.rawChunk("pbag", bags);
  std::vector<uint8_t> phdr;
  test::PutName(phdr, "Far");
  for (uint16_t v : {0, 0, 500}) test::PutU16(phdr, v);  // bag index beyond the bags
  for (int i = 0; i < 3; ++i) test::PutU32(phdr, 0);
  b.rawChunk("phdr", phdr);
  const std::vector<TSF2Preset> presets = ConvertSF2Presets(Read(b));
  ASSERT_EQ(presets.size(), 1u);
  EXPECT_TRUE(presets[0].Leaves.empty());

  TSF2File f = Read(Pair([](Sf2Zone& pz, Sf2Zone&) { pz.gen(gen::pan, 10); }));
  f.PresetBags[1].GenNdx = 1000;  // second (terminal) bag points past the generators
  const TSFZones zones = ReadSF2Zones(f, szkPreset, 0);
  ASSERT_EQ(zones.size(), 1u);
  EXPECT_TRUE(zones[0].Gens[gen::instrument].IsSet);
}

TSF2Modulator Mod(int32_t dest, int32_t src1, int32_t flags1, int32_t src2, int32_t flags2, double amount, int32_t id,
                  int32_t group, bool presetLevel) {
  TSF2Modulator m;
  m.Dest = dest;
  m.Src1 = src1;
  m.Flags1 = flags1;
  m.Src2 = src2;
  m.Flags2 = flags2;
  m.Amount = amount;
  m.ID = id;
  m.IDGroup = group;
  m.PresetLevel = presetLevel;
  return m;
}

TEST(SF2Zones, ModulatorOperandsDecode) {
  struct Case {
    const char* what;
    uint16_t src, amtSrc, trans;
    int32_t src1, flags1, src2, flags2;
    double amount;
  };
  const Case cases[] = {
      // velocity, negative, concave
      {"velocity concave negative", 0x0502, 0, 0, 2, 5, 0, 0, 300},
      // CC10, controller, bipolar, linear
      {"controller bipolar", 0x028A, 0, 0, 10, 18, 0, 0, 300},
      // CC1 switch, second source key convex
      {"switch and convex", 0x0C81, 0x0803, 0, 1, 28, 3, 8, 300},
      {"transform makes the amount 0", 0x0002, 0, 2, 2, 0, 0, 0, 0},
      {"curve type 4 is invalid", 0x1002, 0, 0, 2, 0, 0, 0, 0},
      {"invalid amount source", 0x0002, 0xFC00, 0, 2, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const TSF2Modulator m = DecodeSF2Modulator({c.src, 0x8003, 300, c.amtSrc, c.trans}, true, 4, 3);
    EXPECT_EQ(m.Dest, 0x8003) << c.what;
    EXPECT_EQ(m.Src1, c.src1) << c.what;
    EXPECT_EQ(m.Flags1, c.flags1) << c.what;
    EXPECT_EQ(m.Src2, c.src2) << c.what;
    EXPECT_EQ(m.Flags2, c.flags2) << c.what;
    EXPECT_EQ(m.Amount, c.amount) << c.what;
    EXPECT_EQ(m.ID, 4);
    EXPECT_EQ(m.IDGroup, 3);
  }
}

TEST(SF2Zones, ModulatorGroupsAndIdenticalRecords) {
  constexpr uint16_t velToAtten = 0x0502;  // velocity, negative, concave
  const TSF2Leaf leaf = SingleLeaf(Pair([](Sf2Zone&, Sf2Zone&) {}));
  EXPECT_TRUE(leaf.Modulators.empty());

  Sf2Builder b;
  b.sample("s", std::vector<int16_t>(8, 0));
  test::Sf2Instrument& inst = b.instrument("Inst");
  inst.zone().mod(2, gen::pan, 11).mod(velToAtten, gen::initialAttenuation, 12);  // global
  inst.zone().mod(velToAtten, gen::initialAttenuation, 21).sampleId(0);
  test::Sf2Preset& preset = b.preset("P", 0, 0);
  preset.zone().mod(13, gen::vibLfoToPitch, 31).mod(3, gen::pan, 32);  // global
  preset.zone().mod(3, gen::pan, 41, 0, 0).instrument(0);
  const TSF2Leaf l = SingleLeaf(b);
  ASSERT_EQ(l.Modulators.size(), 4u);
  const TSF2Modulator expected[] = {
      Mod(gen::pan, 2, 0, 0, 0, 11, 0, 1, false),                    // global kept: not in the zone
      Mod(gen::initialAttenuation, 2, 5, 0, 0, 21, 0, 2, false),     // zone replaces the global one
      Mod(gen::vibLfoToPitch, 13, 0, 0, 0, 31, 0, 3, true),          // preset global, ID = position 0
      Mod(gen::pan, 3, 0, 0, 0, 41, 0, 4, true),                     // preset zone
  };
  for (size_t i = 0; i < 4; ++i) {
    const TSF2Modulator& m = l.Modulators[i];
    EXPECT_TRUE(m.SameRouting(expected[i])) << i;
    EXPECT_EQ(m.Amount, expected[i].Amount) << i;
    EXPECT_EQ(m.ID, expected[i].ID) << i;
    EXPECT_EQ(m.IDGroup, expected[i].IDGroup) << i;
    EXPECT_EQ(m.PresetLevel, expected[i].PresetLevel) << i;
  }
}

TEST(SF2Zones, MatchingModulatorsReplaceOrAddAmounts) {
  InitGeneratorTables();
  auto defaults = [] {
    std::vector<TSF2Modulator> list;
    for (const TDefaultModulator& d : DefaultModulators(true)) {
      list.push_back(Mod(d.Dest, d.Src1, d.Flags1, d.Src2, d.Flags2, d.Amount, -1, 0, false));
    }
    return list;
  };
  // Velocity to attenuation, concave negative: the first default modulator (960 cB).
  const TSF2Modulator preset = DecodeSF2Modulator({0x0502, gen::initialAttenuation, 100, 0, 0}, true, 0, 4);
  const TSF2Modulator instrument = DecodeSF2Modulator({0x0502, gen::initialAttenuation, 100, 0, 0}, false, 0, 2);

  std::vector<TSF2Modulator> list = defaults();
  MergeSF2Modulator(list, preset);
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list[0].Amount, 1060.0);
  EXPECT_EQ(list[0].ID, -1);
  EXPECT_EQ(list[0].IDGroup, 0);

  list = defaults();
  MergeSF2Modulator(list, instrument);
  MergeSF2Modulator(list, preset);
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list[0].Amount, 200.0);

  // Different flags: appended with its ID and group.
  list = defaults();
  MergeSF2Modulator(list, DecodeSF2Modulator({0x0102, gen::initialAttenuation, 100, 0, 0}, true, 5, 4));
  ASSERT_EQ(list.size(), 11u);
  EXPECT_EQ(list[10].ID, 5);
  EXPECT_EQ(list[10].IDGroup, 4);
}

TEST(SF2Zones, SoundFont1ValueConversionByClass) {
  struct Case {
    int32_t gen, unitClass;
    int16_t v;
    int32_t expected;
  };
  const Case cases[] = {
      {8, 5, 127, 14400},    {8, 5, 100, 100 * 59 + 4366},
      {9, 6, 5, 7},          {15, 7, 128, 500},
      {17, 8, 127, 500},     {17, 8, 64, 0},
      {17, 8, 0, -500},      {48, 9, 0, 1000},
      {48, 9, 127, 0},       {48, 9, 64, 595},  // -2000 log10(64/127) = 595.2
      {56, 10, 0, 100},      {56, 10, 3, 50},
      {34, 11, 0, -11958},   {34, 11, 1000, 0},  // ln(0.001) * 1731.234 = -11958.9
      {31, 12, 10, 55},      {22, 13, 0, 64811 - 65536},
      {24, 13, 0, 49936 - 65536}, {22, 13, 10, -6193},  // 1731.234 - 7925
      {22, 13, -5, 0},       {5, 14, 64, 600},
      {10, 15, 64, 3600},    {11, 15, 64, 7200},
      {13, 16, 64, 120},     {29, 17, 96, 0},
      {29, 17, 0, 1000},     {29, 17, 48, 500},
      {37, 18, 96, 0},       {37, 18, 0, 1000},
      {37, 18, 10, 895},     {51, 1, -7, -7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int16_t>(ConvertSF1Value(c.gen, c.unitClass, c.v)), c.expected)
        << "class " << c.unitClass << " v " << c.v;
  }
}

TEST(SF2Zones, SoundFont1LeavesConvertSetValuesAndFoldTuning) {
  Sf2Builder b = Pair([](Sf2Zone& pz, Sf2Zone& iz) {
    iz.gen(gen::initialAttenuation, 64).gen(gen::reserved3, 250).gen(gen::fineTune, 60);
    pz.gen(gen::reserved3, 250);  // replaces the instrument's value (Merge replace)
  });
  b.withoutIfil();
  const TSF2Leaf leaf = SingleLeaf(b);
  EXPECT_EQ(Signed(leaf, gen::initialAttenuation), 595);
  // 250 = 2 semitones 50 cents; fine 50 + 60 = 110 -> coarse 2 + 1, fine 10
  EXPECT_EQ(Signed(leaf, gen::coarseTune), 3);
  EXPECT_EQ(Signed(leaf, gen::fineTune), 10);
  // Unset generators keep their SF2 defaults.
  EXPECT_EQ(Signed(leaf, gen::initialFilterFc), 13500);
  EXPECT_EQ(Signed(leaf, gen::sustainVolEnv), 0);
  EXPECT_EQ(Signed(leaf, gen::freqVibLFO), 0);
  EXPECT_EQ(Signed(leaf, gen::scaleTuning), 100);
}

TEST(SF2Zones, HostileIndexTablesStayBounded) {
  // Many preset zones, all on one instrument with many sample zones: the
  // leaves stop at the cap instead of multiplying out.
  Sf2Builder b;
  b.sample("s", std::vector<int16_t>(8, 0));
  test::Sf2Instrument& inst = b.instrument("Wide");
  for (int i = 0; i < 1024; ++i) inst.zone().sampleId(0);
  test::Sf2Preset& preset = b.preset("P", 0, 0);
  for (int i = 0; i < 1024; ++i) preset.zone().instrument(0);
  const TSF2File f = Read(b);
  size_t leaves = 0;
  ConvertSF2Presets(f, [](const TSFPresetHeader&) {}, [&](const TSF2Leaf&) { ++leaves; });
  EXPECT_EQ(leaves, MaxSF2Leaves);
}

}  // namespace
}  // namespace kelvane
