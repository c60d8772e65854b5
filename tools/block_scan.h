#pragma once

#include <cstdint>

#include "synth/buffer_sample.h"

namespace kelvane {

// What kelvane-render learns from each rendered block before writing it.
struct TBlockLevels {
  float Peak = 0.0f;         // largest |sample| so far
  int64_t Clipped = 0;       // samples beyond full scale
  bool NotFinite = false;    // a NaN or infinite sample was seen (and written as 0)
  int64_t SilentFrames = 0;  // frames since the last one whose louder side reached SilenceLevel
};

// Updates Levels with the Frames frames of Block, frame by frame in order;
// NaN and infinite samples become 0 in Block.
void ScanRenderedBlock(TBufferSample* Block, int64_t Frames, float SilenceLevel, TBlockLevels& Levels);

}  // namespace kelvane
