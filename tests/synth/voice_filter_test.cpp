#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "voice_test_support.h"

namespace kelvane {
namespace {

using test::TVoiceFixture;

constexpr double Pi = std::numbers::pi;

double CentsToHz(double cents) { return 440.0 * std::pow(2.0, (cents - 6900.0) / 1200.0); }
double HzToCents(double hz) { return 6900.0 + 1200.0 * std::log2(hz / 440.0); }
// The cutoff the filter uses: at most 0.45 of the rate.
double CutoffHz(double cents, double rate) { return std::min(CentsToHz(cents), 0.45 * rate); }

// Raw biquad of the design (b over a, output gain h), in double.
struct TRaw {
  double b0, b1, b2, a0, a1, a2, h;
};

TRaw Design(int32_t type, double fHz, double qCb, float baseQ, double g, double rate) {
  const double u = std::pow(10.0, (std::clamp(qCb / 10.0, 0.0, 96.0) - 3.01) / 20.0);
  const double w0 = 2.0 * Pi * fHz / rate;
  const double s = std::sin(w0), c = std::cos(w0);
  double alpha = s / (2.0 * u);
  double k = std::sqrt(2.0 * g);
  if (type >= 5) {
    const double b = std::clamp(static_cast<double>(baseQ) / 96.0, 1e-6, 1.0);
    const double w = 4.0 * std::pow(b, 4.0) + 0.1;
    alpha = s * std::sin(w * w0 / s);
    k = std::sqrt(2.0 * g) / w - g * g;
  }
  const double t = k * s;
  switch (type) {
    case 1: return {(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha, g / std::sqrt(u)};
    case 2: return {(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha, g / std::sqrt(u)};
    case 3: return {alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha, g};
    case 4: return {1, -2 * c, 1, 1 + alpha, -2 * c, 1 - alpha, g};
    case 5: return {1 + alpha * g, -2 * c, 1 - alpha * g, 1 + alpha / g, -2 * c, 1 - alpha / g, 1};
    case 6:
      return {g * ((g + 1) - (g - 1) * c + t), 2 * g * ((g - 1) - (g + 1) * c), g * ((g + 1) - (g - 1) * c - t),
              (g + 1) + (g - 1) * c + t,       -2 * ((g - 1) + (g + 1) * c),    (g + 1) + (g - 1) * c - t,
              1};
    default:
      return {g * ((g + 1) + (g - 1) * c + t), -2 * g * ((g - 1) + (g + 1) * c), g * ((g + 1) + (g - 1) * c - t),
              (g + 1) - (g - 1) * c + t,       2 * ((g - 1) - (g + 1) * c),      (g + 1) - (g - 1) * c - t,
              1};
  }
}

// Normalised coefficients as the filter stores them (feedback negated).
struct TCoefs {
  double a1, a2, b0, b1, b2;
};

TCoefs Normalise(const TRaw& r) {
  const double n = 1.0 / r.a0;
  return {-r.a1 * n, -r.a2 * n, r.b0 * n * r.h, r.b1 * n * r.h, r.b2 * n * r.h};
}

TCoefs Stored(const TFilter& f) { return {f.a1, f.a2, f.b0, f.b1, f.b2}; }

bool Stable(const TCoefs& c) { return c.a2 > -1.0 && std::fabs(c.a1) < 1.0 - c.a2; }

void ExpectCoefs(const TCoefs& actual, const TCoefs& expected, double tolerance) {
  auto near = [tolerance](double a, double e) { return std::fabs(a - e) <= tolerance * std::max(1.0, std::fabs(e)); };
  EXPECT_TRUE(near(actual.a1, expected.a1)) << actual.a1 << " vs " << expected.a1;
  EXPECT_TRUE(near(actual.a2, expected.a2)) << actual.a2 << " vs " << expected.a2;
  EXPECT_TRUE(near(actual.b0, expected.b0)) << actual.b0 << " vs " << expected.b0;
  EXPECT_TRUE(near(actual.b1, expected.b1)) << actual.b1 << " vs " << expected.b1;
  EXPECT_TRUE(near(actual.b2, expected.b2)) << actual.b2 << " vs " << expected.b2;
}

// |H| of the design at angular frequency omega (radians per sample).
double Magnitude(const TRaw& r, double omega) {
  const std::complex<double> z1 = std::polar(1.0, -omega);
  return std::abs(r.h * (r.b0 + r.b1 * z1 + r.b2 * z1 * z1) / (r.a0 + r.a1 * z1 + r.a2 * z1 * z1));
}

// A voice that is not sounding: LFO values and envelope outputs are 0.
struct TFilterFixture : TVoiceFixture {
  TFilter& Set(int32_t type, double fcCents, float qCb, double gain = 1.0) {
    TFilter& filter = voice->Filter;
    filter.Reset(type);
    filter.FilterFc = fcCents;
    filter.FilterQ = qCb;
    filter.FilterGain = gain;
    return filter;
  }
  void Recalculate() { voice->RecalculateFilter(voice->Filter); }
  void Apply(float* buffer, int32_t count) { voice->ApplyFilterToBuffer(voice->Filter, buffer, count); }
};

std::vector<float> Noise(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  std::vector<float> out(count);
  for (float& x : out) x = uniform(random);
  return out;
}

struct TDesignCase {
  const char* Name;
  int32_t Type;
  double FcCents;
  float QCb;
  double Gain;
  int32_t Rate;
};

class VoiceFilterDesign : public ::testing::TestWithParam<TDesignCase> {};

TEST_P(VoiceFilterDesign, FirstComputationStoresTheNormalisedCoefficients) {
  const TDesignCase& c = GetParam();
  TFilterFixture f;
  f.synth->SetSampleRate(c.Rate);
  TFilter& filter = f.Set(c.Type, c.FcCents, c.QCb, c.Gain);
  f.Recalculate();
  const double hz = CutoffHz(c.FcCents, c.Rate);
  const TCoefs expected = Normalise(Design(c.Type, hz, c.QCb, c.QCb, c.Gain, c.Rate));
  ASSERT_TRUE(Stable(expected));
  ExpectCoefs(Stored(filter), expected, 2e-6);
  EXPECT_TRUE(filter.FilterActive);
  EXPECT_FALSE(filter.FilterStartup);
  EXPECT_EQ(filter.FilterCoefIncrCount, 0);
  EXPECT_EQ(filter.a1incr, 0.0f);
  EXPECT_EQ(filter.b0incr, 0.0f);
  EXPECT_NEAR(filter.LastFilterFc, hz, 1e-9 * hz);
  EXPECT_EQ(filter.LastFilterQ, static_cast<double>(c.QCb));
}

INSTANTIATE_TEST_SUITE_P(
    Types, VoiceFilterDesign,
    ::testing::Values(TDesignCase{"LowPass", 1, 8000, 0, 1, 44100}, TDesignCase{"LowPassResonant", 1, 10000, 300, 0.5, 44100},
                      TDesignCase{"LowPassFullResonance", 1, 6000, 960, 1, 44100},
                      TDesignCase{"LowPassAt96k", 1, 13500, 0, 1, 96000}, TDesignCase{"HighPass", 2, 8000, 0, 1, 44100},
                      TDesignCase{"HighPassResonant", 2, 11000, 200, 2, 48000},
                      TDesignCase{"BandPass", 3, 8000, 100, 1, 44100}, TDesignCase{"BandPassGain", 3, 9500, 500, 0.25, 44100},
                      TDesignCase{"Notch", 4, 7000, 0, 1, 44100}, TDesignCase{"NotchResonant", 4, 9000, 400, 2, 44100},
                      TDesignCase{"Peaking", 5, 8000, 20, 2, 44100}, TDesignCase{"PeakingCut", 5, 10000, 40, 0.5, 44100},
                      TDesignCase{"PeakingFlat", 5, 6000, 0, 1, 44100}, TDesignCase{"LowShelf", 6, 8000, 20, 2, 44100},
                      TDesignCase{"LowShelfCut", 6, 10000, 40, 0.5, 44100}, TDesignCase{"LowShelfQ0", 6, 9000, 0, 0.5, 44100},
                      TDesignCase{"HighShelf", 7, 8000, 20, 2, 44100}, TDesignCase{"HighShelfCut", 7, 10000, 40, 0.5, 44100},
                      TDesignCase{"HighShelfQ0", 7, 7000, 0, 1.5, 44100}),
    [](const ::testing::TestParamInfo<TDesignCase>& info) { return info.param.Name; });

struct TActivityCase {
  const char* Name;
  int32_t Rate;
  int32_t Type;
  double FcCents;
  float QCb;
  bool Active;
};

class VoiceFilterActivity : public ::testing::TestWithParam<TActivityCase> {};

TEST_P(VoiceFilterActivity, HighestCutoffBypassesOnlyUnresonantLowAndHighPass) {
  const TActivityCase& c = GetParam();
  TFilterFixture f;
  f.synth->SetSampleRate(c.Rate);
  TFilter& filter = f.Set(c.Type, c.FcCents, c.QCb);
  f.Recalculate();
  EXPECT_EQ(filter.FilterActive, c.Active);
  EXPECT_EQ(filter.NextFilterActive, c.Active);
  const double expectedHz = CutoffHz(c.FcCents, c.Rate);
  EXPECT_NEAR(filter.LastFilterFc, expectedHz, 1e-6);
  // A bypassed filter leaves the signal as it is.
  std::vector<float> buffer = Noise(64, 7);
  const std::vector<float> input = buffer;
  f.Apply(buffer.data(), 64);
  EXPECT_EQ(buffer == input, !c.Active);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoiceFilterActivity,
    ::testing::Values(TActivityCase{"DefaultAt44k", 44100, 1, 13500, 0, false},
                      TActivityCase{"DefaultAt96k", 96000, 1, 13500, 0, true},
                      TActivityCase{"HighPassAt44k", 44100, 2, 13500, 0, false},
                      TActivityCase{"ResonantLowPassAt44k", 44100, 1, 13500, 10, true},
                      TActivityCase{"BandPassAt44k", 44100, 3, 13500, 0, true},
                      TActivityCase{"BelowTheLimit", 44100, 1, 13400, 0, true}),
    [](const ::testing::TestParamInfo<TActivityCase>& info) { return info.param.Name; });

TEST(VoiceFilter, TypeZeroIsOff) {
  TFilterFixture f;
  TFilter& filter = f.Set(0, 8000, 0);
  filter.FilterActive = true;
  f.Recalculate();
  EXPECT_FALSE(filter.FilterActive);
  EXPECT_EQ(filter.LastFilterFc, -1.0);
}

// Which modulation source drives a depth.
enum class TSource { ModLFO, Mod2LFO, ModEnv, Mod2Env };

struct TModulationCase {
  const char* Name;
  TSource Source;
  double Value;     // source output
  double FcDepth;   // cents
  double QDepth;    // centibels
  double FcCents;   // base
  float QCb;        // base
  int32_t Rate;
  double ExpectedCents;
  double ExpectedQ;
};

class VoiceFilterModulation : public ::testing::TestWithParam<TModulationCase> {};

TEST_P(VoiceFilterModulation, DepthsMoveAndClampCutoffAndResonance) {
  const TModulationCase& c = GetParam();
  TFilterFixture f;
  f.synth->SetSampleRate(c.Rate);
  TFilter& filter = f.Set(1, c.FcCents, c.QCb);
  TVoice& v = *f.voice;
  switch (c.Source) {
    case TSource::ModLFO:
      v.ModLFOVal = c.Value;
      filter.ModLFOToFilterFC = c.FcDepth;
      filter.ModLFOToFilterQ = c.QDepth;
      break;
    case TSource::Mod2LFO:
      v.Mod2LFOVal = c.Value;
      filter.Mod2LFOToFilterFC = c.FcDepth;
      filter.Mod2LFOToFilterQ = c.QDepth;
      break;
    case TSource::ModEnv:
      v.ModEnvelope->Envelope.RealValue = c.Value;
      filter.ModEnvToFilterFC = c.FcDepth;
      filter.ModEnvToFilterQ = c.QDepth;
      break;
    case TSource::Mod2Env:
      v.Mod2Envelope->Envelope.RealValue = c.Value;
      filter.Mod2EnvToFilterFC = c.FcDepth;
      filter.Mod2EnvToFilterQ = c.QDepth;
      break;
  }
  f.Recalculate();
  EXPECT_NEAR(filter.LastFilterFc, CentsToHz(c.ExpectedCents), 1e-9 * CentsToHz(c.ExpectedCents));
  EXPECT_NEAR(filter.LastFilterQ, c.ExpectedQ, 1e-4);
  const TCoefs expected =
      Normalise(Design(1, CentsToHz(c.ExpectedCents), c.ExpectedQ, c.QCb, 1.0, c.Rate));
  ExpectCoefs(Stored(filter), expected, 2e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, VoiceFilterModulation,
    ::testing::Values(TModulationCase{"ModLFO", TSource::ModLFO, 0.5, 1200, 100, 8000, 100, 44100, 8600, 150},
                      TModulationCase{"Mod2LFO", TSource::Mod2LFO, -0.5, 1200, 100, 8000, 100, 44100, 7400, 50},
                      TModulationCase{"ModEnv", TSource::ModEnv, 0.25, -2400, 200, 8000, 100, 44100, 7400, 150},
                      TModulationCase{"Mod2Env", TSource::Mod2Env, 1.0, 1000, -60, 8000, 100, 44100, 9000, 40},
                      // About 19.45 Hz.
                      TModulationCase{"CutoffFloor", TSource::ModLFO, -1.0, 3000, 0, 3000, 0, 44100, 1500, 0},
                      TModulationCase{"CutoffCeiling", TSource::ModEnv, 1.0, 1000, 0, 13000, 0, 96000, 13500, 0},
                      TModulationCase{"ResonanceCeiling", TSource::Mod2LFO, 1.0, 0, 200, 8000, 900, 44100, 8000, 960},
                      TModulationCase{"ResonanceFloor", TSource::Mod2Env, 1.0, 0, -500, 8000, 100, 44100, 8000, 0}),
    [](const ::testing::TestParamInfo<TModulationCase>& info) { return info.param.Name; });

TEST(VoiceFilter, CutoffFloorIsAbout19Hz) {
  TFilterFixture f;
  TFilter& filter = f.Set(1, 0, 0);
  f.Recalculate();
  EXPECT_NEAR(filter.LastFilterFc, 19.445, 1e-3);
}

TEST(VoiceFilter, FullResonanceLowPassPassesDcAtGainOverSqrtQ) {
  // u = 10^((96 - 3.01)/20), about 44617; the DC gain of the low-pass is g/sqrt(u).
  for (const double gain : {1.0, 0.5}) {
    TFilterFixture f;
    TFilter& filter = f.Set(1, 8000, 960, gain);
    f.Recalculate();
    const double dc = (static_cast<double>(filter.b0) + filter.b1 + filter.b2) /
                      (1.0 - static_cast<double>(filter.a1) - filter.a2);
    EXPECT_NEAR(dc, gain / std::sqrt(44617.0), 1e-3 * gain / std::sqrt(44617.0)) << gain;
  }
}

struct TKeepCase {
  const char* Name;
  double DeltaHz;
  float DeltaQ;
  bool Ramp;
};

class VoiceFilterKeep : public ::testing::TestWithParam<TKeepCase> {};

TEST_P(VoiceFilterKeep, ChangesOfAHundredthOrLessKeepTheCoefficients) {
  const TKeepCase& c = GetParam();
  TFilterFixture f;
  TFilter& filter = f.Set(1, HzToCents(1000.0), 200);
  f.Recalculate();
  const TCoefs before = Stored(filter);
  const double lastHz = filter.LastFilterFc;
  filter.FilterFc = HzToCents(1000.0 + c.DeltaHz);
  filter.FilterQ = 200.0f + c.DeltaQ;
  f.Recalculate();
  EXPECT_EQ(filter.FilterCoefIncrCount, c.Ramp ? 32 : 0);
  if (c.Ramp) {
    EXPECT_NEAR(filter.LastFilterFc, 1000.0 + c.DeltaHz, 1e-6);
    EXPECT_EQ(filter.LastFilterQ, 200.0 + c.DeltaQ);
  } else {
    EXPECT_EQ(filter.LastFilterFc, lastHz);
    EXPECT_EQ(filter.a1, before.a1);
    EXPECT_EQ(filter.a2, before.a2);
    EXPECT_EQ(filter.b0, before.b0);
    EXPECT_EQ(filter.b1, before.b1);
    EXPECT_EQ(filter.b2, before.b2);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, VoiceFilterKeep,
                         ::testing::Values(TKeepCase{"TinyCutoff", 0.005, 0.0f, false},
                                           TKeepCase{"TinyResonance", 0.0, 0.0078125f, false},
                                           TKeepCase{"TinyBoth", -0.009, -0.0078125f, false},
                                           TKeepCase{"Cutoff", 0.02, 0.0f, true},
                                           TKeepCase{"Resonance", 0.0, 0.015625f, true}),
                         [](const ::testing::TestParamInfo<TKeepCase>& info) { return info.param.Name; });

// Steps with the same inputs skip the computation; a generator update forgets
// the last computation (as a new cutoff or resonance does) and must design again.
TEST(VoiceFilter, RepeatedInputsKeepTheStateUntilAnUpdateForgetsIt) {
  TFilterFixture f;
  TFilter& filter = f.Set(1, HzToCents(1000.0), 200);
  f.Recalculate();
  f.Recalculate();
  EXPECT_TRUE(filter.FilterActive);
  EXPECT_EQ(filter.FilterCoefIncrCount, 0);
  filter.FilterGain = 2.0;
  filter.LastFilterFc = -1.0;
  f.Recalculate();
  EXPECT_EQ(filter.FilterCoefIncrCount, 32);
  EXPECT_GT(filter.b0incr, 0.0f);

  // Bypassed at the highest cutoff, and stays so, until a base resonance arrives.
  TFilter& top = f.Set(1, 13500.0, 0.0f);
  f.Recalculate();
  f.Recalculate();
  EXPECT_FALSE(top.FilterActive);
  top.FilterQ = 30.0f;
  top.LastFilterQ = -1.0;
  f.Recalculate();
  EXPECT_TRUE(top.FilterActive);
}

// A rendering voice whose modulation sources stand still skips the filter
// computation; a generator update between two such steps must still reach it.
TEST(VoiceFilter, CutoffUpdateBetweenSteadyStepsIsDesigned) {
  test::TVoiceFixture f;
  f.layer->SetGenerator(gen::sampleModes, 1);
  f.layer->SetGenerator(gen::initialFilterFc, 6000);
  f.layer->SetGenerator(gen::modEnvToFilterFc, 1200);  // the mod envelope sustains at full level
  f.Start(69);
  f.Render(2048);
  ASSERT_TRUE(f.voice->Active);
  EXPECT_NEAR(f.voice->Filter.LastFilterFc, 440.0 * std::exp2((7200.0 - 6900.0) / 1200.0), 1e-6);
  f.voice->SetGen(gen::initialFilterFc, 8000);
  f.voice->UpdateParameter(gen::initialFilterFc);
  f.Render(64);
  EXPECT_NEAR(f.voice->Filter.LastFilterFc, 440.0 * std::exp2((9200.0 - 6900.0) / 1200.0), 1e-6);
  EXPECT_EQ(f.voice->Filter.FilterCoefIncrCount, 0);  // ramped over the step and done
}

// Three filters, each moved by its own source: the mod envelope's attack,
// the mod LFO and the mod2 LFO. Every step must give each filter the cutoff
// of its own source's value, whichever of the others moved.
TEST(VoiceFilter, EachFilterFollowsItsOwnModulationSource) {
  test::TVoiceFixture f;
  f.layer->SetGenerator(gen::sampleModes, 1);
  f.layer->SetGenerator(gen::initialFilterFc, 6000);
  f.layer->SetGenerator(gen::modEnvToFilterFc, 2400);
  f.layer->SetGenerator(gen::attackModEnv, -1200);  // half a second
  f.layer->SetGenerator(gen::filter2Type, 1);
  f.layer->SetGenerator(gen::initialFilter2Fc, 7000);
  f.layer->SetGenerator(gen::modLfoToFilter2Fc, 600);
  f.layer->SetGenerator(gen::freqModLFO, 1200);  // about 16 Hz
  f.layer->SetGenerator(gen::filter3Type, 2);
  f.layer->SetGenerator(gen::initialFilter3Fc, 4000);
  f.layer->SetGenerator(gen::mod2LfoToFilter3Fc, -900);
  f.layer->SetGenerator(gen::freqMod2LFO, 0);  // about 8 Hz
  f.Start(69);
  const TVoice& v = *f.voice;
  const double rate = f.synth->SampleRate;
  for (int32_t block = 0; block < 40; block++) {
    f.Render(block % 3 == 0 ? 96 : 61);
    ASSERT_TRUE(v.Active);
    SCOPED_TRACE(block);
    // Coefficients stay for moves of a hundredth of a hertz or less.
    EXPECT_NEAR(v.Filter.LastFilterFc, CutoffHz(6000.0 + 2400.0 * v.ModEnvelope->Output(), rate), 0.0101);
    EXPECT_NEAR(v.Filter2.LastFilterFc, CutoffHz(7000.0 + 600.0 * v.ModLFOVal, rate), 0.0101);
    EXPECT_NEAR(v.Filter3.LastFilterFc, CutoffHz(4000.0 - 900.0 * v.Mod2LFOVal, rate), 0.0101);
  }
}

// The designs' sine and cosine stay within one unit in the last place of
// the library's over every angle a design can ask for (2 pi cutoff / rate
// is at most 0.9 pi), densely and next to the quarter turns, where the
// reduction changes quadrant.
TEST(VoiceFilter, DesignSineAndCosineWithinOneUlpOfTheLibrary) {
  auto ulps = [](double a, double b) {
    if (a == b) return int64_t{0};
    if (std::signbit(a) != std::signbit(b)) return std::numeric_limits<int64_t>::max();
    const auto ia = std::bit_cast<int64_t>(a), ib = std::bit_cast<int64_t>(b);
    return ia > ib ? ia - ib : ib - ia;
  };
  std::vector<double> angles;
  constexpr int32_t Dense = 2000000;
  for (int32_t i = 0; i <= Dense; i++) angles.push_back(4.0 * i / Dense);
  for (int32_t quarter = 1; quarter <= 2; quarter++) {
    for (double centre : {quarter * Pi / 2.0, quarter * Pi / 2.0 - Pi / 4.0, quarter * Pi / 2.0 + Pi / 4.0}) {
      double below = centre, above = centre;
      for (int32_t i = 0; i < 1000; i++) {
        angles.push_back(below = std::nextafter(below, 0.0));
        angles.push_back(above = std::nextafter(above, 4.0));
      }
    }
  }
  int64_t worst = 0;
  double worstAngle = 0.0;
  for (double x : angles) {
    double s, c;
    detail::FilterSinCos(x, s, c);
    const int64_t e = std::max(ulps(s, std::sin(x)), ulps(c, std::cos(x)));
    if (e > worst) worst = e, worstAngle = x;
  }
  EXPECT_LE(worst, 1) << "at " << worstAngle;
}

// Chunk lengths summing to one 32-sample ramp.
class VoiceFilterRamp : public ::testing::TestWithParam<std::vector<int32_t>> {};

TEST_P(VoiceFilterRamp, CutoffJumpReachesItsTargetAfterThirtyTwoSamples) {
  TFilterFixture f;
  TFilter& filter = f.Set(1, 8000, 100);
  f.Recalculate();
  const TCoefs start = Stored(filter);
  filter.FilterFc = 10000;
  f.Recalculate();
  ASSERT_EQ(filter.FilterCoefIncrCount, 32);
  EXPECT_EQ(Stored(filter).b0, start.b0);  // the ramp starts from the current values
  const TCoefs target = Normalise(Design(1, CentsToHz(10000), 100, 100, 1.0, 44100));
  std::vector<float> buffer = Noise(40, 3);
  int32_t done = 0;
  for (const int32_t chunk : GetParam()) {
    f.Apply(buffer.data() + done, chunk);
    done += chunk;
    EXPECT_EQ(filter.FilterCoefIncrCount, 32 - done);
    if (done == 16) {
      const TCoefs half{(start.a1 + target.a1) / 2, (start.a2 + target.a2) / 2, (start.b0 + target.b0) / 2,
                        (start.b1 + target.b1) / 2, (start.b2 + target.b2) / 2};
      ExpectCoefs(Stored(filter), half, 5e-6);
    }
    if (done < 32) {
      EXPECT_GT(std::fabs(filter.b0 - target.b0), 1e-5) << done;
    }
  }
  ASSERT_EQ(done, 32);
  ExpectCoefs(Stored(filter), target, 5e-6);
  // Constant from then on.
  const TCoefs reached = Stored(filter);
  f.Apply(buffer.data() + 32, 8);
  EXPECT_EQ(filter.b0, static_cast<float>(reached.b0));
  EXPECT_EQ(filter.a1, static_cast<float>(reached.a1));
}

INSTANTIATE_TEST_SUITE_P(Chunks, VoiceFilterRamp,
                         ::testing::Values(std::vector<int32_t>{32}, std::vector<int32_t>{16, 16},
                                           std::vector<int32_t>{5, 11, 16}, std::vector<int32_t>{31, 1},
                                           std::vector<int32_t>{1, 2, 3, 26}));

// Direct form I from the definition, coefficients growing after each ramp sample.
struct TReference {
  double b0, b1, b2, a1, a2, b0i, b1i, b2i, a1i, a2i;
  int32_t ramp;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  float Step(float x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 + a1 * y1 + a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    if (ramp > 0) {
      b0 += b0i;
      b1 += b1i;
      b2 += b2i;
      a1 += a1i;
      a2 += a2i;
      ramp--;
    }
    return static_cast<float>(y);
  }
};

// Splits of a block into two calls; lengths around the four-sample unrolling.
struct TSplitCase {
  int32_t First, Second;
};

class VoiceFilterKernel : public ::testing::TestWithParam<TSplitCase> {};

TEST_P(VoiceFilterKernel, MatchesTheDirectFormWithAndWithoutRamp) {
  const TSplitCase& c = GetParam();
  for (const bool ramp : {false, true}) {
    TFilterFixture f;
    TFilter& filter = f.Set(1, 7000, 200);
    f.Recalculate();
    if (ramp) {
      filter.FilterFc = 9000;
      filter.FilterQ = 100;
      f.Recalculate();
      ASSERT_EQ(filter.FilterCoefIncrCount, 32);
    }
    TReference ref{filter.b0,     filter.b1,     filter.b2,     filter.a1,     filter.a2,
                   filter.b0incr, filter.b1incr, filter.b2incr, filter.a1incr, filter.a2incr,
                   filter.FilterCoefIncrCount};
    std::vector<float> buffer = Noise(static_cast<size_t>(c.First + c.Second), 11);
    const std::vector<float> input = buffer;
    std::vector<float> expected(buffer.size());
    for (size_t i = 0; i < buffer.size(); i++) expected[i] = ref.Step(buffer[i]);
    // The vector kernel agrees bit for bit with the one-sample-at-a-time one.
    TFilter scalar = filter;
    std::vector<float> scalarBuffer = buffer;
    detail::ApplyActiveFilterScalar(scalar, scalarBuffer.data(), c.First);
    detail::ApplyActiveFilterScalar(scalar, scalarBuffer.data() + c.First, c.Second);
    f.Apply(buffer.data(), c.First);
    f.Apply(buffer.data() + c.First, c.Second);
    ASSERT_TRUE(buffer.empty() || std::memcmp(buffer.data(), scalarBuffer.data(), buffer.size() * sizeof(float)) == 0)
        << "ramp " << ramp;
    for (const auto field : {&TFilter::histb1, &TFilter::histb2, &TFilter::hista1, &TFilter::hista2, &TFilter::b0,
                             &TFilter::b1, &TFilter::b2, &TFilter::a1, &TFilter::a2}) {
      EXPECT_EQ(std::bit_cast<uint32_t>(filter.*field), std::bit_cast<uint32_t>(scalar.*field));
    }
    for (size_t i = 0; i < buffer.size(); i++) ASSERT_NEAR(buffer[i], expected[i], 2e-5) << i << " ramp " << ramp;
    EXPECT_EQ(filter.FilterCoefIncrCount, std::max(0, (ramp ? 32 : 0) - c.First - c.Second));
    if (buffer.size() >= 2) {
      EXPECT_EQ(filter.histb1, input.back());
      EXPECT_EQ(filter.histb2, input[input.size() - 2]);
      EXPECT_EQ(filter.hista1, buffer.back());
      EXPECT_EQ(filter.hista2, buffer[buffer.size() - 2]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, VoiceFilterKernel,
                         ::testing::Values(TSplitCase{0, 0}, TSplitCase{1, 0}, TSplitCase{3, 0}, TSplitCase{4, 0},
                                           TSplitCase{5, 0}, TSplitCase{63, 0}, TSplitCase{64, 0}, TSplitCase{1, 3},
                                           TSplitCase{3, 5}, TSplitCase{30, 7}, TSplitCase{33, 31},
                                           TSplitCase{4096, 0}, TSplitCase{7, 4089}));

TEST(VoiceFilter, FilterTurningOffProcessesUntilItsRampEnds) {
  TFilterFixture f;
  TFilter& filter = f.Set(1, 8000, 0);
  f.Recalculate();
  ASSERT_TRUE(filter.FilterActive);
  filter.FilterFc = 13500;  // above 0.45 x 44100: bypass
  f.Recalculate();
  EXPECT_FALSE(filter.NextFilterActive);
  EXPECT_TRUE(filter.FilterActive);
  EXPECT_EQ(filter.FilterCoefIncrCount, 32);
  std::vector<float> buffer = Noise(32, 5);
  std::vector<float> input = buffer;
  f.Apply(buffer.data(), 20);
  EXPECT_NE(buffer, input);
  EXPECT_TRUE(filter.FilterActive);
  f.Recalculate();  // ramp still running: stays on
  EXPECT_TRUE(filter.FilterActive);
  f.Apply(buffer.data() + 20, 12);
  EXPECT_EQ(filter.FilterCoefIncrCount, 0);
  f.Recalculate();
  EXPECT_FALSE(filter.FilterActive);
  buffer = Noise(32, 6);
  input = buffer;
  f.Apply(buffer.data(), 32);
  EXPECT_EQ(buffer, input);
  // Back below the limit: on at once.
  filter.FilterFc = 8000;
  f.Recalculate();
  EXPECT_TRUE(filter.FilterActive);
}

TEST(VoiceFilter, BypassedFilterAdvancesItsRampButNotItsHistory) {
  TFilterFixture f;
  TFilter& filter = f.Set(1, 8000, 0);
  filter.FilterStartup = false;
  filter.FilterActive = false;
  filter.b0 = 0.5f;
  filter.a1 = -0.25f;
  filter.b0incr = 0.01f;
  filter.a1incr = -0.002f;
  filter.FilterCoefIncrCount = 32;
  filter.histb1 = 0.125f;
  filter.hista1 = -0.375f;
  std::vector<float> buffer = Noise(20, 9);
  const std::vector<float> input = buffer;
  f.Apply(buffer.data(), 20);
  EXPECT_EQ(buffer, input);
  EXPECT_EQ(filter.FilterCoefIncrCount, 12);
  EXPECT_NEAR(filter.b0, 0.5 + 20 * 0.01, 1e-6);
  EXPECT_NEAR(filter.a1, -0.25 - 20 * 0.002, 1e-6);
  EXPECT_EQ(filter.histb1, 0.125f);
  EXPECT_EQ(filter.hista1, -0.375f);
  f.Apply(buffer.data(), 20);  // only the 12 left
  EXPECT_EQ(filter.FilterCoefIncrCount, 0);
  EXPECT_NEAR(filter.b0, 0.5 + 32 * 0.01, 1e-6);
}

struct TUnstableCase {
  const char* Name;
  int32_t Type;
  double FcCents;
  float QCb;
  double Gain;
};

class VoiceFilterUnstable : public ::testing::TestWithParam<TUnstableCase> {};

TEST_P(VoiceFilterUnstable, DesignWithPolesOutsideTheUnitCircleIsBypassed) {
  const TUnstableCase& c = GetParam();
  ASSERT_FALSE(Stable(Normalise(Design(c.Type, CutoffHz(c.FcCents, 44100), c.QCb, c.QCb, c.Gain, 44100))));
  // From the start: never switched on.
  {
    TFilterFixture f;
    TFilter& filter = f.Set(c.Type, c.FcCents, c.QCb, c.Gain);
    f.Recalculate();
    EXPECT_FALSE(filter.FilterActive);
    std::vector<float> buffer = Noise(256, 1);
    const std::vector<float> input = buffer;
    f.Apply(buffer.data(), 256);
    EXPECT_EQ(buffer, input);
  }
  // From a stable setting: the stable coefficients stay until the filter is off.
  {
    TFilterFixture f;
    TFilter& filter = f.Set(c.Type, 8000, 0, 1.0);
    f.Recalculate();
    ASSERT_TRUE(filter.FilterActive);
    const TCoefs stable = Stored(filter);
    filter.FilterFc = c.FcCents;
    filter.FilterQ = c.QCb;
    filter.FilterGain = c.Gain;
    f.Recalculate();
    EXPECT_EQ(filter.FilterCoefIncrCount, 0);
    EXPECT_EQ(filter.b0, static_cast<float>(stable.b0));
    EXPECT_EQ(filter.a2, static_cast<float>(stable.a2));
    f.Recalculate();
    EXPECT_FALSE(filter.FilterActive);
    std::vector<float> buffer = Noise(4096, 2);
    const std::vector<float> input = buffer;
    f.Apply(buffer.data(), 4096);
    EXPECT_EQ(buffer, input);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, VoiceFilterUnstable,
                         ::testing::Values(TUnstableCase{"PeakingFullResonance", 5, 8000, 960, 1},
                                           TUnstableCase{"PeakingNearTheLimit", 5, 13500, 50, 1},
                                           TUnstableCase{"LowShelfHighGain", 6, 9000, 50, 6},
                                           TUnstableCase{"HighShelfHighGain", 7, 9000, 50, 6},
                                           TUnstableCase{"HighShelfFullResonance", 7, 8000, 960, 1}),
                         [](const ::testing::TestParamInfo<TUnstableCase>& info) { return info.param.Name; });

// Generators reach the fields of the three filters.
TEST(VoiceFilterGenerators, KeyOnSetsTypesCutoffsResonancesGainsAndDepths) {
  TVoiceFixture f;
  f.synth->EMU10K1Mode = false;
  f.layer->SetGenerator(8, 9000);
  f.layer->SetGenerator(9, 150);
  f.layer->SetGenerator(104, 3);
  f.layer->SetGenerator(103, 250);
  f.layer->SetGenerator(105, -200);
  f.layer->SetGenerator(108, 7);
  f.layer->SetGenerator(106, 7000);
  f.layer->SetGenerator(109, 100);
  f.layer->SetGenerator(10, -1500);
  f.layer->SetGenerator(122, 300);
  f.layer->SetGenerator(150, 700);
  f.layer->SetGenerator(152, 20);
  f.layer->SetGenerator(136, -300);
  f.layer->SetGenerator(147, -900);
  f.layer->SetGenerator(126, 500);
  f.Start(60);
  const TVoice& v = *f.voice;
  EXPECT_EQ(v.Filter.FilterType, 1);
  EXPECT_EQ(v.Filter.FilterFc, 9000.0);
  EXPECT_EQ(v.Filter.FilterQ, 150.0f);
  EXPECT_EQ(v.Filter.FilterGain, 1.0);
  EXPECT_EQ(v.Filter2.FilterType, 3);
  EXPECT_EQ(v.Filter2.FilterFc, 13500.0);
  EXPECT_EQ(v.Filter2.FilterQ, 250.0f);
  EXPECT_NEAR(v.Filter2.FilterGain, std::pow(10.0, 200 * 0.0018814356859432296), 1e-12);
  EXPECT_EQ(v.Filter3.FilterType, 7);
  EXPECT_EQ(v.Filter3.FilterFc, 7000.0);
  EXPECT_NEAR(v.Filter3.FilterGain, std::pow(10.0, -100 * 0.0018814356859432296), 1e-12);
  EXPECT_EQ(v.Filter.ModLFOToFilterFC, -1500.0);
  EXPECT_EQ(v.Filter.Mod2EnvToFilterFC, 300.0);
  EXPECT_EQ(v.Filter.ModLFOToFilterQ, 700.0);
  EXPECT_EQ(v.Filter2.ModLFOToFilterQ, 20.0);
  EXPECT_EQ(v.Filter2.Mod2LFOToFilterFC, -300.0);
  EXPECT_EQ(v.Filter3.ModEnvToFilterQ, -900.0);
  EXPECT_EQ(v.Filter3.Mod2EnvToFilterFC, 500.0);
  EXPECT_EQ(v.Filter.LastFilterFc, -1.0);
  EXPECT_TRUE(v.Filter2.FilterStartup);
}

TEST(VoiceFilterGenerators, UnsetExtensionFiltersAreBypassedLowPasses) {
  TVoiceFixture f;
  f.Start(69);
  f.Render(64);
  for (const TFilter* filter : {&f.voice->Filter, &f.voice->Filter2, &f.voice->Filter3}) {
    EXPECT_EQ(filter->FilterType, 1);
    EXPECT_EQ(filter->FilterFc, 13500.0);
    EXPECT_FALSE(filter->FilterActive);
    EXPECT_FALSE(filter->FilterStartup);
  }
}

// White noise through a voice: a looped noise sample played at its own rate
// (a verbatim copy), so the filter input is periodic and, once settled, each
// DFT bin of one period of output is the bin of the input times H.
struct TNoiseVoice : TVoiceFixture {
  static constexpr int32_t Period = 4096;
  explicit TNoiseVoice(uint32_t seed, int32_t period = Period) {
    noise = Noise(static_cast<size_t>(period), seed);
    sample = std::make_unique<TSample>(synth.get());
    sample->Length = period;
    sample->LoopStart = 0;
    sample->LoopEnd = period;
    sample->SampleRate = 44100;
    sample->OriginalPitch = 69;
    const auto elements = static_cast<size_t>(sample->BufferElements());
    sample->Data = std::make_unique<float[]>(elements);
    sample->WorkData = std::make_unique<float[]>(elements);
    for (size_t i = 0; i < elements; i++) {
      const int64_t k = (static_cast<int64_t>(i) - SampleGuardFrames + 100 * period) % period;
      sample->Data[i] = sample->WorkData[i] = noise[static_cast<size_t>(k)];
    }
    sample->Loaded = true;
    layer->Sample = sample.get();
    layer->SetGenerator(54, 1);
  }
  // Left output of Frames frames after Skip frames.
  std::vector<double> RenderLeft(int32_t skip, int32_t frames) {
    std::vector<double> out;
    for (int32_t done = 0; done < skip + frames; done += 1024) {
      Render(1024);
      for (int32_t i = 0; i < 1024; i++) {
        if (done + i >= skip && done + i < skip + frames) out.push_back(Out[static_cast<size_t>(i)].Left);
      }
    }
    return out;
  }
  std::vector<float> noise;
};

// DFT bin k of x.
std::complex<double> Bin(const std::vector<double>& x, int32_t k) {
  const std::complex<double> rotation = std::polar(1.0, -2.0 * Pi * k / static_cast<double>(x.size()));
  std::complex<double> sum = 0, phasor = 1;
  for (const double value : x) {
    sum += value * phasor;
    phasor *= rotation;
  }
  return sum;
}

struct TSpectrumCase {
  const char* Name;
  double FcCents;
  int32_t QCb;
};

class VoiceFilterSpectrum : public ::testing::TestWithParam<TSpectrumCase> {};

TEST_P(VoiceFilterSpectrum, LowPassAttenuatesNoiseAsItsResponse) {
  const TSpectrumCase& c = GetParam();
  TNoiseVoice f(42);
  f.layer->SetGenerator(8, static_cast<int32_t>(c.FcCents));
  f.layer->SetGenerator(9, c.QCb);
  f.Start(69);
  ASSERT_EQ(f.voice->Filter.FilterFc, c.FcCents);
  const std::vector<double> out = f.RenderLeft(2 * TNoiseVoice::Period, TNoiseVoice::Period);
  const std::vector<double> in(f.noise.begin(), f.noise.end());
  const TRaw design = Design(1, CentsToHz(c.FcCents), c.QCb, static_cast<float>(c.QCb), 1.0, 44100);
  const double binHz = 44100.0 / TNoiseVoice::Period;
  // |Y/X| per bin, relative to a passband bin; the output's delay and gain cancel.
  auto measured = [&](int32_t k) { return std::abs(Bin(out, k)) / std::abs(Bin(in, k)); };
  auto analytic = [&](int32_t k) { return Magnitude(design, 2.0 * Pi * k * binHz / 44100.0); };
  const int32_t reference = 3;
  const double scale = measured(reference) / analytic(reference);
  for (const double multiple : {0.5, 1.0, 2.0, 4.0}) {
    const auto k = static_cast<int32_t>(std::lround(multiple * CentsToHz(c.FcCents) / binHz));
    const double measuredDb = 20.0 * std::log10(measured(k) / scale);
    const double expectedDb = 20.0 * std::log10(analytic(k));
    EXPECT_NEAR(measuredDb, expectedDb, 0.05) << multiple << " x cutoff";
    if (multiple >= 2.0) {
      EXPECT_LT(expectedDb, -10.0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cutoffs, VoiceFilterSpectrum,
                         ::testing::Values(TSpectrumCase{"At622Hz", 7500, 0}, TSpectrumCase{"At1760Hz", 9300, 0},
                                           TSpectrumCase{"ResonantAt622Hz", 7500, 200}),
                         [](const ::testing::TestParamInfo<TSpectrumCase>& info) { return info.param.Name; });

TEST(VoiceFilterSpectrum, FullResonancePeaksAtTheCutoff) {
  const int32_t frames = 16384;
  TNoiseVoice f(43, frames);
  const double fcHz = 1000.0;
  f.layer->SetGenerator(8, static_cast<int32_t>(std::lround(HzToCents(fcHz))));
  f.layer->SetGenerator(9, 960);
  f.Start(69);
  // The resonance rings for seconds; look at the spectrum of the first frames.
  std::vector<double> out = f.RenderLeft(0, frames);
  for (size_t i = 0; i < out.size(); i++) out[i] *= 0.5 - 0.5 * std::cos(2.0 * Pi * static_cast<double>(i) / frames);
  const double binHz = 44100.0 / frames;
  const double cutoffHz = CentsToHz(std::lround(HzToCents(fcHz)));
  int32_t peak = 0;
  double peakLevel = 0, passLevel = 0;
  for (int32_t k = 1; k < static_cast<int32_t>(3 * fcHz / binHz); k++) {
    const double level = std::abs(Bin(out, k));
    if (level > peakLevel) {
      peakLevel = level;
      peak = k;
    }
    if (k * binHz < fcHz / 4) passLevel = std::max(passLevel, level);
  }
  EXPECT_NEAR(peak * binHz, cutoffHz, 1.5 * binHz);
  // Without resonance the low-pass has nothing above its passband.
  EXPECT_GT(20.0 * std::log10(peakLevel / passLevel), 20.0);
}

}  // namespace
}  // namespace kelvane
