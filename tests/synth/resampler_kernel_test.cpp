#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include "synth/resampler.h"
#include "synth/resampler_avx2.h"
#include "synth/resampler_fixtures.h"

namespace kelvane {
namespace {

using test::Fixed;
using test::TGuardedFrames;
using test::TResamplingTableUse;

// A random table of 4096 rows of N taps, 16-byte aligned like the shared ones.
class TRandomTable {
 public:
  explicit TRandomTable(int32_t n, uint32_t seed) : fSize(size_t(4096) * size_t(n)) {
    fData = static_cast<float*>(::operator new[](fSize * sizeof(float), std::align_val_t{16}));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (size_t i = 0; i < fSize; ++i) fData[i] = d(rng);
  }
  ~TRandomTable() { ::operator delete[](fData, std::align_val_t{16}); }
  TRandomTable(const TRandomTable&) = delete;
  TRandomTable& operator=(const TRandomTable&) = delete;
  const float* Data() const { return fData; }

 private:
  size_t fSize;
  float* fData;
};

// The SIMD kernels agree bit for bit with the plain ones, for every kernel
// length, output length and alignment of the frames; both agree with a plain
// double-precision dot product.
TEST(ResamplerKernelTest, SIMDMatchesScalarOverLengthsAndAlignments) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  const TGuardedFrames frames(12000, [&](int32_t) { return d(rng); });
  for (int32_t n : {4, 8, 16, 64, 256}) {
    const TRandomTable table(n, uint32_t(n));
    const int32_t firstTap = -n / 2;
    for (int32_t samples : {0, 1, 3, 4, 63, 64, 4096}) {
      for (int32_t misalign = 0; misalign < 4; ++misalign) {
        const int64_t start = Fixed(misalign % 2 ? 11000 + misalign : 600 + misalign) + 0x12345678;
        // Odd offsets play backwards.
        const int64_t increment = (Fixed(1.0) + 0x0FEDCBA9 * (misalign + 1)) * (misalign % 2 ? -1 : 1);
        std::vector<float> scalar(size_t(samples) + 1, -9.0f), simd(size_t(samples) + 1, -9.0f);
        int64_t p1 = start, p2 = start;
        detail::ResampleTableScalar(frames.Data(), table.Data(), n, firstTap, scalar.data(), samples, increment, p1);
        detail::ResampleTableSIMD(frames.Data(), table.Data(), n, firstTap, simd.data(), samples, increment, p2);
        ASSERT_EQ(p1, start + samples * increment);
        ASSERT_EQ(p2, p1);
        ASSERT_EQ(scalar, simd) << n << " taps, " << samples << " frames, offset " << misalign;
        for (int32_t o = 0; o < samples; o += 61) {
          const int64_t p = start + o * increment;
          const float* row = table.Data() + ((p >> 20) & 4095) * n;
          double expected = 0;
          for (int32_t k = 0; k < n; ++k) expected += double(row[k]) * frames.Frame((p >> 32) + firstTap + k);
          ASSERT_NEAR(simd[size_t(o)], expected, 1e-5 * n) << n << " taps, frame " << o;
        }
      }
    }
  }
}

// Run lengths around the vector widths (4 and 8) and the 32-frame
// modulation step, and increments forwards and backwards with fractions on
// both sides of 2^31 (the unsigned conversion the vector code does in two
// halves), whole frames, and a tiny and a large step.
constexpr int32_t KernelRunLengths[] = {1, 3, 4, 7, 8, 9, 31, 32, 33, 64, 1001};
const int64_t KernelIncrements[] = {Fixed(1.0) + 0x0FEDCBA9, Fixed(0.5) + 0x7FFFFFFF, Fixed(3.0) + 0x80000001,
                                    -(Fixed(1.0) + 0x0FEDCBA9), 0x00000001, -0x7FFFFFFF, Fixed(2.0),
                                    Fixed(7.0) + 0x12345};

// Backwards from near the end; forwards from the middle and from the guard
// frames before frame 0 (negative frame indices).
std::vector<int64_t> KernelStarts(int64_t increment) {
  if (increment < 0) return {Fixed(11000) + 0xFFFFFFF0};
  return {Fixed(600) + 0xFFFFFFF0, Fixed(-3.25)};
}

// A linear kernel with the signature of detail::ResampleLinearScalar.
using TLinearKernel = void (*)(const float*, float*, int32_t, int64_t, int64_t&);

void LinearByContext(const float* data, float* buffer, int32_t samples, int64_t increment, int64_t& position) {
  ResampleLinear(TResampleContext{data}, buffer, samples, increment, position);
}

void LinearAVX2(const float* data, float* buffer, int32_t samples, int64_t increment, int64_t& position) {
  detail::ResampleLinearAVX2(data + TGuardedFrames::Guard, buffer, samples, increment, position);
}

// Each vector build of the linear resampler (and the routine that picks one)
// against its frame-by-frame reference; none writes past the run.
TEST(ResamplerKernelTest, LinearBuildsMatchScalar) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  const TGuardedFrames frames(12000, [&](int32_t) { return d(rng); });
  std::vector<std::pair<const char*, TLinearKernel>> builds = {{"ResampleLinear", LinearByContext},
                                                               {"SSE2", detail::ResampleLinearSIMD}};
  if (detail::CPUHasAVX2()) builds.emplace_back("AVX2", LinearAVX2);
  for (const auto& [name, kernel] : builds) {
    for (int64_t increment : KernelIncrements) {
      for (int64_t start : KernelStarts(increment)) {
        for (int32_t samples : KernelRunLengths) {
          std::vector<float> scalar(static_cast<size_t>(samples) + 1, -9.0f), simd(scalar.size(), -9.0f);
          int64_t p1 = start, p2 = start;
          detail::ResampleLinearScalar(frames.Data(), scalar.data(), samples, increment, p1);
          kernel(frames.Data(), simd.data(), samples, increment, p2);
          ASSERT_EQ(p2, p1) << name;
          ASSERT_EQ(scalar, simd) << name << ": " << increment << " from " << start << ", " << samples << " frames";
        }
      }
    }
  }
}

// The cubic spline's builds against the plain 4-tap table kernel: the AVX2
// kernel on a random table (each tap a different weight) and the routine
// that picks a build on the shared cubic table.
TEST(ResamplerKernelTest, CubicBuildsMatchScalar) {
  TResamplingTableUse tables({rmCubicSpline});
  std::mt19937 rng(13);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  const TGuardedFrames frames(12000, [&](int32_t) { return d(rng); });
  const TRandomTable random(4, 5);
  for (int64_t increment : KernelIncrements) {
    for (int64_t start : KernelStarts(increment)) {
      for (int32_t samples : KernelRunLengths) {
        std::vector<float> scalar(static_cast<size_t>(samples) + 1, -9.0f), simd(scalar.size(), -9.0f);
        int64_t p1 = start, p2 = start;
        detail::ResampleTableScalar(frames.Data(), CubicTableRow(0), 4, -1, scalar.data(), samples, increment, p1);
        ResampleCubicSpline(TResampleContext{frames.Data()}, simd.data(), samples, increment, p2);
        ASSERT_EQ(p2, p1);
        ASSERT_EQ(scalar, simd) << increment << " from " << start << ", " << samples << " frames";
        if (!detail::CPUHasAVX2()) continue;
        p1 = p2 = start;
        detail::ResampleTableScalar(frames.Data(), random.Data(), 4, -1, scalar.data(), samples, increment, p1);
        detail::ResampleCubicAVX2(frames.Data() + TGuardedFrames::Guard, random.Data(), simd.data(), samples,
                                  increment, p2);
        ASSERT_EQ(p2, p1);
        ASSERT_EQ(scalar, simd) << "AVX2: " << increment << " from " << start << ", " << samples << " frames";
      }
    }
  }
}

// A stand-in resampler that writes the table phase of each position plus 100
// per cut-off level, so blends show which runs were mixed.
void PhaseProbe(const TResampleContext& context, float* buffer, int32_t samples, int64_t increment,
                int64_t& position) {
  for (int32_t n = 0; n < samples; ++n) {
    buffer[n] = float((position >> 20) & 4095) + 100.0f * float(context.CutOffLevel);
    position += increment;
  }
}

class ResampleInterpolatedTest : public ::testing::Test {
 protected:
  static constexpr int32_t Samples = 8;
  // Starts at phase 10; an increment of 3 phases and 3/8 of a phase below the table resolution.
  static constexpr int64_t Start = (int64_t{40} << 32) + (int64_t{10} << 20);
  static constexpr int64_t Increment = (int64_t{3} << 20) + (int64_t{3} << 17);
  static constexpr float W = 0.375f;

  float Run(const TResampleInterpolation& settings, int32_t n) {
    float dummy = 0;
    TResampleContext context{&dummy, 99};
    position = Start;
    buffer.fill(-1.0f);
    ResampleInterpolated(context, settings, {a0.data(), a1.data(), b0.data(), b1.data()}, buffer.data(), Samples,
                         Increment, position);
    EXPECT_EQ(position, Start + Samples * Increment);
    return buffer[size_t(n)];
  }

  static float Phase(int32_t n) { return float(((Start + n * Increment) >> 20) & 4095); }

  static TResampleInterpolation Settings(int32_t method, int32_t mode) {
    TResampleInterpolation s;
    s.ProcToUse = PhaseProbe;
    s.Method = method;
    s.FastSINCActive = method >= rmFastSINC8 && method < rmSINC8;
    s.CutOff = {3, 4, 0.25f};
    s.InterpolationMode = mode;
    s.FracMask = (int64_t{1} << 20) - 1;
    s.FracFactor = 1.0 / double(int64_t{1} << 20);
    return s;
  }

  int64_t position = 0;
  std::array<float, Samples> buffer, a0, a1, b0, b1;
};

TEST_F(ResampleInterpolatedTest, PlainRunWithoutTablesOrInterpolation) {
  TResampleInterpolation noMask = Settings(rmCubicSpline, 1);
  noMask.FracMask = 0;
  const TResampleInterpolation cases[] = {Settings(rmCubicSpline, 0), Settings(rmLinear, 2), Settings(rmSINC8, 2),
                                          Settings(-1, 1), noMask};
  for (const TResampleInterpolation& s : cases) {
    for (int32_t n : {0, 7}) EXPECT_EQ(Run(s, n), Phase(n) + 300.0f) << s.Method << "/" << s.InterpolationMode;
  }
}

TEST_F(ResampleInterpolatedTest, ModeOneBlendsTheNextTablePhase) {
  for (const int32_t method : {rmCubicSpline, rmPolyphaseFIR, rmFastSINC8}) {
    for (int32_t n : {0, 5, 7}) EXPECT_FLOAT_EQ(Run(Settings(method, 1), n), Phase(n) + W + 300.0f) << method;
  }
  // Mode 2 without a level blend (cubic, or fast sinc on a whole semitone) is mode 1.
  EXPECT_FLOAT_EQ(Run(Settings(rmCubicSpline, 2), 3), Phase(3) + W + 300.0f);
  TResampleInterpolation sameLevel = Settings(rmFastSINC8, 2);
  sameLevel.CutOff = {3, 3, 0.0f};
  EXPECT_FLOAT_EQ(Run(sameLevel, 3), Phase(3) + W + 300.0f);
}

TEST_F(ResampleInterpolatedTest, ModeTwoAlsoBlendsTheNextCutOffLevel) {
  const TResampleInterpolation s = Settings(rmFastSINC8, 2);
  for (int32_t n : {0, 4, 7}) EXPECT_FLOAT_EQ(Run(s, n), Phase(n) + W + 0.75f * 300.0f + 0.25f * 400.0f);
}

TEST_F(ResampleInterpolatedTest, WholePhaseIncrementSkipsThePhaseBlend) {
  // An increment without bits below the table resolution: w = 0.
  TResampleInterpolation s = Settings(rmFastSINC8, 2);
  float dummy = 0;
  TResampleContext context{&dummy, 0};
  int64_t p = Start;
  const int64_t whole = int64_t{5} << 20;
  ResampleInterpolated(context, s, {a0.data(), a1.data(), b0.data(), b1.data()}, buffer.data(), Samples, whole, p);
  EXPECT_EQ(p, Start + Samples * whole);
  EXPECT_FLOAT_EQ(buffer[2], float(10 + 2 * 5) + 0.75f * 300.0f + 0.25f * 400.0f);
  s.InterpolationMode = 1;
  p = Start;
  ResampleInterpolated(context, s, {a0.data(), a1.data(), b0.data(), b1.data()}, buffer.data(), Samples, whole, p);
  EXPECT_EQ(buffer[2], float(10 + 2 * 5) + 300.0f);
}

}  // namespace
}  // namespace kelvane
