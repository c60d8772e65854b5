// Four voices' biquads side by side, one voice per vector lane. Each lane
// does the scalar filter's operations in the scalar order, so the output does
// not change. A lane that does not filter over a stretch (no voice, a gap
// between runs, a bypassed run) works on the spare block with zero
// coefficients meanwhile, so that every lane runs the same code; its history
// waits aside until it filters again.

#include "synth/lane_filter.h"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <immintrin.h>
#define KELVANE_LANE_FILTER_SSE 1
#if defined(KELVANE_AVX2_KERNELS) && (defined(__GNUC__) || defined(__clang__))
#include "synth/resampler_avx2.h"
#define KELVANE_LANE_FILTER_AVX2 1
#endif
#endif

namespace kelvane {

namespace {

constexpr int32_t Lanes = TVoiceGroup::Lanes;

// Where each lane stands: its coefficients, increments (-0 adds nothing to
// any value, so a lane that does not ramp adds -0) and filter history; one
// float per lane.
struct alignas(16) TLaneState {
  float b0[Lanes], b1[Lanes], b2[Lanes], a2[Lanes], a1[Lanes];
  float b0i[Lanes], b1i[Lanes], b2i[Lanes], a2i[Lanes], a1i[Lanes];
  float x1[Lanes], x2[Lanes], y1[Lanes], y2[Lanes];
};

constexpr float NegativeZero = -0.0f;

void StopRamp(TLaneState& S, int32_t L) {
  S.b0i[L] = S.b1i[L] = S.b2i[L] = S.a2i[L] = S.a1i[L] = NegativeZero;
}

#ifdef KELVANE_LANE_FILTER_SSE
// The state in registers, and one frame of the four lanes. Inlined into
// each instruction set's code below.
template <bool Ramp>
struct TLaneRegisters {
  __m128 b0, b1, b2, a2, a1;
  __m128 b0i, b1i, b2i, a2i, a1i;
  __m128 x1, x2, y1, y2;

  [[gnu::always_inline]] explicit TLaneRegisters(const TLaneState& S)
      : b0(_mm_load_ps(S.b0)), b1(_mm_load_ps(S.b1)), b2(_mm_load_ps(S.b2)), a2(_mm_load_ps(S.a2)),
        a1(_mm_load_ps(S.a1)), b0i(_mm_load_ps(S.b0i)), b1i(_mm_load_ps(S.b1i)), b2i(_mm_load_ps(S.b2i)),
        a2i(_mm_load_ps(S.a2i)), a1i(_mm_load_ps(S.a1i)), x1(_mm_load_ps(S.x1)), x2(_mm_load_ps(S.x2)),
        y1(_mm_load_ps(S.y1)), y2(_mm_load_ps(S.y2)) {}

  [[gnu::always_inline]] void Store(TLaneState& S) const {
    _mm_store_ps(S.x1, x1);
    _mm_store_ps(S.x2, x2);
    _mm_store_ps(S.y1, y1);
    _mm_store_ps(S.y2, y2);
    if constexpr (Ramp) {
      _mm_store_ps(S.b0, b0);
      _mm_store_ps(S.b1, b1);
      _mm_store_ps(S.b2, b2);
      _mm_store_ps(S.a2, a2);
      _mm_store_ps(S.a1, a1);
    }
  }

  [[gnu::always_inline]] __m128 Step(__m128 x) { return Step(x, b0, b1, b2, a2, a1); }

  // The same with coefficients that stay, read where they lie: the
  // registers they would take hold the frames of the longer passes instead.
  [[gnu::always_inline]] __m128 StepSteady(const TLaneState& S, __m128 x) {
    return Step(x, _mm_load_ps(S.b0), _mm_load_ps(S.b1), _mm_load_ps(S.b2), _mm_load_ps(S.a2), _mm_load_ps(S.a1));
  }

  [[gnu::always_inline]] __m128 Step(__m128 x, __m128 c0, __m128 c1, __m128 c2, __m128 d2, __m128 d1) {
    const __m128 y = _mm_add_ps(
        _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(c0, x), _mm_mul_ps(c1, x1)), _mm_mul_ps(c2, x2)),
                   _mm_mul_ps(d2, y2)),
        _mm_mul_ps(d1, y1));
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    if constexpr (Ramp) {
      b0 = _mm_add_ps(b0, b0i);
      b1 = _mm_add_ps(b1, b1i);
      b2 = _mm_add_ps(b2, b2i);
      a1 = _mm_add_ps(a1, a1i);
      a2 = _mm_add_ps(a2, a2i);
    }
    return y;
  }
};

// Frames From..To of the four lanes in place, four frames per pass.
template <bool Ramp>
[[gnu::always_inline]] inline void RunLanes(TLaneRegisters<Ramp>& R, float* const* Mono, int32_t From, int32_t To) {
  float* const m0 = Mono[0];
  float* const m1 = Mono[1];
  float* const m2 = Mono[2];
  float* const m3 = Mono[3];
  int32_t t = From;
  for (; t + 4 <= To; t += 4) {
    __m128 r0 = _mm_loadu_ps(m0 + t), r1 = _mm_loadu_ps(m1 + t), r2 = _mm_loadu_ps(m2 + t), r3 = _mm_loadu_ps(m3 + t);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    r0 = R.Step(r0);
    r1 = R.Step(r1);
    r2 = R.Step(r2);
    r3 = R.Step(r3);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(m0 + t, r0);
    _mm_storeu_ps(m1 + t, r1);
    _mm_storeu_ps(m2 + t, r2);
    _mm_storeu_ps(m3 + t, r3);
  }
  for (; t < To; t++) {
    alignas(16) float lanes[Lanes];
    _mm_store_ps(lanes, R.Step(_mm_setr_ps(m0[t], m1[t], m2[t], m3[t])));
    m0[t] = lanes[0];
    m1[t] = lanes[1];
    m2[t] = lanes[2];
    m3[t] = lanes[3];
  }
}

template <bool Ramp>
void RunLanesBaseline(TLaneState& S, float* const* Mono, int32_t From, int32_t To) {
  TLaneRegisters<Ramp> r(S);
  RunLanes(r, Mono, From, To);
  r.Store(S);
}

#ifdef KELVANE_LANE_FILTER_AVX2
// Lane rows to frame columns within each half, and back: frame k in the low
// half of column k, frame k + 4 in its high half.
[[gnu::target("avx2"), gnu::always_inline]] inline void TransposeHalves(__m256& c0, __m256& c1, __m256& c2,
                                                                        __m256& c3) {
  const __m256 t0 = _mm256_unpacklo_ps(c0, c1), t1 = _mm256_unpackhi_ps(c0, c1);
  const __m256 t2 = _mm256_unpacklo_ps(c2, c3), t3 = _mm256_unpackhi_ps(c2, c3);
  c0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  c1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  c2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  c3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
}

// The same in the three-operand encoding (no register copies). Steady
// coefficients run eight frames per pass, each lane's eight frames transposed
// in the two halves at once; a ramp's coefficients and increments leave too
// few registers for that (values of the recursion would go through memory),
// so it runs four at a time.
template <bool Ramp>
[[gnu::target("avx2")]] void RunLanesAVX2(TLaneState& S, float* const* Mono, int32_t From, int32_t To) {
  TLaneRegisters<Ramp> r(S);
  float* const m0 = Mono[0];
  float* const m1 = Mono[1];
  float* const m2 = Mono[2];
  float* const m3 = Mono[3];
  int32_t t = From;
  for (; !Ramp && t + 8 <= To; t += 8) {
    __m256 c0 = _mm256_loadu_ps(m0 + t), c1 = _mm256_loadu_ps(m1 + t), c2 = _mm256_loadu_ps(m2 + t),
           c3 = _mm256_loadu_ps(m3 + t);
    TransposeHalves(c0, c1, c2, c3);
    const __m128 o0 = r.StepSteady(S, _mm256_castps256_ps128(c0));
    const __m128 o1 = r.StepSteady(S, _mm256_castps256_ps128(c1));
    const __m128 o2 = r.StepSteady(S, _mm256_castps256_ps128(c2));
    const __m128 o3 = r.StepSteady(S, _mm256_castps256_ps128(c3));
    const __m128 o4 = r.StepSteady(S, _mm256_extractf128_ps(c0, 1));
    const __m128 o5 = r.StepSteady(S, _mm256_extractf128_ps(c1, 1));
    const __m128 o6 = r.StepSteady(S, _mm256_extractf128_ps(c2, 1));
    const __m128 o7 = r.StepSteady(S, _mm256_extractf128_ps(c3, 1));
    c0 = _mm256_set_m128(o4, o0);
    c1 = _mm256_set_m128(o5, o1);
    c2 = _mm256_set_m128(o6, o2);
    c3 = _mm256_set_m128(o7, o3);
    TransposeHalves(c0, c1, c2, c3);
    _mm256_storeu_ps(m0 + t, c0);
    _mm256_storeu_ps(m1 + t, c1);
    _mm256_storeu_ps(m2 + t, c2);
    _mm256_storeu_ps(m3 + t, c3);
  }
  RunLanes(r, Mono, t, To);
  r.Store(S);
}

const bool UseAVX2 = detail::CPUHasAVX2();
#endif
#else
// The same lane by lane.
template <bool Ramp>
void RunLanesBaseline(TLaneState& S, float* const* Mono, int32_t From, int32_t To) {
  for (int32_t l = 0; l < Lanes; l++) {
    for (int32_t t = From; t < To; t++) {
      const float x = Mono[l][t];
      const float y = S.b0[l] * x + S.b1[l] * S.x1[l] + S.b2[l] * S.x2[l] + S.a2[l] * S.y2[l] + S.a1[l] * S.y1[l];
      Mono[l][t] = y;
      S.x2[l] = S.x1[l];
      S.x1[l] = x;
      S.y2[l] = S.y1[l];
      S.y1[l] = y;
      if constexpr (Ramp) {
        S.b0[l] += S.b0i[l];
        S.b1[l] += S.b1i[l];
        S.b2[l] += S.b2i[l];
        S.a1[l] += S.a1i[l];
        S.a2[l] += S.a2i[l];
      }
    }
  }
}
#endif

template <bool AVX2>
void FilterLanesWith(const TLaneFilterJob (&Jobs)[Lanes], float* Spare, int32_t Samples) {
  TLaneState state{};  // zero coefficients and history
  float* mono[Lanes];  // the lane's block while it filters, else Spare
  float history[Lanes][4];  // x1, x2, y1, y2 of a lane that does not filter
  bool filtering[Lanes] = {};
  int32_t run[Lanes] = {};
  int32_t next[Lanes];  // frame of the lane's next change of mode
  bool ramping[Lanes] = {};
  for (int32_t l = 0; l < Lanes; l++) {
    const TLaneFilterJob& job = Jobs[l];
    mono[l] = Spare;
    StopRamp(state, l);
    const TFilter* filter = job.Filter;
    history[l][0] = filter != nullptr ? filter->histb1 : 0.0f;
    history[l][1] = filter != nullptr ? filter->histb2 : 0.0f;
    history[l][2] = filter != nullptr ? filter->hista1 : 0.0f;
    history[l][3] = filter != nullptr ? filter->hista2 : 0.0f;
    next[l] = job.RunCount > 0 ? job.Runs[0].Offset : Samples;
  }
  // A lane that stops filtering keeps its history aside and runs on zeros:
  // with zero coefficients and history, it writes zeros back into Spare.
  auto stop = [&](int32_t l) {
    StopRamp(state, l);
    ramping[l] = false;
    if (!filtering[l]) return;
    filtering[l] = false;
    mono[l] = Spare;
    history[l][0] = state.x1[l];
    history[l][1] = state.x2[l];
    history[l][2] = state.y1[l];
    history[l][3] = state.y2[l];
    state.x1[l] = state.x2[l] = state.y1[l] = state.y2[l] = 0.0f;
    state.b0[l] = state.b1[l] = state.b2[l] = state.a2[l] = state.a1[l] = 0.0f;
  };

  int32_t t = 0;
  while (t < Samples) {
    // Lanes that change mode here: a run starts, its ramp ends, or it ends.
    for (int32_t l = 0; l < Lanes; l++) {
      if (next[l] != t) continue;
      const TLaneFilterJob& job = Jobs[l];
      int32_t& r = run[l];
      if (r < job.RunCount && job.Runs[r].Offset + job.Runs[r].Count == t) {
        r++;  // the run ended
        stop(l);
      }
      if (r >= job.RunCount) {
        next[l] = Samples;
        continue;
      }
      const TVoiceLaneFilterRun& R = job.Runs[r];
      if (R.Offset == t) {
        // A bypassed run passes its frames unchanged, whatever its coefficients do.
        if (!R.Active) {
          stop(l);
          next[l] = R.Offset + R.Count;
          continue;
        }
        next[l] = R.Ramp > 0 && R.Ramp < R.Count ? R.Offset + R.Ramp : R.Offset + R.Count;
        if (!filtering[l]) {
          filtering[l] = true;
          mono[l] = job.Mono;
          state.x1[l] = history[l][0];
          state.x2[l] = history[l][1];
          state.y1[l] = history[l][2];
          state.y2[l] = history[l][3];
        }
        state.b0[l] = R.b0;
        state.b1[l] = R.b1;
        state.b2[l] = R.b2;
        state.a2[l] = R.a2;
        state.a1[l] = R.a1;
        ramping[l] = R.Ramp > 0;
        if (ramping[l]) {
          state.b0i[l] = R.b0incr;
          state.b1i[l] = R.b1incr;
          state.b2i[l] = R.b2incr;
          state.a2i[l] = R.a2incr;
          state.a1i[l] = R.a1incr;
        } else {
          StopRamp(state, l);
        }
      } else if (R.Offset > t) {
        next[l] = R.Offset;  // a gap before the run
      } else {
        // The ramp ended inside the run.
        StopRamp(state, l);
        ramping[l] = false;
        next[l] = R.Offset + R.Count;
      }
    }
    int32_t end = Samples;
    bool ramp = false, any = false;
    for (int32_t l = 0; l < Lanes; l++) {
      end = std::min(end, next[l]);
      ramp = ramp || ramping[l];
      any = any || filtering[l];
    }
    if (any) {
#ifdef KELVANE_LANE_FILTER_AVX2
      if constexpr (AVX2) {
        ramp ? RunLanesAVX2<true>(state, mono, t, end) : RunLanesAVX2<false>(state, mono, t, end);
      } else {
        ramp ? RunLanesBaseline<true>(state, mono, t, end) : RunLanesBaseline<false>(state, mono, t, end);
      }
#else
      ramp ? RunLanesBaseline<true>(state, mono, t, end) : RunLanesBaseline<false>(state, mono, t, end);
#endif
    }
    t = end;
  }

  for (int32_t l = 0; l < Lanes; l++) {
    TFilter* filter = Jobs[l].Filter;
    if (filter == nullptr) continue;
    filter->histb1 = filtering[l] ? state.x1[l] : history[l][0];
    filter->histb2 = filtering[l] ? state.x2[l] : history[l][1];
    filter->hista1 = filtering[l] ? state.y1[l] : history[l][2];
    filter->hista2 = filtering[l] ? state.y2[l] : history[l][3];
  }
}

}  // namespace

void FilterLanes(const TLaneFilterJob (&Jobs)[Lanes], float* Spare, int32_t Samples) {
#ifdef KELVANE_LANE_FILTER_AVX2
  if (UseAVX2) return FilterLanesWith<true>(Jobs, Spare, Samples);
#endif
  FilterLanesWith<false>(Jobs, Spare, Samples);
}

namespace detail {

void FilterLanesBaseline(const TLaneFilterJob (&Jobs)[Lanes], float* Spare, int32_t Samples) {
  FilterLanesWith<false>(Jobs, Spare, Samples);
}

}  // namespace detail

}  // namespace kelvane
