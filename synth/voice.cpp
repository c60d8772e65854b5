#include "synth/voice.h"

#include "synth/channel.h"
#include "synth/synth.h"
#if __has_include("synth/voice_envelope.h")
#include "synth/voice_envelope.h"
#else
#include "synth/voice_envelope_fallback.h"
#endif

namespace kelvane {

double LFOValue(int32_t, double) { return 0.0; }

TVoice::TVoice(TSynth& OwnerSynth, int32_t Number) : Synth(OwnerSynth), Number(Number) { Reset(); }

TVoice::~TVoice() { Reset(); }

void TVoice::UpdateResamplingProc() {}

void TVoice::ReleaseVoiceNotify() {
  if (Synth.OnReleaseVoice) Synth.OnReleaseVoice(Synth, *this);
}

void TVoice::ResidueTargets(TBufferSample*& Dry, TBufferSample*& Chorus, TBufferSample*& Reverb) {
  Dry = &Channel->Last;
  Chorus = &Channel->ChorusLast;
  Reverb = &Channel->ReverbLast;
}

void TVoice::HandOffClickResidue() {
  TBufferSample *dry, *chorus, *reverb;
  ResidueTargets(dry, chorus, reverb);
  const float ampChorus = static_cast<float>(AmpChorus);
  const float ampReverb = static_cast<float>(AmpReverb);
  dry->Left += Last.Left;
  dry->Right += Last.Right;
  chorus->Left += Last.Left * ampChorus;
  chorus->Right += Last.Right * ampChorus;
  reverb->Left += Last.Left * ampReverb;
  reverb->Right += Last.Right * ampReverb;
}

void TVoice::KeyOn(TChannel*, int32_t, int32_t, TPresetLayer*, TSample*) {}
void TVoice::KeyOff(int32_t) {}
void TVoice::Update() {}

void TVoice::Kill() {
  if (Channel == nullptr || !Active) {
    Last = TBufferSample{};
    return;
  }
  ReleaseVoiceNotify();
  HandOffClickResidue();
  Last = TBufferSample{};
  Active = false;
}

void TVoice::KillExclusive() {}

void TVoice::Reset() {
  if (Channel != nullptr) {
    if (Active) ReleaseVoiceNotify();
    HandOffClickResidue();
  }
  Last = TBufferSample{};
  Active = false;
  AmpChorus = 0.0;
  AmpReverb = 0.0;
  EventNoteID = 0;
}

void TVoice::InitParameters() {}
void TVoice::UpdateParameter(int32_t) {}
void TVoice::UpdatePitch() {}
double TVoice::GetTuningPitch(int32_t) const { return 6000.0; }
double TVoice::GetTuningPitchFine(double) const { return 6000.0; }
int32_t TVoice::CalculateHoldDelayCount(int32_t, int32_t, bool) { return 0; }
void TVoice::CalculateLowestBoundaryForAttenuation() {}
int32_t TVoice::GetSampleLength(int32_t) { return 0; }
void TVoice::UpdateLoopRange() {}
double TVoice::GetGen(int32_t, double) const { return 0.0; }
void TVoice::SetGen(int32_t, double) {}
double TVoice::GetModulatorSrcValue(int32_t, int32_t, int32_t, bool) const { return 0.0; }
double TVoice::GetModulatorValue(const TPresetLayerModulator&) const { return 0.0; }
void TVoice::ModulateAll() {}
void TVoice::Modulate(bool, int32_t) {}
void TVoice::FillBuffer(TBufferSample*, TBufferSample*, TBufferSample*, int32_t) {}
void TVoice::AmplifyBuffer(TBufferSample*, const float*, int32_t) {}
void TVoice::ProcessLoopCrossFade(const float*, const float*, float*, int64_t, int32_t) {}
double TVoice::CrossFadeValue(double, double, const TPresetLayerCrossFade&) { return 0.0; }
void TVoice::Resample(float*, int32_t, int64_t, int64_t&) {}
void TVoice::RecalculateFilter(TFilter&) {}
void TVoice::ApplyFilterToBuffer(TFilter&, float*, int32_t) {}
void TVoice::ApplyEnvelopeGenerator(int32_t) {}
bool TVoice::ModulationStep(bool) { return true; }
void TVoice::ResamplingSetUp() {}
void TVoice::StartLoopCrossFade() {}

}  // namespace kelvane
