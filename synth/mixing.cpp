#include "synth/mixing.h"

#include <cmath>

namespace kelvane {

// The kernels walk the frames as flat float arrays so the compiler can vectorise
// them (eight floats = four frames per step).

void MixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count) {
  const float* __restrict src = &Source[0].Values[0];
  float* __restrict dst = &Destination[0].Values[0];
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) dst[i] += src[i];
}

void AmpMixToBuffer(const TBufferSample* Source, TBufferSample* Destination, int32_t Count, float Amp) {
  const float* __restrict src = &Source[0].Values[0];
  float* __restrict dst = &Destination[0].Values[0];
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) dst[i] += src[i] * Amp;
}

void AmplifyBuffer(TBufferSample* Buffer, int32_t Count, float Amp) {
  float* __restrict data = &Buffer[0].Values[0];
  const int32_t n = Count * 2;
  for (int32_t i = 0; i < n; i++) data[i] *= Amp;
}

void ProcClickRemoval(TBufferSample& Last, TBufferSample* Buffer, int32_t Count, double Factor, double Amp) {
  if ((Last.Left == 0.0f && Last.Right == 0.0f) || Count <= 0) return;
  const float factor = static_cast<float>(Factor);
  const float amp = static_cast<float>(Amp);
  float* __restrict data = &Buffer[0].Values[0];
  float left = Last.Left;
  float right = Last.Right;
  // Four frames per step from the residue at the step's start: Factor^1..^4.
  const float f1 = factor, f2 = f1 * factor, f3 = f2 * factor, f4 = f3 * factor;
  const float steps[8] = {f1, f1, f2, f2, f3, f3, f4, f4};
  int32_t i = 0;
  for (; i + 4 <= Count; i += 4) {
    const float base[8] = {left, right, left, right, left, right, left, right};
    float* frame = data + i * 2;
    for (int32_t k = 0; k < 8; k++) frame[k] += base[k] * steps[k] * amp;
    left *= f4;
    right *= f4;
  }
  for (; i < Count; i++) {
    left *= factor;
    right *= factor;
    data[i * 2] += left * amp;
    data[i * 2 + 1] += right * amp;
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
