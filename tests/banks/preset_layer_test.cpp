#include "banks/preset_layer.h"

#include <gtest/gtest.h>

#include <memory>

namespace kelvane {
namespace {

class PresetLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { InitGeneratorTables(); }
};

TEST_F(PresetLayerTest, NewLayerAndSelectorDefaults) {
  TPresetLayer parent(nullptr, nullptr);
  TPresetLayer layer(nullptr, &parent);
  EXPECT_EQ(layer.Parent, &parent);
  EXPECT_EQ(parent.Layers.Count(), 0);  // the caller adds it
  EXPECT_TRUE(layer.Active);
  EXPECT_EQ(layer.NextLayer, nullptr);
  EXPECT_EQ(layer.AttachedSoundFont, nullptr);
  EXPECT_TRUE(layer.Layers.OwnsObjects());
  EXPECT_FALSE(layer.OrderedModulators.OwnsObjects());
  TPresetLayerSelector* selector = layer.AddSelector();
  EXPECT_EQ(layer.Selectors[0], selector);
  EXPECT_EQ(selector->SelectorType(), lstNONE);
  EXPECT_EQ(selector->CCHi(), 0);
  EXPECT_EQ(selector->CCLo(), 0);
  EXPECT_EQ(selector->Range().Lo, 0);
  EXPECT_EQ(selector->Range().Hi, 127);
}

TEST_F(PresetLayerTest, ControllerSelectorValueMasksNumbersAndValues) {
  uint8_t controllers[128] = {};
  controllers[1] = 0xFF;  // masked to 127 as the low part
  controllers[7] = 0x85;  // high part: (0x85 << 7) & 0x3FFF = 0x0280
  TPresetLayerSelector selector;
  selector.SetSelectorType(lstCONTROLLER7BITRANGE);
  selector.SetCCLo(129);  // controller 129 & 127 = 1
  EXPECT_EQ(selector.ControllerValue(controllers), 127);
  selector.SetSelectorType(lstCONTROLLER14BITRANGE);
  selector.SetCCHi(7 + 128);
  EXPECT_EQ(selector.ControllerValue(controllers), 0x0280 | 127);
}

TEST_F(PresetLayerTest, GeneratorResolution) {
  struct Case {
    const char* what;
    std::vector<std::pair<int32_t, int32_t>> root, parent, leaf;
    int32_t gen;
    int32_t expected;
  };
  const Case cases[] = {
      {"leaf overrides parent", {}, {{8, 5000}}, {{8, 9000}}, 8, 9000},
      {"parent only", {}, {{8, 5000}}, {}, 8, 5000},
      {"neither: table default", {}, {}, {}, 8, 13500},
      {"root seen from the leaf", {{48, 100}}, {}, {}, 48, 100},
      {"nothing summed along the tree", {{48, 100}}, {{48, 200}}, {{48, 300}}, 48, 300},
      {"first duplicate wins", {}, {}, {{8, 1000}, {8, 2000}}, 8, 1000},
      {"first duplicate wins over parent", {}, {{8, 4000}}, {{8, 1000}, {8, 2000}}, 8, 1000},
      {"slot -1 never from a layer", {}, {}, {{-1, 777}}, -1, 0},
      {"keynum default", {}, {}, {}, 46, -1},
      {"keyRange default", {}, {}, {}, 43, 32512},
      {"overridingRootKey default", {}, {}, {}, 58, -1},
      {"unused slot inside 0..168 taken", {}, {}, {{80, 5}}, 80, 5},
      {"last slot", {}, {}, {{168, 3}}, 168, 3},
  };
  for (const Case& c : cases) {
    TPresetLayer root(nullptr, nullptr);
    auto* parent = new TPresetLayer(nullptr, &root);
    root.Layers.Add(parent);
    auto* leaf = new TPresetLayer(nullptr, parent);
    parent->Layers.Add(leaf);
    for (auto [g, v] : c.root) root.AddGenerator(g, v);
    for (auto [g, v] : c.parent) parent->AddGenerator(g, v);
    for (auto [g, v] : c.leaf) leaf->AddGenerator(g, v);
    leaf->AddGenerator(169, 1);  // outside the table: ignored
    leaf->AddGenerator(-2, 1);
    TGenValues values;
    values.Fill(12345);
    leaf->FillGeneratorValues(values);
    EXPECT_EQ(values[c.gen], c.expected) << c.what;
    EXPECT_EQ(values[0], 0) << c.what;
  }
}

TEST_F(PresetLayerTest, SetGeneratorReplacesAddGeneratorAppends) {
  TPresetLayer layer(nullptr, nullptr);
  layer.SetGenerator(8, 1);
  layer.SetGenerator(9, 2);
  layer.SetGenerator(8, 3);
  ASSERT_EQ(layer.Generators.Count(), 2);
  EXPECT_EQ(layer.Generators[0]->Generator(), 8);
  EXPECT_EQ(layer.Generators[0]->Value(), 3);
  layer.AddGenerator(8, 4);
  EXPECT_EQ(layer.Generators.Count(), 3);
}

TEST_F(PresetLayerTest, PolyphonyCache) {
  TPresetLayer root(nullptr, nullptr);
  auto* preset = new TPresetLayer(nullptr, &root);
  root.Layers.Add(preset);
  auto* leafA = new TPresetLayer(nullptr, preset);
  auto* leafB = new TPresetLayer(nullptr, preset);
  preset->Layers.Add(leafA);
  preset->Layers.Add(leafB);
  auto* other = new TPresetLayer(nullptr, &root);
  root.Layers.Add(other);
  auto* otherLeaf = new TPresetLayer(nullptr, other);
  other->Layers.Add(otherLeaf);

  root.RecacheReset();
  root.Recache();
  for (TPresetLayer* layer : {&root, preset, leafA, leafB, other, otherLeaf}) {
    EXPECT_EQ(layer->CacheMaxPolyphony, 8192);
    EXPECT_EQ(layer->CacheMaxPolyphonyPresetLayer, nullptr);
  }

  preset->MaxPolyphony = 4;
  leafB->MaxPolyphony = 2;
  otherLeaf->MaxPolyphony = -1;  // not set
  root.RecacheReset();
  root.Recache();
  EXPECT_EQ(leafA->CacheMaxPolyphony, 4);
  EXPECT_EQ(leafA->CacheMaxPolyphonyPresetLayer, preset);
  EXPECT_EQ(leafB->CacheMaxPolyphony, 2);
  EXPECT_EQ(leafB->CacheMaxPolyphonyPresetLayer, leafB);
  EXPECT_EQ(otherLeaf->CacheMaxPolyphony, 8192);
  EXPECT_EQ(otherLeaf->CacheMaxPolyphonyPresetLayer, nullptr);

  leafA->NextLayer = leafB;
  root.RecacheReset();
  EXPECT_EQ(leafA->NextLayer, nullptr);
  EXPECT_EQ(leafA->CacheMaxPolyphony, 8192);
  EXPECT_EQ(leafA->CacheMaxPolyphonyPresetLayer, nullptr);
}

TEST_F(PresetLayerTest, AddModulatorAndDefaultSet) {
  TPresetLayer layer(nullptr, nullptr);
  TPresetLayerModulator* first = layer.AddModulator(48, 2, 5, 0, 0, 960.0, 3, 7);
  EXPECT_EQ(first->Index(), 0);
  EXPECT_EQ(first->ID(), 3);
  EXPECT_EQ(first->IDGroup(), 7);
  EXPECT_EQ(first->Amount(), 960.0);
  EXPECT_TRUE(first->Name().empty());
  EXPECT_EQ(first->LinkedDestinationModulator(), -1);
  EXPECT_FALSE(first->LinkedSourceModulators().OwnsObjects());

  layer.AddDefaultModulators(true);
  ASSERT_EQ(layer.Modulators.Count(), 11);
  for (int i = 1; i < 11; ++i) {
    EXPECT_EQ(layer.Modulators[i]->Index(), i);
    EXPECT_EQ(layer.Modulators[i]->ID(), -1);
    EXPECT_EQ(layer.Modulators[i]->IDGroup(), 0);
  }
  // Row 2 (velocity to cutoff) by version; row 10 the pitch wheel.
  const TPresetLayerModulator* cutoff = layer.Modulators[2];
  EXPECT_EQ(cutoff->Dest(), 8);
  EXPECT_EQ(cutoff->Src2(), 0);
  EXPECT_EQ(cutoff->Flags2(), 0);
  EXPECT_EQ(cutoff->Amount(), -2400.0);
  const TPresetLayerModulator* wheel = layer.Modulators[10];
  EXPECT_EQ(wheel->Dest(), -1);
  EXPECT_EQ(wheel->Src1(), 14);
  EXPECT_EQ(wheel->Src2(), 16);
  EXPECT_EQ(wheel->Amount(), 12700.0);

  TPresetLayer old(nullptr, nullptr);
  old.AddDefaultModulators(false);
  EXPECT_EQ(old.Modulators[1]->Src2(), 2);
  EXPECT_EQ(old.Modulators[1]->Flags2(), 13);
}

// Layers carrying the default set unchanged point at one table; a write goes
// to the writing layer's own copy and never reaches the table.
TEST_F(PresetLayerTest, DefaultModulatorsAreSharedUntilWritten) {
  auto a = std::make_unique<TPresetLayer>(nullptr, nullptr);
  TPresetLayer b(nullptr, nullptr);
  a->AddDefaultModulators(true);
  b.AddDefaultModulators(true);
  const TPresetLayerModulatorList& shared = b.Modulators;
  const TPresetLayerModulatorList& mine = a->Modulators;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(mine[i], shared[i]) << i;

  a->Modulators[2]->SetAmount(-1000.0);
  EXPECT_NE(mine[2], shared[2]);
  EXPECT_EQ(mine[2]->Amount(), -1000.0);
  EXPECT_EQ(mine[2]->Index(), 2);
  EXPECT_EQ(mine[3], shared[3]);  // only the written one is copied
  a->AddModulator(gen::pan, 1, 16, 0, 0, 5.0, -1, 0);
  EXPECT_EQ(mine.Count(), 11);
  EXPECT_EQ(mine[10]->Index(), 10);
  EXPECT_EQ(shared.Count(), 10);
  a->SetupLinkedModulators();
  b.SetupLinkedModulators();
  EXPECT_FALSE(b.HasLinkedModulators);

  a.reset();  // frees its own items only
  TPresetLayer c(nullptr, nullptr);
  c.AddDefaultModulators(true);
  EXPECT_EQ(c.Modulators.Count(), 10);
  EXPECT_EQ(shared[2]->Amount(), DefaultModulators(true)[2].Amount);
  EXPECT_EQ(static_cast<const TPresetLayer&>(c).Modulators[2], shared[2]);
  // The set of older banks is a table of its own.
  TPresetLayer old(nullptr, nullptr);
  old.AddDefaultModulators(false);
  EXPECT_NE(static_cast<const TPresetLayer&>(old).Modulators[1], shared[1]);
}

TEST_F(PresetLayerTest, ListsRejectIndicesOutsideTheItems) {
  TPresetLayer layer(nullptr, nullptr);
  layer.AddSelector();
  layer.AddGenerator(8, 1);
  layer.AddDefaultModulators(true);
  const TPresetLayer& view = layer;
  for (int64_t i : {int64_t{-1}, int64_t{1}}) {
    EXPECT_THROW(layer.Selectors[i], EKelvaneRangeError) << i;
    EXPECT_THROW(view.Generators[i], EKelvaneRangeError) << i;
  }
  EXPECT_THROW(layer.Modulators[10], EKelvaneRangeError);
  EXPECT_THROW(view.Modulators[-1], EKelvaneRangeError);
  EXPECT_THROW(layer.OrderedModulators[0], EKelvaneRangeError);
}

TEST_F(PresetLayerTest, ClearEmptiesLayerAndSubtree) {
  TPresetLayer layer(nullptr, nullptr);
  layer.Name = "Piano";
  layer.AddSelector();
  layer.AddGenerator(8, 1);
  layer.AddModulator(8, 2, 0, 0, 0, 1.0, -1, -1);
  layer.OrderedModulators.Add(layer.Modulators[0]);
  auto* child = new TPresetLayer(nullptr, &layer);
  child->Layers.Add(new TPresetLayer(nullptr, child));
  layer.Layers.Add(child);
  layer.CuePoints = {true, {1, 2}, 60};
  layer.VolEnvelope.Active = true;
  layer.VolEnvelope.Points.push_back({1, 2, 3});
  layer.VolEnvelope.LoopEnd = 4;
  layer.Crossfades.push_back({});
  layer.MaxPolyphony = 3;
  layer.HasLinkedModulators = true;
  layer.Clear();
  EXPECT_TRUE(layer.Name.empty());
  EXPECT_EQ(layer.Selectors.Count() + layer.Generators.Count() + layer.Modulators.Count() +
                layer.OrderedModulators.Count() + layer.Layers.Count(),
            0);
  EXPECT_FALSE(layer.CuePoints.Active);
  EXPECT_TRUE(layer.CuePoints.Points.empty());
  EXPECT_EQ(layer.CuePoints.RootKey, 0);
  EXPECT_FALSE(layer.VolEnvelope.Active);
  EXPECT_TRUE(layer.VolEnvelope.Points.empty());
  EXPECT_EQ(layer.VolEnvelope.LoopEnd, 0);
  EXPECT_TRUE(layer.Crossfades.empty());
  EXPECT_EQ(layer.MaxPolyphony, 0);
  EXPECT_FALSE(layer.HasLinkedModulators);
}

}  // namespace
}  // namespace kelvane
