#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth_test_support.h"

namespace kelvane::test {
namespace {

using Log = std::vector<std::string>;

class RenderLoop : public ::testing::Test {
 protected:
  Log Render(int32_t frames) {
    Synth->Log.clear();
    Output.assign(static_cast<size_t>(frames), TBufferSample{{{9.0f, 9.0f}}});
    Synth->FillBuffer(Output.data(), frames);
    return Synth->Log;
  }
  void Add(int64_t position, uint8_t marker) { Synth->AddEvent(MakeEvent(position, 0x90, marker)); }

  std::unique_ptr<TRecordingSynth> Synth = std::make_unique<TRecordingSynth>();
  std::vector<TBufferSample> Output;
};

TEST_F(RenderLoop, CutsEventFreeBlocksIntoSubBlocksOfAtMost4096) {
  EXPECT_EQ(Render(10000), (Log{"C4096", "C4096", "C1808"}));
  EXPECT_EQ(Render(4096), (Log{"C4096"}));
  EXPECT_EQ(Render(1), (Log{"C1"}));
  EXPECT_EQ(Render(0), Log{});
  EXPECT_EQ(Synth->CurrentPosition, 10000 + 4096 + 1);
}

TEST_F(RenderLoop, OverwritesTheOutputWithTheMix) {
  Render(5000);
  for (const TBufferSample& frame : Output) {
    ASSERT_EQ(frame.Left, 0.0f);
    ASSERT_EQ(frame.Right, 0.0f);
  }
}

TEST_F(RenderLoop, DispatchesEachEventAtItsFrame) {
  Add(100, 1);
  Add(5000, 2);
  EXPECT_EQ(Render(6000), (Log{"C100", "E1@100", "C4096", "C804", "E2@5000", "C1000"}));
}

TEST_F(RenderLoop, EventAtZeroComesBeforeTheFirstFrame) {
  Add(0, 1);
  EXPECT_EQ(Render(64), (Log{"E1@0", "C64"}));
}

TEST_F(RenderLoop, EventsAtTheSameFrameKeepArrivalOrder) {
  Add(50, 1);
  Add(50, 2);
  Add(50, 3);
  EXPECT_EQ(Render(100), (Log{"C50", "E1@50", "E2@50", "E3@50", "C50"}));
}

TEST_F(RenderLoop, CountdownContinuesIntoTheNextCall) {
  Add(5000, 1);
  Add(5001, 2);
  EXPECT_EQ(Render(4096), (Log{"C4096"}));
  EXPECT_EQ(Render(4096), (Log{"C904", "E1@904", "C1", "E2@905", "C3191"}));
  EXPECT_EQ(Render(100), (Log{"C100"}));
}

TEST_F(RenderLoop, ClearEventsRestartsPositionsAtTheNextBlock) {
  Add(10, 1);
  Render(100);
  Synth->ClearEvents();
  EXPECT_EQ(Render(300), (Log{"C300"}));
  Synth->ClearEvents();
  Add(10, 2);
  EXPECT_EQ(Render(30), (Log{"C10", "E2@10", "C20"}));
}

TEST_F(RenderLoop, ResetReplaysQueuedEventsFromTheStart) {
  Add(10, 1);
  Add(20, 2);
  const Log first = Render(40);
  Synth->Reset();
  EXPECT_EQ(Render(40), first);
}

TEST_F(RenderLoop, OverdueEventsGoFirstAndLaterOnesKeepTheirPositions) {
  // A successor keeps its own frame even when its predecessor was overdue.
  Add(-10, 1);
  Add(-3, 2);
  Add(5, 3);
  EXPECT_EQ(Render(20), (Log{"E1@0", "E2@0", "C5", "E3@5", "C15"}));
}

TEST_F(RenderLoop, StopProcessingLeavesTheBufferUntouched) {
  Add(0, 1);
  Synth->StopProcessing.store(true);
  EXPECT_EQ(Render(256), Log{});
  for (const TBufferSample& frame : Output) ASSERT_EQ(frame.Left, 9.0f);
  EXPECT_EQ(Synth->CurrentEvent->Data[0], 1);
}

TEST(ProcessEvent, RoutesChannelMessagesByOmniChannel) {
  auto synth = std::make_unique<TSynth>();
  std::vector<std::vector<int>> received(16);
  for (int i = 0; i < 16; i++) {
    synth->Channels[static_cast<size_t>(i)] = std::make_unique<TRecordingChannel>(*synth, i, received[static_cast<size_t>(i)]);
  }
  auto send = [&](uint8_t command) { synth->ProcessEvent(MakeEvent(0, command, 0)); };

  for (uint8_t status : {0x80, 0x95, 0xAF, 0xB3, 0xC9, 0xDA, 0xE0}) send(status);
  EXPECT_EQ(received[0], (std::vector<int>{0x80, 0xE0}));
  EXPECT_EQ(received[5], std::vector<int>{0x95});
  EXPECT_EQ(received[15], std::vector<int>{0xAF});
  EXPECT_EQ(received[3], std::vector<int>{0xB3});
  EXPECT_EQ(received[9], std::vector<int>{0xC9});
  EXPECT_EQ(received[10], std::vector<int>{0xDA});

  for (auto& r : received) r.clear();
  synth->OmniChannel = 3;
  for (uint8_t status : {0x93, 0x94, 0x83, 0xB0}) send(status);
  EXPECT_EQ(received[3], (std::vector<int>{0x93, 0x83}));
  EXPECT_TRUE(received[4].empty());
  EXPECT_TRUE(received[0].empty());

  // Non-channel status bytes never reach a channel.
  for (auto& r : received) r.clear();
  synth->OmniChannel = -1;
  for (uint8_t status : {0x00, 0x7F, 0xF0, 0xF7, 0xF8, 0xFF}) send(status);
  for (const auto& r : received) EXPECT_TRUE(r.empty());
}

TEST(ClickRemoval, ChannelResiduesFall60dBIn19Point5Milliseconds) {
  for (int32_t rate : {44100, 48000, 96000}) {
    SCOPED_TRACE(rate);
    auto synth = std::make_unique<TSynth>();
    synth->Chorus->Active = false;  // only the residues themselves, no wet chorus
    synth->SetSampleRate(rate);
    const double factor = std::pow(0.001, 1.0 / (rate * 0.01950138117913832));
    EXPECT_DOUBLE_EQ(synth->ClickRemovalFactor, factor);

    TChannel& channel = *synth->Channels[4];
    channel.Last = {{{1.0f, -0.5f}}};
    channel.ChorusLast = {{{0.25f, 0.0f}}};
    const int32_t frames = static_cast<int32_t>(std::lround(rate * 0.01950138117913832));
    std::vector<TBufferSample> out(static_cast<size_t>(frames));
    synth->FillBuffer(out.data(), frames);
    // Frame n carries Last * factor^(n + 1).
    for (int32_t n : {0, 1, 2, 3, 4, 5, 100, frames - 1}) {
      const double expected = std::pow(factor, n + 1);
      EXPECT_NEAR(out[static_cast<size_t>(n)].Left, expected, expected * 1e-5) << n;
      EXPECT_NEAR(out[static_cast<size_t>(n)].Right, -0.5 * expected, expected * 1e-5) << n;
    }
    EXPECT_NEAR(out.back().Left, 0.001, 0.001 * 0.01);
    EXPECT_NEAR(channel.Last.Left, 0.001, 0.001 * 0.01);
    EXPECT_NEAR(channel.ChorusLast.Left, 0.25 * 0.001, 0.25 * 0.001 * 0.01);
    EXPECT_EQ(channel.ChorusLast.Right, 0.0f);
  }
}

TEST(ClickRemoval, FlushToZeroEndsTheResidueExactly) {
  auto synth = std::make_unique<TSynth>();
  synth->Channels[0]->Last = {{{1.0f, 1.0f}}};
  // 1.0 falls below the smallest normal float (2^-126, about -759 dB) after
  // 126 * 20 * log10(2) / 60 * 860 = ~10900 frames at 44.1 kHz.
  std::vector<TBufferSample> out(12000);
  synth->FillBuffer(out.data(), 12000);
  EXPECT_EQ(synth->Channels[0]->Last.Left, 0.0f);
  EXPECT_EQ(synth->Channels[0]->Last.Right, 0.0f);
}

}  // namespace
}  // namespace kelvane::test
