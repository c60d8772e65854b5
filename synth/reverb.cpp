#include "synth/reverb.h"

namespace kelvane {

namespace {
constexpr int32_t ReverbSlot = 129;  // GM2 slot 01 01
constexpr int32_t ParameterType = 0;
}  // namespace

TReverb::TReverb(TSynth& Synth) : Synth(Synth) { Init(); }

void TReverb::Init() { Update(); }

void TReverb::Update() {}

void TReverb::Process(TBufferSample*, TBufferSample*, int32_t) {}

void TReverb::GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value) {
  if (SlotPath.size() != 1 || SlotPath[0] != ReverbSlot) return;
  if (Parameter == ParameterType && ((Value >= 0 && Value <= 4) || Value == 8)) {
    ReverbType = Value;
    Update();
  }
}

}  // namespace kelvane
