#pragma once

#include <cstdint>

namespace kelvane {

// Sets the calling thread's vector unit to flush denormal results to zero,
// treat denormal inputs as zero and mask underflow (MXCSR bits 0x8840 on x86).
void SIMDFlushToZero();

// The floating-point exception mask of the calling thread, as saved by
// SaveAndMaskFPUExceptions.
struct TFPUExceptionState {
  uint32_t ControlWord = 0;
#if !(defined(__SSE2__) || defined(_M_X64))
  alignas(16) unsigned char Environment[64] = {};
#endif
};

// Saves the current exception mask and masks every floating-point exception.
TFPUExceptionState SaveAndMaskFPUExceptions();
// Restores the exception mask saved by SaveAndMaskFPUExceptions.
void RestoreFPUExceptions(const TFPUExceptionState& State);

}  // namespace kelvane
