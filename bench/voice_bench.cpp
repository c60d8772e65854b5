#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "banks/preset_layer.h"
#include "banks/sample.h"
#include "synth/chorus.h"
#include "synth/mixing.h"
#include "synth/resampler.h"
#include "synth/resampling_tables.h"
#include "synth/reverb.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_buffers.h"

namespace kelvane {
namespace {

constexpr int32_t SampleFrames = 4410;  // 100 periods of 441 Hz at 44.1 kHz, looped whole
constexpr int32_t BlockFrames = 512;

// A synthesizer with Voices sounding a looped sine through the method under test;
// chorus and reverb are off so FillBuffer's cost is the voices'.
struct TVoiceBench {
  TVoiceBench(int32_t method, int32_t voices, int32_t note, int32_t rate = 44100) {
    Synth = std::make_unique<TSynth>();
    Synth->SetSampleRate(rate);
    Synth->SetNumberOfVoices(std::max(voices, 64));
    Synth->SetThreadVoiceCountThreshold(0);
    Synth->SetResamplingMethod(method, 0);
    Synth->Chorus->Active = false;
    Synth->Reverb->Active = false;

    Sample = std::make_unique<TSample>(Synth.get());
    Sample->Length = SampleFrames;
    Sample->LoopStart = 0;
    Sample->LoopEnd = SampleFrames;
    Sample->SampleRate = 44100;
    Sample->OriginalPitch = 69;
    const auto elements = static_cast<size_t>(Sample->BufferElements());
    Sample->Data = std::make_unique<float[]>(elements);
    Sample->WorkData = std::make_unique<float[]>(elements);
    for (size_t i = 0; i < elements; i++) {
      const int64_t k = std::clamp<int64_t>(static_cast<int64_t>(i) - SampleGuardFrames, 0, SampleFrames - 1);
      const auto value = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * static_cast<double>(k) / 100.0));
      Sample->Data[i] = value;
      Sample->WorkData[i] = value;
    }
    Sample->Loaded = true;

    Layer = std::make_unique<TPresetLayer>(Synth.get(), nullptr);
    Layer->Sample = Sample.get();
    Layer->SetGenerator(54, 1);  // loop continuously
    Layer->SetGenerator(15, 0);  // no chorus send
    Layer->SetGenerator(16, 0);  // no reverb send
    for (int32_t i = 0; i < voices; i++) {
      Synth->Voices[static_cast<size_t>(i)]->KeyOn(nullptr, note, 100, Layer.get(), Sample.get());
    }
    Out.resize(BlockFrames);
  }
  // The voices point at Sample and Layer, which go first.
  ~TVoiceBench() {
    for (int32_t i = 0; i < Synth->NumberOfVoices; i++) Synth->Voices[static_cast<size_t>(i)]->Active = false;
  }

  std::unique_ptr<TSynth> Synth;
  std::unique_ptr<TSample> Sample;
  std::unique_ptr<TPresetLayer> Layer;
  std::vector<TBufferSample> Out;
};

// TSynth::FillBuffer over 512-frame blocks; items are voice-samples.
// Args: method, voices, note (root 69: 73 is a ratio of 1.26, 65 of 0.79).
void BM_VoiceFillBuffer(benchmark::State& state) {
  const auto method = static_cast<int32_t>(state.range(0));
  const auto voices = static_cast<int32_t>(state.range(1));
  TVoiceBench b(method, voices, static_cast<int32_t>(state.range(2)));
  for (auto _ : state) {
    b.Synth->FillBuffer(b.Out.data(), BlockFrames);
    benchmark::DoNotOptimize(b.Out.data());
  }
  int32_t active = 0;
  for (int32_t i = 0; i < voices; i++) active += b.Synth->Voices[static_cast<size_t>(i)]->Active ? 1 : 0;
  if (active != voices) state.SkipWithError("a voice ended during the run");
  state.SetItemsProcessed(state.iterations() * voices * BlockFrames);
}

void VoiceArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"method", "voices", "note"});
  std::vector<int64_t> methods = {rmNearest, rmLinear, rmCubicSpline, rmPolyphaseFIR};
  for (int32_t i = 0; i < 4; i++) methods.push_back(rmFastSINC8 + i);  // 8..64 points
  for (int32_t i = 0; i < 4; i++) methods.push_back(rmSINC8 + i);      // 8..64 points
  for (const int64_t method : methods) {
    for (const int64_t voices : {1, 64}) {
      for (const int64_t note : {73, 65}) b->Args({method, voices, note});
    }
  }
}
BENCHMARK(BM_VoiceFillBuffer)->Apply(VoiceArgs);

// Cost per voice-sample against the number of voices and the output rate
// (CUBICSPLINE, ratio 1.26). Args: voices, rate.
void BM_VoiceScaling(benchmark::State& state) {
  const auto voices = static_cast<int32_t>(state.range(0));
  TVoiceBench b(rmCubicSpline, voices, 73, static_cast<int32_t>(state.range(1)));
  for (auto _ : state) {
    b.Synth->FillBuffer(b.Out.data(), BlockFrames);
    benchmark::DoNotOptimize(b.Out.data());
  }
  state.SetItemsProcessed(state.iterations() * voices * BlockFrames);
}
BENCHMARK(BM_VoiceScaling)
    ->ArgNames({"voices", "rate"})
    ->ArgsProduct({{16, 64, 256, 1024, 4096}, {44100}})
    ->ArgsProduct({{64}, {48000, 96000}});

// The bare kernel of a voice: cubic resampling, a gain ramp over every
// modulation step and the stereo mix, on the same sample and the same steps of
// 32 frames as BM_VoiceFillBuffer with CUBICSPLINE, nothing else. Items are
// voice-samples; the ratio of the two is the cost of everything around the kernel.
void BM_BareVoiceKernel(benchmark::State& state) {
  const auto voices = static_cast<int32_t>(state.range(0));
  TVoiceBench b(rmCubicSpline, voices, 73);
  constexpr int32_t Step = 32;
  const int64_t increment = static_cast<int64_t>(std::exp2(4.0 / 12.0) * 4294967296.0);
  const int64_t loopEnd = int64_t{SampleFrames - 4} << 32;
  std::vector<int64_t> positions(static_cast<size_t>(voices), int64_t{1} << 32);
  std::vector<float> mono(Step);
  const TResampleContext context{b.Sample->Data.get()};
  for (auto _ : state) {
    for (int32_t v = 0; v < voices; v++) {
      int64_t& position = positions[static_cast<size_t>(v)];
      for (int32_t offset = 0; offset < BlockFrames; offset += Step) {
        if (position + Step * increment >= loopEnd) position -= loopEnd - (int64_t{4} << 32);
        ResampleCubicSpline(context, mono.data(), Step, increment, position);
        TVoiceMixGain gain{0.5f, 0.5f, 1e-6f, -1e-6f, Step};
        TVoiceMixTargets targets;
        targets.Dry = b.Out.data() + offset;
        benchmark::DoNotOptimize(MixVoice(mono.data(), Step, gain, targets));
      }
    }
    benchmark::DoNotOptimize(b.Out.data());
  }
  state.SetItemsProcessed(state.iterations() * voices * BlockFrames);
}
BENCHMARK(BM_BareVoiceKernel)->ArgName("voices")->Arg(64)->Arg(1024);

}  // namespace
}  // namespace kelvane
