#pragma once

#include <cstdint>

// The AVX2 builds of the linear and cubic resampling kernels. Their
// translation unit is compiled for AVX2 alone: this header holds declarations
// only, so that no inline code compiled there can stand in for the baseline
// build elsewhere. Call them only where CPUHasAVX2() is true.
namespace kelvane::detail {

// True when the processor and the operating system run AVX2 code.
bool CPUHasAVX2();

// Frame k of the run is Frames[k]; positions are 32.32 fixed point. Both
// equal ResampleLinearScalar and ResampleTableScalar (4 taps) bit for bit.
void ResampleLinearAVX2(const float* Frames, float* Buffer, int32_t Samples, int64_t Increment, int64_t& Position);
// Table: [4096][4] rows, 16-byte aligned; the taps read frames i - 1 .. i + 2.
void ResampleCubicAVX2(const float* Frames, const float* Table, float* Buffer, int32_t Samples, int64_t Increment,
                       int64_t& Position);

}  // namespace kelvane::detail
