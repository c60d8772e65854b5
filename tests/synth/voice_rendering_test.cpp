#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "synth/voice_group.h"
#include "voice_test_support.h"

namespace kelvane {
namespace {

using test::TVoiceFixture;

double Sine(double frame, double period) { return std::sin(2.0 * std::numbers::pi * frame / period); }

// Renders a looped 100-frame-period sine in 32-frame blocks and returns the
// output from frame Skip on; the ramps and the attack are over by then.
struct TRendered {
  std::vector<TBufferSample> Dry, Chorus;
};

TRendered RenderSteady(TVoiceFixture& f, int32_t frames, int32_t skip) {
  TRendered r;
  for (int32_t done = 0; done < skip + frames; done += 32) {
    f.Render(32);
    for (int32_t i = 0; i < 32; i++) {
      if (done + i >= skip) {
        r.Dry.push_back(f.Out[static_cast<size_t>(i)]);
        r.Chorus.push_back(f.Chorus[static_cast<size_t>(i)]);
      }
    }
  }
  return r;
}

struct TLevelCase {
  const char* Name;
  int32_t Note;  // root 69
  double Balance;
  int32_t Attenuation;  // cB, layer value (x0.4 in EMU10K1 mode)
  double Ratio;
  double Left, Right;
};

class VoiceRenderLevel : public ::testing::TestWithParam<TLevelCase> {};

TEST_P(VoiceRenderLevel, LoopedSinePlaysAtItsIncrementAndLevel) {
  const TLevelCase& c = GetParam();
  TVoiceFixture f;
  f.layer->SetGenerator(54, 1);  // loop the whole sample (ten periods)
  f.layer->SetGenerator(48, c.Attenuation);
  f.layer->SetGenerator(15, 500);
  f.synth->MasterBalance = c.Balance;
  f.Start(c.Note);
  const int32_t skip = 640;
  const TRendered r = RenderSteady(f, 1600, skip);
  const double gain = std::pow(10.0, -0.005 * 0.4 * c.Attenuation) * std::sqrt(0.5);
  for (size_t i = 0; i < r.Dry.size(); i++) {
    const double expected = Sine(static_cast<double>(skip + static_cast<int64_t>(i)) * c.Ratio, 100.0);
    ASSERT_NEAR(r.Dry[i].Left, expected * gain * c.Left, 2e-5) << i;
    ASSERT_NEAR(r.Dry[i].Right, expected * gain * c.Right, 2e-5) << i;
    ASSERT_NEAR(r.Chorus[i].Left, 0.5 * r.Dry[i].Left, 1e-6) << i;
  }
  EXPECT_TRUE(f.voice->Active);
  EXPECT_TRUE(f.voice->LoopEntered);
}

INSTANTIATE_TEST_SUITE_P(Cases, VoiceRenderLevel,
                         ::testing::Values(TLevelCase{"Unity", 69, 0.5, 0, 1.0, 1.0, 1.0},
                                           TLevelCase{"OctaveUp", 81, 0.5, 0, 2.0, 1.0, 1.0},
                                           TLevelCase{"Attenuated", 69, 0.5, 500, 1.0, 1.0, 1.0},
                                           TLevelCase{"BalanceRight", 69, 0.75, 0, 1.0, 0.5, 1.0},
                                           TLevelCase{"BalanceLeft", 69, 0.25, 0, 1.0, 1.0, 0.5}),
                         [](const ::testing::TestParamInfo<TLevelCase>& info) { return info.param.Name; });

// Envelope depths to the sends, present from key-on or arriving mid-note:
// the mod envelopes sustain at 1, so a depth of 200 cB raises the send 10x
// (EMU10K1 curve, the default).
struct TSendCase {
  const char* Name;
  int32_t DepthGen;
  bool Chorus;
};

class VoiceRenderSend : public ::testing::TestWithParam<TSendCase> {};

TEST_P(VoiceRenderSend, EnvelopeDepthScalesTheSend) {
  const TSendCase& c = GetParam();
  TVoiceFixture early, late;
  for (TVoiceFixture* f : {&early, &late}) {
    f->layer->SetGenerator(gen::sampleModes, 1);
    f->layer->SetGenerator(gen::chorusEffectsSend, 50);
    f->layer->SetGenerator(gen::reverbEffectsSend, 50);
  }
  early.layer->SetGenerator(c.DepthGen, 200);
  early.Start(69);
  late.Start(69);
  early.Render(1024);
  late.Render(1024);
  auto modulated = [&](const TVoice& v) { return c.Chorus ? v.AmpChorus : v.AmpReverb; };
  auto other = [&](const TVoice& v) { return c.Chorus ? v.AmpReverb : v.AmpChorus; };
  EXPECT_NEAR(modulated(*early.voice), 0.5, 1e-6);
  EXPECT_NEAR(other(*early.voice), 0.05, 1e-6);
  EXPECT_NEAR(modulated(*late.voice), 0.05, 1e-6);
  late.voice->SetGen(c.DepthGen, 200);
  late.voice->UpdateParameter(c.DepthGen);
  late.Render(32);
  EXPECT_EQ(modulated(*late.voice), modulated(*early.voice));
  EXPECT_EQ(other(*late.voice), other(*early.voice));
}

INSTANTIATE_TEST_SUITE_P(Cases, VoiceRenderSend,
                         ::testing::Values(TSendCase{"ModEnvToChorus", gen::modEnvToChorusSend, true},
                                           TSendCase{"Mod2EnvToReverb", gen::mod2EnvToReverbSend, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A voice whose modulation steps keep what their repeated inputs allow
// renders what one that works everything out at every step renders (a
// parameter change, here a bare ParameterGeneration bump, stops every
// shortcut): with inputs that move step after step, and with ones that move
// between blocks without a parameter change.
struct TRepeatCase {
  const char* Name;
  std::vector<std::pair<int32_t, int32_t>> Generators;
  void (*Between)(TVoiceFixture& f, int32_t block);  // before each block; may be null
  bool Grouped;  // render through TVoiceGroup's two passes instead of FillBuffer
  int32_t CrossFadeController = -1;  // a layer cross-fade on this controller
};

class VoiceRenderRepeat : public ::testing::TestWithParam<TRepeatCase> {};

TEST_P(VoiceRenderRepeat, ShortcutsChangeNothing) {
  const TRepeatCase& c = GetParam();
  TVoiceFixture quick, full;
  TVoiceGroup group;
  for (TVoiceFixture* f : {&quick, &full}) {
    f->layer->SetGenerator(gen::sampleModes, 1);
    f->layer->SetGenerator(gen::chorusEffectsSend, 300);
    for (const auto& [generator, value] : c.Generators) f->layer->SetGenerator(generator, value);
    if (c.CrossFadeController >= 0) {
      TPresetLayerCrossFade record;
      record.CrossFadeType = 3;  // controller CCLo
      record.CCLo = c.CrossFadeController;
      f->layer->Crossfades.push_back(record);
    }
    f->Start(60, 100);
  }
  // Blocks that end inside modulation steps as well as on them.
  const int32_t blocks[] = {32, 64, 100, 7, 32, 256, 45, 1024, 32, 32, 300};
  for (int32_t b = 0; b < 40; b++) {
    const int32_t frames = blocks[b % std::size(blocks)];
    for (TVoiceFixture* f : {&quick, &full}) {
      if (c.Between != nullptr) c.Between(*f, b);
      if (f == &full) ++f->voice->ParameterGeneration;
      if (c.Grouped) {
        std::fill(f->Out.begin(), f->Out.end(), TBufferSample{});
        std::fill(f->Chorus.begin(), f->Chorus.end(), TBufferSample{});
        TVoice* voices[] = {f->voice.get()};
        group.Render(voices, 1, f->synth->VoiceBuffers.get(), f->Out.data(), f->Chorus.data(), f->Reverb.data(),
                     frames);
      } else {
        f->Render(frames);
      }
    }
    ASSERT_EQ(std::memcmp(quick.Out.data(), full.Out.data(), sizeof(TBufferSample) * frames), 0) << "block " << b;
    ASSERT_EQ(std::memcmp(quick.Chorus.data(), full.Chorus.data(), sizeof(TBufferSample) * frames), 0) << b;
    const TVoice &q = *quick.voice, &r = *full.voice;
    ASSERT_EQ(q.PhaseInc, r.PhaseInc) << b;
    ASSERT_EQ(q.EndVolLeft, r.EndVolLeft) << b;
    ASSERT_EQ(q.EndVolRight, r.EndVolRight) << b;
    ASSERT_EQ(q.AmpChorus, r.AmpChorus) << b;
    ASSERT_EQ(q.Filter.FilterActive, r.Filter.FilterActive) << b;
    ASSERT_EQ(q.Active, r.Active) << b;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoiceRenderRepeat,
    ::testing::Values(
        TRepeatCase{"Held", {}, nullptr, false},
        TRepeatCase{"HeldGrouped", {}, nullptr, true},
        TRepeatCase{"Vibrato", {{gen::vibLfoToPitch, 50}, {gen::freqVibLFO, 2000}}, nullptr, false},
        TRepeatCase{"Tremolo", {{gen::modLfoToVolume, 60}, {gen::freqModLFO, 1500}}, nullptr, true},
        TRepeatCase{"LfoToFilterAndSend",
                    {{gen::modLfoToFilterFc, 1200}, {gen::initialFilterFc, 4000}, {gen::modLfoToPitch, 20}},
                    nullptr, false},
        TRepeatCase{"ModEnvelopeDecay",
                    {{gen::modEnvToPitch, 300}, {gen::modEnvToFilterFc, -2000}, {gen::initialFilterFc, 6000},
                     {gen::decayModEnv, -1200}, {gen::sustainModEnv, 500}},
                    nullptr, true},
        TRepeatCase{"VolumeDecayAndRelease", {{gen::decayVolEnv, -1000}, {gen::sustainVolEnv, 300}},
                    [](TVoiceFixture& f, int32_t block) {
                      if (block == 30) f.voice->KeyOff(64);
                    },
                    false},
        TRepeatCase{"MasterVolume", {}, [](TVoiceFixture& f, int32_t block) { f.synth->MasterVolume = 1.0 - block / 80.0; },
                    true},
        TRepeatCase{"MasterBalance", {}, [](TVoiceFixture& f, int32_t block) { f.synth->MasterBalance = block / 40.0; },
                    false},
        TRepeatCase{"AttenuationCurve", {{gen::initialAttenuation, 200}},
                    [](TVoiceFixture& f, int32_t block) { f.synth->EMU10K1Mode = block % 3 == 0; }, true},
        TRepeatCase{"CrossFadeController", {},
                    [](TVoiceFixture& f, int32_t block) { f.voice->Controllers[11] = (block * 37) & 127; }, false,
                    11}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(VoiceRender, FirstStepRampsTheGainUpOverThirtyTwoFrames) {
  TVoiceFixture f;
  f.Start(69);
  EXPECT_EQ(f.voice->VolLeft, 0.0);
  f.Render(100);
  // A 100-frame block runs in 32-frame steps: four modulation steps.
  EXPECT_EQ(f.voice->LifeTime, 4);
  EXPECT_EQ(f.voice->Ticks, 128);
  EXPECT_EQ(f.voice->ModulationSamplesRemain, 28);
}

TEST(VoiceRender, SampleEndLeavesADecayingResidue) {
  TVoiceFixture f;
  f.sample = test::MakeSineSample(*f.synth, 300, 100.0, 0, 300);
  f.layer->Sample = f.sample.get();
  f.layer->SetGenerator(16, 400);
  f.Start(69);
  f.Render(256);
  f.Render(256);  // frames 256..511: the sample ends at 300
  EXPECT_FALSE(f.voice->Active);
  const size_t end = 300 - 256;
  const TBufferSample last = f.Out[end - 1];
  EXPECT_NE(last.Left, 0.0f);
  const double factor = f.synth->ClickRemovalFactor;
  for (size_t k = end; k < end + 5; k++) {
    EXPECT_NEAR(f.Out[k].Left, last.Left * std::pow(factor, static_cast<double>(k - end + 1)), 1e-6) << k;
    EXPECT_NEAR(f.Reverb[k].Left, 0.4f * last.Left * std::pow(factor, static_cast<double>(k - end + 1)), 1e-6) << k;
  }
  EXPECT_EQ(f.Chorus[end].Left, 0.0f);  // no chorus send
  // What is left after the block stays with the ended voice and decays on in
  // the next blocks, whatever their size.
  EXPECT_EQ(f.channel->Last.Left, 0.0f);
  EXPECT_NEAR(f.voice->Last.Left, last.Left * std::pow(factor, 512.0 - 300.0), 1e-6);
  const float carried = f.voice->Last.Left;
  f.Render(1);
  EXPECT_NEAR(f.Out[0].Left, carried * factor, 1e-7);
}

TEST(VoiceRender, ReleasedVoiceDecaysAndEnds) {
  TVoiceFixture f;
  f.layer->SetGenerator(54, 1);
  f.layer->SetGenerator(38, -2400);  // 0.25 s
  f.Start(69);
  f.Render(1024);
  f.voice->KeyOff(64);
  int32_t blocks = 0;
  while (f.voice->Active && blocks < 100) {
    f.Render(1024);
    blocks++;
  }
  EXPECT_FALSE(f.voice->Active);
  // 0.25 s is 344 steps of 32 frames, about 11 blocks.
  EXPECT_GE(blocks, 10);
  EXPECT_LE(blocks, 13);
}

TEST(VoiceRender, QuietVoiceIsReleasedEarly) {
  TVoiceFixture f;
  f.layer->SetGenerator(54, 1);
  f.synth->MasterVolume = 1e-5;
  f.Start(69);
  f.Render(1024);
  EXPECT_TRUE(f.voice->IsKeyOff);
}

TEST(VoiceRender, PingPongLoopTurnsWithinTheChunk) {
  TVoiceFixture f;
  f.layer->SetGenerator(54, 1002);
  f.layer->SetGenerator(2, 100);
  f.layer->SetGenerator(3, -800);  // loop 100..200
  f.Start(69);
  std::vector<float> left;
  for (int block = 0; block < 20; block++) {
    f.Render(32);
    for (int i = 0; i < 32; i++) left.push_back(f.Out[static_cast<size_t>(i)].Left);
  }
  // Frames 0..200 forward, the turn frame 200, then 199, 198, ... down to 100, then up again.
  const double gain = std::sqrt(0.5);
  for (int i : {210, 250, 299, 301, 350}) {
    const int frame = i <= 200 ? i : (i <= 300 ? 400 - i : i - 200);
    EXPECT_NEAR(left[static_cast<size_t>(i)], Sine(frame, 100.0) * gain, 2e-5) << i;
  }
}

TEST(VoiceRender, MissingDataOrBadNoteRendersNothing) {
  TVoiceFixture f;
  f.Start(69);
  f.sample->SampleRate = 0;
  f.Render(64);
  EXPECT_EQ(f.voice->LifeTime, 0);
  EXPECT_TRUE(f.voice->Active);
  f.sample->SampleRate = 44100;
  f.voice->Note = 128;
  f.Render(64);
  EXPECT_EQ(f.voice->LifeTime, 0);
}

TEST(VoiceRender, LoopCrossFadeBlendsIntoTheLoopStart) {
  // Loop 100..600 with a 100-frame linear cross-fade at a ratio of 2: the
  // weight runs from 0 to 1 within about 50 output frames.
  TVoiceFixture f;
  f.sample = test::MakeSineSample(*f.synth, 1000, 100.0, 100, 600);
  f.layer->Sample = f.sample.get();
  f.layer->SetGenerator(54, 1);
  f.layer->SetGenerator(110, 1);
  f.layer->SetGenerator(111, 100);
  f.Start(81);
  int32_t blocks = 0;
  while (!f.voice->LoopEntered && blocks < 100) {
    f.Render(32);
    blocks++;
  }
  ASSERT_TRUE(f.voice->LoopEntered);
  EXPECT_EQ(f.voice->LoopCrossFadeMax - f.voice->LoopCrossFadeMin, int64_t{100} << 32);
  // The fade started in the wrapping block: (100 frames) / 2 + 1 = 51 output frames at most.
  EXPECT_GT(f.voice->LoopCrossFadeRemainSamples, 0);
  EXPECT_LE(f.voice->LoopCrossFadeRemainSamples, 51);
  int32_t fadeBlocks = 0;
  while (f.voice->LoopCrossFadeRemainSamples > 0 && fadeBlocks < 10) {
    f.Render(32);
    fadeBlocks++;
  }
  EXPECT_LE(fadeBlocks, 2);
  // The sine has whole periods in and past the loop, so the blend is seamless.
  for (int i = 0; i < 32; i++) {
    EXPECT_LE(std::fabs(f.Out[static_cast<size_t>(i)].Left), std::sqrt(0.5) + 1e-4);
  }
}

}  // namespace
}  // namespace kelvane
