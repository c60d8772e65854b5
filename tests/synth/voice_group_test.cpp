// Voices rendered four at a time must sound exactly as voice after voice.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "banks/stream.h"
#include "synth/buffer_sample.h"
#include "synth/chorus.h"
#include "synth/midi_event.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth_test_support.h"
#include "synth/voice_filter.h"
#include "synth/voice_group.h"

namespace kelvane {
namespace {

// One lane's runs applied the scalar way: an active run through the
// reference filter with the run's coefficients and ramp, a bypassed run and
// the frames between runs unchanged.
void ReferenceLane(TFilter& F, float* Mono, const std::vector<TVoiceLaneFilterRun>& Runs) {
  for (const TVoiceLaneFilterRun& R : Runs) {
    if (!R.Active) continue;
    F.a1 = R.a1, F.a2 = R.a2, F.b0 = R.b0, F.b1 = R.b1, F.b2 = R.b2;
    F.a1incr = R.a1incr, F.a2incr = R.a2incr, F.b0incr = R.b0incr, F.b1incr = R.b1incr, F.b2incr = R.b2incr;
    F.FilterCoefIncrCount = R.Ramp;
    detail::ApplyActiveFilterScalar(F, Mono + R.Offset, R.Count);
  }
}

TVoiceLaneFilterRun MakeRun(std::mt19937& random, int32_t offset, int32_t count, int32_t ramp, bool active) {
  std::uniform_real_distribution<float> small(-1e-3f, 1e-3f);
  TVoiceLaneFilterRun run{};
  run.Offset = offset;
  run.Count = count;
  run.Ramp = ramp;
  run.Active = active;
  // A resonant low-pass near 2 kHz, a little different in every run.
  run.a1 = 1.7f + small(random), run.a2 = -0.78f + small(random);
  run.b0 = 0.02f + small(random), run.b1 = 0.04f + small(random), run.b2 = 0.02f + small(random);
  if (ramp > 0) {
    run.a1incr = small(random) * 1e-2f, run.a2incr = small(random) * 1e-2f, run.b0incr = small(random) * 1e-2f;
    run.b1incr = small(random) * 1e-2f, run.b2incr = small(random) * 1e-2f;
  }
  return run;
}

// Lanes with different cuts: ramps that end inside a run or fill it, steady
// runs, a bypassed run, gaps, a lane without runs, a missing lane, and runs
// whose ends do not fall on multiples of four.
TEST(VoiceGroup, LaneFiltersMatchTheScalarFilter) {
  constexpr int32_t Samples = 203;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> signal(-1.0f, 1.0f);
  std::vector<std::vector<TVoiceLaneFilterRun>> runs = {
      {MakeRun(random, 0, 37, 37, true), MakeRun(random, 37, 27, 0, true), MakeRun(random, 70, 30, 10, true),
       MakeRun(random, 100, 103, 0, true)},
      {MakeRun(random, 0, 32, 32, false), MakeRun(random, 32, 5, 3, true), MakeRun(random, 37, 1, 0, true),
       MakeRun(random, 38, 160, 31, true)},
      {},
      {MakeRun(random, 3, 200, 0, true)},
  };
  std::vector<std::vector<float>> mono(4, std::vector<float>(Samples));
  for (auto& lane : mono) {
    for (float& x : lane) x = signal(random);
  }
  std::vector<std::vector<float>> expected = mono;
  std::vector<float> spare(Samples);

  TFilter filters[4], reference[4];
  TLaneFilterJob jobs[TVoiceGroup::Lanes];
  for (int32_t l = 0; l < 4; l++) {
    filters[l].histb1 = signal(random), filters[l].histb2 = signal(random);
    filters[l].hista1 = signal(random), filters[l].hista2 = signal(random);
    reference[l] = filters[l];
    ReferenceLane(reference[l], expected[l].data(), runs[l]);
    if (l == 2) continue;  // missing lane
    jobs[l] = TLaneFilterJob{&filters[l], mono[l].data(), runs[l].data(), static_cast<int32_t>(runs[l].size())};
  }
  FilterLanes(jobs, spare.data(), Samples);

  for (int32_t l = 0; l < 4; l++) {
    SCOPED_TRACE(l);
    EXPECT_EQ(std::memcmp(mono[l].data(), expected[l].data(), Samples * sizeof(float)), 0);
    if (l == 2) continue;
    EXPECT_EQ(filters[l].histb1, reference[l].histb1);
    EXPECT_EQ(filters[l].histb2, reference[l].histb2);
    EXPECT_EQ(filters[l].hista1, reference[l].hista1);
    EXPECT_EQ(filters[l].hista2, reference[l].hista2);
  }
}

constexpr const char* BankPath = "/usr/share/sounds/sf2/TimGM6mb.sf2";
constexpr int64_t SongFrames = 44100 * 2;

using test::ShortMessage;

// Many voices at odd frames (so their modulation steps do not line up):
// looped strings and organ, unlooped piano and drums that end mid-block,
// filters swept by brightness and resonance, one channel without sends, and a
// volume swell that ramps the gains.
std::vector<TMIDIEvent> Passage() {
  std::vector<TMIDIEvent> events = {
      ShortMessage(0, 0xC0, 48, 0),  ShortMessage(0, 0xC1, 0, 0),    ShortMessage(0, 0xC2, 19, 0), ShortMessage(0, 0xC3, 81, 0),
      ShortMessage(0, 0xB2, 74, 30), ShortMessage(0, 0xB3, 71, 110), ShortMessage(0, 0xB1, 91, 0), ShortMessage(0, 0xB1, 93, 0),
  };
  for (int32_t k = 0; k < 9; k++) {
    events.push_back(ShortMessage(3 + 17 * k, static_cast<uint8_t>(0x90 + k % 4), static_cast<uint8_t>(48 + 3 * k),
                             static_cast<uint8_t>(60 + 7 * k)));
  }
  const int64_t sweep[] = {2001, 5003, 9007, 15011, 26000};
  for (int32_t i = 0; i < 5; i++) {
    events.push_back(ShortMessage(sweep[i], 0xB2, 74, static_cast<uint8_t>(30 + 20 * i)));
    events.push_back(ShortMessage(sweep[i] + 1, 0xB3, 74, static_cast<uint8_t>(120 - 20 * i)));
    events.push_back(ShortMessage(sweep[i] + 2, 0xB0, 7, static_cast<uint8_t>(60 + 15 * i)));
  }
  for (int32_t d = 0; d < 6; d++) events.push_back(ShortMessage(1001 + 7919 * d, 0x99, static_cast<uint8_t>(36 + d), 110));
  events.push_back(ShortMessage(30001, 0x81, 51, 0));
  events.push_back(ShortMessage(44101, 0x80, 48, 0));
  events.push_back(ShortMessage(50003, 0x82, 54, 0));
  return events;
}

std::vector<TBufferSample> Render(bool grouped, int32_t blockFrames, bool effects, int32_t threads = 0) {
  auto synth = std::make_unique<TSynth>();
  synth->SetSampleRate(44100);
  synth->SetNumberOfThreads(threads);
  synth->SetThreadVoiceCountThreshold(1);
  synth->GroupVoices = grouped;
  synth->Chorus->Active = effects;
  synth->Reverb->Active = effects;
  if (synth->AttachSoundFont(std::make_unique<TFileStream>(BankPath), true) == nullptr) return {};
  synth->LoadNeededSamples();
  for (std::vector<TMIDIEvent> events = Passage(); const TMIDIEvent& event : events) synth->AddEvent(event);
  std::vector<TBufferSample> out(static_cast<size_t>(SongFrames));
  for (int64_t done = 0; done < SongFrames; done += blockFrames) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(blockFrames, SongFrames - done));
    synth->FillBuffer(out.data() + done, n);
  }
  return out;
}

TEST(VoiceGroup, GroupedOutputEqualsVoiceAfterVoice) {
  if (!std::filesystem::exists(BankPath)) GTEST_SKIP() << BankPath << " not installed";
  struct TCase {
    int32_t Block;
    bool Effects;
  };
  for (const TCase& c : {TCase{4096, false}, TCase{333, true}, TCase{64, false}}) {
    SCOPED_TRACE(testing::Message() << "block " << c.Block << (c.Effects ? ", effects" : ""));
    const std::vector<TBufferSample> reference = Render(false, c.Block, c.Effects);
    const std::vector<TBufferSample> grouped = Render(true, c.Block, c.Effects);
    ASSERT_EQ(reference.size(), grouped.size());
    float peak = 0.0f;
    int64_t first = -1;
    for (size_t i = 0; i < reference.size(); i++) {
      peak = std::max({peak, std::fabs(reference[i].Left), std::fabs(reference[i].Right)});
      if (first < 0 && std::memcmp(&reference[i], &grouped[i], sizeof(TBufferSample)) != 0) {
        first = static_cast<int64_t>(i);
      }
    }
    EXPECT_GT(peak, 0.05f);
    EXPECT_EQ(first, -1);
  }
}

// Render threads take runs of voices through groups of their own, each voice
// into its own slot; merged in pool order they must give the calling
// thread's output bit for bit, whatever the pool size and block length.
TEST(VoiceGroup, ThreadedGroupsEqualTheCallingThread) {
  if (!std::filesystem::exists(BankPath)) GTEST_SKIP() << BankPath << " not installed";
  struct TCase {
    int32_t Block;
    bool Effects;
  };
  for (const TCase& c : {TCase{4096, true}, TCase{333, false}}) {
    const std::vector<TBufferSample> reference = Render(true, c.Block, c.Effects);
    for (int32_t threads : {1, 2, 3}) {
      SCOPED_TRACE(testing::Message() << "block " << c.Block << (c.Effects ? ", effects, " : ", ") << threads
                                      << " threads");
      const std::vector<TBufferSample> threaded = Render(true, c.Block, c.Effects, threads);
      ASSERT_EQ(reference.size(), threaded.size());
      int64_t first = -1;
      for (size_t i = 0; i < reference.size() && first < 0; i++) {
        if (std::memcmp(&reference[i], &threaded[i], sizeof(TBufferSample)) != 0) first = static_cast<int64_t>(i);
      }
      EXPECT_EQ(first, -1);
    }
  }
}

}  // namespace
}  // namespace kelvane
