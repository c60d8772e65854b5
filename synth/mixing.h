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

// Lets a click residue decay into Buffer: per frame Last *= Factor, then
// Buffer[i] += Last * Amp. Does nothing while Last is exactly zero.
void ProcClickRemoval(TBufferSample& Last, TBufferSample* Buffer, int32_t Count, double Factor, double Amp);

// Automatic gain control over a run of frames, in order. AGCFactor carries the
// gain from frame to frame (kept at float precision); each frame is scaled by it
// and hard-clipped to -1..1.
void ApplyAutomaticGainControl(TBufferSample* Buffer, int32_t Count, float& AGCFactor, float AGCAttackFactor,
                               float AGCReleaseFactor);

}  // namespace kelvane
