#pragma once

#include <cstdint>
#include <span>

#include "synth/buffer_sample.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;

// The chorus send effect. For now it keeps its switch and the selected GM2
// chorus type; it adds nothing to the mix yet.
class TChorus : public TSynthClass {
 public:
  explicit TChorus(TSynth& Synth);

  void Init();
  void Reset() { Init(); }
  // Follows the synthesizer's sample rate and the current parameters.
  void Update();
  // InBuf: chorus send; OutBuf: dry mix; ReverbBuf: reverb send. Render thread of the block.
  void Process(TBufferSample* InBuf, TBufferSample* OutBuf, TBufferSample* ReverbBuf, int32_t Samples);
  // Acts only on the one-element slot path 130 (chorus); parameter 0 selects a type 0..5.
  void GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value);

  TSynth& Synth;
  bool Active = true;
  int32_t ChorusType = 2;  // GM2 chorus type, 0..5
};

}  // namespace kelvane
