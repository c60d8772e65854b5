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
#include "synth/mixing.h"
#include "synth/mixing_avx2.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth_test_support.h"
#include "synth/voice.h"
#include "synth/voice_filter.h"
#include "synth/resampler_avx2.h"
#include "synth/voice_group.h"
#include "synth/voice_group_kernels.h"
#include "synth/lane_filter.h"

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
// whose ends do not fall on multiples of four or eight; with the vector code
// the processor runs and with the baseline one. The spare block stays zeros.
TEST(VoiceGroup, LaneFiltersMatchTheScalarFilter) {
  constexpr int32_t Samples = 203;
  using TFilterLanes = void (*)(const TLaneFilterJob (&)[TVoiceGroup::Lanes], float*, int32_t);
  for (TFilterLanes filterLanes : {TFilterLanes{FilterLanes}, TFilterLanes{detail::FilterLanesBaseline}}) {
    SCOPED_TRACE(filterLanes == FilterLanes ? "best" : "baseline");
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
    filterLanes(jobs, spare.data(), Samples);

    for (int32_t l = 0; l < 4; l++) {
      SCOPED_TRACE(l);
      EXPECT_EQ(std::memcmp(mono[l].data(), expected[l].data(), Samples * sizeof(float)), 0);
      if (l == 2) continue;
      EXPECT_EQ(filters[l].histb1, reference[l].histb1);
      EXPECT_EQ(filters[l].histb2, reference[l].histb2);
      EXPECT_EQ(filters[l].hista1, reference[l].hista1);
      EXPECT_EQ(filters[l].hista2, reference[l].hista2);
    }
    EXPECT_TRUE(std::all_of(spare.begin(), spare.end(), [](float x) { return x == 0.0f; }));
  }
}

constexpr const char* BankPath = "/usr/share/sounds/sf2/TimGM6mb.sf2";
constexpr int64_t SongFrames = 44100 * 2;

using test::FirstDifference;
using test::RenderInBlocks;
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

// Short notes at odd frames, so that voices end in the same blocks as
// others sound on (click residues between sounding voices): unlooped piano,
// looped strings, drums; sends that differ from channel to channel (chorus
// only, reverb only, none, both) and change while notes sound.
std::vector<TMIDIEvent> Staccato() {
  std::vector<TMIDIEvent> events = {
      ShortMessage(0, 0xC0, 0, 0),   ShortMessage(0, 0xC1, 0, 0),   ShortMessage(0, 0xC2, 48, 0),
      ShortMessage(0, 0xC3, 11, 0),  ShortMessage(0, 0xB0, 93, 0),  ShortMessage(0, 0xB1, 91, 0),
      ShortMessage(0, 0xB2, 91, 0),  ShortMessage(0, 0xB2, 93, 0),  ShortMessage(0, 0xB3, 93, 100),
  };
  for (int32_t k = 0; k < 60; k++) {
    const int64_t on = 7 + 181 * k + (k % 3) * 5;
    const auto channel = static_cast<uint8_t>(k % 4);
    const auto key = static_cast<uint8_t>(40 + (k * 7) % 40);
    events.push_back(ShortMessage(on, static_cast<uint8_t>(0x90 + channel), key, static_cast<uint8_t>(40 + (k * 13) % 80)));
    events.push_back(ShortMessage(on + 97 + (k * 31) % 400, static_cast<uint8_t>(0x80 + channel), key, 0));
    if (k % 5 == 0) events.push_back(ShortMessage(on + 3, 0x99, static_cast<uint8_t>(38 + k % 7), 100));
  }
  const int64_t change[] = {3001, 6007, 9011};
  for (int32_t i = 0; i < 3; i++) {
    events.push_back(ShortMessage(change[i], 0xB0, 91, static_cast<uint8_t>(100 - 45 * i)));
    events.push_back(ShortMessage(change[i] + 1, 0xB3, 93, static_cast<uint8_t>(40 * i)));
  }
  return events;
}

std::unique_ptr<TSynth> MakeSynth(bool grouped, bool effects, const std::vector<TMIDIEvent>& events,
                                  int32_t threads = 0) {
  auto synth = std::make_unique<TSynth>();
  synth->SetSampleRate(44100);
  synth->SetNumberOfThreads(threads);
  synth->SetThreadVoiceCountThreshold(1);
  synth->GroupVoices = grouped;
  synth->Chorus->Active = effects;
  synth->Reverb->Active = effects;
  if (synth->AttachSoundFont(std::make_unique<TFileStream>(BankPath), true) == nullptr) return nullptr;
  synth->LoadNeededSamples();
  for (const TMIDIEvent& event : events) synth->AddEvent(event);
  return synth;
}

// A song, the block length it is rendered in and whether effects are on.
struct TRenderCase {
  bool Staccato;
  int32_t Block;
  bool Effects;
};

std::vector<TBufferSample> Render(const std::vector<TMIDIEvent>& events, bool grouped, int32_t blockFrames,
                                  bool effects, int32_t threads = 0) {
  std::unique_ptr<TSynth> synth = MakeSynth(grouped, effects, events, threads);
  if (synth == nullptr) return {};
  return RenderInBlocks(*synth, SongFrames, blockFrames);
}


TEST(VoiceGroup, GroupedOutputEqualsVoiceAfterVoice) {
  if (!std::filesystem::exists(BankPath)) GTEST_SKIP() << BankPath << " not installed";
  const std::vector<TMIDIEvent> passage = Passage(), staccato = Staccato();
  const TRenderCase cases[] = {{false, 4096, false}, {false, 333, true}, {false, 64, false},
                               {true, 1000, true},   {true, 128, true},  {true, 37, false}};
  for (const TRenderCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.Staccato ? "staccato" : "passage") << ", block " << c.Block
                                    << (c.Effects ? ", effects" : ""));
    const std::vector<TMIDIEvent>& events = c.Staccato ? staccato : passage;
    const std::vector<TBufferSample> reference = Render(events, false, c.Block, c.Effects);
    const std::vector<TBufferSample> grouped = Render(events, true, c.Block, c.Effects);
    ASSERT_EQ(reference.size(), grouped.size());
    float peak = 0.0f;
    for (const TBufferSample& frame : reference) peak = std::max({peak, std::fabs(frame.Left), std::fabs(frame.Right)});
    EXPECT_GT(peak, 0.05f);
    EXPECT_EQ(FirstDifference(reference, grouped), -1);
  }
}

// Lanes that add into the same send buffer through two targets mix lane by
// lane, each into its own targets; the mixes must still be voice after voice.
// The blocks start where voices end next to sounding ones.
TEST(VoiceGroup, OneBufferForBothSendsEqualsVoiceAfterVoice) {
  if (!std::filesystem::exists(BankPath)) GTEST_SKIP() << BankPath << " not installed";
  constexpr int32_t Block = 777;
  const std::vector<TMIDIEvent> events = Staccato();
  bool residueBeforeSounding = false;
  for (const int64_t start : {int64_t{20000}, int64_t{44000}, int64_t{60000}}) {
    SCOPED_TRACE(testing::Message() << "from frame " << start);
    std::vector<TBufferSample> dry[2], send[2];
    for (int32_t s = 0; s < 2; s++) {
      std::unique_ptr<TSynth> synth = MakeSynth(true, true, events);
      ASSERT_NE(synth, nullptr);
      std::vector<TBufferSample> lead(static_cast<size_t>(start));
      synth->FillBuffer(lead.data(), static_cast<int32_t>(start));
      dry[s].assign(Block, TBufferSample{});
      send[s].assign(Block, TBufferSample{});
      TVoice* const* voices = synth->Voices.get();
      const auto count = static_cast<size_t>(synth->NumberOfVoices);
      if (s == 0) {
        bool residue = false;
        for (size_t i = 0; i < count; i++) {
          residue = residue || (!voices[i]->Active && voices[i]->HasClickResidue());
          residueBeforeSounding = residueBeforeSounding || (residue && voices[i]->Active);
        }
        synth->VoiceGroup->Render(voices, count, synth->VoiceBuffers.get(), dry[s].data(), send[s].data(),
                                  send[s].data(), Block);
        continue;
      }
      for (size_t i = 0; i < count; i++) {
        TVoice& voice = *voices[i];
        if (!voice.Active && !voice.HasClickResidue()) continue;
        voice.VoiceBuffers = synth->VoiceBuffers.get();
        voice.FillBuffer(dry[s].data(), send[s].data(), send[s].data(), Block);
      }
    }
    EXPECT_EQ(FirstDifference(dry[0], dry[1]), -1);
    EXPECT_EQ(FirstDifference(send[0], send[1]), -1);
  }
  EXPECT_TRUE(residueBeforeSounding);
}

// The AVX2 gain ramp and lane mix against the SSE2 ones (the rest of the
// tests run whichever this processor takes): every split of a short run into
// four-, two- and one-frame steps, from even and odd frames, with lanes that
// ramp and lanes that add -0, into shared targets and into each lane's own,
// where two lanes share one sink.
TEST(VoiceGroup, AVX2KernelsEqualSSE2) {
  if (!detail::CPUHasAVX2()) GTEST_SKIP() << "no AVX2";
  constexpr int32_t Lanes = TVoiceGroup::Lanes, Stride = 32;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  auto bits = [](const auto& a, const auto& b) { return std::memcmp(a.data(), b.data(), sizeof(a[0]) * a.size()) == 0; };

  for (int32_t from : {0, 1, 3}) {
    for (int32_t count = 0; count <= 11; count++) {
      SCOPED_TRACE(testing::Message() << "frames " << from << " + " << count);
      float gain[2][2 * Lanes], inc[2 * Lanes];
      for (int32_t i = 0; i < 2 * Lanes; i++) {
        gain[0][i] = gain[1][i] = value(random);
        inc[i] = i < 2 ? -0.0f : value(random) * 1e-3f;  // lane 0 steady
      }
      std::vector<TBufferSample> ramp[2];
      for (int32_t k = 0; k < 2; k++) {
        ramp[k].assign(Lanes * Stride, TBufferSample{{{9.0f, 9.0f}}});
        (k == 0 ? detail::RampGainsSSE : detail::RampGainsAVX2)(gain[k], inc, ramp[k].data(), Stride, from, from + count);
      }
      EXPECT_TRUE(bits(ramp[0], ramp[1]));
      if (count > 0) {
        EXPECT_NE(ramp[0][from].Left, 9.0f);
      }
      EXPECT_EQ(std::memcmp(gain[0], gain[1], sizeof(gain[0])), 0);
    }
  }

  std::vector<float> mono(Lanes * Stride);
  std::vector<TBufferSample> gains(Lanes * Stride);
  for (float& m : mono) m = value(random);
  for (TBufferSample& g : gains) g = TBufferSample{{{value(random), value(random)}}};
  for (int32_t mode = 0; mode < 8; mode++) {
    const bool shared = (mode & 1) != 0, chorus = (mode & 2) != 0, reverb = (mode & 4) != 0;
    for (int32_t from : {0, 1, 2}) {
      for (int32_t count = 0; count <= 11; count++) {
        SCOPED_TRACE(testing::Message() << (shared ? "shared" : "own") << (chorus ? ", chorus" : "")
                                        << (reverb ? ", reverb" : "") << ", frames " << from << " + " << count);
        // Targets: three per lane, then the sink.
        std::vector<TBufferSample> out[2];
        for (int32_t k = 0; k < 2; k++) {
          out[k].resize((3 * Lanes + 1) * Stride);
          for (TBufferSample& o : out[k]) o = TBufferSample{{{0.25f, -0.5f}}};
          TBufferSample* const base = out[k].data();
          detail::TLaneMixJob job;
          for (int32_t l = 0; l < Lanes; l++) {
            const int32_t own = shared ? 0 : l;
            job.Mono[l] = mono.data() + l * Stride;
            job.Gains[l] = gains.data() + l * Stride;
            job.Dry[l] = base + 3 * own * Stride;
            job.Chorus[l] = base + (3 * own + 1) * Stride;
            job.Reverb[l] = base + (3 * own + 2) * Stride;
            job.AmpChorus[l] = 0.3f + 0.1f * static_cast<float>(l);
            job.AmpReverb[l] = 0.7f - 0.1f * static_cast<float>(l);
          }
          if (!shared) job.Dry[2] = job.Dry[3] = base + 3 * Lanes * Stride;
          (k == 0 ? detail::MixLanesSSE : detail::MixLanesAVX2)(job, shared, chorus, reverb, from, from + count);
        }
        EXPECT_TRUE(bits(out[0], out[1]));
        if (count > 0) {
          EXPECT_NE(out[0][from].Left, 0.25f);
        }
      }
    }
  }
}

// Click residues decayed four side by side, then added with their sends,
// against ProcClickRemoval one residue at a time: residues that end inside
// the run (both sides flushed to zero, or one side zero from the start),
// one of -0 on one side, a lane without residue, short and long runs, and a
// first buffer times 1 or not.
TEST(VoiceGroup, ResiduesDecayedSideBySideEqualOneByOne) {
  constexpr int32_t Lanes = TVoiceGroup::Lanes;
  struct TCase {
    double Factor;
    int32_t Frames;
    TBufferSample Residues[Lanes];
  };
  const TCase cases[] = {
      {std::pow(0.001, 1.0 / 860.0), 300, {{{{0.3f, -0.2f}}}, {{{4e-38f, -9e-38f}}}, {{{0.0f, 0.5f}}}, {{{0.0f, 0.0f}}}}},
      {0.5, 7, {{{{1e-37f, 3e-37f}}}, {{{-0.0f, 0.25f}}}, {{{0.0f, 0.0f}}}, {{{-1e-3f, 2e-3f}}}}},
      {0.5, 200, {{{{1.0f, -1.0f}}}, {{{2e-38f, 0.0f}}}, {{{0.7f, 0.1f}}}, {{{-0.5f, 1e-30f}}}}},
      {0.25, 1, {{{{0.1f, 0.2f}}}, {{{0.0f, 0.0f}}}, {{{1.5e-38f, -1.5e-38f}}}, {{{3.0f, -3.0f}}}}},
  };
  auto same = [](const std::vector<TBufferSample>& a, const std::vector<TBufferSample>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(TBufferSample)) == 0;
  };
  const double amps[3] = {1.0, 0.3, 0.45};
  for (const TCase& c : cases) {
    for (int32_t k = 0; k < Lanes; k++) {
      SCOPED_TRACE(testing::Message() << "factor " << c.Factor << ", " << c.Frames << " frames, residue " << k);
      // The frames ProcClickRemoval adds, one call per frame (the same as one call for all).
      TBufferSample last = c.Residues[k];
      std::vector<TBufferSample> decayed(c.Frames, TBufferSample{{{-0.0f, -0.0f}}});
      int32_t added = 0;
      for (; added < c.Frames && (last.Left != 0.0f || last.Right != 0.0f); added++) {
        ProcClickRemoval(last, decayed.data() + added, 1, c.Factor, 1.0);
      }
      if (detail::CPUHasAVX2()) {
        TBufferSample lasts[Lanes];
        std::copy(std::begin(c.Residues), std::end(c.Residues), lasts);
        std::vector<TBufferSample> out[Lanes];
        TBufferSample* outs[Lanes];
        for (int32_t l = 0; l < Lanes; l++) {
          out[l].assign(c.Frames, TBufferSample{{{7.0f, 7.0f}}});
          outs[l] = out[l].data();
        }
        int32_t counts[Lanes];
        detail::DecayClickResiduesAVX2(lasts, outs, counts, c.Frames, c.Factor, ClickResidueFlushBelow);
        EXPECT_EQ(counts[k], added);
        EXPECT_EQ(std::memcmp(&lasts[k], &last, sizeof(last)), 0);
        EXPECT_EQ(std::memcmp(out[k].data(), decayed.data(), added * sizeof(TBufferSample)), 0);
      }

      // Adding them with the sends, times 1 or not, as ProcClickRemoval adds them.
      for (const double first : {1.0, 0.7}) {
        std::vector<TBufferSample> reference[3];
        for (int32_t b = 0; b < 3; b++) reference[b].assign(c.Frames, TBufferSample{{{0.125f * b, -0.25f}}});
        TBufferSample residue = c.Residues[k];
        ProcClickRemoval(residue, reference[0].data(), c.Frames, c.Factor, first, reference[1].data(), amps[1],
                         reference[2].data(), amps[2]);
        for (int32_t build = 0; build < 2; build++) {
          if (build == 1 && !detail::CPUHasAVX2()) continue;
          std::vector<TBufferSample> mixed[3];
          TBufferSample* targets[3];
          for (int32_t b = 0; b < 3; b++) {
            mixed[b].assign(c.Frames, TBufferSample{{{0.125f * b, -0.25f}}});
            targets[b] = mixed[b].data();
          }
          const double with[3] = {first, amps[1], amps[2]};
          (build == 0 ? detail::AddClickResidueSSE : detail::AddClickResidueAVX2)(decayed.data(), added, targets, with, 3,
                                                                                 first == 1.0);
          for (int32_t b = 0; b < 3; b++) EXPECT_TRUE(same(reference[b], mixed[b])) << "build " << build << ", buffer " << b;
        }
      }
    }
  }
}

// Render threads take runs of voices through groups of their own, each voice
// into its own slot; merged in pool order they must give the calling
// thread's output bit for bit, whatever the pool size and block length.
TEST(VoiceGroup, ThreadedGroupsEqualTheCallingThread) {
  if (!std::filesystem::exists(BankPath)) GTEST_SKIP() << BankPath << " not installed";
  const std::vector<TMIDIEvent> passage = Passage(), staccato = Staccato();
  const TRenderCase cases[] = {{false, 4096, true}, {false, 333, false}, {true, 1000, true}};
  for (const TRenderCase& c : cases) {
    const std::vector<TMIDIEvent>& events = c.Staccato ? staccato : passage;
    const std::vector<TBufferSample> reference = Render(events, true, c.Block, c.Effects);
    for (int32_t threads : {1, 2, 3}) {
      SCOPED_TRACE(testing::Message() << (c.Staccato ? "staccato" : "passage") << ", block " << c.Block
                                      << (c.Effects ? ", effects, " : ", ") << threads << " threads");
      const std::vector<TBufferSample> threaded = Render(events, true, c.Block, c.Effects, threads);
      ASSERT_EQ(reference.size(), threaded.size());
      EXPECT_EQ(FirstDifference(reference, threaded), -1);
    }
  }
}

}  // namespace
}  // namespace kelvane
