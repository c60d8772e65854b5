#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth/synth_thread.h"
#include "synth/voice.h"

namespace kelvane {
namespace {

// CPU seconds used by every thread of the process so far.
double ProcessCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::unique_ptr<TSample> LoopedSine(TSynth& synth, int32_t length, double period) {
  auto sample = std::make_unique<TSample>(&synth);
  sample->Length = length;
  sample->LoopStart = 16;
  sample->LoopEnd = length - 16;
  sample->SampleRate = 44100;
  sample->OriginalPitch = 60;
  const int64_t elements = sample->BufferElements();
  sample->Data = std::make_unique<float[]>(static_cast<size_t>(elements));
  sample->WorkData = std::make_unique<float[]>(static_cast<size_t>(elements));
  for (int64_t i = 0; i < elements; i++) {
    const float value = static_cast<float>(std::sin(2.0 * std::numbers::pi * static_cast<double>(i) / period));
    sample->Data[static_cast<size_t>(i)] = sample->WorkData[static_cast<size_t>(i)] = value;
  }
  sample->Loaded = true;
  return sample;
}

// 960 looped, filtered voices over 16 channels with chorus and reverb sends;
// range(0) = render threads (0 = the calling thread alone), range(1) = frames
// per call, range(2) = effects on (1) or off (0).
void BM_ManyVoicesThreads(benchmark::State& state) {
  constexpr int32_t voices = 960;
  auto synth = std::make_unique<TSynth>();
  synth->SetNumberOfVoices(voices);
  synth->Chorus->Active = synth->Reverb->Active = state.range(2) != 0;
  synth->SetNumberOfThreads(static_cast<int32_t>(state.range(0)));
  std::vector<std::unique_ptr<TSample>> samples;
  for (int32_t i = 0; i < 8; i++) samples.push_back(LoopedSine(*synth, 4000 + 500 * i, 31.0 + 7.0 * i));
  TPresetLayer layer(synth.get(), nullptr);
  layer.SetGenerator(gen::sampleModes, 1);
  layer.SetGenerator(gen::initialFilterFc, 6000);
  layer.SetGenerator(gen::initialFilterQ, 60);
  layer.SetGenerator(gen::chorusEffectsSend, 200);
  layer.SetGenerator(gen::reverbEffectsSend, 300);
  layer.AddDefaultModulators(true);
  for (int32_t i = 0; i < voices; i++) {
    synth->Voices[static_cast<size_t>(i)]->KeyOn(synth->Channels[static_cast<size_t>(i % 16)].get(), 30 + i % 70,
                                                 100, &layer, samples[static_cast<size_t>(i % 8)].get());
  }
  const auto frames = static_cast<int32_t>(state.range(1));
  std::vector<TBufferSample> out(static_cast<size_t>(frames));
  synth->FillBuffer(out.data(), frames);  // pool threads touch their buffers once
  for (TSynthThread* thread : synth->WorkerThreads) thread->Stats = TSynthThreadStats{};
  const double cpuBefore = ProcessCPUSeconds();
  for (auto _ : state) {
    synth->FillBuffer(out.data(), frames);
    benchmark::DoNotOptimize(out.data());
  }
  // CPU of all threads per call: on a machine shared with other work the wall
  // time says little, this says how much work the pool adds.
  state.counters["process_cpu_ms"] = (ProcessCPUSeconds() - cpuBefore) * 1000.0 / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * frames);
  // How the pool shared the work: voices per thread per sub-block (equal
  // shares mean no thread idles at the end), voices one thread merged for
  // the others, and sleeps waiting for a slot (a slower voice ahead in the
  // merge order holds the others back).
  if (!synth->WorkerThreads.empty()) {
    double blocks = 0, fewest = 1e300, most = 0, merged = 0, waits = 0, total = 0;
    for (const TSynthThread* thread : synth->WorkerThreads) {
      const TSynthThreadStats& stats = thread->Stats;
      blocks = std::max(blocks, static_cast<double>(stats.Blocks));
      fewest = std::min(fewest, static_cast<double>(stats.Voices));
      most = std::max(most, static_cast<double>(stats.Voices));
      merged += static_cast<double>(stats.Merged - std::min(stats.Merged, stats.Voices));
      waits += static_cast<double>(stats.SlotWaits);
      total += static_cast<double>(stats.Voices);
    }
    state.counters["voice_share_min"] = fewest * static_cast<double>(synth->WorkerThreads.size()) / total;
    state.counters["voice_share_max"] = most * static_cast<double>(synth->WorkerThreads.size()) / total;
    state.counters["slot_waits_per_block"] = waits / blocks;
    state.counters["merged_for_others"] = merged / total;
    // Microseconds per threaded sub-block, summed over the threads: from the
    // wake-up call until the thread ran, rendering and merging, asleep for a slot.
    double wake = 0, work = 0, slotWait = 0;
    for (const TSynthThread* thread : synth->WorkerThreads) {
      wake += static_cast<double>(thread->Stats.WakeNs) * 1e-3 / blocks;
      work += static_cast<double>(thread->Stats.WorkNs) * 1e-3 / blocks;
      slotWait += static_cast<double>(thread->Stats.SlotWaitNs) * 1e-3 / blocks;
    }
    state.counters["wake_us"] = wake;
    state.counters["work_us"] = work;
    state.counters["slot_wait_us"] = slotWait;
  }
  for (int32_t i = 0; i < voices; i++) synth->Voices[static_cast<size_t>(i)]->Kill();
}
BENCHMARK(BM_ManyVoicesThreads)
    ->ArgsProduct({{0, 2}, {1024, 4096}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace kelvane
