#include "synth/voice.h"

#include "synth/channel.h"
#include "synth/synth.h"

namespace kelvane {

TVoice::TVoice(TSynth& Synth, int32_t Number) : Synth(Synth), Number(Number) { Reset(); }

TVoice::~TVoice() { Reset(); }

void TVoice::UpdateResamplingProc() { ResamplingProc = ResamplerForMethod(Synth.ResamplingMethod); }

void TVoice::HandOffClickResidue() {
  // Voices only stop between sub-blocks for now, so the channel's own
  // accumulators take the residue.
  const float chorus = static_cast<float>(AmpChorus);
  const float reverb = static_cast<float>(AmpReverb);
  Channel->Last.Left += Last.Left;
  Channel->Last.Right += Last.Right;
  Channel->ChorusLast.Left += Last.Left * chorus;
  Channel->ChorusLast.Right += Last.Right * chorus;
  Channel->ReverbLast.Left += Last.Left * reverb;
  Channel->ReverbLast.Right += Last.Right * reverb;
}

void TVoice::Kill() {
  if (Channel == nullptr || !Active) {
    Last = TBufferSample{};
    return;
  }
  if (Synth.OnReleaseVoice) Synth.OnReleaseVoice(Synth, *this);
  HandOffClickResidue();
  Last = TBufferSample{};
  Active = false;
}

void TVoice::Reset() {
  if (Channel != nullptr) {
    if (Active && Synth.OnReleaseVoice) Synth.OnReleaseVoice(Synth, *this);
    HandOffClickResidue();
  }
  Last = TBufferSample{};
  Active = false;
  AmpChorus = 0.0;
  AmpReverb = 0.0;
  EventNoteID = 0;
}

void TVoice::FillBuffer(TBufferSample*, TBufferSample*, TBufferSample*, int32_t) {}

}  // namespace kelvane
