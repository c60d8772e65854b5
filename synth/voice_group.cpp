// Voices four at a time: a voice's biquad is one long chain of dependent
// multiplies and adds, so one voice leaves most of the core idle while it
// waits; four voices' filters in the lanes of one vector wait once for all.
// Each lane does the scalar filter's operations in the scalar order, so the
// output does not change.

#include "synth/voice_group.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "synth/voice.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KELVANE_GROUP_SSE 1
#endif

namespace kelvane {

void TVoiceLane::AddFilterRun(int32_t Filter, const TVoiceLaneFilterRun& Run) {
  TVoiceLaneFilterRun* runs = Runs[Filter];
  int32_t& count = RunCount[Filter];
  // Steady stretches with the same coefficients run as one.
  if (count > 0) {
    TVoiceLaneFilterRun& last = runs[count - 1];
    auto same = [](float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); };
    if (last.Offset + last.Count == Run.Offset && last.Ramp == 0 && Run.Ramp == 0 && last.Active == Run.Active &&
        same(last.a1, Run.a1) && same(last.a2, Run.a2) && same(last.b0, Run.b0) && same(last.b1, Run.b1) &&
        same(last.b2, Run.b2)) {
      last.Count += Run.Count;
      return;
    }
  }
  runs[count++] = Run;
}

namespace {

constexpr int32_t Lanes = TVoiceGroup::Lanes;

// Where each lane stands: its coefficients, increments (-0 adds nothing to
// any value, so a lane that does not ramp adds -0), whether it filters, and
// its filter history; one float per lane.
struct alignas(16) TLaneState {
  float b0[Lanes], b1[Lanes], b2[Lanes], a2[Lanes], a1[Lanes];
  float b0i[Lanes], b1i[Lanes], b2i[Lanes], a2i[Lanes], a1i[Lanes];
  uint32_t Mask[Lanes];
  float x1[Lanes], x2[Lanes], y1[Lanes], y2[Lanes];
};

constexpr float NegativeZero = -0.0f;

void StopRamp(TLaneState& S, int32_t L) {
  S.b0i[L] = S.b1i[L] = S.b2i[L] = S.a2i[L] = S.a1i[L] = NegativeZero;
}

#ifdef KELVANE_GROUP_SSE
template <bool Ramp, bool Masked>
void RunLanes(TLaneState& S, float* const* Mono, int32_t From, int32_t To) {
  __m128 b0 = _mm_load_ps(S.b0), b1 = _mm_load_ps(S.b1), b2 = _mm_load_ps(S.b2), a2 = _mm_load_ps(S.a2),
         a1 = _mm_load_ps(S.a1);
  const __m128 b0i = _mm_load_ps(S.b0i), b1i = _mm_load_ps(S.b1i), b2i = _mm_load_ps(S.b2i),
               a2i = _mm_load_ps(S.a2i), a1i = _mm_load_ps(S.a1i);
  const __m128 mask = _mm_load_ps(reinterpret_cast<const float*>(S.Mask));
  __m128 x1 = _mm_load_ps(S.x1), x2 = _mm_load_ps(S.x2), y1 = _mm_load_ps(S.y1), y2 = _mm_load_ps(S.y2);
  float* const m0 = Mono[0];
  float* const m1 = Mono[1];
  float* const m2 = Mono[2];
  float* const m3 = Mono[3];

  auto step = [&](__m128 x) {
    const __m128 y = _mm_add_ps(
        _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(b0, x), _mm_mul_ps(b1, x1)), _mm_mul_ps(b2, x2)),
                   _mm_mul_ps(a2, y2)),
        _mm_mul_ps(a1, y1));
    __m128 out;
    if constexpr (Masked) {
      // A bypassed lane passes its input and keeps its history.
      auto select = [&](__m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); };
      out = select(y, x);
      x2 = select(x1, x2);
      x1 = select(x, x1);
      y2 = select(y1, y2);
      y1 = select(y, y1);
    } else {
      out = y;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
    }
    if constexpr (Ramp) {
      b0 = _mm_add_ps(b0, b0i);
      b1 = _mm_add_ps(b1, b1i);
      b2 = _mm_add_ps(b2, b2i);
      a1 = _mm_add_ps(a1, a1i);
      a2 = _mm_add_ps(a2, a2i);
    }
    return out;
  };

  int32_t t = From;
  for (; t + 4 <= To; t += 4) {
    __m128 r0 = _mm_loadu_ps(m0 + t), r1 = _mm_loadu_ps(m1 + t), r2 = _mm_loadu_ps(m2 + t), r3 = _mm_loadu_ps(m3 + t);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    r0 = step(r0);
    r1 = step(r1);
    r2 = step(r2);
    r3 = step(r3);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _mm_storeu_ps(m0 + t, r0);
    _mm_storeu_ps(m1 + t, r1);
    _mm_storeu_ps(m2 + t, r2);
    _mm_storeu_ps(m3 + t, r3);
  }
  for (; t < To; t++) {
    alignas(16) float lanes[Lanes];
    _mm_store_ps(lanes, step(_mm_setr_ps(m0[t], m1[t], m2[t], m3[t])));
    m0[t] = lanes[0];
    m1[t] = lanes[1];
    m2[t] = lanes[2];
    m3[t] = lanes[3];
  }

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
#else
// The same lane by lane.
template <bool Ramp, bool Masked>
void RunLanes(TLaneState& S, float* const* Mono, int32_t From, int32_t To) {
  for (int32_t l = 0; l < Lanes; l++) {
    const bool active = S.Mask[l] != 0;
    for (int32_t t = From; t < To; t++) {
      const float x = Mono[l][t];
      const float y = S.b0[l] * x + S.b1[l] * S.x1[l] + S.b2[l] * S.x2[l] + S.a2[l] * S.y2[l] + S.a1[l] * S.y1[l];
      if (active) {
        Mono[l][t] = y;
        S.x2[l] = S.x1[l];
        S.x1[l] = x;
        S.y2[l] = S.y1[l];
        S.y1[l] = y;
      }
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

}  // namespace

void FilterLanes(const TLaneFilterJob (&Jobs)[Lanes], float* Spare, int32_t Samples) {
  TLaneState state{};
  float* mono[Lanes];
  int32_t run[Lanes] = {};
  int32_t next[Lanes];    // frame of the lane's next change of mode
  bool ramping[Lanes] = {};
  for (int32_t l = 0; l < Lanes; l++) {
    const TLaneFilterJob& job = Jobs[l];
    mono[l] = job.Filter != nullptr ? job.Mono : Spare;
    StopRamp(state, l);
    state.Mask[l] = 0;
    if (job.Filter != nullptr) {
      state.x1[l] = job.Filter->histb1;
      state.x2[l] = job.Filter->histb2;
      state.y1[l] = job.Filter->hista1;
      state.y2[l] = job.Filter->hista2;
    }
    next[l] = job.RunCount > 0 ? job.Runs[0].Offset : Samples;
  }

  int32_t t = 0;
  while (t < Samples) {
    // Lanes that change mode here: a run starts, its ramp ends, or it ends.
    for (int32_t l = 0; l < Lanes; l++) {
      if (next[l] != t) continue;
      const TLaneFilterJob& job = Jobs[l];
      int32_t& r = run[l];
      if (r < job.RunCount && job.Runs[r].Offset + job.Runs[r].Count == t) {
        r++;  // the run ended
        state.Mask[l] = 0;
        StopRamp(state, l);
        ramping[l] = false;
      }
      if (r >= job.RunCount) {
        next[l] = Samples;
        continue;
      }
      const TVoiceLaneFilterRun& R = job.Runs[r];
      if (R.Offset == t) {
        state.b0[l] = R.b0;
        state.b1[l] = R.b1;
        state.b2[l] = R.b2;
        state.a2[l] = R.a2;
        state.a1[l] = R.a1;
        state.Mask[l] = R.Active ? ~uint32_t{0} : 0;
        ramping[l] = R.Ramp > 0;
        if (ramping[l]) {
          state.b0i[l] = R.b0incr;
          state.b1i[l] = R.b1incr;
          state.b2i[l] = R.b2incr;
          state.a2i[l] = R.a2incr;
          state.a1i[l] = R.a1incr;
        }
        next[l] = R.Ramp > 0 && R.Ramp < R.Count ? R.Offset + R.Ramp : R.Offset + R.Count;
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
    bool ramp = false, masked = false, any = false;
    for (int32_t l = 0; l < Lanes; l++) {
      end = std::min(end, next[l]);
      ramp = ramp || ramping[l];
      masked = masked || state.Mask[l] == 0;
      any = any || state.Mask[l] != 0 || ramping[l];
    }
    if (any) {
      if (ramp) {
        masked ? RunLanes<true, true>(state, mono, t, end) : RunLanes<true, false>(state, mono, t, end);
      } else {
        masked ? RunLanes<false, true>(state, mono, t, end) : RunLanes<false, false>(state, mono, t, end);
      }
    }
    t = end;
  }

  for (int32_t l = 0; l < Lanes; l++) {
    TFilter* filter = Jobs[l].Filter;
    if (filter == nullptr) continue;
    filter->histb1 = state.x1[l];
    filter->histb2 = state.x2[l];
    filter->hista1 = state.y1[l];
    filter->hista2 = state.y2[l];
  }
}

TVoiceGroup::TVoiceGroup()
    : fMono(std::make_unique<float[]>(static_cast<size_t>(Lanes + 1) * MaxBlockSamples)),
      fChunks(std::make_unique_for_overwrite<TVoiceLaneChunk[]>(static_cast<size_t>(Lanes) * MaxBlockSamples)),
      fRuns(std::make_unique_for_overwrite<TVoiceLaneFilterRun[]>(static_cast<size_t>(Lanes) * VoiceFilterCount *
                                                                  MaxBlockSamples)) {
  for (int32_t l = 0; l < Lanes; l++) {
    TVoiceLane& lane = fLanes[l];
    lane.Mono = fMono.get() + static_cast<size_t>(l) * MaxBlockSamples;
    lane.Chunks = fChunks.get() + static_cast<size_t>(l) * MaxBlockSamples;
    for (int32_t f = 0; f < VoiceFilterCount; f++) {
      lane.Runs[f] = fRuns.get() + (static_cast<size_t>(l) * VoiceFilterCount + f) * MaxBlockSamples;
    }
  }
}

TVoiceGroup::~TVoiceGroup() = default;

void TVoiceGroup::Render(TVoice* const* Voices, size_t Count, TVoiceBuffers* Buffers, TBufferSample* Buffer,
                         TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples) {
  TBufferSample* const shared[3] = {Buffer, ChorusBuffer, ReverbBuffer};
  TTargets targets;
  targets.Context = const_cast<TBufferSample**>(shared);
  targets.Code = [](void* Context, size_t, TVoiceLane& Lane) {
    TBufferSample* const* buffers = static_cast<TBufferSample* const*>(Context);
    Lane.Dry = buffers[0];
    Lane.Chorus = buffers[1];
    Lane.Reverb = buffers[2];
  };
  Render(Voices, Count, Buffers, targets, Samples);
}

void TVoiceGroup::Render(TVoice* const* Voices, size_t Count, TVoiceBuffers* Buffers, TTargets Targets,
                         int32_t Samples) {
  if (Samples <= 0 || Samples > MaxBlockSamples) return;
  int32_t lanes = 0;
  for (size_t i = 0; i < Count; i++) {
    TVoice& voice = *Voices[i];
    if (!voice.Active && !voice.HasClickResidue()) continue;
    voice.VoiceBuffers = Buffers;
    TVoiceLane& lane = fLanes[lanes++];
    lane.Clear();
    lane.Voice = &voice;
    Targets.Code(Targets.Context, i, lane);
    // As FillBuffer: an ended voice only lets its residue decay.
    if (!voice.Active) {
      lane.ResidueOffset = 0;
    } else {
      voice.Update();
      voice.RenderChunks(lane.Dry, lane.Chorus, lane.Reverb, Samples, &lane);
    }
    if (lanes == Lanes) {
      RenderLanes(lanes, Samples);
      lanes = 0;
    }
  }
  if (lanes > 0) RenderLanes(lanes, Samples);
}

void TVoiceGroup::RenderLanes(int32_t LaneCount, int32_t Samples) {
  // Each filter of the chain in turn over the whole block: a filter's output
  // does not depend on where the next one in the chain was cut.
  for (int32_t f = 0; f < VoiceFilterCount; f++) {
    TLaneFilterJob jobs[Lanes];
    bool any = false;
    for (int32_t l = 0; l < LaneCount; l++) {
      TVoiceLane& lane = fLanes[l];
      if (lane.RunCount[f] == 0) continue;
      TVoice& voice = *lane.Voice;
      TFilter* const filters[VoiceFilterCount] = {&voice.Filter, &voice.Filter2, &voice.Filter3};
      jobs[l] = TLaneFilterJob{filters[f], lane.Mono, lane.Runs[f], lane.RunCount[f]};
      any = true;
    }
    if (any) FilterLanes(jobs, fMono.get() + static_cast<size_t>(Lanes) * MaxBlockSamples, Samples);
  }
  for (int32_t l = 0; l < LaneCount; l++) fLanes[l].Voice->MixLane(fLanes[l], Samples);
}

}  // namespace kelvane
