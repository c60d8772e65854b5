// Voices four at a time: a voice's biquad, like its gain ramp, is one long
// chain of dependent operations, so one voice leaves most of the core idle
// while it waits; four voices in the lanes of one vector wait once for all.
// Each lane does the scalar voice's operations in the scalar order, and the
// lanes add into the mixes frame by frame in pool order, so the output does
// not change.

#include "synth/voice_group.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "synth/lane_filter.h"
#include "synth/mixing.h"
#include "synth/synth.h"
#include "synth/voice.h"
#include "synth/voice_group_kernels.h"
#include "synth/resampler_avx2.h"

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

// The AVX2 kernels where the processor runs them, decided once at start-up.
const bool UseAVX2Kernels = detail::CPUHasAVX2();

constexpr float NegativeZero = -0.0f;

}  // namespace

TVoiceGroup::TVoiceGroup()
    : fMono(std::make_unique<float[]>(static_cast<size_t>(Lanes + 2) * MaxBlockSamples)),
      fGains(std::make_unique_for_overwrite<TBufferSample[]>(static_cast<size_t>(Lanes) * MaxBlockSamples)),
      fSink(std::make_unique_for_overwrite<TBufferSample[]>(MaxBlockSamples)),
      fResidues(std::make_unique_for_overwrite<TBufferSample[]>(static_cast<size_t>(Lanes) * MaxBlockSamples)),
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

  RampLaneGains(LaneCount, Samples);

  // All lanes into the same three buffers (the calling thread's), or each
  // into its own. The shared buffers start at +0 and only ever take sums, so
  // they never hold -0 and a zero that a lane adds where it has nothing to
  // add changes nothing.
  bool shared = true;
  const TVoiceLane& first = fLanes[0];
  for (int32_t l = 1; l < LaneCount; l++) {
    const TVoiceLane& lane = fLanes[l];
    shared = shared && lane.Dry == first.Dry && lane.Chorus == first.Chorus && lane.Reverb == first.Reverb;
  }
  shared = shared && first.Dry != first.Chorus && first.Dry != first.Reverb &&
           (first.Chorus != first.Reverb || first.Chorus == nullptr);

  // An ended voice's residue keeps its place: over the frames where it
  // decays, it comes after the lanes before it and before the lanes after
  // it. Where no lane after it is mixed, it simply follows the mix; a
  // residue without sends goes into the mix as the lane's gains (on a mono
  // of 1, the gain itself: the same sums); else the mix is cut around it.
  int32_t cuts[Lanes + 2] = {0};  // in order
  int32_t cutCount = 1;
  auto cut = [&](int32_t at) {
    int32_t i = cutCount++;
    for (; cuts[i - 1] > at; i--) cuts[i] = cuts[i - 1];
    cuts[i] = at;
  };
  for (int32_t l = 0; l < LaneCount; l++) {
    if (fLanes[l].ResidueOffset >= 0) cut(std::min(fLanes[l].ResidueOffset, Samples));
  }
  cut(Samples);
  for (int32_t c = 0; c + 1 < cutCount; c++) {
    const int32_t from = cuts[c], to = cuts[c + 1];
    if (from == to) continue;
    int32_t lastMixed = -1;
    for (int32_t l = 0; l < LaneCount; l++) {
      const TVoiceLane& lane = fLanes[l];
      const bool residue = lane.ResidueOffset >= 0 && lane.ResidueOffset <= from;
      if (!residue && lane.ChunkCount > 0 && lane.Chunks[0].Offset < to &&
          lane.Chunks[lane.ChunkCount - 1].Offset + lane.Chunks[lane.ChunkCount - 1].Count > from) {
        lastMixed = l;
      }
    }
    // With AVX2, the residues' decays (each a chain of dependent operations) side by side first.
    const TBufferSample* decayed[Lanes] = {};
    int32_t added[Lanes] = {};
    if (UseAVX2Kernels) DecayLaneResidues(LaneCount, from, to, decayed, added);
    uint32_t mask = 0, residues = 0;
    int32_t after = LaneCount;  // residues from here on follow the mix
    for (int32_t l = 0; l < LaneCount; l++) {
      TVoiceLane& lane = fLanes[l];
      const bool residue = lane.ResidueOffset >= 0 && lane.ResidueOffset <= from;
      if (!residue) {
        mask |= 1u << l;
        continue;
      }
      if (l > lastMixed) {
        after = l;
        break;
      }
      TVoice& voice = *lane.Voice;
      if (decayed[l] == nullptr && !voice.HasClickResidue()) continue;
      if (voice.LaneResidueSends(lane)) {
        if (mask != 0) MixLaneRange(LaneCount, mask, residues, shared, from, to);
        mask = residues = 0;
        voice.MixLaneResidue(lane, from, to, decayed[l], added[l]);
        continue;
      }
      // -0 + r is r, whatever r.
      TBufferSample* gains = fGains.get() + static_cast<size_t>(l) * MaxBlockSamples;
      std::fill(gains + from, gains + to, TBufferSample{{{NegativeZero, NegativeZero}}});
      if (decayed[l] != nullptr) {
        std::copy(decayed[l], decayed[l] + added[l], gains + from);
      } else {
        voice.DecayLaneResidue(gains + from, to - from);
      }
      std::fill(lane.Mono + from, lane.Mono + to, 1.0f);
      mask |= 1u << l;
      residues |= 1u << l;
    }
    if (mask != 0) MixLaneRange(LaneCount, mask, residues, shared, from, to);
    for (int32_t l = after; l < LaneCount; l++) {
      const TVoiceLane& lane = fLanes[l];
      if (lane.ResidueOffset >= 0 && lane.ResidueOffset <= from) {
        lane.Voice->MixLaneResidue(lane, from, to, decayed[l], added[l]);
      }
    }
  }
}

void TVoiceGroup::DecayLaneResidues(int32_t LaneCount, int32_t From, int32_t To, const TBufferSample* (&Decayed)[Lanes],
                                    int32_t (&Added)[Lanes]) {
  TBufferSample last[Lanes] = {};
  TBufferSample* out[Lanes];
  bool decays[Lanes] = {};
  int32_t count = 0;
  for (int32_t l = 0; l < Lanes; l++) {
    out[l] = fResidues.get() + static_cast<size_t>(l) * MaxBlockSamples;
    if (l >= LaneCount) continue;
    const TVoiceLane& lane = fLanes[l];
    const TVoice& voice = *lane.Voice;
    // As RenderClickResidue: a residue without a channel stays where it is.
    if (lane.ResidueOffset < 0 || lane.ResidueOffset > From || voice.Channel == nullptr || !voice.HasClickResidue()) {
      continue;
    }
    last[l] = voice.Last;
    decays[l] = true;
    count++;
  }
  if (count < 2) return;
  int32_t added[Lanes];
  detail::DecayClickResiduesAVX2(last, out, added, To - From, fLanes[0].Voice->Synth.ClickRemovalFactor,
                                 ClickResidueFlushBelow);
  for (int32_t l = 0; l < LaneCount; l++) {
    if (!decays[l]) continue;
    Decayed[l] = out[l];
    Added[l] = added[l];
    fLanes[l].Voice->Last = last[l];
  }
}

namespace {

// Where a lane's gain ramp stands, as TVoice keeps it between steps (in
// double), and which of its chunks the frames have reached.
struct TLaneRamp {
  double VolLeft, VolRight, IncLeft, IncRight;
  int32_t Remain;
  int32_t Chunk;  // the current chunk, or the next one when Inside is false
  bool Inside;
};

// A modulation step's new ramp towards the step's target gains, from the
// gain the mix has reached (TVoice::ModulationStep's step 8).
void PlanRamp(TLaneRamp& R, double EndLeft, double EndRight, int32_t ModulationSamples) {
  if (std::fabs(EndLeft - R.VolLeft) > 1e-18 || std::fabs(EndRight - R.VolRight) > 1e-18) {
    R.Remain = ModulationSamples;
    R.IncLeft = (EndLeft - R.VolLeft) / R.Remain;
    R.IncRight = (EndRight - R.VolRight) / R.Remain;
  }
}

}  // namespace

namespace detail {

void RampGainsSSE(float* Gain, const float* Inc, TBufferSample* Gains, int32_t Stride, int32_t From, int32_t To) {
  TBufferSample* const g0 = Gains;
  TBufferSample* const g1 = Gains + Stride;
  TBufferSample* const g2 = Gains + 2 * Stride;
  TBufferSample* const g3 = Gains + 3 * Stride;
#ifdef KELVANE_GROUP_SSE
  __m128 gain01 = _mm_loadu_ps(Gain), gain23 = _mm_loadu_ps(Gain + 4);
  const __m128 inc01 = _mm_loadu_ps(Inc), inc23 = _mm_loadu_ps(Inc + 4);
  auto store = [](TBufferSample* at, __m128 v, bool high) {
    high ? _mm_storeh_pi(reinterpret_cast<__m64*>(&at->Left), v) : _mm_storel_pi(reinterpret_cast<__m64*>(&at->Left), v);
  };
  auto step = [&](int32_t t) {
    gain01 = _mm_add_ps(gain01, inc01);
    gain23 = _mm_add_ps(gain23, inc23);
    store(g0 + t, gain01, false);
    store(g1 + t, gain01, true);
    store(g2 + t, gain23, false);
    store(g3 + t, gain23, true);
  };
  int32_t t = From;
  for (; t + 2 <= To; t += 2) {
    step(t);
    step(t + 1);
  }
  if (t < To) step(t);
  _mm_storeu_ps(Gain, gain01);
  _mm_storeu_ps(Gain + 4, gain23);
#else
  TBufferSample* const lanes[Lanes] = {g0, g1, g2, g3};
  for (int32_t t = From; t < To; t++) {
    for (int32_t l = 0; l < Lanes; l++) {
      Gain[2 * l] += Inc[2 * l];
      Gain[2 * l + 1] += Inc[2 * l + 1];
      lanes[l][t] = TBufferSample{{{Gain[2 * l], Gain[2 * l + 1]}}};
    }
  }
#endif
}

}  // namespace detail

namespace {

// The gains of frames From..To into Gains (each lane MaxBlockSamples apart):
// each frame the gains grow by the increments first (-0, in a lane that does
// not ramp, adds nothing).
void RampGains(float* Gain, const float* Inc, TBufferSample* Gains, int32_t From, int32_t To) {
  if (UseAVX2Kernels) {
    detail::RampGainsAVX2(Gain, Inc, Gains, MaxBlockSamples, From, To);
  } else {
    detail::RampGainsSSE(Gain, Inc, Gains, MaxBlockSamples, From, To);
  }
}

}  // namespace

void TVoiceGroup::RampLaneGains(int32_t LaneCount, int32_t Samples) {
  alignas(16) float gain[2 * Lanes], inc[2 * Lanes];  // left and right of each lane
  TLaneRamp ramps[Lanes];
  int32_t next[Lanes];
  for (int32_t l = 0; l < Lanes; l++) {
    gain[2 * l] = gain[2 * l + 1] = inc[2 * l] = inc[2 * l + 1] = NegativeZero;
    next[l] = Samples + 1;  // never
    if (l >= LaneCount) continue;
    const TVoiceLane& lane = fLanes[l];
    if (!lane.GainSaved) continue;
    ramps[l] = TLaneRamp{lane.VolLeft, lane.VolRight, lane.VolIncLeft, lane.VolIncRight, lane.VolRemain, 0, false};
    if (lane.ChunkCount > 0) next[l] = 0;  // a lane without chunks mixes zeros
  }
  const int32_t modulationSamples = LaneCount > 0 ? fLanes[0].Voice->Synth.ModulationSamples : 0;

  int32_t t = 0;
  while (true) {
    // Lanes whose chunk or ramp ends here, or whose next chunk starts here.
    for (int32_t l = 0; l < LaneCount; l++) {
      if (next[l] != t) continue;
      const TVoiceLane& lane = fLanes[l];
      TLaneRamp& R = ramps[l];
      if (R.Inside) {
        const TVoiceLaneChunk& c = lane.Chunks[R.Chunk];
        inc[2 * l] = inc[2 * l + 1] = NegativeZero;
        if (c.Offset + c.Count != t) {  // the ramp ended inside the chunk
          next[l] = c.Offset + c.Count;
          continue;
        }
        if (R.Remain > 0) {
          R.Remain -= std::min(R.Remain, c.Count);
          R.VolLeft = gain[2 * l];
          R.VolRight = gain[2 * l + 1];
        }
        R.Inside = false;
        R.Chunk++;
        if (R.Chunk == lane.ChunkCount) {
          // What MixVoice returns for the voice's last frame.
          const float mono = lane.Mono[t - 1];
          lane.Voice->Last = TBufferSample{{{mono * gain[2 * l], mono * gain[2 * l + 1]}}};
        }
      }
      if (R.Chunk < lane.ChunkCount && lane.Chunks[R.Chunk].Offset == t) {
        const TVoiceLaneChunk& c = lane.Chunks[R.Chunk];
        if (c.Stepped) PlanRamp(R, c.EndVolLeft, c.EndVolRight, modulationSamples);
        gain[2 * l] = static_cast<float>(R.VolLeft);
        gain[2 * l + 1] = static_cast<float>(R.VolRight);
        const int32_t ramp = std::clamp(R.Remain, 0, c.Count);
        if (ramp > 0) {
          inc[2 * l] = static_cast<float>(R.IncLeft);
          inc[2 * l + 1] = static_cast<float>(R.IncRight);
        }
        R.Inside = true;
        next[l] = t + (ramp > 0 && ramp < c.Count ? ramp : c.Count);
        continue;
      }
      // No chunk here: the lane adds -0 (zero times -0) until its next one.
      const int32_t end = R.Chunk < lane.ChunkCount ? lane.Chunks[R.Chunk].Offset : Samples;
      gain[2 * l] = gain[2 * l + 1] = NegativeZero;
      std::fill(lane.Mono + t, lane.Mono + end, 0.0f);
      next[l] = end > t ? end : Samples + 1;
    }
    if (t == Samples) break;
    int32_t end = Samples;
    for (int32_t l = 0; l < Lanes; l++) end = std::min(end, next[l]);
    RampGains(gain, inc, fGains.get(), t, end);
    t = end;
  }

  for (int32_t l = 0; l < LaneCount; l++) {
    const TVoiceLane& lane = fLanes[l];
    if (!lane.GainSaved) continue;
    TLaneRamp& R = ramps[l];
    if (lane.TrailingStep) PlanRamp(R, lane.TrailingEndVolLeft, lane.TrailingEndVolRight, modulationSamples);
    TVoice& voice = *lane.Voice;
    voice.VolLeft = R.VolLeft;
    voice.VolRight = R.VolRight;
    voice.VolIncLeft = R.IncLeft;
    voice.VolIncRight = R.IncRight;
    voice.VolRemain = R.Remain;
  }
}

namespace {

using detail::TLaneMixJob;

#ifdef KELVANE_GROUP_SSE
// Frames From..To of the four lanes: frame = mono * gain, added lane after
// lane into the targets, as MixVoice adds each lane. Shared: every lane's
// targets are lane 0's.
template <bool Shared, bool HasChorus, bool HasReverb>
void MixLanes(const TLaneMixJob& J, int32_t From, int32_t To) {
  __m128 ampChorus[Lanes], ampReverb[Lanes];
  for (int32_t l = 0; l < Lanes; l++) {
    ampChorus[l] = _mm_set1_ps(J.AmpChorus[l]);
    ampReverb[l] = _mm_set1_ps(J.AmpReverb[l]);
  }
  // P: two frames of each lane (or one, in the low halves), left and right.
  auto mix = [&](int32_t i, const __m128 (&P)[Lanes], auto load, auto store) {
    if constexpr (Shared) {
      auto addLanes = [&](TBufferSample* at, const __m128* amp) {
        __m128 sum = load(at);
        for (int32_t l = 0; l < Lanes; l++) sum = _mm_add_ps(sum, amp != nullptr ? _mm_mul_ps(P[l], amp[l]) : P[l]);
        store(at, sum);
      };
      addLanes(J.Dry[0] + i, nullptr);
      if constexpr (HasChorus) addLanes(J.Chorus[0] + i, ampChorus);
      if constexpr (HasReverb) addLanes(J.Reverb[0] + i, ampReverb);
    } else {
      for (int32_t l = 0; l < Lanes; l++) {
        store(J.Dry[l] + i, _mm_add_ps(load(J.Dry[l] + i), P[l]));
        if constexpr (HasChorus) store(J.Chorus[l] + i, _mm_add_ps(load(J.Chorus[l] + i), _mm_mul_ps(P[l], ampChorus[l])));
        if constexpr (HasReverb) store(J.Reverb[l] + i, _mm_add_ps(load(J.Reverb[l] + i), _mm_mul_ps(P[l], ampReverb[l])));
      }
    }
  };
  auto load2 = [](const TBufferSample* at) { return _mm_loadu_ps(&at->Left); };
  auto store2 = [](TBufferSample* at, __m128 v) { _mm_storeu_ps(&at->Left, v); };
  auto load1 = [](const TBufferSample* at) {
    return _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(&at->Left)));
  };
  auto store1 = [](TBufferSample* at, __m128 v) { _mm_store_sd(reinterpret_cast<double*>(&at->Left), _mm_castps_pd(v)); };

  int32_t t = From;
  for (; t + 4 <= To; t += 4) {
    __m128 first[Lanes], second[Lanes];
    for (int32_t l = 0; l < Lanes; l++) {
      const __m128 m = _mm_loadu_ps(J.Mono[l] + t);
      first[l] = _mm_mul_ps(_mm_unpacklo_ps(m, m), load2(J.Gains[l] + t));
      second[l] = _mm_mul_ps(_mm_unpackhi_ps(m, m), load2(J.Gains[l] + t + 2));
    }
    mix(t, first, load2, store2);
    mix(t + 2, second, load2, store2);
  }
  for (; t < To; t++) {
    __m128 frame[Lanes];
    for (int32_t l = 0; l < Lanes; l++) frame[l] = _mm_mul_ps(_mm_set1_ps(J.Mono[l][t]), load1(J.Gains[l] + t));
    mix(t, frame, load1, store1);
  }
}
#else
// The same lane by lane, frame by frame.
template <bool Shared, bool HasChorus, bool HasReverb>
void MixLanes(const TLaneMixJob& J, int32_t From, int32_t To) {
  for (int32_t t = From; t < To; t++) {
    for (int32_t l = 0; l < Lanes; l++) {
      const float left = J.Mono[l][t] * J.Gains[l][t].Left;
      const float right = J.Mono[l][t] * J.Gains[l][t].Right;
      J.Dry[l][t].Left += left;
      J.Dry[l][t].Right += right;
      if (HasChorus) {
        J.Chorus[l][t].Left += left * J.AmpChorus[l];
        J.Chorus[l][t].Right += right * J.AmpChorus[l];
      }
      if (HasReverb) {
        J.Reverb[l][t].Left += left * J.AmpReverb[l];
        J.Reverb[l][t].Right += right * J.AmpReverb[l];
      }
    }
  }
}
#endif

}  // namespace

namespace detail {

void MixLanesSSE(const TLaneMixJob& Job, bool Shared, bool Chorus, bool Reverb, int32_t From, int32_t To) {
  WithLaneMixModes(Shared, Chorus, Reverb, [&](auto s, auto c, auto r) {
    MixLanes<decltype(s)::value, decltype(c)::value, decltype(r)::value>(Job, From, To);
  });
}

}  // namespace detail

void TVoiceGroup::MixLaneRange(int32_t LaneCount, uint32_t LaneMask, uint32_t Residues, bool Shared, int32_t From,
                               int32_t To) {
  const float* zero = fMono.get() + static_cast<size_t>(Lanes + 1) * MaxBlockSamples;
  TBufferSample* sink = fSink.get();
  const TVoiceLane& first = fLanes[0];
  bool chorusActive = false, reverbActive = false;
  if (LaneCount > 0) {
    const TSynth& synth = first.Voice->Synth;
    chorusActive = synth.ChorusMixActive;
    reverbActive = synth.ReverbMixActive;
  }
  TLaneMixJob job;
  int32_t chunk[Lanes] = {};
  // Only the frames where some lane has something to add.
  int32_t from = To, to = From;
  for (int32_t l = 0; l < Lanes; l++) {
    const bool in = l < LaneCount && (LaneMask >> l & 1u) != 0;
    const TVoiceLane& lane = fLanes[l];
    const bool residue = (Residues >> l & 1u) != 0;
    job.Mono[l] = in && (residue || lane.ChunkCount > 0) ? lane.Mono : zero;
    job.Gains[l] = fGains.get() + static_cast<size_t>(l) * MaxBlockSamples;
    // A lane without frames here adds into the sink, or zeros into shared targets.
    job.Dry[l] = Shared ? first.Dry : lane.Dry;
    if (job.Mono[l] == zero) continue;
    if (residue) {
      from = From;
      to = To;
    } else {
      const TVoiceLaneChunk& last = lane.Chunks[lane.ChunkCount - 1];
      if (lane.Chunks[0].Offset >= To || last.Offset + last.Count <= From) {
        job.Mono[l] = zero;  // only zeros here
        continue;
      }
      from = std::min(from, std::max(From, lane.Chunks[0].Offset));
      to = std::max(to, std::min(To, last.Offset + last.Count));
    }
  }
  if (from >= to) return;
  From = from;
  To = to;
  if (!Shared) {
    for (int32_t l = 0; l < Lanes; l++) {
      if (job.Mono[l] == zero) job.Dry[l] = sink;
    }
  }

  // The sends stay the same over runs of chunks; cut where any lane's change.
  int32_t runEnd[Lanes];
  for (int32_t l = 0; l < Lanes; l++) {
    job.AmpChorus[l] = job.AmpReverb[l] = 0.0f;
    job.Chorus[l] = Shared ? first.Chorus : sink;
    job.Reverb[l] = Shared ? first.Reverb : sink;
    // Without an effect to send to, nothing to cut: between its chunks a
    // lane's mono is 0 and its gains -0.
    runEnd[l] = job.Mono[l] != zero && (chorusActive || reverbActive) ? From : To;
  }
  int32_t t = From;
  while (t < To) {
    int32_t end = To;
    bool chorus = false, reverb = false;
    for (int32_t l = 0; l < Lanes; l++) {
      if (runEnd[l] <= t) {
        // The lane's run of chunks with the same sends from t, or the gap before its next chunk.
        const TVoiceLane& lane = fLanes[l];
        float ampChorus = 0.0f, ampReverb = 0.0f;
        int32_t& c = chunk[l];
        while (c < lane.ChunkCount && lane.Chunks[c].Offset + lane.Chunks[c].Count <= t) c++;
        runEnd[l] = To;
        if (c < lane.ChunkCount && lane.Chunks[c].Offset <= t) {
          // As MixToTargets: a send of zero adds nothing, one to an effect that is off goes nowhere.
          auto sends = [&](const TVoiceLaneChunk& k, float& a, float& b) {
            a = chorusActive && lane.Chorus != nullptr && k.AmpChorus != 0.0f ? k.AmpChorus : 0.0f;
            b = reverbActive && lane.Reverb != nullptr && k.AmpReverb != 0.0f ? k.AmpReverb : 0.0f;
          };
          sends(lane.Chunks[c], ampChorus, ampReverb);
          int32_t last = c;
          while (last + 1 < lane.ChunkCount &&
                 lane.Chunks[last + 1].Offset == lane.Chunks[last].Offset + lane.Chunks[last].Count) {
            // The same amplitudes, bit for bit, give the same sends.
            const TVoiceLaneChunk& k = lane.Chunks[last];
            const TVoiceLaneChunk& n = lane.Chunks[last + 1];
            if (std::bit_cast<uint32_t>(n.AmpChorus) != std::bit_cast<uint32_t>(k.AmpChorus) ||
                std::bit_cast<uint32_t>(n.AmpReverb) != std::bit_cast<uint32_t>(k.AmpReverb)) {
              float a, b;
              sends(n, a, b);
              if (a != ampChorus || b != ampReverb) break;
            }
            last++;
          }
          runEnd[l] = lane.Chunks[last].Offset + lane.Chunks[last].Count;
        } else if (c < lane.ChunkCount) {
          runEnd[l] = lane.Chunks[c].Offset;
        }
        job.AmpChorus[l] = ampChorus;
        job.AmpReverb[l] = ampReverb;
        if (!Shared) {
          job.Chorus[l] = ampChorus != 0.0f ? lane.Chorus : sink;
          job.Reverb[l] = ampReverb != 0.0f ? lane.Reverb : sink;
        }
      }
      end = std::min(end, runEnd[l]);
      chorus = chorus || job.AmpChorus[l] != 0.0f;
      reverb = reverb || job.AmpReverb[l] != 0.0f;
    }
    if (UseAVX2Kernels) {
      detail::MixLanesAVX2(job, Shared, chorus, reverb, t, end);
    } else {
      detail::MixLanesSSE(job, Shared, chorus, reverb, t, end);
    }
    t = end;
  }
}

}  // namespace kelvane
