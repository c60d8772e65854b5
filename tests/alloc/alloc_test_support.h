#pragma once

#include <cstdint>
#include <memory>

#include "banks/sample.h"
#include "synth/synth.h"

namespace kelvane {

// A loaded, looped sample at middle C; ramp fills it with a saw so the voices
// make sound, otherwise it stays silent.
inline std::unique_ptr<TSample> MakeLoopedSample(TSynth& synth, int32_t length, bool ramp) {
  auto sample = std::make_unique<TSample>(&synth);
  sample->Length = length;
  sample->LoopStart = 100;
  sample->LoopEnd = length - 100;
  sample->SampleRate = 44100;
  sample->OriginalPitch = 60;
  const auto elements = static_cast<size_t>(sample->BufferElements());
  sample->Data = std::make_unique<float[]>(elements);
  sample->WorkData = std::make_unique<float[]>(elements);
  if (ramp)
    for (size_t i = 0; i < elements; i++) sample->Data[i] = sample->WorkData[i] = static_cast<float>(i % 50) / 50.0f;
  sample->Loaded = true;
  return sample;
}

}  // namespace kelvane
