#pragma once

#include <cstdint>

#include "synth/buffer_sample.h"

namespace kelvane {

// Destination[i] += Source[i], both channels, i < Count.
void MixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count);
// Destination[i] += Source[i] * Amp.
void AmpMixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count, float Amp);
// Buffer[i] *= Amp.
void AmplifyBuffer(TBufferSample* Buffer, int32_t Count, float Amp);

// A voice's stereo gain over a run of frames: for the first Ramp frames the
// gain grows by the increments before each frame, then it stays.
struct TVoiceMixGain {
  float Left = 0.0f;
  float Right = 0.0f;
  float IncLeft = 0.0f;
  float IncRight = 0.0f;
  int32_t Ramp = 0;
};

// Where a voice's frames go: Dry[i] += frame, and, unless null, Chorus[i] +=
// frame * AmpChorus and Reverb[i] += frame * AmpReverb.
struct TVoiceMixTargets {
  TBufferSample* Dry = nullptr;
  TBufferSample* Chorus = nullptr;
  float AmpChorus = 0.0f;
  TBufferSample* Reverb = nullptr;
  float AmpReverb = 0.0f;
};

// frame = Mono[i] * gain, mixed into the targets, for i < Count (at least 1).
// Advances Gain past the ramp frames it used and returns the last frame.
TBufferSample MixVoice(const float* Mono, int32_t Count, TVoiceMixGain& Gain, const TVoiceMixTargets& Targets);

namespace detail {
// The plain C++ reference of MixVoice; the two agree bit for bit.
TBufferSample MixVoiceScalar(const float* Mono, int32_t Count, TVoiceMixGain& Gain, const TVoiceMixTargets& Targets);
}  // namespace detail

// A decayed residue below this, in double before rounding to float, becomes a
// zero of its sign: what the render thread's flush-to-zero mode makes of it
// (2^-126 - 2^-151, the midpoint below the smallest normal float).
inline constexpr double ClickResidueFlushBelow = 0x1.ffffffp-127;

// Lets a click residue decay into Buffer: per frame Last *= Factor (a result
// below the smallest normal float becomes zero, as under flush-to-zero, on any
// FPU mode), then Buffer[i] += Last * Amp. Does nothing while Last is exactly zero.
// The same residue may go to two more buffers at once: there times Amp1 and
// Amp2 (a null buffer takes nothing). The buffers must not overlap.
void ProcClickRemoval(TBufferSample& Last, TBufferSample* Buffer, int32_t Count, double Factor, double Amp,
                      TBufferSample* Buffer1 = nullptr, double Amp1 = 0.0, TBufferSample* Buffer2 = nullptr,
                      double Amp2 = 0.0);

// Adds the frames of a click residue that has decayed already (Residue[i],
// i < Count) as ProcClickRemoval adds them: Buffer[i] += Residue[i] * Amp,
// the product in double, and the same into Buffer1 and Buffer2 unless null.
// The buffers must not overlap.
void AddClickResidue(const TBufferSample* Residue, int32_t Count, TBufferSample* Buffer, double Amp,
                     TBufferSample* Buffer1 = nullptr, double Amp1 = 0.0, TBufferSample* Buffer2 = nullptr,
                     double Amp2 = 0.0);

// Automatic gain control over a run of frames, in order. AGCFactor carries the
// gain from frame to frame (kept at float precision); each frame is scaled by it
// and hard-clipped to -1..1.
void ApplyAutomaticGainControl(TBufferSample* Buffer, int32_t Count, float& AGCFactor, float AGCAttackFactor,
                               float AGCReleaseFactor);

}  // namespace kelvane
