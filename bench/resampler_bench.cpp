#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "synth/resampler.h"
#include "synth/resampler_avx2.h"

namespace kelvane {
namespace {

// Four seconds of a 440 Hz tone at 44.1 kHz with guard frames.
const std::vector<float>& ToneFrames() {
  static const std::vector<float> frames = [] {
    std::vector<float> f(176400 + 4096);
    for (size_t k = 0; k < f.size(); ++k) f[k] = float(std::sin(k * 2 * 3.141592653589793 * 440 / 44100));
    return f;
  }();
  return frames;
}

// Frames per second of one method over 4096-frame blocks at a ratio of 1.37.
void RunMethod(benchmark::State& state, int32_t method) {
  AcquireResamplingTables(method);
  const TResampleProc proc = ResamplerForMethod(method);
  const TResamplingMethodInfo info = ResamplingMethodInfo(method);
  TResampleContext context{ToneFrames().data(), 5, info.Points};
  std::vector<float> out(4096);
  const int64_t increment = int64_t(1.37 * 4294967296.0);
  int64_t position = int64_t{2048} << 32;
  for (auto _ : state) {
    proc(context, out.data(), 4096, increment, position);
    if (position > (int64_t{160000} << 32)) position = int64_t{2048} << 32;
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 4096);
  ReleaseResamplingTables(method);
}

void BM_Nearest(benchmark::State& s) { RunMethod(s, rmNearest); }
void BM_Linear(benchmark::State& s) { RunMethod(s, rmLinear); }
void BM_CubicSpline(benchmark::State& s) { RunMethod(s, rmCubicSpline); }
void BM_PolyphaseFIR(benchmark::State& s) { RunMethod(s, rmPolyphaseFIR); }
void BM_FastSINC8(benchmark::State& s) { RunMethod(s, rmFastSINC8); }
void BM_FastSINC16(benchmark::State& s) { RunMethod(s, rmFastSINC8 + 1); }
void BM_FastSINC32(benchmark::State& s) { RunMethod(s, rmFastSINC8 + 2); }
void BM_FastSINC64(benchmark::State& s) { RunMethod(s, rmFastSINC8 + 3); }
void BM_SINC8(benchmark::State& s) { RunMethod(s, rmSINC8); }
void BM_SINC64(benchmark::State& s) { RunMethod(s, rmSINC8 + 3); }
BENCHMARK(BM_Nearest);
BENCHMARK(BM_Linear);
BENCHMARK(BM_CubicSpline);
BENCHMARK(BM_PolyphaseFIR);
BENCHMARK(BM_FastSINC8);
BENCHMARK(BM_FastSINC16);
BENCHMARK(BM_FastSINC32);
BENCHMARK(BM_FastSINC64);
BENCHMARK(BM_SINC8);
BENCHMARK(BM_SINC64);

// The plain and the SIMD table kernel on the same random-free table.
void RunKernel(benchmark::State& state, bool simd) {
  const int32_t n = int32_t(state.range(0));
  float* table = static_cast<float*>(::operator new[](sizeof(float) * 4096 * size_t(n), std::align_val_t{16}));
  for (size_t i = 0; i < 4096 * size_t(n); ++i) table[i] = float(i % 7) * 0.01f;
  std::vector<float> out(4096);
  const int64_t increment = int64_t(1.37 * 4294967296.0);
  int64_t position = int64_t{2048} << 32;
  for (auto _ : state) {
    if (simd) {
      detail::ResampleTableSIMD(ToneFrames().data(), table, n, -n / 2, out.data(), 4096, increment, position);
    } else {
      detail::ResampleTableScalar(ToneFrames().data(), table, n, -n / 2, out.data(), 4096, increment, position);
    }
    if (position > (int64_t{160000} << 32)) position = int64_t{2048} << 32;
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 4096);
  ::operator delete[](table, std::align_val_t{16});
}
void BM_TableKernelScalar(benchmark::State& s) { RunKernel(s, false); }
void BM_TableKernelSIMD(benchmark::State& s) { RunKernel(s, true); }
BENCHMARK(BM_TableKernelScalar)->Arg(4)->Arg(8)->Arg(16)->Arg(64);
BENCHMARK(BM_TableKernelSIMD)->Arg(4)->Arg(8)->Arg(16)->Arg(64);

// The linear and cubic builds side by side in 32-frame runs (one modulation
// step of a voice), the run length the voices use, at a ratio of 1.37.
enum class TBuild { Scalar, SSE2, AVX2 };

template <bool Cubic>
void RunStepKernel(benchmark::State& state, TBuild build) {
  if (build == TBuild::AVX2 && !detail::CPUHasAVX2()) {
    state.SkipWithError("no AVX2");
    return;
  }
  AcquireResamplingTables(rmCubicSpline);
  const float* table = CubicTableRow(0);
  const float* data = ToneFrames().data();
  std::vector<float> out(4096);
  const int64_t increment = int64_t(1.37 * 4294967296.0);
  int64_t position = int64_t{2048} << 32;
  for (auto _ : state) {
    for (int32_t n = 0; n < 4096; n += 32) {
      float* o = out.data() + n;
      if constexpr (Cubic) {
        switch (build) {
          case TBuild::Scalar: detail::ResampleTableScalar(data, table, 4, -1, o, 32, increment, position); break;
          case TBuild::SSE2: detail::ResampleTableSIMD(data, table, 4, -1, o, 32, increment, position); break;
          case TBuild::AVX2: detail::ResampleCubicAVX2(data + 2048, table, o, 32, increment, position); break;
        }
      } else {
        switch (build) {
          case TBuild::Scalar: detail::ResampleLinearScalar(data, o, 32, increment, position); break;
          case TBuild::SSE2: detail::ResampleLinearSIMD(data, o, 32, increment, position); break;
          case TBuild::AVX2: detail::ResampleLinearAVX2(data + 2048, o, 32, increment, position); break;
        }
      }
    }
    if (position > (int64_t{160000} << 32)) position = int64_t{2048} << 32;
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 4096);
  ReleaseResamplingTables(rmCubicSpline);
}
void BM_LinearStepScalar(benchmark::State& s) { RunStepKernel<false>(s, TBuild::Scalar); }
void BM_LinearStepSSE2(benchmark::State& s) { RunStepKernel<false>(s, TBuild::SSE2); }
void BM_LinearStepAVX2(benchmark::State& s) { RunStepKernel<false>(s, TBuild::AVX2); }
void BM_CubicStepScalar(benchmark::State& s) { RunStepKernel<true>(s, TBuild::Scalar); }
void BM_CubicStepSSE2(benchmark::State& s) { RunStepKernel<true>(s, TBuild::SSE2); }
void BM_CubicStepAVX2(benchmark::State& s) { RunStepKernel<true>(s, TBuild::AVX2); }
// As the voices read: 960 runs of 32 frames in turn, each voice at its own
// place in 64 MB of frames (mostly out of cache) with its own ratio 0.5..4.
template <bool Cubic>
void RunVoicesKernel(benchmark::State& state, TBuild build) {
  if (build == TBuild::AVX2 && !detail::CPUHasAVX2()) {
    state.SkipWithError("no AVX2");
    return;
  }
  constexpr int32_t voices = 960, frames = 16 << 20;
  static const std::vector<float> data = [] {
    std::vector<float> d(size_t(frames) + 4096);
    for (size_t k = 0; k < d.size(); ++k) d[k] = float(k % 1000) * 0.001f - 0.5f;
    return d;
  }();
  AcquireResamplingTables(rmCubicSpline);
  const float* table = CubicTableRow(0);
  // Each voice plays its own stretch of the frames, from its start again.
  const auto start = [](int32_t v) { return int64_t{2048} + int64_t(v) * (frames / voices); };
  std::vector<int64_t> position(voices), increment(voices);
  for (int32_t v = 0; v < voices; ++v) {
    position[size_t(v)] = start(v) << 32;
    increment[size_t(v)] = int64_t((0.5 + 3.5 * ((v * 37) % voices) / voices) * 4294967296.0);
  }
  std::vector<float> out(32);
  for (auto _ : state) {
    for (int32_t v = 0; v < voices; ++v) {
      int64_t& p = position[size_t(v)];
      const int64_t i = increment[size_t(v)];
      if constexpr (Cubic) {
        switch (build) {
          case TBuild::Scalar: detail::ResampleTableScalar(data.data(), table, 4, -1, out.data(), 32, i, p); break;
          case TBuild::SSE2: detail::ResampleTableSIMD(data.data(), table, 4, -1, out.data(), 32, i, p); break;
          case TBuild::AVX2: detail::ResampleCubicAVX2(data.data() + 2048, table, out.data(), 32, i, p); break;
        }
      } else {
        switch (build) {
          case TBuild::Scalar: detail::ResampleLinearScalar(data.data(), out.data(), 32, i, p); break;
          case TBuild::SSE2: detail::ResampleLinearSIMD(data.data(), out.data(), 32, i, p); break;
          case TBuild::AVX2: detail::ResampleLinearAVX2(data.data() + 2048, out.data(), 32, i, p); break;
        }
      }
      if ((p >> 32) > start(v + 1) - 256) p = start(v) << 32;
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * voices * 32);
  ReleaseResamplingTables(rmCubicSpline);
}
void BM_LinearVoicesSSE2(benchmark::State& s) { RunVoicesKernel<false>(s, TBuild::SSE2); }
void BM_LinearVoicesAVX2(benchmark::State& s) { RunVoicesKernel<false>(s, TBuild::AVX2); }
void BM_CubicVoicesSSE2(benchmark::State& s) { RunVoicesKernel<true>(s, TBuild::SSE2); }
void BM_CubicVoicesAVX2(benchmark::State& s) { RunVoicesKernel<true>(s, TBuild::AVX2); }
BENCHMARK(BM_LinearVoicesSSE2);
BENCHMARK(BM_LinearVoicesAVX2);
BENCHMARK(BM_CubicVoicesSSE2);
BENCHMARK(BM_CubicVoicesAVX2);

BENCHMARK(BM_LinearStepScalar);
BENCHMARK(BM_LinearStepSSE2);
BENCHMARK(BM_LinearStepAVX2);
BENCHMARK(BM_CubicStepScalar);
BENCHMARK(BM_CubicStepSSE2);
BENCHMARK(BM_CubicStepAVX2);

}  // namespace
}  // namespace kelvane
