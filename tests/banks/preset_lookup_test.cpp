#include "banks/preset_lookup.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "banks/preset_layer.h"

namespace kelvane {
namespace {

TPresetLayer* AddLayer(TPresetLayer& parent, const char* name, TAttachedSoundFont* bank = nullptr) {
  auto* layer = new TPresetLayer(nullptr, &parent);
  layer->Name = name;
  layer->AttachedSoundFont = bank;
  parent.Layers.Add(layer);
  return layer;
}

void AddRange(TPresetLayer& layer, TPresetLayerSelectorType type, int32_t lo, int32_t hi) {
  TPresetLayerSelector* selector = layer.AddSelector();
  selector->SetSelectorType(type);
  selector->SetRange(lo, hi);
}

// A preset with bank and program selectors, as the SF2 and DLS readers build it.
TPresetLayer* AddPreset(TPresetLayer& root, const char* name, TAttachedSoundFont* bank, int32_t bankNumber,
                        int32_t program) {
  TPresetLayer* preset = AddLayer(root, name, bank);
  AddRange(*preset, lstBANKRANGE, bankNumber, bankNumber);
  AddRange(*preset, lstPROGRAMRANGE, program, program);
  return preset;
}

std::vector<TPresetLayer*> Chain(const TPresetLayers& table, int32_t bank, int32_t program) {
  std::vector<TPresetLayer*> chain;
  for (TPresetLayer* layer = table.Get(bank, program); layer && chain.size() < 100; layer = layer->NextLayer)
    chain.push_back(layer);
  return chain;
}

std::vector<int32_t> NonEmptyEntries(const TPresetLayers& table) {
  std::vector<int32_t> entries;
  for (int32_t i = 0; i < TPresetLayers::Count; ++i)
    if (table[i]) entries.push_back(i);
  return entries;
}

class PresetLookupTest : public ::testing::Test {
 protected:
  TPresetLayer Root{nullptr, nullptr};
  std::unique_ptr<TPresetLayers> Table = std::make_unique<TPresetLayers>();
};

TEST_F(PresetLookupTest, RootOnlyRegistersNothing) {
  (*Table)[5] = &Root;  // stale entries are cleared
  RebuildPresetLayers(Root, *Table);
  EXPECT_TRUE(NonEmptyEntries(*Table).empty());
}

TEST_F(PresetLookupTest, BankAndProgramSelectorsNarrowToOneEntry) {
  TPresetLayer* preset = AddPreset(Root, "Piano", nullptr, 0, 5);
  TPresetLayer* leaf = AddLayer(*preset, "zone");
  RebuildPresetLayers(Root, *Table);
  EXPECT_EQ(NonEmptyEntries(*Table), std::vector<int32_t>({PresetLayerIndex(0, 5)}));
  EXPECT_EQ(Chain(*Table, 0, 5), std::vector<TPresetLayer*>({leaf}));
}

TEST_F(PresetLookupTest, DisjointBankRangeRegistersNothingBelow) {
  TPresetLayer* preset = AddPreset(Root, "Piano", nullptr, 1, 0);
  TPresetLayer* inner = AddLayer(*preset, "inner");
  AddRange(*inner, lstBANKRANGE, 2, 3);
  AddLayer(*AddLayer(*inner, "deeper"), "leaf");
  TPresetLayer* program = AddLayer(*preset, "other program");
  AddRange(*program, lstPROGRAMRANGE, 1, 127);  // program 0 only above
  AddLayer(*program, "leaf");
  RebuildPresetLayers(Root, *Table);
  EXPECT_TRUE(NonEmptyEntries(*Table).empty());
}

TEST_F(PresetLookupTest, ChildlessInnerLayerIsALeafForTheInheritedRanges) {
  TPresetLayer* bankLayer = AddLayer(Root, "bank 3");
  AddRange(*bankLayer, lstBANKRANGE, 3, 3);
  TPresetLayer* empty = AddLayer(*bankLayer, "no children");
  AddRange(*empty, lstPROGRAMRANGE, 10, 200);  // clipped to 10..127
  RebuildPresetLayers(Root, *Table);
  const std::vector<int32_t> entries = NonEmptyEntries(*Table);
  ASSERT_EQ(entries.size(), 118u);
  EXPECT_EQ(entries.front(), PresetLayerIndex(3, 10));
  EXPECT_EQ(entries.back(), PresetLayerIndex(3, 127));
  EXPECT_EQ(Chain(*Table, 3, 50), std::vector<TPresetLayer*>({empty}));
}

TEST_F(PresetLookupTest, ChainsHoldLeavesInAttachOrderAndRebuildDoesNotDuplicate) {
  TAttachedSoundFont first(nullptr), second(nullptr);
  TPresetLayer* presetA = AddPreset(Root, "A", &first, 0, 0);
  TPresetLayer* a1 = AddLayer(*presetA, "a1", &first);
  TPresetLayer* a2 = AddLayer(*presetA, "a2", &first);
  TPresetLayer* presetB = AddPreset(Root, "B", &second, 0, 0);
  TPresetLayer* b1 = AddLayer(*presetB, "b1", &second);
  TPresetLayer* drums = AddPreset(Root, "Drums", &second, PercussionBank, 0);
  TPresetLayer* d1 = AddLayer(*drums, "d1", &second);
  for (int pass = 0; pass < 2; ++pass) {
    RebuildPresetLayers(Root, *Table);
    EXPECT_EQ(Chain(*Table, 0, 0), std::vector<TPresetLayer*>({a1, a2, b1}));
    EXPECT_EQ(Chain(*Table, PercussionBank, 0), std::vector<TPresetLayer*>({d1}));
    EXPECT_EQ(NonEmptyEntries(*Table).size(), 2u);
  }
}

TEST_F(PresetLookupTest, ActiveFromBankBitmap) {
  TAttachedSoundFont bank(nullptr);
  bank.ActiveAllBankPrograms = false;
  bank.ActiveBankProgramBitmap.Set(1, 4, true);
  TPresetLayer* off = AddLayer(*AddPreset(Root, "off", &bank, 1, 3), "off", &bank);
  TPresetLayer* on = AddLayer(*AddPreset(Root, "on", &bank, 1, 4), "on", &bank);
  TPresetLayer* noBank = AddLayer(*AddPreset(Root, "no bank", nullptr, 1, 3), "no bank");
  RebuildPresetLayers(Root, *Table);
  EXPECT_FALSE(off->Active);
  EXPECT_TRUE(on->Active);
  EXPECT_TRUE(noBank->Active);
  EXPECT_EQ(Chain(*Table, 1, 3), std::vector<TPresetLayer*>({off, noBank}));

  bank.ActiveAllBankPrograms = true;
  RebuildPresetLayers(Root, *Table);
  EXPECT_TRUE(off->Active);
}

TEST_F(PresetLookupTest, RebuildComputesPolyphonyCache) {
  TPresetLayer* preset = AddPreset(Root, "P", nullptr, 0, 0);
  preset->MaxPolyphony = 4;
  TPresetLayer* leaf = AddLayer(*preset, "z");
  RebuildPresetLayers(Root, *Table);
  EXPECT_EQ(leaf->CacheMaxPolyphony, 4);
  EXPECT_EQ(leaf->CacheMaxPolyphonyPresetLayer, preset);
}

// Clear looks only at the banks written since the last Clear: entries in the
// first and last bank, on both sides of a 64-bank word, and twice in a row.
TEST_F(PresetLookupTest, ClearEmptiesEveryWrittenBank) {
  TPresetLayer* leaf = AddLayer(Root, "leaf");
  const int32_t entries[][2] = {{0, 0}, {63, 127}, {64, 5}, {1000, 64}, {PercussionBank, 127}};
  for (int32_t round = 0; round < 2; round++) {
    for (const auto& e : entries) (*Table)[PresetLayerIndex(e[0], e[1])] = leaf;
    Table->Clear();
    for (const auto& e : entries) EXPECT_EQ(Table->Get(e[0], e[1]), nullptr) << e[0] << ":" << e[1] << " round " << round;
  }
}

TEST_F(PresetLookupTest, BitmapIndexing) {
  TActiveBankProgramBitmap bitmap;
  bitmap.Set(PercussionBank, 127, true);
  const int32_t index = PresetLayerIndex(PercussionBank, 127);
  EXPECT_EQ(index, 2097279);
  EXPECT_EQ(bitmap.Words[65539], 1u << 31);
  EXPECT_TRUE(bitmap.Test(PercussionBank, 127));
  EXPECT_FALSE(bitmap.Test(PercussionBank, 126));
  bitmap.Set(0, 33, true);
  EXPECT_EQ(bitmap.Words[1], 2u);
  bitmap.Set(0, 33, false);
  EXPECT_EQ(bitmap.Words[1], 0u);
  EXPECT_FALSE(bitmap.Test(PercussionBank + 1, 0));
  EXPECT_FALSE(bitmap.Test(0, 128));
}

class PresetInfosTest : public PresetLookupTest {
 protected:
  void SetUp() override {
    Sf2.SoundBankType = sbtSF2;
    Sfx.SoundBankType = sbtSFX;
    TPresetLayer* piano = AddPreset(Root, "Piano", &Sf2, 0, 0);
    PianoLow = AddLayer(*piano, "zone low", &Sf2);
    PianoHigh = AddLayer(*piano, "zone high", &Sf2);
    Organ = AddLayer(*AddPreset(Root, "Organ", &Sf2, 0, 16), "organ zone", &Sf2);
    Strings = AddLayer(*AddPreset(Root, "Strings", &Sf2, 128, 48), "strings zone", &Sf2);
    TPresetLayer* sfxBank = AddLayer(Root, "sfx bank", &Sfx);
    AddRange(*sfxBank, lstBANKRANGE, 0, 0);
    TPresetLayer* sfxPreset = AddLayer(*sfxBank, "sfx preset", &Sfx);
    AddRange(*sfxPreset, lstPROGRAMRANGE, 1, 1);
    SfxLeaf = AddLayer(*AddLayer(*sfxPreset, "sfx inner", &Sfx), "sfx leaf", &Sfx);
  }

  TAttachedSoundFont Sf2{nullptr}, Sfx{nullptr};
  TPresetLayer *PianoLow, *PianoHigh, *Organ, *Strings, *SfxLeaf;
};

TEST_F(PresetInfosTest, Sf2ZonesAreNamedAfterTheirPreset) {
  const TPresetInfos infos = CollectPresetInfos(Root, &Sf2, 0, 0, 0, 127);
  ASSERT_EQ(infos.size(), 3u);
  const struct {
    int32_t program;
    TPresetLayer* layer;
    const char* name;
  } expected[] = {{0, PianoLow, "Piano"}, {0, PianoHigh, "Piano"}, {16, Organ, "Organ"}};
  for (size_t i = 0; i < infos.size(); ++i) {
    EXPECT_EQ(infos[i].Bank, 0);
    EXPECT_EQ(infos[i].Program_, expected[i].program);
    EXPECT_EQ(infos[i].Layer, expected[i].layer);
    EXPECT_EQ(infos[i].Name, expected[i].name);
  }
}

TEST_F(PresetInfosTest, AllBanksRangesAndLeafNamesForOtherTypes) {
  const TPresetInfos all = CollectPresetInfos(Root, nullptr, 0, PercussionBank, 0, 127);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[3].Layer, Strings);
  EXPECT_EQ(all[3].Bank, 128);
  EXPECT_EQ(all[3].Program_, 48);
  EXPECT_EQ(all[4].Layer, SfxLeaf);
  EXPECT_EQ(all[4].Name, "sfx leaf");
  EXPECT_EQ(all[4].Program_, 1);

  const TPresetInfos narrow = CollectPresetInfos(Root, nullptr, 0, 0, 1, 16);
  ASSERT_EQ(narrow.size(), 2u);
  EXPECT_EQ(narrow[0].Layer, Organ);
  EXPECT_EQ(narrow[1].Layer, SfxLeaf);

  EXPECT_TRUE(CollectPresetInfos(Root, &Sfx, 0, 0, 2, 127).empty());
  EXPECT_TRUE(CollectPresetInfos(Root, nullptr, 5, 4, 0, 127).empty());
}

TEST_F(PresetInfosTest, LeafWithoutBankKeepsItsOwnName) {
  AddLayer(*AddPreset(Root, "Preset", nullptr, 7, 7), "own name");
  const TPresetInfos infos = CollectPresetInfos(Root, nullptr, 7, 7, 7, 7);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].Name, "own name");
}

}  // namespace
}  // namespace kelvane
