#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

#include "synth/aligned_memory.h"
#include "synth/math_helpers.h"
#include "synth/mixing.h"
#include "synth/peak.h"

namespace kelvane {
namespace {

const int32_t Lengths[] = {0, 1, 3, 4, 5, 63, 64, 4096};

std::vector<TBufferSample> RandomFrames(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<TBufferSample> frames(count);
  for (auto& f : frames) f = {{{dist(rng), dist(rng)}}};
  return frames;
}

TEST(MathHelpers, ClipSarAndPowerOfTwo) {
  EXPECT_EQ(ClipInt(-5, 1, 8192), 1);
  EXPECT_EQ(ClipInt(9000, 1, 8192), 8192);
  EXPECT_EQ(ClipInt(77, 1, 8192), 77);

  const struct {
    int32_t value, shift, expected;
  } sar[] = {{-1, 1, -1}, {-8, 2, -2}, {-7, 1, -4}, {7, 1, 3}, {-256, 8, -1}, {-257, 8, -2},
             {INT32_MIN, 31, -1}, {INT32_MAX, 31, 0}, {-5, 0, -5}, {-5, 40, -1}};
  for (const auto& c : sar) EXPECT_EQ(SARLongint(c.value, c.shift), c.expected) << c.value << ">>" << c.shift;

  const struct {
    uint64_t n, expected;
  } pow2[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {4096, 4096}, {4097, 8192},
              {(uint64_t{1} << 40) + 1, uint64_t{1} << 41}, {uint64_t{1} << 63, uint64_t{1} << 63}};
  for (const auto& c : pow2) EXPECT_EQ(RoundUpToPowerOfTwoSizeUInt(c.n), c.expected) << c.n;
}

TEST(MathHelpers, DecibelsToLinear) {
  EXPECT_DOUBLE_EQ(dBToLinear(0.0), 1.0);
  EXPECT_NEAR(dBToLinear(20.0), 10.0, 1e-12);
  EXPECT_NEAR(dBToLinear(-60.0), 0.001, 1e-15);
  EXPECT_NEAR(dBToLinear(-120.0), 0.000001, 1e-18);
  EXPECT_NEAR(dBToLinear(-20.0 * std::log10(2.0)), 0.5, 1e-15);
}

TEST(AlignedMemory, AlignsAndFrees) {
  for (size_t alignment : {1u, 8u, 16u, 32u, 64u, 4096u, 24u}) {
    for (size_t size : {0u, 1u, 15u, 16384u}) {
      unsigned char* p = nullptr;
      AlignedGetMem(p, size, alignment);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << alignment;
      for (size_t i = 0; i < size; i++) p[i] = static_cast<unsigned char>(i);  // whole run is usable
      AlignedFreeMem(p);
      EXPECT_EQ(p, nullptr);
    }
  }
  float* none = nullptr;
  AlignedFreeMem(none);
  FreeMemEx(none);
  EXPECT_EQ(none, nullptr);
}

TEST(Mixing, MixAndAmpMixAddFrameByFrame) {
  for (int32_t length : Lengths) {
    for (size_t misalign : {0u, 1u, 3u}) {
      SCOPED_TRACE(::testing::Message() << length << " frames, offset " << misalign);
      const auto source = RandomFrames(static_cast<size_t>(length) + misalign, 1);
      const auto start = RandomFrames(static_cast<size_t>(length) + misalign, 2);
      auto mixed = start;
      auto ampMixed = start;
      MixToBuffer(source.data() + misalign, mixed.data() + misalign, length);
      AmpMixToBuffer(source.data() + misalign, ampMixed.data() + misalign, length, 0.375f);
      for (size_t i = 0; i < misalign; i++) ASSERT_EQ(mixed[i].Left, start[i].Left);
      for (size_t i = misalign; i < mixed.size(); i++) {
        for (int c = 0; c < 2; c++) {
          ASSERT_EQ(mixed[i].Values[c], start[i].Values[c] + source[i].Values[c]);
          ASSERT_FLOAT_EQ(ampMixed[i].Values[c], start[i].Values[c] + source[i].Values[c] * 0.375f);
        }
      }
    }
  }
}

// The vector kernel against the scalar reference and against the frame-by-frame
// definition (gain steps before each ramp frame), with ramps that end before,
// at and after the run, and with each send present or not.
TEST(Mixing, MixVoiceMatchesTheReferenceBitForBit) {
  const int32_t ramps[] = {0, 1, 5, 7, 32, 5000};
  for (int32_t length : Lengths) {
    if (length == 0) continue;
    for (int32_t ramp : ramps) {
      for (int sends = 0; sends < 4; sends++) {
        SCOPED_TRACE(::testing::Message() << length << " frames, ramp " << ramp << ", sends " << sends);
        const auto monoFrames = RandomFrames(static_cast<size_t>(length), 3);
        std::vector<float> mono(static_cast<size_t>(length));
        for (size_t i = 0; i < mono.size(); i++) mono[i] = monoFrames[i].Left;
        const auto start = RandomFrames(static_cast<size_t>(length), 4);
        std::vector<TBufferSample> dry[3] = {start, start, start}, chorus[3] = {start, start, start},
                                   reverb[3] = {start, start, start};
        const TVoiceMixGain initial{0.5f, -0.25f, 0.001f, -0.003f, ramp};
        TVoiceMixGain gains[3] = {initial, initial, initial};
        TBufferSample last[2];
        for (int k = 0; k < 2; k++) {
          TVoiceMixTargets targets;
          targets.Dry = dry[k].data();
          targets.Chorus = (sends & 1) ? chorus[k].data() : nullptr;
          targets.AmpChorus = 0.3f;
          targets.Reverb = (sends & 2) ? reverb[k].data() : nullptr;
          targets.AmpReverb = 0.7f;
          last[k] = k == 0 ? MixVoice(mono.data(), length, gains[k], targets)
                           : detail::MixVoiceScalar(mono.data(), length, gains[k], targets);
        }
        float left = initial.Left, right = initial.Right;
        for (int32_t i = 0; i < length; i++) {
          if (i < ramp) {
            left += initial.IncLeft;
            right += initial.IncRight;
          }
          const float frame[2] = {mono[static_cast<size_t>(i)] * left, mono[static_cast<size_t>(i)] * right};
          for (int c = 0; c < 2; c++) {
            const size_t f = static_cast<size_t>(i);
            dry[2][f].Values[c] += frame[c];
            if (sends & 1) chorus[2][f].Values[c] += frame[c] * 0.3f;
            if (sends & 2) reverb[2][f].Values[c] += frame[c] * 0.7f;
          }
          if (i == length - 1) {
            EXPECT_TRUE(last[0].Left == frame[0] && last[0].Right == frame[1]);
          }
        }
        for (int k = 0; k < 2; k++) {
          for (size_t f = 0; f < start.size(); f++) {
            for (int c = 0; c < 2; c++) {
              ASSERT_EQ(dry[k][f].Values[c], dry[2][f].Values[c]) << k << " frame " << f;
              ASSERT_EQ(chorus[k][f].Values[c], chorus[2][f].Values[c]) << k << " frame " << f;
              ASSERT_EQ(reverb[k][f].Values[c], reverb[2][f].Values[c]) << k << " frame " << f;
            }
          }
          EXPECT_EQ(gains[k].Left, left);
          EXPECT_EQ(gains[k].Right, right);
          EXPECT_EQ(gains[k].Ramp, std::max(0, ramp - length));
        }
        EXPECT_TRUE(last[1].Left == last[0].Left && last[1].Right == last[0].Right);
      }
    }
  }
}

TEST(ClickRemovalKernel, DecaysGeometricallyFromTheResidue) {
  const double factor = 0.99;
  for (int32_t length : Lengths) {
    SCOPED_TRACE(length);
    std::vector<TBufferSample> buffer(static_cast<size_t>(length), TBufferSample{{{0.125f, -0.125f}}});
    TBufferSample last{{{0.5f, -1.0f}}};
    ProcClickRemoval(last, buffer.data(), length, factor, 0.5);
    for (int32_t i = 0; i < length; i++) {
      const double residue = std::pow(factor, i + 1);  // decays before it is added
      ASSERT_NEAR(buffer[static_cast<size_t>(i)].Left, 0.125 + 0.5 * residue * 0.5, 1e-5) << i;
      ASSERT_NEAR(buffer[static_cast<size_t>(i)].Right, -0.125 - 1.0 * residue * 0.5, 1e-5) << i;
    }
    EXPECT_NEAR(last.Left, 0.5 * std::pow(factor, length), 1e-5);
    EXPECT_NEAR(last.Right, -std::pow(factor, length), 1e-5);
  }
}

TEST(ClickRemovalKernel, ZeroResidueLeavesTheBufferAlone) {
  std::vector<TBufferSample> buffer(8, TBufferSample{{{0.25f, 0.25f}}});
  TBufferSample last{};
  ProcClickRemoval(last, buffer.data(), 8, 0.5, 1.0);
  for (const auto& f : buffer) EXPECT_EQ(f.Left, 0.25f);
  // One component alone is enough to decay.
  last = {{{0.0f, 1.0f}}};
  ProcClickRemoval(last, buffer.data(), 8, 0.5, 1.0);
  EXPECT_EQ(buffer[0].Left, 0.25f);
  EXPECT_EQ(buffer[0].Right, 0.75f);
  EXPECT_EQ(last.Right, 1.0f / 256.0f);
}

// The frame-by-frame definition: decay in double, a result below the smallest
// normal float becomes a zero of its sign (what flush-to-zero does), add.
std::vector<TBufferSample> ClickRemovalReference(TBufferSample last, std::vector<TBufferSample> frames, double factor,
                                                 double amp) {
  auto decay = [factor](float r) {
    const double p = r * factor;
    return std::fabs(p) < 0x1.ffffffp-127 ? std::copysign(0.0f, static_cast<float>(p)) : static_cast<float>(p);
  };
  for (auto& frame : frames) {
    last = {{{decay(last.Left), decay(last.Right)}}};
    frame.Left += static_cast<float>(last.Left * amp);
    frame.Right += static_cast<float>(last.Right * amp);
    if (last.Left == 0.0f && last.Right == 0.0f) break;
  }
  return frames;
}

// Cut into blocks of every length, the kernel must match the definition
// exactly, and a residue that reached zero adds nothing more (not even the
// sign of a zero), so the cut does not show. The residue ends, side by side
// or one side long before the other, whether or not the FPU flushes
// denormals itself (without the flush a decay of 0.992 would stop at a
// denormal and never end).
TEST(ClickRemovalKernel, MatchesTheFrameByFrameDefinitionInAnyBlocks) {
  const struct {
    double factor, amp;
    TBufferSample start;
    int32_t frames;
  } cases[] = {
      {0.5, 0.3, {{{1.0f, -0.75f}}}, 400},          // zero before frame 160
      {0.5, 1.0, {{{-1.0f, 0.0f}}}, 400},
      {0.992, 1.0, {{{0.5f, -0.25f}}}, 12000},      // the decay at 44.1 kHz: about 11,000 frames
      {0.992, 0.4, {{{1e-30f, 0.75f}}}, 12000},     // the left side ends long before the right
      {1.0, 0.5, {{{0.25f, -0.25f}}}, 300},         // no decay: never ends
  };
  for (const bool flushMode : {false, true}) {
#if defined(__SSE2__) || defined(_M_X64)
    const unsigned csr = _mm_getcsr();
    if (flushMode) _mm_setcsr(csr | 0x8040);
#else
    if (flushMode) continue;
#endif
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "factor " << c.factor << " amp " << c.amp << " flush " << flushMode);
      const std::vector<TBufferSample> initial(static_cast<size_t>(c.frames), TBufferSample{{{-0.0f, 0.25f}}});
      const std::vector<TBufferSample> expected = ClickRemovalReference(c.start, initial, c.factor, c.amp);
      for (int32_t block : {1, 3, 4, 7, 64, 4096, c.frames}) {
        SCOPED_TRACE(block);
        std::vector<TBufferSample> buffer = initial;
        TBufferSample last = c.start;
        for (int32_t start = 0; start < c.frames; start += block)
          ProcClickRemoval(last, buffer.data() + start, std::min(block, c.frames - start), c.factor, c.amp);
        for (int32_t i = 0; i < c.frames; i++) {
          const auto& got = buffer[static_cast<size_t>(i)];
          const auto& want = expected[static_cast<size_t>(i)];
          ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "frame " << i << ": " << got.Left << " " << want.Left;
        }
        if (c.factor < 1.0) {
          EXPECT_EQ(last.Left, 0.0f);
          EXPECT_EQ(last.Right, 0.0f);
        } else {
          EXPECT_EQ(last.Left, c.start.Left);
        }
      }
    }
#if defined(__SSE2__) || defined(_M_X64)
    _mm_setcsr(csr);
#endif
  }
}

// Two sends decaying along with the residue get what separate calls from the
// same residue give them, bit for bit, in any blocks.
TEST(ClickRemovalKernel, SendsMatchSeparateCalls) {
  const int32_t frames = 12000;
  const double factor = 0.992;
  const std::vector<TBufferSample> initial = RandomFrames(frames, 7);
  const TBufferSample start{{{0.375f, -0.5f}}};
  for (const double amp : {1.0, 0.7}) {
    std::vector<TBufferSample> dry = initial, chorus = initial, reverb = initial;
    TBufferSample last = start;
    ProcClickRemoval(last, dry.data(), frames, factor, amp);
    TBufferSample residue = start;
    ProcClickRemoval(residue, chorus.data(), frames, factor, 0.25);
    residue = start;
    ProcClickRemoval(residue, reverb.data(), frames, factor, 1.0);
    for (int32_t block : {5, 1024, frames}) {
      SCOPED_TRACE(testing::Message() << "amp " << amp << " block " << block);
      std::vector<TBufferSample> d = initial, c = initial, r = initial;
      TBufferSample shared = start;
      for (int32_t at = 0; at < frames; at += block) {
        const int32_t n = std::min(block, frames - at);
        ProcClickRemoval(shared, d.data() + at, n, factor, amp, c.data() + at, 0.25, r.data() + at, 1.0);
      }
      EXPECT_EQ(std::memcmp(d.data(), dry.data(), frames * sizeof(TBufferSample)), 0);
      EXPECT_EQ(std::memcmp(c.data(), chorus.data(), frames * sizeof(TBufferSample)), 0);
      EXPECT_EQ(std::memcmp(r.data(), reverb.data(), frames * sizeof(TBufferSample)), 0);
      EXPECT_EQ(std::memcmp(&shared, &last, sizeof last), 0);
    }
  }
}

TEST(Peak, FindsThePeakAtEveryPositionOf31Values) {
  for (int position = 0; position < 31; position++) {
    std::vector<float> data(31);
    for (int i = 0; i < 31; i++) data[static_cast<size_t>(i)] = 0.001f * static_cast<float>(i % 7) - 0.003f;
    data[static_cast<size_t>(position)] = position % 2 ? -5.0f : 5.0f;
    EXPECT_EQ(GetMono32BitMaximumAbsolutePeak(data.data(), 31), 5.0f) << position;
  }
}

TEST(Peak, VectorPathMatchesScalarOverLengthsAndOffsets) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
  std::vector<float> data(4096 + 3);
  for (auto& v : data) v = dist(rng);
  EXPECT_EQ(GetMono32BitMaximumAbsolutePeak(data.data(), 0), 0.0f);
  EXPECT_EQ(GetMono32BitMaximumAbsolutePeak(data.data(), -4), 0.0f);
  for (int32_t length : {1, 3, 4, 15, 16, 17, 31, 32, 63, 64, 4096}) {
    for (size_t offset : {0u, 1u, 3u}) {
      EXPECT_EQ(GetMono32BitMaximumAbsolutePeak(data.data() + offset, length),
                GetMono32BitMaximumAbsolutePeakScalar(data.data() + offset, length))
          << length << "+" << offset;
    }
  }
}

class AutomaticGainControl : public ::testing::Test {
 protected:
  const double Rate = 44100.0;
  const float Attack = static_cast<float>(std::pow(0.001, 1.0 / (Rate * 0.015)));
  const float Release = static_cast<float>(std::pow(1000.0, 1.0 / Rate));
};

TEST_F(AutomaticGainControl, HoldsOverloadDownByTheAttackFactorPerFrame) {
  // Each frame is scaled by the gain after its own update. 2.0 * Attack^(k+1)
  // stays above full scale while k + 1 < ln(0.5) / ln(Attack) = 66.4, so
  // frames 0..65 clip to exactly 1 and frame 66 is the first below.
  const int32_t clipped = 66;
  std::vector<TBufferSample> buffer(clipped + 1, TBufferSample{{{2.0f, -2.0f}}});
  float factor = 1.0f;
  ApplyAutomaticGainControl(buffer.data(), 1, factor, Attack, Release);
  EXPECT_EQ(buffer[0].Left, 1.0f);
  EXPECT_EQ(buffer[0].Right, -1.0f);
  EXPECT_FLOAT_EQ(factor, Attack);

  ApplyAutomaticGainControl(buffer.data() + 1, clipped, factor, Attack, Release);
  for (int32_t k = 0; k < clipped; k++) {
    ASSERT_EQ(buffer[static_cast<size_t>(k)].Left, 1.0f) << k;
    ASSERT_EQ(buffer[static_cast<size_t>(k)].Right, -1.0f) << k;
  }
  const double gain67 = std::pow(static_cast<double>(Attack), clipped + 1);
  EXPECT_NEAR(factor, gain67, 1e-5);
  EXPECT_NEAR(buffer[clipped].Left, 2.0 * gain67, 1e-5);
  EXPECT_LT(buffer[clipped].Left, 1.0f);

  // The next frame of 2.0 is within full scale at this gain: the gain goes
  // back to just above 1 and the output is 2.0 clipped.
  TBufferSample next{{{2.0f, 2.0f}}};
  const double before = factor;
  ApplyAutomaticGainControl(&next, 1, factor, Attack, Release);
  EXPECT_NEAR(factor, before + (1.0 - before) * Release, 1e-6);
  EXPECT_GT(factor, 1.0f);
  EXPECT_EQ(next.Left, 1.0f);
}

TEST_F(AutomaticGainControl, ReleasesToUnityOnTheFirstQuietFrame) {
  float factor = 0.25f;
  TBufferSample quiet{{{0.5f, -0.25f}}};
  ApplyAutomaticGainControl(&quiet, 1, factor, Attack, Release);
  const double expected = 0.25 + 0.75 * static_cast<double>(Release);
  EXPECT_NEAR(factor, expected, 1e-6);
  EXPECT_NEAR(quiet.Left, 0.5 * expected, 1e-6);
  EXPECT_NEAR(quiet.Right, -0.25 * expected, 1e-6);

  // At unity the gain stays exactly 1 and quiet audio passes unchanged.
  factor = 1.0f;
  TBufferSample frame{{{0.75f, -0.5f}}};
  ApplyAutomaticGainControl(&frame, 1, factor, Attack, Release);
  EXPECT_EQ(factor, 1.0f);
  EXPECT_EQ(frame.Left, 0.75f);
  EXPECT_EQ(frame.Right, -0.5f);
}

TEST_F(AutomaticGainControl, OneLoudChannelAttenuatesBoth) {
  float factor = 1.0f;
  TBufferSample frame{{{0.5f, 1.5f}}};
  ApplyAutomaticGainControl(&frame, 1, factor, Attack, Release);
  EXPECT_EQ(factor, Attack);
  EXPECT_FLOAT_EQ(frame.Left, 0.5f * Attack);
  EXPECT_FLOAT_EQ(frame.Right, 1.0f);
}

}  // namespace
}  // namespace kelvane
