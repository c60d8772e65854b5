#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "banks/preset_layer.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_envelope.h"

namespace kelvane::test {
namespace {

// At 32768 Hz a modulation step of 32 frames is 1/1024 s, so the times below
// give segment lengths whose increments are exact binary fractions.
constexpr int32_t ExactRate = 32768;
constexpr double OneStep = 1.0 / 1024.0;

class VoiceEnvelopeTest : public ::testing::Test {
 protected:
  VoiceEnvelopeTest() { List.LoopStart = List.LoopEnd = List.SustainLoopStart = List.SustainLoopEnd = -1; }

  TVoiceEnvelope& Make(bool volume, int32_t rate) {
    Synth->SetSampleRate(rate);
    Env = std::make_unique<TVoiceEnvelope>(*Synth, *Voice, volume);
    return *Env;
  }

  // Delay 1 step, attack 1024 steps, hold 512, decay 1024 (a full 1-to-0
  // fall), sustain 0.5, release 1024; the given curves.
  TVoiceEnvelope& MakeExact(bool volume, int32_t attackCurve = 0, int32_t decayCurve = 0, int32_t releaseCurve = 0) {
    TVoiceEnvelope& e = Make(volume, ExactRate);
    e.SetDelay(-12000);
    e.SetAttack(-1, attackCurve);  // 1023.4 steps -> 1023 + 1
    e.SetHold(-1200, 0, 60);       // 16384 samples
    e.SetDecay(0, 0, 60, decayCurve);
    e.SetSustain(500);
    e.SetRelease(-1, releaseCurve);
    e.KeyOn();
    return e;
  }

  // Output of each of n steps.
  std::vector<double> Run(int n) {
    std::vector<double> out;
    for (int i = 0; i < n; ++i) out.push_back(Env->Process());
    return out;
  }
  void Skip(int n) { Run(n); }

  // Points of a list: seconds, value in 0..1.
  static TPresetLayerEnvelopePoint Point(int32_t mode, int32_t seconds, double value) {
    const long long fixed = std::min(std::llround(value * 2147483648.0), 2147483647LL);
    return {mode, seconds, static_cast<int32_t>(fixed)};
  }

  // Points the running segments go to, recorded at each segment start, until
  // the envelope finishes or maxSteps pass; KeyOff after keyOffStep steps.
  std::vector<int32_t> SegmentTargets(int maxSteps, int keyOffStep = -1) {
    std::vector<int32_t> targets;
    for (int i = 0; i < maxSteps && !Env->Finished(); ++i) {
      if (i == keyOffStep) Env->KeyOff();
      Env->Process();
      if (Env->FrameCounter == 1 && !Env->Finished()) targets.push_back(Env->CurrentPoint);
    }
    return targets;
  }

  std::unique_ptr<TSynth> Synth = std::make_unique<TSynth>();
  std::unique_ptr<TVoice> Voice = std::make_unique<TVoice>(*Synth, 1);
  std::unique_ptr<TVoiceEnvelope> Env;
  TPresetLayerEnvelope List;
};

// ---- Segment lengths ----

struct StepCase {
  int32_t Rate;
  double Timecents;
  int32_t DelayCount;   // trunc(R * 2^(tc/1200) / 32), tc clamped to -12000..5000
  int32_t AttackCount;  // the same with tc clamped to -12000..8000, + 1
};

TEST_F(VoiceEnvelopeTest, SegmentStepCountsFollowTimecents) {
  const StepCase cases[] = {
      {44100, -12000, 1, 2},        // 43 samples: one step
      {44100, -20000, 1, 2},        // clamped to -12000
      {44100, 0, 1378, 1379},       // 1 s
      {48000, 1200, 3000, 3001},    // 2 s
      {22050, -1200, 344, 345},     // 0.5 s
      {44100, 5000, 24750, 24751},  // longest delay
      {44100, 6000, 24750, 44101},  // delay clamped to 5000; attack 2^5 s
      {44100, 9000, 24750, 140009}, // both clamped
      {8000, -12000, 0, 1},         // below one step
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Rate << " Hz, " << c.Timecents << " tc");
    TVoiceEnvelope& e = Make(true, c.Rate);
    e.SetDelay(c.Timecents);
    e.SetAttack(c.Timecents, 0);
    e.SetRelease(c.Timecents, 0);
    const int32_t attack = c.AttackCount;
    EXPECT_EQ(e.Envelope.Data[esDelay].Count, c.DelayCount);
    EXPECT_EQ(e.Envelope.Data[esAttack].Count, attack);
    EXPECT_EQ(e.Envelope.Data[esRelease].Count, attack);  // same clamp and + 1 as the attack
    EXPECT_DOUBLE_EQ(e.Envelope.Data[esAttack].Increment, 1.0 / attack);
    EXPECT_DOUBLE_EQ(e.Envelope.Data[esRelease].Increment, -1.0 / attack);
  }
}

TEST_F(VoiceEnvelopeTest, DelayLastsItsStepCountAtZero) {
  TVoiceEnvelope& e = Make(false, 44100);
  e.SetDelay(-2400);  // 11025 samples / 32 = 344.5 -> 344 steps
  e.SetAttack(-12000, 0);
  e.KeyOn();
  const std::vector<double> out = Run(345);
  for (int i = 0; i < 344; ++i) ASSERT_EQ(out[i], 0.0) << i;
  EXPECT_EQ(out[344], 0.5);  // attack of 2 steps
  EXPECT_EQ(e.Segment(), esAttack);
}

struct KeyScalingCase {
  double Timecents, KeyTo;
  int32_t Key;
  bool IsDecay;
  int32_t Rate;
  int32_t Samples;  // trunc(R * 2^(tc/1200)), tc = base + keyTo * (60 - key), limited
  int32_t Count;    // trunc(samples / 32 + 0.5)
};

TEST_F(VoiceEnvelopeTest, HoldAndDecayAreKeyScaled) {
  const KeyScalingCase cases[] = {
      {-1200, 100, 48, false, 44100, 44100, 1378},  // -1200 + 1200 = 0 tc
      {-1200, 100, 72, false, 44100, 11025, 345},   // -2400 tc; 344.53 rounds up
      {-20000, 0, 60, false, 44100, 43, 1},         // floor -12000
      {-32768, 0, 60, false, 44100, 0, 0},          // at the no-hold mark
      {-30000, -100, 32, false, 44100, 0, 0},       // -32800 after key scaling
      {6000, 0, 60, false, 44100, 792009, 24750},   // hold limited to 5000
      {9000, 0, 60, true, 44100, 4480280, 140009},  // decay limited to 8000
      {-32768, 0, 60, true, 44100, 43, 1},          // a decay is never zero: floor -12000
      {0, 50, 0, true, 48000, 271529, 8485},        // +3000 tc
      {-400, -25, 100, true, 22050, 31183, 974},    // -400 + 1000 tc
  };
  for (const KeyScalingCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Timecents << " + " << c.KeyTo << " x (60 - " << c.Key << ")"
                                    << (c.IsDecay ? " decay" : " hold"));
    EXPECT_EQ(TVoiceEnvelope::CalculateHoldDelayCount(c.Timecents, c.KeyTo, c.Key, c.IsDecay, c.Rate), c.Samples);
    TVoiceEnvelope& e = Make(false, c.Rate);
    if (c.IsDecay) {
      e.SetDecay(c.Timecents, c.KeyTo, c.Key, 0);
      EXPECT_EQ(e.Envelope.Data[esDecay].Count, c.Count);
      EXPECT_DOUBLE_EQ(e.Envelope.Data[esDecay].Increment, -1.0 / c.Count);
    } else {
      e.SetHold(c.Timecents, c.KeyTo, c.Key);
      EXPECT_EQ(e.Envelope.Data[esHold].Count, c.Count);
    }
  }
}

// ---- Segment trajectory ----

class VoiceEnvelopeKind : public VoiceEnvelopeTest, public testing::WithParamInterface<bool> {};

TEST_P(VoiceEnvelopeKind, RunsDelayAttackHoldDecayIntoSustain) {
  MakeExact(GetParam());
  const std::vector<double> out = Run(2100);
  // Step n (1-based) -> expected value and segment after the step.
  for (int n = 1; n <= 2100; ++n) {
    double value;
    if (n == 1) {
      value = 0.0;  // delay
    } else if (n <= 1025) {
      value = (n - 1) * OneStep;  // attack reaches 1 at its 1024th step
    } else if (n <= 1537) {
      value = 1.0;  // hold, 512 steps
    } else if (n <= 2049) {
      value = 1.0 - (n - 1537) * OneStep;  // decay down to the sustain level
    } else {
      value = 0.5;
    }
    ASSERT_EQ(out[n - 1], value) << "step " << n;
  }
  EXPECT_EQ(Env->Segment(), esSustain);
  EXPECT_FALSE(Env->Finished());
}

TEST_P(VoiceEnvelopeKind, ReleaseFromSustainFallsByOneCountPerStepAndFinishes) {
  MakeExact(GetParam());
  Skip(2100);
  Env->KeyOff();
  EXPECT_TRUE(Env->IsKeyOff);
  const std::vector<double> out = Run(513);
  for (int k = 1; k <= 512; ++k) ASSERT_EQ(out[k - 1], 0.5 - k * OneStep) << k;
  EXPECT_EQ(out[512], 0.0);
  EXPECT_TRUE(Env->Finished());
  EXPECT_EQ(Env->Segment(), esOff);
  for (double v : Run(10)) EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(Env->Finished());
  Env->KeyOff();  // no effect once finished
  EXPECT_TRUE(Env->Finished());
}

TEST_P(VoiceEnvelopeKind, ZeroLengthSegmentsAreSkippedAndSustainStartsAtItsLevel) {
  // At 8000 Hz -12000 tc is 7 samples: no delay, no hold, no decay steps.
  TVoiceEnvelope& e = Make(GetParam(), 8000);
  e.SetDelay(-12000);
  e.SetAttack(-12000, 0);
  e.SetHold(-12000, 0, 60);
  e.SetDecay(-12000, 0, 60, 0);
  e.SetSustain(300);
  e.KeyOn();
  ASSERT_EQ(e.Envelope.Data[esDecay].Count, 0);
  EXPECT_EQ(e.Envelope.Data[esDecay].Increment, 0.0);
  EXPECT_EQ(Run(1)[0], 1.0);  // the one attack step
  EXPECT_EQ(e.Segment(), esAttack);
  const std::vector<double> out = Run(3);
  EXPECT_EQ(e.Segment(), esSustain);
  for (double v : out) EXPECT_DOUBLE_EQ(v, 0.7f);
}

TEST_P(VoiceEnvelopeKind, DecayShortenedWhileRunningHandsOnTheSustainLevel) {
  TVoiceEnvelope& e = MakeExact(GetParam());
  Skip(1537 + 100);  // 100 steps into the decay, at 1 - 100/1024
  e.SetDecay(-12000, 0, 60, 0);  // now 1 step long: its time is up
  EXPECT_EQ(Run(1)[0], 0.5);
  EXPECT_EQ(e.Segment(), esSustain);
}

TEST_P(VoiceEnvelopeKind, ZeroHoldGoesFromAttackStraightToDecay) {
  TVoiceEnvelope& e = MakeExact(GetParam());
  e.SetHold(-32768, 0, 60);
  const std::vector<double> out = Run(1027);
  EXPECT_EQ(out[1024], 1.0);
  EXPECT_EQ(out[1025], 1.0 - OneStep);
  EXPECT_EQ(out[1026], 1.0 - 2 * OneStep);
  EXPECT_EQ(e.Segment(), esDecay);
}

TEST_P(VoiceEnvelopeKind, KeyOffDuringDelayFinishesAtTheNextStep) {
  TVoiceEnvelope& e = MakeExact(GetParam());
  e.SetDelay(0);
  Skip(10);
  e.KeyOff();
  EXPECT_EQ(Run(1)[0], 0.0);
  EXPECT_TRUE(e.Finished());
}

TEST_P(VoiceEnvelopeKind, KillFinishesAtOnce) {
  TVoiceEnvelope& e = MakeExact(GetParam());
  Skip(2100);
  e.Kill();
  EXPECT_TRUE(e.Finished());
  EXPECT_EQ(e.Output(), 0.0);
  EXPECT_EQ(Run(1)[0], 0.0);
  e.KeyOn();
  EXPECT_FALSE(e.Finished());
  EXPECT_EQ(e.Segment(), esDelay);
}

INSTANTIATE_TEST_SUITE_P(VolumeAndModulation, VoiceEnvelopeKind, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Volume" : "Modulation"; });

// ---- Sustain level ----

TEST_F(VoiceEnvelopeTest, SustainLevelIsOneMinusTenthsOfAPercentInSinglePrecision) {
  struct Case {
    double Generator;
    double Level;
  };
  const Case cases[] = {{-100, 1.0}, {0, 1.0}, {100, 0.9f}, {500, 0.5}, {1000, 0.0}, {1440, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Generator);
    TVoiceEnvelope& e = MakeExact(true);
    e.SetSustain(c.Generator);
    while (e.Segment() != esSustain) e.Process();
    EXPECT_EQ(e.Output(), c.Level);
    EXPECT_EQ(Run(5).back(), c.Level);
  }
}

TEST_F(VoiceEnvelopeTest, DecayToLevelZeroTakesTheFullDecayTime) {
  TVoiceEnvelope& e = MakeExact(true);
  e.SetSustain(1000);
  Skip(1537);  // up to the end of the hold
  int decaySteps = 0;
  while (e.Process(), e.Segment() == esDecay) ++decaySteps;
  EXPECT_EQ(decaySteps, 1024);  // 1, 1 - 1/1024, ..., 0 and still decaying
  EXPECT_EQ(e.Output(), 0.0);
}

TEST_F(VoiceEnvelopeTest, DecayToLevelOneEndsAtOnce) {
  TVoiceEnvelope& e = MakeExact(false);
  e.SetSustain(0);
  Skip(1537);
  EXPECT_EQ(Run(1)[0], 1.0);
  EXPECT_EQ(e.Segment(), esSustain);
}

TEST_F(VoiceEnvelopeTest, SustainChangeReappliesDecayAndCurvedRelease) {
  TVoiceEnvelope& e = MakeExact(false, 0, 0, 3);
  e.SetSustain(750);  // 0.25: decay floor and release scale follow
  Skip(1537);
  const std::vector<double> decay = Run(769);
  EXPECT_EQ(decay[767], 0.25);  // 1 - 768/1024
  EXPECT_EQ(decay[768], 0.25);
  EXPECT_EQ(e.Segment(), esSustain);
  e.KeyOff();
  const std::vector<double> release = Run(128);
  // Square curve over 0..0.25: ((v / 0.25)^2) * 0.25 with v = 0.25 - k/1024.
  const double v = 0.25 - 128 * OneStep;
  EXPECT_DOUBLE_EQ(release[127], (v / 0.25) * (v / 0.25) * 0.25);
}

// ---- Curves ----

struct CurveCase {
  int32_t Mode;
  double Shape[4];  // shape of l = 1/1024, 5/1024, 0.25, 0.5 from the curve formulas
};

class VoiceEnvelopeCurve : public VoiceEnvelopeTest, public testing::WithParamInterface<CurveCase> {};

TEST_P(VoiceEnvelopeCurve, ShapesAttackDecayAndRelease) {
  const CurveCase& c = GetParam();
  MakeExact(true, c.Mode, c.Mode, c.Mode);
  const std::vector<double> out = Run(2100);
  // Attack over 0..1: step k of the attack is output n = k + 1.
  EXPECT_NEAR(out[1], c.Shape[0], 1e-12);
  EXPECT_NEAR(out[5], c.Shape[1], 1e-12);
  EXPECT_NEAR(out[256], c.Shape[2], 1e-12);
  EXPECT_NEAR(out[512], c.Shape[3], 1e-12);
  EXPECT_NEAR(out[1024], 1.0, 1e-12);
  // Decay over 0.5..1: l = 1 - k/512 at decay step k (output 1537 + k).
  EXPECT_NEAR(out[1536 + 256], 0.5 + 0.5 * c.Shape[3], 1e-12);
  EXPECT_NEAR(out[1536 + 384], 0.5 + 0.5 * c.Shape[2], 1e-12);
  EXPECT_NEAR(out[1536 + 512], 0.5, 1e-12);
  EXPECT_EQ(out[2099], 0.5);  // sustain has no curve
  // Release over 0..0.5 from the sustain level: l = 1 - k/512.
  Env->KeyOff();
  const std::vector<double> release = Run(384);
  EXPECT_NEAR(release[255], 0.5 * c.Shape[3], 1e-12);
  EXPECT_NEAR(release[383], 0.5 * c.Shape[2], 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Modes, VoiceEnvelopeCurve,
                         testing::Values(CurveCase{1, {0.001795637136, 0.009119571532, 0.049787068368, 0.135335283237}},
                                         CurveCase{2, {0.001676603313, 0.008355047174, 0.357374019509, 0.620114506958}},
                                         CurveCase{3, {0.000000953674, 0.000023841858, 0.0625, 0.25}},
                                         CurveCase{4, {0.03125, 0.069877124297, 0.5, 0.707106781187}},
                                         CurveCase{5, {0.001533980186, 0.007669828740, 0.382683432365, 0.707106781187}},
                                         // Codes outside 1..5 leave the value linear.
                                         CurveCase{0, {1.0 / 1024, 5.0 / 1024, 0.25, 0.5}},
                                         CurveCase{6, {1.0 / 1024, 5.0 / 1024, 0.25, 0.5}},
                                         CurveCase{-1, {1.0 / 1024, 5.0 / 1024, 0.25, 0.5}}),
                         [](const testing::TestParamInfo<CurveCase>& info) {
                           return info.param.Mode < 0 ? std::string("ModeMinus1") : "Mode" + std::to_string(info.param.Mode);
                         });

// ---- Release during the attack ----

TEST_F(VoiceEnvelopeTest, VolumeReleaseInAttackCarriesTheAmplitudeIntoDecibels) {
  // At linear 0.5 the release starts at 1 + (200/960) log10(0.5), whatever the modulation offset.
  for (double m : {0.0, -480.0, 300.0}) {
    SCOPED_TRACE(m);
    TVoiceEnvelope& e = MakeExact(true);
    EXPECT_EQ(Run(513).back(), 0.5);
    e.KeyOff(m);
    EXPECT_EQ(e.Segment(), esRelease);
    EXPECT_NEAR(e.Envelope.Value, 0.9372854175700039, 1e-12);
    EXPECT_NEAR(Run(1)[0], 0.9372854175700039 - OneStep, 1e-12);
  }
}

TEST_F(VoiceEnvelopeTest, VolumeReleaseCarryUsesTheCurvedAttackOutput) {
  TVoiceEnvelope& e = MakeExact(true, 3);
  EXPECT_EQ(Run(513).back(), 0.25);
  e.KeyOff();
  EXPECT_NEAR(e.Envelope.Value, 0.8745708351400079, 1e-12);  // 1 + (200/960) log10(0.25)
}

TEST_F(VoiceEnvelopeTest, ModulationReleaseInAttackStartsFromTheLinearValue) {
  TVoiceEnvelope& e = MakeExact(false);
  Skip(513);
  e.KeyOff(-480.0);
  EXPECT_EQ(Run(1)[0], 0.5 - OneStep);
}

TEST_F(VoiceEnvelopeTest, ReleaseOfOneSecondFromHalfLevelEndsAfter690Steps) {
  TVoiceEnvelope& e = Make(true, 44100);
  e.SetDelay(-12000);
  e.SetAttack(-12000, 0);
  e.SetHold(-12000, 0, 60);
  e.SetDecay(-12000, 0, 60, 0);
  e.SetSustain(500);
  e.SetRelease(0, 0);  // 1379 steps for a full fall
  e.KeyOn();
  Skip(20);
  ASSERT_EQ(e.Segment(), esSustain);
  e.KeyOff();
  int steps = 0;
  double last = 0.5;
  while (!e.Finished()) {
    last = e.Process();
    ++steps;
    if (!e.Finished()) {
      EXPECT_GT(last, 0.0);
    }
  }
  EXPECT_EQ(steps, 690);  // 0.5 * 1379 = 689.5
  EXPECT_EQ(last, 0.0);
}

// ---- Point envelopes ----

TEST_F(VoiceEnvelopeTest, PointEnvelopeInterpolatesLinearlyBetweenPointsAndEnds) {
  TVoiceEnvelope& e = Make(true, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 1, 0.5), Point(1, 2, 0.25)};
  e.SetLayerEnvelope(&List);
  for (int pass = 0; pass < 2; ++pass) {  // KeyOn restarts it
    SCOPED_TRACE(pass);
    e.KeyOn();
    const std::vector<double> out = Run(2049);
    for (int k = 0; k < 1024; ++k) {
      ASSERT_NEAR(out[k], 0.5 * k * OneStep, 1e-7) << k;
      ASSERT_NEAR(out[1024 + k], 0.5 - 0.25 * k * OneStep, 1e-7) << k;
    }
    EXPECT_EQ(out[2048], out[2047]);  // the step that finds no further point keeps the output
    EXPECT_TRUE(e.EndOfEnvelope);
    EXPECT_TRUE(e.Finished());
  }
}

TEST_F(VoiceEnvelopeTest, PointEnvelopeStaysInStateZeroUntilKeyOff) {
  TVoiceEnvelope& e = Make(true, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 1, 1.0), Point(1, 2, 0.25)};
  e.SetLayerEnvelope(&List);
  e.KeyOn();
  Skip(10);
  EXPECT_EQ(e.Segment(), esDelay);
  const double before = e.Output();
  e.KeyOff(-480.0);  // no attack carry for a point list
  EXPECT_EQ(e.Segment(), esRelease);
  EXPECT_FALSE(e.Finished());
  EXPECT_NEAR(Run(1)[0], before + (1.0) * OneStep, 1e-7);
}

struct InterpolationCase {
  int32_t Mode;
  double At[4];  // t = 0, 0.25, 0.5, 0.75 on the segment 0.8 -> 0.4 between 0.2 and 1.0
};

class VoiceEnvelopeInterpolation : public VoiceEnvelopeTest, public testing::WithParamInterface<InterpolationCase> {};

TEST_P(VoiceEnvelopeInterpolation, UsesTheNeighbouringPoints) {
  const InterpolationCase& c = GetParam();
  Make(false, ExactRate);
  List.Active = true;
  List.Points = {Point(c.Mode, 0, 0.2), Point(c.Mode, 1, 0.8), Point(c.Mode, 2, 0.4), Point(c.Mode, 3, 1.0)};
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  const std::vector<double> out = Run(2048);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(out[1024 + 256 * i], c.At[i], 2e-6) << "t = " << i * 0.25;
}

INSTANTIATE_TEST_SUITE_P(Modes, VoiceEnvelopeInterpolation,
                         testing::Values(InterpolationCase{0, {0.8, 0.8, 0.8, 0.8}},
                                         InterpolationCase{1, {0.8, 0.7, 0.6, 0.5}},
                                         InterpolationCase{2, {0.8, 0.741421356, 0.6, 0.458578644}},
                                         InterpolationCase{3, {0.8, 0.75625, 0.6, 0.44375}},
                                         InterpolationCase{4, {0.8, 0.746875, 0.6, 0.453125}},
                                         // A mode a bank file should not hold: linear.
                                         InterpolationCase{9, {0.8, 0.7, 0.6, 0.5}}),
                         [](const testing::TestParamInfo<InterpolationCase>& info) {
                           return "Mode" + std::to_string(info.param.Mode);
                         });

TEST_F(VoiceEnvelopeTest, PointSustainLoopRepeatsUntilKeyOff) {
  Make(true, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 1, 0.5), Point(1, 2, 1.0), Point(1, 3, 0.0)};
  List.SustainLoopStart = 1;
  List.SustainLoopEnd = 2;
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  // After the segment to point 2 the loop replays the segment to point 1.
  EXPECT_EQ(SegmentTargets(1024 * 6), (std::vector<int32_t>{1, 2, 1, 2, 1, 2}));
  EXPECT_FALSE(Env->Finished());
  EXPECT_EQ(Env->Output(), Env->LastValue);

  Env->KeyOn();
  // Key-off inside the second pass of the segment to point 1: the loop is left at its end.
  EXPECT_EQ(SegmentTargets(1024 * 10, 1024 * 2 + 100), (std::vector<int32_t>{1, 2, 1, 2, 3}));
  EXPECT_TRUE(Env->Finished());
}

TEST_F(VoiceEnvelopeTest, PointLoopRepeatsAfterKeyOffToo) {
  Make(false, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 1, 0.5), Point(1, 2, 1.0), Point(1, 3, 0.0)};
  List.LoopStart = 2;
  List.LoopEnd = 3;
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  EXPECT_EQ(SegmentTargets(1024 * 7, 1024 * 3 + 5), (std::vector<int32_t>{1, 2, 3, 2, 3, 2, 3}));
  EXPECT_FALSE(Env->Finished());
}

TEST_F(VoiceEnvelopeTest, PointLoopBackToPointZeroEndsTheEnvelope) {
  Make(false, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 1, 0.5), Point(1, 2, 0.25)};
  List.LoopStart = 0;
  List.LoopEnd = 2;
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  EXPECT_EQ(SegmentTargets(1024 * 10), (std::vector<int32_t>{1, 2}));
  EXPECT_TRUE(Env->Finished());  // the segment from point 0 to point 0 has length 0
  EXPECT_EQ(Env->CurrentPoint, 0);
}

TEST_F(VoiceEnvelopeTest, PointListWithOnePointEndsAtTheFirstStep) {
  Make(true, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 1, 0.5)};
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  EXPECT_EQ(Run(1)[0], 0.0);
  EXPECT_TRUE(Env->Finished());
  EXPECT_TRUE(Env->EndOfEnvelope);
}

TEST_F(VoiceEnvelopeTest, InactivePointListLeavesTheSegmentEnvelope) {
  MakeExact(true);
  List.Points = {Point(1, 0, 0.5), Point(1, 1, 0.5)};
  Env->SetLayerEnvelope(&List);
  EXPECT_EQ(Run(3).back(), 2 * OneStep);
}

TEST_F(VoiceEnvelopeTest, PointTimesRoundToSteps) {
  // (seconds * R + 16) div 32: 1 s at 44100 Hz is 1378.14 -> 1378 steps.
  Make(false, 44100);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 1, 0.5)};
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  Env->Process();
  EXPECT_EQ(Env->x1, 0);
  EXPECT_EQ(Env->x2, 1378);
  EXPECT_EQ(Env->FrameRemain, 1377);
}

TEST_F(VoiceEnvelopeTest, LongPointTimesDoNotOverflow) {
  // 100000 s at 44100 Hz is 4.41e9 frames: beyond 32 bits before the division.
  Make(false, 44100);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 100000, 0.5)};
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  Env->Process();
  EXPECT_EQ(Env->x2, 137812500);  // (100000 * 44100 + 16) div 32
  EXPECT_EQ(Env->FrameRemain, 137812499);
}

TEST_F(VoiceEnvelopeTest, PointSegmentGoingBackInTimeIsSkipped) {
  Make(false, ExactRate);
  List.Active = true;
  List.Points = {Point(1, 0, 0.0), Point(1, 2, 0.5), Point(1, 1, 0.75), Point(1, 3, 0.25)};
  Env->SetLayerEnvelope(&List);
  Env->KeyOn();
  const std::vector<double> out = Run(2048 + 2);
  EXPECT_EQ(out[2048], out[2047]);  // the backward segment to point 2 yields nothing
  EXPECT_EQ(Env->CurrentPoint, 3);
  EXPECT_NEAR(out[2049], 0.75, 1e-7);  // the segment from point 2 (1 s) to point 3 (3 s) starts
  EXPECT_EQ(Env->FrameRemain, 2047);
}

}  // namespace
}  // namespace kelvane::test
