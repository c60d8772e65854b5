#include <gtest/gtest.h>

#include <vector>

#include "synth/audio_active_state_tracker.h"

namespace kelvane {
namespace {

TEST(AudioActiveStateTracker, StartsIdleAndWakesOnInputAboveMinus120dB) {
  TAudioActiveStateTracker tracker;
  EXPECT_EQ(tracker.fSampleRate, 44100);
  EXPECT_EQ(tracker.fSeconds, 10);
  EXPECT_NEAR(tracker.fThreshold, 0.000001, 1e-18);
  EXPECT_EQ(tracker.fInputSilence, 882000);
  EXPECT_EQ(tracker.fOutputSilence, 882000);
  EXPECT_FALSE(tracker.Active());

  std::vector<TBufferSample> block(64);
  block[63].Right = 0.000001f;  // at the threshold: still silence
  tracker.ScanInput(block.data(), 64);
  EXPECT_FALSE(tracker.Active());
  EXPECT_EQ(tracker.fInputSilence, 882064);

  block[63].Right = -0.0000011f;  // the last float of the interleaved run
  tracker.ScanInput(block.data(), 64);
  EXPECT_EQ(tracker.fInputSilence, 0);
  EXPECT_TRUE(tracker.Active());
}

TEST(AudioActiveStateTracker, IdlesOnlyAfterTenSecondsOfSilenceInAndOut) {
  for (int32_t rate : {44100, 96000}) {
    SCOPED_TRACE(rate);
    TAudioActiveStateTracker tracker;
    tracker.fSampleRate = rate;
    const int64_t limit = int64_t{rate} * 10;
    std::vector<TBufferSample> silence(1000);
    std::vector<TBufferSample> loud(1, TBufferSample{{{0.5f, 0.0f}}});
    tracker.ScanInput(loud.data(), 1);
    tracker.ScanOutput(loud.data(), 1);

    // Input silent for the whole limit, output still recently loud.
    tracker.fInputSilence = limit;
    tracker.fOutputSilence = limit - 1;
    EXPECT_TRUE(tracker.Active());
    tracker.ScanSingleOutput(TBufferSample{{{0.0f, -0.000001f}}});
    EXPECT_EQ(tracker.fOutputSilence, limit);
    EXPECT_FALSE(tracker.Active());

    tracker.ScanSingleOutput(TBufferSample{{{0.0f, -0.00001f}}});
    EXPECT_EQ(tracker.fOutputSilence, 0);
    EXPECT_TRUE(tracker.Active());

    tracker.ScanOutput(silence.data(), 1000);
    EXPECT_EQ(tracker.fOutputSilence, 1000);
    tracker.ScanOutput(loud.data(), 1);
    EXPECT_EQ(tracker.fOutputSilence, 0);
  }
}

}  // namespace
}  // namespace kelvane
