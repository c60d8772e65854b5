#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/chorus.h"
#include "synth/lane_filter.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_buffers.h"
#include "synth/voice_group.h"

namespace kelvane {
namespace {

constexpr int32_t NoiseFrames = 4096;
constexpr int32_t FilterBlockFrames = 512;

// What the voices' filters do.
enum TFilterSetup : int64_t {
  fsBypassed = 0,      // default: filter 1 at 13500 cents, bypassed at 44.1 kHz; 2 and 3 likewise
  fsOneActive = 1,     // filter 1 low-pass at 8000 cents
  fsThreeActive = 2,   // low-pass, high-pass and notch, constant coefficients
  fsThreeSwept = 3,    // the same with the mod LFO moving all three cutoffs: a ramp every step
};

// Voices playing looped noise at its own rate through linear interpolation;
// chorus and reverb off, so FillBuffer's cost is the voices'.
struct TFilterBench {
  TFilterBench(int32_t voices, int64_t setup) {
    Synth = std::make_unique<TSynth>();
    Synth->SetNumberOfVoices(std::max(voices, 64));
    Synth->SetThreadVoiceCountThreshold(0);
    Synth->SetResamplingMethod(rmLinear, 0);
    Synth->Chorus->Active = false;
    Synth->Reverb->Active = false;

    Sample = std::make_unique<TSample>(Synth.get());
    Sample->Length = NoiseFrames;
    Sample->LoopStart = 0;
    Sample->LoopEnd = NoiseFrames;
    Sample->SampleRate = 44100;
    Sample->OriginalPitch = 69;
    const auto elements = static_cast<size_t>(Sample->BufferElements());
    Sample->Data = std::make_unique<float[]>(elements);
    Sample->WorkData = std::make_unique<float[]>(elements);
    std::mt19937 random(1);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    for (size_t i = 0; i < elements; i++) Sample->Data[i] = Sample->WorkData[i] = uniform(random);
    Sample->Loaded = true;

    Layer = std::make_unique<TPresetLayer>(Synth.get(), nullptr);
    Layer->Sample = Sample.get();
    Layer->SetGenerator(54, 1);
    Layer->SetGenerator(15, 0);
    Layer->SetGenerator(16, 0);
    if (setup != fsBypassed) Layer->SetGenerator(8, 8000);
    if (setup == fsThreeActive || setup == fsThreeSwept) {
      Layer->SetGenerator(104, 2);  // high-pass
      Layer->SetGenerator(102, 5000);
      Layer->SetGenerator(108, 4);  // notch
      Layer->SetGenerator(106, 9000);
      Layer->SetGenerator(107, 100);
    }
    if (setup == fsThreeSwept) {
      Layer->SetGenerator(22, 1200);  // mod LFO at about 16 Hz
      Layer->SetGenerator(10, 1200);
      Layer->SetGenerator(151, -600);
      Layer->SetGenerator(153, 900);
    }
    for (int32_t i = 0; i < voices; i++) {
      Synth->Voices[static_cast<size_t>(i)]->KeyOn(nullptr, 69, 127, Layer.get(), Sample.get());
    }
    Out.resize(FilterBlockFrames);
  }
  ~TFilterBench() {
    for (int32_t i = 0; i < Synth->NumberOfVoices; i++) Synth->Voices[static_cast<size_t>(i)]->Active = false;
  }

  std::unique_ptr<TSynth> Synth;
  std::unique_ptr<TSample> Sample;
  std::unique_ptr<TPresetLayer> Layer;
  std::vector<TBufferSample> Out;
};

// TSynth::FillBuffer in 512-frame blocks; items are voice-samples, so the
// ratio of the setups' times per item is the filters' share.
void BM_VoiceFilters(benchmark::State& state) {
  const auto voices = static_cast<int32_t>(state.range(1));
  TFilterBench b(voices, state.range(0));
  for (auto _ : state) {
    b.Synth->FillBuffer(b.Out.data(), FilterBlockFrames);
    benchmark::DoNotOptimize(b.Out.data());
  }
  int32_t active = 0;
  for (int32_t i = 0; i < voices; i++) {
    const TVoice& voice = *b.Synth->Voices[static_cast<size_t>(i)];
    active += voice.Active ? 1 : 0;
  }
  if (active != voices) state.SkipWithError("a voice ended during the run");
  const TVoice& first = *b.Synth->Voices[0];
  state.counters["filters_on"] = (first.Filter.FilterActive ? 1 : 0) + (first.Filter2.FilterActive ? 1 : 0) +
                                 (first.Filter3.FilterActive ? 1 : 0);
  state.SetItemsProcessed(state.iterations() * voices * FilterBlockFrames);
}
BENCHMARK(BM_VoiceFilters)
    ->ArgNames({"setup", "voices"})
    ->ArgsProduct({{fsBypassed, fsOneActive, fsThreeActive, fsThreeSwept}, {64}});

// One filter over a 4096-sample block in place: the sample loop alone. Arg 1
// starts a 32-sample ramp before every block.
void BM_ApplyFilterToBuffer(benchmark::State& state) {
  TSynth synth;
  TVoice voice(synth, 1);
  TFilter& filter = voice.Filter;
  filter.Reset(1);
  filter.FilterFc = 8000;
  filter.FilterQ = 100;
  voice.RecalculateFilter(filter);
  const bool ramp = state.range(0) != 0;
  std::vector<float> buffer(4096);
  std::mt19937 random(2);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  for (float& x : buffer) x = uniform(random);
  double cents = 8000;
  for (auto _ : state) {
    if (ramp) {
      cents = cents == 8000 ? 8100 : 8000;
      filter.FilterFc = cents;
      voice.RecalculateFilter(filter);
    }
    voice.ApplyFilterToBuffer(filter, buffer.data(), static_cast<int32_t>(buffer.size()));
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}
BENCHMARK(BM_ApplyFilterToBuffer)->ArgName("ramp")->Arg(0)->Arg(1);

// FilterLanes alone over four lanes of 512 frames, all filtering: steady
// coefficients (arg 0 = 0) or a new 32-frame ramp every 32 frames (1); with
// the vector code the processor runs (arg 1 = 0) or the baseline one (1).
void BM_FilterLanes(benchmark::State& state) {
  constexpr int32_t Frames = 512, Step = 32;
  const bool ramp = state.range(0) != 0;
  auto filterLanes = state.range(1) != 0 ? detail::FilterLanesBaseline : FilterLanes;
  std::mt19937 random(3);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  std::vector<float> mono(static_cast<size_t>(TVoiceGroup::Lanes) * Frames), spare(Frames);
  for (float& x : mono) x = uniform(random);
  std::vector<std::vector<TVoiceLaneFilterRun>> runs(TVoiceGroup::Lanes);
  TFilter filters[TVoiceGroup::Lanes];
  TLaneFilterJob jobs[TVoiceGroup::Lanes];
  for (int32_t l = 0; l < TVoiceGroup::Lanes; l++) {
    // A low-pass near 2 kHz, a little different in every lane.
    const float d = 1e-3f * static_cast<float>(l);
    TVoiceLaneFilterRun run{0, Frames, 0, true, 1.7f + d, -0.78f, 0.02f, 0.04f + d, 0.02f, 0, 0, 0, 0, 0};
    if (!ramp) {
      runs[static_cast<size_t>(l)].push_back(run);
    } else {
      for (int32_t t = 0; t < Frames; t += Step) {
        run.Offset = t;
        run.Count = run.Ramp = Step;
        run.a1incr = (t / Step % 2 == 0 ? 1e-5f : -1e-5f);
        run.b1incr = -run.a1incr;
        runs[static_cast<size_t>(l)].push_back(run);
      }
    }
    jobs[l] = TLaneFilterJob{&filters[l], mono.data() + static_cast<size_t>(l) * Frames,
                             runs[static_cast<size_t>(l)].data(), static_cast<int32_t>(runs[static_cast<size_t>(l)].size())};
  }
  for (auto _ : state) {
    filterLanes(jobs, spare.data(), Frames);
    benchmark::DoNotOptimize(mono.data());
  }
  state.SetItemsProcessed(state.iterations() * TVoiceGroup::Lanes * Frames);
}
BENCHMARK(BM_FilterLanes)->ArgNames({"ramp", "baseline"})->ArgsProduct({{0, 1}, {0, 1}});

}  // namespace
}  // namespace kelvane
