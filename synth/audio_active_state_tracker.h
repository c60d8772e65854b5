#pragma once

#include <cstdint>

#include "synth/buffer_sample.h"
#include "synth/synth_class.h"

namespace kelvane {

// Silence detection for a send effect: the effect is idle once both its input
// and its output have stayed at or below -120 dB for fSeconds. Render thread only.
class TAudioActiveStateTracker : public TSynthClass {
 public:
  TAudioActiveStateTracker();

  // Starts inactive: both counters are set past the limit.
  void Reset();
  void ScanInput(const TBufferSample* Data, int32_t Frames);
  void ScanOutput(const TBufferSample* Data, int32_t Frames);
  void ScanSingleOutput(const TBufferSample& Frame);
  // Same as ScanSingleOutput on each frame (Left[i], Right[i]) in turn.
  void ScanOutputFrames(const float* Left, const float* Right, int32_t Frames);
  bool Active() const;

  int32_t fSampleRate = 44100;  // frames per second; the owner keeps it current
  int32_t fSeconds = 10;        // silence needed before idling
  double fThreshold;            // linear, -120 dB
  int64_t fInputSilence = 0;    // frames of silence seen so far
  int64_t fOutputSilence = 0;

 private:
  int64_t SilenceLimitFrames() const { return static_cast<int64_t>(fSampleRate) * fSeconds; }
};

}  // namespace kelvane
