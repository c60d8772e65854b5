#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "voice_test_support.h"

namespace kelvane {
namespace {

using test::EnvelopeReleaseCount;
using test::EnvelopeState;
using test::TVoiceFixture;

double Exp2Cents(double cents) { return std::exp2(cents / 1200.0); }

// ---------------------------------------------------------------- pitch

struct TPitchCase {
  const char* Name;
  int32_t Note;
  int32_t OriginalPitch;
  int32_t PitchCorrection;
  int32_t SampleRate;
  int32_t RootKeyGen;  // generator 58; -1 = the sample's
  int32_t ScaleTuning;
  int32_t Coarse;
  int32_t Fine;
  double MasterCoarse;
  double MasterFine;
  double ExpectedPitch;     // cents
  double ExpectedRootPitch;  // cents
};

class VoicePitch : public ::testing::TestWithParam<TPitchCase> {};

TEST_P(VoicePitch, PitchAndPhaseIncrementFollowKeyRootAndTunings) {
  const TPitchCase& c = GetParam();
  TVoiceFixture f;
  f.sample->OriginalPitch = c.OriginalPitch;
  f.sample->PitchCorrection = c.PitchCorrection;
  f.sample->SampleRate = c.SampleRate;
  f.layer->SetGenerator(58, c.RootKeyGen);
  f.layer->SetGenerator(56, c.ScaleTuning);
  f.layer->SetGenerator(51, c.Coarse);
  f.layer->SetGenerator(52, c.Fine);
  f.synth->MasterCoarseTuning = c.MasterCoarse;
  f.synth->MasterFineTuning = c.MasterFine;
  f.Start(c.Note);
  EXPECT_NEAR(f.voice->Pitch, c.ExpectedPitch, 1e-9);
  EXPECT_NEAR(f.voice->RootPitch, c.ExpectedRootPitch, 1e-9);
  EXPECT_NEAR(f.voice->RootKey, c.ExpectedRootPitch / 100.0, 1e-12);

  f.Render(32);
  const double ratio = Exp2Cents(c.ExpectedPitch - c.ExpectedRootPitch) * c.SampleRate / 44100.0;
  EXPECT_NEAR(f.voice->PhaseInc, ratio, 1e-12);
  const double whole = std::floor(ratio);
  const int64_t fixed = (static_cast<int64_t>(whole) << 32) + static_cast<int64_t>((ratio - whole) * 4294967296.0);
  EXPECT_EQ(f.voice->PositionIncrement, fixed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoicePitch,
    ::testing::Values(TPitchCase{"Unity", 69, 69, 0, 44100, -1, 100, 0, 0, 0, 0, 6900, 6900},
                      TPitchCase{"OctaveUp", 81, 69, 0, 44100, -1, 100, 0, 0, 0, 0, 8100, 6900},
                      TPitchCase{"RootKeyGenerator", 60, 69, 0, 44100, 60, 100, 0, 0, 0, 0, 6000, 6000},
                      // +50 cents correction lowers the root by 50 cents; the key keeps its pitch.
                      TPitchCase{"PitchCorrection", 60, 60, 50, 44100, -1, 100, 0, 0, 0, 0, 6000, 5950},
                      TPitchCase{"ScaleTuningHalf", 72, 60, 0, 44100, -1, 50, 0, 0, 0, 0, 6600, 6000},
                      TPitchCase{"ScaleTuningZero", 72, 60, 0, 44100, -1, 0, 0, 0, 0, 0, 6000, 6000},
                      TPitchCase{"CoarseAndFine", 60, 60, 0, 44100, -1, 100, 1, -50, 0, 0, 6050, 6000},
                      TPitchCase{"MasterTuning", 60, 60, 0, 44100, -1, 100, 0, 0, 2, 10, 6210, 6000},
                      TPitchCase{"HalfRateSample", 69, 69, 0, 22050, -1, 100, 0, 0, 0, 0, 6900, 6900}),
    [](const ::testing::TestParamInfo<TPitchCase>& info) { return info.param.Name; });

TEST(VoiceTuning, ChannelTablesAndFractionalKeys) {
  TVoiceFixture f;
  f.Start(60);
  TChannel& ch = *f.channel;
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(60), 6000.0);
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(-1), 6000.0);
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(128), 6000.0);
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitchFine(60.25), 6025.0);

  ch.TuningTable[61] = 0.5;  // offset in semitones
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(61), 6150.0);
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitchFine(60.5), 100.0 * (60.0 * 0.5 + 61.5 * 0.5));

  f.synth->TuningTables->Edit(1, 2)[61] = 70.0;
  ch.TuningBank = 1 + 128;  // only the low seven bits select
  ch.TuningProgram = 2;
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(61), 7050.0);

  ch.UseForcedTuningTable = true;
  ch.ForcedTuningTable[61] = 55.0;
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(61), 5500.0);

  f.voice->Channel = nullptr;
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitch(61), 6000.0);
  EXPECT_DOUBLE_EQ(f.voice->GetTuningPitchFine(61.5), 6000.0);
}

// ---------------------------------------------------------------- gain and sends

TEST(VoiceParameters, AttenuationScalesOnlyTheLayerValueInEMU10K1Mode) {
  for (const bool emu : {true, false}) {
    for (const int32_t velocity : {0, 127}) {
      TVoiceFixture f;
      f.synth->EMU10K1Mode = emu;
      f.layer->SetGenerator(48, 1000);
      f.layer->AddModulator(48, 2, 5, 0, 0, 960, -1, 0);  // velocity, concave, negative
      f.Start(60, velocity);
      const double base = emu ? 400.0 : 1000.0;
      const double modulator = velocity == 0 ? 960.0 : 0.0;
      EXPECT_NEAR(f.voice->Attenuation, std::min(base + modulator, 1440.0), 1e-9) << emu << " " << velocity;
    }
  }
}

TEST(VoiceParameters, PanLawAndSends) {
  struct TCase {
    int32_t Pan;
    double Left, Right;
  };
  const double angle700 = 1200.0 * std::numbers::pi / 2000.0;
  for (const TCase& c : {TCase{-500, 1.0, 0.0}, TCase{0, std::sqrt(0.5), std::sqrt(0.5)}, TCase{500, 0.0, 1.0},
                         TCase{700, std::cos(angle700), std::sin(angle700)}}) {
    TVoiceFixture f;
    f.layer->SetGenerator(17, c.Pan);
    f.Start(60);
    EXPECT_NEAR(f.voice->AmpLeft, c.Left, 1e-12) << c.Pan;
    EXPECT_NEAR(f.voice->AmpRight, c.Right, 1e-12) << c.Pan;
  }
  TVoiceFixture f;
  f.layer->SetGenerator(15, 250);
  f.layer->SetGenerator(16, 1500);
  f.Start(60);
  EXPECT_EQ(f.voice->ChorusSend, static_cast<double>(0.25f));
  EXPECT_EQ(f.voice->AmpChorus, f.voice->ChorusSend);
  EXPECT_EQ(f.voice->ReverbSend, 1.0);
  f.voice->SetGen(16, -10);
  f.voice->UpdateParameter(16);
  EXPECT_EQ(f.voice->ReverbSend, 0.0);
}

TEST(VoiceParameters, OffsetsLfosAndOverrides) {
  TVoiceFixture f;  // sample: 1000 frames, loop 0..1000
  f.layer->SetGenerator(0, 10);
  f.layer->SetGenerator(4, 1);       // + 32768 -> clamped to the length
  f.layer->SetGenerator(1, -100);
  f.layer->SetGenerator(2, 50);
  f.layer->SetGenerator(3, 2000);    // beyond the sample: clamped
  f.layer->SetGenerator(21, 0);      // 1 s
  f.layer->SetGenerator(24, 1200);   // 2 * 8.176 Hz
  f.layer->SetGenerator(158, 9);
  f.layer->SetGenerator(46, 50);
  f.Start(60);
  EXPECT_EQ(f.voice->SampleStartOffset, 1000);
  EXPECT_EQ(f.voice->SampleEnd, 900);
  EXPECT_EQ(f.voice->SampleStartLoop, 50);
  EXPECT_EQ(f.voice->SampleEndLoop, 1000);
  EXPECT_EQ(f.voice->ModLFODelay, 44100);
  EXPECT_NEAR(f.voice->VibLFOIncr, 32 * 8.176 * 2.0 / 44100.0, 1e-15);
  EXPECT_EQ(f.voice->ModLFOWaveType, 4);
  EXPECT_EQ(f.voice->Key, 50);
  EXPECT_EQ(f.voice->Note, 60);
  EXPECT_NEAR(f.voice->Pitch, 5000.0, 1e-9);

  // A global override replaces the base value; NRPN offsets add to it.
  f.synth->GenGlobalOverrideValues[48] = 100;
  f.channel->GenNRPNValues[48] = 20;
  f.voice->UpdateParameter(48);
  EXPECT_NEAR(f.voice->Attenuation, 0.4 * 100 + 20, 1e-12);
}

// ---------------------------------------------------------------- hold and decay

TEST(VoiceParameters, HoldAndDecayKeyScaling) {
  struct TCase {
    int32_t Base, KeyTo, Key;
    bool IsDecay;
    double Timecents;  // expected after limits; NaN = zero samples
  };
  for (const TCase& c : {TCase{-1200, 100, 48, false, 0.0}, TCase{7000, 100, 0, true, 8000.0},
                         TCase{6000, 0, 60, false, 5000.0}, TCase{-21000, 1200, 70, false, NAN},
                         TCase{-20000, 1200, 70, false, -12000.0}, TCase{-12000, -1200, 60, true, -12000.0}}) {
    TVoiceFixture f;
    f.layer->SetGenerator(c.IsDecay ? 36 : 35, c.Base);
    f.layer->SetGenerator(c.IsDecay ? 40 : 39, c.KeyTo);
    f.Start(c.Key);
    const int32_t count = f.voice->CalculateHoldDelayCount(c.IsDecay ? 36 : 35, c.IsDecay ? 40 : 39, c.IsDecay);
    const int32_t expected = std::isnan(c.Timecents) ? 0 : static_cast<int32_t>(44100 * Exp2Cents(c.Timecents));
    EXPECT_EQ(count, expected) << c.Base << " " << c.KeyTo << " " << c.Key;
  }
}

// ---------------------------------------------------------------- loops

TEST(VoiceLoop, LoopModeAndRange) {
  struct TCase {
    int32_t Mode;
    bool KeyOff;
    int32_t LoopStartOffset, LoopEndOffset, EndOffset;
    TLoopType Type;
    int32_t Start, End;
  };
  // Sample: 1000 frames, loop 0..1000; no loop plays from the start offset to the end.
  for (const TCase& c : {TCase{1, false, 100, -800, 0, ltFORWARD, 100, 200}, TCase{1, true, 100, -800, 0, ltFORWARD, 100, 200},
                         TCase{3, false, 100, -800, 0, ltFORWARD, 100, 200}, TCase{3, true, 100, -800, 0, ltNONE, 0, 1000},
                         TCase{2, true, 100, -800, 0, ltNONE, 0, 1000}, TCase{1000, false, 100, -800, 0, ltBACKWARD, 100, 200},
                         TCase{1001, true, 100, -800, 0, ltNONE, 0, 1000}, TCase{1002, false, 100, -800, 0, ltBIDI, 100, 200},
                         TCase{1003, true, 100, -800, 0, ltNONE, 0, 1000}, TCase{0, false, 100, -800, 0, ltNONE, 0, 1000},
                         TCase{7, false, 100, -800, 0, ltNONE, 0, 1000},
                         TCase{1, false, 100, -892, 0, ltNONE, 0, 1000},   // 8 frames: too short
                         TCase{1, false, 100, -891, 0, ltFORWARD, 100, 109},
                         TCase{1, false, 100, 0, -950, ltNONE, 0, 50},     // loop beyond the end collapses
                         TCase{1, false, 10, 0, -900, ltFORWARD, 10, 100}}) {
    TVoiceFixture f;
    f.layer->SetGenerator(54, c.Mode);
    f.layer->SetGenerator(2, c.LoopStartOffset);
    f.layer->SetGenerator(3, c.LoopEndOffset);
    f.layer->SetGenerator(1, c.EndOffset);
    f.Start(69);
    f.voice->IsKeyOff = c.KeyOff;
    f.voice->UpdateLoopRange();
    EXPECT_EQ(f.voice->LoopType, c.Type) << c.Mode << " " << c.KeyOff << " " << c.LoopEndOffset;
    EXPECT_EQ(f.voice->LoopStart, c.Start) << c.Mode;
    EXPECT_EQ(f.voice->LoopEnd, c.End) << c.Mode;
    EXPECT_EQ(f.voice->LoopEndEx, std::max(0, c.End - 1));
  }
}

constexpr int64_t One = int64_t{1} << 32;

int64_t Fx(double frames) { return static_cast<int64_t>(std::llround(frames * 4294967296.0)); }

struct TWrapCase {
  const char* Name;
  TLoopType Type;
  int32_t LoopStart, LoopEnd, SampleEnd, StartOffset;
  double Position, Increment;
  bool Backwards;
  int32_t Samples;
  int32_t Result;
  double NewPosition;
  bool NewBackwards;
};

class VoiceWrap : public ::testing::TestWithParam<TWrapCase> {};

TEST_P(VoiceWrap, GetSampleLengthWrapsAndLimitsTheRun) {
  const TWrapCase& c = GetParam();
  TVoiceFixture f;
  TVoice& v = *f.voice;
  v.LoopType = c.Type;
  v.LoopStart = c.LoopStart;
  v.LoopEnd = c.LoopEnd;
  v.SampleEnd = c.SampleEnd;
  v.SampleStartBaseOffset = 0;
  v.SampleStartOffset = c.StartOffset;
  v.Position = Fx(c.Position);
  v.PositionIncrement = Fx(c.Increment);
  v.Backwards = c.Backwards;
  EXPECT_EQ(v.GetSampleLength(c.Samples), c.Result);
  if (c.Result != 0) {
    EXPECT_EQ(v.Position, Fx(c.NewPosition));
    EXPECT_EQ(v.Backwards, c.NewBackwards);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoiceWrap,
    ::testing::Values(
        TWrapCase{"ForwardInside", ltFORWARD, 100, 200, 1000, 0, 150.0, 1.0, false, 32, 32, 150.0, false},
        TWrapCase{"ForwardWrap", ltFORWARD, 100, 200, 1000, 0, 200.5, 1.0, false, 32, 32, 100.5, false},
        // 190 + 31 reaches the loop end: (10 frames - 1 unit) / 1 frame + 1 = 10.
        TWrapCase{"ForwardStopsAtLoopEnd", ltFORWARD, 100, 200, 1000, 0, 190.0, 1.0, false, 32, 10, 190.0, false},
        TWrapCase{"ForwardHalfSpeed", ltFORWARD, 100, 200, 1000, 0, 190.0, 0.5, false, 32, 20, 190.0, false},
        TWrapCase{"ForwardBackwardsWrap", ltFORWARD, 100, 200, 1000, 0, 99.5, 1.0, true, 32, 32, 199.5, true},
        TWrapCase{"BidiReflectAtEnd", ltBIDI, 100, 200, 1000, 0, 201.0, 1.0, false, 32, 32, 199.0, true},
        TWrapCase{"BidiTurnPointPlaysOnce", ltBIDI, 100, 200, 1000, 0, 200.0, 1.0, false, 32, 32, 200.0, true},
        TWrapCase{"BidiOvershootGoesToSampleEnd", ltBIDI, 100, 200, 1000, 0, 350.25, 1.0, false, 32, 32, 999.75, true},
        TWrapCase{"BidiReflectAtStart", ltBIDI, 100, 200, 1000, 0, 99.0, 1.0, true, 32, 32, 101.0, false},
        TWrapCase{"BidiStartOvershoot", ltBIDI, 100, 104, 1000, 0, 97.0, 1.0, true, 32, 4, 100.0, false},
        TWrapCase{"BidiBackwardsRunStopsAtStart", ltBIDI, 100, 200, 1000, 0, 110.0, 1.0, true, 32, 10, 110.0, true},
        TWrapCase{"NoLoopBeforeStartJumpsToStart", ltNONE, 0, 0, 1000, 10, 0.0, 1.0, false, 32, 32, 10.0, false},
        TWrapCase{"NoLoopAtEndEnds", ltNONE, 0, 0, 1000, 0, 1000.0, 1.0, false, 32, 0, 0, false},
        TWrapCase{"NoLoopRunStopsAtEnd", ltNONE, 0, 0, 1000, 0, 995.0, 1.0, false, 32, 5, 995.0, false},
        TWrapCase{"NoLoopBackwardsBeforeStartEnds", ltNONE, 0, 0, 1000, 10, 5.0, 1.0, true, 32, 0, 0, false},
        TWrapCase{"LoopNegativePositionEnds", ltFORWARD, 100, 200, 1000, 0, -1.5, 1.0, false, 32, 0, 0, false},
        TWrapCase{"BeforeLoopPlaysForward", ltFORWARD, 100, 200, 1000, 0, 20.0, 1.0, false, 32, 32, 20.0, false},
        // 2^30 / (2^20 + 1) = 1023 steps at most per run.
        TWrapCase{"RunLengthLimit", ltNONE, 0, 0, 2147483647, 0, 0.0, 1048576.0, false, 4096, 1023, 0.0, false},
        // 2^30 / 2^20: 1024 steps, one fewer than asked for.
        TWrapCase{"RunLengthAtTheLimit", ltNONE, 0, 0, 2147483647, 0, 0.0, 1048575.0, false, 1025, 1024, 0.0, false}),
    [](const ::testing::TestParamInfo<TWrapCase>& info) { return info.param.Name; });

// Before the loop is first entered the frames ahead of its start are read
// from the plain data, in a run that stops once the kernel no longer reaches
// back before the loop start; everywhere else the wrapped copy is read, however
// long the run.
TEST(VoiceLoop, LoopIndexLimitTouchedOutsideThePreLoopFramesOnlyWithWrapping) {
  TVoiceFixture f;
  TVoice& v = *f.voice;
  v.LoopType = ltFORWARD;
  v.LoopStart = 100;
  v.LoopEnd = 200;
  v.SampleEnd = 1000;
  v.PositionIncrement = One;
  const int32_t margin = f.synth->ResamplingLoopStartOffset;
  v.Position = Fx(90.0);
  EXPECT_EQ(v.GetSampleLength(32), 100 + margin - 90 + 1);
  EXPECT_FALSE(v.LoopIndexLimitTouched);
  for (int32_t frames : {1, 32}) {
    v.Position = Fx(120.0);
    v.GetSampleLength(frames);
    EXPECT_TRUE(v.LoopIndexLimitTouched) << frames;
  }
  v.Position = Fx(190.0);
  v.GetSampleLength(32);
  EXPECT_TRUE(v.LoopIndexLimitTouched);
  f.synth->ResampleLoopWrapping = false;
  v.Position = Fx(190.0);
  v.GetSampleLength(32);
  EXPECT_FALSE(v.LoopIndexLimitTouched);
}

// The forward-loop shortcut of GetSampleLength answers as the general case
// does, wherever a run starts: before the loop, at the start margin, inside,
// at and past the loop end, at increments below, at and above one frame.
TEST(VoiceLoop, ForwardLoopShortcutAgreesWithTheGeneralCase) {
  TVoiceFixture f;
  TVoice& v = *f.voice;
  v.LoopType = ltFORWARD;
  v.LoopStart = 100;
  v.LoopEnd = 200;
  v.SampleEnd = 1000;
  v.SampleStartBaseOffset = 0;
  v.SampleStartOffset = 0;
  for (bool wrapping : {true, false}) {
    f.synth->ResampleLoopWrapping = wrapping;
    for (bool entered : {false, true}) {
      for (double increment : {0.25, 1.0, 1.7, 3.0}) {
        for (double position = 80.0; position <= 210.0; position += 0.75) {
          for (int32_t samples : {1, 2, 17, 32}) {
            auto state = [&] {
              v.Position = Fx(position);
              v.PositionIncrement = Fx(increment);
              v.Backwards = false;
              v.LoopEntered = entered;
              v.LoopIndexLimitTouched = !wrapping;
            };
            state();
            const int32_t general = v.GetSampleLengthWrapping(samples);
            const int64_t generalPosition = v.Position;
            const bool generalTouched = v.LoopIndexLimitTouched, generalEntered = v.LoopEntered;
            state();
            ASSERT_EQ(v.GetSampleLength(samples), general) << position << " " << increment << " " << samples;
            ASSERT_EQ(v.Position, generalPosition);
            ASSERT_EQ(v.LoopIndexLimitTouched, generalTouched) << position << " " << increment;
            ASSERT_EQ(v.LoopEntered, generalEntered);
            ASSERT_FALSE(v.Backwards);
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------- key-on, cue points

TEST(VoiceKeyOn, CuePointsSelectTheStartFrame) {
  struct TCase {
    int32_t Note;
    int64_t Frame;
  };
  // Points [0, 1000, 2000], root 60, start offset 5. Below the root the index counts down from the last point.
  for (const TCase& c : {TCase{60, 5}, TCase{61, 1005}, TCase{62, 2005}, TCase{63, 5}, TCase{59, 2005}}) {
    TVoiceFixture f;
    f.sample = test::MakeSineSample(*f.synth, 3000, 100.0, 0, 3000);
    auto parent = std::make_unique<TPresetLayer>(f.synth.get(), nullptr);
    parent->CuePoints.Active = true;
    parent->CuePoints.Points = {0, 1000, 2000};
    parent->CuePoints.RootKey = 60;
    f.layer->Parent = parent.get();
    f.layer->SetGenerator(0, 5);
    f.Start(c.Note);
    EXPECT_EQ(f.voice->Position, c.Frame * One) << c.Note;
    EXPECT_EQ(f.voice->SampleStartBaseOffset, c.Frame - 5) << c.Note;
    f.layer->Parent = nullptr;
  }
}

TEST(VoiceKeyOn, StartsActiveWithClearedPedalsAndLowestAttenuation) {
  TVoiceFixture f;
  f.voice->Holding = f.voice->IsKeyOff = true;
  f.layer->AddDefaultModulators(true);
  f.voice->Controllers[7] = 0;  // volume at 0: the default modulator adds 960 cB
  f.voice->Controllers[11] = 127;
  f.Start(60, 127);
  EXPECT_TRUE(f.voice->Active);
  EXPECT_FALSE(f.voice->Holding);
  EXPECT_FALSE(f.voice->IsKeyOff);
  EXPECT_EQ(f.voice->ModulationSamplesRemain, 0);
  EXPECT_NEAR(f.voice->Attenuation, 960.0, 1e-9);
  // Controller modulators can bring attenuation down by their current contribution.
  EXPECT_TRUE(f.voice->UseLowestBoundaryForAttenuation);
  EXPECT_NEAR(f.voice->LowestBoundaryForAttenuation, 0.0, 1e-9);

  TVoiceFixture g;
  g.Start(60);
  EXPECT_FALSE(g.voice->UseLowestBoundaryForAttenuation);
}

// ---------------------------------------------------------------- pedals

TEST(VoicePedals, HoldPedalDefersKeyOffUntilLifted) {
  TVoiceFixture f;
  f.Start(60);
  f.channel->HoldPedal = true;
  f.voice->KeyOff(64);
  EXPECT_TRUE(f.voice->SawKeyOff);
  EXPECT_TRUE(f.voice->Holding);
  EXPECT_FALSE(f.voice->IsKeyOff);
  f.voice->Update();
  EXPECT_FALSE(f.voice->IsKeyOff);
  f.channel->HoldPedal = false;
  f.voice->Update();
  EXPECT_TRUE(f.voice->IsKeyOff);
  EXPECT_EQ(f.voice->KeyOffVelocity, 127);
  EXPECT_EQ(EnvelopeState(*f.voice->VolEnvelope), 5);

  // Pressed after the key-off, the pedal does not hold the voice again.
  TVoiceFixture g;
  g.Start(60);
  g.voice->KeyOff(40);
  g.channel->HoldPedal = true;
  g.voice->Update();
  EXPECT_TRUE(g.voice->IsKeyOff);
  EXPECT_FALSE(g.voice->Holding);
  EXPECT_EQ(g.voice->KeyOffVelocity, 40);
}

TEST(VoicePedals, SostenutoHoldsUntilItsPedalIsLifted) {
  TVoiceFixture f;
  f.Start(60);
  f.channel->SostenutoPedal = true;
  f.voice->Sostenutoing = true;
  f.voice->KeyOff(64);
  EXPECT_TRUE(f.voice->SawKeyOff);
  EXPECT_FALSE(f.voice->IsKeyOff);
  f.voice->Update();
  EXPECT_FALSE(f.voice->IsKeyOff);
  f.channel->SostenutoPedal = false;
  f.voice->Update();
  EXPECT_TRUE(f.voice->IsKeyOff);
  EXPECT_FALSE(f.voice->Sostenutoing);

  // Without a key-off the lifted pedal changes nothing.
  TVoiceFixture g;
  g.Start(60);
  g.voice->Sostenutoing = true;
  g.voice->Update();
  EXPECT_FALSE(g.voice->IsKeyOff);
}

// ---------------------------------------------------------------- kill paths

struct TReleaseCounter {
  int Calls = 0;
  static void Code(void* context, TSynth&, TVoice&) { static_cast<TReleaseCounter*>(context)->Calls++; }
};

TEST(VoiceKill, KillHandsTheLastFrameToTheChannel) {
  TVoiceFixture f;
  TReleaseCounter counter;
  f.synth->OnReleaseVoice = {&TReleaseCounter::Code, &counter};
  f.Start(60);
  f.voice->Last = {{{0.5f, -0.25f}}};
  f.voice->AmpChorus = 0.5;
  f.voice->AmpReverb = 0.25;
  f.voice->Kill();
  EXPECT_FALSE(f.voice->Active);
  EXPECT_EQ(counter.Calls, 1);
  EXPECT_FLOAT_EQ(f.channel->Last.Left, 0.5f);
  EXPECT_FLOAT_EQ(f.channel->Last.Right, -0.25f);
  EXPECT_FLOAT_EQ(f.channel->ChorusLast.Left, 0.25f);
  EXPECT_FLOAT_EQ(f.channel->ChorusLast.Right, -0.125f);
  EXPECT_FLOAT_EQ(f.channel->ReverbLast.Left, 0.125f);
  EXPECT_FLOAT_EQ(f.channel->ReverbLast.Right, -0.0625f);
  EXPECT_EQ(f.voice->Last.Left, 0.0f);

  // An ended voice hands its click residue over without a release notice.
  f.voice->Last = {{{1.0f, 1.0f}}};
  f.voice->Kill();
  EXPECT_EQ(counter.Calls, 1);
  EXPECT_FLOAT_EQ(f.channel->Last.Left, 1.5f);
  EXPECT_EQ(f.voice->Last.Left, 0.0f);
}

TEST(VoiceKill, ResetKeepsChannelNoteKeyAndVelocity) {
  TVoiceFixture f;
  TReleaseCounter counter;
  f.synth->OnReleaseVoice = {&TReleaseCounter::Code, &counter};
  f.Start(61, 90);
  f.voice->EventNoteID = 7;
  f.voice->Last = {{{0.25f, 0.25f}}};
  f.voice->Reset();
  EXPECT_EQ(counter.Calls, 1);
  EXPECT_FLOAT_EQ(f.channel->Last.Left, 0.25f);
  EXPECT_FALSE(f.voice->Active);
  EXPECT_EQ(f.voice->Channel, f.channel);
  EXPECT_EQ(f.voice->Note, 61);
  EXPECT_EQ(f.voice->Key, 61);
  EXPECT_EQ(f.voice->Velocity, 90);
  EXPECT_EQ(f.voice->EventNoteID, 0u);
  EXPECT_EQ(f.voice->Sample, nullptr);
  EXPECT_EQ(f.voice->Filter.FilterType, 1);
  EXPECT_EQ(f.voice->Filter2.FilterType, 0);
}

TEST(VoiceKill, KillExclusiveShortensTheRelease) {
  const int32_t releaseSteps = static_cast<int32_t>(44100 * Exp2Cents(-200) / 32) + 1;
  for (const bool alreadyReleasing : {false, true}) {
    TVoiceFixture f;
    TReleaseCounter counter;
    f.synth->OnReleaseVoice = {&TReleaseCounter::Code, &counter};
    f.layer->SetGenerator(57, 3);
    f.layer->SetGenerator(38, 2400);
    f.Start(60);
    f.voice->EventNoteID = 9;
    f.Render(320);
    if (alreadyReleasing) f.voice->KeyOff(0);
    f.voice->KillExclusive();
    EXPECT_EQ(counter.Calls, 1);
    EXPECT_EQ(f.voice->GenValues[57], 0);
    EXPECT_EQ(f.voice->GenWorkValues[38], -200.0);
    EXPECT_EQ(f.voice->GenWorkValues[30], -200.0);
    EXPECT_EQ(EnvelopeState(*f.voice->VolEnvelope), 5);
    EXPECT_EQ(EnvelopeState(*f.voice->ModEnvelope), 5);
    EXPECT_EQ(EnvelopeReleaseCount(*f.voice->VolEnvelope), releaseSteps);
    EXPECT_EQ(EnvelopeReleaseCount(*f.voice->ModEnvelope), releaseSteps);
    EXPECT_EQ(f.voice->EventNoteID, 0u);
    EXPECT_TRUE(f.voice->Active);
  }
  TVoiceFixture idle;
  TReleaseCounter counter;
  idle.synth->OnReleaseVoice = {&TReleaseCounter::Code, &counter};
  idle.voice->KillExclusive();
  EXPECT_EQ(counter.Calls, 0);
}

// ---------------------------------------------------------------- portamento

TEST(VoicePortamento, GlideReachesTheTargetOnItsLastStep) {
  TVoiceFixture f;
  f.Start(60);
  TVoice& v = *f.voice;
  v.PortamentoTime = 10;
  v.PortamentoPosition = 0;
  v.PortamentoFromKey = v.ActualPitchKey;
  v.PortamentoToKey = 64;
  v.Note = 64;
  for (int step = 1; step <= 10; step++) {
    f.Render(32);
    const double expectedKey = step < 10 ? 60.0 + 4.0 * step / 10.0 : 64.0;
    EXPECT_NEAR(v.ActualPitchKey, expectedKey, 1e-12) << step;
    EXPECT_NEAR(v.Pitch, 100.0 * expectedKey, 1e-9) << step;
    EXPECT_EQ(v.Key, step < 10 ? 60 : 64) << step;
  }
  EXPECT_EQ(v.PortamentoFromKey, 64.0);
  f.Render(32);
  EXPECT_NEAR(v.Pitch, 6400.0, 1e-9);
}

// ---------------------------------------------------------------- layer cross-fades

TEST(VoiceCrossFade, WindowOnVelocity) {
  TPresetLayerCrossFade record;
  record.CrossFadeType = 2;
  record.Threshold = 0;
  record.InStart = 0;
  record.InEnd = 64;
  record.OutStart = 100;
  record.OutEnd = 127;
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(32, 127, record), 0.5);
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(80, 127, record), 1.0);
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(110, 127, record), 17.0 / 27.0);
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(127, 127, record), 0.0);
  record.Invert = -1;
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(32, 127, record), 0.5);
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(127, 127, record), 1.0);
  TPresetLayerCrossFade ramp;  // no window: value / full scale
  EXPECT_DOUBLE_EQ(TVoice::CrossFadeValue(8191.5, 16383, ramp), 0.5);
}

// ---------------------------------------------------------------- LFO shapes

TEST(VoiceLFO, Shapes) {
  EXPECT_NEAR(LFOValue(0, 0.0), 0.0, 1e-15);
  EXPECT_NEAR(LFOValue(0, 0.25), 1.0, 1e-15);
  EXPECT_NEAR(LFOValue(0, 0.75), -1.0, 1e-15);
  EXPECT_NEAR(LFOValue(1, 0.25), 1.0, 1e-15);
  EXPECT_EQ(LFOValue(2, 0.0), -1.0);
  EXPECT_EQ(LFOValue(2, 0.5), 1.0);
  EXPECT_NEAR(LFOValue(3, 0.25), 0.5, 1e-15);
  EXPECT_NEAR(LFOValue(4, 0.25), -0.5, 1e-15);
  EXPECT_EQ(LFOValue(5, 0.3), 0.0);
}

}  // namespace
}  // namespace kelvane
