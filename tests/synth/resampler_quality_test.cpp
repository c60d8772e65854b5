#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "synth/resampler.h"
#include "synth/resampler_fixtures.h"

namespace kelvane {
namespace {

using test::Fixed;
using test::TGuardedFrames;
using test::TResamplingTableUse;

constexpr double Pi = std::numbers::pi;
constexpr int32_t Outputs = 1000;
constexpr double StartFrame = 1500.3;

TGuardedFrames Sine(double cyclesPerFrame) {
  return TGuardedFrames(6000, [=](int32_t k) { return float(std::sin(2 * Pi * cyclesPerFrame * k)); });
}

struct TMethodRun {
  const char* Name;
  TResampleProc Proc;
  int32_t Points;
  double Delay;  // frames the method renders late
};

// RMS and peak of the difference to the ideal sine at the read positions.
struct TError {
  double Rms = 0, Peak = 0;
};

TError MeasureError(const TMethodRun& m, double cyclesPerFrame, double ratio) {
  const TGuardedFrames frames = Sine(cyclesPerFrame);
  std::vector<float> out(Outputs);
  const int64_t start = Fixed(StartFrame), increment = Fixed(ratio);
  int64_t position = start;
  m.Proc(TResampleContext{frames.Data(), 0, m.Points}, out.data(), Outputs, increment, position);
  TError e;
  for (int32_t o = 0; o < Outputs; ++o) {
    const double x = (start + o * increment) / 4294967296.0 - m.Delay;
    const double d = out[size_t(o)] - std::sin(2 * Pi * cyclesPerFrame * x);
    e.Rms += d * d;
    e.Peak = std::max(e.Peak, std::fabs(d));
  }
  e.Rms = std::sqrt(e.Rms / Outputs);
  return e;
}

double OutputRms(TResampleProc proc, int32_t points, int32_t level, double cyclesPerFrame, double ratio) {
  const TGuardedFrames frames = Sine(cyclesPerFrame);
  std::vector<float> out(Outputs);
  int64_t position = Fixed(StartFrame);
  proc(TResampleContext{frames.Data(), level, points}, out.data(), Outputs, Fixed(ratio), position);
  double sum = 0;
  for (float v : out) sum += double(v) * v;
  return std::sqrt(sum / Outputs);
}

class ResamplerQualityTest : public ::testing::Test {
 protected:
  TResamplingTableUse tables{rmCubicSpline, rmPolyphaseFIR, rmFastSINC8 + 1};
};

// A tone at 3% of the sampling rate, at ratios down and up. The bounds are the
// classic ones: nearest within one frame of slope (2 pi f), linear within
// (2 pi f)^2 / 8; the table methods add at most 1/4096 frame of phase error.
TEST_F(ResamplerQualityTest, ErrorShrinksWithTheMethodsOrder) {
  const double f = 0.03;
  const double slope = 2 * Pi * f;
  const TMethodRun methods[] = {
      {"nearest", ResampleNearest, 1, 0.0},    {"linear", ResampleLinear, 2, 0.0},
      {"cubic", ResampleCubicSpline, 4, 0.0},  {"polyphase", ResamplePolyphaseFIR, 8, 0.0},
      {"fastsinc16", ResampleFastSINC16, 16, 0.5}, {"sinc32", ResampleSINC, 32, 0.0},
  };
  const double peakBounds[] = {slope, slope * slope / 8, 3e-4, 2e-4, 1e-4, 1e-5};
  for (double ratio : {0.71, 1.37, 1.93}) {
    double previousRms = 1e9;
    for (size_t m = 0; m < std::size(methods); ++m) {
      const TError e = MeasureError(methods[m], f, ratio);
      EXPECT_LT(e.Peak, peakBounds[m]) << methods[m].Name << " at ratio " << ratio;
      EXPECT_LT(e.Rms, previousRms) << methods[m].Name << " at ratio " << ratio;
      previousRms = e.Rms;
    }
  }
}

// A tone at 0.4 of the sampling rate lies above the new Nyquist frequency
// (0.25) when resampling an octave up: the sincs remove it, linear aliases it.
TEST_F(ResamplerQualityTest, SincSuppressesToneAboveTheNewNyquist) {
  const double f = 0.4, ratio = 2.0;
  const double toneRms = std::sqrt(0.5);
  const double linear = OutputRms(ResampleLinear, 2, 0, f, ratio);
  const double sinc = OutputRms(ResampleSINC, 64, 0, f, ratio);
  const double fastSinc = OutputRms(ResampleFastSINC16, 16, 12, f, ratio);
  EXPECT_GT(linear, 0.1 * toneRms);
  EXPECT_LT(sinc, 1e-3 * toneRms);   // -60 dB
  EXPECT_LT(fastSinc, 0.1 * toneRms);
  // A tone below the new Nyquist passes.
  EXPECT_NEAR(OutputRms(ResampleSINC, 64, 0, 0.1, ratio), toneRms, 0.01);
}

}  // namespace
}  // namespace kelvane
