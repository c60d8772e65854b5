#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <vector>

#include "synth/resampling_tables.h"
#include "voice_test_support.h"

namespace kelvane {
namespace {

using test::TVoiceFixture;

constexpr double Pi = std::numbers::pi;
constexpr int32_t SampleFrames = 2000;  // both tones complete whole cycles over the loop
constexpr int32_t SampleRate = 48000;   // played at 44.1 kHz: no read position falls on a frame
constexpr int32_t Frames = 8192;        // analysed output frames
constexpr int32_t ToneBins = 8;         // either side of the tone: the window's main lobe and skirt

void Fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2 * Pi / static_cast<double>(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> wk = 1.0;
      for (size_t k = 0; k < len / 2; k++, wk *= w) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

// Energy outside the expected tone's bins relative to the tone's, in dB,
// under a 4-term Blackman-Harris window (side lobes -92 dB).
double SpuriousLevelDb(const std::vector<float>& x, double toneCyclesPerFrame) {
  const size_t n = x.size();
  std::vector<std::complex<double>> a(n);
  for (size_t i = 0; i < n; i++) {
    const double t = 2 * Pi * static_cast<double>(i) / static_cast<double>(n);
    const double w = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
    a[i] = w * x[i];
  }
  Fft(a);
  const double toneBin = toneCyclesPerFrame * static_cast<double>(n);
  double tone = 0, rest = 0;
  for (size_t k = ToneBins; k <= n / 2; k++) {  // DC and its skirt left out
    const double e = std::norm(a[k]);
    (std::fabs(static_cast<double>(k) - toneBin) <= ToneBins ? tone : rest) += e;
  }
  return 10 * std::log10(std::max(rest, 1e-30) / tone);
}

struct TDirection {
  const char* Name;
  int32_t Note;              // root 69
  double SourceCyclesPerFrame;
  double Ratio;              // read frames per output frame
};

const TDirection Directions[] = {
    {"up", 81, 0.15, 2.0 * SampleRate / 44100.0},
    {"down", 57, 0.4, 0.5 * SampleRate / 44100.0},
};

// A looped sine played an octave from its root through one method; the left
// output from well after the attack on.
std::vector<float> Render(int32_t method, const TDirection& d) {
  TVoiceFixture f;
  f.sample = test::MakeSineSample(*f.synth, SampleFrames, 1.0 / d.SourceCyclesPerFrame, 0, SampleFrames, SampleRate);
  f.layer->Sample = f.sample.get();
  f.layer->SetGenerator(54, 1);  // loop continuously
  f.synth->SetResamplingMethod(method, 0);
  f.voice->UpdateResamplingProc();
  f.Start(d.Note);
  constexpr int32_t block = 512, skip = 2048;
  std::vector<float> out;
  for (int32_t done = 0; done < skip + Frames; done += block) {
    f.Render(block);
    if (done < skip) continue;
    for (int32_t i = 0; i < block; i++) out.push_back(f.Out[static_cast<size_t>(i)].Left);
  }
  return out;
}

struct TMethod {
  const char* Name;
  int32_t Code;
};

const TMethod Methods[] = {
    {"NEAREST", rmNearest},         {"LINEAR", rmLinear},           {"CUBICSPLINE", rmCubicSpline},
    {"POLYPHASEFIR", rmPolyphaseFIR}, {"FASTSINC8", rmFastSINC8},   {"FASTSINC16", rmFastSINC8 + 1},
    {"FASTSINC32", rmFastSINC8 + 2}, {"FASTSINC64", rmFastSINC8 + 3}, {"SINC8", rmSINC8},
    {"SINC16", rmSINC8 + 1},        {"SINC32", rmSINC8 + 2},        {"SINC64", rmSINC8 + 3},
};
constexpr size_t MethodCount = std::size(Methods);

TEST(VoiceAliasing, OctaveTranspositionsRankNearestWorstAndSincBest) {
  double level[MethodCount][2];
  std::printf("%-14s %10s %10s   (spurious energy vs tone, dB)\n", "method", "up", "down");
  for (size_t m = 0; m < MethodCount; m++) {
    for (size_t d = 0; d < 2; d++) {
      const TDirection& dir = Directions[d];
      level[m][d] = SpuriousLevelDb(Render(Methods[m].Code, dir), dir.SourceCyclesPerFrame * dir.Ratio);
    }
    std::printf("%-14s %10.1f %10.1f\n", Methods[m].Name, level[m][0], level[m][1]);
  }
  for (size_t d = 0; d < 2; d++) {
    SCOPED_TRACE(Directions[d].Name);
    for (size_t m = 1; m < MethodCount; m++) EXPECT_LT(level[m][d], level[0][d] - 3) << Methods[m].Name;
    const size_t sinc64 = MethodCount - 1;
    for (size_t m = 0; m < 4; m++) EXPECT_LT(level[sinc64][d], level[m][d] - 10) << Methods[m].Name;
    EXPECT_GT(level[0][d], -40.0);
    EXPECT_LT(level[sinc64][d], -60.0);
  }
}

}  // namespace
}  // namespace kelvane
