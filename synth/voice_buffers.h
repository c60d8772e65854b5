#pragma once

#include "synth/buffer_sample.h"

namespace kelvane {

// Scratch buffers a voice renders through; one set per rendering context
// (the synthesizer's calling thread or a render thread).
struct TVoiceBuffers {
  TMonoBlockSamples VoiceMonoBufferCrossFadeA;
  TMonoBlockSamples VoiceMonoBufferCrossFadeB;
  TMonoBlockSamples VoiceMonoBufferResamplingInterpolationA0;
  TMonoBlockSamples VoiceMonoBufferResamplingInterpolationA1;
  TMonoBlockSamples VoiceMonoBufferResamplingInterpolationB0;
  TMonoBlockSamples VoiceMonoBufferResamplingInterpolationB1;
  TMonoBlockSamples VoiceMonoBuffer;
  TBlockSamples VoiceBuffer;
};

}  // namespace kelvane
