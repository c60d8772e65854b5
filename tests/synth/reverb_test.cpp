#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "synth/fpu.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

const int32_t ReverbSlot[1] = {129};

// Damping coefficient of the comb low-pass for a corner frequency.
float DampFor(double hz, double rate) {
  const double c = 2.0 - std::cos(2.0 * std::numbers::pi * hz / rate);
  return std::clamp(static_cast<float>(c - std::sqrt(c * c - 1.0)), 0.0f, 1.0f);
}

class ReverbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SIMDFlushToZero();
    synth = std::make_unique<TSynth>();
  }

  TReverb& Reverb() { return *synth->Reverb; }

  void Gpc(int32_t parameter, int32_t value) {
    const int32_t p[1] = {parameter}, v[1] = {value};
    synth->GlobalParameterControlChange(ReverbSlot, p, v);
  }

  // Runs the reverb over Input in sub-blocks of at most 4096 frames.
  void Run(std::vector<TBufferSample> input) {
    out.assign(input.size(), TBufferSample{});
    for (size_t offset = 0; offset < input.size(); offset += MaxBlockSamples) {
      const auto n = static_cast<int32_t>(std::min<size_t>(MaxBlockSamples, input.size() - offset));
      Reverb().Process(input.data() + offset, out.data() + offset, n);
    }
  }

  static std::vector<TBufferSample> Impulse(size_t length) {
    std::vector<TBufferSample> input(length);
    input[0] = {{{1.0f, 0.0f}}};
    return input;
  }

  size_t FirstNonZero() const {
    for (size_t n = 0; n < out.size(); n++) {
      if (out[n].Left != 0.0f || out[n].Right != 0.0f) return n;
    }
    return out.size();
  }

  std::unique_ptr<TSynth> synth;
  std::vector<TBufferSample> out;
};

TEST_F(ReverbTest, PowerOnIsReverbTypeFour) {
  TReverb& r = Reverb();
  EXPECT_TRUE(r.Active);
  EXPECT_FALSE(r.Settings.Force);
  EXPECT_FLOAT_EQ(r.Gain, 0.0135f);
  EXPECT_FLOAT_EQ(r.RoomSize, static_cast<float>(1.0 - 0.17 / 1.8));
  EXPECT_FLOAT_EQ(r.Width, 0.8f);
  EXPECT_EQ(r.Wet, 1.0f);
  EXPECT_EQ(r.Stretch, 1.0f);
  EXPECT_FLOAT_EQ(r.Wet1, 0.9f);
  EXPECT_FLOAT_EQ(r.Wet2, 0.1f);
  EXPECT_EQ(r.Damp, DampFor(24000, 44100));
  EXPECT_DOUBLE_EQ(r.GeneralMIDISettings.DelayTime, 0.03);
  EXPECT_EQ(r.DelayBufferSize, 1323);
  for (const auto& pair : r.Comb) {
    for (const auto& comb : pair) {
      EXPECT_EQ(comb.Feedback, r.RoomSize);
      EXPECT_EQ(comb.Damp1, r.Damp);
      EXPECT_EQ(comb.Damp2, 1.0f - r.Damp);
    }
  }
  for (const auto& pair : r.AllPass) {
    for (const auto& allPass : pair) EXPECT_EQ(allPass.Feedback, 0.5f);
  }
}

TEST_F(ReverbTest, GM2TypesSetTheirParameters) {
  const struct {
    int value;
    double time, dampHz, width, gain, preDelay;
  } types[] = {{0, 1.1, 5000, 0.5, 4.0, 0},     {1, 1.3, 5000, 0.5, 3.0, 0},     {2, 1.5, 5000, 0.5, 2.0, 0},
               {3, 1.8, 24000, 0.5, 1.5, 0.02}, {4, 1.8, 24000, 0.8, 1.5, 0.03}, {8, 1.3, 2500, 0.5, 6.0, 0}};
  for (int32_t rate : {44100, 48000}) {
    synth->SetSampleRate(rate);
    for (const auto& row : types) {
      SCOPED_TRACE(testing::Message() << rate << " type " << row.value);
      Gpc(0, row.value);
      const TReverbSettings& s = Reverb().GeneralMIDISettings;
      EXPECT_DOUBLE_EQ(s.Gain, row.gain * 0.009);
      EXPECT_DOUBLE_EQ(s.RoomSize, 1.0 - 0.17 / row.time);
      EXPECT_EQ(s.Damp, DampFor(row.dampHz, rate));
      EXPECT_DOUBLE_EQ(s.Width, row.width);
      EXPECT_DOUBLE_EQ(s.DelayTime, row.preDelay);
      EXPECT_EQ(s.Wet, 1.0);
      EXPECT_EQ(s.Stretch, 1.0);
      EXPECT_EQ(Reverb().DelayBufferSize, static_cast<int32_t>(row.preDelay * rate));
    }
  }
  // Values between the table's rows change nothing.
  Gpc(0, 3);
  for (int32_t value : {5, 6, 7, 9, 127, -1}) {
    Gpc(0, value);
    EXPECT_DOUBLE_EQ(Reverb().GeneralMIDISettings.DelayTime, 0.02) << value;
    EXPECT_DOUBLE_EQ(Reverb().GeneralMIDISettings.Gain, 1.5 * 0.009) << value;
  }
}

TEST_F(ReverbTest, FirstEchoComesAfterPreDelayAndTheShortestComb) {
  const struct {
    int32_t rate, preDelay, comb;
  } cases[] = {{44100, 1323, 1116}, {48000, 1440, 1215}, {22050, 661, 558}, {96000, 2880, 2429}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    synth->SetSampleRate(c.rate);
    synth->Reset();  // type 4 with its damping at this rate
    EXPECT_EQ(Reverb().Comb[0][0].Line.Size, c.comb);
    EXPECT_EQ(Reverb().DelayBufferSize, c.preDelay);
    Run(Impulse(static_cast<size_t>(c.preDelay + c.comb + 100)));
    const size_t first = static_cast<size_t>(c.preDelay + c.comb);
    ASSERT_EQ(FirstNonZero(), first);
    // Mono sum times gain, through four all-passes (sign restored), spread by width 0.8.
    EXPECT_FLOAT_EQ(out[first].Left, 0.0135f * 0.9f);
    EXPECT_FLOAT_EQ(out[first].Right, 0.0135f * 0.1f);
  }

  // Tunings scale with the rate: first left comb and first right all-pass.
  const struct {
    int32_t rate, comb, allPass;
  } sizes[] = {{44100, 1116, 579}, {48000, 1215, 630}};
  for (const auto& s : sizes) {
    synth->SetSampleRate(s.rate);
    EXPECT_EQ(Reverb().Comb[0][0].Line.Size, s.comb);
    EXPECT_EQ(Reverb().AllPass[0][1].Line.Size, s.allPass);
    for (int line = 0; line < TReverb::NumberOfCombs; line++) {
      for (int ch = 0; ch < 2; ch++) {
        EXPECT_EQ(Reverb().Comb[line][ch].Line.Size, std::lround(TReverb::CombTunings[line][ch] * s.rate / 44100.0));
      }
    }
  }
}

TEST_F(ReverbTest, FullWidthKeepsTheChannelsApart) {
  TReverb& r = Reverb();
  r.Settings = TReverbSettings{};
  r.Settings.Force = true;  // width 1, no pre-delay
  r.Update();
  EXPECT_EQ(r.Wet2, 0.0f);
  Run(Impulse(1200));
  // Left hears its shortest comb (1116) first, right its own (1139).
  EXPECT_EQ(FirstNonZero(), 1116u);
  EXPECT_FLOAT_EQ(out[1116].Left, 0.015f * 1.5f);
  for (size_t n = 0; n < 1139; n++) ASSERT_EQ(out[n].Right, 0.0f) << n;
  EXPECT_FLOAT_EQ(out[1139].Right, 0.015f * 1.5f);
}

// Slope in dB per second of the output energy between two times after an impulse.
double DecaySlopeDbPerSecond(const std::vector<TBufferSample>& out, int32_t rate, double from, double to) {
  const size_t window = 2048;
  std::vector<double> t, db;
  for (size_t start = static_cast<size_t>(from * rate); start + window <= static_cast<size_t>(to * rate);
       start += window) {
    double energy = 0.0;
    for (size_t n = start; n < start + window; n++) energy += double{out[n].Left} * out[n].Left + double{out[n].Right} * out[n].Right;
    t.push_back((start + window / 2.0) / rate);
    db.push_back(10.0 * std::log10(energy));
  }
  const double n = static_cast<double>(t.size());
  double st = 0, sd = 0, stt = 0, std_ = 0;
  for (size_t i = 0; i < t.size(); i++) {
    st += t[i];
    sd += db[i];
    stt += t[i] * t[i];
    std_ += t[i] * db[i];
  }
  return (n * std_ - st * sd) / (n * stt - st * st);
}

TEST_F(ReverbTest, TailDecaysAtTheRateOfItsReverbTime) {
  // Each comb loses its loop gain 1 - 0.17 / T once per round trip, so the
  // tail's energy falls at 20 log10(g) dB per round trip: between the rate of
  // the longest comb (1640 frames) and that of the shortest (1116).
  const int32_t rate = 44100;
  double previous = -1e9;
  for (int32_t value : {20, 40, 60, 90}) {
    SCOPED_TRACE(value);
    Gpc(0, 0);
    Gpc(1, value);
    const double seconds = std::exp((value - 40) * 0.025);
    EXPECT_DOUBLE_EQ(Reverb().GeneralMIDISettings.RoomSize, 1.0 - 0.17 / seconds);
    const auto loopGain = static_cast<float>(1.0 - 0.17 / seconds);
    EXPECT_EQ(Reverb().Comb[7][1].Feedback, loopGain);
    const double perRoundTrip = 20.0 * std::log10(loopGain);
    Run(Impulse(static_cast<size_t>(rate * 2)));
    const double slope = DecaySlopeDbPerSecond(out, rate, 0.6, 1.6);
    EXPECT_LT(slope, perRoundTrip * rate / 1640.0);
    EXPECT_GT(slope, perRoundTrip * rate / 1116.0);
    EXPECT_GT(slope, previous);  // a longer reverb time decays more slowly
    previous = slope;
    for (const auto& f : out) ASSERT_TRUE(std::isfinite(f.Left) && std::isfinite(f.Right));
  }
  Gpc(1, 40);
  EXPECT_DOUBLE_EQ(Reverb().GeneralMIDISettings.RoomSize, 0.83);
  // A value wider than 7 bits is taken as 127, never as a gain above unity.
  Gpc(1, 100000);
  EXPECT_DOUBLE_EQ(Reverb().GeneralMIDISettings.RoomSize, 1.0 - 0.17 / std::exp(87 * 0.025));
}

TEST_F(ReverbTest, ParameterChangesClearTheTail) {
  Gpc(0, 2);  // no pre-delay
  Run(Impulse(3000));
  EXPECT_NE(out.back().Left, 0.0f);
  Gpc(1, 64);
  EXPECT_FLOAT_EQ(Reverb().RoomSize, static_cast<float>(1.0 - 0.17 / std::exp(24 * 0.025)));
  Run(std::vector<TBufferSample>(3000));
  for (const auto& f : out) ASSERT_EQ(f.Left, 0.0f);
  // Other parameters and other slots change nothing.
  const TReverbSettings before = Reverb().GeneralMIDISettings;
  Gpc(2, 10);
  const int32_t longPath[2] = {129, 1};
  Reverb().GlobalParameterControlChange(longPath, 1, 10);
  Reverb().GlobalParameterControlChange(std::span<const int32_t>(longPath, 1), 3, 10);
  EXPECT_EQ(Reverb().GeneralMIDISettings.RoomSize, before.RoomSize);
}

// The frame-by-frame form of the reverb, on a second instance's filters: the
// chunked kernel must match it bit for bit (the renderer's output is pinned).
void ReferenceProcess(TReverb& R, TBufferSample* In, TBufferSample* Out, int32_t Samples) {
  R.AudioActiveStateTracker.fSampleRate = R.Synth.SampleRate;
  R.AudioActiveStateTracker.ScanInput(In, Samples);
  if (!R.AudioActiveStateTracker.Active()) return;
  for (int32_t i = 0; i < Samples && R.DelayBufferSize > 0; i++) {
    std::swap(In[i], R.DelayBuffer[R.DelayBufferIndex]);
    if (++R.DelayBufferIndex >= R.DelayBufferSize) R.DelayBufferIndex = 0;
  }
  for (int32_t i = 0; i < Samples; i++) {
    const float x = (In[i].Left + In[i].Right) * R.Gain;
    float left = 0.0f, right = 0.0f;
    for (auto& pair : R.Comb) {
      left += pair[0].Process(x);
      right += pair[1].Process(x);
    }
    for (auto& pair : R.AllPass) {
      left = pair[0].Process(left);
      right = pair[1].Process(right);
    }
    R.AudioActiveStateTracker.ScanSingleOutput(TBufferSample{{{left, right}}});
    Out[i].Left += left * R.Wet1 + right * R.Wet2;
    Out[i].Right += right * R.Wet1 + left * R.Wet2;
  }
}

TEST_F(ReverbTest, MatchesTheFrameByFrameFiltersExactly) {
  auto other = std::make_unique<TSynth>();
  const struct {
    double stretch, roomSize, damp, width;
  } cases[] = {
      {1.0, 0.84, 0.2, 1.0},   // the default set
      {1e-9, 0.99, 0.7, 0.3},  // one-frame filters: every frame wraps
      {0.003, 0.9, 0.0, 0.5},  // filters of 1..5 frames, shorter than a chunk
  };
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> level(-0.5f, 0.5f);
  std::uniform_int_distribution<int32_t> cut(1, 700);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stretch);
    for (TReverb* r : {&Reverb(), other->Reverb.get()}) {
      r->Settings = TReverbSettings{};
      r->Settings.Force = true;
      r->Settings.Stretch = c.stretch;
      r->Settings.RoomSize = c.roomSize;
      r->Settings.Damp = c.damp;
      r->Settings.Width = c.width;
      r->Settings.DelayTime = 0.002;
      r->Update();
    }
    std::vector<TBufferSample> input(20000), out1(input.size()), out2(input.size());
    for (size_t n = 0; n < 6000; n++) input[n] = {{{level(rng), level(rng)}}};
    for (size_t offset = 0; offset < input.size();) {
      const auto n = std::min<int32_t>(cut(rng), static_cast<int32_t>(input.size() - offset));
      std::vector<TBufferSample> a(input.begin() + offset, input.begin() + offset + n), b = a;
      Reverb().Process(a.data(), out1.data() + offset, n);
      ReferenceProcess(*other->Reverb, b.data(), out2.data() + offset, n);
      ASSERT_EQ(Reverb().AudioActiveStateTracker.fOutputSilence, other->Reverb->AudioActiveStateTracker.fOutputSilence);
      offset += n;
    }
    for (size_t n = 0; n < out1.size(); n++) {
      ASSERT_EQ(out1[n].Left, out2[n].Left) << n;
      ASSERT_EQ(out1[n].Right, out2[n].Right) << n;
    }
  }
}

TEST_F(ReverbTest, IdlesAfterItsTailAndWakesOnInput) {
  TReverb& r = Reverb();
  Run(Impulse(4096));
  EXPECT_TRUE(r.AudioActiveStateTracker.Active());
  // The tail falls below -120 dB within a few seconds; ten more of silence idle it.
  Run(std::vector<TBufferSample>(44100 * 16));
  EXPECT_FALSE(r.AudioActiveStateTracker.Active());
  const float store = r.Comb[0][0].FilterStore;
  const int32_t index = r.Comb[0][0].Line.Index;
  Run(std::vector<TBufferSample>(5000));
  EXPECT_EQ(r.Comb[0][0].Line.Index, index);  // frozen
  EXPECT_EQ(r.Comb[0][0].FilterStore, store);

  Run(Impulse(1323 + 1116 + 1));
  EXPECT_TRUE(r.AudioActiveStateTracker.Active());
  EXPECT_FLOAT_EQ(out.back().Left, 0.0135f * 0.9f);
}

TEST_F(ReverbTest, ForcedSetsCannotBreakTheFilters) {
  TReverb& r = Reverb();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double stretch, delayTime, roomSize;
    int32_t combSize, preDelay;
  } cases[] = {
      {1e-9, 0.01, 0.84, 1, 441},                       // every filter keeps one frame
      {nan, nan, nan, 1, 0},                            // nothing defined: smallest filters, no pre-delay
      {1e12, 1e12, 5.0, 1 << 20, 1 << 20},              // capped lengths, loop gain capped at unity
      {2.0, -0.01, 0.84, 2232, 441},                    // negative pre-delay counts by its size
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stretch);
    r.Settings = TReverbSettings{};
    r.Settings.Force = true;
    r.Settings.Stretch = c.stretch;
    r.Settings.DelayTime = c.delayTime;
    r.Settings.RoomSize = c.roomSize;
    r.Update();
    EXPECT_EQ(r.Comb[0][0].Line.Size, c.combSize);
    EXPECT_GE(r.AllPass[3][0].Line.Size, 1);
    EXPECT_EQ(r.DelayBufferSize, c.preDelay);
    EXPECT_LE(std::fabs(r.Comb[0][0].Feedback), 1.0f);
    std::vector<TBufferSample> noise(8192);
    for (size_t n = 0; n < noise.size(); n++) noise[n] = {{{n % 7 == 0 ? 0.9f : -0.1f, 0.3f}}};
    Run(noise);
    for (const auto& f : out) ASSERT_TRUE(std::isfinite(f.Left) && std::isfinite(f.Right));
  }
}

}  // namespace
}  // namespace kelvane
