#include "synth/audio_active_state_tracker.h"

#include <cmath>

#include "synth/math_helpers.h"
#include "synth/peak.h"

namespace kelvane {

namespace {
float PeakOf(const TBufferSample* Data, int32_t Frames) {
  if (Frames <= 0) return 0.0f;
  // Frames are two packed floats; scan them as one interleaved run.
  return GetMono32BitMaximumAbsolutePeak(reinterpret_cast<const float*>(Data), Frames * 2);
}
}  // namespace

TAudioActiveStateTracker::TAudioActiveStateTracker() : fThreshold(dBToLinear(-120.0)) { Reset(); }

void TAudioActiveStateTracker::Reset() {
  fInputSilence = SilenceLimitFrames() * 2;
  fOutputSilence = fInputSilence;
}

void TAudioActiveStateTracker::ScanInput(const TBufferSample* Data, int32_t Frames) {
  if (PeakOf(Data, Frames) > fThreshold) {
    fInputSilence = 0;
  } else if (Frames > 0) {
    fInputSilence += Frames;
  }
}

void TAudioActiveStateTracker::ScanOutput(const TBufferSample* Data, int32_t Frames) {
  if (PeakOf(Data, Frames) > fThreshold) {
    fOutputSilence = 0;
  } else if (Frames > 0) {
    fOutputSilence += Frames;
  }
}

void TAudioActiveStateTracker::ScanSingleOutput(const TBufferSample& Frame) {
  if (std::fabs(Frame.Left) <= fThreshold && std::fabs(Frame.Right) <= fThreshold) {
    fOutputSilence++;
  } else {
    fOutputSilence = 0;
  }
}

void TAudioActiveStateTracker::ScanOutputFrames(const float* Left, const float* Right, int32_t Frames) {
  // Only the frames after the last loud one count, so scan from the end.
  for (int32_t i = Frames - 1; i >= 0; i--) {
    if (!(std::fabs(Left[i]) <= fThreshold && std::fabs(Right[i]) <= fThreshold)) {
      fOutputSilence = Frames - 1 - i;
      return;
    }
  }
  if (Frames > 0) fOutputSilence += Frames;
}

bool TAudioActiveStateTracker::Active() const {
  const int64_t limit = SilenceLimitFrames();
  return fInputSilence < limit || fOutputSilence < limit;
}

}  // namespace kelvane
