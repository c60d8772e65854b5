#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "synth/chorus.h"
#include "synth/fpu.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

// Windowed-sinc weight of the interpolator at distance x (frames) from the read point.
double KernelWeight(double x) {
  if (std::fabs(x) < 1e-6) return 1.0;
  return std::sin(std::numbers::pi * x) / (std::numbers::pi * x) * (std::cos(2.0 * std::numbers::pi * x / 5.0) + 1.0) *
         0.5;
}

class ChorusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SIMDFlushToZero();
    synth = std::make_unique<TSynth>();
  }

  TChorus& Chorus() { return *synth->Chorus; }

  // Clear lines and a forced set with one unmodulated line (or more).
  void ForceLines(int32_t rate, double depthMS, double feedBack, int32_t lines = 1, int32_t waveType = 0) {
    synth->SetSampleRate(rate);
    Chorus().Init();
    TChorusSettings& s = Chorus().Settings;
    s.Force = true;
    s.WaveType = waveType;
    s.DepthMS = depthMS;
    s.Gain = 1.0;
    s.FeedBack = feedBack;
    s.ReverbSend = 0.0;
    s.SpeedHz = 0.0;
    s.NumberBlocks = lines;
    Chorus().Phase = 0.0;
    Chorus().Update();
  }

  // Runs the chorus over Input in sub-blocks of at most 4096 frames.
  void Run(const std::vector<TBufferSample>& input) {
    out.assign(input.size(), TBufferSample{});
    reverb.assign(input.size(), TBufferSample{});
    for (size_t offset = 0; offset < input.size(); offset += MaxBlockSamples) {
      const auto n = static_cast<int32_t>(std::min<size_t>(MaxBlockSamples, input.size() - offset));
      Chorus().Process(input.data() + offset, out.data() + offset, reverb.data() + offset, n);
    }
  }

  static std::vector<TBufferSample> Impulse(size_t length, float left = 1.0f, float right = 1.0f) {
    std::vector<TBufferSample> input(length);
    input[0] = {{{left, right}}};
    return input;
  }

  std::unique_ptr<TSynth> synth;
  std::vector<TBufferSample> out, reverb;
};

TEST_F(ChorusTest, PowerOnIsChorusTypeTwoWithAHannWindowedSincKernel) {
  TChorus& c = Chorus();
  EXPECT_TRUE(c.Active);
  EXPECT_FALSE(c.Settings.Force);
  EXPECT_DOUBLE_EQ(c.FeedBack, 8 * 0.00763);
  EXPECT_DOUBLE_EQ(c.SpeedHz, 0.366);
  EXPECT_DOUBLE_EQ(c.DepthMS, 6.25);
  EXPECT_EQ(c.ReverbSend, 0.0);
  EXPECT_EQ(c.Gain, 1.0);
  EXPECT_EQ(c.WaveType, 0);
  EXPECT_EQ(c.NumberBlocks, 3);
  EXPECT_DOUBLE_EQ(c.InvNumberBlocks, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(c.PhaseIncrement, 0.366 / 44100);
  EXPECT_FLOAT_EQ(static_cast<float>(c.ModulationDepthSamples), 6.25f * 44.1f);

  for (int t = 0; t < 5; t++) {
    for (int j : {0, 1, 77, 128, 200, 255}) {
      const double x = t + j / 256.0 - 2.5;
      EXPECT_NEAR(c.SINCTable[t][j], KernelWeight(x), 1e-6) << t << "," << j;
    }
  }
  EXPECT_EQ(c.SINCTable[2][128], 1.0f);           // x = 0
  EXPECT_NEAR(c.SINCTable[0][0], 0.0f, 1e-7);     // x = -2.5: window edge
  for (auto* line : c.ChorusBuffer) EXPECT_EQ(reinterpret_cast<uintptr_t>(line) % 16, 0u);
}

TEST_F(ChorusTest, GM2TypesSetTheirParametersAndDelaySweep) {
  const struct {
    int type, feedback, rate, depth, send;
  } types[] = {{0, 0, 3, 5, 0}, {1, 5, 9, 19, 0}, {2, 8, 3, 19, 0}, {3, 16, 9, 16, 0}, {4, 64, 2, 24, 0}, {5, 112, 1, 5, 0}};
  const int32_t slot[1] = {130}, parameter[1] = {0};
  for (const auto& row : types) {
    SCOPED_TRACE(row.type);
    Chorus().GeneralMIDISettings.NumberBlocks = 1;  // types leave the line count alone
    const int32_t value[1] = {row.type};
    synth->GlobalParameterControlChange(slot, parameter, value);
    TChorus& c = Chorus();
    EXPECT_DOUBLE_EQ(c.FeedBack, row.feedback * 0.00763);
    EXPECT_DOUBLE_EQ(c.SpeedHz, row.rate * 0.122);
    EXPECT_DOUBLE_EQ(c.DepthMS, (row.depth + 1) / 3.2);
    EXPECT_DOUBLE_EQ(c.ReverbSend, row.send * 0.00787);
    EXPECT_EQ(c.NumberBlocks, 1);
    const double depthFrames = (row.depth + 1) / 3.2 * 44.1;
    EXPECT_NEAR(c.ModulationDepthSamples, depthFrames, 1e-3);

    // The sine LFO sweeps the delay from 2.5 frames (phase 3/4) to depth + 2.5 (phase 1/4).
    for (const double phase : {0.25, 0.75}) {
      c.Init();  // clears the lines; back to type 2 with 3 lines
      c.GeneralMIDISettings.NumberBlocks = 1;
      synth->GlobalParameterControlChange(slot, parameter, value);
      c.Phase = phase;
      Run(Impulse(600));
      const auto peak = std::max_element(out.begin(), out.end(), [](const auto& a, const auto& b) {
                          return std::fabs(a.Left) < std::fabs(b.Left);
                        }) - out.begin();
      const double expected = (phase == 0.25 ? depthFrames : 0.0) + 2.5;
      EXPECT_NEAR(static_cast<double>(peak), expected, 1.0) << "phase " << phase;
      for (const auto& f : out) ASSERT_TRUE(std::isfinite(f.Left) && std::isfinite(f.Right));
    }
  }

  // A type outside the table changes nothing.
  const TChorusSettings before = Chorus().GeneralMIDISettings;
  const int32_t six[1] = {6};
  synth->GlobalParameterControlChange(slot, parameter, six);
  EXPECT_EQ(Chorus().GeneralMIDISettings.FeedBack, before.FeedBack);
  EXPECT_EQ(Chorus().GeneralMIDISettings.SpeedHz, before.SpeedHz);
  EXPECT_EQ(Chorus().GeneralMIDISettings.DepthMS, before.DepthMS);
}

TEST_F(ChorusTest, ImpulseResponseHasTheDelayOfTheDepthAndFeedsBack) {
  // 10.03125 ms at 32 kHz = 321 frames of depth; at LFO value 0 the read point
  // lies half of it plus 2.5 frames back: exactly 163 frames.
  ForceLines(32000, 10.03125, 0.5);
  Chorus().Settings.Gain = 0.5;
  Chorus().Settings.ReverbSend = 0.25;
  Chorus().Update();
  Run(Impulse(600, 1.0f, -1.0f));
  for (size_t n = 0; n < out.size(); n++) {
    const double echo = n == 163 ? 1.0 : n == 326 ? 0.5 : n == 489 ? 0.25 : 0.0;
    ASSERT_NEAR(out[n].Left, 0.5 * echo, 1e-6) << n;
    ASSERT_NEAR(out[n].Right, -0.5 * echo, 1e-6) << n;
    ASSERT_NEAR(reverb[n].Left, 0.25 * echo, 1e-6) << n;
  }

  // 10 ms = 320 frames: a read point half-way between frames (162.5 back),
  // so the impulse spreads over five taps with the kernel's weights.
  ForceLines(32000, 10.0, 0.0);
  Run(Impulse(400));
  for (size_t n = 0; n < out.size(); n++) {
    const double expected = (n >= 160 && n <= 164) ? KernelWeight(static_cast<double>(n) - 162.5) : 0.0;
    ASSERT_NEAR(out[n].Left, expected, 1e-6) << n;
  }
}

TEST_F(ChorusTest, LinesAreSpreadOverTheLFOCycleAndSummed) {
  // Ramp LFO (wave type 20: value = phase): three lines at phases 0, 1/3, 2/3
  // read 163, 216.5 and 270 frames back.
  ForceLines(32000, 10.03125, 0.0, 3, 20);
  Run(Impulse(400));
  EXPECT_NEAR(out[163].Left, 1.0, 1e-6);
  EXPECT_NEAR(out[270].Left, 1.0, 1e-6);
  for (int n = 214; n <= 218; n++) EXPECT_NEAR(out[n].Left, KernelWeight(n - 216.5), 1e-6) << n;
  double total = 0.0;
  for (const auto& f : out) total += f.Left;
  EXPECT_NEAR(total, 3.0, 0.05);  // sum over the lines, not their mean
}

TEST_F(ChorusTest, NoLinesIsSilentButTimeMovesOn) {
  ForceLines(44100, 8.0, 0.0, 0);
  Chorus().Settings.SpeedHz = 1.0;
  Chorus().Update();
  std::vector<TBufferSample> input(1000, TBufferSample{{{0.5f, 0.5f}}});
  Run(input);
  for (const auto& f : out) ASSERT_EQ(f.Left, 0.0f);
  EXPECT_EQ(Chorus().InvNumberBlocks, 0.0);
  EXPECT_EQ(Chorus().Counter, 1000);
  EXPECT_NEAR(Chorus().Phase, 1000.0 / 44100.0, 1e-12);
}

TEST_F(ChorusTest, DepthIsClampedToTheLineLength) {
  ForceLines(48000, 100.0, 0.0);  // 4800 frames
  EXPECT_EQ(Chorus().ModulationDepthSamples, 4096.0);
  Chorus().Settings.DepthMS = -5.0;
  Chorus().Settings.NumberBlocks = 40;
  Chorus().Update();
  EXPECT_EQ(Chorus().ModulationDepthSamples, 0.0);
  EXPECT_EQ(Chorus().NumberBlocks, 32);

  // Full depth and every line, at the extreme of the sweep: finite output.
  Chorus().Settings.DepthMS = 1000.0;
  Chorus().Settings.SpeedHz = 5.0;
  Chorus().Settings.FeedBack = 0.969;
  Chorus().Update();
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<TBufferSample> noise(20000);
  for (auto& f : noise) f = {{{dist(rng), dist(rng)}}};
  Run(noise);
  for (const auto& f : out) ASSERT_TRUE(std::isfinite(f.Left) && std::isfinite(f.Right));
}

TEST_F(ChorusTest, GM2ParametersTakeEffectUnlessABankForcesItsSet) {
  const int32_t slot[1] = {130};
  const int32_t parameters[4] = {1, 2, 3, 4};
  const int32_t values[4] = {64, 31, 10, 127};
  synth->GlobalParameterControlChange(slot, parameters, values);
  TChorus& c = Chorus();
  EXPECT_DOUBLE_EQ(c.SpeedHz, 64 * 0.122);
  EXPECT_DOUBLE_EQ(c.PhaseIncrement, 64 * 0.122 / 44100);
  EXPECT_DOUBLE_EQ(c.DepthMS, 10.0);
  EXPECT_DOUBLE_EQ(c.FeedBack, 10 * 0.00763);
  EXPECT_DOUBLE_EQ(c.ReverbSend, 127 * 0.00787);

  // The send to reverb carries the wet signal.
  Run(Impulse(1000));
  double sent = 0.0;
  for (const auto& f : reverb) sent += f.Left;
  EXPECT_GT(sent, 1.0);

  // A value wider than 7 bits is taken as 127, never as a runaway feedback.
  const int32_t feedback[1] = {3}, wide[1] = {16383};
  synth->GlobalParameterControlChange(slot, feedback, wide);
  EXPECT_DOUBLE_EQ(c.FeedBack, 127 * 0.00763);

  c.Settings = TChorusSettings{};
  c.Settings.Force = true;
  c.Settings.SpeedHz = 1.5;
  c.Update();
  const int32_t rate[1] = {1}, rateValue[1] = {100};
  synth->GlobalParameterControlChange(slot, rate, rateValue);
  EXPECT_DOUBLE_EQ(c.GeneralMIDISettings.SpeedHz, 100 * 0.122);
  EXPECT_EQ(c.SpeedHz, 1.5);

  // A longer slot path or another slot is not the chorus.
  const int32_t longPath[2] = {130, 0};
  c.Settings.Force = false;
  synth->GlobalParameterControlChange(longPath, rate, rateValue);
  c.GlobalParameterControlChange(std::span<const int32_t>(longPath), 1, 5);
  c.GlobalParameterControlChange(std::span<const int32_t>(longPath, 1), 7, 5);  // unknown parameter
  EXPECT_DOUBLE_EQ(c.GeneralMIDISettings.SpeedHz, 100 * 0.122);
}

// The chorus frame by frame with the library sine, on a second instance.
void ReferenceProcess(TChorus& C, const TBufferSample* In, TBufferSample* Out, TBufferSample* Reverb, int32_t Samples) {
  auto frac = [](double x) { return x - std::floor(x); };
  C.AudioActiveStateTracker.ScanInput(In, Samples);
  if (!C.AudioActiveStateTracker.Active()) {
    C.Counter = (C.Counter + Samples) & TChorus::LineMask;
    C.Phase = frac(C.Phase + C.PhaseIncrement * Samples);
    return;
  }
  const double depth256 = C.ModulationDepthSamples * TChorus::SINCSteps;
  for (int32_t i = 0; i < Samples; i++) {
    double accLeft = 0.0, accRight = 0.0;
    for (int32_t b = 0; b < C.NumberBlocks; b++) {
      const double p = frac(C.Phase + b * C.InvNumberBlocks);
      double v = p;
      if (C.WaveType == 1) {
        v = 1.0 - std::fabs(p - 0.5) * 2.0;
      } else if (C.WaveType >= 0 && C.WaveType <= 16) {
        v = std::sin(2.0 * std::numbers::pi * p);
      }
      const auto d = static_cast<int32_t>(std::lrint((v * 0.5 + 0.5) * depth256));
      const int32_t q = C.Counter * TChorus::SINCSteps - d;
      const int32_t f = q & (TChorus::SINCSteps - 1);
      const int32_t k = q >> 8;
      TBufferSample* line = C.ChorusBuffer[static_cast<size_t>(b)];
      double sLeft = 0.0, sRight = 0.0;
      for (int32_t t = 0; t < TChorus::SINCTaps; t++) {
        const TBufferSample& s = line[(k - t) & TChorus::LineMask];
        const double w = C.SINCTable[t][f];
        sLeft += s.Left * w;
        sRight += s.Right * w;
      }
      accLeft += sLeft;
      accRight += sRight;
      line[C.Counter].Left = static_cast<float>(In[i].Left + sLeft * C.FeedBack);
      line[C.Counter].Right = static_cast<float>(In[i].Right + sRight * C.FeedBack);
    }
    Out[i].Left = static_cast<float>(Out[i].Left + accLeft * C.Gain);
    Out[i].Right = static_cast<float>(Out[i].Right + accRight * C.Gain);
    Reverb[i].Left = static_cast<float>(Reverb[i].Left + accLeft * C.ReverbSend);
    Reverb[i].Right = static_cast<float>(Reverb[i].Right + accRight * C.ReverbSend);
    C.AudioActiveStateTracker.ScanSingleOutput(
        TBufferSample{{{static_cast<float>(accLeft), static_cast<float>(accRight)}}});
    C.Counter = (C.Counter + 1) & TChorus::LineMask;
    C.Phase = frac(C.Phase + C.PhaseIncrement);
  }
}

// The block kernel with its quick sine must match the frame-by-frame chorus
// bit for bit (rendered songs are compared with stored output).
TEST_F(ChorusTest, MatchesTheFrameByFrameChorusExactly) {
  auto other = std::make_unique<TSynth>();
  // 35073/256 frames: at LFO phase 1/2 (the LFO standing still there) the
  // delay lies on a half step, where the library sine's last bit decides the
  // rounding.
  const double halfStepDepthMS = 35073.0 / 256.0 / 44.1;
  const struct {
    int32_t waveType, lines;
    double speedHz, depthMS, feedBack, phase;
  } cases[] = {
      {0, 3, 0.366, 6.25, 0.061, 0.0},           // the power-on type
      {0, 7, 47.0, 92.0, 0.5, 0.0},              // a fast, deep sine sweeps many delays
      {5, 2, 0.0, halfStepDepthMS, 0.2, 0.5},    // delay on a half step
      {5, 2, 0.0, halfStepDepthMS, 0.2, 0.0},    // the same on the second line
      {0, 3, -2.5, 30.0, 0.2, 0.0},              // phase running backwards
      {0, 2, 1.0e9, 30.0, 0.1, 0.0},             // phase steps beyond a whole cycle
      {1, 4, 13.0, 20.0, 0.3, 0.0},              // triangle
      {20, 2, 9.0, 30.0, 0.2, 0.0},              // ramp
      {0, 32, 5.0, 80.0, 0.4, 0.0},              // every line
  };
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> level(-0.5f, 0.5f);
  std::uniform_int_distribution<int32_t> cut(1, 900);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "wave " << c.waveType << ", speed " << c.speedHz << ", phase " << c.phase);
    for (TChorus* chorus : {&Chorus(), other->Chorus.get()}) {
      chorus->Init();
      TChorusSettings& s = chorus->Settings;
      s.Force = true;
      s.WaveType = c.waveType;
      s.NumberBlocks = c.lines;
      s.SpeedHz = c.speedHz;
      s.DepthMS = c.depthMS;
      s.FeedBack = c.feedBack;
      s.ReverbSend = 0.3;
      s.Gain = 0.8;
      chorus->Phase = c.phase;
      chorus->Update();
    }
    std::vector<TBufferSample> input(30000), out1(input.size()), out2(input.size());
    std::vector<TBufferSample> reverb1(input.size()), reverb2(input.size());
    for (size_t n = 0; n < 12000; n++) input[n] = {{{level(rng), level(rng)}}};
    for (size_t offset = 0; offset < input.size();) {
      const auto n = std::min<int32_t>(cut(rng), static_cast<int32_t>(input.size() - offset));
      Chorus().Process(input.data() + offset, out1.data() + offset, reverb1.data() + offset, n);
      ReferenceProcess(*other->Chorus, input.data() + offset, out2.data() + offset, reverb2.data() + offset, n);
      ASSERT_EQ(Chorus().AudioActiveStateTracker.fOutputSilence, other->Chorus->AudioActiveStateTracker.fOutputSilence);
      offset += n;
    }
    EXPECT_EQ(Chorus().Phase, other->Chorus->Phase);
    EXPECT_EQ(Chorus().Counter, other->Chorus->Counter);
    for (size_t n = 0; n < out1.size(); n++) {
      ASSERT_EQ(out1[n].Left, out2[n].Left) << n;
      ASSERT_EQ(out1[n].Right, out2[n].Right) << n;
      ASSERT_EQ(reverb1[n].Left, reverb2[n].Left) << n;
      ASSERT_EQ(reverb1[n].Right, reverb2[n].Right) << n;
    }
  }
}

TEST_F(ChorusTest, IdlesAfterTenSilentSecondsAndWakesWithItsOldLines) {
  TChorus& c = Chorus();
  Run(Impulse(4096));
  EXPECT_TRUE(c.AudioActiveStateTracker.Active());
  // 10 s of silent input at 44.1 kHz, plus the short tail.
  const std::vector<TBufferSample> silence(44100 * 11);
  Run(silence);
  EXPECT_FALSE(c.AudioActiveStateTracker.Active());

  // Idle: nothing is processed, but time moves on.
  const int32_t counter = c.Counter;
  const double phase = c.Phase;
  for (auto* line : c.ChorusBuffer) std::fill_n(line, TChorus::LineLength, TBufferSample{{{0.25f, 0.25f}}});
  Run(std::vector<TBufferSample>(1000));
  for (const auto& f : out) ASSERT_EQ(f.Left, 0.0f);
  EXPECT_EQ(c.Counter, (counter + 1000) & 4095);
  EXPECT_NEAR(c.Phase, std::fmod(phase + 1000 * c.PhaseIncrement, 1.0), 1e-9);
  EXPECT_EQ(c.ChorusBuffer[0][c.Counter].Left, 0.25f);

  // A block just above -120 dB wakes it; the lines still hold what they held.
  std::vector<TBufferSample> quiet(64);
  quiet[10].Left = 0.000002f;
  Run(quiet);
  EXPECT_TRUE(c.AudioActiveStateTracker.Active());
  EXPECT_NEAR(out[0].Left, 3 * 0.25, 0.01);  // three lines reading 0.25
}

TEST_F(ChorusTest, SampleRateChangesRescaleDepthAndRate) {
  for (int32_t rate : {22050, 48000, 96000}) {
    SCOPED_TRACE(rate);
    synth->SetSampleRate(rate);
    EXPECT_FLOAT_EQ(static_cast<float>(Chorus().ModulationDepthSamples), static_cast<float>(6.25 * rate * 0.001));
    EXPECT_DOUBLE_EQ(Chorus().PhaseIncrement, 0.366 / rate);
  }
  // The delay follows the rate: 10.03125 ms is 642 frames of depth at 64 kHz,
  // read 321 + 2.5 frames back; half of it reads 163 frames back.
  ForceLines(64000, 10.03125, 0.0);
  Run(Impulse(400));
  for (int n = 319; n <= 327; n++) {
    EXPECT_NEAR(out[n].Left, (n >= 321 && n <= 325) ? KernelWeight(n - 323.5) : 0.0, 1e-6) << n;
  }
  ForceLines(64000, 10.03125 / 2, 0.0);
  Run(Impulse(400));
  EXPECT_NEAR(out[163].Left, 1.0, 1e-6);
}

}  // namespace
}  // namespace kelvane
