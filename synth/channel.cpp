#include "synth/channel.h"

#include "synth/mixing.h"
#include "synth/synth.h"

namespace kelvane {

TChannel::TChannel(TSynth& Synth, int32_t ChannelIndex, TVoice* const* Voices)
    : Synth(Synth), ChannelIndex(ChannelIndex), Voices(Voices) {
  Reset();
}

void TChannel::Reset() {
  Last = TBufferSample{};
  ChorusLast = TBufferSample{};
  ReverbLast = TBufferSample{};
  bool changed = true;
  if (TuningTableChanged.compare_exchange_strong(changed, false)) TuningTable.fill(0.0);
}

void TChannel::ProcessEvent(const TMIDIEvent&) {}

void TChannel::FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer,
                          int32_t Samples) {
  const double factor = Synth.ClickRemovalFactor;
  ProcClickRemoval(Last, Buffer, Samples, factor, 1.0);
  ProcClickRemoval(ChorusLast, ChorusBuffer, Samples, factor, 1.0);
  ProcClickRemoval(ReverbLast, ReverbBuffer, Samples, factor, 1.0);
}

}  // namespace kelvane
