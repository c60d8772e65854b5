#include "synth/mixing.h"

#include <cmath>

namespace kelvane {

// The kernels walk the frames as flat float arrays so the compiler can vectorise
// them (eight floats = four frames per step).

void MixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count) {
  const float* __restrict src = reinterpret_cast<const float*>(Source);
  float* __restrict dst = reinterpret_cast<float*>(Destination);
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) dst[i] += src[i];
}

void AmpMixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count, float Amp) {
  const float* __restrict src = reinterpret_cast<const float*>(Source);
  float* __restrict dst = reinterpret_cast<float*>(Destination);
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) dst[i] += src[i] * Amp;
}

void AmplifyBuffer(TBufferSample* Buffer, int32_t Count, float Amp) {
  float* __restrict data = reinterpret_cast<float*>(Buffer);
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) data[i] *= Amp;
}

void ProcClickRemoval(TBufferSample& Last, TBufferSample* Buffer, int32_t Count, double Factor, double Amp) {
  if ((Last.Left == 0.0f && Last.Right == 0.0f) || Count <= 0) return;
  float* __restrict data = reinterpret_cast<float*>(Buffer);
  // The residue stays a float between steps (so flush-to-zero ends it); the
  // decay is applied in double so that a factor close to 1 keeps its precision.
  float left = Last.Left;
  float right = Last.Right;
  // One frame at a time from the previous frame, so that the residue is the
  // same however the frames are cut into blocks.
  for (int32_t i = 0; i < Count; i++) {
    left = static_cast<float>(left * Factor);
    right = static_cast<float>(right * Factor);
    data[i * 2] += static_cast<float>(left * Amp);
    data[i * 2 + 1] += static_cast<float>(right * Amp);
  }
  Last.Left = left;
  Last.Right = right;
}

void ApplyAutomaticGainControl(TBufferSample* Buffer, int32_t Count, float& AGCFactor, float AGCAttackFactor,
                               float AGCReleaseFactor) {
  const double attack = AGCAttackFactor;
  const double release = AGCReleaseFactor;
  float factor = AGCFactor;
  for (int32_t i = 0; i < Count; i++) {
    TBufferSample& frame = Buffer[i];
    const double before = factor;
    if (std::fabs(frame.Left * before) > 1.0 || std::fabs(frame.Right * before) > 1.0) {
      factor = static_cast<float>(before * attack);
    } else {
      factor = static_cast<float>(before + (1.0 - before) * release);
    }
    const double gain = factor;
    for (float& value : frame.Values) {
      const double x = value * gain;
      // x clamped to -1..1 without a branch.
      value = static_cast<float>((std::fabs(x + 1.0) - std::fabs(x - 1.0)) * 0.5);
    }
  }
  AGCFactor = factor;
}

}  // namespace kelvane
