#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "voice_test_support.h"

namespace kelvane {
namespace {

using test::TVoiceFixture;

constexpr int32_t Link(int32_t id) { return ModulatorLinkFlag | id; }
constexpr int32_t Controller = mfController;

// ConcaveTable at an integer x from its definition.
double Concave(int32_t x) {
  if (x <= 0) return 0.0;
  if (x >= 127) return 1.0;
  return -(20.0 / 96.0) * std::log10(((127.0 - x) / 127.0) * ((127.0 - x) / 127.0));
}

// ---------------------------------------------------------------- default set at key-on

struct TDefaultCase {
  const char* Name;
  bool SF204;
  bool VelocityToCutoff;  // TSynth::ModulateVelocityToFilterCutOff
  int32_t Velocity;
  int32_t CC7, CC10, CC11;
  int32_t Bend, BendSemitones, BendCents;
  int32_t Gen;
  double Expected;  // GenModValues[Gen]
};

const TDefaultCase DefaultCases[] = {
    {"OldCutoffVelocity100", false, true, 100, 127, 64, 127, 8192, 2, 0, 8, -2400.0 * 27.0 / 127.0},
    {"OldCutoffVelocity64", false, true, 64, 127, 64, 127, 8192, 2, 0, 8, -2400.0 * 63.0 / 127.0},
    {"OldCutoffVelocity30", false, true, 30, 127, 64, 127, 8192, 2, 0, 8, -1200.0},
    {"OldCutoffSwitchedOff100", false, false, 100, 127, 64, 127, 8192, 2, 0, 8, 0.0},
    {"OldCutoffSwitchedOff30", false, false, 30, 127, 64, 127, 8192, 2, 0, 8, 0.0},
    {"NewCutoffVelocity30", true, true, 30, 127, 64, 127, 8192, 2, 0, 8, -2400.0 * (1.0 - 30.0 / 127.0)},
    {"NewCutoffSwitchedOff", true, false, 30, 127, 64, 127, 8192, 2, 0, 8, 0.0},
    {"Volume0FullScale", true, true, 127, 0, 64, 127, 8192, 2, 0, 48, 960.0},
    {"Volume127Nothing", true, true, 127, 127, 64, 127, 8192, 2, 0, 48, 0.0},
    {"Volume64Concave", true, true, 127, 64, 64, 127, 8192, 2, 0, 48, 960.0 * Concave(63)},
    {"Expression0FullScale", true, true, 127, 127, 64, 0, 8192, 2, 0, 48, 960.0},
    {"VelocityAndVolumeAdd", true, true, 64, 32, 64, 127, 8192, 2, 0, 48, 960.0 * (Concave(63) + Concave(95))},
    {"PanLeft", true, true, 127, 127, 0, 127, 8192, 2, 0, 17, -500.0},
    {"PanRight", true, true, 127, 127, 127, 127, 8192, 2, 0, 17, 500.0},
    {"WheelUpSensitivity2", true, true, 127, 127, 64, 127, 16383, 2, 0, -1,
     12700.0 * (16383.0 * 2.0 / 16384.0 - 1.0) * (2.0 / 127.0)},
    {"WheelDownSensitivity12", true, true, 127, 127, 64, 127, 0, 12, 0, -1, -1200.0},
    {"WheelCentreNothing", true, true, 127, 127, 64, 127, 8192, 12, 0, -1, 0.0},
    {"WheelSensitivityCents", true, true, 127, 127, 64, 127, 12288, 0, 50, -1, 25.0},
};

class VoiceDefaultModulators : public ::testing::TestWithParam<TDefaultCase> {};

TEST_P(VoiceDefaultModulators, KeyOnSumsTheDefaultSet) {
  const TDefaultCase& c = GetParam();
  TVoiceFixture f;
  f.layer->AddDefaultModulators(c.SF204);
  f.layer->SetupLinkedModulators();
  f.synth->ModulateVelocityToFilterCutOff = c.VelocityToCutoff;
  f.channel->PitchBend = c.Bend;
  f.channel->PitchBendDepthSemitones = c.BendSemitones;
  f.channel->PitchBendDepthCents = c.BendCents;
  f.voice->Controllers[7] = static_cast<uint8_t>(c.CC7);
  f.voice->Controllers[10] = static_cast<uint8_t>(c.CC10);
  f.voice->Controllers[11] = static_cast<uint8_t>(c.CC11);
  f.Start(60, c.Velocity);
  EXPECT_NEAR(f.voice->GenModValues[c.Gen], c.Expected, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Cases, VoiceDefaultModulators, ::testing::ValuesIn(DefaultCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(VoiceModulation, WheelReachesThePitchThroughGeneratorMinus1) {
  TVoiceFixture f;
  f.layer->AddDefaultModulators(true);
  f.Start(69);
  const double pitch = f.voice->Pitch;
  f.channel->PitchBend = 16383;
  f.voice->Modulate(false, msPitchWheel);
  EXPECT_NEAR(f.voice->Pitch - pitch, 200.0 * 8191.0 / 8192.0, 1e-9);
}

TEST(VoiceModulation, ModulatorsOfLayerAndAncestorsAdd) {
  TVoiceFixture f;
  TPresetLayer parent(f.synth.get(), nullptr);
  f.layer->Parent = &parent;
  f.layer->AddModulator(gen::pan, msKey, 0, 0, 0, 127.0, -1, 0);       // key / 127
  f.layer->AddModulator(gen::pan, msVelocity, 0, 0, 0, 254.0, -1, 0);  // velocity / 127
  parent.AddModulator(gen::pan, 1, Controller, 0, 0, 127.0, -1, 0);    // controller 1 / 127
  f.voice->Controllers[1] = 5;
  f.Start(60, 100);
  EXPECT_NEAR(f.voice->GenModValues[gen::pan], 60.0 + 200.0 + 5.0, 1e-9);
  EXPECT_NEAR(f.voice->Pan, 265.0, 1e-9);
  f.layer->Parent = nullptr;
}

// ---------------------------------------------------------------- links

// A (controller 1, amount 100) feeds B (link source, linear) on the cutoff;
// B's raw source is A's output, full scale 127.
struct TLinkedFixture : TVoiceFixture {
  explicit TLinkedFixture(double amountB = -1270.0, bool direct = false) {
    layer->AddDefaultModulators(true);
    layer->AddModulator(gen::initialFilterFc, msLink, 0, 0, 0, amountB, 2, 1);  // B, index 10
    layer->AddModulator(Link(2), 1, Controller, 0, 0, 100.0, 1, 1);          // A, index 11
    if (direct) layer->AddModulator(gen::initialFilterFc, 1, Controller, 0, 0, 10.0, 3, 1);
    layer->SetupLinkedModulators();
    synth->ModulateVelocityToFilterCutOff = false;
  }
};

TEST(VoiceModulation, LinkedModulatorSeesTheFeederOutputOver127) {
  TLinkedFixture f;
  f.voice->Controllers[1] = 64;
  f.Start(60);
  const double a = 100.0 * 64.0 / 127.0;
  ASSERT_GE(f.voice->ModulatorSourceValues.size(), 12u);
  EXPECT_NEAR(f.voice->ModulatorSourceValues[10], a, 1e-9);
  EXPECT_NEAR(f.voice->GenModValues[gen::initialFilterFc], -1270.0 * a / 127.0, 1e-9);
  EXPECT_NEAR(f.voice->Filter.FilterFc, 13500.0 - 1270.0 * a / 127.0, 1e-9);
}

TEST(VoiceModulation, LinkSourceGoesThroughTheSourceShape) {
  TLinkedFixture f(960.0);
  f.layer->Modulators[10]->fFlags1 = 5;  // concave, negative: 960 * Concave(127 - a)
  f.voice->Controllers[1] = 127;         // a = 100
  f.Start(60);
  EXPECT_NEAR(f.voice->GenModValues[gen::initialFilterFc], 960.0 * Concave(27), 1e-4);
}

TEST(VoiceModulation, DanglingLinkContributesNothing) {
  TVoiceFixture f;
  f.layer->AddModulator(Link(9), 1, Controller, 0, 0, 100.0, 1, 1);
  f.layer->AddModulator(gen::initialFilterFc, msLink, 0, 0, 0, -1270.0, 2, 1);
  f.layer->SetupLinkedModulators();
  ASSERT_EQ(f.layer->Modulators[0]->LinkedDestinationModulator(), -1);
  f.voice->Controllers[1] = 127;
  f.Start(60);
  for (int32_t gen = GenFirst; gen <= GenLast; gen++) EXPECT_EQ(f.voice->GenModValues[gen], 0.0) << gen;
}

TEST(VoiceModulation, LinkSumsOfAnEarlierNoteDoNotCarryOver) {
  TLinkedFixture f;
  f.voice->Controllers[1] = 127;
  f.Start(60);
  ASSERT_FALSE(f.voice->ModulatorSourceValues.empty());
  // The same voice on a layer without links: source 127 reads as an unlisted
  // source (raw value 1 of 127 as amount source), not the old sums (0 at index
  // 0, A's 100 at index 10).
  TPresetLayer plain(f.synth.get(), nullptr);
  plain.Sample = f.sample.get();
  // Eleven modulators: index 0 and index 10 (which held A's sum) read source 127.
  plain.AddModulator(gen::pan, 1, Controller, msLink, 0, 100.0, -1, 0);
  for (int i = 0; i < 9; i++) plain.AddModulator(gen::pan, 1, Controller, 0, 0, 100.0, -1, 0);
  plain.AddModulator(gen::pan, 1, Controller, msLink, 0, 100.0, -1, 0);
  plain.SetupLinkedModulators();
  f.voice->KeyOn(f.channel, 60, 127, &plain, f.sample.get());
  EXPECT_NEAR(f.voice->GenModValues[gen::pan], 900.0 + 2.0 * 100.0 / 127.0, 1e-9);
  f.voice->Reset();
}

struct TPartialLinkCase {
  const char* Name;
  bool DirectModulator;  // a second controller-1 modulator on the cutoff marks generator 8
  double ExpectedAfter;  // GenModValues[8] after controller 1 goes 0 -> 127 and Modulate(true, 1)
};

class VoicePartialLinks : public ::testing::TestWithParam<TPartialLinkCase> {};

TEST_P(VoicePartialLinks, ModulateFollowsALinkOnlyWhenTheTargetIsMarked) {
  const TPartialLinkCase& c = GetParam();
  TLinkedFixture f(-1270.0, c.DirectModulator);
  f.voice->Controllers[1] = 0;
  f.Start(60);
  EXPECT_EQ(f.voice->GenModValues[gen::initialFilterFc], 0.0);
  f.voice->Controllers[1] = 127;
  f.voice->Modulate(true, 1);
  EXPECT_NEAR(f.voice->GenModValues[gen::initialFilterFc], c.ExpectedAfter, 1e-9);
  f.voice->ModulateAll();
  EXPECT_NEAR(f.voice->GenModValues[gen::initialFilterFc], -1000.0 + (c.DirectModulator ? 10.0 : 0.0), 1e-9);
}

const TPartialLinkCase PartialLinkCases[] = {
    {"OnlyThroughTheLinkWaitsForModulateAll", false, 0.0},
    {"MarkedTargetReadsTheNewLinkSum", true, -1000.0 + 10.0},
};

INSTANTIATE_TEST_SUITE_P(Cases, VoicePartialLinks, ::testing::ValuesIn(PartialLinkCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------- partial evaluation

TEST(VoiceModulation, ControllerSevenRecomputesAttenuationOnly) {
  TVoiceFixture f;
  f.layer->AddDefaultModulators(true);
  f.voice->Controllers[7] = 127;
  f.voice->Controllers[10] = 64;
  f.voice->Controllers[11] = 127;
  f.Start(60, 127);
  const double panContribution = f.voice->GenModValues[gen::pan];
  // State that UpdateParameter would overwrite for other generators.
  f.voice->Pan = 12345.0;
  f.voice->Filter.FilterFc = 1.0;
  f.voice->ModLFOIncr = 7.0;
  f.voice->Controllers[7] = 0;
  f.voice->Controllers[10] = 0;  // pan changes too, but nobody asked
  f.voice->Modulate(true, 7);
  EXPECT_NEAR(f.voice->GenModValues[gen::initialAttenuation], 960.0, 1e-9);
  EXPECT_NEAR(f.voice->Attenuation, 960.0, 1e-9);
  EXPECT_EQ(f.voice->GenModValues[gen::pan], panContribution);
  EXPECT_EQ(f.voice->Pan, 12345.0);
  EXPECT_EQ(f.voice->Filter.FilterFc, 1.0);
  EXPECT_EQ(f.voice->ModLFOIncr, 7.0);
}

TEST(VoiceModulation, SourceKindMustMatchTheControllerFlag) {
  // General source 7 does not exist; Modulate(false, 7) must not touch the
  // controller-7 modulator, and Modulate(true, 14) is not the pitch wheel.
  TVoiceFixture f;
  f.layer->AddDefaultModulators(true);
  f.voice->Controllers[7] = 127;
  f.voice->Controllers[11] = 127;
  f.Start(60, 127);
  f.voice->Controllers[7] = 0;
  f.voice->Modulate(false, 7);
  EXPECT_EQ(f.voice->GenModValues[gen::initialAttenuation], 0.0);
  f.channel->PitchBend = 0;
  f.voice->Modulate(true, 14);
  EXPECT_EQ(f.voice->GenModValues[gen::initialPitch], 0.0);
  f.voice->Modulate(false, 14);
  EXPECT_NEAR(f.voice->GenModValues[gen::initialPitch], -200.0, 1e-9);
}

// ---------------------------------------------------------------- LFO

TEST(VoiceModulation, SquareLFOIsMinusOneDuringItsDelay) {
  TVoiceFixture f;
  f.layer->SetGenerator(gen::modLfoWaveType, 2);
  f.layer->SetGenerator(gen::delayModLFO, 0);  // one second
  f.layer->SetGenerator(gen::freqModLFO, 2000);
  f.layer->SetGenerator(gen::modLfoToPitch, 50);  // the value is computed only for an LFO with a depth
  f.layer->SetGenerator(gen::sampleModes, 1);
  f.Start(69);
  for (int block = 0; block < 4; block++) {
    f.Render(4096);
    ASSERT_TRUE(f.voice->Active);
    EXPECT_EQ(f.voice->ModLFOPhase, 0.0);
    EXPECT_EQ(f.voice->ModLFOVal, -1.0);
  }
}

// An LFO without a depth keeps only its phase; when a depth arrives between
// steps its value must be the one the last step would have computed, with the
// wave type of that step.
struct TLFOCatchUpCase {
  const char* Name;
  int32_t DepthGen;  // a depth of the LFO under test
  int32_t WaveGen;
  bool ChangeWaveFirst;  // the wave type changes between the step and the depth
  int32_t DelayGen = -1;  // a delay of the LFO under test that ends within the first render, if any
  int32_t RateGen = -1;   // a rate that changes between the step and the depth, if any
};

class VoiceLFOCatchUp : public ::testing::TestWithParam<TLFOCatchUpCase> {};

TEST_P(VoiceLFOCatchUp, DepthArrivingBetweenStepsSeesTheStepsValue) {
  const TLFOCatchUpCase& c = GetParam();
  TVoiceFixture with, without;
  for (TVoiceFixture* f : {&with, &without}) {
    f->layer->SetGenerator(gen::sampleModes, 1);
    f->layer->SetGenerator(gen::freqModLFO, 1500);
    f->layer->SetGenerator(gen::freqVibLFO, 1700);
    f->layer->SetGenerator(c.WaveGen, 1);  // sine: a value for every phase
    if (c.DelayGen >= 0) f->layer->SetGenerator(c.DelayGen, -8000);  // 436 frames
  }
  with.layer->SetGenerator(c.DepthGen, 100);
  with.Start(69);
  without.Start(69);
  with.Render(1000);
  without.Render(1000);
  auto values = [&](TVoice& v) {
    return c.WaveGen == gen::vibLfoWaveType ? std::pair(v.VibLFOPhase, v.VibLFOVal)
                                            : std::pair(v.ModLFOPhase, v.ModLFOVal);
  };
  const auto [phase, value] = values(*with.voice);
  ASSERT_NE(value, 0.0);
  if (c.ChangeWaveFirst) {
    without.voice->SetGen(c.WaveGen, 2);
    without.voice->UpdateParameter(c.WaveGen);
  }
  if (c.RateGen >= 0) {
    without.voice->SetGen(c.RateGen, 2500);
    without.voice->UpdateParameter(c.RateGen);
  }
  without.voice->SetGen(c.DepthGen, 100);
  without.voice->UpdateParameter(c.DepthGen);
  EXPECT_EQ(values(*without.voice), std::pair(phase, value));
  // From the next step on both follow the same (current) wave.
  if (c.ChangeWaveFirst) {
    with.voice->SetGen(c.WaveGen, 2);
    with.voice->UpdateParameter(c.WaveGen);
  }
  if (c.RateGen >= 0) {
    with.voice->SetGen(c.RateGen, 2500);
    with.voice->UpdateParameter(c.RateGen);
  }
  with.Render(100);
  without.Render(100);
  EXPECT_EQ(values(*without.voice), values(*with.voice));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoiceLFOCatchUp,
    ::testing::Values(TLFOCatchUpCase{"ModLFOToVolume", gen::modLfoToVolume, gen::modLfoWaveType, false},
                      TLFOCatchUpCase{"ModLFOToFilter3Q", gen::modLfoToFilter3Q, gen::modLfoWaveType, false},
                      TLFOCatchUpCase{"ModLFOWaveChangedFirst", gen::modLfoToPitch, gen::modLfoWaveType, true},
                      TLFOCatchUpCase{"Vibrato", gen::vibLfoToPitch, gen::vibLfoWaveType, false},
                      TLFOCatchUpCase{"DelayedModLFO", gen::modLfoToPitch, gen::modLfoWaveType, false, gen::delayModLFO},
                      TLFOCatchUpCase{"DelayedVibrato", gen::vibLfoToPitch, gen::vibLfoWaveType, true, gen::delayVibLFO},
                      TLFOCatchUpCase{"ModLFORateChangedFirst", gen::modLfoToVolume, gen::modLfoWaveType, false, -1,
                                      gen::freqModLFO}),
    [](const auto& info) { return std::string(info.param.Name); });

struct TLFOCase {
  int32_t Wave;
  double Phase;
  double Expected;
};

TEST(VoiceModulation, LFOShapesAtTheirLandmarks) {
  const TLFOCase cases[] = {
      {0, 0.0, 0.0},  {0, 0.25, 1.0},  {0, 0.5, 0.0},   {0, 0.75, -1.0}, {0, 1.25, 1.0},  {0, -0.25, -1.0},
      {1, 0.0, 0.0},  {1, 0.25, 1.0},  {1, 0.75, -1.0}, {1, 2.25, 1.0},  {2, 0.0, -1.0},  {2, 0.49, -1.0},
      {2, 0.5, 1.0},  {2, 0.99, 1.0},  {2, 1.2, -1.0},  {3, 0.0, 0.0},   {3, 0.25, 0.5},  {3, 0.49, 0.98},
      {3, 0.5, -1.0}, {3, 0.75, -0.5}, {4, 0.0, 0.0},   {4, 0.25, -0.5}, {4, 0.5, 1.0},   {4, 0.75, 0.5},
      {5, 0.3, 0.0},  {-1, 0.3, 0.0},
  };
  for (const TLFOCase& c : cases) {
    EXPECT_NEAR(LFOValue(c.Wave, c.Phase), c.Expected, 1e-12) << "wave " << c.Wave << " phase " << c.Phase;
  }
}

}  // namespace
}  // namespace kelvane
