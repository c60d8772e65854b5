#pragma once

#include <cstdint>
#include <span>

#include "synth/buffer_sample.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;

// The reverb send effect. For now it keeps its switch and the selected GM2
// reverb type; it adds nothing to the mix yet.
class TReverb : public TSynthClass {
 public:
  explicit TReverb(TSynth& Synth);

  void Init();
  void Reset() { Init(); }
  // Follows the synthesizer's sample rate and the current parameters.
  void Update();
  // InBuf: reverb send (may be changed in place); OutBuf: dry mix.
  void Process(TBufferSample* InBuf, TBufferSample* OutBuf, int32_t Samples);
  // Acts only on the one-element slot path 129 (reverb); parameter 0 selects
  // type 0..4 or 8.
  void GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value);

  TSynth& Synth;
  bool Active = true;
  int32_t ReverbType = 4;  // GM2 reverb type value
};

}  // namespace kelvane
