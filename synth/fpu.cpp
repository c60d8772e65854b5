#include "synth/fpu.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <xmmintrin.h>
#define KELVANE_FPU_SSE 1
#else
#include <cfenv>
#include <cstring>
#endif

namespace kelvane {

#if KELVANE_FPU_SSE

namespace {
constexpr uint32_t MXCSRFlushToZero = 0x8000;
constexpr uint32_t MXCSRDenormalsAreZero = 0x0040;
constexpr uint32_t MXCSRUnderflowMask = 0x0800;
constexpr uint32_t MXCSRExceptionMasks = 0x1F80;  // invalid, denormal, divide, overflow, underflow, precision
}  // namespace

void SIMDFlushToZero() {
  _mm_setcsr(_mm_getcsr() | MXCSRFlushToZero | MXCSRDenormalsAreZero | MXCSRUnderflowMask);
}

TFPUExceptionState SaveAndMaskFPUExceptions() {
  TFPUExceptionState state;
  const uint32_t csr = _mm_getcsr();
  state.ControlWord = csr & MXCSRExceptionMasks;
  _mm_setcsr(csr | MXCSRExceptionMasks);
  return state;
}

void RestoreFPUExceptions(const TFPUExceptionState& State) {
  // Only the mask bits go back; flush-to-zero stays as set for rendering.
  _mm_setcsr((_mm_getcsr() & ~MXCSRExceptionMasks) | (State.ControlWord & MXCSRExceptionMasks));
}

#else

void SIMDFlushToZero() {
  // No portable control of denormal handling outside x86; rendering stays correct,
  // only slower on denormals.
}

TFPUExceptionState SaveAndMaskFPUExceptions() {
  static_assert(sizeof(std::fenv_t) <= sizeof(TFPUExceptionState::Environment));
  TFPUExceptionState state;
  std::fenv_t env;
  std::feholdexcept(&env);  // saves the environment and enters non-stop mode
  std::memcpy(state.Environment, &env, sizeof(env));
  return state;
}

void RestoreFPUExceptions(const TFPUExceptionState& State) {
  std::fenv_t env;
  std::memcpy(&env, State.Environment, sizeof(env));
  std::fesetenv(&env);
}

#endif

}  // namespace kelvane
