#pragma once

#include <cstdint>
#include <type_traits>

#include "synth/buffer_sample.h"

// The gain ramp and mixing kernels of TVoiceGroup, in an SSE2 build and an
// AVX2 build (its own translation unit, compiled for AVX2 alone and chosen at
// run time where detail::CPUHasAVX2() is true). Declarations only: no inline
// code compiled for AVX2 may stand in for the baseline build elsewhere. Both
// builds give the same results bit for bit.
namespace kelvane::detail {

inline constexpr int32_t GroupLanes = 4;

// One call of the mixing kernel: per lane its block, its gains, its three
// targets and its sends (a lane that sends nowhere has an amplitude of 0).
struct TLaneMixJob {
  const float* Mono[GroupLanes];
  const TBufferSample* Gains[GroupLanes];
  TBufferSample* Dry[GroupLanes];
  TBufferSample* Chorus[GroupLanes];
  TBufferSample* Reverb[GroupLanes];
  float AmpChorus[GroupLanes];
  float AmpReverb[GroupLanes];
};

// The gains of frames From..To of four lanes: each frame the gains grow by
// the increments first. Gain and Inc hold left and right of each lane in
// turn; lane l's gains go to Gains + l * Stride. Gain is left at frame To - 1.
void RampGainsSSE(float* Gain, const float* Inc, TBufferSample* Gains, int32_t Stride, int32_t From, int32_t To);
void RampGainsAVX2(float* Gain, const float* Inc, TBufferSample* Gains, int32_t Stride, int32_t From, int32_t To);

// Frames From..To of the four lanes: frame = mono * gain, added lane after
// lane into the targets (the chorus and reverb targets times the lane's
// sends, when Chorus or Reverb). Shared: every lane's targets are lane 0's,
// which take the four lanes' frames in lane order.
void MixLanesSSE(const TLaneMixJob& Job, bool Shared, bool Chorus, bool Reverb, int32_t From, int32_t To);
void MixLanesAVX2(const TLaneMixJob& Job, bool Shared, bool Chorus, bool Reverb, int32_t From, int32_t To);

// Calls Mix(shared, chorus, reverb) with the three switches as std::bool_constant,
// for the builds' kernels templated on them. Each build instantiates it with its
// own lambda, so no AVX2 code is shared.
template <typename TMix>
void WithLaneMixModes(bool Shared, bool Chorus, bool Reverb, TMix&& Mix) {
  auto reverb = [&](auto s, auto c) { Reverb ? Mix(s, c, std::true_type{}) : Mix(s, c, std::false_type{}); };
  auto chorus = [&](auto s) { Chorus ? reverb(s, std::true_type{}) : reverb(s, std::false_type{}); };
  Shared ? chorus(std::true_type{}) : chorus(std::false_type{});
}

// Lets the click residues Last[0..4) decay side by side over Count frames,
// each frame from the one before as ProcClickRemoval does (a product below
// FlushBelow becomes a zero of its sign): Out[k][i] takes residue k at frame
// i. Added[k] counts the frames ProcClickRemoval would add: up to the frame
// where both sides reach zero, none for a residue that is zero already.
void DecayClickResiduesAVX2(TBufferSample (&Last)[GroupLanes], TBufferSample* const (&Out)[GroupLanes],
                            int32_t (&Added)[GroupLanes], int32_t Count, double Factor, double FlushBelow);

}  // namespace kelvane::detail
