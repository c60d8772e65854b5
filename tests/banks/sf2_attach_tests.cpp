#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "banks/attached_sound_font.h"
#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "banks/sf2_builder.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

using test::Sf2Builder;
using test::Sf2Zone;

// Selector of a type on a layer; null when it has none.
const TPresetLayerSelector* FindSelector(const TPresetLayer& layer, TPresetLayerSelectorType type) {
  for (const TPresetLayerSelector* s : layer.Selectors) {
    if (s->SelectorType() == type) return s;
  }
  return nullptr;
}

std::vector<std::pair<int32_t, int32_t>> Generators(const TPresetLayer& layer) {
  std::vector<std::pair<int32_t, int32_t>> r;
  for (const TPresetLayerGenerator* g : layer.Generators) r.emplace_back(g->Generator(), g->Value());
  return r;
}

Sf2Builder TwoPresetBank() {
  Sf2Builder b;
  b.info("INAM", "Two");
  b.sample("low", {100, 200, 300, 400}).loop(1, 3).pitch(48, 7);
  b.sample("high", {-32768, 32767}).rate(22050);
  test::Sf2Instrument& inst = b.instrument("Keys");
  inst.zone().keyRange(0, 59).sampleId(0);
  inst.zone().keyRange(60, 127).gen(gen::pan, 250).sampleId(1);
  b.preset("Piano", 0, 5).zone().instrument(0);
  b.preset("Kit", 128, 3).zone().gen(gen::initialAttenuation, 30).instrument(0);
  return b;
}

TEST(SF2Attach, BuildsSamplesLayersAndLookup) {
  auto synth = std::make_unique<TSynth>();
  TAttachedSoundFont* bank = synth->AttachSoundFont(TwoPresetBank().stream(), false);
  ASSERT_NE(bank, nullptr);
  ASSERT_EQ(synth->AttachedSoundFonts.Count(), 1);
  EXPECT_EQ(bank->SoundBankType, sbtSF2);
  EXPECT_EQ(bank->SoundBankInfo.BankName, std::string("Two\0", 4));
  EXPECT_EQ(synth->SoundBankInfo.BankName, bank->SoundBankInfo.BankName);
  // Loaded at once: the stream is gone.
  EXPECT_EQ(bank->Stream, nullptr);
  EXPECT_EQ(bank->SmplOfs, 0);

  ASSERT_EQ(synth->Samples.Count(), 3);  // with the terminal record
  const TSample* low = synth->Samples[0];
  EXPECT_EQ(low->Name, "low");
  EXPECT_EQ(low->Index, 0);
  EXPECT_EQ(low->BankIndex, 0);
  EXPECT_EQ(low->Length, 5);  // end - start + 1
  EXPECT_EQ(low->LoopStart, 1);
  EXPECT_EQ(low->LoopEnd, 3);
  EXPECT_EQ(low->OriginalPitch, 48);
  EXPECT_EQ(low->PitchCorrection, 7);
  EXPECT_EQ(low->AttachedSoundFont, bank);
  EXPECT_TRUE(low->SampleTypeFlags.Contains(stfMono));
  EXPECT_TRUE(low->Loaded);
  EXPECT_FLOAT_EQ(low->Data[SampleGuardFrames + 1], 200.0f / 32768.0f);
  const TSample* high = synth->Samples[1];
  EXPECT_EQ(high->SampleRate, 22050);
  EXPECT_EQ(high->Data[SampleGuardFrames], -1.0f);
  EXPECT_EQ(synth->Samples[2]->Name, "EOS");
  EXPECT_FALSE(synth->Samples[2]->Loaded);  // type 0 never loads

  const TPresetLayer& root = *synth->RootPresetLayer;
  ASSERT_EQ(root.Layers.Count(), 3);  // Piano, Kit, EOP
  const TPresetLayer& kit = *root.Layers[1];
  EXPECT_EQ(kit.Name, "Kit");
  EXPECT_EQ(kit.AttachedSoundFont, bank);
  ASSERT_NE(FindSelector(kit, lstBANKRANGE), nullptr);
  EXPECT_EQ(FindSelector(kit, lstBANKRANGE)->Range().Lo, 16384);
  EXPECT_EQ(FindSelector(kit, lstBANKRANGE)->Range().Hi, 16384);
  EXPECT_EQ(FindSelector(kit, lstPROGRAMRANGE)->Range().Lo, 3);
  ASSERT_EQ(kit.Layers.Count(), 2);
  const TPresetLayer& upper = *kit.Layers[1];
  EXPECT_EQ(upper.Name, "Keys");
  EXPECT_EQ(upper.Sample, high);
  EXPECT_EQ(FindSelector(upper, lstNOTERANGE)->Range().Lo, 60);
  EXPECT_EQ(FindSelector(upper, lstNOTERANGE)->Range().Hi, 127);
  EXPECT_EQ(FindSelector(upper, lstVELOCITYRANGE)->Range().Hi, 127);
  const std::vector<std::pair<int32_t, int32_t>> expected = {{17, 250}, {43, 60 | 127 << 8}, {48, 30}, {53, 1}};
  EXPECT_EQ(Generators(upper), expected);
  EXPECT_EQ(upper.Modulators.Count(), 10);  // the default set only
  EXPECT_TRUE(root.Layers[2]->Layers.Count() == 0);  // EOP

  // Recached: percussion bank 128 lands on 16384.
  EXPECT_EQ(synth->PresetLayers.Get(16384, 3), kit.Layers[0]);
  EXPECT_EQ(synth->PresetLayers.Get(0, 5), root.Layers[0]->Layers[0]);
  EXPECT_EQ(synth->PresetLayers.Get(128, 3), nullptr);
}

TEST(SF2Attach, RejectedAndTruncatedStreams) {
  auto synth = std::make_unique<TSynth>();
  EXPECT_EQ(synth->AttachSoundFont(Sf2Builder(TwoPresetBank()).formType("sfbK").stream(), true), nullptr);
  EXPECT_EQ(synth->AttachedSoundFonts.Count(), 0);

  std::vector<uint8_t> bytes = TwoPresetBank().build();
  bytes.resize(bytes.size() - 10);
  EXPECT_EQ(synth->AttachSoundFont(std::make_unique<TMemoryStream>(bytes), true), nullptr);
  ASSERT_EQ(synth->AttachedSoundFonts.Count(), 1);  // the empty bank entry
  EXPECT_EQ(synth->AttachedSoundFonts[0]->Stream, nullptr);
  EXPECT_EQ(synth->Samples.Count(), 0);
  EXPECT_EQ(synth->RootPresetLayer->Layers.Count(), 0);
  synth->DetachSoundFont(synth->AttachedSoundFonts[0], true);
  EXPECT_EQ(synth->AttachedSoundFonts.Count(), 0);
}

TEST(SF2Attach, TwentyFourBitSamplesOnlyFromVersion204) {
  for (uint16_t minor : {1, 4}) {
    Sf2Builder b;
    b.version(2, minor).sm24();
    b.sample("s", {0x7FFF, -32768}).low({0xFF, 0x00});
    auto synth = std::make_unique<TSynth>();
    ASSERT_NE(synth->AttachSoundFont(b.stream(), false), nullptr);
    const TSample* s = synth->Samples[0];
    ASSERT_TRUE(s->Loaded);
    const float expected = minor == 4 ? 8388607.0f / 8388608.0f : 32767.0f / 32768.0f;
    EXPECT_FLOAT_EQ(s->Data[SampleGuardFrames], expected) << minor;
    EXPECT_EQ(s->Data[SampleGuardFrames + 1], -1.0f) << minor;
  }
}

TEST(SF2Attach, DelayedLoadingKeepsTheStream) {
  auto synth = std::make_unique<TSynth>();
  TAttachedSoundFont* bank = synth->AttachSoundFont(TwoPresetBank().stream(), true);
  ASSERT_NE(bank, nullptr);
  EXPECT_NE(bank->Stream, nullptr);
  EXPECT_EQ(bank->SmplOfs, TwoPresetBank().smplOffset());
  EXPECT_FALSE(synth->Samples[0]->Loaded);
  synth->Samples[1]->Load(false);
  EXPECT_EQ(synth->Samples[1]->Data[SampleGuardFrames + 1], 32767.0f / 32768.0f);

  // Loaded at attach time instead: an unloaded sample cannot come back.
  auto eager = std::make_unique<TSynth>();
  ASSERT_NE(eager->AttachSoundFont(TwoPresetBank().stream(), false), nullptr);
  TSample* s = eager->Samples[1];
  ASSERT_TRUE(s->Loaded);
  s->Unload(false);
  s->Load(false);
  EXPECT_FALSE(s->Loaded);
}

TEST(SF2Attach, SoundFont1LoopRules) {
  Sf2Builder b;
  b.withoutIfil();
  b.sample("", std::vector<int16_t>(100, 0)).raw(10, 60, 20, 50);
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(b.stream(), true), nullptr);
  const TSample* s = synth->Samples[0];
  EXPECT_EQ(s->Length, 51);
  EXPECT_EQ(s->LoopStart, 20 - 10 + 1);
  EXPECT_EQ(s->LoopEnd, 50 + 2 - 10 + 2);
  EXPECT_EQ(s->SampleRate, 44100);
  EXPECT_EQ(s->SFSample.SampleType, 0x8001);
  EXPECT_TRUE(s->SampleTypeFlags.Contains(stfMono));
  // Mono ROM samples load from the file's sample data.
  synth->Samples[0]->Load(false);
  EXPECT_TRUE(s->Loaded);
}

TEST(SF2Attach, StereoLinksAndForcedMono) {
  Sf2Builder b;
  b.sample("R", {1}).type(2, 1);
  b.sample("L", {1}).type(4, 0);
  b.sample("self", {1}).type(4, 2);
  b.sample("mono", {1}).type(1, 4);
  b.sample("left", {1}).type(4, 3);
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(b.stream(), true), nullptr);
  const TSampleList& list = synth->Samples;
  EXPECT_EQ(list[0]->LinkSample, list[1]);
  EXPECT_EQ(list[1]->LinkSample, list[0]);
  EXPECT_TRUE(list[0]->SampleTypeFlags.Contains(stfRight));
  EXPECT_TRUE(list[1]->SampleTypeFlags.Contains(stfLeft));
  EXPECT_FALSE(list[0]->SampleTypeFlags.Contains(stfForceMono));

  EXPECT_EQ(list[2]->LinkSample, nullptr);
  EXPECT_TRUE(list[2]->SampleTypeFlags.Contains(stfForceMono));
  EXPECT_TRUE(list[2]->SampleTypeFlags.Contains(stfMono));
  EXPECT_FALSE(list[2]->SampleTypeFlags.Contains(stfLeft));

  // A mono sample never links; the left one linking to it is forced mono.
  EXPECT_EQ(list[3]->LinkSample, nullptr);
  EXPECT_FALSE(list[3]->SampleTypeFlags.Contains(stfForceMono));
  EXPECT_TRUE(list[4]->SampleTypeFlags.Contains(stfForceMono));
  EXPECT_EQ(list[4]->LinkSample, nullptr);

  // Without link handling no sample links; unpaired left samples are forced mono.
  auto noLinks = std::make_unique<TSynth>();
  noLinks->DoHandleLinkedSamples = false;
  ASSERT_NE(noLinks->AttachSoundFont(b.stream(), true), nullptr);
  for (const TSample* x : noLinks->Samples) EXPECT_EQ(x->LinkSample, nullptr);
  EXPECT_TRUE(noLinks->Samples[1]->SampleTypeFlags.Contains(stfForceMono));
}

TEST(SF2Attach, DefaultVelocityToCutoffDependsOnVersion) {
  for (uint16_t minor : {1, 4}) {
    Sf2Builder b;
    b.version(2, minor);
    b.sample("s", {1});
    b.instrument("I").zone().sampleId(0);
    b.preset("P", 0, 0).zone().instrument(0);
    auto synth = std::make_unique<TSynth>();
    ASSERT_NE(synth->AttachSoundFont(b.stream(), true), nullptr);
    const TPresetLayerModulator& m = *synth->RootPresetLayer->Layers[0]->Layers[0]->Modulators[1];
    EXPECT_EQ(m.Dest(), gen::initialFilterFc);
    // 2.04: no second source; before: velocity through a negative switch.
    EXPECT_EQ(m.Src2(), minor == 4 ? 0 : 2) << minor;
    EXPECT_EQ(m.Flags2(), minor == 4 ? 0 : 13) << minor;
  }
}

TEST(SF2Attach, LeafModulatorsMergeOntoTheDefaultSet) {
  constexpr uint16_t velToAtten = 0x0502;  // velocity, negative, concave: the first default
  Sf2Builder b = [] {
    Sf2Builder x;
    x.version(2, 1);
    x.sample("s", {1});
    x.instrument("I").zone().mod(velToAtten, gen::initialAttenuation, 500).mod(3, gen::pan, 40).sampleId(0);
    x.preset("P", 0, 0).zone().mod(velToAtten, gen::initialAttenuation, 100).instrument(0);
    x.instrument("J").zone().sampleId(0);
    x.preset("Q", 0, 1).zone().instrument(1);
    return x;
  }();
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(b.stream(), true), nullptr);
  const TPresetLayer& leaf = *synth->RootPresetLayer->Layers[0]->Layers[0];
  ASSERT_EQ(leaf.Modulators.Count(), 11);
  EXPECT_EQ(leaf.Modulators[0]->Amount(), 500.0 + 100.0);  // replaced, then added
  EXPECT_EQ(leaf.Modulators[0]->ID(), -1);
  const TPresetLayerModulator& pan = *leaf.Modulators[10];
  EXPECT_EQ(pan.Dest(), gen::pan);
  EXPECT_EQ(pan.Src1(), 3);
  EXPECT_EQ(pan.Amount(), 40.0);
  EXPECT_EQ(pan.ID(), 1);
  EXPECT_EQ(pan.IDGroup(), 2);
  // The override stays with its leaf: a leaf of another preset keeps the defaults.
  const TPresetLayer& plain = *synth->RootPresetLayer->Layers[1]->Layers[0];
  ASSERT_EQ(plain.Modulators.Count(), 10);
  EXPECT_EQ(plain.Modulators[0]->Amount(), 960.0);
}

TEST(SF2Attach, DetachRemovesOneBanksLayersAndSamples) {
  auto synth = std::make_unique<TSynth>();
  TAttachedSoundFont* first = synth->AttachSoundFont(TwoPresetBank().stream(), true);
  Sf2Builder other;
  other.sample("o", {5});
  other.instrument("O").zone().sampleId(0);
  other.preset("Other", 0, 5).zone().instrument(0);
  TAttachedSoundFont* second = synth->AttachSoundFont(other.stream(), true);
  Sf2Builder third = TwoPresetBank();
  TAttachedSoundFont* last = synth->AttachSoundFont(third.stream(), true);
  ASSERT_TRUE(first && second && last);
  ASSERT_EQ(synth->RootPresetLayer->Layers.Count(), 3 + 2 + 3);

  synth->DetachSoundFont(first, true);
  ASSERT_EQ(synth->AttachedSoundFonts.Count(), 2);
  const TPresetLayer& root = *synth->RootPresetLayer;
  ASSERT_EQ(root.Layers.Count(), 2 + 3);
  EXPECT_EQ(root.Layers[0]->Name, "Other");
  EXPECT_EQ(root.Layers[2]->Name, "Piano");
  for (const TPresetLayer* l : root.Layers) EXPECT_NE(l->AttachedSoundFont, first);
  ASSERT_EQ(synth->Samples.Count(), 2 + 3);
  for (const TSample* s : synth->Samples) EXPECT_NE(s->AttachedSoundFont, first);

  synth->DetachSoundFonts(true);
  EXPECT_EQ(synth->AttachedSoundFonts.Count(), 0);
  EXPECT_EQ(synth->Samples.Count(), 0);
  EXPECT_EQ(synth->RootPresetLayer->Layers.Count(), 0);
  synth->DetachSoundFont(nullptr, true);
}

TEST(SF2Attach, DetachWithoutDataKeepsLayersAndSamples) {
  auto synth = std::make_unique<TSynth>();
  ASSERT_NE(synth->AttachSoundFont(TwoPresetBank().stream(), true), nullptr);
  synth->DetachSoundFonts(false);
  EXPECT_EQ(synth->AttachedSoundFonts.Count(), 0);
  EXPECT_EQ(synth->Samples.Count(), 3);
  EXPECT_EQ(synth->RootPresetLayer->Layers.Count(), 3);
  synth->Clear();
}

// Real General MIDI banks from Debian packages (timgm6mb-soundfont, fluid-soundfont-gm).
TEST(SF2Attach, RealBanks) {
  struct Case {
    const char* path;
    int64_t presets;  // phdr records, the terminal one included
    int64_t samples;  // shdr records, the terminal one included
    const char* firstPreset;
    int32_t drumProgram;
    const char* drumName;
  };
  const Case cases[] = {
      {"/usr/share/sounds/sf2/TimGM6mb.sf2", 137, 521, "Flute TB", 48, "Orchestra"},
      {"/usr/share/sounds/sf2/FluidR3_GM.sf2", 190, 1419, "Gun Shot", 17, "Power 1"},
  };
  int found = 0;
  for (const Case& c : cases) {
    if (std::FILE* f = std::fopen(c.path, "rb")) {
      std::fclose(f);
    } else {
      continue;
    }
    ++found;
    auto synth = std::make_unique<TSynth>();
    TAttachedSoundFont* bank = synth->AttachSoundFont(std::make_unique<TFileStream>(c.path), true);
    ASSERT_NE(bank, nullptr) << c.path;
    const TPresetLayer& root = *synth->RootPresetLayer;
    EXPECT_EQ(root.Layers.Count(), c.presets) << c.path;
    EXPECT_EQ(synth->Samples.Count(), c.samples) << c.path;
    EXPECT_EQ(root.Layers[0]->Name, c.firstPreset) << c.path;
    const TPresetLayer* drum = synth->PresetLayers.Get(PercussionBank, c.drumProgram);
    ASSERT_NE(drum, nullptr) << c.path;
    EXPECT_EQ(drum->Parent->Name, c.drumName) << c.path;
    // Every leaf's sample belongs to this bank and its key range is ordered.
    for (const TPresetLayer* preset : root.Layers) {
      for (const TPresetLayer* leaf : preset->Layers) {
        ASSERT_NE(leaf->Sample, nullptr);
        EXPECT_EQ(leaf->Sample->AttachedSoundFont, bank);
      }
    }
  }
  if (found == 0) GTEST_SKIP() << "no General MIDI SF2 bank installed";
}

}  // namespace
}  // namespace kelvane
