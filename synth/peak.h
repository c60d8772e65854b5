#pragma once

#include <cstdint>

namespace kelvane {

// The largest absolute value among Count floats; 0 for Count <= 0.
float GetMono32BitMaximumAbsolutePeak(const float* Data, int32_t Count);
// Plain one-by-one version (reference for the vector path).
float GetMono32BitMaximumAbsolutePeakScalar(const float* Data, int32_t Count);

}  // namespace kelvane
