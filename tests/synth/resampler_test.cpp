#include "synth/resampler.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "synth/resampler_fixtures.h"
#include "synth/synth_init.h"

namespace kelvane {
namespace {

using test::Fixed;
using test::TGuardedFrames;
using test::TResamplingTableUse;

constexpr double Pi = std::numbers::pi;
constexpr float Untouched = -123.0f;

double I0(double x) { return std::cyl_bessel_i(0.0, x); }

// Impulse of height 1 at frame 100 of a 300-frame sample.
TGuardedFrames Impulse() {
  return TGuardedFrames(300, [](int32_t k) { return k == 100 ? 1.0f : 0.0f; });
}

// Frame k = k (a ramp), so nearest sampling shows the frame it read.
TGuardedFrames Ramp() {
  return TGuardedFrames(64, [](int32_t k) { return float(k); });
}

TEST(ResamplerTest, EveryRoutineWritesNothingWithoutDataOrFrames) {
  TResamplingTableUse tables({rmCubicSpline, rmPolyphaseFIR, rmFastSINC8});
  const TGuardedFrames ramp = Ramp();
  const TResampleProc procs[] = {ResampleNone,         ResampleNearest,   ResampleLinear, ResampleCubicSpline,
                                 ResamplePolyphaseFIR, ResampleFastSINC8, ResampleSINC};
  for (TResampleProc proc : procs) {
    std::array<float, 4> out;
    out.fill(Untouched);
    int64_t position = Fixed(5.5);
    TResampleContext none;
    proc(none, out.data(), 4, Fixed(1.5), position);
    EXPECT_EQ(out[0], Untouched);
    EXPECT_EQ(position, Fixed(5.5));
    TResampleContext context{ramp.Data()};
    proc(context, out.data(), 0, Fixed(1.5), position);
    EXPECT_EQ(out[0], Untouched);
    EXPECT_EQ(position, Fixed(5.5));
    proc(context, out.data(), 3, Fixed(1.5), position);
    EXPECT_NE(out[2], Untouched);
    EXPECT_EQ(out[3], Untouched);
    EXPECT_EQ(position, Fixed(5.5) + 3 * Fixed(1.5));
  }
}

TEST(ResamplerTest, NoneCopiesFramesVerbatimFromTheTruncatedFrame) {
  const TGuardedFrames frames(50, [](int32_t k) { return std::sin(k * 0.37f) + 0.001f * k; });
  std::vector<float> out(20);
  int64_t position = Fixed(7.75);
  ResampleNone(TResampleContext{frames.Data()}, out.data(), 20, ResampleOne, position);
  for (int32_t n = 0; n < 20; ++n) EXPECT_EQ(out[size_t(n)], frames.Frame(7 + n));
  EXPECT_EQ(position, Fixed(27.75));
}

TEST(ResamplerTest, NearestTruncatesThePosition) {
  const TGuardedFrames ramp = Ramp();
  std::array<float, 3> out;
  int64_t position = Fixed(5.0) + (ResampleOne - 1);  // 5.99999...
  ResampleNearest(TResampleContext{ramp.Data()}, out.data(), 3, Fixed(0.999), position);
  EXPECT_EQ(out[0], 5.0f);
  EXPECT_EQ(out[1], 6.0f);  // 6.999
  EXPECT_EQ(out[2], 7.0f);  // 7.998
  position = Fixed(5.999);
  ResampleNearest(TResampleContext{ramp.Data()}, out.data(), 1, Fixed(1.0), position);
  EXPECT_EQ(out[0], 5.0f);
}

TEST(ResamplerTest, LinearBlendsTheTwoNeighbouringFrames) {
  struct TCase {
    int32_t Frame;
    double Fraction;
  };
  for (const TCase c : {TCase{5, 0.25}, TCase{4, 0.25}, TCase{5, 0.0}, TCase{6, 0.75}}) {
    const TGuardedFrames frames(20, [&](int32_t k) { return k == c.Frame ? 1.0f : k == c.Frame + 1 ? 2.0f : 0.0f; });
    float out = Untouched;
    int64_t position = Fixed(c.Frame + c.Fraction);
    ResampleLinear(TResampleContext{frames.Data()}, &out, 1, ResampleOne / 3, position);
    EXPECT_FLOAT_EQ(out, float(1.0 + c.Fraction)) << c.Frame << " + " << c.Fraction;
  }
}

// Catmull-Rom weights of frames i-1..i+2 at fraction t.
std::array<double, 4> CubicWeights(double t) {
  return {-0.5 * t * t * t + t * t - 0.5 * t, 1.5 * t * t * t - 2.5 * t * t + 1,
          -1.5 * t * t * t + 2 * t * t + 0.5 * t, 0.5 * t * t * t - 0.5 * t * t};
}

TEST(ResamplerTest, CubicSplineFollowsThePolynomialAtTheTablePhase) {
  TResamplingTableUse tables({rmCubicSpline});
  const float* row0 = CubicTableRow(0);
  ASSERT_NE(row0, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(row0) % 16, 0u);
  EXPECT_EQ(row0[0], 0.0f);
  EXPECT_EQ(row0[1], 1.0f);
  EXPECT_EQ(row0[2], 0.0f);
  EXPECT_EQ(row0[3], 0.0f);
  for (int32_t row : {1, 1000, 2048, 4095}) {
    const std::array<double, 4> w = CubicWeights(row / 4096.0);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(CubicTableRow(row)[k], w[size_t(k)], 1e-7) << row << "/" << k;
  }

  const TGuardedFrames frames(40, [](int32_t k) { return std::cos(k * 0.9f) * (1 + k % 3); });
  // Bits below the table phase are ignored: 12.3 reads row trunc(0.3 * 4096).
  for (const double position : {12.0, 12.3, 20.999}) {
    float out = Untouched;
    int64_t p = Fixed(position);
    ResampleCubicSpline(TResampleContext{frames.Data()}, &out, 1, ResampleOne, p);
    const int64_t i = int64_t(position);
    const std::array<double, 4> w = CubicWeights(((Fixed(position) >> 20) & 4095) / 4096.0);
    double expected = 0;
    for (int k = 0; k < 4; ++k) expected += w[size_t(k)] * frames.Frame(i - 1 + k);
    EXPECT_NEAR(out, expected, 1e-5) << position;
    if (position == 12.0) {
      EXPECT_EQ(out, frames.Frame(12));
    }
  }
}

// Tap k of a polyphase table at phase p, from the Kaiser-windowed sinc.
double PolyphaseTap(double c, double beta, int32_t p, int32_t k) {
  const double e = p / 4096.0 - (k - 3);
  if (e == 0) return c;
  return c * std::sin(Pi * c * e) * I0(beta * std::sqrt(1 - e * e / 16)) / (I0(beta) * Pi * c * e);
}

TEST(ResamplerTest, PolyphaseTablesAreKaiserWindowedSincs) {
  TResamplingTableUse tables({rmPolyphaseFIR});
  const double params[3][2] = {{0.97, 9.6377}, {0.5, 8.5}, {0.425, 2.7625}};
  for (int32_t t = 0; t < 3; ++t) {
    const float* table = PolyphaseTable(t);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(table) % 16, 0u);
    for (int32_t p : {0, 1, 1365, 2048, 4095}) {
      for (int32_t k = 0; k < 8; ++k) {
        EXPECT_NEAR(table[p * 8 + k], PolyphaseTap(params[t][0], params[t][1], p, k), 1e-6)
            << "table " << t << " phase " << p << " tap " << k;
      }
    }
  }
}

TEST(ResamplerTest, PolyphaseSwitchesTablesAboveRatios19And24) {
  TResamplingTableUse tables({rmPolyphaseFIR});
  const TGuardedFrames impulse = Impulse();
  struct TCase {
    int64_t Increment;
    float Centre;  // tap 3 at phase 0 is the table's cut-off
  };
  const TCase cases[] = {
      {Fixed(1.5), 0.97f},         {19 * ResampleOne, 0.97f},   {-19 * ResampleOne, 0.97f},
      {19 * ResampleOne + 1, 0.5f}, {24 * ResampleOne, 0.5f},   {24 * ResampleOne + 1, 0.425f},
      {-30 * ResampleOne, 0.425f},
  };
  for (const TCase& c : cases) {
    float out[2];
    int64_t position = Fixed(100.0);
    ResamplePolyphaseFIR(TResampleContext{impulse.Data()}, out, 1, c.Increment, position);
    EXPECT_FLOAT_EQ(out[0], c.Centre) << c.Increment / 4294967296.0;
  }
}

TEST(ResamplerTest, BesselSeriesMatchesTheLibraryFunction) {
  for (double x : {0.0, 0.5, 2.7625, 8.5, 9.6377, 14.9645, 30.0}) {
    EXPECT_NEAR(BesselI0(x, 1e-21) / I0(x), 1.0, 1e-14) << x;
    EXPECT_NEAR(BesselI0(x, 1e-6) / I0(x), 1.0, 2e-6) << x;
  }
  const double a = -20 * std::log10(std::pow(2.0, -24));
  EXPECT_NEAR(SINCKaiserBeta(), 0.1102 * (a - 8.7), 1e-12);
  EXPECT_NEAR(SINCKaiserBeta(), 14.9645, 1e-4);
}

// Windowed-sinc output at a position, from the definition.
double SINCReference(const TGuardedFrames& frames, int32_t n, double position, double ratio) {
  const double c = std::clamp(1.0 / std::fabs(ratio), 1e-18, 1.0);
  const double beta = SINCKaiserBeta();
  const int64_t i = int64_t(std::floor(position));
  const double f = position - double(i);
  const int32_t half = n / 2;
  double sum = 0;
  for (int32_t k = 0; k < n; ++k) {
    const double x = k - f - half;
    const double s = std::fabs(Pi * x) < 1e-18 ? c : std::sin(c * Pi * x) / (Pi * x);
    const double r = x / half;
    const double w = std::fabs(r) < 1 ? I0(beta * std::sqrt(1 - r * r)) / I0(beta) : 0;
    sum += s * w * frames.Frame(i - half + k);
  }
  return sum;
}

TEST(ResamplerTest, SINCCutOffFollowsTheRatio) {
  const TGuardedFrames impulse = Impulse();
  struct TCase {
    double Ratio;
    float Centre;  // the tap at x = 0 is the cut-off
  };
  for (const TCase c : {TCase{2.0, 0.5f}, TCase{-2.0, 0.5f}, TCase{4.0, 0.25f}, TCase{1.0, 1.0f}, TCase{0.5, 1.0f}}) {
    float out = Untouched;
    int64_t position = Fixed(100.0);
    ResampleSINC(TResampleContext{impulse.Data(), 0, 8}, &out, 1, Fixed(c.Ratio), position);
    EXPECT_NEAR(out, c.Centre, 1e-6) << c.Ratio;
  }
}

TEST(ResamplerTest, SINCMatchesTheWindowedSincDefinition) {
  const TGuardedFrames frames(400, [](int32_t k) { return std::sin(k * 0.21f) + 0.3f * std::cos(k * 1.3f); });
  for (int32_t n : {8, 16, 64}) {
    for (double ratio : {0.61, 1.37, 2.5}) {
      std::vector<float> out(12);
      const double start = 150.3;
      int64_t position = Fixed(start);
      ResampleSINC(TResampleContext{frames.Data(), 0, n}, out.data(), 12, Fixed(ratio), position);
      for (int32_t o = 0; o < 12; ++o) {
        const double at = (Fixed(start) + o * Fixed(ratio)) / 4294967296.0;
        EXPECT_NEAR(out[size_t(o)], SINCReference(frames, n, at, Fixed(ratio) / 4294967296.0), 2e-5)
            << n << " taps, ratio " << ratio << ", frame " << o;
      }
    }
  }
}

TEST(ResamplerTest, SINCWritesZeroForSilenceAndDenormalSums) {
  const TGuardedFrames tiny(300, [](int32_t k) { return k == 100 ? 1e-39f : 0.0f; });
  std::array<float, 2> out = {Untouched, Untouched};
  int64_t position = Fixed(100.0);
  ResampleSINC(TResampleContext{tiny.Data(), 0, 8}, out.data(), 2, ResampleOne, position);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], 0.0f);
  EXPECT_FALSE(std::signbit(out[0]));
}

// Fast-sinc tap from the table definition: phase p stands for offset p/4096 - 0.5.
double FastSINCTap(int32_t n, int32_t level, int32_t p, int32_t k) {
  const int32_t half = n / 2;
  const double beta = SINCKaiserBeta();
  const double t = p / 4096.0 - 0.5;
  const double x = k - t - half;
  const double r = x / half;
  const double w = std::fabs(r) < 1 ? I0(beta * std::sqrt(1 - r * r)) / I0(beta) : 0;
  const double c = level == 0 ? 1.0 : double(std::clamp(float(std::pow(2.0, -level / 12.0)), 0.0f, 1.0f));
  return w * (std::fabs(x) < 1e-10 ? c : std::sin(c * Pi * x) / (Pi * x));
}

TEST(ResamplerTest, FastSINCTableHoldsWindowedSincsPerLevelAndPhase) {
  TResamplingTableUse tables({rmFastSINC8, rmFastSINC8 + 1});
  for (int32_t n : {8, 16}) {
    const float* table = FastSINCTable(n);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(table) % 16, 0u);
    for (int32_t level : {0, 1, 12, 63}) {
      for (int32_t p : {0, 1, 2048, 3000, 4095}) {
        for (int32_t k = 0; k < n; ++k) {
          const float entry = table[(size_t(level) * 4096 + size_t(p)) * size_t(n) + size_t(k)];
          EXPECT_NEAR(entry, FastSINCTap(n, level, p, k), 1e-6) << n << "/" << level << "/" << p << "/" << k;
        }
      }
    }
  }
}

TEST(ResamplerTest, FastSINCReadsTheLevelRowHalfAFrameLate) {
  TResamplingTableUse tables({rmFastSINC8});
  const TGuardedFrames impulse = Impulse();
  // Phase 2048 is offset 0: the impulse itself at full cut-off, half of it at level 12.
  struct TCase {
    double Position;
    int32_t Level;
    double Expected;
  };
  const TCase cases[] = {
      {100.5, 0, 1.0},
      {100.5, 12, 0.5},
      {100.0, 0, FastSINCTap(8, 0, 0, 4)},
      {99.25, 5, FastSINCTap(8, 5, 1024, 5)},
  };
  for (const TCase& c : cases) {
    float out = Untouched;
    int64_t position = Fixed(c.Position);
    ResampleFastSINC8(TResampleContext{impulse.Data(), c.Level}, &out, 1, ResampleOne, position);
    EXPECT_NEAR(out, c.Expected, 1e-6) << c.Position << " level " << c.Level;
  }
}

TEST(ResamplerTest, CutOffLevelsFollowTheTransposition) {
  InitSynth();
  // T[k] = trunc(2^(k/12) * 2^32)
  std::array<int64_t, 64> t;
  for (size_t k = 0; k < 64; ++k) t[k] = int64_t(std::exp2l(k / 12.0L) * 4294967296.0L);
  const int64_t quarterTone = Fixed(std::exp2(1.0 / 24));
  struct TCase {
    int64_t Increment;
    bool Active;
    int32_t Level, Next;
    double Frac;
  };
  const TCase cases[] = {
      {2 * ResampleOne, true, 12, 12, 0.0},
      {quarterTone, true, 0, 1, double(quarterTone - t[0]) / double(t[1] - t[0])},
      {t[5], true, 5, 5, 0.0},
      {t[5] + 1, true, 5, 6, 1.0 / double(t[6] - t[5])},
      {ResampleOne, true, 0, 0, 0.0},
      {ResampleOne / 2, true, 0, 0, 0.0},
      {ResampleOne + 1, true, 0, 1, 1.0 / double(t[1] - t[0])},
      {64 * ResampleOne, true, 63, 63, 0.0},
      {2 * ResampleOne + 12345, false, 0, 0, 0.0},
  };
  for (const TCase& c : cases) {
    const TSINCCutOff cutOff = ComputeSINCCutOff(c.Increment, c.Active);
    EXPECT_EQ(cutOff.Level, c.Level) << c.Increment;
    EXPECT_EQ(cutOff.NextLevel, c.Next) << c.Increment;
    EXPECT_NEAR(cutOff.Frac, c.Frac, 1e-7) << c.Increment;
  }
  EXPECT_NEAR(ComputeSINCCutOff(quarterTone, true).Frac, 0.5, 0.02);
}

TEST(ResamplerTest, ChoiceOfResamplerPerStep) {
  const TResampleProc synthProc = ResampleLinear;
  struct TCase {
    int64_t Increment;
    int32_t Previous;
    int32_t ExpectedMethod;
    TResampleProc ExpectedProc;
  };
  const int64_t ratio10003 = Fixed(1.0003);
  const TCase cases[] = {
      {ResampleOne, 5, -1, ResampleNone},
      {ratio10003, 0, rmNearest, ResampleNearest},
      {ratio10003, -1, rmNearest, ResampleNearest},
      {ratio10003, 1, rmNearest, ResampleNearest},
      {ratio10003, 2, 7, synthProc},
      {ratio10003, 19, 7, synthProc},
      {ratio10003, 20, rmNearest, ResampleNearest},
      {Fixed(1.0006), 0, 7, synthProc},
      {Fixed(0.9994), 0, 7, synthProc},
      {Fixed(0.9995), 0, rmNearest, ResampleNearest},
      {Fixed(2.0), 0, 7, synthProc},
  };
  for (const TCase& c : cases) {
    const TResamplerChoice choice =
        ChooseResampler(c.Increment, c.Increment / 4294967296.0, c.Previous, 7, true, synthProc);
    EXPECT_EQ(choice.Method, c.ExpectedMethod) << c.Increment / 4294967296.0 << " after " << c.Previous;
    EXPECT_EQ(choice.Proc, c.ExpectedProc) << c.Increment / 4294967296.0 << " after " << c.Previous;
    EXPECT_EQ(choice.FastSINCActive, c.ExpectedMethod == 7);
  }
}

TEST(ResamplerTest, MethodCodesSelectRoutinesAndFields) {
  struct TCase {
    int32_t Method;
    TResampleProc Proc;
    int32_t Points, StartOffset, EndOffset;
    int64_t FracLen;
    bool FastSINC;
  };
  const int64_t f = int64_t{1} << 20;
  const TCase cases[] = {
      {0, ResampleNearest, 1, 0, 0, 0, false},
      {1, ResampleLinear, 2, -1, 0, 0, false},
      {2, ResampleCubicSpline, 4, 0, -1, f, false},
      {3, ResamplePolyphaseFIR, 8, 2, -3, f, false},
      {4, ResampleFastSINC8, 8, 2, -3, f, true},
      {5, ResampleFastSINC16, 16, 6, -7, f, true},
      {7, ResampleFastSINC64, 64, 30, -31, f, true},
      {11, ResampleFastSINC1024, 1024, 510, -511, f, true},
      {12, ResampleSINC, 8, 2, -3, 0, false},
      {19, ResampleSINC, 1024, 510, -511, 0, false},
      {20, ResampleNearest, 1, 0, 0, 0, false},
      {-1, ResampleNearest, 1, 0, 0, 0, false},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ResamplerForMethod(c.Method), c.Proc) << c.Method;
    const TResamplingMethodInfo info = ResamplingMethodInfo(c.Method);
    EXPECT_EQ(info.Points, c.Points) << c.Method;
    EXPECT_EQ(info.LoopStartOffset, c.StartOffset) << c.Method;
    EXPECT_EQ(info.LoopEndOffset, c.EndOffset) << c.Method;
    EXPECT_EQ(info.FracLen, c.FracLen) << c.Method;
    EXPECT_EQ(info.FastSINCActive, c.FastSINC) << c.Method;
  }
}

TEST(ResamplerTest, TablesAreSharedAndFreedWithTheLastUse) {
  ASSERT_EQ(ResamplingTablesUseCount(rmCubicSpline), 0);
  AcquireResamplingTables(rmCubicSpline);
  const float* first = CubicTableRow(0);
  AcquireResamplingTables(rmCubicSpline);
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 2);
  EXPECT_EQ(CubicTableRow(0), first);
  ReleaseResamplingTables(rmCubicSpline);
  EXPECT_NE(CubicTableRow(0), nullptr);
  ReleaseResamplingTables(rmCubicSpline);
  EXPECT_EQ(CubicTableRow(0), nullptr);
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 0);
  ReleaseResamplingTables(rmCubicSpline);  // an unmatched release changes nothing
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 0);

  AcquireResamplingTables(rmPolyphaseFIR);
  EXPECT_NE(PolyphaseTable(2), nullptr);
  EXPECT_EQ(FastSINCTable(8), nullptr);
  ReleaseResamplingTables(rmPolyphaseFIR);
  EXPECT_EQ(PolyphaseTable(0), nullptr);
  for (int32_t m : {rmNearest, rmLinear, rmSINC8, rmLastMethod, 20, -1}) {
    AcquireResamplingTables(m);
    EXPECT_EQ(ResamplingTablesUseCount(m), 0) << m;
    ReleaseResamplingTables(m);
  }
}

TEST(ResamplerTest, BufferInterpolationBlendsInSinglePrecision) {
  const float a[5] = {0.0f, 1.0f, -2.0f, 10.0f, 3.0f};
  const float b[5] = {1.0f, 1.0f, 2.0f, 20.0f, 7.0f};
  float d[6];
  d[5] = Untouched;
  ProcessBufferInterpolation(d, a, b, 5, 0.25f);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(d[i], a[i] * 0.75f + b[i] * 0.25f);
  EXPECT_EQ(d[5], Untouched);
}

}  // namespace
}  // namespace kelvane
