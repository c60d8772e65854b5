#pragma once

#include <cstdint>

#include "synth/voice_filter.h"
#include "synth/voice_group.h"

namespace kelvane {

// One lane of FilterLanes: a voice's filter, its block and the filter's runs.
// A missing lane has no filter and no runs.
struct TLaneFilterJob {
  TFilter* Filter = nullptr;
  float* Mono = nullptr;
  const TVoiceLaneFilterRun* Runs = nullptr;
  int32_t RunCount = 0;
};

// Runs four voices' filters over Samples frames side by side, each lane as
// TVoice::ApplyFilterToBuffer would over the same runs; frames outside every
// run pass unchanged. Spare (Samples frames of zeros, which stay zeros) takes
// the lanes that do not filter.
void FilterLanes(const TLaneFilterJob (&Jobs)[TVoiceGroup::Lanes], float* Spare, int32_t Samples);

namespace detail {
// FilterLanes with the baseline x86-64 vector code even where the processor
// runs AVX2: the two give the same output.
void FilterLanesBaseline(const TLaneFilterJob (&Jobs)[TVoiceGroup::Lanes], float* Spare, int32_t Samples);
}  // namespace detail

}  // namespace kelvane
