#include <gtest/gtest.h>

#include <memory>

#include "synth/resampler.h"
#include "synth/resampling_tables.h"
#include "synth/synth.h"
#include "synth/synth_init.h"
#include "synth/voice.h"

namespace kelvane {
namespace {

class ResamplingMethodTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitSynth(); }

  static bool VoicesUse(const TSynth& synth, TResampleProc proc) {
    for (int32_t i = 0; i < synth.NumberOfVoices; ++i) {
      if (synth.Voices[size_t(i)]->ResamplingProc != proc) return false;
    }
    return true;
  }
};

TEST_F(ResamplingMethodTest, NewSynthPlaysLinear) {
  auto synth = std::make_unique<TSynth>();
  EXPECT_EQ(synth->ResamplingMethod, rmLinear);
  EXPECT_EQ(synth->ResamplingPoints, 2);
  EXPECT_EQ(synth->ResamplingLoopStartOffset, -1);
  EXPECT_EQ(synth->ResamplingLoopEndOffset, 0);
  EXPECT_EQ(synth->ResamplingFracLen, 0);
  EXPECT_EQ(synth->ResamplingFracMask, 0);
  EXPECT_EQ(synth->ResamplingFracFactor, 0.0);
  EXPECT_FALSE(synth->FastSINCActive);
  EXPECT_TRUE(synth->HasResamplingTables);
  EXPECT_TRUE(VoicesUse(*synth, ResampleLinear));
}

TEST_F(ResamplingMethodTest, MethodSetsFieldsTablesAndVoices) {
  auto synth = std::make_unique<TSynth>();
  synth->SetResamplingMethod(rmCubicSpline, 1);
  EXPECT_EQ(synth->ResamplingPoints, 4);
  EXPECT_EQ(synth->ResamplingLoopStartOffset, 0);
  EXPECT_EQ(synth->ResamplingLoopEndOffset, -1);
  EXPECT_EQ(synth->ResamplingFracLen, int64_t{1} << 20);
  EXPECT_EQ(synth->ResamplingFracMask, (int64_t{1} << 20) - 1);
  EXPECT_EQ(synth->ResamplingFracFactor, 1.0 / (1 << 20));
  EXPECT_EQ(synth->ResamplingInterpolationMode, 1);
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 1);
  EXPECT_NE(CubicTableRow(0), nullptr);
  EXPECT_TRUE(VoicesUse(*synth, ResampleCubicSpline));

  synth->SetResamplingMethod(rmFastSINC8, 2);
  EXPECT_TRUE(synth->FastSINCActive);
  EXPECT_EQ(synth->ResamplingPoints, 8);
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 0);
  EXPECT_EQ(CubicTableRow(0), nullptr);
  EXPECT_NE(FastSINCTable(8), nullptr);
  EXPECT_TRUE(VoicesUse(*synth, ResampleFastSINC8));

  synth->SetResamplingMethod(rmSINC8 + 2, 0);
  EXPECT_FALSE(synth->FastSINCActive);
  EXPECT_EQ(synth->ResamplingPoints, 32);
  EXPECT_EQ(synth->ResamplingLoopStartOffset, 14);
  EXPECT_EQ(synth->ResamplingLoopEndOffset, -15);
  EXPECT_EQ(synth->ResamplingFracLen, 0);
  EXPECT_EQ(synth->ResamplingFracMask, 0);
  EXPECT_EQ(FastSINCTable(8), nullptr);
  EXPECT_TRUE(VoicesUse(*synth, ResampleSINC));

  // Voices created later follow the method too.
  synth->SetNumberOfVoices(5);
  EXPECT_TRUE(VoicesUse(*synth, ResampleSINC));
}

TEST_F(ResamplingMethodTest, SameOrInvalidMethodOnlyStoresTheMode) {
  auto synth = std::make_unique<TSynth>();
  synth->SetResamplingMethod(rmPolyphaseFIR, 0);
  const float* table = PolyphaseTable(0);
  synth->SetResamplingMethod(rmPolyphaseFIR, 2);
  EXPECT_EQ(synth->ResamplingInterpolationMode, 2);
  EXPECT_EQ(ResamplingTablesUseCount(rmPolyphaseFIR), 1);
  EXPECT_EQ(PolyphaseTable(0), table);
  for (int32_t bad : {20, -1}) {
    synth->SetResamplingMethod(bad, 1);
    EXPECT_EQ(synth->ResamplingMethod, rmPolyphaseFIR);
    EXPECT_EQ(synth->ResamplingInterpolationMode, 1);
    EXPECT_EQ(ResamplingTablesUseCount(rmPolyphaseFIR), 1);
  }
}

TEST_F(ResamplingMethodTest, SynthsShareTablesUntilTheLastLeaves) {
  auto first = std::make_unique<TSynth>();
  auto second = std::make_unique<TSynth>();
  first->SetResamplingMethod(rmCubicSpline, 0);
  second->SetResamplingMethod(rmCubicSpline, 0);
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 2);
  first->SetResamplingMethod(rmNearest, 0);
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 1);
  EXPECT_NE(CubicTableRow(0), nullptr);
  second.reset();
  EXPECT_EQ(ResamplingTablesUseCount(rmCubicSpline), 0);
  EXPECT_EQ(CubicTableRow(0), nullptr);
  EXPECT_TRUE(first->HasResamplingTables);
  EXPECT_TRUE(VoicesUse(*first, ResampleNearest));
}

}  // namespace
}  // namespace kelvane
