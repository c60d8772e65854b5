#pragma once

#include <cstdint>

#include "synth/buffer_sample.h"

// The SSE2 and AVX2 builds of AddClickResidue (mixing.h); the AVX2 one is in
// its own translation unit compiled for AVX2 alone: declarations only here.
// Call it only where detail::CPUHasAVX2() is true.
namespace kelvane::detail {

// AddClickResidue into the buffers Targets[0..Count), the residue times
// Amps[k]; Unity: Amps[0] is 1. Both builds agree bit for bit.
void AddClickResidueSSE(const TBufferSample* Residue, int32_t Frames, TBufferSample* const* Targets,
                        const double* Amps, int32_t Count, bool Unity);
void AddClickResidueAVX2(const TBufferSample* Residue, int32_t Frames, TBufferSample* const* Targets,
                         const double* Amps, int32_t Count, bool Unity);

}  // namespace kelvane::detail
