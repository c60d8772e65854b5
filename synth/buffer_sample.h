#pragma once

#include <array>
#include <cstdint>

namespace kelvane {

// One stereo frame; audio is nominally within -1..1.
struct TBufferSample {
  union {
    struct {
      float Left;
      float Right;
    };
    float Values[2];
  };
};
static_assert(sizeof(TBufferSample) == 8);

using PBufferSample = TBufferSample*;

// The largest sub-block any render step handles.
inline constexpr int32_t MaxBlockSamples = 4096;

using TBlockSamples = std::array<TBufferSample, MaxBlockSamples>;
using TMonoBlockSamples = std::array<float, MaxBlockSamples>;
// One frame per MIDI channel (click residues).
using TBufferSampleChannels = std::array<TBufferSample, 16>;

}  // namespace kelvane
