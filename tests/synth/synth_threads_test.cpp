#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "synth/chorus.h"
#include "synth/exceptions.h"
#include "synth/reverb.h"
#include "synth/synth_thread.h"
#include "voice_test_support.h"

namespace kelvane {
namespace {

// Counts the pool's work: one ProcessThread call per pool thread and threaded sub-block.
class TCountingSynth : public TSynth {
 public:
  std::atomic<int32_t> ProcessThreadCalls{0};
  std::set<int32_t> ThrowingThreads;  // pool threads that fail instead of rendering

  void ProcessThread(int32_t ThreadIndex) override {
    ProcessThreadCalls.fetch_add(1);
    if (ThrowingThreads.count(ThreadIndex) != 0) throw EKelvane("render failure " + std::to_string(ThreadIndex));
    TSynth::ProcessThread(ThreadIndex);
  }
};

// Many voices of several kinds over eight channels: looped and panned with
// chorus and reverb sends, filtered, one-shots that end inside a sub-block
// (click residues handed over while rendering), and releases between calls.
struct TManyVoices {
  explicit TManyVoices(int32_t threads, int32_t threshold, int32_t voices = 72) {
    synth = std::make_unique<TCountingSynth>();
    synth->SetNumberOfVoices(voices);
    synth->SetNumberOfThreads(threads);
    synth->SetThreadVoiceCountThreshold(threshold);
    looped = test::MakeSineSample(*synth, 2000, 37.3, 100, 1900);
    oneShot = test::MakeSineSample(*synth, 2500, 53.1, 0, 0);
    const int32_t kinds[4][6] = {
        // sampleModes, pan, chorus send, reverb send, filter cutoff (cents), filter Q (cB)
        {1, -300, 250, 400, 13500, 0},
        {1, 350, 0, 700, 5000, 120},
        {0, 0, 500, 100, 13500, 0},
        {1, 100, 900, 0, 7000, 40},
    };
    for (const auto& kind : kinds) {
      auto layer = std::make_unique<TPresetLayer>(synth.get(), nullptr);
      layer->SetGenerator(gen::sampleModes, kind[0]);
      layer->SetGenerator(gen::pan, kind[1]);
      layer->SetGenerator(gen::chorusEffectsSend, kind[2]);
      layer->SetGenerator(gen::reverbEffectsSend, kind[3]);
      layer->SetGenerator(gen::initialFilterFc, kind[4]);
      layer->SetGenerator(gen::initialFilterQ, kind[5]);
      // No default modulators: a voice started directly has no controller
      // values, and volume 0 would attenuate it by 96 dB.
      layers.push_back(std::move(layer));
    }
  }
  ~TManyVoices() {
    for (int32_t i = 0; i < synth->NumberOfVoices; i++) synth->Voices[static_cast<size_t>(i)]->Kill();
  }

  void Start(int32_t first, int32_t count) {
    for (int32_t i = first; i < first + count; i++) {
      const size_t kind = static_cast<size_t>(i % 4);
      TSample* sample = kind == 2 ? oneShot.get() : looped.get();
      synth->Voices[static_cast<size_t>(i)]->KeyOn(synth->Channels[static_cast<size_t>(i % 8)].get(), 36 + (i * 7) % 60,
                                                   40 + (i * 13) % 88, layers[kind].get(), sample);
    }
  }

  int32_t ActiveVoices() const {
    int32_t count = 0;
    for (int32_t i = 0; i < synth->NumberOfVoices; i++) count += synth->Voices[static_cast<size_t>(i)]->Active;
    return count;
  }

  // Three calls with voice changes between them (as events would make on the
  // calling thread); returns every frame rendered.
  std::vector<TBufferSample> Render() {
    std::vector<TBufferSample> all;
    std::vector<TBufferSample> out(9000);
    Start(0, synth->NumberOfVoices);
    for (int call = 0; call < 3; call++) {
      synth->FillBuffer(out.data(), static_cast<int32_t>(out.size()));
      all.insert(all.end(), out.begin(), out.end());
      activeAfterCall.push_back(ActiveVoices());
      for (int32_t i = call; i < synth->NumberOfVoices; i += 5) synth->Voices[static_cast<size_t>(i)]->KeyOff(64);
      synth->Voices[static_cast<size_t>(call * 3 + 1)]->Kill();  // residue straight into its channel
      if (BetweenCalls) BetweenCalls(call);
    }
    return all;
  }

  std::unique_ptr<TCountingSynth> synth;
  std::unique_ptr<TSample> looped;
  std::unique_ptr<TSample> oneShot;
  std::vector<std::unique_ptr<TPresetLayer>> layers;
  std::vector<int32_t> activeAfterCall;
  std::function<void(int)> BetweenCalls;
};

bool SameBits(const std::vector<TBufferSample>& a, const std::vector<TBufferSample>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(TBufferSample)) == 0;
}

TEST(SynthThreads, PoolOutputIsBitIdenticalToCallingThread) {
  TManyVoices reference(0, 32);
  const std::vector<TBufferSample> expected = reference.Render();
  // The fixture is meaningful: audible, and voices end and are released along the way.
  float peak = 0.0f;
  for (const auto& frame : expected) peak = std::max({peak, std::fabs(frame.Left), std::fabs(frame.Right)});
  EXPECT_GT(peak, 0.01f);
  ASSERT_EQ(reference.activeAfterCall.size(), 3u);
  EXPECT_LT(reference.activeAfterCall[0], 72);  // one-shots ended inside the first call
  EXPECT_LT(reference.activeAfterCall[2], reference.activeAfterCall[0]);
  EXPECT_EQ(reference.synth->ProcessThreadCalls.load(), 0);

  // Sub-blocks per call: 4096 + 4096 + 808.
  const struct {
    int32_t threads, threshold, poolSize;
  } cases[] = {{1, 1, 0}, {2, 1, 2}, {3, 1, 3}, {4, 1, 4}, {4, 32, 4}};
  for (const auto& c : cases) {
    TManyVoices threaded(c.threads, c.threshold);
    ASSERT_EQ(static_cast<int32_t>(threaded.synth->WorkerThreads.size()), c.poolSize);
    const std::vector<TBufferSample> actual = threaded.Render();
    EXPECT_TRUE(SameBits(actual, expected)) << c.threads << " threads, threshold " << c.threshold;
    EXPECT_EQ(threaded.activeAfterCall, reference.activeAfterCall);
    // Nine sub-blocks; below the threshold of 32 some of them render on the calling thread.
    const int32_t calls = threaded.synth->ProcessThreadCalls.load();
    if (c.threshold == 1) {
      EXPECT_EQ(calls, 9 * c.poolSize);
    } else if (c.poolSize > 0) {
      EXPECT_GT(calls, 0);
      EXPECT_LT(calls, 9 * c.poolSize);
    }
    for (int32_t i = 0; i < threaded.synth->NumberOfVoices; i++) {
      EXPECT_EQ(threaded.synth->Voices[static_cast<size_t>(i)]->Thread, nullptr);
    }
    for (int32_t ch = 0; ch < 16; ch++) {
      const TChannel& a = *threaded.synth->Channels[static_cast<size_t>(ch)];
      const TChannel& b = *reference.synth->Channels[static_cast<size_t>(ch)];
      EXPECT_EQ(std::memcmp(&a.Last, &b.Last, sizeof(TBufferSample)), 0) << "channel " << ch;
      EXPECT_EQ(std::memcmp(&a.ReverbLast, &b.ReverbLast, sizeof(TBufferSample)), 0) << "channel " << ch;
    }
  }
}

// Slots are cut from a fixed mix budget per thread: whole cache lines, apart
// from each other, inside the budget, at least two runs of them for the
// longest sub-block with both sends, and cleared again by the merges.
TEST(SynthThreads, SlotsFitTheMixBudgetAndStayClear) {
  TManyVoices fixture(2, 1);
  fixture.synth->Chorus->Active = fixture.synth->Reverb->Active = true;
  fixture.Render();
  TSynthThread& thread = *fixture.synth->WorkerThreads[0];
  auto negativeZero = [](const TBufferSample* mix, int32_t frames) {
    for (int32_t i = 0; i < frames; i++) {
      if (std::signbit(mix[i].Left) == 0 || mix[i].Left != 0.0f || std::signbit(mix[i].Right) == 0 ||
          mix[i].Right != 0.0f) {
        return false;
      }
    }
    return true;
  };
  const struct {
    int32_t samples;
    bool chorus, reverb;
  } cases[] = {{MaxBlockSamples, true, true}, {808, true, false}, {1024, false, false}, {1, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.samples << " frames, chorus " << c.chorus << ", reverb " << c.reverb);
    thread.LayOutSlots(c.samples, c.chorus, c.reverb);
    ASSERT_GE(thread.SlotCount, 2 * TSynthThread::MaxRun);
    ASSERT_LE(thread.SlotCount, TSynthThread::MaxSlots);
    const TBufferSample* low = thread.Slots[0].Buffer;
    const TBufferSample* high = low;
    std::vector<std::pair<const TBufferSample*, const TBufferSample*>> mixes;
    for (int32_t i = 0; i < thread.SlotCount; i++) {
      const TSynthThreadSlot& slot = thread.Slots[static_cast<size_t>(i)];
      for (auto [target, merged] : {std::pair{slot.Buffer, true}, std::pair{slot.ChorusBuffer, c.chorus},
                                 std::pair{slot.ReverbBuffer, c.reverb}}) {
        if (!merged) continue;
        const TBufferSample* mix = target;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(mix) % 64, 0u);
        // What the pool rendered into the slots before has been merged away.
        EXPECT_TRUE(negativeZero(mix, c.samples)) << "slot " << i;
        mixes.emplace_back(mix, mix + c.samples);
        low = std::min(low, mix);
        high = std::max(high, mix + c.samples);
      }
    }
    EXPECT_LE(static_cast<size_t>(high - low) * sizeof(TBufferSample), TSynthThread::MixBytes);
    std::sort(mixes.begin(), mixes.end());
    for (size_t i = 1; i < mixes.size(); i++) EXPECT_LE(mixes[i - 1].second, mixes[i].first);
    // A send that is off goes to the thread's scratch, outside the budget.
    if (!c.chorus) {
      EXPECT_TRUE(thread.Slots[0].ChorusBuffer < low || thread.Slots[0].ChorusBuffer >= high);
    }
  }
}

// An effect that is off skips its send mix in the pool; switching it on again
// must find that mix cleared, as on the calling thread.
TEST(SynthThreads, PoolOutputStaysIdenticalWithEffectsSwitched) {
  const struct {
    bool chorus, reverb;
  } cases[] = {{false, true}, {true, false}, {false, false}};
  for (const auto& c : cases) {
    auto render = [&](int32_t threads) {
      TManyVoices voices(threads, 1);
      voices.synth->Chorus->Active = c.chorus;
      voices.synth->Reverb->Active = c.reverb;
      voices.BetweenCalls = [&voices](int call) {
        voices.synth->Chorus->Active = !voices.synth->Chorus->Active;
        voices.synth->Reverb->Active = call == 0 || !voices.synth->Reverb->Active;
      };
      return voices.Render();
    };
    EXPECT_TRUE(SameBits(render(2), render(0))) << "chorus " << c.chorus << ", reverb " << c.reverb;
  }
}

TEST(SynthThreads, ThresholdChoosesCallingThreadOrPool) {
  // Active voices at the start of the sub-block against ThreadVoiceCountThreshold (32 by default).
  const struct {
    int32_t activeVoices, threshold;
    bool pool;
  } cases[] = {{31, 32, false}, {32, 32, true}, {64, 32, true}, {64, 0, false}, {64, -1, false}, {1, 1, true}, {0, 1, false}};
  for (const auto& c : cases) {
    TManyVoices fixture(2, 32, 96);
    if (c.threshold != 32) fixture.synth->SetThreadVoiceCountThreshold(c.threshold);
    EXPECT_EQ(fixture.synth->ThreadVoiceCountThreshold, c.threshold);
    // Looped kinds only, so none ends inside the sub-block.
    int32_t started = 0;
    for (int32_t i = 0; started < c.activeVoices; i++) {
      if (i % 4 == 2) continue;
      fixture.Start(i, 1);
      started++;
    }
    std::vector<TBufferSample> out(1000);
    fixture.synth->FillBuffer(out.data(), 1000);
    EXPECT_EQ(fixture.synth->ProcessThreadCalls.load(), c.pool ? 2 : 0)
        << c.activeVoices << " voices, threshold " << c.threshold;
    EXPECT_EQ(fixture.ActiveVoices(), c.activeVoices);
  }
}

TEST(SynthThreads, ThreadDefaultsAfterConstruction) {
  TSynth synth;
  EXPECT_EQ(synth.ThreadVoiceCountThreshold, 32);
  EXPECT_TRUE(synth.WorkerThreads.empty());
  EXPECT_EQ(synth.LastNumberOfWorkerThreads, 0);
}

int32_t PoolSizeFor(int32_t processors) {
  const int32_t n = std::min(processors, 128);
  return n == 1 ? 0 : n;
}

TEST(SynthThreads, NumberOfThreadsIsClamped) {
  const struct {
    int32_t requested, poolSize;
  } cases[] = {{0, 0}, {1, 0}, {2, 2}, {5, 5}, {200, 128}, {-1, PoolSizeFor(AvailableProcessorCount())},
               {-7, PoolSizeFor(AvailableProcessorCount())}};
  TSynth synth;
  for (const auto& c : cases) {
    synth.SetNumberOfThreads(c.requested);
    EXPECT_EQ(synth.LastNumberOfWorkerThreads, c.requested);
    ASSERT_EQ(static_cast<int32_t>(synth.WorkerThreads.size()), c.poolSize) << "requested " << c.requested;
    for (int32_t i = 0; i < c.poolSize; i++) {
      EXPECT_EQ(synth.WorkerThreads[static_cast<size_t>(i)]->ThreadIndex, i);
      EXPECT_FALSE(synth.WorkerThreads[static_cast<size_t>(i)]->Finished());
    }
  }
}

TEST(SynthThreads, SameCountTwiceKeepsThePool) {
  TSynth synth;
  synth.SetNumberOfThreads(3);
  const std::vector<TSynthThread*> before = synth.WorkerThreads;
  synth.SetNumberOfThreads(3);
  EXPECT_EQ(synth.WorkerThreads, before);
  synth.SetNumberOfThreads(2);
  EXPECT_EQ(synth.WorkerThreads.size(), 2u);
}

#if defined(__linux__)
TEST(SynthThreads, OnePerProcessorFollowsTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof(saved), &saved), 0);
  EXPECT_EQ(AvailableProcessorCount(), CPU_COUNT(&saved));
  int32_t first = 0;
  while (!CPU_ISSET(first, &saved)) first++;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  TSynth synth;
  synth.SetNumberOfThreads(-1);
  const size_t poolOnOneProcessor = synth.WorkerThreads.size();
  ASSERT_EQ(sched_setaffinity(0, sizeof(saved), &saved), 0);
  EXPECT_EQ(poolOnOneProcessor, 0u);  // one processor: one thread alone is not used
}
#endif

struct TExceptionLog {
  int32_t calls = 0;
  std::string message;
};

TEST(SynthThreads, FailingPoolThreadIsReportedOnceAndStopsRendering) {
  const struct {
    int32_t threads;
    std::set<int32_t> throwing;
  } cases[] = {{2, {1}}, {4, {0, 1, 2, 3}}};
  for (const auto& c : cases) {
    TManyVoices fixture(c.threads, 32, 40);
    TExceptionLog log;
    fixture.synth->OnException.Context = &log;
    fixture.synth->OnException.Code = [](void* context, TSynth&, const std::exception& error) {
      auto& target = *static_cast<TExceptionLog*>(context);
      target.calls++;
      target.message = error.what();
    };
    fixture.synth->ThrowingThreads = c.throwing;
    fixture.Start(0, 40);
    std::vector<TBufferSample> out(2000);
    fixture.synth->FillBuffer(out.data(), 2000);  // completes: the failing threads still report done
    EXPECT_TRUE(fixture.synth->StopProcessing.load());

    std::vector<TBufferSample> later(3000, TBufferSample{{{7.0f, -7.0f}}});
    fixture.synth->FillBuffer(later.data(), 3000);
    for (const auto& frame : later) {
      ASSERT_EQ(frame.Left, 7.0f);
      ASSERT_EQ(frame.Right, -7.0f);
    }
    fixture.synth->SetNumberOfThreads(0);  // joins the pool, so every handler call has happened
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.message.rfind("render failure ", 0), 0u) << log.message;
  }
}

TEST(SynthThreads, PoolChangesAndShutdownBetweenBlocks) {
  TManyVoices fixture(2, 1, 40);
  fixture.Start(0, 40);
  std::vector<TBufferSample> out(1500);
  const int32_t sizes[] = {3, 0, 4, 2, 0};
  int32_t expectedCalls = 0;
  for (int32_t threads : sizes) {
    fixture.synth->SetNumberOfThreads(threads);
    ASSERT_EQ(static_cast<int32_t>(fixture.synth->WorkerThreads.size()), threads);
    fixture.synth->FillBuffer(out.data(), 1500);
    expectedCalls += threads;
    EXPECT_EQ(fixture.synth->ProcessThreadCalls.load(), expectedCalls);
  }
  // Destroying a synth with a sleeping pool stops and joins it.
  fixture.synth->SetNumberOfThreads(3);
  fixture.synth->FillBuffer(out.data(), 1500);
}

}  // namespace
}  // namespace kelvane
