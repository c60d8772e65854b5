#pragma once

#include <cstdint>

#include "synth/buffer_sample.h"
#include "synth/resampler.h"
#include "synth/synth_class.h"

namespace kelvane {

class TSynth;
class TChannel;
class TSample;
class TSynthThread;
struct TVoiceBuffers;

// One voice of the synthesizer's pool. For now it carries its identity, its
// activity and the click-residue hand-off; it renders nothing yet.
class TVoice : public TSynthClass {
 public:
  TVoice(TSynth& Synth, int32_t Number);
  ~TVoice() override;
  TVoice(const TVoice&) = delete;
  TVoice& operator=(const TVoice&) = delete;

  // Follows the synthesizer's resampling method.
  void UpdateResamplingProc();
  // Silences the voice at once; its last frame lives on as a channel residue.
  void Kill();
  // Returns the voice to idle.
  void Reset();
  // Adds the voice's output of Samples frames into the three buffers.
  void FillBuffer(TBufferSample* Buffer, TBufferSample* ChorusBuffer, TBufferSample* ReverbBuffer, int32_t Samples);

  TSynth& Synth;
  int32_t Number;                 // 1-based position in the pool
  TChannel* Channel = nullptr;    // null until the voice first sounds
  bool Active = false;
  int32_t Note = 0;
  uintptr_t EventNoteID = 0;      // 0 = none
  TSample* Sample = nullptr;      // the sample the voice plays; not owned
  TSynthThread* Thread = nullptr;  // render thread of the current sub-block, null on the calling thread
  TVoiceBuffers* VoiceBuffers = nullptr;  // scratch of the rendering context
  TResampleProc ResamplingProc = ResampleNearest;       // the synthesizer's method
  TResampleProc ResamplingProcToUse = ResampleNearest;  // the current block's choice
  TBufferSample Last{};           // last output frame, for click removal
  double AmpChorus = 0.0;         // linear chorus send of the last frame
  double AmpReverb = 0.0;         // linear reverb send of the last frame

 private:
  void HandOffClickResidue();
};

}  // namespace kelvane
