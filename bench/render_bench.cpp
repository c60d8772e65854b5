#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "synth/mixing.h"
#include "synth/peak.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

std::vector<TBufferSample> NoiseFrames(size_t count) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<TBufferSample> frames(count);
  for (auto& f : frames) f = {{{dist(rng), dist(rng)}}};
  return frames;
}

void BM_FillBufferNoVoices(benchmark::State& state) {
  auto synth = std::make_unique<TSynth>();
  const auto frames = static_cast<int32_t>(state.range(0));
  std::vector<TBufferSample> out(static_cast<size_t>(frames));
  for (auto _ : state) {
    synth->FillBuffer(out.data(), frames);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_FillBufferNoVoices)->Arg(512)->Arg(4096);

void BM_FillBufferAGCWithEvents(benchmark::State& state) {
  auto synth = std::make_unique<TSynth>();
  synth->DoAGC = true;
  const auto frames = static_cast<int32_t>(state.range(0));
  std::vector<TBufferSample> out(static_cast<size_t>(frames));
  for (auto _ : state) {
    synth->ClearEvents();
    for (int i = 0; i < 8; i++) {
      TMIDIEvent event;
      event.Position = i * frames / 8;
      event.Command = static_cast<uint8_t>(0xB0 | i);
      synth->AddEvent(event);
    }
    synth->FillBuffer(out.data(), frames);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_FillBufferAGCWithEvents)->Arg(512);

void BM_MixToBuffer(benchmark::State& state) {
  const auto count = static_cast<int32_t>(state.range(0));
  const auto source = NoiseFrames(static_cast<size_t>(count));
  auto destination = NoiseFrames(static_cast<size_t>(count));
  for (auto _ : state) {
    MixToBuffer(source.data(), destination.data(), count);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_MixToBuffer)->Arg(64)->Arg(4096);

void BM_AmpMixToBuffer(benchmark::State& state) {
  const auto count = static_cast<int32_t>(state.range(0));
  const auto source = NoiseFrames(static_cast<size_t>(count));
  auto destination = NoiseFrames(static_cast<size_t>(count));
  for (auto _ : state) {
    AmpMixToBuffer(source.data(), destination.data(), count, 0.5f);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AmpMixToBuffer)->Arg(64)->Arg(4096);

void BM_ProcClickRemoval(benchmark::State& state) {
  const auto count = static_cast<int32_t>(state.range(0));
  auto buffer = NoiseFrames(static_cast<size_t>(count));
  for (auto _ : state) {
    TBufferSample last{{{0.5f, -0.5f}}};
    ProcClickRemoval(last, buffer.data(), count, 0.9992, 1.0);
    benchmark::DoNotOptimize(last);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ProcClickRemoval)->Arg(64)->Arg(4096);

void BM_Peak(benchmark::State& state) {
  const auto count = static_cast<int32_t>(state.range(0));
  const auto frames = NoiseFrames(static_cast<size_t>(count) / 2 + 1);
  const float* data = &frames[0].Left;
  for (auto _ : state) benchmark::DoNotOptimize(GetMono32BitMaximumAbsolutePeak(data, count));
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_Peak)->Arg(31)->Arg(256)->Arg(4096);

void BM_PeakScalar(benchmark::State& state) {
  const auto count = static_cast<int32_t>(state.range(0));
  const auto frames = NoiseFrames(static_cast<size_t>(count) / 2 + 1);
  const float* data = &frames[0].Left;
  for (auto _ : state) benchmark::DoNotOptimize(GetMono32BitMaximumAbsolutePeakScalar(data, count));
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_PeakScalar)->Arg(31)->Arg(256)->Arg(4096);

}  // namespace
}  // namespace kelvane
