#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sf2_builder.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

using test::Sf2Builder;

constexpr int32_t Link(int32_t id) { return ModulatorLinkFlag | id; }

struct TLinkModulator {
  int32_t Dest;
  int32_t ID;
  int32_t IDGroup;
};

struct TLinkCase {
  const char* Name;
  std::vector<TLinkModulator> Modulators;
  bool HasLinks;
  std::vector<int32_t> Destinations;  // expected fLinkedDestinationModulator per modulator
  std::vector<int32_t> Order;         // expected OrderedModulators as indices; empty without links
};

// Orders follow the walk: every index is pushed in list order, the last is
// taken first, a modulator's feeders (pushed in list order) are walked before
// it is appended.
const TLinkCase LinkCases[] = {
    {"NoLinks", {{48, -1, 0}, {8, 0, 1}, {17, 1, 1}}, false, {-1, -1, -1}, {}},
    {"FeederBeforeTarget", {{Link(5), 0, 1}, {8, 5, 1}}, true, {1, -1}, {0, 1}},
    {"TargetBeforeFeeder", {{8, 5, 1}, {Link(5), 0, 1}, {48, 2, 1}}, true, {-1, 0, -1}, {2, 1, 0}},
    {"OtherGroupIsNotATarget", {{Link(5), 0, 2}, {8, 5, 1}}, false, {-1, -1}, {}},
    {"DanglingIDLeavesMinusOne", {{Link(9), 0, 1}, {Link(1), 2, 1}, {8, 1, 1}}, true, {-1, 2, -1}, {1, 2, 0}},
    {"FirstMatchInListOrder", {{8, 5, 1}, {Link(5), 1, 1}, {17, 5, 1}}, true, {-1, 0, -1}, {2, 1, 0}},
    {"NeverItself", {{Link(5), 5, 1}, {8, 5, 1}}, true, {1, -1}, {0, 1}},
    {"LinkIDIsTheLow15Bits", {{0xFFFF, 0, 1}, {8, 0x7FFF, 1}}, true, {1, -1}, {0, 1}},
    {"NegativeDestinationIsNoLink", {{static_cast<int32_t>(0xFFFF8001u), 0, 1}, {8, 1, 1}}, false, {-1, -1}, {}},
    {"ChainAndFanIn",
     {{8, 1, 1}, {Link(1), 2, 1}, {Link(2), 3, 1}, {Link(1), 4, 1}, {48, 5, 1}},
     true,
     {-1, 0, 1, 0, -1},
     {4, 3, 2, 1, 0}},
    {"CycleEndsAndListsEachOnce", {{Link(2), 1, 1}, {Link(1), 2, 1}, {Link(2), 3, 1}}, true, {1, 0, 1}, {2, 0, 1}},
};

class ModulatorLinks : public ::testing::TestWithParam<TLinkCase> {};

TEST_P(ModulatorLinks, ResolveLinksAndOrderFeedersFirst) {
  const TLinkCase& c = GetParam();
  TPresetLayer layer(nullptr, nullptr);
  for (const TLinkModulator& m : c.Modulators) layer.AddModulator(m.Dest, 2, 0, 0, 0, 100.0, m.ID, m.IDGroup);
  // A second run must give the same lists, not append to them.
  for (int run = 0; run < 2; run++) {
    layer.SetupLinkedModulators();
    EXPECT_EQ(layer.HasLinkedModulators, c.HasLinks);
    std::vector<int32_t> destinations;
    for (const TPresetLayerModulator* m : layer.Modulators) destinations.push_back(m->LinkedDestinationModulator());
    EXPECT_EQ(destinations, c.Destinations);
    std::vector<int32_t> order;
    for (const TPresetLayerModulator* m : layer.OrderedModulators) order.push_back(m->Index());
    EXPECT_EQ(order, c.Order);
    // Feeder lists: exactly the modulators whose destination is this one, in list order.
    for (const TPresetLayerModulator* target : layer.Modulators) {
      std::vector<int32_t> expected, sources;
      for (size_t i = 0; i < c.Destinations.size(); i++) {
        if (c.Destinations[i] == target->Index()) expected.push_back(static_cast<int32_t>(i));
      }
      for (const TPresetLayerModulator* s : target->LinkedSourceModulators()) sources.push_back(s->Index());
      EXPECT_EQ(sources, expected) << "modulator " << target->Index() << " run " << run;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ModulatorLinks, ::testing::ValuesIn(LinkCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(ModulatorLinks, LongChainEndingLastInTheListNeedsNoRecursion) {
  // Each modulator feeds the next and the last drives a generator: the walk
  // goes 30000 modulators deep, which a recursive walk would do in calls.
  constexpr int32_t count = 30000;
  TPresetLayer layer(nullptr, nullptr);
  for (int32_t i = 0; i + 1 < count; i++) layer.AddModulator(Link(i + 1), 2, 0, 0, 0, 1.0, i, 1);
  layer.AddModulator(8, 2, 0, 0, 0, 1.0, count - 1, 1);
  layer.SetupLinkedModulators();
  ASSERT_EQ(layer.OrderedModulators.Count(), count);
  for (int32_t i = 0; i < count; i++) ASSERT_EQ(layer.OrderedModulators[i]->Index(), i);
}

TEST(ModulatorLinks, SF2LinkedModulatorsAreResolvedOnAttach) {
  Sf2Builder b;
  b.version(2, 4);
  b.sample("s", {1, 2, 3, 4});
  // Modulator 0 (controller 1) feeds modulator 1 of the same zone, which reads
  // the link source (127) and drives the cutoff; modulator 2 links nowhere.
  b.instrument("I").zone().mod(0x0081, 0x8001, 100).mod(0x007F, gen::initialFilterFc, -1200).mod(0x0081, 0x8007, 50).sampleId(0);
  b.preset("P", 0, 0).zone().instrument(0);
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(b.stream(), true), nullptr);
  const TPresetLayer& leaf = *synth->RootPresetLayer->Layers[0]->Layers[0];
  ASSERT_EQ(leaf.Modulators.Count(), 13);  // the default ten first
  EXPECT_TRUE(leaf.HasLinkedModulators);
  EXPECT_EQ(leaf.Modulators[10]->LinkedDestinationModulator(), 11);
  EXPECT_EQ(leaf.Modulators[12]->LinkedDestinationModulator(), -1);
  ASSERT_EQ(leaf.Modulators[11]->LinkedSourceModulators().Count(), 1);
  EXPECT_EQ(leaf.Modulators[11]->LinkedSourceModulators()[0], leaf.Modulators[10]);
  ASSERT_EQ(leaf.OrderedModulators.Count(), 13);
  EXPECT_LT(leaf.OrderedModulators.IndexOf(leaf.Modulators[10]), leaf.OrderedModulators.IndexOf(leaf.Modulators[11]));
}

}  // namespace
}  // namespace kelvane
