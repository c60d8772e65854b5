#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "synth/channel.h"
#include "synth/chorus.h"
#include "synth/fpu.h"
#include "synth/mixing.h"
#include "synth/reverb.h"
#include "synth/synth.h"

namespace kelvane {
namespace {

constexpr int32_t BlockFrames = MaxBlockSamples;

std::vector<TBufferSample> Noise(size_t count) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<TBufferSample> frames(count);
  for (auto& f : frames) f = {{{dist(rng), dist(rng)}}};
  return frames;
}

// Chorus of the power-on type (2) with Arg delay lines.
void BM_ChorusProcess(benchmark::State& state) {
  SIMDFlushToZero();
  auto synth = std::make_unique<TSynth>();
  TChorus& chorus = *synth->Chorus;
  chorus.GeneralMIDISettings.NumberBlocks = static_cast<int32_t>(state.range(0));
  chorus.Update();
  const auto send = Noise(BlockFrames);
  std::vector<TBufferSample> out(BlockFrames), reverb(BlockFrames);
  for (auto _ : state) {
    chorus.Process(send.data(), out.data(), reverb.data(), BlockFrames);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * BlockFrames);
}
BENCHMARK(BM_ChorusProcess)->Arg(3)->Arg(32);

// Reverb of the power-on type (4, with pre-delay).
void BM_ReverbProcess(benchmark::State& state) {
  SIMDFlushToZero();
  auto synth = std::make_unique<TSynth>();
  TReverb& reverb = *synth->Reverb;
  const auto noise = Noise(BlockFrames);
  std::vector<TBufferSample> send(BlockFrames), out(BlockFrames);
  for (auto _ : state) {
    state.PauseTiming();
    send = noise;  // Process pre-delays the send in place
    state.ResumeTiming();
    reverb.Process(send.data(), out.data(), BlockFrames);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * BlockFrames);
}
BENCHMARK(BM_ReverbProcess);

// Both effects idle: one peak scan of the send each.
void BM_EffectsIdle(benchmark::State& state) {
  SIMDFlushToZero();
  auto synth = std::make_unique<TSynth>();
  std::vector<TBufferSample> send(BlockFrames), reverbSend(BlockFrames), out(BlockFrames);
  for (auto _ : state) {
    synth->Chorus->Process(send.data(), out.data(), reverbSend.data(), BlockFrames);
    synth->Reverb->Process(reverbSend.data(), out.data(), BlockFrames);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * BlockFrames);
}
BENCHMARK(BM_EffectsIdle);

// A channel's dry, chorus and reverb click residues decaying over one block:
// the channel's own pass (first Arg 1) against three ProcClickRemoval calls
// (first Arg 0); the second Arg is the number of residues (2: no chorus).
void BM_ChannelResidues(benchmark::State& state) {
  SIMDFlushToZero();
  auto synth = std::make_unique<TSynth>();
  TChannel& channel = *synth->Channels[0];
  const double factor = synth->ClickRemovalFactor;
  std::vector<TBufferSample> dry(BlockFrames), chorus(BlockFrames), reverb(BlockFrames);
  for (auto _ : state) {
    channel.Last = {{{0.5f, -0.5f}}};
    channel.ChorusLast = state.range(1) == 3 ? TBufferSample{{{0.25f, 0.125f}}} : TBufferSample{};
    channel.ReverbLast = {{{-0.3f, 0.2f}}};
    if (state.range(0) == 1) {
      channel.FillBuffer(dry.data(), chorus.data(), reverb.data(), BlockFrames);
    } else {
      ProcClickRemoval(channel.Last, dry.data(), BlockFrames, factor, 1.0);
      ProcClickRemoval(channel.ChorusLast, chorus.data(), BlockFrames, factor, 1.0);
      ProcClickRemoval(channel.ReverbLast, reverb.data(), BlockFrames, factor, 1.0);
    }
    benchmark::DoNotOptimize(dry.data());
  }
  state.SetItemsProcessed(state.iterations() * BlockFrames);
}
BENCHMARK(BM_ChannelResidues)->Args({0, 3})->Args({1, 3})->Args({0, 2})->Args({1, 2});

}  // namespace
}  // namespace kelvane
