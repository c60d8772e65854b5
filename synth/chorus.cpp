#include "synth/chorus.h"

namespace kelvane {

namespace {
constexpr int32_t ChorusSlot = 130;  // GM2 slot 01 02
constexpr int32_t ParameterType = 0;
constexpr int32_t LastChorusType = 5;
}  // namespace

TChorus::TChorus(TSynth& Synth) : Synth(Synth) { Init(); }

void TChorus::Init() {
  const int32_t slot[1] = {ChorusSlot};
  GlobalParameterControlChange(slot, ParameterType, 2);
  Update();
}

void TChorus::Update() {}

void TChorus::Process(TBufferSample*, TBufferSample*, TBufferSample*, int32_t) {}

void TChorus::GlobalParameterControlChange(std::span<const int32_t> SlotPath, int32_t Parameter, int32_t Value) {
  if (SlotPath.size() != 1 || SlotPath[0] != ChorusSlot) return;
  if (Parameter == ParameterType && Value >= 0 && Value <= LastChorusType) {
    ChorusType = Value;
    Update();
  }
}

}  // namespace kelvane
