// The voice group's gain ramps, lane mix and click residues, SSE2 against
// AVX2 builds in one binary (so that both run under the same load).

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "synth/mixing.h"
#include "synth/mixing_avx2.h"
#include "synth/resampler_avx2.h"
#include "synth/voice_group_kernels.h"

namespace kelvane {
namespace {

constexpr int32_t Lanes = detail::GroupLanes;
constexpr int32_t Frames = 1024;

// Four lanes through the gain ramp and the mix into shared dry and reverb
// buffers, in segments of Arg(1) frames (a lane's ramp ends every few frames).
void BM_GroupRampAndMix(benchmark::State& state) {
  const bool avx2 = state.range(0) != 0;
  if (avx2 && !detail::CPUHasAVX2()) {
    state.SkipWithError("no AVX2");
    return;
  }
  const auto segment = static_cast<int32_t>(state.range(1));
  std::mt19937 random(5);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> mono(Lanes * Frames);
  for (float& m : mono) m = value(random);
  std::vector<TBufferSample> gains(Lanes * Frames), dry(Frames), reverb(Frames);
  detail::TLaneMixJob job;
  for (int32_t l = 0; l < Lanes; l++) {
    job.Mono[l] = mono.data() + l * Frames;
    job.Gains[l] = gains.data() + l * Frames;
    job.Dry[l] = job.Chorus[l] = dry.data();
    job.Reverb[l] = reverb.data();
    job.AmpChorus[l] = 0.0f;
    job.AmpReverb[l] = 0.25f;
  }
  for (auto _ : state) {
    float gain[2 * Lanes], inc[2 * Lanes];
    for (int32_t i = 0; i < 2 * Lanes; i++) gain[i] = 0.5f, inc[i] = 1e-5f;
    for (int32_t t = 0; t < Frames; t += segment) {
      const int32_t end = std::min(Frames, t + segment);
      (avx2 ? detail::RampGainsAVX2 : detail::RampGainsSSE)(gain, inc, gains.data(), Frames, t, end);
    }
    (avx2 ? detail::MixLanesAVX2 : detail::MixLanesSSE)(job, true, false, true, 0, Frames);
    benchmark::DoNotOptimize(dry.data());
    benchmark::DoNotOptimize(reverb.data());
  }
  state.SetItemsProcessed(state.iterations() * Frames * Lanes);
}
BENCHMARK(BM_GroupRampAndMix)->ArgNames({"avx2", "segment"})->Args({0, 8})->Args({1, 8})->Args({0, 32})->Args({1, 32});

// Four click residues with two sends over a block: one after the other
// (Arg 0), or decayed side by side and then added (Arg 1).
void BM_GroupClickResidues(benchmark::State& state) {
  const bool batched = state.range(0) != 0;
  if (batched && !detail::CPUHasAVX2()) {
    state.SkipWithError("no AVX2");
    return;
  }
  const double factor = std::pow(0.001, 1.0 / 860.0);
  std::vector<TBufferSample> dry(Frames), chorus(Frames), reverb(Frames);
  std::vector<TBufferSample> decayed(Lanes * Frames);
  for (auto _ : state) {
    TBufferSample last[Lanes] = {{{{0.5f, -0.5f}}}, {{{0.25f, 0.1f}}}, {{{-0.3f, 0.2f}}}, {{{0.05f, -0.05f}}}};
    if (!batched) {
      for (TBufferSample& residue : last) {
        ProcClickRemoval(residue, dry.data(), Frames, factor, 1.0, chorus.data(), 0.3, reverb.data(), 0.4);
      }
    } else {
      TBufferSample* out[Lanes];
      for (int32_t l = 0; l < Lanes; l++) out[l] = decayed.data() + l * Frames;
      int32_t added[Lanes];
      detail::DecayClickResiduesAVX2(last, out, added, Frames, factor, ClickResidueFlushBelow);
      for (int32_t l = 0; l < Lanes; l++) {
        AddClickResidue(out[l], added[l], dry.data(), 1.0, chorus.data(), 0.3, reverb.data(), 0.4);
      }
    }
    benchmark::DoNotOptimize(last);
    benchmark::DoNotOptimize(dry.data());
  }
  state.SetItemsProcessed(state.iterations() * Frames * Lanes);
}
BENCHMARK(BM_GroupClickResidues)->ArgName("batched")->Arg(0)->Arg(1);

}  // namespace
}  // namespace kelvane
