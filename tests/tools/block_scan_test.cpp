#include "tools/block_scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace kelvane {
namespace {

// Frame by frame, as the levels are defined.
void ReferenceScan(std::vector<TBufferSample>& Block, float SilenceLevel, TBlockLevels& Levels) {
  for (TBufferSample& frame : Block) {
    float loudest = 0.0f;
    for (float& value : frame.Values) {
      if (!std::isfinite(value)) {
        Levels.NotFinite = true;
        value = 0.0f;
      }
      loudest = std::max(loudest, std::fabs(value));
      if (std::fabs(value) > 1.0f) Levels.Clipped++;
    }
    Levels.Peak = std::max(Levels.Peak, loudest);
    Levels.SilentFrames = loudest < SilenceLevel ? Levels.SilentFrames + 1 : 0;
  }
}

// Blocks of every length class (odd, below one vector) with loud, clipping,
// silent and non-finite content, scanned one after another.
TEST(BlockScan, MatchesTheFrameByFrameLevels) {
  constexpr float silence = 1.0e-5f;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> loud(-1.5f, 1.5f), quiet(-2e-5f, 2e-5f);
  std::uniform_int_distribution<int32_t> length(1, 1100), pick(0, 999);
  TBlockLevels levels, expected;
  for (int32_t round = 0; round < 300; round++) {
    std::vector<TBufferSample> block(static_cast<size_t>(round % 7 == 0 ? round % 3 + 1 : length(rng)));
    const bool tail = round % 4 == 1;  // mostly silence, a loud frame now and then
    for (auto& frame : block) {
      for (float& v : frame.Values) v = tail && pick(rng) > 2 ? quiet(rng) : loud(rng);
      if (round % 10 == 3 && pick(rng) == 0) frame.Right = pick(rng) % 2 ? nan : -inf;
    }
    if (round % 5 == 2) block.back().Left = 1.0f;  // full scale is no clip
    std::vector<TBufferSample> want = block;
    ScanRenderedBlock(block.data(), static_cast<int64_t>(block.size()), silence, levels);
    ReferenceScan(want, silence, expected);
    ASSERT_EQ(levels.Peak, expected.Peak) << round;
    ASSERT_EQ(levels.Clipped, expected.Clipped) << round;
    ASSERT_EQ(levels.NotFinite, expected.NotFinite) << round;
    ASSERT_EQ(levels.SilentFrames, expected.SilentFrames) << round;
    for (size_t i = 0; i < block.size(); i++) {
      ASSERT_EQ(block[i].Left, want[i].Left) << round << " " << i;
      ASSERT_EQ(block[i].Right, want[i].Right) << round << " " << i;
    }
  }
  EXPECT_TRUE(levels.NotFinite);
  EXPECT_GT(levels.SilentFrames + levels.Clipped, 0);
}

TEST(BlockScan, SilenceRunsAcrossBlocksAndEndsAtALoudFrame) {
  TBlockLevels levels;
  std::vector<TBufferSample> silent(1000);
  ScanRenderedBlock(silent.data(), 1000, 1e-5f, levels);
  ScanRenderedBlock(silent.data(), 7, 1e-5f, levels);
  EXPECT_EQ(levels.SilentFrames, 1007);
  silent[993].Right = -1e-5f;  // at the level: loud
  ScanRenderedBlock(silent.data(), 1000, 1e-5f, levels);
  EXPECT_EQ(levels.SilentFrames, 6);
  EXPECT_EQ(levels.Peak, 1e-5f);
  EXPECT_EQ(levels.Clipped, 0);
}

}  // namespace
}  // namespace kelvane
